#include "mqtt/bridge.h"

#include <cstdio>
#include <cstring>

#include "compiler/literals.h"
#include "monitor/attach.h"

namespace {

bool namechar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// The length of the UTF-8 sequence text[at...] begins with, 0 when the
// bytes there are none.
size_t utf8length(const std::string &text, size_t at) {
  unsigned char c = static_cast<unsigned char>(text[at]);
  size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (n == 0 || at + n > text.size()) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
  }
  return n;
}

std::string threadname(const RegionThread &t, size_t index) {
  size_t length = strnlen(t.name, REGION_NAME);
  return length > 0 ? std::string(t.name, length) : "thread" + std::to_string(index);
}

std::string field(const char *name, const std::string &json) { return jsonstring(name) + ":" + json; }

// A port number as one digit, for a topic level.
std::string portlevel(int p) { return std::string(1, static_cast<char>('0' + p)); }

// "P" of "P/set" as a port number below PORT_NUMBERS; -1 when it is none.
int portof(const std::string &level) {
  return level.size() == 1 && level[0] >= '0' && level[0] <= '9' ? level[0] - '0' : -1;
}

}  // namespace

bool rigname(const std::string &name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    if (!namechar(c)) return false;
  }
  return true;
}

std::string bitstring(uint8_t byte) {
  std::string bits;
  for (int bit = 7; bit >= 0; --bit) bits += (byte >> bit) & 1 ? '1' : '0';
  return bits;
}

std::string jsonstring(const std::string &text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size(); ++at) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (size_t n = c >= 0x80 ? utf8length(text, at) : 0) {
      out.append(text, at, n);
      at += n - 1;
    } else {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    }
  }
  return out + "\"";
}

uint8_t portinput(const RegionPort &port) {
  if (port.read || !port.pinned) return port.in;
  return port.pins;
}

std::vector<Message> porttopics(const Snapshot &s) {
  std::vector<Message> out;
  for (int p = 0; p < LOGICAL_PORTS; ++p) {
    const RegionPort &port = s.head.port[p];
    if (!port.used) continue;
    out.emplace_back("port/" + portlevel(p) + "/in", bitstring(portinput(port)));
    out.emplace_back("port/" + portlevel(p) + "/out", bitstring(port.out));
  }
  for (int p = FLAG_FIRST; p < PORT_NUMBERS; ++p) {
    if ((s.head.flagbanks >> p) & 1) out.emplace_back("port/" + portlevel(p) + "/flags", bitstring(s.head.flags[p]));
  }
  return out;
}

std::string statejson(const Attached &a, const Snapshot &s, const std::string &script, bool figures) {
  const RegionHeader &h = s.head;
  std::string json = "{" + field("script", jsonstring(script)) + "," + field("pid", std::to_string(a.pid));
  if (figures) {
    json += "," + field("clockms", std::to_string(h.clockms)) + "," + field("passrate", std::to_string(h.passrate)) +
            "," + field("longestus", h.sampled ? std::to_string(h.longestus) : "null");
  }
  json += "," + field("realtime", h.realtime ? "true" : "false") + "," + field("ports", "[");
  bool first = true;
  for (int p = 0; p < PORT_NUMBERS; ++p) {
    bool line = p < LOGICAL_PORTS && h.port[p].used, bank = p >= FLAG_FIRST && ((h.flagbanks >> p) & 1);
    if (!line && !bank) continue;
    json += first ? "{" : ",{";
    first = false;
    json += field("port", std::to_string(p));
    if (line) {
      json += "," + field("in", jsonstring(bitstring(portinput(h.port[p])))) + "," +
              field("out", jsonstring(bitstring(h.port[p].out)));
    } else {
      json += "," + field("flags", jsonstring(bitstring(h.flags[p])));
    }
    json += "}";
  }
  json += "]," + field("threads", "[");
  for (size_t t = 0; t < s.threads.size(); ++t) {
    const RegionThread &th = s.threads[t];
    json += t == 0 ? "{" : ",{";
    json += field("name", jsonstring(threadname(th, t))) + "," + field("state", jsonstring(threadstate(a, s, th))) +
            "," + field("line", std::to_string(threadline(a, th))) + "," + field("loops", std::to_string(th.loops)) +
            "}";
  }
  return json + "]}";
}

std::vector<Message> discovery(const std::string &prefix, const std::string &rig, const Snapshot &s, bool flags) {
  std::vector<Message> out;
  std::string base = "quon/" + rig + "/", device = "quon_" + rig;
  std::string common = field("availability_topic", jsonstring(base + "status")) + "," +
                       field("payload_available", "\"online\"") + "," + field("payload_not_available", "\"offline\"") +
                       "," + field("device", "{" + field("identifiers", "[" + jsonstring(device) + "]") + "," +
                                                 field("name", jsonstring("QUON " + rig)) + "," +
                                                 field("model", "\"QUON\"") + "}");
  // One entity: its component, its id below the device, its name, and its
  // own fields.
  auto entity = [&](const char *component, const std::string &id, const std::string &name, const std::string &own) {
    std::string unique = device + "_" + id;
    out.emplace_back(prefix + "/" + component + "/" + device + "/" + id + "/config",
                     "{" + field("name", jsonstring(name)) + "," + field("unique_id", jsonstring(unique)) + "," +
                         own + "," + common + "}");
  };
  for (int p = 0; p < PORT_NUMBERS; ++p) {
    bool line = p < LOGICAL_PORTS && s.head.port[p].used, bank = p >= FLAG_FIRST && ((s.head.flagbanks >> p) & 1);
    for (int bit = 0; bit < 8 && (line || (bank && flags)); ++bit) {
      // The bit strings are bit 7 first: bit b is character 7 - b.
      std::string pick = field("value_template", jsonstring("{{ value[" + std::to_string(7 - bit) + "] }}"));
      std::string at = portlevel(p) + "_" + std::to_string(bit);
      std::string topic = base + "port/" + portlevel(p);
      if (line) {
        for (const char *way : {"in", "out"}) {
          entity("binary_sensor", "p" + portlevel(p) + way + std::to_string(bit),
                 "port " + portlevel(p) + " " + way + " bit " + std::to_string(bit),
                 field("state_topic", jsonstring(topic + "/" + way)) + "," + pick + "," +
                     field("payload_on", "\"1\"") + "," + field("payload_off", "\"0\""));
        }
      } else {
        std::string on(8, '.'), off(8, '.');
        on[static_cast<size_t>(7 - bit)] = '1';
        off[static_cast<size_t>(7 - bit)] = '0';
        entity("switch", "flag" + at, "flag " + portlevel(p) + " bit " + std::to_string(bit),
               field("state_topic", jsonstring(topic + "/flags")) + "," + pick + "," +
                   field("state_on", "\"1\"") + "," + field("state_off", "\"0\"") + "," +
                   field("command_topic", jsonstring(base + "flag/" + portlevel(p) + "/set")) + "," +
                   field("payload_on", jsonstring(on)) + "," + field("payload_off", jsonstring(off)));
      }
    }
  }
  entity("sensor", "note", "last note", field("state_topic", jsonstring(base + "note")));
  return out;
}

std::string readbroker(const std::string &text, std::string *host, int *port) {
  std::string name = text, number;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close == 1) return "an IPv6 address is written [ADDRESS]:PORT";
    name = text.substr(1, close - 1);
    std::string rest = text.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return "after ] comes :PORT or nothing";
    if (!rest.empty()) number = rest.substr(1), number = number.empty() ? "x" : number;
  } else if (size_t colon = text.rfind(':'); colon != std::string::npos) {
    if (text.find(':') != colon) return "an IPv6 address is written [ADDRESS]:PORT";
    name = text.substr(0, colon);
    number = text.substr(colon + 1);
    if (number.empty()) number = "x";
  }
  if (name.empty()) return "the broker's host is missing";
  for (char c : name) {
    if (!namechar(c) && c != '.' && c != ':') return "the broker's host is a name or an address";
  }
  if (!number.empty()) {
    if (number.size() > 5 || strspn(number.c_str(), "0123456789") != number.size()) return "a port is 1 to 65535";
    long value = strtol(number.c_str(), nullptr, 10);
    if (value < 1 || value > 65535) return "a port is 1 to 65535";
    *port = static_cast<int>(value);
  }
  *host = name;
  return "";
}

std::string readallow(const std::string &text, unsigned *allowed) {
  *allowed = 0;
  size_t at = 0;
  do {
    size_t comma = text.find(',', at);
    std::string kind = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (kind == "keys") {
      *allowed |= ALLOW_KEYS;
    } else if (kind == "flags") {
      *allowed |= ALLOW_FLAGS;
    } else if (kind == "force") {
      *allowed |= ALLOW_FORCE;
    } else {
      return "--allow= names keys, flags and force, with commas between";
    }
    at = comma == std::string::npos ? text.size() + 1 : comma + 1;
  } while (at <= text.size());
  return "";
}

std::string readcommand(const std::string &topic, const std::string &payload, unsigned allowed, uint16_t banks,
                        BridgeCommand *command) {
  *command = BridgeCommand{};
  uint16_t pattern = 0;
  if (topic == "key/set") {
    if (!(allowed & ALLOW_KEYS)) return "keys are not allowed (--allow=keys)";
    if (payload.empty() || payload.size() > REGION_COMMANDS) {
      return "key/set takes 1 to " + std::to_string(REGION_COMMANDS) + " characters";
    }
    if (payload.find('\0') != std::string::npos) return "a key is no NUL";
    command->kind = COMMAND_KEYS;
    command->keys = payload;
    return "";
  }
  bool flag = topic.rfind("flag/", 0) == 0, forcing = topic.rfind("force/", 0) == 0;
  if (!flag && !forcing) return "no such command";
  std::string level = topic.substr(flag ? 5 : 6);
  if (level.size() != 5 || level.compare(1, 4, "/set") != 0) return "no such command";
  int port = portof(level.substr(0, 1));
  if (flag) {
    if (!(allowed & ALLOW_FLAGS)) return "flags are not allowed (--allow=flags)";
    if (port < FLAG_FIRST || !((banks >> port) & 1)) return "port " + level.substr(0, 1) + " is no flag bank";
  } else {
    if (!(allowed & ALLOW_FORCE)) return "forcing is not allowed (--allow=force)";
    if (port < 0 || port >= LOGICAL_PORTS) return "only the inputs of ports 0 and 1 are forced";
    if (payload == "release") {
      command->kind = COMMAND_RELEASE;
      command->port = port;
      command->pattern = 0xFF00;
      return "";
    }
  }
  if (!strictpattern(payload.c_str(), &pattern) || payload.size() != strlen(payload.c_str())) {
    return std::string("a pattern is up to 8 places of 1, 0 and .") + (forcing ? ", or release" : "");
  }
  command->kind = flag ? COMMAND_FLAGS : COMMAND_FORCE;
  command->port = port;
  command->pattern = pattern;
  return "";
}

std::string errorjson(const std::string &topic, const std::string &why) {
  return "{" + field("topic", jsonstring(topic)) + "," + field("error", jsonstring(why)) + "}";
}
