// Port access as a user meets it: the real build on a machine that grants
// no port access ends at once with a hint, and the simulated build finds its
// port and loops outputs back to inputs through the test connector.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#endif

#include <cstdlib>
#include <string>

#include "tests/e2e/e2etest.h"

namespace {

// True when this machine would let the real build at a port: the registers
// can be unlocked and something names a port's base address.
bool portreachable(void) {
#if defined(__i386__) || defined(__x86_64__)
  if (ioperm(0x278, 3, 1) != 0) return false;
  ioperm(0x278, 3, 0);
  if (access("/proc/sys/dev/parport/parport0/base-addr", R_OK) == 0) return true;
  int fd = open("/dev/mem", O_RDONLY);
  if (fd < 0) return false;
  unsigned char word[2] = {0, 0};
  bool named = pread(fd, word, sizeof word, 0x408) == 2 && (word[0] | word[1]) != 0;
  close(fd);
  return named;
#else
  return false;  // such a build never reaches a port
#endif
}

using PortE2eTest = E2eTest;

// Start-up stops before anything else: two lines on standard error (the
// message and what to do about it), status 255, no log created, the
// calibration file left alone.
TEST_F(PortE2eTest, RealBuildWithoutPortAccessEndsWithHint) {
  if (portreachable()) {
    GTEST_SKIP() << "this machine grants port access and names a port, so the real build "
                    "would drive the port instead of failing";
  }
  writeall(dir + "/t.qun", "OUTPUT 0 1\n$\n$\n");
  PtyChild child = ptystart({QUON_PATH, "t.qun"}, options);
  int status = ptyfinish(child, WAITMS);
  EXPECT_EQ(exitstatus(status), 255);

  std::string err = readall(options.stderrfile);
  const std::string message = "Unable to locate printer port!\n";
  ASSERT_EQ(err.compare(0, message.size(), message), 0) << err;
  std::string hint = err.substr(message.size());
  ASSERT_FALSE(hint.empty());
  EXPECT_EQ(hint.back(), '\n');
  EXPECT_EQ(hint.find('\n'), hint.size() - 1) << "the hint is one line: " << hint;
  EXPECT_GT(hint.size(), 10u) << "the hint says what to do: " << hint;

  EXPECT_FALSE(exists(dir + "/QUON.log"));
  EXPECT_EQ(readall(dir + "/QUON.INI"), CALIBRATED);
}

// What --ports says of the BIOS data area is what is true of /dev/mem: in a
// mount namespace of the test's own, /dev is a fresh folder that holds no
// /dev/mem, a fake one that records 0x378, or that fake for root only with
// quon run by another user. quon runs from a copy in that folder, which
// every user can reach.
TEST_F(PortE2eTest, PortsSayWhyTheBiosDataAreaCannotBeRead) {
  if (geteuid() != 0 || system("command -v unshare >/dev/null && command -v setpriv >/dev/null") != 0) {
    if (getenv("QUON_CI") != nullptr) FAIL() << "needs root, unshare and setpriv";
    GTEST_SKIP() << "needs root, unshare and setpriv (util-linux)";
  }
  std::string mem(0x40A, '\0');
  mem[0x408] = 0x78;
  mem[0x409] = 0x03;
  writeall(dir + "/mem", mem);
  const std::string OTHER = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  struct Case {
    const char *name;
    std::string setup;   // shell commands in the fresh /dev
    std::string runner;  // what quon runs under
    const char *line;
  } cases[] = {
      {"no /dev/mem, root", "", "", "BIOS data area: not readable (no /dev/mem)"},
      {"/dev/mem, root", "cp mem /dev/mem && chmod 600 /dev/mem && ", "",
       "BIOS data area: 0x378"},
      {"/dev/mem, another user", "cp mem /dev/mem && chmod 600 /dev/mem && ", OTHER,
       "BIOS data area: not readable (root only)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int status = -1;
    std::string out = capture("cd '" + dir + "' && unshare -m sh -c 'mount -t tmpfs tmpfs /dev && " +
                                  c.setup + "cp \"$0\" /dev/quon && exec " + c.runner +
                                  "/dev/quon --ports' '" + QUON_PATH + "'",
                              &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(("\n" + out).find(std::string("\n") + c.line + "\n"), std::string::npos) << out;
  }
}

// With the calibration of the test connector, a thread waiting for the very
// pattern another thread drives sees it: the port is found, the output goes
// out on the data lines and comes back on the input bits. A wait for a
// pattern the port does not show never ends: the simulated inputs are not
// simply echoing every wish.
TEST_F(PortE2eTest, SimulatedBuildLoopsOutputBackToInput) {
  struct Case {
    const char *name;
    const char *script;
    const char *seen;    // on the terminal before ESC
    const char *absent;  // never on the terminal, or nullptr
  } cases[] = {
      {"the pattern driven", "OUTPUT 0 10100101\n$\nWAIT 0 10100101\nNOTATE loopback seen\n$\n$\n",
       "loopback seen", nullptr},
      {"another pattern",
       "OUTPUT 0 10100101\n$\nWAIT 0 01011010\nNOTATE wrong match\n$\n"
       "NAME beacon\nNOTATE running\nDELAY 0.2\n$\n$\n",
       "running\r\nrunning", "wrong match"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PtyChild child = start(c.script);
    EXPECT_TRUE(ptywaitfor(child, c.seen, WAITMS)) << child.out;
    ptysend(child, "\x1b");
    EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
    EXPECT_EQ(readall(options.stderrfile), "");
    if (c.absent != nullptr) {
      EXPECT_EQ(child.out.find(c.absent), std::string::npos) << child.out;
    }
  }
}

}  // namespace
