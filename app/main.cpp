// ztpud: starts the device's modules, then serves the gate for ever.
#include <unistd.h>

#include "gate.h"

int main() {
  if (gate_start() != 0) {
    // After a gate port failure the started modules' threads still run:
    // exit() would destroy their statics under them and never return.
    // End at once, with the status of returning -1.
    _exit(255);
  }
  for (;;) gate_serve_once();
}
