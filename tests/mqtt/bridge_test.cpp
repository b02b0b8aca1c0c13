// What the MQTT bridge publishes and reads, without a broker: rig names
// (one topic level, no wildcards), JSON strings of hostile texts, the
// broker and --allow= values, the commands and their refusals, and the
// discovery configs a dashboard builds its entities from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "mqtt/bridge.h"

namespace {

TEST(MqttBridge, RigNamesAreOneTopicLevelOfOneCharacterSet) {
  const struct {
    std::string name;
    bool taken;
  } cases[] = {
      {"rig-1_A", true}, {std::string(64, 'r'), true}, {"", false},        {std::string(65, 'r'), false},
      {"a/b", false},    {"a+", false},                {"#", false},       {"a b", false},
      {"a.b", false},    {"r\xc3\xa9", false},         {"\x01", false},
  };
  for (const auto &c : cases) EXPECT_EQ(rigname(c.name), c.taken) << c.name;
}

TEST(MqttBridge, BitStringsAreBit7First) {
  EXPECT_EQ(bitstring(0x81), "10000001");
  EXPECT_EQ(bitstring(0x0E), "00001110");
}

// A note or a thread's name is whatever the script wrote, cut at any byte.
TEST(MqttBridge, JsonStringsEscapeWhatIsNoText) {
  const struct {
    std::string text, json;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line\nend\x7f", "\"line\\u000aend\\u007f\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"cut \xc3", "\"cut \\u00c3\""},
      {"\xe2\x82", "\"\\u00e2\\u0082\""},
      {"\xff\xc0\xaf", "\"\\u00ff\\u00c0\\u00af\""},
  };
  for (const auto &c : cases) EXPECT_EQ(jsonstring(c.text), c.json) << c.text;
}

TEST(MqttBridge, BrokerIsHostAndPortOrRefused) {
  const struct {
    const char *text;
    const char *host;  // nullptr: refused
    int port;
  } cases[] = {
      {"broker", "broker", 1883},      {"broker.lab:1884", "broker.lab", 1884}, {"[::1]:1885", "::1", 1885},
      {"[::1]", "::1", 1883},          {"10.0.0.1:65535", "10.0.0.1", 65535},   {"::1", nullptr, 0},
      {"broker:", nullptr, 0},         {"broker:0", nullptr, 0},                {"broker:65536", nullptr, 0},
      {":1883", nullptr, 0},           {"a b", nullptr, 0},                     {"[::1]x", nullptr, 0},
      {"broker:12x", nullptr, 0},      {"", nullptr, 0},
  };
  for (const auto &c : cases) {
    std::string host = "unset";
    int port = 1883;
    std::string why = readbroker(c.text, &host, &port);
    if (c.host == nullptr) {
      EXPECT_NE(why, "") << c.text;
      continue;
    }
    EXPECT_EQ(why, "") << c.text;
    EXPECT_EQ(host, c.host) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
}

TEST(MqttBridge, AllowNamesKindsOrIsRefused) {
  unsigned allowed = 0;
  EXPECT_EQ(readallow("keys,force", &allowed), "");
  EXPECT_EQ(allowed, ALLOW_KEYS | ALLOW_FORCE);
  EXPECT_EQ(readallow("flags", &allowed), "");
  EXPECT_EQ(allowed, ALLOW_FLAGS);
  for (const char *bad : {"", "all", "keys,", ",keys", "keys,,force", "Keys"}) {
    EXPECT_NE(readallow(bad, &allowed), "") << bad;
  }
}

// Every command is checked against what is allowed and what the run has
// before anything is done; a refusal is a reason, never a partial command.
TEST(MqttBridge, CommandsAreReadOrRefused) {
  const unsigned ALL = ALLOW_KEYS | ALLOW_FLAGS | ALLOW_FORCE;
  const uint16_t BANK2 = 1u << 2;
  const struct {
    const char *topic;
    std::string payload;
    unsigned allowed;
    CommandKind kind;  // COMMAND_NONE: refused
    int port;
    uint16_t pattern;
  } cases[] = {
      {"key/set", "ab", ALL, COMMAND_KEYS, 0, 0},
      {"key/set", "ab", ALLOW_FLAGS | ALLOW_FORCE, COMMAND_NONE, 0, 0},
      {"key/set", "", ALL, COMMAND_NONE, 0, 0},
      {"key/set", std::string(REGION_COMMANDS + 1, 'k'), ALL, COMMAND_NONE, 0, 0},
      {"key/set", std::string("a\0b", 3), ALL, COMMAND_NONE, 0, 0},
      {"flag/2/set", "1......0", ALL, COMMAND_FLAGS, 2, 0x8180},
      {"flag/2/set", "1", ALL, COMMAND_FLAGS, 2, 0x0101},
      {"flag/2/set", "1......0", ALLOW_KEYS | ALLOW_FORCE, COMMAND_NONE, 0, 0},
      {"flag/3/set", "1", ALL, COMMAND_NONE, 0, 0},
      {"flag/0/set", "1", ALL, COMMAND_NONE, 0, 0},
      {"flag/2/set", "102", ALL, COMMAND_NONE, 0, 0},
      {"flag/2/set", "111111111", ALL, COMMAND_NONE, 0, 0},
      {"flag/2/set", std::string("1\0", 2), ALL, COMMAND_NONE, 0, 0},
      {"flag/22/set", "1", ALL, COMMAND_NONE, 0, 0},
      {"flag/2/get", "1", ALL, COMMAND_NONE, 0, 0},
      {"force/1/set", "1.", ALL, COMMAND_FORCE, 1, 0x0202},
      {"force/0/set", "release", ALL, COMMAND_RELEASE, 0, 0xFF00},
      {"force/0/set", "release", ALLOW_KEYS, COMMAND_NONE, 0, 0},
      {"force/2/set", "1", ALL, COMMAND_NONE, 0, 0},
      {"force/0/set", "", ALL, COMMAND_NONE, 0, 0},
      {"state", "x", ALL, COMMAND_NONE, 0, 0},
      {"flag", "1", ALL, COMMAND_NONE, 0, 0},
  };
  for (const auto &c : cases) {
    BridgeCommand command;
    std::string why = readcommand(c.topic, c.payload, c.allowed, BANK2, &command);
    EXPECT_EQ(why.empty(), c.kind != COMMAND_NONE) << c.topic << " " << c.payload << ": " << why;
    EXPECT_EQ(command.kind, c.kind) << c.topic << " " << c.payload;
    if (c.kind == COMMAND_NONE || c.kind == COMMAND_KEYS) continue;
    EXPECT_EQ(command.port, c.port) << c.topic;
    EXPECT_EQ(command.pattern, c.pattern) << c.topic << " " << c.payload;
  }
}

// A run with port 0 in use, flag bank 2 and two threads, one named with
// a quote.
struct SmallRun {
  Attached a;
  Snapshot s{};
  SmallRun() {
    a.pid = 42;
    s.head.port[0].used = 1;
    s.head.port[0].out = 0x81;
    s.head.port[0].in = 0x02;
    s.head.port[0].read = 1;
    s.head.flagbanks = 1u << 2;
    s.head.flags[2] = 0x08;
    s.head.clockms = 1234;
    s.threads.resize(2);
    strcpy(s.threads[0].name, "a\"b");
    s.threads[0].at = -1;
    s.threads[0].loops = 7;
    s.threads[1].at = -1;
  }
};

TEST(MqttBridge, PortTopicsAndStateFollowTheRun) {
  SmallRun r;
  std::vector<Message> topics = porttopics(r.s);
  std::vector<Message> expected = {{"port/0/in", "00000010"}, {"port/0/out", "10000001"}, {"port/2/flags", "00001000"}};
  EXPECT_EQ(topics, expected);
  std::string state = statejson(r.a, r.s, "t.qun", true);
  for (const char *part : {"\"script\":\"t.qun\"", "\"pid\":42", "\"clockms\":1234",
                           "{\"port\":0,\"in\":\"00000010\",\"out\":\"10000001\"}", "{\"port\":2,\"flags\":\"00001000\"}",
                           "{\"name\":\"a\\\"b\",\"state\":\"idle\",\"line\":0,\"loops\":7}", "\"name\":\"thread1\""}) {
    EXPECT_NE(state.find(part), std::string::npos) << part << "\n" << state;
  }
  // Without its figures the state is the same however the clock moves.
  std::string quiet = statejson(r.a, r.s, "t.qun", false);
  r.s.head.clockms += 500;
  r.s.head.passrate = 99;
  EXPECT_EQ(statejson(r.a, r.s, "t.qun", false), quiet);
  EXPECT_EQ(quiet.find("clockms"), std::string::npos);
  r.s.threads[1].loops = 1;
  EXPECT_NE(statejson(r.a, r.s, "t.qun", false), quiet);
}

TEST(MqttBridge, DiscoveryNamesEachBitOnceAndSwitchesOnlyWhenFlagsAreAllowed) {
  SmallRun r;
  std::vector<Message> watched = discovery("homeassistant", "rig1", r.s, false);
  std::vector<Message> switched = discovery("homeassistant", "rig1", r.s, true);
  EXPECT_EQ(watched.size(), 8u * 2 + 1);
  ASSERT_EQ(switched.size(), 8u * 2 + 8 + 1);
  std::set<std::string> ids;
  for (const Message &m : switched) {
    EXPECT_EQ(m.first.rfind("homeassistant/", 0), 0u) << m.first;
    EXPECT_NE(m.second.find("\"availability_topic\":\"quon/rig1/status\""), std::string::npos) << m.second;
    EXPECT_TRUE(ids.insert(m.first).second) << m.first << " twice";
  }
  const std::string bit3 = "homeassistant/switch/quon_rig1/flag2_3/config";
  auto found = std::find_if(switched.begin(), switched.end(), [&](const Message &m) { return m.first == bit3; });
  ASSERT_NE(found, switched.end());
  for (const char *part : {"\"command_topic\":\"quon/rig1/flag/2/set\"", "\"payload_on\":\"....1...\"",
                           "\"payload_off\":\"....0...\"", "\"value_template\":\"{{ value[4] }}\"",
                           "\"state_topic\":\"quon/rig1/port/2/flags\""}) {
    EXPECT_NE(found->second.find(part), std::string::npos) << part << "\n" << found->second;
  }
}

}  // namespace
