// The Modbus server's map without a network: which requests it answers and
// which exception each other one gets, the flag patterns a coil write
// applies, the bits and counts it reads out of a snapshot, and the rules
// for where it listens and whom it answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modbus/map.h"

namespace {

std::vector<uint8_t> request(uint8_t fn, int first, int count, std::vector<uint8_t> rest = {}) {
  std::vector<uint8_t> pdu = {fn, static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first),
                              static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  for (uint8_t byte : rest) pdu.push_back(byte);
  return pdu;
}

TEST(ModbusMap, RequestsAreAnsweredOrGetTheirException) {
  const MapShape shape{static_cast<uint16_t>(1u << 2 | 1u << 4), 3};  // banks 2 and 4, three threads
  const struct {
    std::vector<uint8_t> pdu;
    bool writable;
    int answer;
  } cases[] = {
      {request(FN_READ_DISCRETE, 0, 16), false, 0},
      {request(FN_READ_DISCRETE, 100, 16), false, 0},
      {request(FN_READ_DISCRETE, 15, 1), false, 0},
      {request(FN_READ_DISCRETE, 8, 9), false, EX_ADDRESS},    // past port 1's inputs
      {request(FN_READ_DISCRETE, 16, 1), false, EX_ADDRESS},
      {request(FN_READ_DISCRETE, 99, 2), false, EX_ADDRESS},
      {request(FN_READ_DISCRETE, 115, 2), false, EX_ADDRESS},
      {request(FN_READ_DISCRETE, 0, 0), false, EX_VALUE},
      {request(FN_READ_DISCRETE, 0, 2001), false, EX_VALUE},
      {request(FN_READ_COILS, 0, 8), false, 0},                 // bank 2
      {request(FN_READ_COILS, 16, 8), false, 0},                // bank 4
      {request(FN_READ_COILS, 0, 9), false, EX_ADDRESS},        // bank 3 is none
      {request(FN_READ_COILS, 63, 2), false, EX_ADDRESS},
      {request(FN_READ_INPUT, 0, 3), false, 0},
      {request(FN_READ_INPUT, 2, 2), false, EX_ADDRESS},
      {request(FN_READ_INPUT, 0, 126), false, EX_VALUE},
      {request(FN_READ_HOLDING, 0, 1), false, 0},
      {request(FN_READ_HOLDING, 1, 1), false, EX_ADDRESS},
      {request(FN_WRITE_COIL, 3, 0xFF00), false, EX_FUNCTION},
      {request(FN_WRITE_COIL, 3, 0xFF00), true, 0},
      {request(FN_WRITE_COIL, 3, 0x0000), true, 0},
      {request(FN_WRITE_COIL, 3, 0x1234), true, EX_VALUE},
      {request(FN_WRITE_COIL, 8, 0xFF00), true, EX_ADDRESS},
      {request(FN_WRITE_COILS, 6, 4, {1, 0x05}), true, EX_ADDRESS},  // into bank 3
      {request(FN_WRITE_COILS, 0, 4, {1, 0x05}), true, 0},
      {request(FN_WRITE_COILS, 0, 4, {2, 0x05, 0}), true, EX_VALUE},
      {request(FN_WRITE_COILS, 0, 4, {1, 0x05}), false, EX_FUNCTION},
      {request(FN_WRITE_REGISTER, 0, 'a'), true, 0},
      {request(FN_WRITE_REGISTER, 0, 'a'), false, EX_FUNCTION},
      {request(FN_WRITE_REGISTER, 0, 0), true, EX_VALUE},
      {request(FN_WRITE_REGISTER, 0, 256), true, EX_VALUE},
      {request(FN_WRITE_REGISTER, 1, 'a'), true, EX_ADDRESS},
      {request(FN_WRITE_REGISTERS, 0, 1, {2, 0, 'k'}), true, 0},
      {request(FN_WRITE_REGISTERS, 0, 2, {4, 0, 'k', 0, 'l'}), true, EX_ADDRESS},
      {request(FN_WRITE_REGISTERS, 0, 1, {2, 0}), true, EX_VALUE},
      {{0x2B, 0x0E, 0x01, 0x00}, true, EX_FUNCTION},
      {{0x17}, true, EX_FUNCTION},
      {{FN_READ_DISCRETE, 0}, false, EX_VALUE},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(checkrequest(c.pdu.data(), c.pdu.size(), shape, c.writable), c.answer)
        << "function " << int(c.pdu[0]) << " at " << (c.pdu.size() > 2 ? c.pdu[1] << 8 | c.pdu[2] : -1);
  }
  EXPECT_EQ(checkrequest(nullptr, 0, shape, true), EX_FUNCTION);
}

TEST(ModbusMap, CoilWritesApplyOnePatternABank) {
  // Coils 6-9: bank 2's bits 6 and 7, bank 3's bits 0 and 1; values 1,0,1,0.
  std::vector<uint8_t> many = request(FN_WRITE_COILS, 6, 4, {1, 0x05});
  std::vector<std::pair<int, uint16_t>> expected = {{2, 0xC040}, {3, 0x0301}};
  EXPECT_EQ(coilpatterns(many.data(), many.size()), expected);
  std::vector<uint8_t> one = request(FN_WRITE_COIL, 17, 0xFF00);
  expected = {{4, 0x0202}};
  EXPECT_EQ(coilpatterns(one.data(), one.size()), expected);
  one = request(FN_WRITE_COIL, 17, 0);
  expected = {{4, 0x0200}};
  EXPECT_EQ(coilpatterns(one.data(), one.size()), expected);
  std::vector<uint8_t> key = request(FN_WRITE_REGISTER, 0, 'k');
  EXPECT_EQ(registerkey(key.data(), key.size()), 'k');
  key = request(FN_WRITE_REGISTERS, 0, 1, {2, 0, 'q'});
  EXPECT_EQ(registerkey(key.data(), key.size()), 'q');
}

TEST(ModbusMap, ValuesComeFromTheSnapshot) {
  Snapshot s{};
  s.head.port[0].in = 0x81;
  s.head.port[0].read = 1;
  s.head.port[1].pins = 0x02;  // never read: the lines
  s.head.port[1].pinned = 1;
  s.head.port[1].in = 0xFF;
  s.head.port[1].out = 0x40;
  s.head.flags[3] = 0x10;
  s.threads.resize(2);
  s.threads[1].loops = 0x12345;
  const struct {
    int address;
    bool on;
  } inputs[] = {{0, true}, {7, true}, {1, false}, {9, true}, {8, false}, {15, false}, {114, true}, {113, false}};
  for (const auto &c : inputs) EXPECT_EQ(discreteinput(s, c.address), c.on) << c.address;
  EXPECT_TRUE(coil(s, 8 + 4));
  EXPECT_FALSE(coil(s, 8 + 3));
  EXPECT_EQ(inputregister(s, 1), 0x2345);
  EXPECT_EQ(inputregister(s, 0), 0);
}

TEST(ModbusMap, ListeningAddressesAndNetworks) {
  uint32_t address = 0;
  int port = 0;
  EXPECT_EQ(readlisten("127.0.0.1:5020", &address, &port), "");
  EXPECT_EQ(address, 0x7F000001u);
  EXPECT_EQ(port, 5020);
  EXPECT_TRUE(loopback(address));
  EXPECT_EQ(readlisten("0.0.0.0:502", &address, &port), "");
  EXPECT_FALSE(loopback(address));
  for (const char *bad : {"127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "localhost:5020",
                          "::1:5020", "127.0.0.1:50x"}) {
    EXPECT_NE(readlisten(bad, &address, &port), "") << bad;
  }
  std::vector<Cidr> cidrs;
  EXPECT_EQ(readcidrs("10.1.2.0/24,192.168.7.9", &cidrs), "");
  const struct {
    const char *peer;
    bool answered;
  } peers[] = {{"10.1.2.0", true},   {"10.1.2.255", true},  {"10.1.3.1", false},
               {"192.168.7.9", true}, {"192.168.7.8", false}, {"127.0.0.1", false}};
  for (const auto &p : peers) {
    in_addr a{};
    ASSERT_EQ(inet_pton(AF_INET, p.peer, &a), 1);
    EXPECT_EQ(answered(ntohl(a.s_addr), cidrs), p.answered) << p.peer;
  }
  // With no networks named only loopback peers are answered.
  EXPECT_TRUE(answered(0x7F000001u, {}));
  EXPECT_FALSE(answered(0x0A000001u, {}));
  EXPECT_EQ(readcidrs("0.0.0.0/0", &cidrs), "");
  EXPECT_TRUE(answered(0x0A000001u, cidrs));
  for (const char *bad : {"", "10.0.0.0/33", "10.0.0.1/8", "10.0.0.0/", "10.0.0.0/8,", "host/8", "10.0.0.0/x"}) {
    EXPECT_NE(readcidrs(bad, &cidrs), "") << bad;
  }
}

}  // namespace
