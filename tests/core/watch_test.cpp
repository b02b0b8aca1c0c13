// The loop's watch seam: the input, output and places are told only when
// they change (and to a listener once when it was added), forced bits
// replace the lines for everyone, the pass listeners are told as often as
// they ask and learn how many passes went by, a listener may leave while
// its own event runs, and the table holds WATCH_LISTENERS.
#include <gtest/gtest.h>

#include <string>

#include "core/watch.h"

namespace {

std::string heard;  // what the listeners were told, in order

void input(int32_t n, uint8_t byte) { heard += "in" + std::to_string(n) + "=" + std::to_string(byte) + " "; }
void passes(int32_t n) {
  heard += "passes=" + std::to_string(n) + " ";
  watchpassin(3);
}
extern const Watcher once;
void leaving(int32_t) {
  heard += "leave ";
  watchremove(&once);
}
void staying(int32_t) {
  heard += "stay ";
  watchpassin(1);
}

const Watcher inputs = {nullptr, nullptr, nullptr, input, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
const Watcher counter = {passes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
const Watcher once = {leaving, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
const Watcher always = {staying, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

class WatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    watchreset();
    heard.clear();
  }
  void TearDown() override { watchreset(); }
};

TEST_F(WatchTest, InputsAreToldWhenTheyChangeWithTheForcedBitsIn) {
  EXPECT_EQ(watchinput(0, 0x01), 0x01) << "nobody listens: the byte as read";
  ASSERT_EQ(watchadd(&inputs), 0);
  ASSERT_EQ(watchadd(&inputs), 0);  // once only
  EXPECT_EQ(watching, static_cast<uint32_t>(WATCH_INPUT));
  watchinput(0, 0x01);
  watchinput(0, 0x01);
  watchinput(1, 0x01);
  volatile uint8_t mask[LOGICAL_PORTS] = {0x80, 0}, value[LOGICAL_PORTS] = {0x80, 0};
  watchforce(mask, value);
  EXPECT_EQ(watchinput(0, 0x01), 0x81);
  watchforce(nullptr, nullptr);
  EXPECT_EQ(watchinput(0, 0x01), 0x01);
  EXPECT_EQ(heard, "in0=1 in1=1 in0=129 in0=1 ");
  watchremove(&inputs);
  EXPECT_EQ(watching, 0u);
}

TEST_F(WatchTest, PassListenersAreToldAsOftenAsTheyAsk) {
  ASSERT_EQ(watchadd(&counter), 0);
  for (int i = 0; i < 7; ++i) watchpass();
  EXPECT_EQ(heard, "passes=1 passes=3 passes=3 ");
  heard.clear();
  watchpass();
  watchslept();  // the next pass is told, with the passes since the last
  watchpass();
  EXPECT_EQ(heard, "passes=2 ");
}

TEST_F(WatchTest, AListenerLeavesDuringItsOwnEvent) {
  ASSERT_EQ(watchadd(&once), 0);
  ASSERT_EQ(watchadd(&always), 0);
  watchpass();
  watchpass();
  EXPECT_EQ(heard, "leave stay stay ");
  static Watcher more[WATCH_LISTENERS];
  for (int i = 0; i + 1 < WATCH_LISTENERS; ++i) ASSERT_EQ(watchadd(&more[i]), 0) << i;
  EXPECT_EQ(watchadd(&once), -1);
  watchremove(&always);
  EXPECT_EQ(watchadd(&once), 0);
}

}  // namespace
