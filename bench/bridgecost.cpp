// What the bridges cost and how soon they answer, with a mosquitto of the
// benchmark's own on a free loopback port: an input forced through the
// region until its port/0/in message arrives, a Modbus read of 16 discrete
// inputs on loopback, and the pass with each bridge attached against the
// pass with it stopped (the region published in both).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "driver/mainloop.h"
#include "monitor/attach.h"
#include "port/port.h"
#include "publish/publish.h"
#include "sim/simport.h"

#ifndef QUON_MQTT_PATH
#define QUON_MQTT_PATH ""
#endif
#ifndef QUON_MODBUS_PATH
#define QUON_MODBUS_PATH ""
#endif

namespace {

// argv with standard input from /dev/null and standard output to out (a
// pipe's end, or -1 for /dev/null); standard error to /dev/null (what goes
// wrong shows as a self-check).
pid_t start(const std::vector<std::string> &argv, int out) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(out >= 0 ? out : null, 1);
    dup2(null, 2);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

void finish(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGCONT);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

int loopbacksocket(int port, bool connectit) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  int done = connectit ? connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a)
                       : bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  if (done != 0) {
    close(s);
    return -1;
  }
  return s;
}

int freeport(void) {
  int s = loopbacksocket(0, false);
  sockaddr_in a{};
  socklen_t size = sizeof a;
  int port = s >= 0 && getsockname(s, reinterpret_cast<sockaddr *>(&a), &size) == 0 ? ntohs(a.sin_port) : 0;
  if (s >= 0) close(s);
  return port;
}

// A connection to the port once something listens there (within 5 s); -1 none.
int connectwithin(int port) {
  for (int tries = 0; tries < 500; ++tries) {
    int s = loopbacksocket(port, true);
    if (s >= 0) return s;
    usleep(10000);
  }
  return -1;
}

void runpasses(int64_t passes) {
  for (int64_t p = 0; p < passes; ++p) {
    if (mainlooppass() != 0) return;
  }
}

// Lines from a pipe, read while the loop runs.
struct Lines {
  int fd = -1;
  std::string pending;
  // The next whole line within ms, the loop turning meanwhile; "" none.
  std::string next(int ms) {
    uint64_t until = nowns() + static_cast<uint64_t>(ms) * 1000000;
    for (;;) {
      size_t end = pending.find('\n');
      if (end != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        return line;
      }
      if (nowns() > until) return "";
      runpasses(200);
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 0) == 1) {
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return "";
        pending.append(buf, static_cast<size_t>(n));
      }
    }
  }
};

void failed(const char *what) {
  fprintf(report, "  SELF-CHECK FAILED: %s\n", what);
  ++benchfailures;
}

// ns per pass of the loaded script, its threads at their WAITs.
double timedpasses(int64_t passes) {
  runpasses(16);
  uint64_t t0 = nowns();
  runpasses(passes);
  return static_cast<double>(nowns() - t0) / static_cast<double>(passes);
}

// The pass with a bridge running against the pass with it stopped; the
// median ratio. sampled: the bridge beats the heartbeat, so the run samples
// its pass times while it runs.
double attachedratio(const char *name, const std::vector<pid_t> &bridge, bool sampled) {
  constexpr int MAX_REPS = 64;
  double stopped[MAX_REPS], running[MAX_REPS], ratio[MAX_REPS];
  int reps = benchopt.repetitions < MAX_REPS ? benchopt.repetitions : MAX_REPS;
  int64_t passes = benchopt.smoke ? 2000 : 400000;
  for (int r = 0; r < reps; ++r) {
    for (pid_t p : bridge) kill(p, SIGSTOP);
    publishsample(false);
    stopped[r] = timedpasses(passes);
    for (pid_t p : bridge) kill(p, SIGCONT);
    publishsample(sampled);
    usleep(20000);  // the bridge back at its polling
    running[r] = timedpasses(passes);
    ratio[r] = running[r] / stopped[r];
  }
  publishsample(false);
  std::string label(name);
  figure((label + " stopped").c_str(), median(stopped, reps), "ns/pass");
  figure((label + " attached").c_str(), median(running, reps), "ns/pass");
  return median(ratio, reps);
}

void latencyfigures(const char *name, std::vector<double> &ms, double limit) {
  int n = static_cast<int>(ms.size());
  std::string label(name);
  figure((label + ", median").c_str(), median(ms.data(), n), "ms");
  double p99 = quantile(ms.data(), n, 0.99);
  figure((label + ", 99th percentile").c_str(), p99, "ms");
  figure((label + ", worst").c_str(), ms[static_cast<size_t>(n - 1)], "ms");
  target((label + ", 99th percentile").c_str(), p99, limit, "ms");
}

// The MQTT bridge: forced input to message, and its cost to the pass.
void benchmqtt(Attached &a, int broker) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return failed("no pipe for the subscriber");
  std::string at = "127.0.0.1:" + std::to_string(broker);
  pid_t sub = start({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker), "-t", "quon/bench/port/0/in"},
                    fds[1]);
  close(fds[1]);
  pid_t bridge = start({QUON_MQTT_PATH, "--rig=bench", "--broker=" + at, std::to_string(getpid())}, -1);
  Lines lines;
  lines.fd = fds[0];
  std::string first = lines.next(10000);
  if (first.size() != 8) {
    failed("no port/0/in message from quon-mqtt");
  } else {
    int count = benchopt.smoke ? 5 : 200;
    std::vector<double> ms;
    uint8_t bit = static_cast<uint8_t>(first[7] == '1' ? 0 : 1);
    for (int i = 0; i < count; ++i, bit ^= 1) {
      uint64_t t0 = nowns();
      force(a, 0, 0x01, bit);
      std::string line;
      while (!(line = lines.next(2000)).empty() && line[7] != static_cast<char>('0' + bit)) {
      }
      if (line.empty()) {
        failed("a forced input bit never reached port/0/in");
        break;
      }
      ms.push_back(static_cast<double>(nowns() - t0) / 1e6);
    }
    release(a, 0, 0xFF);
    if (static_cast<int>(ms.size()) == count) latencyfigures("forced input to port/0/in", ms, 50);
    target("quon-mqtt attached / stopped", attachedratio("the pass, quon-mqtt", {bridge}, true), 1.25, "x");
  }
  finish(bridge);
  finish(sub);
  close(fds[0]);
}

// One read of discrete inputs 0-15 on the connection: true when the
// answer came whole.
bool readinputs(int s, uint16_t id) {
  uint8_t q[12] = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0, 0, 0, 6, 1, 0x02, 0, 0, 0, 16};
  if (write(s, q, sizeof q) != static_cast<ssize_t>(sizeof q)) return false;
  uint8_t answer[11];
  size_t got = 0;
  while (got < sizeof answer) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return false;
    ssize_t n = read(s, answer + got, sizeof answer - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return answer[7] == 0x02 && answer[8] == 2;
}

void benchmodbus(void) {
  int port = freeport();
  pid_t server = start({QUON_MODBUS_PATH, "--listen=127.0.0.1:" + std::to_string(port), std::to_string(getpid())}, -1);
  int s = connectwithin(port);
  if (s < 0) {
    finish(server);
    return failed("quon-modbus did not listen");
  }
  int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  int count = benchopt.smoke ? 20 : 2000;
  std::vector<double> ms;
  for (int i = 0; i < count; ++i) {
    uint64_t t0 = nowns();
    if (!readinputs(s, static_cast<uint16_t>(i))) {
      failed("a read of 16 discrete inputs got no whole answer");
      break;
    }
    ms.push_back(static_cast<double>(nowns() - t0) / 1e6);
  }
  if (static_cast<int>(ms.size()) == count) latencyfigures("Modbus read of 16 discrete inputs", ms, 2);
  // A client that reads every 5 ms while the pass is timed.
  pid_t client = fork();
  if (client == 0) {
    for (uint16_t id = 0; readinputs(s, id); ++id) usleep(5000);
    _exit(0);
  }
  target("quon-modbus attached, read every 5 ms / stopped",
         attachedratio("the pass, quon-modbus with a client", {server, client}, false), 1.25, "x");
  finish(client);
  close(s);
  finish(server);
}

}  // namespace

void benchbridges(void) {
  fprintf(report, "\nBridges: quon-mqtt and quon-modbus over the benchmark's own run\n");
  bool mqtt = std::string(QUON_MQTT_PATH) != "", modbus = std::string(QUON_MODBUS_PATH) != "";
  bool broker = system("command -v mosquitto >/dev/null 2>&1 && command -v mosquitto_sub >/dev/null 2>&1") == 0;
  if (!mqtt || !broker) {
    fprintf(report, "  quon-mqtt not measured: %s\n",
            !mqtt ? "it is not built (libmosquitto-dev)" : "mosquitto and mosquitto-clients are not installed");
  }
  if (!modbus) fprintf(report, "  quon-modbus not measured: it is not built (libmodbus-dev)\n");
  if (!(mqtt && broker) && !modbus) return;
  // A thread that reads port 0 every pass: the input the threads see is
  // what the region publishes.
  loadtext("WAIT 0 .......1\nWAIT 0 .......0\n$\n");
  simreset();
  mainloopinit();
  if (publishstart(portsample) != 0) return failed("no region could be made");
  Attached a;
  std::string why;
  if (attach(getpid(), &a, &why) != 0) {
    publishend();
    return failed(why.c_str());
  }
  if (mqtt && broker) {
    char folder[] = "/tmp/quonbenchXXXXXX";
    int port = freeport();
    pid_t mosquitto = -1;
    if (mkdtemp(folder) != nullptr && port != 0) {
      const passwd *me = getpwuid(geteuid());
      std::string conf = std::string(folder) + "/mosquitto.conf";
      FILE *f = fopen(conf.c_str(), "wx");
      if (f != nullptr) {
        fprintf(f, "listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n%s%s\n", port,
                me != nullptr ? "user " : "", me != nullptr ? me->pw_name : "");
        if (fclose(f) == 0) mosquitto = start({"mosquitto", "-c", conf}, -1);
      }
      int s = mosquitto > 0 ? connectwithin(port) : -1;
      if (s >= 0) {
        close(s);
        benchmqtt(a, port);
      } else {
        failed("mosquitto did not start");
      }
      finish(mosquitto);
      unlink(conf.c_str());
      rmdir(folder);
    }
  }
  if (modbus) benchmodbus();
  detach(&a);
  publishend();
}
