// ztpud: starts the device's modules, then serves the gate until SIGTERM or
// SIGINT; then answers the command in hand, stops the modules in reverse
// order and ends with status 0.
#include <pthread.h>
#include <unistd.h>

#include "ztpu/daemon.h"
#include "ztpu/gate.h"
#include "ztpu/interface.h"
#include "ztpu/log.h"

int main() {
  pthread_setname_np(pthread_self(), "ztpud");
  // Before any thread exists, so that every thread blocks the stop signals.
  (void)daemon_signals_init();
  if (gate_start() != 0) {
    // After a gate port failure the started modules' threads still run:
    // exit() would destroy their statics under them and never return.
    // End at once, with the status of returning -1.
    _exit(255);
  }
  daemon_notify_ready();
  while (daemon_stop_requested() == 0) {
    gate_serve_once();
    daemon_notify_tick();
  }
  daemon_notify_stopping();
  gate_close();
  BleModuleExit();
  daemon_signals_close();
  ztpu_log(LOG_INFO, "ztpud stopped\n");
  return 0;
}
