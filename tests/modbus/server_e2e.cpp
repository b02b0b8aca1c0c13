// quon-modbus over a quon-sim run, read and written by libmodbus's own
// client: the ports' bits as they are, the exception replies for writes
// without --writable and for unmapped addresses, coil writes that release
// a WAIT on a flag bank, and where the server may listen and whom it
// answers.
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <signal.h>
#include <poll.h>
#include <sys/mman.h>

#include <cerrno>
#include <string>
#include <vector>

#include "publish/region.h"
#include "tests/mqtt/bridges.h"

namespace {

class ModbusE2eTest : public BridgeE2eTest {
 protected:
  void TearDown() override {
    if (client != nullptr) modbus_close(client), modbus_free(client);
    BridgeE2eTest::TearDown();
  }
  // quon-modbus on run pid, on a free loopback port unless args name one;
  // true once it listens.
  bool serve(pid_t pid, std::vector<std::string> args) {
    port = freeport();
    bool named = false;
    for (const std::string &a : args) {
      if (a.rfind("--listen=", 0) != 0) continue;
      named = true;
      port = atoi(a.c_str() + a.rfind(':') + 1);
    }
    if (!named) args.push_back("--listen=127.0.0.1:" + std::to_string(port));
    args.insert(args.begin(), QUON_MODBUS_PATH);
    args.push_back(std::to_string(pid));
    server = launch(args, dir, path("server.log"));
    started.push_back(server);
    return waituntil(WAITMS, [&] { return listening(port); });
  }
  bool connect(void) {
    client = modbus_new_tcp("127.0.0.1", port);
    return client != nullptr && modbus_connect(client) == 0;
  }
  pid_t server = -1;
  int port = 0;
  modbus_t *client = nullptr;
};

#define NEEDSERVER() NEEDTOOL(std::string(QUON_MODBUS_PATH) != "", "quon-modbus (libmodbus-dev)")

// Forces port 0's inputs to value through the run's region, as a monitor.
bool forceinputs(pid_t pid, uint8_t value) {
  int fd = open(regionof(pid).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  void *m = mmap(nullptr, sizeof(RegionHeader), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (m == MAP_FAILED) return false;
  RegionHeader *h = static_cast<RegionHeader *>(m);
  __atomic_store_n(&h->forcevalue[0], value, __ATOMIC_RELAXED);
  __atomic_store_n(&h->forcemask[0], uint8_t{0xFF}, __ATOMIC_RELEASE);
  munmap(m, sizeof(RegionHeader));
  return true;
}

TEST_F(ModbusE2eTest, InputsAndOutputsReadAsTheyAre) {
  NEEDSERVER();
  pid_t sim = run("OUTPUT 0 10100101\nWAIT 0 01011010\nNOTATE forced\n$\n");
  ASSERT_TRUE(serve(sim, {})) << readall(path("server.log"));
  ASSERT_TRUE(connect()) << modbus_strerror(errno);
  ASSERT_TRUE(forceinputs(sim, 0x5A));
  ASSERT_TRUE(runprints("forced"));
  // The run copies its state into the region a few times a second: what
  // the threads saw reaches the map soon after, not at once.
  auto reads = [&](int first, uint8_t byte) {
    uint8_t bits[8] = {};
    return waituntil(WAITMS, [&] {
      if (modbus_read_input_bits(client, first, 8, bits) != 8) return false;
      for (int b = 0; b < 8; ++b) {
        if (bits[b] != ((byte >> b) & 1)) return false;
      }
      return true;
    });
  };
  EXPECT_TRUE(reads(100, 0xA5)) << "port 0's outputs";
  EXPECT_TRUE(reads(0, 0x5A)) << "port 0's inputs, forced";
  EXPECT_TRUE(reads(108, 0x00)) << "port 1's outputs";
  uint16_t keyreg = 1;
  EXPECT_EQ(modbus_read_registers(client, 0, 1, &keyreg), 1);
}

// Unmapped addresses and writes without --writable get the standard
// exception replies, and the connection stays good for the next request.
TEST_F(ModbusE2eTest, ExceptionsForUnmappedAddressesAndWritesNotAllowed) {
  NEEDSERVER();
  pid_t sim = run("WAIT 2 .......1\nNOTATE flagged\n$\n", {"--flags=2"});
  ASSERT_TRUE(serve(sim, {})) << readall(path("server.log"));
  ASSERT_TRUE(connect()) << modbus_strerror(errno);
  uint8_t bits[16] = {};
  uint16_t words[4] = {};
  EXPECT_EQ(modbus_read_input_bits(client, 16, 1, bits), -1);
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_read_bits(client, 8, 1, bits), -1);  // bank 3 is none
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_read_input_registers(client, 1, 1, words), -1);  // one thread
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_write_bit(client, 0, 1), -1);
  EXPECT_EQ(errno, EMBXILFUN);
  EXPECT_EQ(modbus_write_register(client, 0, 'k'), -1);
  EXPECT_EQ(errno, EMBXILFUN);
  EXPECT_EQ(modbus_read_bits(client, 0, 8, bits), 8) << modbus_strerror(errno);
  EXPECT_EQ(bits[0], 0);
  EXPECT_EQ(readall(path("plain-out.txt")).find("flagged"), std::string::npos);
}

// Bytes that are no Modbus frame (another protocol identifier) end their
// connection without an answer; the server goes on serving.
TEST_F(ModbusE2eTest, BytesThatAreNoModbusAreClosedUnanswered) {
  NEEDSERVER();
  pid_t sim = run("DELAY 60\n$\n");
  ASSERT_TRUE(serve(sim, {})) << readall(path("server.log"));
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  const uint8_t junk[] = {0, 1, 0xFF, 0xFF, 0, 6, 1, 0x02, 0, 0, 0, 16};
  ASSERT_EQ(write(s, junk, sizeof junk), static_cast<ssize_t>(sizeof junk));
  pollfd p{s, POLLIN, 0};
  char answer[64];
  ASSERT_EQ(poll(&p, 1, WAITMS), 1);
  EXPECT_LE(read(s, answer, sizeof answer), 0) << "closed, not answered";
  close(s);
  ASSERT_TRUE(connect());
  uint8_t bits[16] = {};
  EXPECT_EQ(modbus_read_input_bits(client, 0, 16, bits), 16) << modbus_strerror(errno);
}

TEST_F(ModbusE2eTest, ACoilWriteReleasesAWaitOnAFlagBank) {
  NEEDSERVER();
  pid_t sim = run("WAIT 3 ......1.\nNOTATE flagged\n$\nKEY m\nNOTATE keyed\n$\n", {"--flags=2,3"});
  ASSERT_TRUE(serve(sim, {"--writable"})) << readall(path("server.log"));
  ASSERT_TRUE(connect()) << modbus_strerror(errno);
  ASSERT_EQ(modbus_write_bit(client, 8 + 1, 1), 1) << modbus_strerror(errno);
  EXPECT_TRUE(runprints("flagged"));
  uint8_t bits[8] = {};
  EXPECT_TRUE(waituntil(WAITMS, [&] { return modbus_read_bits(client, 8, 8, bits) == 8 && bits[1] == 1; }));
  ASSERT_EQ(modbus_write_register(client, 0, 'm'), 1) << modbus_strerror(errno);
  EXPECT_TRUE(runprints("keyed"));
  uint16_t loops[2] = {};
  EXPECT_TRUE(waituntil(WAITMS, [&] { return modbus_read_input_registers(client, 0, 2, loops) == 2 && loops[0] > 0; }));
}

TEST_F(ModbusE2eTest, WhereItListensAndWhomItAnswers) {
  NEEDSERVER();
  pid_t sim = run("DELAY 60\n$\n");
  int status = 0;
  std::string said = capture(std::string(QUON_MODBUS_PATH) + " --listen=0.0.0.0:" + std::to_string(freeport()) + " " +
                                 std::to_string(sim) + " 2>&1",
                             &status);
  EXPECT_EQ(status, 2) << said;
  EXPECT_NE(said.find("needs --allow-from="), std::string::npos) << said;
  // The addresses and networks --listen= and --allow-from= refuse are the
  // unit tests' rows; an option that takes no value refuses one.
  said = capture(std::string(QUON_MODBUS_PATH) + " --writable=1 2>&1", &status);
  EXPECT_EQ(status, 2) << said;
  EXPECT_EQ(said.rfind("quon-modbus: not understood: --writable=1\n", 0), 0u) << said;
  // Listening on every address, a peer the networks do not name is closed
  // unanswered.
  int p = freeport();
  ASSERT_TRUE(serve(sim, {"--listen=0.0.0.0:" + std::to_string(p), "--allow-from=10.0.0.0/8"}));
  ASSERT_TRUE(connect());
  uint8_t bits[8] = {};
  EXPECT_EQ(modbus_read_input_bits(client, 0, 8, bits), -1);
  EXPECT_NE(errno, EMBXILADD);
  modbus_close(client);
  modbus_free(client);
  client = nullptr;
  kill(server, SIGTERM);
  EXPECT_EQ(reap(server, WAITMS), 0);
  ASSERT_TRUE(serve(sim, {"--listen=0.0.0.0:" + std::to_string(p), "--allow-from=127.0.0.0/8"}));
  ASSERT_TRUE(connect());
  EXPECT_EQ(modbus_read_input_bits(client, 0, 8, bits), 8) << modbus_strerror(errno);
  // The run's end ends the server.
  kill(sim, SIGTERM);
  reap(sim, WAITMS);  // what a service manager does: the run's process is gone
  EXPECT_EQ(reap(server, WAITMS), 0) << readall(path("server.log"));
}

}  // namespace
