#include "platform/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(ControlledClock, StartsNearWrapAndWraps) {
  platform::ControlledClock clock;
  uint32_t start = clock.TickCount();
  EXPECT_GT(start, 0xFFFF0000u);
  clock.Advance(0x2000);
  EXPECT_EQ(clock.TickCount(), static_cast<uint32_t>(start + 0x2000));
  EXPECT_LT(clock.TickCount(), start) << "the 32-bit count wraps";
}

TEST(ControlledClock, SleepersWakeOnlyWhenTimeReached) {
  platform::ControlledClock clock(0xFFFFFFF0u);
  platform::ScopedClock use(&clock);
  std::atomic<bool> woke{false};
  std::thread sleeper([&] {
    platform::Sleep(100);  // crosses 2^32
    woke = true;
  });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.Advance(99);
  platform::RealSleep(20);
  EXPECT_FALSE(woke);
  clock.Advance(1);
  sleeper.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(platform::GetTickCount(), 0x54u);
}

TEST(SystemClock, TicksAdvanceWithRealSleep) {
  uint32_t before = platform::GetTickCount();
  platform::Sleep(20);
  uint32_t elapsed = platform::GetTickCount() - before;
  EXPECT_GE(elapsed, 19u);
  platform::LocalTime now = platform::GetLocalTime();
  EXPECT_GE(now.year, 2020);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
}

TEST(ControlledClock, LocalTimeIsSettable) {
  platform::ControlledClock clock;
  platform::LocalTime t{2001, 2, 3, 4, 5, 6, 7};
  clock.SetLocalTime(t);
  EXPECT_EQ(clock.Now().year, 2001);
  EXPECT_EQ(clock.Now().second, 6);
}

}  // namespace
