// What the bridges' end-to-end tests share: programs started without a
// terminal with their output in a file, reaped with a bound, a free
// loopback port, and a mosquitto of the test's own on it.
#ifndef QUON_TESTS_MQTT_BRIDGES_H
#define QUON_TESTS_MQTT_BRIDGES_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/e2etest.h"

// A bridge that is not built is named as "", and its tests skip (or fail
// under CI).
#ifndef QUON_MQTT_PATH
#define QUON_MQTT_PATH ""
#endif
#ifndef QUON_MODBUS_PATH
#define QUON_MODBUS_PATH ""
#endif

// A tool the test cannot do without: a failure under CI, a skip by hand.
#define NEEDTOOL(have, what)                                      \
  do {                                                            \
    if (have) break;                                              \
    if (getenv("QUON_CI") != nullptr) FAIL() << what " is missing"; \
    GTEST_SKIP() << what " is missing";                           \
  } while (0)

inline bool onpath(const char *tool) {
  return system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Starts argv in folder with standard output and error to log, standard
// input from /dev/null, in a session of its own.
inline pid_t launch(const std::vector<std::string> &argv, const std::string &folder, const std::string &log) {
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int in = open("/dev/null", O_RDONLY);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    if (in < 0 || out < 0 || chdir(folder.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// The exit status of pid once it has ended within ms; -1 (and killed) when
// it did not, or ended by a signal.
inline int reap(pid_t pid, int ms) {
  int status = 0;
  for (int waited = 0; waited <= ms; waited += 10) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0) return -1;  // reaped already
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

inline int freeport(void) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr *>(&a), &size) == 0) {
    port = ntohs(a.sin_port);
  }
  close(s);
  return port;
}

inline bool listening(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool up = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  close(s);
  return up;
}

// A mosquitto of the test's own on a free loopback port, with the
// configuration lines given (the listener's own lines after it).
struct Broker {
  std::string dir, conf;
  int port = 0;
  pid_t pid = -1;
  bool start(const std::string &folder, const std::string &lines, int on = 0) {
    dir = folder;
    port = on != 0 ? on : freeport();
    const passwd *me = getpwuid(geteuid());
    conf = "listener " + std::to_string(port) + " 127.0.0.1\npersistence false\n" +
           (me != nullptr ? "user " + std::string(me->pw_name) + "\n" : "") + lines;
    writeall(dir + "/mosquitto.conf", conf);
    pid = launch({"mosquitto", "-c", dir + "/mosquitto.conf"}, dir, dir + "/mosquitto.log");
    return waituntil(WAITMS, [&] { return listening(port); });
  }
  void stop(void) {
    if (pid > 0) kill(pid, SIGKILL), reap(pid, WAITMS);
    pid = -1;
  }
  ~Broker() { stop(); }
};

// mosquitto_sub on the broker, each message a line "topic payload" in its
// file.
struct Subscriber {
  std::string file, probe;
  pid_t pid = -1;
  void start(const Broker &b, const std::string &filter, const std::string &name,
             const std::vector<std::string> &extra = {}) {
    file = b.dir + "/" + name + ".txt";
    probe = "quontest/" + name;
    std::vector<std::string> argv = {"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(b.port),
                                     "-v", "-t", filter, "-t", probe};
    argv.insert(argv.end(), extra.begin(), extra.end());
    pid = launch(argv, b.dir, file);
  }
  // What arrived, the probe's message left out.
  std::string seen(void) const {
    std::string all = readall(file), kept;
    for (size_t at = 0, end; at < all.size(); at = end + 1) {
      end = all.find('\n', at);
      if (end == std::string::npos) end = all.size();
      if (all.compare(at, probe.size(), probe) != 0) kept += all.substr(at, end - at) + (end < all.size() ? "\n" : "");
    }
    return kept;
  }
  // Waits until the subscription is in place: a retained message on the
  // probe topic reaches it whenever it subscribed.
  bool ready(const Broker &b);
  bool waitfor(const std::string &text, int ms = WAITMS) const {
    return waituntil(ms, [&] { return seen().find(text) != std::string::npos; });
  }
  // start, then waitfor(text).
  bool sees(const Broker &b, const std::string &filter, const std::string &name, const std::string &text) {
    start(b, filter, name);
    return waitfor(text);
  }
  ~Subscriber() {
    if (pid > 0) kill(pid, SIGKILL), reap(pid, WAITMS);
  }
};

inline void publishto(const Broker &b, const std::string &topic, const std::string &payload,
                      bool retained = false) {
  int status = 0;
  capture("mosquitto_pub -h 127.0.0.1 -p " + std::to_string(b.port) + std::string(retained ? " -r" : "") + " -q 1 -t '" + topic + "' -m '" + payload + "'",
          &status);
}

inline bool Subscriber::ready(const Broker &b) {
  publishto(b, probe, "ready", true);
  return waituntil(WAITMS, [&] { return readall(file).find(probe + " ready") != std::string::npos; });
}

// The region a run publishes appears.
inline bool waitregion(pid_t pid) {
  return waituntil(WAITMS, [&] { return exists(regionof(pid)); });
}

// The fixture both bridges' tests start from: quon-sim runs in the test's
// folder, and everything started is killed at the end.
class BridgeE2eTest : public E2eTest {
 protected:
  void TearDown() override {
    for (pid_t p : started) kill(p, SIGKILL), reap(p, WAITMS);
    E2eTest::TearDown();
  }
  // quon-sim on script (as t.qun), flags first; its region is there.
  pid_t run(const std::string &script, const std::vector<std::string> &flags = {}) {
    writeall(path("t.qun"), script);
    std::vector<std::string> args = flags;
    args.push_back("t");
    pid_t pid = startplain(dir, args);
    started.push_back(pid);
    EXPECT_TRUE(waitregion(pid));
    return pid;
  }
  std::string printed(void) { return readall(path("plain-out.txt")); }
  bool runprints(const std::string &text) { return waitsays(path("plain-out.txt"), text); }
  std::vector<pid_t> started;
};

#endif
