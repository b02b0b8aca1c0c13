// quon-mqtt between a quon-sim run and a real mosquitto the test starts on
// a free loopback port: the retained topics and their end, commands acted
// on or refused, a broker that goes away and comes back, logins refused
// and taken, TLS with a CA of the test's own, discovery configs, and
// twenty rigs on one broker.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/mqtt/bridges.h"

namespace {

class MqttE2eTest : public BridgeE2eTest {
 protected:
  // quon-mqtt on run pid with args; its messages in name.log.
  pid_t bridge(pid_t pid, const Broker &b, std::vector<std::string> args, const std::string &name = "bridge") {
    args.insert(args.begin(), {QUON_MQTT_PATH, "--broker=127.0.0.1:" + std::to_string(b.port)});
    args.push_back(std::to_string(pid));
    pid_t p = launch(args, dir, path(name + ".log"));
    started.push_back(p);
    return p;
  }
  // On b, taking anyone: a run on script (flags first) as sim and quon-mqtt
  // on it with args (--rig=NAME first) as br; true once its status is online.
  bool online(Broker &b, const std::string &script, const std::vector<std::string> &args,
              const std::vector<std::string> &flags = {}) {
    if (!b.start(dir, "allow_anonymous true\n")) return false;
    sim = run(script, flags);
    br = bridge(sim, b, args);
    std::string rig = args[0].substr(args[0].find('=') + 1);
    return Subscriber().sees(b, "quon/" + rig + "/status", "online", "quon/" + rig + "/status online");
  }
  pid_t sim = -1, br = -1;
};

#define NEEDBROKER()                                                        \
  do {                                                                      \
    NEEDTOOL(std::string(QUON_MQTT_PATH) != "", "quon-mqtt (libmosquitto-dev)"); \
    NEEDTOOL(onpath("mosquitto") && onpath("mosquitto_sub") && onpath("mosquitto_pub"), \
             "mosquitto with its clients");                                 \
  } while (0)

const char *const BLINK = "OUTPUT 0 1.......\nWAIT 0 .......1\nNOTATE released\nOUTPUT 0 0.......\n$\n";

TEST_F(MqttE2eTest, RetainedTopicsAppearAndGoOfflineWhenTheRunEnds) {
  NEEDBROKER();
  Broker b;
  ASSERT_TRUE(online(b, BLINK, {"--rig=bench-1"})) << readall(path("bridge.log"));
  // A subscriber that comes later gets the retained state at once.
  Subscriber early;
  ASSERT_TRUE(early.sees(b, "quon/bench-1/status", "early", "quon/bench-1/status online")) << early.seen();
  Subscriber late;
  late.start(b, "quon/bench-1/#", "late");
  for (const char *text : {"quon/bench-1/status online", "quon/bench-1/port/0/out 10000000",
                           "quon/bench-1/port/0/in ", "quon/bench-1/state {\"script\":\"t\",\"pid\":" }) {
    EXPECT_TRUE(late.waitfor(text)) << text << "\n" << late.seen();
  }
  EXPECT_NE(late.seen().find("\"threads\":[{\"name\":\"thread0\",\"state\":\"WAIT 0 .......1\",\"line\":2"),
            std::string::npos) << late.seen();
  kill(sim, SIGTERM);
  reap(sim, WAITMS);  // what a service manager does: the run's process is gone
  EXPECT_EQ(reap(br, WAITMS), 0) << readall(path("bridge.log"));
  EXPECT_TRUE(early.waitfor("quon/bench-1/status offline")) << early.seen();
  Subscriber after;
  after.start(b, "quon/bench-1/status", "after");
  EXPECT_TRUE(after.waitfor("quon/bench-1/status offline")) << after.seen();
}

// Forcing acts with --allow=force; keys without --allow=keys, a malformed
// pattern and a port that is none are answered on error and change nothing.
TEST_F(MqttE2eTest, CommandsActOnlyWhenAllowedAndRefusalsAreAnswered) {
  NEEDBROKER();
  Broker b;
  ASSERT_TRUE(online(b, "WAIT 0 ......1.\nNOTATE forced\n$\nKEY k\nNOTATE typed\n$\n", {"--rig=r", "--allow=force"}))
      << readall(path("bridge.log"));
  Subscriber errors;
  errors.start(b, "quon/r/error", "errors");
  ASSERT_TRUE(errors.ready(b));  // the subscription is in place before the commands
  publishto(b, "quon/r/key/set", "k");
  publishto(b, "quon/r/force/0/set", "......2.");
  publishto(b, "quon/r/force/5/set", "1");
  EXPECT_TRUE(errors.waitfor("{\"topic\":\"key/set\",\"error\":\"keys are not allowed (--allow=keys)\"}"))
      << errors.seen();
  EXPECT_TRUE(errors.waitfor("\"topic\":\"force/0/set\",\"error\":\"a pattern is")) << errors.seen();
  EXPECT_TRUE(errors.waitfor("\"topic\":\"force/5/set\"")) << errors.seen();
  EXPECT_EQ(printed().find("forced"), std::string::npos) << "a refused pattern forced nothing";
  publishto(b, "quon/r/force/0/set", "......1.");
  EXPECT_TRUE(runprints("forced")) << printed();
  EXPECT_EQ(printed().find("typed"), std::string::npos) << printed();
}

// Keys and flag bits go through the run's command ring; notes come back in
// the order they were printed.
TEST_F(MqttE2eTest, KeysAndFlagsReleaseTheirThreadsAndNotesArriveInOrder) {
  NEEDBROKER();
  std::string script = "KEY k\n";
  for (int n = 1; n <= 30; ++n) script += "NOTATE note " + std::to_string(n) + "\n";
  script += "$\nWAIT 2 .......1\nNOTATE flagged\n$\n";
  Broker b;
  ASSERT_TRUE(online(b, script, {"--rig=r", "--allow=keys,flags"}, {"--flags=2"})) << readall(path("bridge.log"));
  Subscriber notes;
  notes.start(b, "quon/r/note", "notes");
  ASSERT_TRUE(notes.ready(b));
  publishto(b, "quon/r/key/set", "k");
  ASSERT_TRUE(notes.waitfor("quon/r/note note 30")) << notes.seen();
  std::string expected;
  for (int n = 1; n <= 30; ++n) expected += "quon/r/note note " + std::to_string(n) + "\n";
  EXPECT_EQ(notes.seen(), expected);
  publishto(b, "quon/r/flag/2/set", ".......1");
  EXPECT_TRUE(runprints("flagged")) << printed();
  EXPECT_TRUE(notes.waitfor("quon/r/note flagged")) << notes.seen();
}

TEST_F(MqttE2eTest, ABrokerRestartedMidRunGetsTheRetainedStateBack) {
  NEEDBROKER();
  Broker b;
  ASSERT_TRUE(online(b, BLINK, {"--rig=r"})) << readall(path("bridge.log"));
  int port = b.port;
  b.stop();  // killed: its retained messages die with it (no persistence)
  ASSERT_TRUE(b.start(dir, "allow_anonymous true\n", port));
  Subscriber s;
  s.start(b, "quon/r/#", "again");
  // The bridge's first retry comes after a second.
  EXPECT_TRUE(s.waitfor("quon/r/status online", 3 * WAITMS)) << readall(path("bridge.log"));
  EXPECT_TRUE(s.waitfor("quon/r/port/0/out 10000000")) << s.seen();
  EXPECT_TRUE(s.waitfor("quon/r/state {")) << s.seen();
  EXPECT_EQ(waitpid(br, nullptr, WNOHANG), 0) << "the bridge kept running";
}

TEST_F(MqttE2eTest, AWrongPasswordIsRefusedOnceAndTheRightOneLogsIn) {
  NEEDBROKER();
  NEEDTOOL(onpath("mosquitto_passwd"), "mosquitto_passwd");
  int status = 0;
  capture("mosquitto_passwd -b -c " + path("passwords") + " rig secret", &status);
  ASSERT_EQ(status, 0);
  Broker b;
  ASSERT_TRUE(b.start(dir, "allow_anonymous false\npassword_file " + path("passwords") + "\n"));
  pid_t sim = run(BLINK);
  writeall(path("wrong"), "guess\n");
  writeall(path("right"), "secret\n");
  pid_t wrong = bridge(sim, b, {"--rig=r", "--user=rig", "--password-file=" + path("wrong")}, "wrong");
  EXPECT_EQ(reap(wrong, WAITMS), 1);
  std::string said = readall(path("wrong.log"));
  EXPECT_NE(said.find("quon-mqtt: the broker 127.0.0.1:" + std::to_string(b.port) + " refused the login"),
            std::string::npos) << said;
  EXPECT_EQ(said.find('\n'), said.size() - 1) << "one line: " << said;
  // A link where the file was is not followed.
  symlink(path("right").c_str(), path("linked").c_str());
  pid_t linked = bridge(sim, b, {"--rig=r", "--user=rig", "--password-file=" + path("linked")}, "linked");
  EXPECT_EQ(reap(linked, WAITMS), 1);
  EXPECT_NE(readall(path("linked.log")).find("cannot read the password file"), std::string::npos);
  bridge(sim, b, {"--rig=r", "--user=rig", "--password-file=" + path("right")}, "right");
  Subscriber s;
  s.start(b, "quon/r/status", "status", {"-u", "rig", "-P", "secret"});
  EXPECT_TRUE(s.waitfor("quon/r/status online")) << readall(path("right.log"));
}

TEST_F(MqttE2eTest, TlsWithATestCa) {
  NEEDBROKER();
  NEEDTOOL(onpath("openssl"), "openssl");
  int status = 0;
  capture("(cd " + dir + " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=testca -keyout ca.key -out ca.crt"
          " && openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -addext subjectAltName=DNS:localhost"
          " -keyout server.key -out server.csr"
          " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2"
          " -copy_extensions copy -out server.crt)",
          &status);
  ASSERT_EQ(status, 0) << "openssl could not make the test's CA";
  Broker b;
  ASSERT_TRUE(b.start(dir, "allow_anonymous true\ncafile " + path("ca.crt") + "\ncertfile " + path("server.crt") +
                               "\nkeyfile " + path("server.key") + "\n"));
  pid_t sim = run(BLINK);
  std::vector<std::string> args = {QUON_MQTT_PATH, "--broker=localhost:" + std::to_string(b.port), "--rig=r",
                                   "--tls-ca=" + path("ca.crt"), std::to_string(sim)};
  started.push_back(launch(args, dir, path("bridge.log")));
  Subscriber s;
  s.start(b, "quon/r/#", "status", {"--cafile", path("ca.crt"), "-h", "localhost"});
  EXPECT_TRUE(s.waitfor("quon/r/status online")) << readall(path("bridge.log")) << readall(path("mosquitto.log"));
  EXPECT_TRUE(s.waitfor("quon/r/port/0/out 10000000")) << s.seen();
}

// Every config parses as JSON, and every topic it names is one the bridge
// publishes (or, for a switch, takes commands on).
TEST_F(MqttE2eTest, DiscoveryConfigsAreJsonNamingTopicsThatExist) {
  NEEDBROKER();
  NEEDTOOL(onpath("python3"), "python3");
  Broker b;
  ASSERT_TRUE(online(b, BLINK, {"--rig=r", "--ha-discovery=ha", "--allow=flags"}, {"--flags=2"}))
      << readall(path("bridge.log"));
  Subscriber configs, topics;
  configs.start(b, "ha/#", "configs");
  topics.start(b, "quon/r/#", "topics");
  ASSERT_TRUE(configs.waitfor("ha/sensor/quon_r/note/config")) << readall(path("bridge.log"));
  ASSERT_TRUE(topics.waitfor("quon/r/port/0/out")) << topics.seen();
  ASSERT_TRUE(topics.waitfor("quon/r/port/2/flags")) << topics.seen();
  const char *const KINDS = "[('binary_sensor', 16), ('sensor', 1), ('switch', 8)]\n";
  writeall(path("check.py"),
           "import json, sys\n"
           "topics = {l.split(' ', 1)[0] for l in open(sys.argv[2])} | {'quon/r/note'}\n"
           "kinds = {}\n"
           "for line in open(sys.argv[1]):\n"
           "    topic, payload = line.rstrip('\\n').split(' ', 1)\n"
           "    config = json.loads(payload)\n"
           "    kinds[topic.split('/')[1]] = kinds.get(topic.split('/')[1], 0) + 1\n"
           "    assert config['device']['identifiers'] == ['quon_r'], topic\n"
           "    for key in ('state_topic', 'availability_topic'):\n"
           "        assert config[key] in topics, (topic, config[key])\n"
           "    if 'command_topic' in config:\n"
           "        assert config['command_topic'] == 'quon/r/flag/2/set', topic\n"
           "print(sorted(kinds.items()))\n");
  // Every retained config delivered: as many lines as the kinds count.
  ASSERT_TRUE(waituntil(WAITMS, [&] {
    std::string got = configs.seen();
    return std::count(got.begin(), got.end(), '\n') >= 16 + 1 + 8;
  })) << configs.seen();
  int status = 0;
  std::string out = capture("python3 " + path("check.py") + " " + configs.file + " " + topics.file, &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, KINDS);
}

TEST_F(MqttE2eTest, TwentyRigsOnOneBrokerAreAllSeen) {
  NEEDBROKER();
  Broker b;
  ASSERT_TRUE(b.start(dir, "allow_anonymous true\n"));
  Subscriber all;
  all.start(b, "quon/+/status", "all");
  const int RIGS = 20;
  // A DELAY-only script: the runs spin as every run does, which is what
  // the bridges must keep up with.
  writeall(path("t.qun"), "DELAY 60\n$\n");
  for (int r = 0; r < RIGS; ++r) {
    std::string folder = path("rig" + std::to_string(r));
    mkdir(folder.c_str(), 0755);
    writeall(folder + "/QUON.INI", CALIBRATED);
    writeall(folder + "/t.qun", "DELAY 60\n$\n");
    pid_t sim = startplain(folder, {"t"});
    started.push_back(sim);
    ASSERT_TRUE(waitregion(sim));
    pid_t br = launch({QUON_MQTT_PATH, "--broker=127.0.0.1:" + std::to_string(b.port), "--rig=rig" + std::to_string(r),
                       std::to_string(sim)},
                      folder, folder + "/bridge.log");
    started.push_back(br);
  }
  for (int r = 0; r < RIGS; ++r) {
    std::string line = "quon/rig" + std::to_string(r) + "/status online\n";
    EXPECT_TRUE(all.waitfor(line, 3 * WAITMS)) << line << all.seen();
  }
}

// The values --broker= and --allow= refuse are the unit tests' rows; here
// the refusals the program itself makes, and that any refusal ends it with
// 2 and its name.
TEST_F(MqttE2eTest, BadCommandLinesAreRefused) {
  NEEDTOOL(std::string(QUON_MQTT_PATH) != "", "quon-mqtt (libmosquitto-dev)");
  const char *const bad[] = {"--rig=a/b", "--rig=", "--tls-cert=c", "--password-file=p", "--ha-discovery=a+b",
                             "--frobnicate"};
  for (const char *arg : bad) {
    int status = 0;
    std::string said = capture(std::string(QUON_MQTT_PATH) + " " + arg + " 2>&1", &status);
    EXPECT_EQ(status, 2) << arg << ": " << said;
    EXPECT_EQ(said.rfind("quon-mqtt: ", 0), 0u) << said;
  }
}

}  // namespace
