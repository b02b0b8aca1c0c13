// The trace as a Value Change Dump: a header that names every variable,
// their values at time 0, then one "#<microseconds>" line per time that
// saw changes, each change on a line of its own.
//
// Layout, kept to what the strictest readers take: one construct per line,
// identifiers of one or two printable characters, no space inside a scalar
// change ("1!"). The data lines, input bits and flag bits are one-bit
// wires; a thread's script line and the key are real variables holding whole
// numbers: some logic-analyser readers take no multi-bit vector at all and
// stop at the first one, while they pass over a real with a warning.
//
// The lines go through a buffer of the trace's own rather than stdio, so
// the handler of a fatal signal can put its complete lines on disk with
// write(2). Changes wait in it for a few milliseconds at most.
//
// The file is a whole trace at every moment a signal can see it: from its
// creation it holds an opening that says no thread ran, which the header
// replaces in one write with the signals held, and the handler only ever
// adds whole lines and the time of the end.
#include "trace/trace.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "core/tables.h"
#include "core/watch.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/lastwords.h"
#include "port/safe.h"

namespace {

constexpr size_t BUFFER = 1 << 16;
constexpr size_t LONGEST = 256;      // room a record or header line may need
constexpr uint64_t WAITUS = 5000;    // how long changes may wait in the buffer

// The trace's whole state. traceclose puts the recording back as it was
// before traceuse; the opening, made once, stays.
struct TraceState {
  bool traceon = false;             // a trace is being recorded
  uint8_t traceout[LOGICAL_PORTS];  // data byte last recorded per port
  uint8_t tracein[LOGICAL_PORTS];   // input byte last recorded per port
  uint8_t traceflag[PORT_NUMBERS];  // bits last recorded per flag bank
  int32_t *traceat = nullptr;       // per thread: token index last recorded
  bool tracekeydown = false;        // a key is shown; it goes back to 0 later
  bool tracepending = false;        // the buffer holds changes not yet written
  int32_t tracepasses = 0;          // passes since the buffer was looked at
  uint64_t edgeslost = 0;           // the GPIO edges lost that the trace has said

  int fd = -1;
  pid_t owner = 0;          // the process that writes the trace (not a SPAWN child)
  std::string filename;
  char buffer[BUFFER];
  size_t used = 0;
  volatile sig_atomic_t committed = 0;  // bytes of buffer that end on a whole line
  off_t ondisk = 0;         // bytes written, ending on a whole line
  char opening[1024];       // the trace before tracebegin: no thread has run
  size_t openinglength = 0;
  uint64_t lasttime = 0;    // time of the last "#" line
  uint64_t flushedat = 0;   // when the buffer was last written out
  uint64_t keytime = 0;     // when the key shown was recorded
  unsigned ports = 0;       // logical ports traced
  unsigned banks = 0;       // flag banks traced
  bool begun = false;

  std::string outid[LOGICAL_PORTS][8];
  std::string inid[LOGICAL_PORTS][8];
  std::string flagid[PORT_NUMBERS][8];
  std::vector<std::string> threadid;
  std::string keyid;
  std::vector<int32_t> atstore;  // storage of traceat
};
TraceState tr;

// What the trace listens to while it records (defined below).
extern const Watcher listener;

// Lines are appended only after room() made LONGEST bytes free; a line
// that would not fit is cut rather than run past the buffer.
void putline(const char *format, ...) __attribute__((format(printf, 1, 2)));
void putline(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(tr.buffer + tr.used, BUFFER - tr.used, format, args);
  va_end(args);
  if (n < 0) return;
  size_t fit = BUFFER - 1 - tr.used;
  tr.used += static_cast<size_t>(n) <= fit ? static_cast<size_t>(n) : fit;
}

// The trace cannot go on: the reason on standard error, the file cut back
// to its last whole line, recording off. The run itself goes on.
void stoptrace(int error) {
  fprintf(stderr, "Unable to write trace file \"%s\"! (%s)\n", tr.filename.c_str(),
          strerror(error));
  tr.traceon = false;
  watchremove(&listener);
  if (ftruncate(tr.fd, tr.ondisk) != 0) {
    // Nothing better to do: the file then ends inside a line.
  }
  close(tr.fd);
  tr.fd = -1;
}

// Writes n bytes of text to the trace; 0, or the errno of the failure.
int writeall(const char *text, size_t n) {
  while (n > 0) {
    ssize_t w = write(tr.fd, text, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return w < 0 ? errno : EIO;
    text += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

// A write of the trace's own that found its reader gone (EPIPE) raised a
// SIGPIPE, held meanwhile: it is taken back, so that it stops the trace as
// any write error does instead of ending the run. SIGPIPE from the
// program's other output still ends it.
void dropsigpipe(int error) {
  if (error != EPIPE) return;
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  const timespec now = {0, 0};
  (void)sigtimedwait(&pipe, nullptr, &now);
}

// Cuts the file back to nothing; 0, or the errno. A pipe or a device (a
// test's) has nothing to cut.
int tostart(void) {
  if (ftruncate(tr.fd, 0) != 0 && errno != EINVAL) return errno;
  if (lseek(tr.fd, 0, SEEK_SET) != 0 && errno != ESPIPE) return errno;
  return 0;
}

// Replaces the whole file with text (signals held by the caller); on
// failure the opening is put back where it fits. 0, or the errno.
int rewrite(const std::string &text) {
  int error = tostart();
  if (error == 0) error = writeall(text.data(), text.size());
  tr.ondisk = error == 0 ? static_cast<off_t>(text.size()) : 0;
  if (error != 0 && tostart() == 0 && writeall(tr.opening, tr.openinglength) == 0) {
    tr.ondisk = static_cast<off_t>(tr.openinglength);
  }
  dropsigpipe(error);
  return error;
}

void flush(uint64_t now) {
  if (tr.fd < 0) return;
  // The signal handler writes whatever is committed: it must never see a
  // buffer that is being written out.
  sigset_t old;
  lastwordshold(&old);
  int error = writeall(tr.buffer, tr.used);
  if (error == 0) tr.ondisk += static_cast<off_t>(tr.used);
  tr.used = 0;
  tr.committed = 0;
  dropsigpipe(error);
  lastwordsrelease(&old);
  tr.flushedat = now;
  tr.tracepending = false;
  if (error != 0) stoptrace(error);
}

void room(uint64_t now) {
  if (tr.used + LONGEST > BUFFER) flush(now);
}

// One "#" line per time, strictly increasing.
void stamp(uint64_t now) {
  if (now <= tr.lasttime) return;
  putline("#%llu\n", static_cast<unsigned long long>(now));
  tr.lasttime = now;
}

// A record is complete: the signal handler may write it from now on.
void finish(uint64_t now) {
  tr.committed = static_cast<sig_atomic_t>(tr.used);
  tr.tracepending = true;
  tr.tracepasses = 0;
  watchpassin(TRACE_POLLPASSES);  // looked at again within so many passes
  if (tr.used + LONGEST > BUFFER || now - tr.flushedat >= WAITUS) flush(now);
}

void putbits(const std::string (&ids)[8], uint8_t value, uint8_t which) {
  for (int bit = 0; bit < 8; ++bit) {
    if ((which >> bit) & 1) putline("%c%s\n", (value >> bit) & 1 ? '1' : '0', ids[bit].c_str());
  }
}

long lineof(int32_t token) { return token >= 0 ? static_cast<long>(prog.tokenline[token]) : 0; }

// Identifier codes: bijective base 94 over the printable characters.
std::string makeid(unsigned n) {
  std::string id;
  for (;;) {
    id.push_back(static_cast<char>('!' + n % 94));
    if (n < 94) return id;
    n = n / 94 - 1;
  }
}

// A thread's variable name: its NAME made an identifier (letters, digits
// and '_', not starting with a digit), else thread<N>; unique.
std::string threadvariable(int32_t t, std::set<std::string> *taken) {
  std::string name = prog.threadname[t] != nullptr ? prog.threadname[t] : "";
  for (char &c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
    if (!ok) c = '_';
  }
  if (name.empty()) name = "thread" + std::to_string(t);
  if (name[0] >= '0' && name[0] <= '9') name = "_" + name;
  if (taken->count(name) != 0) name += "_" + std::to_string(t);
  taken->insert(name);
  return name;
}

// The time a trace ends at: now, or just after its last change, so that
// every trace ends on a time line of its own and viewers show its length.
uint64_t endtime(void) {
  uint64_t now = clockus();
  return now > tr.lasttime ? now : tr.lasttime + 1;
}

// "#time" on a line of its own, without the C library's formatting.
void writetime(uint64_t now) {
  char line[24];
  size_t n = sizeof line;
  line[--n] = '\n';
  do {
    line[--n] = static_cast<char>('0' + now % 10);
    now /= 10;
  } while (now != 0);
  line[--n] = '#';
  (void)writeall(line + n, sizeof line - n);
}

// The way out by a fatal signal: the whole lines in the buffer, the bytes
// the last words wrote to the ports, then the time of the end (after the
// opening alone, when no thread ran). Only async-signal-safe calls.
void flushonsignal(void) {
  if (tr.fd < 0 || getpid() != tr.owner) return;
  (void)writeall(tr.buffer, static_cast<size_t>(tr.committed));
  uint64_t now = endtime();
  uint8_t safebyte[LOGICAL_PORTS];
  unsigned written = safelastwords(safebyte);  // the safe outputs' stage ran first
  if (tr.begun && written != 0) {
    writetime(now++);
    for (int p = 0; p < LOGICAL_PORTS; ++p) {
      if (((written >> p) & 1) == 0 || ((tr.ports >> p) & 1) == 0) continue;
      for (int bit = 0; bit < 8; ++bit) {
        char value = (safebyte[p] >> bit) & 1 ? '1' : '0';
        (void)writeall(&value, 1);
        (void)writeall(tr.outid[p][bit].data(), tr.outid[p][bit].size());
        (void)writeall("\n", 1);
      }
    }
  }
  writetime(now);
}

}  // namespace

void traceclose(void) {
  if (tr.fd >= 0 && (tr.traceon || !tr.begun)) {  // recording, or the opening alone
    uint64_t now = endtime();
    room(now);
    stamp(now);
    flush(now);
  }
  if (tr.fd >= 0) close(tr.fd);
  tr.fd = -1;
  tr.traceon = false;
  watchremove(&listener);
  tr.begun = false;
  tr.tracekeydown = tr.tracepending = false;
  tr.tracepasses = 0;
  tr.used = 0;
  tr.committed = 0;
  tr.ondisk = 0;
  tr.lasttime = tr.flushedat = tr.keytime = 0;
  tr.threadid.clear();
  tr.traceat = nullptr;
  tr.banks = 0;
}

namespace {
// Appends a formatted line to text, cut at LONGEST bytes as putline cuts.
void addline(std::string *text, const char *format, ...) __attribute__((format(printf, 2, 3)));
void addline(std::string *text, const char *format, ...) {
  char line[LONGEST];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0) text->append(line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

// Every bit of value, as putbits writes those that changed.
void addbits(std::string *text, const std::string (&ids)[8], uint8_t value) {
  for (int bit = 0; bit < 8; ++bit) addline(text, "%c%s\n", (value >> bit) & 1 ? '1' : '0', ids[bit].c_str());
}

// The identifiers of logical port p's data line and input bit.
std::string outcode(int p, int bit) { return makeid(static_cast<unsigned>(p * 16 + bit * 2)); }
std::string incode(int p, int bit) { return makeid(static_cast<unsigned>(p * 16 + bit * 2 + 1)); }
const unsigned KEYCODE = LOGICAL_PORTS * 16;

// The trace of a run that no thread has run in: port 0's lines, unknown,
// and no key, under the identifiers tracebegin gives them.
void makeopening(void) {
  std::string text = "$comment no thread ran: the run ended before its trace began $end\n"
                     "$timescale 1us $end\n$scope module port0 $end\n";
  for (int bit = 0; bit < 8; ++bit) addline(&text, "$var wire 1 %s out%d $end\n", outcode(0, bit).c_str(), bit);
  for (int bit = 0; bit < 8; ++bit) addline(&text, "$var wire 1 %s in%d $end\n", incode(0, bit).c_str(), bit);
  addline(&text, "$upscope $end\n$scope module keyboard $end\n$var real 64 %s key $end\n",
          makeid(KEYCODE).c_str());
  text += "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
  for (int bit = 0; bit < 8; ++bit) addline(&text, "x%s\nx%s\n", outcode(0, bit).c_str(), incode(0, bit).c_str());
  addline(&text, "r0 %s\n$end\n", makeid(KEYCODE).c_str());
  tr.openinglength = std::min(text.size(), sizeof tr.opening);
  memcpy(tr.opening, text.data(), tr.openinglength);
}
}  // namespace

void traceuse(int file, const char *name) {
  traceclose();
  tr.fd = file;
  tr.filename = name;
  tr.owner = getpid();
  stopstage(STOP_TRACE, traceclose, flushonsignal);
  if (tr.openinglength == 0) makeopening();
  sigset_t old;
  lastwordshold(&old);
  int error = rewrite(std::string(tr.opening, tr.openinglength));
  lastwordsrelease(&old);
  if (error != 0) stoptrace(error);
}

int traceopen(const char *name) {
  sigset_t old;
  lastwordshold(&old);  // a whole trace from the moment it has a name
  struct stat st;
  bool created = false;
  int file = openfdforwrite(name, &st, &created);
  if (file >= 0) {
    traceuse(file, name);
    if (!traceready()) removesamefile(name, st);  // no empty trace is left
  }
  int error = errno;
  lastwordsrelease(&old);
  errno = error;
  return file < 0 ? -1 : 0;
}

void tracebegin(const TraceStart &start) {
  if (tr.fd < 0) return;
  uint64_t now = clockus();
  tr.ports = start.ports;
  tr.banks = start.banks & ~((1u << FLAG_FIRST) - 1);
  for (int p = 0; p < LOGICAL_PORTS; ++p) {
    for (int bit = 0; bit < 8; ++bit) {
      tr.outid[p][bit] = outcode(p, bit);
      tr.inid[p][bit] = incode(p, bit);
    }
  }
  tr.keyid = makeid(KEYCODE);
  unsigned next = KEYCODE + 1;
  std::set<std::string> taken;
  std::vector<std::string> names;
  for (int32_t t = 0; t < prog.threadcount; ++t) {
    tr.threadid.push_back(makeid(next++));
    names.push_back(threadvariable(t, &taken));
  }
  // The banks' identifiers come after the threads': a trace without banks
  // keeps every identifier it always had.
  for (int p = FLAG_FIRST; p < PORT_NUMBERS; ++p) {
    if (((tr.banks >> p) & 1) == 0) continue;
    for (int bit = 0; bit < 8; ++bit) tr.flagid[p][bit] = makeid(next++);
  }

  std::string head;
  time_t wall = time(nullptr);
  struct tm local;
  char date[64] = "";
  if (localtime_r(&wall, &local) != nullptr) strftime(date, sizeof date, "%a %b %e %H:%M:%S %Y", &local);
  if (start.dated) addline(&head, "$date %s $end\n", date);
  addline(&head, "$version %s $end\n", start.version);
  head += "$timescale 1us $end\n";
  for (int p = 0; p < LOGICAL_PORTS; ++p) {
    if (((tr.ports >> p) & 1) == 0) continue;
    addline(&head, "$scope module port%d $end\n", p);
    for (int bit = 0; bit < 8; ++bit) addline(&head, "$var wire 1 %s out%d $end\n", tr.outid[p][bit].c_str(), bit);
    for (int bit = 0; bit < 8; ++bit) addline(&head, "$var wire 1 %s in%d $end\n", tr.inid[p][bit].c_str(), bit);
    head += "$upscope $end\n";
  }
  for (int p = FLAG_FIRST; p < PORT_NUMBERS; ++p) {
    if (((tr.banks >> p) & 1) == 0) continue;
    addline(&head, "$scope module port%d $end\n", p);
    for (int bit = 0; bit < 8; ++bit) addline(&head, "$var wire 1 %s flag%d $end\n", tr.flagid[p][bit].c_str(), bit);
    head += "$upscope $end\n";
  }
  head += "$scope module threads $end\n";
  for (int32_t t = 0; t < prog.threadcount; ++t) {
    addline(&head, "$var real 64 %s %s $end\n", tr.threadid[t].c_str(), names[t].c_str());
  }
  head += "$upscope $end\n$scope module keyboard $end\n";
  addline(&head, "$var real 64 %s key $end\n", tr.keyid.c_str());
  head += "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
  for (int p = 0; p < LOGICAL_PORTS; ++p) {
    if (((tr.ports >> p) & 1) == 0) continue;
    tr.traceout[p] = start.out[p];
    tr.tracein[p] = start.in[p];
    addbits(&head, tr.outid[p], tr.traceout[p]);
    addbits(&head, tr.inid[p], tr.tracein[p]);
  }
  for (int p = FLAG_FIRST; p < PORT_NUMBERS; ++p) {
    if (((tr.banks >> p) & 1) == 0) continue;
    tr.traceflag[p] = start.flag[p];
    addbits(&head, tr.flagid[p], tr.traceflag[p]);
  }
  tr.atstore.assign(static_cast<size_t>(prog.threadcount), -1);
  tr.traceat = tr.atstore.data();
  for (int32_t t = 0; t < prog.threadcount; ++t) {
    tr.atstore[t] = prog.threadstart[t];
    addline(&head, "r%ld %s\n", lineof(tr.atstore[t]), tr.threadid[t].c_str());
  }
  addline(&head, "r0 %s\n$end\n", tr.keyid.c_str());

  // The header is on disk before the first pass, whole: a signal meanwhile
  // waits, and its last words then end a complete header.
  sigset_t old;
  lastwordshold(&old);
  int error = rewrite(head);
  tr.begun = error == 0;
  lastwordsrelease(&old);
  if (error != 0) {
    stoptrace(error);
    return;
  }
  tr.lasttime = 0;
  tr.flushedat = now;
  tr.traceon = true;
  watchadd(&listener);
}

namespace {
// The bits of a traced byte that changed from *last, and the new byte, at
// now (0: the clock's now).
void recordbits(const std::string (&ids)[8], uint8_t *last, uint8_t byte, uint64_t now = 0) {
  if (now == 0) now = clockus();
  room(now);
  stamp(now);
  putbits(ids, byte, byte ^ *last);
  *last = byte;
  finish(now);
}
}  // namespace

namespace {

bool traced(unsigned which, int32_t n) { return ((which >> n) & 1) != 0; }

void recordoutput(int32_t port, uint8_t byte) {
  if (tr.traceon && byte != tr.traceout[port] && traced(tr.ports, port)) {
    recordbits(tr.outid[port], &tr.traceout[port], byte);
  }
}

// A GPIO input is stamped with the time of its edge, not with when the
// loop took it (stamp keeps the times in order: an edge taken after later
// changes were recorded goes with the last of them); edges the kernel
// dropped are said where they were found.
void recordinput(int32_t port, uint8_t byte) {
  if (!tr.traceon || !traced(tr.ports, port)) return;
  uint64_t at = watchseen.edgeus[port];
  if (watchseen.edgeslost != tr.edgeslost) {
    uint64_t now = at != 0 ? at : clockus();
    room(now);
    stamp(now);
    putline("$comment %llu edges lost in all: the kernel's queue was full $end\n",
            static_cast<unsigned long long>(watchseen.edgeslost));
    tr.edgeslost = watchseen.edgeslost;
    finish(now);
  }
  if (byte != tr.tracein[port]) recordbits(tr.inid[port], &tr.tracein[port], byte, at);
}

void recordflag(int32_t bank, uint8_t byte) {
  if (tr.traceon && traced(tr.banks, bank) && byte != tr.traceflag[bank]) {
    recordbits(tr.flagid[bank], &tr.traceflag[bank], byte);
  }
}

void recordthread(int32_t t, int32_t token) {
  if (!tr.traceon || token == tr.traceat[t]) return;
  uint64_t now = clockus();
  room(now);
  long before = lineof(tr.traceat[t]);
  tr.traceat[t] = token;
  long line = lineof(token);
  if (line == before) return;  // another token of the same line
  stamp(now);
  putline("r%ld %s\n", line, tr.threadid[t].c_str());
  finish(now);
}

void recordkey(uint8_t key) {
  if (!tr.traceon) return;
  uint64_t now = clockus();
  room(now);
  stamp(now);
  putline("r%d %s\n", key, tr.keyid.c_str());
  tr.tracekeydown = key != 0;
  tr.keytime = now;
  finish(now);
  if (tr.tracekeydown) watchpassin(1);  // shown until the next pass that has moved on
}

// Passes went by: a shown key goes back to 0, and changes do not wait in
// the buffer for long.
void recordpass(int32_t passes) {
  if (!tr.traceon) return;
  if (tr.tracepending) tr.tracepasses += passes;
  if (tr.tracekeydown || (tr.tracepending && tr.tracepasses >= TRACE_POLLPASSES)) {
    uint64_t now = clockus();
    // A key stays shown until time has moved on, so a viewer sees it.
    if (tr.tracekeydown && now > tr.keytime) recordkey(0);
    if (tr.tracepending && tr.tracepasses >= TRACE_POLLPASSES) {
      tr.tracepasses = 0;
      if (now - tr.flushedat >= WAITUS) flush(now);
    }
  }
  if (tr.tracekeydown) {
    watchpassin(1);
  } else if (tr.tracepending) {
    watchpassin(TRACE_POLLPASSES - tr.tracepasses);
  }
}

// The loop slept (the real-time mode): the next pass looks at the buffer.
void recordslept(void) { tr.tracepasses = TRACE_POLLPASSES; }

const Watcher listener = {
    recordpass,    // pass
    nullptr,       // passend
    recordkey,     // key
    recordinput,   // input
    recordoutput,  // output
    recordthread,  // thread
    nullptr,       // note
    nullptr,       // loop
    recordslept,   // slept
    recordflag,    // flag
    nullptr,       // keyin
};

}  // namespace

bool tracing(void) { return tr.traceon; }

bool traceready(void) { return tr.fd >= 0; }
