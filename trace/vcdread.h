// A trace read back: the input bits a Value Change Dump recorded, each
// change at its time, so that a testbench can drive the inputs with them
// again.
//
// The reader takes what trace/vcd.cpp writes: one construct per line,
// scopes "$scope module portN $end" (N 0 or 1) holding the input bits as
// "$var wire 1 ID inB $end", "$enddefinitions $end", then time lines "#T"
// and scalar changes "0ID" and "1ID". Every other line (other variables,
// the flag banks' scopes "portN" with N from 2 to 9, real and vector
// changes, $dumpvars) is passed over, and so is a change of
// an id that names no input bit. Lines end in LF or CR LF. The work is one
// look-up per change line, and the memory that of the ids and one line:
// the file is read in pieces, never held whole, and never past a bound the
// caller gives.
#ifndef QUON_TRACE_VCDREAD_H
#define QUON_TRACE_VCDREAD_H

#include <cstdint>
#include <functional>
#include <string>

struct VcdInputChange {
  uint64_t time;  // in the trace's time unit (microseconds in QUON's)
  int port;       // logical port, 0 or 1
  int bit;        // input bit, 0 to 7
  bool high;
};

typedef std::function<void(const VcdInputChange &)> VcdInputSink;

constexpr int VCD_NOINPUTS = -2;  // no input bit declared, or no $enddefinitions
constexpr int VCD_TOOLARGE = -3;  // more bytes than the caller allows

// Reads the trace from the open descriptor fd to its end (fd stays open)
// and hands every change of an input bit to sink, in the file's order (an
// id declared for several bits gives one change each, in the order of
// their declarations). A read error ends the trace where it happened, as
// its end does. Returns 0; VCD_NOINPUTS, with nothing handed on, when it
// holds no traced input bit; VCD_TOOLARGE as soon as more than most bytes
// have come.
int vcdreadinputs(int fd, uint64_t most, const VcdInputSink &sink);

// The same over a trace's text in memory.
int vcdreadinputstext(const std::string &text, const VcdInputSink &sink);

#endif
