// The loader: reads the script line by line, compiles each line and fills
// the token and thread tables until the end mark (two separators in a row).
#ifndef QUON_DRIVER_LOADER_H
#define QUON_DRIVER_LOADER_H

#include <cstdint>
#include <cstdio>

#include "compiler/compiler.h"  // LINE_BUFFER

// Reads the next script line whole: its first 79 characters into buf
// (LINE_BUFFER bytes), with its newline when that fits, and the number of
// its characters (newline not counted) into *length, however many there
// are up to LINE_MEASURED + 1 (a longer line: the rest of it is read and
// dropped, uncounted). The carriage return of a CR LF line end is dropped
// and the byte 0x1A ends the input, as text files read on the original platform. Returns 0 at
// end of input (nothing read), 1 otherwise.
int readscriptline(char *buf, FILE *in, uint64_t *length);

// Allocates the tables and loads prog.infile. Returns with the tables
// filled; a script that ends before its end mark is completed and a warning
// goes to the log. With a sink (a check), every line's errors and the
// warning go to it, and it sees every line as compiled.
void loadprogram(const ScriptSink *sink = nullptr);

#endif
