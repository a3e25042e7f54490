// The gate command loop: serves the gate controller on the gate port, one
// framed command at a time, through the card-style interface.
#pragma once

// Start-up: starts the module table, opens the gate port at 115200 bit/s and
// clears the poll permission. 0, or -1 after one log line.
int gate_start();

// Opens the gate port. 0, or -1 after "gate_init fail.".
int gate_init();

// One pass of the loop: waits up to 30 ms for a command, decodes it and
// answers it. 1 when an answer was written, 0 otherwise.
int gate_serve_once();

// Closes the gate port (tests; the daemon never stops serving).
void gate_close();
