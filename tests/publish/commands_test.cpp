// Keys, flag bits and notes between a run and its monitors, through a real
// region: the run's publishing on one side, a monitor's reader and writer
// (monitor/snapshot.h) on the other. Keys typed from outside reach the
// passes one a pass, in order, after the terminal's, none twice; a slot a
// monitor claimed and never filled holds the ring up only for a while;
// values nobody should have written are taken and ignored; notes come in
// order, and those already replaced are counted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/fatal.h"
#include "core/watch.h"
#include "driver/mainloop.h"
#include "monitor/snapshot.h"
#include "platform/sharedmem.h"
#include "port/port.h"
#include "publish/publish.h"
#include "tests/fakes/fakes.h"
#include "tests/testutil.h"

namespace {

std::vector<int> passkeys;  // the key of every pass that had one
void seekey(uint8_t key) { passkeys.push_back(key); }
const Watcher KEYS = {nullptr, nullptr, seekey, nullptr, nullptr, nullptr,
                      nullptr, nullptr, nullptr, nullptr, nullptr};

class CommandsTest : public LoopbackTest {
 protected:
  Attached a;

  void TearDown() override {
    if (a.region != nullptr) shareddetach(a.region, a.size, a.fd);
    passkeys.clear();
    resetall();
  }

  // Loads script over the banks, publishes it and adopts the region as a
  // monitor does.
  void published(const std::string &script, unsigned banks = 0) {
    portflagbanks(banks);
    run(script);
    ASSERT_EQ(publishstart(portsample), 0);
    ASSERT_EQ(watchadd(&KEYS), 0);
    size_t size = 0;
    int fd = -1;
    void *mapped = sharedattach(publishpath(), &size, &fd);
    ASSERT_NE(mapped, nullptr);
    std::string why;
    ASSERT_EQ(adopt(mapped, size, getpid(), &a, &why), 0) << why;
    a.fd = fd;
  }
  // Passes as the main loop makes them (the terminal's keys, then the
  // ring's), with the publishing's tick before each; the status of the
  // last.
  static int passes(int count) {
    int status = 0;
    for (int i = 0; i < count && status == 0; ++i) {
      publishtick();
      testing::internal::CaptureStdout();
      status = mainlooppass();
      testing::internal::GetCapturedStdout();
    }
    return status;
  }
  RegionHeader *h() { return a.region; }
};

TEST_F(CommandsTest, KeysComeOneAPassInOrderAfterTheTerminalsNoneTwice) {
  published("KEY a\nNOTATE A\n$\n$\n");
  std::string why;
  ASSERT_EQ(typekeys(a, "abc", &why), 0) << why;
  fakekeyspush('t');
  EXPECT_EQ(passes(6), 0);
  EXPECT_EQ(passkeys, (std::vector<int>{'t', 'a', 'b', 'c'}));
  EXPECT_EQ(h()->commandtaken, 3u);
  ASSERT_EQ(typekeys(a, "\x1b" "d", &why), 0) << why;
  EXPECT_EQ(passes(4), EXIT_ESC) << "ESC from outside ends the run as if typed";
  EXPECT_EQ(passkeys.back(), 27);
}

// More keys than the ring and the run's queue hold, typed while the run
// goes on: the writer waits for room, and every key comes once, in order.
TEST_F(CommandsTest, AFullRingMakesTheWriterWaitAndLosesNoKey) {
  published("KEY a\n$\n$\n");
  std::string keys;
  for (int i = 0; i < 5 * REGION_COMMANDS; ++i) keys += static_cast<char>('a' + i % 26);
  std::string why;
  int typed = -1;
  std::thread writer([&] { typed = typekeys(a, keys, &why); });
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (passkeys.size() < keys.size() && std::chrono::steady_clock::now() < until) passes(1);
  writer.join();
  EXPECT_EQ(typed, 0) << why;
  EXPECT_EQ(std::string(passkeys.begin(), passkeys.end()), keys);
}

// A slot claimed but never filled, then values no monitor sends: the run
// waits about a second for the claimed slot, then takes it as empty; the
// others it takes and ignores, and the key after them still comes.
TEST_F(CommandsTest, AStuckSlotAndHostileValuesHoldNothingUp) {
  published("KEY z\n$\n$\n", 1u << 2);
  __atomic_fetch_add(&h()->commandclaim, 1u, __ATOMIC_RELAXED);  // slot 0: claimed, never filled
  const RegionCommand hostile[] = {{2, 9, 0, 0}, {3, COMMAND_KEY, 0, 0}, {4, COMMAND_FLAG, 0, 0xFFFF},
                                   {5, COMMAND_FLAG, 3, 0xFFFF}, {6, COMMAND_FLAG, 200, 0xFFFF}};
  for (const RegionCommand &c : hostile) {
    h()->command[c.seq - 1] = c;
    __atomic_fetch_add(&h()->commandclaim, 1u, __ATOMIC_RELAXED);
  }
  std::string why;
  ASSERT_EQ(typekeys(a, "z", &why), 0) << why;
  fakeclock = 1000;
  passes(3);
  EXPECT_TRUE(passkeys.empty()) << "the slot claimed first is waited for";
  EXPECT_EQ(h()->commandtaken, 0u);
  fakeclock = 1999;
  passes(3);
  EXPECT_TRUE(passkeys.empty());
  fakeclock = 2001;
  passes(3);
  EXPECT_EQ(passkeys, std::vector<int>{'z'});
  EXPECT_EQ(h()->commandtaken, 7u);
  EXPECT_EQ(flagbits(2), 0) << "no command named bank 2";
}

// A flag command through a bank as an OUTPUT would; one typed after a key
// changes the bits only after the key's pass; a port no bank is refused
// by the writer.
TEST_F(CommandsTest, FlagsApplyToBanksInTheOrderTyped) {
  published("KEY k\n$\n$\n", 1u << 2);
  std::string why;
  ASSERT_EQ(setflags(a, 2, 0x0303, &why), 0) << why;
  passes(1);
  EXPECT_EQ(flagbits(2), 0x03);
  ASSERT_EQ(typekeys(a, "k", &why), 0) << why;
  ASSERT_EQ(setflags(a, 2, 0x8180, &why), 0) << why;
  publishtick();
  EXPECT_EQ(flagbits(2), 0x03) << "behind the key";
  EXPECT_EQ(mainlooppass(), 0);
  EXPECT_EQ(flagbits(2), 0x03) << "the key's pass sees the bits as they were";
  passes(1);
  EXPECT_EQ(flagbits(2), 0x82);
  EXPECT_EQ(setflags(a, 3, 0x0101, &why), -1);
  EXPECT_EQ(why, "port 3 is no flag bank of the run");
}

// The banks' bits and each thread's loops (its separator, not a KILL) as
// a snapshot shows them.
TEST_F(CommandsTest, TheRegionShowsTheBanksAndEachThreadsLoops) {
  published("NAME first\nOUTPUT 2 1......1\n$\nKILL first\n$\n$\n", 1u << 2);
  for (int i = 0; i < 3; ++i) step(0);
  step(1);
  fakeclock = 100;
  publishtick();
  Snapshot s;
  ASSERT_TRUE(snapshot(a, &s));
  EXPECT_EQ(s.head.flagbanks, 1u << 2);
  EXPECT_EQ(s.head.flags[2], 0x81);
  EXPECT_EQ(s.threads[0].loops, 3u);
  EXPECT_EQ(s.threads[1].loops, 1u);
}

// Notes in order; a reader that fell behind by more than the ring skips
// and counts the replaced ones; a slot rewritten by someone else is counted,
// not shown.
TEST_F(CommandsTest, NotesComeInOrderAndTheMissedAreCounted) {
  published("NOTATE one\nNOTATE two\n$\n$\n");
  uint32_t next = 0, missed = 0;
  std::vector<std::string> notes;
  EXPECT_TRUE(readnotes(a, &next, &notes, &missed));
  EXPECT_TRUE(notes.empty());
  step(0);
  EXPECT_TRUE(readnotes(a, &next, &notes, &missed));
  EXPECT_EQ(notes, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(next, 2u);
  for (int i = 0; i < REGION_NOTES; ++i) step(0);  // 128 more: 64 of them replaced
  notes.clear();
  regionnotes(h())[(next + REGION_NOTES + 5) % REGION_NOTES].seq = 7;
  EXPECT_TRUE(readnotes(a, &next, &notes, &missed));
  EXPECT_EQ(next, 2u + 2 * REGION_NOTES);
  EXPECT_EQ(missed, static_cast<uint32_t>(REGION_NOTES) + 1);
  ASSERT_EQ(notes.size(), static_cast<size_t>(REGION_NOTES) - 1);
  EXPECT_EQ(notes.front(), "one");
  EXPECT_EQ(notes.back(), "two");
  h()->notes = 1;  // a count behind the reader's
  notes.clear();
  EXPECT_TRUE(readnotes(a, &next, &notes, &missed));
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(next, 2u + 2 * REGION_NOTES);
}

}  // namespace
