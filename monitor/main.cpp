// quon-monitor: a live view of a running QUON (its ports' lines as lamps,
// where each thread waits, the loop's pass rate and longest pass) that can
// force input bits and release them.
//
//   quon-monitor [PID]                       the live view
//   quon-monitor --once [PID]                one snapshot as plain text
//   quon-monitor --force=PORT:PATTERN [PID]  force the pattern's 1 and 0 places
//   quon-monitor --release=PORT[:PATTERN] [PID]
//
// Statuses: 0 done, 1 nothing to attach to, 2 a bad command line.
#include <curses.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compiler/literals.h"
#include "monitor/attach.h"

namespace {

const char *const USAGE =
    "usage: quon-monitor [--once | --force=PORT:PATTERN | --release=PORT[:PATTERN]] [PID]\n";

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

void live(Attached *a) {
  initscr();
  cbreak();
  noecho();
  keypad(stdscr, TRUE);
  curs_set(0);
  timeout(80);  // refreshed more than ten times a second
  int selected = 0;
  bool ended = false;
  Snapshot s;
  for (;;) {
    ++a->region->heartbeat;  // the program samples its pass times while this moves
    if (!ended && !running(*a)) ended = true;
    erase();
    if (snapshot(*a, &s)) {
      std::vector<std::string> lines = render(*a, s, ended ? -1 : selected);
      int row = 0;
      for (const std::string &l : lines) mvaddnstr(row++, 0, l.c_str(), COLS - 1);
    }
    mvaddstr(LINES - 1, 0,
             ended ? "The program has ended. q quits."
                   : "left/right: input bit  up/down: port  0/1: force  r: release  R: release all  q: quit");
    refresh();
    int key = getch();
    if (key == 'q') break;
    if (ended) continue;
    int port = selected / 8, bit = selected % 8;
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
  endwin();
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
      fprintf(stderr, "quon-monitor: no whole snapshot could be read\n");
      return 1;
    }
    for (const std::string &l : render(a, s, -1)) printf("%s\n", l.c_str());
  }
  if (mode == LIVE) {
    if (!isatty(0) || !isatty(1)) usage("the live view needs a terminal; --once prints one snapshot");
    live(&a);
  }
  detach(&a);
  return 0;
}
