// ztpud: starts the device's modules, then serves the gate for ever.
#include "gate.h"

int main() {
  if (gate_start() != 0) return -1;
  for (;;) gate_serve_once();
}
