// The guided calibration with the test connector: finds the control byte
// and the inversion word under which every input bit follows the data bit
// of the same position, and writes them to QUON.INI.
#ifndef QUON_PORT_CALIBRATE_H
#define QUON_PORT_CALIBRATE_H

// Returns 1 when the file has been written, 0 when no control byte worked
// (no file is left then). Ends the program with -1 when the file cannot be
// created, and with 0 when the user presses ESC at the last prompt.
int calibrate(void);

#endif
