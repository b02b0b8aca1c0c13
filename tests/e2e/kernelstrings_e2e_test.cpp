// What the kernel and a script say reaches the terminal as text, and what
// names no GPIO chip is never opened: the real quon over a GPIO chip of the
// test's own (tests/shim, loaded with LD_PRELOAD) whose label, line name
// and consumer hold escape sequences, and over character devices that are
// no GPIO chip, watched with inotify for any open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/e2etest.h"

namespace {

const char *const EVIL = "evil\x1b]2;ROOTED\x07";
const char *const SHOWNEVIL = "evil^[]2;ROOTED^G";
const char *const RED = "\x9b" "31mred";  // a C1 escape, one byte
const char *const SHOWNRED = "\\x9b31mred";

// A run of program in folder with standard input /dev/null, the shim's
// variables (and the shim itself when shim) in its environment; as uid
// when uid >= 0.
PlainRun runwith(const char *program, const std::string &folder,
                 const std::vector<std::string> &args,
                 const std::vector<std::pair<const char *, const char *>> &vars, bool shim,
                 int uid = -1) {
  PlainStart start;
  start.program = program;
  for (const auto &v : vars) start.vars.emplace_back(v.first, v.second);
  if (shim) {
    start.vars.emplace_back("LD_PRELOAD", QUON_GPIO_SHIM_PATH);
    // The shim comes first; the sanitizer's other options stay as given.
    const char *asan = getenv("ASAN_OPTIONS");
    start.vars.emplace_back("ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") +
                                                (asan != nullptr && *asan ? ":" : "") +
                                                "verify_asan_link_order=0");
  }
  return runplain(folder, args, uid, start);
}

// The first byte a terminal would obey (a C0 control but the newline, DEL,
// a C1 control as one byte), or -1 when there is none.
long firstcontrol(const std::string &text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F || (c >= 0x80 && c < 0xA0)) return static_cast<long>(i);
  }
  return -1;
}

using KernelStringsE2eTest = E2eTest;

// Every message that carries the chip's label, a line's name or its
// consumer, or the script's words under --check, shows them escaped.
TEST_F(KernelStringsE2eTest, ALineConsumerHoldingEscapeBytesReachesTheTerminalEscaped) {
  writeall(path("t.qun"), "OUTPUT 0 1\n$\n$\n");
  writeall(path("w.qun"), "W\x1b]0;PWNED\x07\n$\n$\n");
  const std::vector<std::pair<const char *, const char *>> chip = {
      {"QUON_SHIM_LABEL", EVIL}, {"QUON_SHIM_NAME", RED}, {"QUON_SHIM_CONSUMER", EVIL}};
  const struct {
    const char *what;
    const char *program;
    std::vector<std::string> args;
    std::string said;  // a line of standard output and error together
  } cases[] = {
      {"--ports lists the chip", QUON_PATH, {"--ports"},
       std::string("gpiochip99 label \"") + SHOWNEVIL + "\"  4 lines\n"},
      {"--ports lists the line", QUON_PATH, {"--ports"},
       std::string("  line   0  ") + SHOWNRED + "       in use by \"" + SHOWNEVIL + "\"\n"},
      {"a request for a held line", QUON_PATH, {"--port=gpiochip99:out=0", "t.qun"},
       std::string("\nline 0 (") + SHOWNRED + ") of gpiochip99 is in use by \"" + SHOWNEVIL +
           "\": free it and run again\n"},
      {"--check echoes the script", QUON_SIM_PATH, {"--check", "w.qun"},
       "w.qun:1: warning: 'W^[]0;PWNED^G' is read as WAIT"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    PlainRun r = runwith(c.program, dir, c.args, chip, true);
    std::string said = r.out + r.err;
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_EQ(firstcontrol(said), -1) << said;
  }
}

// A character device that is no GPIO chip, a link to one, or a FIFO is
// refused by what it is, and never opened: no serial line raised, no
// watchdog armed.
TEST_F(KernelStringsE2eTest, ANameThatIsNoGpioChipIsRefusedAndNeverOpened) {
  writeall(path("t.qun"), "OUTPUT 0 1\n$\n$\n");
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string terminal = ptsname(master);
  ASSERT_EQ(symlink(terminal.c_str(), path("gpiochip0").c_str()), 0);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, terminal.c_str(), IN_OPEN | IN_CLOSE_WRITE), 0);
  ASSERT_GE(inotify_add_watch(watch, path("fifo").c_str(), IN_OPEN | IN_CLOSE_WRITE), 0);
  for (const std::string &name : {terminal, path("gpiochip0"), path("fifo"), std::string("/dev/null"),
                                  std::string("/dev/zero")}) {
    SCOPED_TRACE(name);
    std::string option = "--port=" + name + ":out=0";
    PlainRun r = runwith(QUON_PATH, dir, {option, "t.qun"}, {}, false);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, option + ": " + name + " is not a GPIO chip\n");
    char events[4096];
    EXPECT_LE(read(watch, events, sizeof events), 0) << "the run opened a watched name";
  }
  close(watch);
  close(master);
}

// Refused a chip whose mode would let it in, a user is not told to become
// root or join a group, and root is not told that only root may open it.
TEST_F(KernelStringsE2eTest, APermissionHintSaysWhatReallyKeepsTheChipClosed) {
  writeall(path("t.qun"), "OUTPUT 0 1\n$\n$\n");
  chmod(dir.c_str(), 0777);
  const std::string refused = "--port=gpiochip99:out=0: cannot open /dev/gpiochip99: ";
  const struct {
    int uid;
    std::string hint;
  } cases[] = {
      {0, "permission denied to root itself: a device policy (a container's, or a service's "
          "DeviceAllow=), a security module or missing capabilities (CAP_DAC_OVERRIDE) keep it "
          "closed\n"},
      {65534, "permission denied, though its mode lets every user open it: a device policy (a "
              "container's, or a service's DeviceAllow=) or a security module keeps it closed\n"},
  };
  if (geteuid() != 0) {
    if (getenv("QUON_CI") != nullptr) FAIL() << "root and a second uid are needed";
    GTEST_SKIP() << "root and a second uid are needed";
  }
  for (const auto &c : cases) {
    SCOPED_TRACE(c.uid);
    PlainRun r = runwith(QUON_PATH, dir, {"--port=gpiochip99:out=0", "t.qun"},
                         {{"QUON_SHIM_DENY", "1"}}, true, c.uid);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, refused + c.hint);
  }
}

}  // namespace
