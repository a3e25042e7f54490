// The daemon's life cycle around the gate loop: a clean stop on SIGTERM or
// SIGINT, and the service manager's notifications (ready, watchdog, status).
#pragma once

// Opens a signalfd for SIGTERM and SIGINT and blocks both in the calling
// thread, so in every thread it creates later: no handler runs, the gate
// loop asks between commands. Call first in main. 0, or -1 (the signals
// then keep their default action).
int daemon_signals_init();

// 1 once SIGTERM or SIGINT has arrived, else 0. Never blocks.
int daemon_stop_requested();

// Closes the signalfd.
void daemon_signals_close();

// Notifications through NOTIFY_SOCKET; all do nothing when it is unset.
// READY=1 with the first status line, after start-up.
void daemon_notify_ready();
// Called by every pass of the gate loop (at least every 30 ms, also without
// traffic). Every third of WATCHDOG_USEC it pings WATCHDOG=1 when the
// receiver thread has made progress since the last check, the gate loop's
// own progress being that it calls this; and it refreshes STATUS= when the
// line changed.
void daemon_notify_tick();
// STOPPING=1 when the stop begins.
void daemon_notify_stopping();
