// quon-monitor: a live view of a running QUON (its ports' lines as lamps,
// where each thread waits, the loop's pass rate and longest pass) that can
// force input bits and release them.
//
//   quon-monitor [PID]                       the live view
//   quon-monitor --once [PID]                one snapshot as plain text
//   quon-monitor --force=PORT:PATTERN [PID]  force the pattern's 1 and 0 places
//   quon-monitor --release=PORT[:PATTERN] [PID]
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

#include "compiler/literals.h"
#include "monitor/attach.h"

namespace {

const char *const USAGE =
    "usage: quon-monitor [--once | --force=PORT:PATTERN | --release=PORT[:PATTERN]] [PID]\n"
    "       quon-monitor --help | --version\n";

[[noreturn]] void usage(const char *why) {
  if (why != nullptr) fprintf(stderr, "quon-monitor: %s\n", why);
  fputs(USAGE, stderr);
  exit(2);
}

// "PORT" or "PORT:PATTERN" (pattern of '1', '0' and '.' places, up to 8).
void portpattern(const char *text, bool needpattern, int *port, uint8_t *mask, uint8_t *value) {
  if ((text[0] != '0' && text[0] != '1') || (text[1] != '\0' && text[1] != ':')) {
    usage("the port is 0 or 1");
  }
  *port = text[0] - '0';
  *mask = 0xFF;
  *value = 0;
  if (text[1] == '\0') {
    if (needpattern) usage("--force needs PORT:PATTERN");
    return;
  }
  const char *p = text + 2;
  size_t n = strlen(p);
  if (n == 0 || n > 8 || strspn(p, "10.") != n) usage("a pattern is up to 8 places of 1, 0 and .");
  uint16_t pattern = texttopattern(p);
  *mask = static_cast<uint8_t>(pattern >> 8);
  *value = static_cast<uint8_t>(pattern);
}

const char *const HELP = "arrows: bit/port  0/1: force  r/R: release one/all  PgUp/PgDn: scroll  q: quit";

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
      case KEY_UP: case KEY_DOWN: selected = (selected + 8) % 16; break;
      case '0': force(*a, port, static_cast<uint8_t>(1u << bit), 0); break;
      case '1': force(*a, port, static_cast<uint8_t>(1u << bit), 0xFF); break;
      case 'r': release(*a, port, static_cast<uint8_t>(1u << bit)); break;
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
  enum { LIVE, ONCE, FORCE, RELEASE } mode = LIVE;
  int pid = 0, port = 0;
  uint8_t mask = 0, value = 0;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (strcmp(arg, "--once") == 0) {
      mode = ONCE;
    } else if (strncmp(arg, "--force=", 8) == 0) {
      mode = FORCE;
      portpattern(arg + 8, true, &port, &mask, &value);
    } else if (strncmp(arg, "--release=", 10) == 0) {
      mode = RELEASE;
      portpattern(arg + 10, false, &port, &mask, &value);
    } else if (strcmp(arg, "--help") == 0) {
      fputs(USAGE, stdout);
      return 0;
    } else if (strcmp(arg, "--version") == 0) {
      puts(QUON_IDENTITY);
      return 0;
    } else if (arg[0] != '-' && pid == 0 && strspn(arg, "0123456789") == strlen(arg) &&
               strlen(arg) < 10 && strtol(arg, nullptr, 10) > 0) {
      pid = static_cast<int>(strtol(arg, nullptr, 10));
    } else {
      usage((std::string("not understood: ") + arg).c_str());
    }
  }
  Attached a;
  std::string why;
  if (attach(pid, &a, &why) != 0) {
    fprintf(stderr, "quon-monitor: %s\n", why.c_str());
    return 1;
  }
  if (mode == FORCE) force(a, port, mask, value);
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
