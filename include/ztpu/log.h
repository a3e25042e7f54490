// The system's one logging entry point.
//
// Production (empty board root): syslog with the default identity, as the
// messages are specified. Simulated board: each message is appended as one
// line "YYYY-MM-DDThh:mm:ss ztpud[PID]: LEVEL: TEXT" to the board's
// var/log/messages, the file opened per message so that a log upload that
// renames it is followed by a fresh file.
//
// Tests install a sink to capture messages instead (ztpu_log_set_sink).
#pragma once

#include <syslog.h>

#include <cstdarg>

// Formats and emits one message at a syslog priority (LOG_ERR, LOG_WARNING,
// LOG_INFO). Thread-safe. Key material and ticket contents are never logged.
void ztpu_log(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void ztpu_vlog(int priority, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// Test seam: while a sink is set, every message goes to it (formatted, line
// feeds kept) and nowhere else. Pass nullptr to restore normal output.
using ztpu_log_sink = void (*)(int priority, const char* text, void* ctx);
void ztpu_log_set_sink(ztpu_log_sink sink, void* ctx);
