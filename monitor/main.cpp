// quon-monitor: a live view of a running QUON (its ports' lines as lamps,
// where each thread waits, the loop's pass rate and longest pass) that can
// force input bits and release them.
//
//   quon-monitor [PID]                       the live view
//   quon-monitor --once [PID]                one snapshot as plain text
//   quon-monitor --force=PORT:PATTERN [PID]  force the pattern's 1 and 0 places
//   quon-monitor --release=PORT[:PATTERN] [PID]
//   quon-monitor --key=TEXT [PID]            type TEXT's characters into the run
//   quon-monitor --flag=BANK:PATTERN [PID]   apply the pattern to a flag bank
//
// Statuses: 0 done, 1 nothing to attach to (or the run's region was cut
// short under the monitor), 2 a bad command line.
#include <curses.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "compiler/literals.h"
#include "monitor/attach.h"

namespace {

// What the command line chose.
enum Mode { LIVE, ONCE, FORCE, RELEASE, KEYS, FLAG };
struct MonitorChoices {
  Mode mode = LIVE;
  int pid = 0;
  int port = 0;
  uint8_t mask = 0, value = 0;
  std::string keys;  // --key's text
  bool help = false, version = false;
};

// "PORT" or "PORT:PATTERN" (pattern of '1', '0' and '.' places, up to 8):
// "" or why it is refused.
std::string portpattern(const char *text, bool needpattern, MonitorChoices *run) {
  int32_t port = 0;
  uint16_t pattern = 0;
  run->mask = 0xFF;
  run->value = 0;
  switch (readportpattern(text, &port, &pattern)) {
    case PORTPATTERN_BADPORT: return "the port is 0 or 1";
    case PORTPATTERN_BADPATTERN: return "a pattern is up to 8 places of 1, 0 and .";
    case PORTPATTERN_PORTONLY:
      if (needpattern) return "--force needs PORT:PATTERN";
      break;
    case PORTPATTERN_READ:
      run->mask = static_cast<uint8_t>(pattern >> 8);
      run->value = static_cast<uint8_t>(pattern);
      break;
  }
  run->port = port;
  return "";
}

std::string once(const char *, MonitorChoices *run) {
  run->mode = ONCE;
  return "";
}
std::string forcing(const char *value, MonitorChoices *run) {
  run->mode = FORCE;
  return portpattern(value, true, run);
}
std::string releasing(const char *value, MonitorChoices *run) {
  run->mode = RELEASE;
  return portpattern(value, false, run);
}
std::string keys(const char *value, MonitorChoices *run) {
  run->mode = KEYS;
  run->keys = value;
  return run->keys.empty() ? "--key needs a text to type" : "";
}
// BANK:PATTERN: a flag bank's number (2 to 9) and what OUTPUT would apply.
std::string flag(const char *value, MonitorChoices *run) {
  run->mode = FLAG;
  int32_t bank = 0;
  uint16_t pattern = 0;
  switch (readportpattern(value, &bank, &pattern, PORT_NUMBERS - 1)) {
    case PORTPATTERN_BADPORT: return "a flag bank is 2 to 9";
    case PORTPATTERN_PORTONLY: return "--flag needs BANK:PATTERN";
    case PORTPATTERN_BADPATTERN: return "a pattern is up to 8 places of 1, 0 and .";
    case PORTPATTERN_READ: break;
  }
  if (bank < FLAG_FIRST) return "a flag bank is 2 to 9";
  run->port = bank;
  run->mask = static_cast<uint8_t>(pattern >> 8);
  run->value = static_cast<uint8_t>(pattern);
  return "";
}
std::string help(const char *, MonitorChoices *run) {
  run->help = true;
  return "";
}
std::string version(const char *, MonitorChoices *run) {
  run->version = true;
  return "";
}

// The options, as the program's own command line has them: a name, what
// it takes, and the handler that fills the choices. The modes are one
// group of the usage, the messages another.
struct MonitorOption {
  const char *name;   // "--once", "--force"
  const char *value;  // "PORT:PATTERN"; "[:PATTERN]" after PORT marks it optional
  bool message;       // prints and leaves (--help, --version)
  std::string (*handler)(const char *value, MonitorChoices *run);
};
const MonitorOption OPTIONS[] = {
    {"--once", nullptr, false, once},
    {"--force", "PORT:PATTERN", false, forcing},
    {"--release", "PORT[:PATTERN]", false, releasing},
    {"--key", "TEXT", false, keys},
    {"--flag", "BANK:PATTERN", false, flag},
    {"--help", nullptr, true, help},
    {"--version", nullptr, true, version},
};

// The usage, from the table: the modes, then the messages.
std::string usagetext(void) {
  std::string modes, messages;
  for (const MonitorOption &o : OPTIONS) {
    std::string &group = o.message ? messages : modes;
    group += (group.empty() ? "" : " | ") + std::string(o.name) +
             (o.value != nullptr ? std::string("=") + o.value : "");
  }
  return "usage: quon-monitor [" + modes + "] [PID]\n       quon-monitor " + messages + "\n";
}

[[noreturn]] void usage(const std::string &why) {
  if (!why.empty()) fprintf(stderr, "quon-monitor: %s\n", why.c_str());
  fputs(usagetext().c_str(), stderr);
  exit(2);
}

// Reads the arguments into the choices; a refused one ends the program
// with the usage. Nothing acts here.
MonitorChoices readarguments(int argc, char **argv) {
  MonitorChoices run;
  for (int i = 1; i < argc && !run.help && !run.version; ++i) {
    const char *arg = argv[i];
    const MonitorOption *found = nullptr;
    for (const MonitorOption &o : OPTIONS) {
      size_t n = strlen(o.name);
      bool named = strncmp(arg, o.name, n) == 0;
      if (named && o.value == nullptr && arg[n] == '\0') found = &o;
      if (named && o.value != nullptr && arg[n] == '=') found = &o;
    }
    if (found != nullptr) {
      const char *equals = found->value != nullptr ? arg + strlen(found->name) + 1 : nullptr;
      std::string refusal = found->handler(equals, &run);
      if (!refusal.empty()) usage(refusal);
    } else if (arg[0] != '-' && run.pid == 0 && strspn(arg, "0123456789") == strlen(arg) &&
               strlen(arg) < 10 && strtol(arg, nullptr, 10) > 0) {
      run.pid = static_cast<int>(strtol(arg, nullptr, 10));
    } else {
      usage(std::string("not understood: ") + arg);
    }
  }
  return run;
}

const char *const HELP =
    "arrows: bit/row  0/1: force (bank: set)  r/R: release one/all  k: type a key  PgUp/PgDn: scroll  q: quit";

// The rows the cursor moves over: ports 0 and 1, then each flag bank.
std::vector<int> cursorrows(const Snapshot &s) {
  std::vector<int> rows = {0, 1};
  for (int n = FLAG_FIRST; n < PORT_NUMBERS; ++n) {
    if ((s.head.flagbanks >> n) & 1) rows.push_back(n);
  }
  return rows;
}

// The row after (or before) row in the cursor's rows, round at the ends.
int nextrow(const Snapshot &s, int row, int step) {
  std::vector<int> rows = cursorrows(s);
  size_t at = 0;
  while (at < rows.size() && rows[at] != row) ++at;
  if (at == rows.size()) return rows[0];
  return rows[(at + (step > 0 ? 1 : rows.size() - 1)) % rows.size()];
}

// Keys typed before the terminal was put in keypad mode (before the first
// frame) arrive in the cursor keys' other form: both forms are read.
const struct {
  const char *sequence;
  int key;
} KEYFORMS[] = {
    {"\033[A", KEY_UP},    {"\033OA", KEY_UP},    {"\033[B", KEY_DOWN},  {"\033OB", KEY_DOWN},
    {"\033[C", KEY_RIGHT}, {"\033OC", KEY_RIGHT}, {"\033[D", KEY_LEFT},  {"\033OD", KEY_LEFT},
    {"\033[H", KEY_HOME},  {"\033OH", KEY_HOME},  {"\033[F", KEY_END},   {"\033OF", KEY_END},
    {"\033[1~", KEY_HOME}, {"\033[4~", KEY_END},  {"\033[5~", KEY_PPAGE}, {"\033[6~", KEY_NPAGE},
};

bool incurses = false;  // the terminal is the live view's

void endcurses(void) {
  if (incurses) endwin();
  incurses = false;
}

// What the live view ended with.
enum { QUIT, QUIT_FORCED, GONE };

int live(Attached *a) {
  initscr();
  incurses = true;
  cbreak();
  noecho();
  keypad(stdscr, TRUE);
  for (const auto &form : KEYFORMS) define_key(form.sequence, form.key);
  curs_set(0);
  timeout(80);  // refreshed more than ten times a second
  int selected = 0;
  size_t first = 0;   // the thread on the first row of the list
  bool ended = false;
  std::string note;   // what the status row says instead of the list's extent
  bool typing = false;  // k was pressed: the next key goes to the run
  Snapshot s{};
  for (;;) {
    heartbeat(*a);
    bool whole = snapshot(*a, &s);
    if (a->lost) return GONE;
    if (!ended && whole && !running(*a, s)) ended = true;
    erase();
    // The list takes the rows the head, the status row and the help row leave.
    std::vector<std::string> head = renderhead(*a, s, ended ? -1 : selected);
    size_t rows = LINES > 2 && head.size() < static_cast<size_t>(LINES - 2) ? LINES - 2 - head.size() : 0;
    size_t threads = s.threads.size();
    if (first + rows > threads) first = threads > rows ? threads - rows : 0;
    std::vector<std::string> list = renderthreads(*a, s, first, rows);
    int row = 0;
    for (const std::vector<std::string> *part : {&head, &list}) {
      for (const std::string &l : *part) {
        if (row < LINES - 2) mvaddnstr(row++, 0, l.c_str(), COLS - 1);
      }
    }
    std::string status = note;
    if (status.empty() && ended) status = "The program has ended. q quits.";
    if (status.empty() && !list.empty()) {
      status = "threads " + std::to_string(first) + " to " + std::to_string(first + list.size() - 1) + " of " +
               std::to_string(threads);
    }
    mvaddnstr(LINES - 2, 0, status.c_str(), COLS - 1);
    mvaddnstr(LINES - 1, 0, HELP, COLS - 1);
    refresh();
    int key = getch();
    if (key == ERR) continue;
    std::string wasnote = note;
    note.clear();
    if (typing) {
      typing = false;
      std::string why;
      if (ended) continue;
      if (key < 1 || key > 255) {
        note = "only a character key can be typed into the run";
      } else if (typekeys(*a, std::string(1, static_cast<char>(key)), &why) != 0) {
        note = why;
      } else {
        note = "typed key " + std::to_string(key) + " into the run";
      }
      continue;
    }
    if (key == 'k' && !ended) {
      typing = true;
      note = "the next key is typed into the run";
      continue;
    }
    if (key == 'q') {
      if (ended) return QUIT;
      snapshot(*a, &s);  // the bits as they are now, not a frame ago
      if (a->lost) return GONE;
      std::string forced = forcedbits(s);
      if (forced.empty()) return QUIT;
      note = forced + " stay forced; R releases them, q quits";
      if (wasnote == note) return QUIT_FORCED;
      continue;
    }
    int port = selected / 8, bit = selected % 8;
    switch (key) {
      case KEY_NPAGE: first += rows; break;
      case KEY_PPAGE: first -= first < rows ? first : rows; break;
      case KEY_HOME: first = 0; break;
      case KEY_END: first = threads; break;
      default: break;
    }
    if (ended) continue;
    switch (key) {
      case KEY_LEFT: if (bit < 7) ++selected; break;
      case KEY_RIGHT: if (bit > 0) --selected; break;
      case KEY_UP: selected = nextrow(s, port, -1) * 8 + bit; break;
      case KEY_DOWN: selected = nextrow(s, port, 1) * 8 + bit; break;
      case '0':
      case '1': {
        uint8_t one = static_cast<uint8_t>(1u << bit);
        std::string why;
        if (port < LOGICAL_PORTS) {
          force(*a, port, one, key == '1' ? 0xFF : 0);
        } else if (setflags(*a, port, static_cast<uint16_t>(one << 8 | (key == '1' ? one : 0)), &why) != 0) {
          note = why;
        }
        break;
      }
      case 'r': if (port < LOGICAL_PORTS) release(*a, port, static_cast<uint8_t>(1u << bit)); break;
      case 'R': release(*a, 0, 0xFF); release(*a, 1, 0xFF); break;
      default: break;
    }
  }
}

[[noreturn]] void gone(const Attached &a) {
  fprintf(stderr, "quon-monitor: process %d has gone (its region was cut short)\n", a.pid);
  exit(1);
}

}  // namespace

int main(int argc, char **argv) {
  MonitorChoices run = readarguments(argc, argv);
  if (run.help) {
    fputs(usagetext().c_str(), stdout);
    return 0;
  }
  if (run.version) {
    puts(QUON_IDENTITY);
    return 0;
  }
  Mode mode = run.mode;
  int pid = run.pid, port = run.port;
  uint8_t mask = run.mask, value = run.value;
  Attached a;
  std::string why;
  if (attach(pid, &a, &why) != 0) {
    fprintf(stderr, "quon-monitor: %s\n", why.c_str());
    return 1;
  }
  if (mode == FORCE) force(a, port, mask, value);
  if (mode == KEYS || mode == FLAG) {
    int done = mode == KEYS ? typekeys(a, run.keys, &why)
                            : setflags(a, port, static_cast<uint16_t>(mask << 8 | value), &why);
    if (done != 0) {
      fprintf(stderr, "quon-monitor: process %d: %s\n", a.pid, why.c_str());
      detach(&a);
      return 1;
    }
  }
  if (mode == RELEASE) release(a, port, mask);
  if (mode == ONCE) {
    Snapshot s;
    if (!snapshot(a, &s)) {
      if (a.lost) gone(a);
      fprintf(stderr, "quon-monitor: no whole snapshot could be read\n");
      return 1;
    }
    for (const std::string &l : render(a, s, -1)) printf("%s\n", l.c_str());
  }
  if (mode == LIVE) {
    if (!isatty(0) || !isatty(1)) usage("the live view needs a terminal; --once prints one snapshot");
    int ended = QUIT;
    try {
      ended = live(&a);
    } catch (const std::exception &e) {
      endcurses();
      fprintf(stderr, "quon-monitor: %s\n", e.what());
      return 1;
    }
    endcurses();
    if (ended == QUIT_FORCED) {
      Snapshot s;
      if (snapshot(a, &s) && !forcedbits(s).empty()) {
        fprintf(stderr, "quon-monitor: %s stay forced; quon-monitor --release=PORT releases them\n",
                forcedbits(s).c_str());
      }
    }
  }
  if (a.lost) gone(a);
  detach(&a);
  return 0;
}
