// The gate command loop: serves the gate controller on the gate port, one
// framed command at a time, through the card-style interface.
#pragma once

// Start-up: starts the module table in table order (BleModuleInit), then
// opens the gate port at 115200 bit/s and clears the poll permission. 0, or
// -1 after one log line; after a gate port failure the modules still run.
int gate_start();

// Opens the gate port. 0, or -1 after "gate_init fail.".
int gate_init();

// One pass of the loop: waits up to 30 ms for a command, decodes it and
// answers it. 1 when an answer was written, 0 otherwise.
int gate_serve_once();

// Stop, the reverse of gate_start: closes the gate port, then stops the
// module table, last started first (BleModuleExit). Call once no command is
// in hand.
void gate_stop();

// Closes the gate port only and clears the poll permission.
void gate_close();
