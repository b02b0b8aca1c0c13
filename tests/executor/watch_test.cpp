// The loop's watch seam: a listener that changes what the others are told
// (a monitor's forced bits) goes first whenever it was added, the flag word
// holds exactly the events someone hears, and a listener may leave while
// its own event runs.
#include <gtest/gtest.h>

#include <string>

#include "executor/watch.h"

namespace {

std::string heard;  // what the listeners were told, in order

uint8_t forcing(int32_t, uint8_t byte) {
  heard += "force ";
  return static_cast<uint8_t>(byte | 0x80);
}
uint8_t recording(int32_t, uint8_t byte) {
  heard += "record " + std::to_string(byte) + " ";
  return byte;
}
extern const Watcher once;
void leaving(void) {
  heard += "leave ";
  watchremove(&once);
}
void staying(void) { heard += "stay "; }

const Watcher forcer = {true, nullptr, nullptr, nullptr, nullptr, forcing,
                        nullptr, nullptr, nullptr, nullptr, nullptr};
const Watcher recorder = {false, nullptr, nullptr, nullptr, nullptr, recording,
                          nullptr, nullptr, nullptr, nullptr, nullptr};
const Watcher once = {false, leaving, nullptr, nullptr, nullptr, nullptr,
                      nullptr, nullptr, nullptr, nullptr, nullptr};
const Watcher always = {false, staying, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr, nullptr, nullptr, nullptr};

class WatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    watchreset();
    heard.clear();
  }
  void TearDown() override { watchreset(); }
};

TEST_F(WatchTest, TheForcingListenerGoesFirstWheneverItWasAdded) {
  ASSERT_EQ(watchadd(&recorder), 0);
  ASSERT_EQ(watchadd(&forcer), 0);
  ASSERT_EQ(watchadd(&recorder), 0);  // once only
  EXPECT_EQ(watching, static_cast<uint32_t>(WATCH_INPUT));
  EXPECT_EQ(watchinput(0, 0x01), 0x81);
  EXPECT_EQ(heard, "force record 129 ");
  watchremove(&forcer);
  watchremove(&recorder);
  EXPECT_EQ(watching, 0u);
  EXPECT_EQ(watchinput(0, 0x01), 0x01) << "nobody listens: the byte as read";
}

TEST_F(WatchTest, AListenerLeavesDuringItsOwnEvent) {
  ASSERT_EQ(watchadd(&once), 0);
  ASSERT_EQ(watchadd(&always), 0);
  watchpass();
  watchpass();
  EXPECT_EQ(heard, "leave stay stay ");
  // The table is full with WATCH_LISTENERS; a place that was left is free.
  static Watcher more[WATCH_LISTENERS];
  for (int i = 0; i + 1 < WATCH_LISTENERS; ++i) ASSERT_EQ(watchadd(&more[i]), 0) << i;
  EXPECT_EQ(watchadd(&once), -1);
  watchremove(&always);
  EXPECT_EQ(watchadd(&once), 0);
}

}  // namespace
