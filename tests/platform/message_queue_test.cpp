#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace {

TEST(MessageQueue, PostedMessagesRunInOrderOnlyWhenPumped) {
  std::vector<int> ran;
  platform::ThreadId self = platform::CurrentThreadId();
  ASSERT_TRUE(platform::PostThreadMessage(self, [&] { ran.push_back(1); }));
  ASSERT_TRUE(platform::PostThreadMessage(self, [&] {
    ran.push_back(2);
    // Posted while dispatching: the same pump still runs it.
    platform::PostThreadMessage(self, [&] { ran.push_back(3); });
  }));
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(platform::PumpMessages(), 3);
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(platform::PumpMessages(), 0);
}

TEST(MessageQueue, CrossThreadPostRunsOnTarget) {
  std::atomic<platform::ThreadId> target{0};
  std::atomic<bool> stop{false};
  std::atomic<platform::ThreadId> ranOn{0};
  std::thread worker([&] {
    platform::PumpMessages();  // makes the queue
    target = platform::CurrentThreadId();
    while (!stop) {
      platform::PumpMessages();
      platform::RealSleep(1);
    }
  });
  while (target == 0) platform::RealSleep(1);
  ASSERT_TRUE(platform::PostThreadMessage(target, [&] {
    ranOn = platform::CurrentThreadId();
    stop = true;
  }));
  worker.join();
  EXPECT_EQ(ranOn.load(), target.load());
  EXPECT_FALSE(platform::PostThreadMessage(target, [] {})) << "an ended thread takes no messages";
}

TEST(MessageQueue, UnknownThreadRefusesPost) { EXPECT_FALSE(platform::PostThreadMessage(987654321u, [] {})); }

TEST(MessageQueue, ThreadIdsAreDistinct) {
  platform::ThreadId other = 0;
  std::thread t([&] { other = platform::CurrentThreadId(); });
  t.join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, platform::CurrentThreadId());
}

}  // namespace

namespace {

TEST(HostPump, ReturnsWhatWasReadyWithoutWaitingOutTheTimeout) {
  int ran = 0;
  platform::ThreadId self = platform::CurrentThreadId();
  platform::PostThreadMessage(self, [&] {
    ++ran;
    platform::PostThreadMessage(self, [&] { ++ran; });
  });
  // A day's timeout: returning at all shows it came back once work was done.
  EXPECT_EQ(VelmoraPumpMessages(86400000u), 2);
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(VelmoraPumpMessages(0), 0) << "nothing ready, no wait";
}

TEST(HostPump, WakesForAMessagePostedFromAnotherThreadWhileWaiting) {
  platform::ThreadId self = platform::CurrentThreadId();
  VelmoraPumpMessages(0);  // makes the queue
  std::atomic<bool> ran{false};
  std::thread poster([&] { platform::PostThreadMessage(self, [&] { ran = true; }); });
  int dispatched = 0;
  while (dispatched == 0) dispatched = VelmoraPumpMessages(86400000u);
  poster.join();
  EXPECT_EQ(dispatched, 1);
  EXPECT_TRUE(ran);
}

TEST(HostPump, GivesZeroWhenTheTimeoutPassesIdle) { EXPECT_EQ(VelmoraPumpMessages(20), 0); }

}  // namespace

namespace {

// Stands in for a socket: its third poll turns an outside event into a message.
class CountingSource final : public platform::EventSource {
 public:
  std::atomic<int> polls{0};
  bool* ran = nullptr;
  void Poll() override {
    if (++polls == 3) platform::PostThreadMessage(platform::CurrentThreadId(), [this] { *ran = true; });
  }
};

TEST(HostPump, WaitsForEventSourcesAndDispatchesWhatTheyRaise) {
  bool ran = false;
  CountingSource source;
  source.ran = &ran;
  platform::AddEventSource(&source);
  int dispatched = 0;
  while (dispatched == 0) dispatched = VelmoraPumpMessages(86400000u);
  platform::RemoveEventSource(platform::CurrentThreadId(), &source);
  EXPECT_EQ(dispatched, 1);
  EXPECT_TRUE(ran);
  EXPECT_GE(source.polls.load(), 3);
}

}  // namespace
