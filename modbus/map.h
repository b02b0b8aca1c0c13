// The Modbus server's logic, apart from the network: which addresses of
// which table are the run's, what a request may do, the flag patterns a
// coil write applies and the key a register write types, and the rules
// for where the server listens and whom it answers.
//
//   table            addresses        what they are
//   discrete inputs  0-7, 8-15        ports 0 and 1: input bits 0-7
//                    100-107, 108-115 ports 0 and 1: output bits 0-7
//   coils            8*(P-2)+b        flag bank P's bit b (P 2 to 9)
//   input registers  0..threads-1     each thread's loop count, low 16 bits
//   holding register 0                written: the key of its value typed
#ifndef QUON_MODBUS_MAP_H
#define QUON_MODBUS_MAP_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "monitor/snapshot.h"

// The function codes the server answers.
constexpr uint8_t FN_READ_COILS = 0x01, FN_READ_DISCRETE = 0x02, FN_READ_HOLDING = 0x03, FN_READ_INPUT = 0x04,
                  FN_WRITE_COIL = 0x05, FN_WRITE_REGISTER = 0x06, FN_WRITE_COILS = 0x0F, FN_WRITE_REGISTERS = 0x10;
// The exception replies.
constexpr int EX_FUNCTION = 1, EX_ADDRESS = 2, EX_VALUE = 3, EX_FAILURE = 4;

constexpr int OUTPUTS_AT = 100;     // the first output bit's discrete input
constexpr int DISCRETE_SPAN = 116;  // discrete inputs 0..115, not all mapped
constexpr int COIL_SPAN = 8 * (PORT_NUMBERS - FLAG_FIRST);
constexpr int REGISTER_SPAN = 65536;

// What of the run the map shows: its banks (bit P for port P) and threads.
struct MapShape {
  uint16_t banks = 0;
  uint32_t threads = 0;
};

// A request's PDU (function code first, length bytes): 0 when the map
// answers it, or the exception reply it gets. Writes need writable.
int checkrequest(const uint8_t *pdu, size_t length, const MapShape &shape, bool writable);

// The value of discrete input address (mapped), of coil address (a bank's),
// of input register address (a thread's).
bool discreteinput(const Snapshot &s, int address);
bool coil(const Snapshot &s, int address);
uint16_t inputregister(const Snapshot &s, int address);

// A coil write (checked) as the flag patterns it applies: bank, pattern
// (mask in 15-8, value in 7-0), one a bank it touches.
std::vector<std::pair<int, uint16_t>> coilpatterns(const uint8_t *pdu, size_t length);

// A holding register write (checked): the character it types.
char registerkey(const uint8_t *pdu, size_t length);

// --listen=ADDR:PORT (an IPv4 address): "" or why it is refused; the
// address in host order.
std::string readlisten(const std::string &text, uint32_t *address, int *port);
bool loopback(uint32_t address);

// --allow-from=CIDR[,CIDR...] ("10.1.2.0/24", an address alone for /32).
struct Cidr {
  uint32_t net, mask;
};
std::string readcidrs(const std::string &text, std::vector<Cidr> *cidrs);
// Whether a peer (host order) is one the server answers: any of cidrs, or
// with none, a loopback address.
bool answered(uint32_t peer, const std::vector<Cidr> &cidrs);

#endif
