#include "modbus/map.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace {

uint16_t word(const uint8_t *at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

// Every discrete input of [first, first + count) is mapped: all in one of
// the ports' spans.
bool discretemapped(int first, int count) {
  int last = first + count - 1;
  return (first >= 0 && last < 16) || (first >= OUTPUTS_AT && last < OUTPUTS_AT + 16);
}

// Every coil of [first, first + count) is a bit of a bank the run has.
bool coilsmapped(int first, int count, uint16_t banks) {
  if (first < 0 || first + count > COIL_SPAN) return false;
  for (int c = first; c < first + count; ++c) {
    if (!((banks >> (FLAG_FIRST + c / 8)) & 1)) return false;
  }
  return true;
}

// The input byte a port shows: what the threads read once they have read
// it (forced bits included), the lines before.
uint8_t inputbyte(const RegionPort &port) { return port.read || !port.pinned ? port.in : port.pins; }

}  // namespace

int checkrequest(const uint8_t *pdu, size_t length, const MapShape &shape, bool writable) {
  if (length < 1) return EX_FUNCTION;
  uint8_t fn = pdu[0];
  bool write = fn == FN_WRITE_COIL || fn == FN_WRITE_REGISTER || fn == FN_WRITE_COILS || fn == FN_WRITE_REGISTERS;
  bool read = fn == FN_READ_COILS || fn == FN_READ_DISCRETE || fn == FN_READ_HOLDING || fn == FN_READ_INPUT;
  if (!read && !write) return EX_FUNCTION;
  if (write && !writable) return EX_FUNCTION;
  if (length < 5) return EX_VALUE;
  int first = word(pdu + 1), count = word(pdu + 3);
  switch (fn) {
    case FN_READ_COILS:
    case FN_READ_DISCRETE:
      if (length != 5 || count < 1 || count > 2000) return EX_VALUE;
      if (fn == FN_READ_COILS) return coilsmapped(first, count, shape.banks) ? 0 : EX_ADDRESS;
      return discretemapped(first, count) ? 0 : EX_ADDRESS;
    case FN_READ_HOLDING:
    case FN_READ_INPUT: {
      if (length != 5 || count < 1 || count > 125) return EX_VALUE;
      uint32_t span = fn == FN_READ_HOLDING ? 1 : shape.threads;
      return static_cast<uint32_t>(first + count) <= span ? 0 : EX_ADDRESS;
    }
    case FN_WRITE_COIL:
      if (length != 5 || (count != 0xFF00 && count != 0)) return EX_VALUE;
      return coilsmapped(first, 1, shape.banks) ? 0 : EX_ADDRESS;
    case FN_WRITE_REGISTER:
      if (length != 5) return EX_VALUE;
      if (first != 0) return EX_ADDRESS;
      return count >= 1 && count <= 255 ? 0 : EX_VALUE;
    case FN_WRITE_COILS:
      if (length < 6 || count < 1 || count > 1968 || pdu[5] != (count + 7) / 8 || length != 6u + pdu[5]) {
        return EX_VALUE;
      }
      return coilsmapped(first, count, shape.banks) ? 0 : EX_ADDRESS;
    default:  // FN_WRITE_REGISTERS
      if (length < 6 || count < 1 || count > 123 || pdu[5] != 2 * count || length != 6u + pdu[5]) return EX_VALUE;
      if (first != 0 || count != 1) return EX_ADDRESS;
      return word(pdu + 6) >= 1 && word(pdu + 6) <= 255 ? 0 : EX_VALUE;
  }
}

bool discreteinput(const Snapshot &s, int address) {
  bool outputs = address >= OUTPUTS_AT;
  int at = outputs ? address - OUTPUTS_AT : address;
  const RegionPort &port = s.head.port[at / 8];
  return ((outputs ? port.out : inputbyte(port)) >> (at % 8)) & 1;
}

bool coil(const Snapshot &s, int address) { return (s.head.flags[FLAG_FIRST + address / 8] >> (address % 8)) & 1; }

uint16_t inputregister(const Snapshot &s, int address) {
  size_t at = static_cast<size_t>(address);
  return at < s.threads.size() ? static_cast<uint16_t>(s.threads[at].loops) : 0;
}

std::vector<std::pair<int, uint16_t>> coilpatterns(const uint8_t *pdu, size_t length) {
  std::vector<std::pair<int, uint16_t>> out;
  if (length < 5) return out;
  int first = word(pdu + 1);
  int count = pdu[0] == FN_WRITE_COIL ? 1 : word(pdu + 3);
  for (int c = first; c < first + count; ++c) {
    bool on = pdu[0] == FN_WRITE_COIL ? word(pdu + 3) == 0xFF00
                                      : 6u + (c - first) / 8 < length && ((pdu[6 + (c - first) / 8] >> ((c - first) % 8)) & 1);
    int bank = FLAG_FIRST + c / 8, bit = c % 8;
    if (out.empty() || out.back().first != bank) out.emplace_back(bank, 0);
    out.back().second = static_cast<uint16_t>(out.back().second | (0x100u << bit) | (on ? 1u << bit : 0u));
  }
  return out;
}

char registerkey(const uint8_t *pdu, size_t length) {
  size_t at = pdu[0] == FN_WRITE_REGISTER ? 3 : 6;
  return length >= at + 2 ? static_cast<char>(pdu[at + 1]) : '\0';
}

std::string readlisten(const std::string &text, uint32_t *address, int *port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return "--listen= takes ADDRESS:PORT";
  std::string host = text.substr(0, colon), number = text.substr(colon + 1);
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1) return "the listening address is an IPv4 address";
  if (number.empty() || number.size() > 5 || strspn(number.c_str(), "0123456789") != number.size()) {
    return "a port is 1 to 65535";
  }
  long value = strtol(number.c_str(), nullptr, 10);
  if (value < 1 || value > 65535) return "a port is 1 to 65535";
  *address = ntohl(a.s_addr);
  *port = static_cast<int>(value);
  return "";
}

bool loopback(uint32_t address) { return (address >> 24) == 127; }

std::string readcidrs(const std::string &text, std::vector<Cidr> *cidrs) {
  cidrs->clear();
  size_t at = 0;
  do {
    size_t comma = text.find(',', at);
    std::string one = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    size_t slash = one.find('/');
    std::string host = one.substr(0, slash), bits = slash == std::string::npos ? "32" : one.substr(slash + 1);
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1 || bits.empty() || bits.size() > 2 ||
        strspn(bits.c_str(), "0123456789") != bits.size() || strtol(bits.c_str(), nullptr, 10) > 32) {
      return "--allow-from= takes IPv4 networks as ADDRESS/BITS, with commas between";
    }
    int n = static_cast<int>(strtol(bits.c_str(), nullptr, 10));
    uint32_t mask = n == 0 ? 0 : ~uint32_t(0) << (32 - n);
    uint32_t net = ntohl(a.s_addr);
    if ((net & ~mask) != 0) return "a network's address has no bits past its prefix: " + one;
    cidrs->push_back({net, mask});
    at = comma == std::string::npos ? text.size() + 1 : comma + 1;
  } while (at <= text.size());
  return "";
}

bool answered(uint32_t peer, const std::vector<Cidr> &cidrs) {
  if (cidrs.empty()) return loopback(peer);
  for (const Cidr &c : cidrs) {
    if ((peer & c.mask) == c.net) return true;
  }
  return false;
}
