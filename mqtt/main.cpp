// quon-mqtt: a running QUON on an MQTT broker. It publishes the run's
// state under quon/RIG/ (status, state, each port's bits, the notes) and,
// where --allow= lets it, takes keys, flag bits and forced inputs from
// command topics.
//
//   quon-mqtt [--rig=NAME] [--broker=HOST[:PORT]] [--allow=KINDS] [PID]
//
// Statuses: 0 the run ended (or the bridge was stopped) and offline was
// published, 1 nothing to attach to, a broker that refused the login or a
// file that could not be read, 2 a bad command line.
#include <fcntl.h>
#include <mosquitto.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "monitor/attach.h"
#include "monitor/commandline.h"
#include "mqtt/bridge.h"

namespace {

// What the command line chose.
struct MqttChoices {
  int pid = 0;
  std::string rig, host = "localhost", ca, cert, key, user, passwordfile, prefix;
  int port = 0;  // 0: 1883, or 8883 with TLS
  unsigned allowed = 0;
  bool discovery = false, help = false, version = false;
};

std::string rig(const char *v, MqttChoices *c) {
  c->rig = v;
  return rigname(c->rig) ? "" : "a rig's name is 1 to 64 letters, digits, - and _";
}
std::string broker(const char *v, MqttChoices *c) { return readbroker(v, &c->host, &c->port); }
std::string allow(const char *v, MqttChoices *c) { return readallow(v, &c->allowed); }
std::string tlsca(const char *v, MqttChoices *c) { return (c->ca = v).empty() ? "--tls-ca= names a file" : ""; }
std::string tlscert(const char *v, MqttChoices *c) { return (c->cert = v).empty() ? "--tls-cert= names a file" : ""; }
std::string tlskey(const char *v, MqttChoices *c) { return (c->key = v).empty() ? "--tls-key= names a file" : ""; }
std::string user(const char *v, MqttChoices *c) { return (c->user = v).empty() ? "--user= names a user" : ""; }
std::string passwordfile(const char *v, MqttChoices *c) {
  return (c->passwordfile = v).empty() ? "--password-file= names a file" : "";
}
std::string discovery(const char *v, MqttChoices *c) {
  c->discovery = true;
  c->prefix = v != nullptr ? v : "homeassistant";
  return rigname(c->prefix) ? "" : "a discovery prefix is letters, digits, - and _";
}
std::string help(const char *, MqttChoices *c) { return c->help = true, ""; }
std::string version(const char *, MqttChoices *c) { return c->version = true, ""; }

// The options: a name, what it takes ("[=PREFIX]" marks a value that may be
// left out), whether it prints and leaves, and its handler.
const Option<MqttChoices> OPTIONS[] = {
    {{"--rig", "NAME", false, false}, rig},
    {{"--broker", "HOST[:PORT]", false, false}, broker},
    {{"--allow", "keys,flags,force", false, false}, allow},
    {{"--ha-discovery", "PREFIX", true, false}, discovery},
    {{"--tls-ca", "FILE", false, false}, tlsca},
    {{"--tls-cert", "FILE", false, false}, tlscert},
    {{"--tls-key", "FILE", false, false}, tlskey},
    {{"--user", "NAME", false, false}, user},
    {{"--password-file", "FILE", false, false}, passwordfile},
    {{"--help", nullptr, false, true}, help},
    {{"--version", nullptr, false, true}, version},
};

MqttChoices readarguments(int argc, char **argv) {
  MqttChoices c;
  readoptions("quon-mqtt", USAGE_LISTED, OPTIONS, argc, argv, &c);
  if (c.help || c.version) return c;
  if ((!c.cert.empty() || !c.key.empty()) && (c.cert.empty() || c.key.empty() || c.ca.empty())) {
    usage("a client certificate takes --tls-cert= and --tls-key= together, with --tls-ca=");
  }
  if (!c.passwordfile.empty() && c.user.empty()) usage("--password-file= goes with --user=");
  if (c.port == 0) c.port = c.ca.empty() ? 1883 : 8883;
  return c;
}

// The first line of a file of the user's, never through a link: the
// password, without its line end.
std::string readpassword(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) fail("cannot read the password file %s: %s", path.c_str(), strerror(errno));
  char buf[1024];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) < 0 && errno == EINTR) {
  }
  close(fd);
  if (n < 0) fail("cannot read the password file %s: %s", path.c_str(), strerror(errno));
  std::string text(buf, static_cast<size_t>(n));
  size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  if (text.empty() || static_cast<size_t>(n) == sizeof buf) fail("the password file %s holds no password line", path.c_str());
  return text;
}

// The script a run was started on: the last argument of its command line
// that is no option ("" when it cannot be read).
std::string scriptof(int pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string line;
  char buf[4096];
  ssize_t n;
  while (line.size() < 65536 && (n = read(fd, buf, sizeof buf)) > 0) line.append(buf, static_cast<size_t>(n));
  close(fd);
  std::string script;
  for (size_t at = line.find('\0'); at != std::string::npos && at + 1 < line.size();) {
    size_t end = line.find('\0', at + 1);
    std::string arg = line.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    if (!arg.empty() && arg[0] != '-') script = arg;
    at = end;
  }
  return script;
}

std::string defaultrig(void) {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  std::string host(name);
  return host.substr(0, host.find('.'));
}

uint64_t nowms(void) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

// What the broker's thread and the bridge's loop share.
struct Link {
  std::string base;  // "quon/RIG/"
  std::mutex lock;
  std::vector<std::pair<std::string, std::string>> inbox;  // commands: topic below base, payload
  std::atomic<bool> connected{false}, fresh{false};        // fresh: retained state to publish again
  std::atomic<int> refused{0};                            // the CONNACK code of a refused login
  std::atomic<int> acked{0};                              // the last message id the broker took
};

void connected(mosquitto *mosq, void *data, int rc) {
  Link *link = static_cast<Link *>(data);
  // 4 and 5: bad user name or password, not authorised. Trying again
  // would only be refused again.
  if (rc == 4 || rc == 5) link->refused = rc;
  if (rc != 0) return;
  for (const char *kind : {"key/set", "flag/+/set", "force/+/set"}) {
    mosquitto_subscribe(mosq, nullptr, (link->base + kind).c_str(), 1);
  }
  mosquitto_publish(mosq, nullptr, (link->base + "status").c_str(), 6, "online", 1, true);
  link->connected = true;
  link->fresh = true;
}

void disconnected(mosquitto *, void *data, int) { static_cast<Link *>(data)->connected = false; }

void received(mosquitto *, void *data, const mosquitto_message *m) {
  Link *link = static_cast<Link *>(data);
  std::string topic = m->topic != nullptr ? m->topic : "";
  if (topic.compare(0, link->base.size(), link->base) != 0) return;
  std::lock_guard<std::mutex> hold(link->lock);
  if (link->inbox.size() >= 256) return;  // a flood waits for the broker's redelivery, or is dropped
  link->inbox.emplace_back(topic.substr(link->base.size()),
                           std::string(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen)));
}

void published(mosquitto *, void *data, int mid) { static_cast<Link *>(data)->acked = mid; }

// The bridge at work: one pass of it every POLLMS.
constexpr long POLLMS = 3;
constexpr uint64_t STATEMS = 100;    // the state at most ten times a second
constexpr uint64_t HEARTMS = 100;    // the heartbeat that keeps the pass times sampled

struct Bridge {
  mosquitto *mosq;
  Link *link;
  Attached *a;
  const MqttChoices *c;
  std::string script;
  std::map<std::string, std::string> sent;  // retained topics as last published
  std::string statekey;                      // the state without its figures, as last published
  uint64_t stateat = 0, beatat = 0;
  uint32_t nextnote = 0;
  bool notesbegun = false;
};

int publish(Bridge &b, const std::string &topic, const std::string &payload, bool retain) {
  int mid = 0;
  mosquitto_publish(b.mosq, &mid, (b.link->base + topic).c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                    retain);
  return mid;
}

void actupon(Bridge &b, const Snapshot &s, const std::string &topic, const std::string &payload) {
  BridgeCommand cmd;
  std::string why = readcommand(topic, payload, b.c->allowed, s.head.flagbanks, &cmd);
  if (why.empty()) {
    switch (cmd.kind) {
      case COMMAND_FORCE:
        force(*b.a, cmd.port, static_cast<uint8_t>(cmd.pattern >> 8), static_cast<uint8_t>(cmd.pattern));
        break;
      case COMMAND_RELEASE: release(*b.a, cmd.port, 0xFF); break;
      case COMMAND_KEYS: typekeys(*b.a, cmd.keys, &why); break;
      case COMMAND_FLAGS: setflags(*b.a, cmd.port, cmd.pattern, &why); break;
      case COMMAND_NONE: break;
    }
  }
  if (!why.empty()) publish(b, "error", errorjson(topic, why), false);
}

void pass(Bridge &b, const Snapshot &s) {
  uint64_t now = nowms();
  bool fresh = b.link->fresh.exchange(false);
  if (fresh) {
    b.sent.clear();
    b.statekey.clear();
    if (b.c->discovery) {
      for (const Message &m : discovery(b.c->prefix, b.c->rig, s, b.c->allowed & ALLOW_FLAGS)) {
        mosquitto_publish(b.mosq, nullptr, m.first.c_str(), static_cast<int>(m.second.size()), m.second.data(), 1,
                          true);
      }
    }
  }
  for (const Message &m : porttopics(s)) {
    std::string &last = b.sent[m.first];
    if (last == m.second) continue;
    last = m.second;
    publish(b, m.first, m.second, true);
  }
  std::string key = statejson(*b.a, s, b.script, false);
  if (key != b.statekey && now - b.stateat >= STATEMS) {
    b.statekey = key;
    b.stateat = now;
    publish(b, "state", statejson(*b.a, s, b.script, true), true);
  }
  // Notes from the first pass on: those printed before the bridge came
  // are not sent again.
  if (!b.notesbegun) b.nextnote = s.head.notes;
  b.notesbegun = true;
  std::vector<std::string> notes;
  uint32_t missed = 0;
  readnotes(*b.a, &b.nextnote, &notes, &missed);
  if (missed > 0) fprintf(stderr, "quon-mqtt: %u notes came faster than they could be read\n", missed);
  for (const std::string &n : notes) publish(b, "note", n, false);
}

// Publishes offline and waits (a little) for the broker to take it.
void goodbye(Bridge &b) {
  if (!b.link->connected) return;
  int mid = publish(b, "status", "offline", true);
  for (int waited = 0; waited < 2000 && b.link->acked < mid && b.link->connected; waited += 5) usleep(5000);
}

}  // namespace

int main(int argc, char **argv) {
  MqttChoices c = readarguments(argc, argv);
  leaveifasked(c.help, c.version, QUON_IDENTITY);
  if (c.rig.empty()) {
    c.rig = defaultrig();
    if (!rigname(c.rig)) fail("the host name is no rig name (letters, digits, - and _): name one with --rig=");
  }
  std::string password = c.passwordfile.empty() ? "" : readpassword(c.passwordfile);
  Attached a;
  std::string why;
  if (attach(c.pid, &a, &why) != 0) fail("%s", why.c_str());

  catchstops(true);

  mosquitto_lib_init();
  Link link;
  link.base = "quon/" + c.rig + "/";
  std::string id = "quon-" + c.rig + "-" + std::to_string(getpid());
  mosquitto *mosq = mosquitto_new(id.c_str(), true, &link);
  if (mosq == nullptr) fail("cannot make an MQTT client: %s", strerror(errno));
  mosquitto_connect_callback_set(mosq, connected);
  mosquitto_disconnect_callback_set(mosq, disconnected);
  mosquitto_message_callback_set(mosq, received);
  mosquitto_publish_callback_set(mosq, published);
  std::string will = link.base + "status";
  if (mosquitto_will_set(mosq, will.c_str(), 7, "offline", 1, true) != MOSQ_ERR_SUCCESS) fail("no last will");
  if (!c.user.empty() &&
      mosquitto_username_pw_set(mosq, c.user.c_str(), c.passwordfile.empty() ? nullptr : password.c_str()) !=
          MOSQ_ERR_SUCCESS) {
    fail("cannot use the user name %s", c.user.c_str());
  }
  if (!c.ca.empty()) {
    int rc = mosquitto_tls_set(mosq, c.ca.c_str(), nullptr, c.cert.empty() ? nullptr : c.cert.c_str(),
                               c.key.empty() ? nullptr : c.key.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) fail("cannot use the TLS files: %s", mosquitto_strerror(rc));
  }
  // Each change goes out at once, not held back to be sent with the next.
  mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_reconnect_delay_set(mosq, 1, 30, true);
  // A broker not there yet is tried again by the client's own thread.
  int rc = mosquitto_connect_async(mosq, c.host.c_str(), c.port, 10);
  if (rc == MOSQ_ERR_INVAL) fail("cannot connect to %s:%d: %s", c.host.c_str(), c.port, mosquitto_strerror(rc));
  if (mosquitto_loop_start(mosq) != MOSQ_ERR_SUCCESS) fail("cannot start the MQTT client's thread");

  Bridge b{mosq, &link, &a, &c, scriptof(a.pid), {}, "", 0, 0, 0, false};
  Snapshot s{};
  int status = 0;
  for (;;) {
    if (int refused = link.refused) {
      fprintf(stderr, "quon-mqtt: the broker %s:%d refused the login (%s)\n", c.host.c_str(), c.port,
              mosquitto_connack_string(refused));
      status = 1;
      break;
    }
    uint64_t now = nowms();
    if (now - b.beatat >= HEARTMS) {
      heartbeat(a);
      b.beatat = now;
    }
    bool whole = snapshot(a, &s);
    if (a.lost || (whole && !running(a, s)) || stopasked()) {
      goodbye(b);
      break;
    }
    if (whole && link.connected) {
      std::vector<std::pair<std::string, std::string>> inbox;
      {
        std::lock_guard<std::mutex> hold(link.lock);
        inbox.swap(link.inbox);
      }
      for (const auto &m : inbox) actupon(b, s, m.first, m.second);
      pass(b, s);
    }
    timespec pause{0, POLLMS * 1000000};
    nanosleep(&pause, nullptr);
  }
  mosquitto_disconnect(mosq);
  mosquitto_loop_stop(mosq, status != 0);
  mosquitto_destroy(mosq);
  mosquitto_lib_cleanup();
  detach(&a);
  return status;
}
