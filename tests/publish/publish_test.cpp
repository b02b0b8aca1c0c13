// The monitors' region as a run writes it: its layout, the sequence counter
// a reader relies on, and the bits a monitor forces.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "tests/fakes/fakes.h"
#include "platform/sharedmem.h"
#include "port/port.h"
#include "publish/publish.h"
#include "publish/region.h"
#include "tests/testutil.h"

namespace {

class PublishTest : public LoopbackTest {
 protected:
  void TearDown() override { resetall(); }

  // The region this process published, mapped a second time as a monitor
  // maps it.
  static RegionHeader *attach(size_t *size) {
    void *mapped = sharedattach(regionpath(geteuid(), getpid()).c_str(), size);
    return static_cast<RegionHeader *>(mapped);
  }
};

TEST_F(PublishTest, TheRegionHoldsTheLoadedTablesAtTheirOffsets) {
  run("NAME blinker\nOUTPUT 1 .......1\nNOTATE on\n$\nWAIT 0 1.......\nSPAWN true\n$\n$\n");
  ASSERT_EQ(publishstart(), 0);
  size_t size = 0;
  RegionHeader *h = attach(&size);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->magic, REGION_MAGIC);
  EXPECT_EQ(h->version, REGION_VERSION);
  EXPECT_EQ(h->pid, getpid());
  EXPECT_EQ(h->size, size);
  ASSERT_EQ(h->threadcount, 2);
  ASSERT_EQ(h->tokencount, prog.tokencount);
  ASSERT_EQ(h->stringcount, 2);
  EXPECT_EQ(h->port[0].used, 1);
  EXPECT_EQ(h->port[1].used, 1);
  EXPECT_EQ(h->threadsat, sizeof(RegionHeader));
  EXPECT_EQ(h->tokensat, h->threadsat + 2 * sizeof(RegionThread));
  EXPECT_EQ(h->stringsat, h->tokensat + sizeof(RegionToken) * static_cast<size_t>(prog.tokencount));
  EXPECT_EQ(size, h->stringsat + 2u * REGION_TEXT);
  EXPECT_STREQ(regionthreads(h)[0].name, "blinker");
  EXPECT_EQ(regionthreads(h)[1].at, prog.threadstart[1]);
  for (int32_t i = 0; i < prog.tokencount; ++i) {
    EXPECT_EQ(regiontokens(h)[i].token, prog.tokens[i]) << i;
    EXPECT_EQ(regiontokens(h)[i].line, prog.tokenline[i]) << i;
  }
  EXPECT_STREQ(regionstring(h, 0), "on");
  EXPECT_STREQ(regionstring(h, 1), "true");
  shareddetach(h, size);
}

// Each copy leaves the counter even and higher; the copy holds the threads'
// places and the ports as the hooks saw them.
TEST_F(PublishTest, EveryCopyEndsOnAnEvenSequenceWithTheState) {
  run("OUTPUT 0 10100101\nDELAY 1\n$\nWAIT 0 1.......\n$\n$\n");
  ASSERT_EQ(publishstart(), 0);
  size_t size = 0;
  RegionHeader *h = attach(&size);
  ASSERT_NE(h, nullptr);
  uint32_t before = __atomic_load_n(&h->seq, __ATOMIC_ACQUIRE);
  EXPECT_EQ(before % 2, 0u);
  step(0);
  step(1);
  fakeclock = 100;
  publishtick();  // the first ticks copy at once
  uint32_t after = __atomic_load_n(&h->seq, __ATOMIC_ACQUIRE);
  EXPECT_EQ(after % 2, 0u);
  EXPECT_GT(after, before);
  EXPECT_EQ(h->port[0].out, 0xA5);
  EXPECT_EQ(h->port[0].in, 0xA5) << "the test connector loops the data lines back";
  EXPECT_EQ(regionthreads(h)[0].at, 1);
  EXPECT_EQ(regionthreads(h)[0].timer, prog.threadtimer[0]);
  shareddetach(h, size);
}

// Forced bits replace what the lines show for the threads; bits not forced
// still follow the lines, and nothing is forced once the region is gone.
TEST_F(PublishTest, ForcedBitsReplaceTheLinesUntilTheRegionEnds) {
  run("OUTPUT 0 00001111\n$\n$\n");
  step(0);
  EXPECT_EQ(portinput(0) & 0xFF, 0x0F) << "before the region, nothing forced";
  ASSERT_EQ(publishstart(), 0);
  size_t size = 0;
  RegionHeader *h = attach(&size);
  ASSERT_NE(h, nullptr);
  h->forcemask[0] = 0x81;
  h->forcevalue[0] = 0x80;
  EXPECT_EQ(portinput(0) & 0xFF, 0x8E);
  h->forcemask[0] = 0;
  EXPECT_EQ(portinput(0) & 0xFF, 0x0F);
  h->forcemask[0] = 0xFF;
  publishreset();
  EXPECT_EQ(portinput(0) & 0xFF, 0x0F);
  shareddetach(h, size);
}

}  // namespace
