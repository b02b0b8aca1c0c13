// Stopping safe and running unattended, end to end on the built quon-sim:
// the declared safe outputs at every kind of stop, seen in the trace, and
// the service manager's notifications on a socket the test owns.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2etest.h"

namespace {

// A datagram socket bound at path, as a service manager listens for a
// service's notifications; -1 when it cannot be made.
int notifysocket(const std::string &path) {
  int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// The data byte of logical port 0 at the end of a trace.
int lastout0(const std::string &vcd) {
  std::istringstream in(vcd);
  std::map<std::string, int> bitof;  // id -> bit of port0's out
  std::string scope;
  int byte = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.size() >= 3 && w[0] == "$scope") scope = w[2];
    if (w.size() == 6 && w[0] == "$var" && scope == "port0" && w[4].rfind("out", 0) == 0) {
      bitof[w[3]] = w[4][3] - '0';
    }
    if (line.size() >= 2 && (line[0] == '0' || line[0] == '1')) {
      auto b = bitof.find(line.substr(1));
      if (b == bitof.end()) continue;
      byte = line[0] == '1' ? byte | (1 << b->second) : byte & ~(1 << b->second);
    }
  }
  return byte;
}

double nowseconds(void) {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double mtimeseconds(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
}

class ServiceE2eTest : public E2eTest {};

// Whatever stops the run, the trace ends with port 0's outputs at the safe
// pattern, its don't-care places as the script left them.
TEST_F(ServiceE2eTest, EveryStopLeavesTheSafeOutputs) {
  const std::string UP = "OUTPUT 0 11111111\nNOTATE up\n";
  struct Case {
    const char *name;
    std::string script;
    int signal;  // sent once "up" shows; 0: none
    int status;  // exit status, or minus the signal it died of
  } cases[] = {
      {"ESC", UP + "KEY q\n$\n$\n", 0, 27},
      {"a port out of range", UP + "DELAY 0.2\nOUTPUT 2 1\n$\n$\n", 0, 255},
      {"SIGTERM", UP + "DELAY 100\n$\n$\n", SIGTERM, -SIGTERM},
      {"SIGHUP", UP + "DELAY 100\n$\n$\n", SIGHUP, -SIGHUP},
      {"SIGINT", UP + "DELAY 100\n$\n$\n", SIGINT, -SIGINT},
#if !defined(__SANITIZE_ADDRESS__) && !defined(QUON_TEST_SANITIZED)
      // Under the sanitizers a fault is theirs to report.
      {"SIGSEGV", UP + "DELAY 100\n$\n$\n", SIGSEGV, -SIGSEGV},
#endif
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PtyChild child = start(c.script, {"--safe=0:0000....", "--trace=t.vcd"});
    ASSERT_TRUE(ptywaitfor(child, "up", WAITMS)) << child.out;
    if (c.signal != 0) {
      kill(child.pid, c.signal);
    } else if (c.status == 27) {
      ASSERT_TRUE(waitkeymode(child, WAITMS));
      ptysend(child, "\x1b");
    }
    int status = ptyfinish(child, WAITMS);
    EXPECT_EQ(WIFSIGNALED(status) ? -WTERMSIG(status) : exitstatus(status), c.status);
    EXPECT_EQ(lastout0(readall(path("t.vcd"))), 0x0F) << readall(path("t.vcd")).substr(0, 2000);
  }
}

// With no terminal (a service, cron, CI) every signal whose default ends
// the program still stops it safe: the trace ends at the safe pattern and
// the program dies of the signal. SIGIO too, which the keyboard takes for
// itself only when there is a terminal.
TEST_F(ServiceE2eTest, EveryEndingSignalWithoutATerminalLeavesTheSafeOutputs) {
  writeall(path("t.qun"), "OUTPUT 0 11111111\nNOTATE up\nDELAY 100\n$\n$\n");
  const int signals[] = {SIGIO, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR};
  for (int sig : signals) {
    SCOPED_TRACE(strsignal(sig));
    unlink(path("t.vcd").c_str());
    unlink(path("plain-out.txt").c_str());  // the last run's "up" is not this one's
    pid_t pid = startplain(dir, {"--safe=0:0000....", "--trace=t.vcd", "t"});
    ASSERT_GT(pid, 0);
    bool up = false;
    for (long end = ptynowms() + WAITMS; !up && ptynowms() < end;) {
      up = readall(path("plain-out.txt")).find("up\n") != std::string::npos;
      if (!up) usleep(10000);
    }
    if (up) kill(pid, sig);
    else kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(up) << readall(path("plain-err.txt"));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_EQ(lastout0(readall(path("t.vcd"))), 0x0F) << readall(path("t.vcd")).substr(0, 2000);
  }
}

// A socket of the test's own as $NOTIFY_SOCKET: READY=1, a watchdog every
// half of WATCHDOG_USEC from the loop, none while a SPAWN holds the loop,
// STOPPING=1 after SIGTERM; the SPAWN'd command sees none of the variables.
TEST_F(ServiceE2eTest, TheServiceManagerHearsReadyWatchdogAndStopping) {
  std::string socketpath = path("notify");
  int s = notifysocket(socketpath);
  ASSERT_GE(s, 0);
  setenv("NOTIFY_SOCKET", socketpath.c_str(), 1);
  setenv("WATCHDOG_USEC", "200000", 1);
  PtyChild child = start("DELAY 0.8\nSPAWN env > env.txt; touch begun; sleep 1.5; touch over\n"
                         "NOTATE back\nDELAY 100\n$\n$\n");
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");

  struct Heard {
    double at;
    std::string text;
  };
  std::vector<Heard> heard;
  // Each message is stamped when it arrives: the test listens all along.
  auto listen = [&](int ms, const char *until) {
    for (long end = ptynowms() + ms; ptynowms() < end;) {
      pollfd p{s, POLLIN, 0};
      if (poll(&p, 1, 5) > 0) {
        char text[512];
        ssize_t n = recv(s, text, sizeof text, 0);
        if (n > 0) heard.push_back({nowseconds(), std::string(text, static_cast<size_t>(n))});
        continue;
      }
      if (until != nullptr && ptywaitfor(child, until, 5)) return true;
    }
    return until == nullptr;
  };
  EXPECT_TRUE(listen(WAITMS + 3000, "back")) << child.out;
  listen(400, nullptr);
  kill(child.pid, SIGTERM);
  ptyfinish(child, WAITMS);
  listen(200, nullptr);
  close(s);

  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.front().text, "READY=1\nSTATUS=running t.qun, 1 thread");
  EXPECT_EQ(heard.back().text, "STOPPING=1");
  double begun = mtimeseconds(path("begun")), over = mtimeseconds(path("over"));
  ASSERT_GT(begun, 0);
  int before = 0, during = 0, after = 0;
  double last = 0;
  for (const Heard &h : heard) {
    if (h.text != "WATCHDOG=1") continue;
    if (h.at < begun) ++before;
    else if (h.at > begun + 0.05 && h.at < over) ++during;
    else if (h.at > over) ++after;
    last = h.at;
  }
  EXPECT_GE(before, 2) << "a watchdog every 100 ms while the loop turns";
  EXPECT_LE(before, 9) << "not faster than every half of WATCHDOG_USEC";
  EXPECT_EQ(during, 0) << "the loop is held by the SPAWN";
  EXPECT_GE(after, 1) << "and beats again once it is back";
  EXPECT_GT(last, 0);
  std::string env = readall(path("env.txt"));
  EXPECT_EQ(env.find("NOTIFY_SOCKET"), std::string::npos);
  EXPECT_EQ(env.find("WATCHDOG_USEC"), std::string::npos);
}

// What reaches the service manager is one line of printable text per
// value, whatever the script's name holds, and the shortest watchdog
// interval still gets pings.
TEST_F(ServiceE2eTest, AScriptNameCannotInjectAndTheShortestWatchdogPings) {
  std::string socketpath = path("notify");
  int s = notifysocket(socketpath);
  ASSERT_GE(s, 0);
  const std::string name = "t\nMAINPID=1\x1b]0;x\x07\xff.qun";
  writeall(path(name), "DELAY 100\n$\n$\n");
  setenv("NOTIFY_SOCKET", socketpath.c_str(), 1);
  setenv("WATCHDOG_USEC", "1", 1);
  PtyChild child = ptystart({QUON_SIM_PATH, name}, options);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  std::vector<std::string> heard;
  bool pinged = false;
  for (long end = ptynowms() + WAITMS; !pinged && ptynowms() < end;) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char text[512];
    ssize_t n = recv(s, text, sizeof text, 0);
    if (n > 0) heard.emplace_back(text, static_cast<size_t>(n));
    pinged = !heard.empty() && heard.back() == "WATCHDOG=1";
  }
  kill(child.pid, SIGTERM);
  ptyfinish(child, WAITMS);
  close(s);
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.front(), "READY=1\nSTATUS=running t^JMAINPID=1^[]0;x^G\\xff.qun, 1 thread");
  EXPECT_TRUE(pinged) << "WATCHDOG_USEC=1 keeps a watchdog";
}

// Under the service manager STATUS= follows the notes, printable and held
// to ten a second (a burst in one pass tells its first and its last), and
// the last run's log and trace are kept beside the new ones; a run of its
// own keeps nothing.
TEST_F(ServiceE2eTest, StatusFollowsTheNotesAndTheLastRunsFilesAreKept) {
  std::string socketpath = path("notify");
  int s = notifysocket(socketpath);
  ASSERT_GE(s, 0);
  writeall(path("QUON.log"), "the last run's log\n");
  writeall(path("t.vcd"), "the last run's trace\n");
  std::string burst;
  for (int n = 1; n <= 50; ++n) burst += "NOTATE n" + std::to_string(n) + (n == 50 ? " \x1b[1m\n" : "\n");
  setenv("NOTIFY_SOCKET", socketpath.c_str(), 1);
  PtyChild child = start(burst + "DELAY 100\n$\n$\n", {"--trace=t.vcd"});
  unsetenv("NOTIFY_SOCKET");
  std::vector<std::string> statuses;
  for (long end = ptynowms() + WAITMS; ptynowms() < end && statuses.size() < 2;) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char text[512];
    ssize_t n = recv(s, text, sizeof text, 0);
    std::string heard(text, n > 0 ? static_cast<size_t>(n) : 0);
    if (heard.rfind("STATUS=", 0) == 0) statuses.push_back(heard);
  }
  kill(child.pid, SIGTERM);
  ptyfinish(child, WAITMS);
  close(s);
  EXPECT_EQ(statuses, (std::vector<std::string>{"STATUS=n1", "STATUS=n50 ^[[1m"})) << child.out;
  EXPECT_EQ(readall(path("QUON.prev.log")), "the last run's log\n");
  EXPECT_EQ(readall(path("t.prev.vcd")), "the last run's trace\n");
  EXPECT_NE(readall(path("t.vcd")).find("$enddefinitions"), std::string::npos);

  writeall(path("QUON.log"), "a log of its own\n");
  writeall(path("t.qun"), "OUTPUT 9 1\n$\n");
  PlainRun plain = runplain(dir, {"--trace=t.vcd", "t"});
  EXPECT_EQ(plain.status, 255) << plain.err;
  EXPECT_EQ(readall(path("QUON.prev.log")), "the last run's log\n") << "nothing kept without the manager";
}

}  // namespace
