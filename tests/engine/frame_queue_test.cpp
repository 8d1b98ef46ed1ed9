#include "engine/frame_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace {

TEST(FrameQueue, CapacityIsAtMostAThousand) {
  CManage2DBUF q(5000);
  EXPECT_EQ(q.Capacity(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(q.PushFrame(&i, sizeof(i), i), 1);
  int extra = 1000;
  EXPECT_EQ(q.PushFrame(&extra, sizeof(extra), extra), 0);
  EXPECT_EQ(q.FrameCount(), 1000);
  int head = -1;
  int32_t size = 0, tag = 0;
  q.PopFrame(&head, &size, &tag);
  EXPECT_EQ(head, 0);
  EXPECT_EQ(tag, 0);
  EXPECT_EQ(size, 4);
}

TEST(FrameQueue, FullAtSmallCapacityAndIndicesWrap) {
  CManage2DBUF q(3);
  char a[] = "abc", b[] = "defgh", c[] = "ij", d[] = "k";
  EXPECT_EQ(q.PushFrame(a, 3, 10), 1);
  EXPECT_EQ(q.PushFrameTagged(b, 5, 222, 20), 1);
  EXPECT_EQ(q.PushFrame(c, 2, 30), 1);
  EXPECT_EQ(q.PushFrame(d, 1, 40), 0);
  EXPECT_EQ(q.FrameWriteIndex(), 0);

  char out[8] = {};
  int32_t size, tag;
  q.PopFrame(out, &size, &tag);
  EXPECT_EQ(std::string(out, size), "abc");
  EXPECT_EQ(tag, 10);
  q.PopFrameTagged(out, &size, &tag);
  EXPECT_EQ(std::string(out, size), "defgh");
  EXPECT_EQ(tag, 222);
  q.PopFrame(out, &size);
  EXPECT_EQ(std::string(out, size), "ij");
  EXPECT_EQ(q.FrameReadIndex(), 0);
  EXPECT_EQ(q.FrameCount(), 0);
}

TEST(FrameQueue, PopOnEmptyChangesNothing) {
  CManage2DBUF q(10);
  int out = 7;
  int32_t size = 99, tag = 99;
  q.PopFrame(&out, &size, &tag);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(tag, 0);
  EXPECT_EQ(out, 7);
  EXPECT_EQ(q.FrameCount(), 0);
  EXPECT_EQ(q.FrameReadIndex(), 0);
  q.DropFrame();
  EXPECT_EQ(q.FrameReadIndex(), 0);
}

TEST(FrameQueue, PeekReadsInsideTheHeadOnly) {
  CManage2DBUF q(10);
  uint8_t msg[16];
  for (int i = 0; i < 16; ++i) msg[i] = static_cast<uint8_t>(i);
  q.PushFrame(msg, 16, 0);
  uint32_t ts = 0;
  EXPECT_EQ(q.PeekFrame(&ts, 8, 4), 1);
  EXPECT_EQ(ts, 0x0B0A0908u);
  EXPECT_EQ(q.PeekFrame(&ts, 13, 4), 0);
  EXPECT_EQ(q.HeadSize(), 16);
  q.DropFrame();
  EXPECT_EQ(q.FrameCount(), 0);
  EXPECT_EQ(q.PeekFrame(&ts, 0, 4), 0);
}

TEST(FrameQueue, ClearWaitsForTheConsumerPass) {
  CManage2DBUF q(10);
  int v = 1;
  q.PushFrame(&v, sizeof(v), 0);
  q.LockFrames();
  std::atomic<bool> cleared{false};
  std::thread clearer([&] {
    q.ClearFrames();
    cleared = true;
  });
  platform::RealSleep(50);
  EXPECT_FALSE(cleared);
  EXPECT_EQ(q.FrameCount(), 1) << "the consumer still sees its item";
  q.UnlockFrames();
  clearer.join();
  EXPECT_TRUE(cleared);
  EXPECT_EQ(q.FrameCount(), 0);
}

// The display thread starts its next pass the moment it ends one; a clear
// that waits still goes between the two.
TEST(FrameQueue, AWaitingClearGoesBeforeTheConsumersNextPass) {
  CManage2DBUF q(10);
  std::atomic<int> passes{0};
  std::thread consumer([&] {
    while (passes < 300) {
      q.LockFrames();
      ++passes;
      platform::RealSleep(2);
      q.UnlockFrames();
    }
  });
  while (passes == 0) std::this_thread::yield();
  const int before = passes;
  q.ClearFrames();
  EXPECT_LE(passes - before, 2) << "passes the clear waited for";
  consumer.join();
}

TEST(FrameQueue, ProducerAndConsumerThreads) {
  CManage2DBUF q(1000);
  constexpr int kFrames = 20000;
  std::thread producer([&] {
    std::vector<uint8_t> frame(2000);
    for (int i = 0; i < kFrames;) {
      int size = 4 + i % 1990;
      std::memcpy(frame.data(), &i, 4);
      if (q.PushFrame(frame.data(), size, i)) ++i;
      else std::this_thread::yield();
    }
  });
  std::vector<uint8_t> out(2000);
  int next = 0;
  bool ok = true;
  while (next < kFrames) {
    q.LockFrames();
    if (q.FrameCount() > 0) {
      int32_t size = 0, tag = -1;
      q.PopFrame(out.data(), &size, &tag);
      int first;
      std::memcpy(&first, out.data(), 4);
      ok &= first == next && tag == next && size == 4 + next % 1990;
      ++next;
    }
    q.UnlockFrames();
  }
  producer.join();
  EXPECT_TRUE(ok);
}

}  // namespace
