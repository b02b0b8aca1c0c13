// The MQTT bridge's logic, apart from the broker and the region: names of
// rigs and topics, the texts it publishes (bit strings, the state's JSON,
// the discovery configs) and the reading of its command line's values and
// of the commands it receives. Nothing here touches the network.
#ifndef QUON_MQTT_BRIDGE_H
#define QUON_MQTT_BRIDGE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "monitor/snapshot.h"

// A rig's name (and a discovery prefix's): 1 to 64 letters, digits, '-'
// and '_', so that it is one topic level and no wildcard.
bool rigname(const std::string &name);

// A byte as 8 characters '1'/'0', bit 7 first.
std::string bitstring(uint8_t byte);

// A string as a JSON string, quotes included; control characters and bytes
// that are no UTF-8 text (a note is cut at any byte) escaped as \u00XX.
std::string jsonstring(const std::string &text);

// The input byte a port shows: what the threads read once they have read
// it (forced bits included), the lines before.
uint8_t portinput(const RegionPort &port);

// What the bridge publishes for a run: topic (below quon/RIG/) and payload.
// Retained topics only, each a function of the snapshot.
using Message = std::pair<std::string, std::string>;
std::vector<Message> porttopics(const Snapshot &s);

// The state as one JSON object, script the run's script as its command
// line names it. With figures false the run's clock, pass
// rate and longest pass are left out: what is left changes only when
// something in the run does.
std::string statejson(const Attached &a, const Snapshot &s, const std::string &script, bool figures);

// Home Assistant discovery configs (topic from the prefix on, payload): a
// binary sensor per input and output bit of each used port, a switch per
// flag bit when flags are allowed, a sensor for the last note; one device
// per rig, available while quon/RIG/status says online.
std::vector<Message> discovery(const std::string &prefix, const std::string &rig, const Snapshot &s,
                               bool flags);

// --broker=HOST[:PORT] ("[v6]:PORT" for an IPv6 address): "" or why it is
// refused. *port is left alone when the text names none.
std::string readbroker(const std::string &text, std::string *host, int *port);

// The kinds of command --allow= may name.
constexpr unsigned ALLOW_KEYS = 1, ALLOW_FLAGS = 2, ALLOW_FORCE = 4;
// "keys,flags,force" in any order and number: "" or why it is refused.
std::string readallow(const std::string &text, unsigned *allowed);

// A command received on a topic below quon/RIG/.
enum CommandKind { COMMAND_NONE, COMMAND_KEYS, COMMAND_FLAGS, COMMAND_FORCE, COMMAND_RELEASE };
struct BridgeCommand {
  CommandKind kind = COMMAND_NONE;
  int port = 0;           // the bank or the port
  uint16_t pattern = 0;   // mask in 15-8, value in 7-0
  std::string keys;       // the characters to type
};
// Reads topic (below quon/RIG/) and payload against what is allowed and
// the banks the run has (bit P of banks): "" and *command, or why it is
// refused; a refusal changes nothing.
std::string readcommand(const std::string &topic, const std::string &payload, unsigned allowed,
                        uint16_t banks, BridgeCommand *command);

// The answer published on quon/RIG/error for a refused command.
std::string errorjson(const std::string &topic, const std::string &why);

#endif
