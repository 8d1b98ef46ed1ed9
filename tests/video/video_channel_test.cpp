// The video channel with the headless window, the step-by-step test clock
// and the fake decoder library: pre-buffering, pacing, lateness, messages,
// output targets, recovery of the drawing device, library copies and slots.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "engine/video_channel.h"
#include "engine/wire_protocol.h"
#include "platform/draw_headless.h"
#include "platform/message_box.h"
#include "video_test_support.h"

using namespace video_test;

namespace {

TEST(VideoTiming, SpansAndPacingWaits) {
  EXPECT_EQ(video::TickSpanMilliseconds(3), 100u);
  EXPECT_EQ(video::TickSpanMilliseconds(17), 566u);
  EXPECT_EQ(video::PacingWaitMilliseconds(3), 100u);
  EXPECT_EQ(video::PacingWaitMilliseconds(4), 130u);
  // Below the delay the wait grows, near it it halves, far above it is 0.
  EXPECT_EQ(video::AdjustPacingWait(100, 499, 500), 120u);
  EXPECT_EQ(video::AdjustPacingWait(130, 499, 500), 150u);
  EXPECT_EQ(video::AdjustPacingWait(100, 500, 500), 50u);
  EXPECT_EQ(video::AdjustPacingWait(130, 999, 500), 65u);
  EXPECT_EQ(video::AdjustPacingWait(130, 1000, 500), 0u);
  // A wrap from 0xFFFFFFFF to 0 is one tick like any other.
  EXPECT_EQ(video::PacingWaitMilliseconds(0u - 0xFFFFFFFFu), 30u);
}

TEST(VideoTiming, WaitsStayBoundedWhenTimestampsJump) {
  EXPECT_EQ(video::PacingWaitMilliseconds(10u - 1000u), 0u) << "a step backwards";
  EXPECT_EQ(video::PacingWaitMilliseconds(3000), video::kMaxPacingWaitMs);
  EXPECT_EQ(video::AdjustPacingWait(video::kMaxPacingWaitMs, 0, 500), video::kMaxPacingWaitMs);
}

TEST(VideoTiming, FrameRateExtensionAndBias) {
  EXPECT_EQ(video::FrameIntervalExtension(0), 0u);
  EXPECT_EQ(video::FrameIntervalExtension(1), 29u);
  EXPECT_EQ(video::FrameIntervalExtension(10), 2u);
  EXPECT_EQ(video::FrameIntervalExtension(30), 0u);
  EXPECT_EQ(video::FrameIntervalExtension(31), 0u) << "never -1 above 30 fps";
  EXPECT_EQ(video::FrameIntervalExtension(60), 0u);
  EXPECT_EQ(video::FrameRateBias(0), 1000u);
  EXPECT_EQ(video::FrameRateBias(1), 1000u);
  EXPECT_EQ(video::FrameRateBias(5), 200u);
  EXPECT_EQ(video::FrameRateBias(9), 100u);
  EXPECT_EQ(video::FrameRateBias(10), 0u);
}

TEST(VideoTiming, ControlValuesInWireOrder) {
  VideoPeer channel;
  channel.maxbitrate = 0x1234;
  channel.motionsen = 0x0A0B;
  wire::EncoderValues v;
  v.control = channel.ControlValues();
  uint8_t out[wire::kSendBufferSize];
  wire::BuildEncoderParams(v, out, false);
  const uint8_t want[] = {0x34, 0x12, 30, 19, 6, 30, 0x0B, 0x0A, 1};
  EXPECT_EQ(0, std::memcmp(out + 12, want, sizeof want));
}

struct Message {
  int32_t number;
  std::string text;
};

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    system_ = std::make_unique<SystemDir>(FakeLibrary());
    platform::SetClock(&clock);
    window = platform::CreateHeadlessWindow(640, 480);
    platform::SetMessageBoxSink([this](const std::string& text, const std::string& title) {
      std::lock_guard<std::mutex> lock(mutex_);
      boxes.push_back(title + ": " + text);
    });
  }
  void TearDown() override {
    clock.FreeRun();
    channel.reset();
    platform::SetClock(nullptr);
    platform::SetMessageBoxSink(nullptr);
  }

  void MakeChannel() {
    channel = std::make_unique<CVideoMPEG4>(window.get());
    channel->passMessage.Set([this](int32_t number, const char* text) {
      std::lock_guard<std::mutex> lock(mutex_);
      messages.push_back({number, text});
    });
  }
  void Start() { channel->StartVideoThread(); }
  bool Run(uint64_t until) { return RunUntil(clock, *channel, schedule, next, until); }
  std::vector<Message> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages;
  }
  std::vector<int32_t> DecodedIds() {
    const FakeQuendaStateData* s = FakeState(*channel);
    if (!s) return {};
    return std::vector<int32_t>(s->ids, s->ids + std::min(s->decodes, 4096));
  }
  // Stands in for the form's one-second statistics timer.
  void CountSecond() {
    platform::Lock lock(channel->drawLock);
    if (channel->draw->drawOk == 0)
      channel->drawFailSeconds += 1;
    else
      channel->drawFailSeconds = 0;
  }
  uint32_t Tick(uint64_t elapsed) const { return uint32_t(0xFFFFF000u + elapsed); }

  SimClock clock;
  std::unique_ptr<platform::HeadlessWindow> window;
  std::unique_ptr<CVideoMPEG4> channel;
  std::vector<Scheduled> schedule;
  size_t next = 0;
  std::vector<Message> messages;
  std::vector<std::string> boxes;
  // The caller's picture buffer: TearDown ends the channel first, so the
  // thread never decodes into freed memory.
  std::vector<uint8_t> picture;

 private:
  std::unique_ptr<SystemDir> system_;
  std::mutex mutex_;
};

TEST_F(ChannelTest, ThirtyFramesPerSecondPlayAtTheCameraPaceAfterThePreBuffer) {
  MakeChannel();
  channel->frameRate = 30;
  schedule = CameraSchedule(300, 30.0, 1, 30);
  Start();
  ASSERT_TRUE(Run(11000));

  // Frame 16 (arriving at 533 ms) makes the queue hold more than 500 ms; the
  // 20 ms pre-buffer poll sees it at 540.
  const auto blits = window->Blits();
  ASSERT_GT(blits.size(), 250u);
  EXPECT_EQ(blits[0].tick, Tick(540));
  const auto sleeps = clock.Sleeps();
  ASSERT_GT(sleeps.size(), 28u);
  EXPECT_TRUE(std::all_of(sleeps.begin(), sleeps.begin() + 27, [](uint32_t s) { return s == 20; }));
  EXPECT_EQ(sleeps[27], 15u) << "30 ms halved: the queue still holds 500 ms";

  // Nothing dropped, in order; the last half second stays in the pre-buffer.
  const auto ids = DecodedIds();
  ASSERT_GE(ids.size(), 300u - 17u);
  for (size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], int32_t(i));
  EXPECT_EQ(int32_t(ids.size()), channel->framesDecoded.load());

  // Steady pace of the camera, and a delay held near the pre-buffer.
  const double interval = double(blits[270].tick - blits[30].tick) / 240.0;
  EXPECT_NEAR(interval, 1000.0 / 30.0, 1.0);
  for (size_t k = 0; k < 280; ++k) {
    const int64_t shown = int64_t(uint32_t(blits[k].tick - Tick(0)));
    const int64_t delay = shown - int64_t(schedule[k].at);
    EXPECT_GE(delay, 350) << "frame " << k;
    EXPECT_LE(delay, 1000) << "frame " << k;
  }
}

TEST_F(ChannelTest, AtTenFramesPerSecondTheSixthFrameStartsPlaying) {
  MakeChannel();
  channel->frameRate = 10;
  schedule = CameraSchedule(20, 10.0, 3, 30);
  Start();
  ASSERT_TRUE(Run(700));
  const auto blits = window->Blits();
  ASSERT_FALSE(blits.empty());
  EXPECT_EQ(blits[0].tick, Tick(500)) << "five frames give 466 ms, six give 566 ms";
  const auto sleeps = clock.Sleeps();
  ASSERT_GT(sleeps.size(), 25u);
  EXPECT_EQ(sleeps[25], 120u) << "100 ms, plus 20 while the queue holds less than the delay";
}

TEST_F(ChannelTest, LateFramesAreDroppedUntilTheNextKeyFrame) {
  MakeChannel();
  channel->frameRate = 30;
  // Queued while the thread was held up: the newest frame is far ahead.
  const struct {
    uint32_t ts;
    uint8_t type;
  } frames[] = {{0, kOther}, {1, kDroppable}, {2, kOther}, {60, kOther}, {61, kKey},
                {62, kDroppable}, {97, kOther}, {98, kDroppable}, {99, kDroppable}};
  int id = 1;
  for (const auto& f : frames) Queue(*channel, FakeFrame(f.ts, f.type, id++));
  Start();
  ASSERT_TRUE(Run(2000));
  // 1: 3300 ms late, beyond the delay + 2000: drop until a key frame; 2: a
  // droppable frame beyond the delay + 500; 3, 4: still waiting for the key
  // frame (4 is only 1300 ms late); 5: the key frame, shown although late;
  // 6: droppable and late; 7-9: in time.
  EXPECT_EQ(DecodedIds(), (std::vector<int32_t>{5, 7, 8, 9}));
  const auto sleeps = clock.Sleeps();
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 1u), 3) << "1 ms for each frame dropped until the key";
  EXPECT_EQ(channel->frameQueue->FrameCount(), 0);
}

TEST_F(ChannelTest, TimestampsGoingBackwardsOrJumpingNeverStallTheThread) {
  MakeChannel();
  channel->frameRate = 30;
  // The camera restarted its clock: 1000, then 10, 11, 12.
  for (uint32_t ts : {1000u, 10u, 11u, 12u}) Queue(*channel, FakeFrame(ts, kKey, int32_t(ts)));
  Start();
  ASSERT_TRUE(Run(1000));
  auto sleeps = clock.Sleeps();
  ASSERT_GE(sleeps.size(), 2u);
  EXPECT_EQ(sleeps[1], 20u) << "no wait for the step back, +20 for a short queue";
  EXPECT_EQ(DecodedIds().size(), 4u);
  EXPECT_LE(*std::max_element(sleeps.begin(), sleeps.end()), video::kMaxPacingWaitMs);

  // A jump of 100 s ahead waits at most the bound.
  clock.ClearSleeps();
  Queue(*channel, FakeFrame(5000, kKey, 1));
  Queue(*channel, FakeFrame(8000, kKey, 2));
  Queue(*channel, FakeFrame(8001, kKey, 3));
  ASSERT_TRUE(Run(10000));
  sleeps = clock.Sleeps();
  EXPECT_NE(std::find(sleeps.begin(), sleeps.end(), video::kMaxPacingWaitMs), sleeps.end());
  EXPECT_LE(*std::max_element(sleeps.begin(), sleeps.end()), video::kMaxPacingWaitMs);
}

TEST_F(ChannelTest, ReportsDisplayChangesAndDiscardsFramesWhileDisabled) {
  MakeChannel();
  channel->frameRate = 30;
  schedule = CameraSchedule(150, 30.0, 1, 30);
  Start();
  ASSERT_TRUE(Run(1500));
  channel->VidEnable = 0;
  channel->vidEnableChanged = 1;
  const size_t shownBefore = window->Blits().size();
  const int32_t decodedBefore = channel->framesDecoded;
  ASSERT_TRUE(Run(3000));
  EXPECT_EQ(window->Blits().size(), shownBefore);
  EXPECT_EQ(channel->framesDecoded.load(), decodedBefore);
  EXPECT_LT(channel->frameQueue->FrameCount(), 30) << "frames are still taken off the queue";
  EXPECT_EQ(channel->draw->dibBits, nullptr) << "no memory bitmap while video is off";

  channel->VidEnable = 1;
  channel->vidEnableChanged = 1;
  ASSERT_TRUE(Run(3500));
  channel->localvideo = 0;
  channel->localvideoChanged = 1;
  ASSERT_TRUE(Run(3600));
  channel->localvideo = 1;
  channel->localvideoChanged = 1;
  ASSERT_TRUE(Run(3700));

  std::vector<std::pair<int32_t, std::string>> display;
  for (const auto& m : Messages())
    if (m.number != 96) display.push_back({m.number, m.text});
  const std::vector<std::pair<int32_t, std::string>> want = {{97, "changed videnable(1->0)"},
                                                             {98, "changed videnable(0->1)"},
                                                             {99, "changed localvideo(1->0)"},
                                                             {100, "changed localvideo(0->1)"}};
  EXPECT_EQ(display, want);
}

TEST_F(ChannelTest, DecodesIntoTheCallersBuffer) {
  MakeChannel();
  channel->frameRate = 30;
  channel->localvideo = 0;
  channel->localvideoRgb32 = 1;
  picture.assign(320 * 240 * 4, 0xEE);
  channel->decPointer = picture.data();
  schedule = CameraSchedule(40, 30.0, 1, 30);
  Start();
  ASSERT_TRUE(Run(1000));
  const FakeQuendaStateData* s = FakeState(*channel);
  ASSERT_NE(s, nullptr);
  ASSERT_GT(s->decodes, 0);
  EXPECT_EQ(s->lastMode & 0xFFFF, 32);
  // Pixel (300, 200): R = 300 & 0xFF, G = 200, B = 1 << 7 | id.
  const uint8_t* p = picture.data() + (200 * 320 + 300) * 4;
  EXPECT_EQ(p[2], 300 & 0xFF);
  EXPECT_EQ(p[1], 200);
  EXPECT_EQ(p[0], 0x80 | (s->lastId & 0x7F));
  EXPECT_TRUE(window->Blits().empty());
  const auto msgs = Messages();
  EXPECT_EQ(std::count_if(msgs.begin(), msgs.end(), [](const Message& m) { return m.number == 96 && m.text == "get video"; }),
            s->decodes);

  // Without bit 1: 24-bit rows, bottom-up.
  channel->localvideoRgb32 = 0;
  ASSERT_TRUE(Run(1200));
  EXPECT_EQ(s->lastMode & 0xFFFF, 0);
  const uint8_t* row0 = picture.data() + size_t(239) * 320 * 3;
  EXPECT_EQ(row0[1], 0) << "picture row 0 is the last buffer row";
}

TEST_F(ChannelTest, NoCallersBufferMeansNoOutput) {
  MakeChannel();
  channel->frameRate = 30;
  channel->localvideo = 0;
  schedule = CameraSchedule(40, 30.0, 1, 30);
  Start();
  ASSERT_TRUE(Run(1000));
  const FakeQuendaStateData* s = FakeState(*channel);
  ASSERT_NE(s, nullptr);
  ASSERT_GT(s->decodes, 0);
  EXPECT_EQ(s->nullOutputs, s->decodes);
  const auto msgs = Messages();
  EXPECT_EQ(std::count_if(msgs.begin(), msgs.end(), [](const Message& m) { return m.number == 96; }), 0)
      << "nothing was written, so nothing is announced";
}

TEST_F(ChannelTest, ModeWordFollowsSurfaceDepthAndPostProcessing) {
  window->surfaceBitCount = 16;
  MakeChannel();
  channel->frameRate = 30;
  channel->Postproc = 5;
  schedule = CameraSchedule(30, 30.0, 1, 30);
  Start();
  ASSERT_TRUE(Run(800));
  const FakeQuendaStateData* s = FakeState(*channel);
  ASSERT_NE(s, nullptr);
  ASSERT_GT(s->decodes, 0);
  EXPECT_EQ(s->lastMode, (5 << 16) + 16);
  EXPECT_EQ(s->lastInputSize, 12) << "the payload: 4 tag bytes and the 8-byte picture";
  EXPECT_EQ(s->tagOk, 1);
  EXPECT_EQ(s->inits, 1);
  // The pattern at (0, 0) through RGB565: R 0, G 0, B = id in 5 bits.
  const uint32_t b5 = uint32_t(s->lastId & 0x7F) >> 3;
  EXPECT_EQ(window->Blits().back().sourceOrigin, (b5 << 3) | (b5 >> 2));
}

TEST_F(ChannelTest, WithoutADeviceFramesGoToTheMemoryBitmapUntilItComesBack) {
  window->failCreate = true;
  MakeChannel();
  EXPECT_EQ(channel->draw->ddReady.load(), 0);
  channel->frameRate = 30;
  schedule = CameraSchedule(200, 30.0, 1, 30);
  Start();
  ASSERT_TRUE(Run(1000));
  const FakeQuendaStateData* s = FakeState(*channel);
  ASSERT_NE(s, nullptr);
  ASSERT_GT(s->decodes, 0);
  EXPECT_EQ(s->lastMode & 0xFFFF, 0) << "24-bit bottom-up into the bitmap";
  ASSERT_NE(channel->draw->dibBits, nullptr);
  const uint8_t* row0 = channel->draw->dibBits + size_t(239) * 320 * 3;
  EXPECT_EQ(row0[0], s->lastId & 0x7F);
  EXPECT_EQ(channel->draw->drawOk.load(), 0);
  EXPECT_TRUE(window->Blits().empty());

  // Three seconds without a blit, then the next frame re-creates the device.
  window->failCreate = false;
  for (int second = 0; second < 2; ++second) {
    CountSecond();
    ASSERT_TRUE(Run(1000 + 100 * uint64_t(second + 1)));
  }
  EXPECT_EQ(window->devicesCreated.load(), 0) << "not before three seconds";
  CountSecond();
  ASSERT_TRUE(Run(1500));
  EXPECT_EQ(window->devicesCreated.load(), 1);
  EXPECT_EQ(channel->drawFailSeconds.load(), 0);
  EXPECT_FALSE(window->Blits().empty());
  EXPECT_EQ(channel->draw->drawOk.load(), 1);

  // Blits that keep failing lead to another re-creation.
  window->failBlits = 1000000;
  ASSERT_TRUE(Run(1700));
  EXPECT_EQ(channel->draw->drawOk.load(), 0);
  for (int second = 0; second < 3; ++second) CountSecond();
  ASSERT_TRUE(Run(1800));
  EXPECT_EQ(window->devicesCreated.load(), 2);
  window->failBlits = 0;
  ASSERT_TRUE(Run(1900));
  EXPECT_EQ(channel->draw->drawOk.load(), 1);
  CountSecond();
  EXPECT_EQ(channel->drawFailSeconds.load(), 0);
}

TEST_F(ChannelTest, MotionGridIsDrawnOverFramesOnlyInGridEditingMode) {
  MakeChannel();
  channel->frameRate = 30;
  channel->draw->MotionGrid = 1;
  channel->MotionGridMask = 1;
  schedule = CameraSchedule(100, 30.0, 1, 30);
  Start();
  ASSERT_TRUE(Run(1000));
  EXPECT_TRUE(window->Lines().empty()) << "EncMode 1";
  channel->EncMode = 2;
  ASSERT_TRUE(Run(1500));
  const auto lines = window->Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.size() % 100, 0u) << "25 cells of 4 sides per frame";
  EXPECT_EQ(lines[0].rgb, CMy_Draw::kGridRed);
  EXPECT_EQ(lines[4].rgb, CMy_Draw::kGridGray);
  EXPECT_EQ(window->Pixel(30, 2), CMy_Draw::kGridRed);
}

TEST_F(ChannelTest, OversizedFramesAreRefused) {
  MakeChannel();
  channel->frameRate = 30;
  std::vector<uint8_t> big = FakeFrame(0, kKey, 1);
  big.resize(70000, 0xAB);
  Queue(*channel, big);
  for (uint32_t k = 1; k < 30; ++k) Queue(*channel, FakeFrame(k, kDroppable, int32_t(k + 1)));
  Start();
  ASSERT_TRUE(Run(2000));
  const auto ids = DecodedIds();
  ASSERT_FALSE(ids.empty());
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 1), 0);
}

TEST(DecoderSlots, EachChannelGetsItsOwnNumberedCopy) {
  SystemDir system(FakeLibrary());
  platform::SetMessageBoxSink([](const std::string&, const std::string&) {});
  const int32_t heldBefore = video::HeldDecoderSlots();
  ASSERT_EQ(heldBefore, 0);
  auto first = std::make_unique<CVideoMPEG4>(nullptr);
  auto second = std::make_unique<CVideoMPEG4>(nullptr);
  EXPECT_EQ(first->decoderSlot, 0);
  EXPECT_EQ(second->decoderSlot, 1);
  const std::string copy0 = system.Path() + "/libquenda0010.so";
  const std::string copy1 = system.Path() + "/libquenda0011.so";
  struct stat original {}, a {}, b {};
  ASSERT_EQ(stat((system.Path() + "/libquenda.so").c_str(), &original), 0);
  ASSERT_EQ(lstat(copy0.c_str(), &a), 0);
  ASSERT_EQ(lstat(copy1.c_str(), &b), 0);
  EXPECT_TRUE(S_ISREG(a.st_mode)) << "a copy, never a link";
  EXPECT_NE(a.st_ino, original.st_ino);
  EXPECT_NE(a.st_ino, b.st_ino);

  // Each copy is a decoder of its own.
  first->StartVideoThread();
  second->StartVideoThread();
  while (first->running == 0 || second->running == 0) platform::RealSleep(1);
  const FakeQuendaStateData* s0 = FakeState(*first);
  const FakeQuendaStateData* s1 = FakeState(*second);
  ASSERT_NE(s0, nullptr);
  ASSERT_NE(s1, nullptr);
  EXPECT_NE(s0, s1);
  EXPECT_EQ(s0->inits, 1);
  EXPECT_EQ(s1->inits, 1);

  first.reset();
  EXPECT_TRUE(platform::FileExists(copy0)) << "the copy stays";
  auto third = std::make_unique<CVideoMPEG4>(nullptr);
  EXPECT_EQ(third->decoderSlot, 0) << "slot 0 is free again";
  EXPECT_NE(FakeState(*third), nullptr);
  second.reset();
  third.reset();
  EXPECT_EQ(video::HeldDecoderSlots(), 0);
  platform::SetMessageBoxSink(nullptr);
}

TEST(DecoderSlots, ChannelsBuiltOnManyThreadsNeverShareASlot) {
  SystemDir system(FakeLibrary());
  constexpr int kThreads = 12;
  std::vector<std::unique_ptr<CVideoMPEG4>> channels(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&channels, i] { channels[size_t(i)] = std::make_unique<CVideoMPEG4>(nullptr); });
  for (auto& t : threads) t.join();
  std::set<int32_t> slots;
  for (const auto& c : channels) {
    slots.insert(c->decoderSlot);
    EXPECT_NE(c->decoderLibrary, nullptr);
  }
  EXPECT_EQ(slots.size(), size_t(kThreads));
  EXPECT_EQ(*slots.rbegin(), kThreads - 1);
}

TEST(DecoderSlots, WithoutTheLibraryFramesAreTakenButNothingIsCalled) {
  SystemDir system("");
  std::vector<std::string> boxes;
  platform::SetMessageBoxSink([&](const std::string& text, const std::string& title) { boxes.push_back(title + ": " + text); });
  auto window = platform::CreateHeadlessWindow(320, 240);
  auto channel = std::make_unique<CVideoMPEG4>(window.get());
  EXPECT_EQ(channel->decoderFrame, nullptr);
  EXPECT_EQ(boxes, std::vector<std::string>{"Fail: Fail to LoadLibrary()"});
  channel->frameRate = 0;
  for (uint32_t k = 0; k < 10; ++k) Queue(*channel, FakeFrame(k, kKey, int32_t(k)));
  channel->StartVideoThread();
  for (int i = 0; i < 5000 && channel->frameQueue->FrameCount() > 0; ++i) platform::RealSleep(1);
  EXPECT_EQ(channel->frameQueue->FrameCount(), 0);
  EXPECT_EQ(channel->framesDecoded.load(), 0);
  channel.reset();
  platform::SetMessageBoxSink(nullptr);
}

// Whether a file is mapped into this process (a loaded library is).
bool Mapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.size() >= path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0) return true;
  return false;
}

// XDG_CACHE_HOME names a directory while it lives.
class CacheHome {
 public:
  explicit CacheHome(const std::string& path) {
    if (const char* old = std::getenv("XDG_CACHE_HOME")) old_ = old, hadOld_ = true;
    setenv("XDG_CACHE_HOME", path.c_str(), 1);
  }
  ~CacheHome() {
    if (hadOld_)
      setenv("XDG_CACHE_HOME", old_.c_str(), 1);
    else
      unsetenv("XDG_CACHE_HOME");
  }

 private:
  std::string old_;
  bool hadOld_ = false;
};

// A system directory that takes no copy (here a directory stands where the
// copy goes, which stops root as well as a read-only lib/ stops a user): the
// copy is made in the user's cache directory, replacing a stale one there,
// and loaded from there.
TEST(DecoderSlots, ACopyTheSystemDirectoryCannotTakeGoesToTheUserCache) {
  SystemDir system(FakeLibrary());
  std::vector<std::string> boxes;
  platform::SetMessageBoxSink([&](const std::string& text, const std::string& title) { boxes.push_back(title + ": " + text); });
  std::filesystem::create_directories(system.Path() + "/libquenda0010.so/in-the-way");
  CacheHome cache(system.Path() + "/cache");
  const std::string cached = system.Path() + "/cache/velmora/libquenda0010.so";
  std::filesystem::create_directories(system.Path() + "/cache/velmora");
  std::ofstream(cached) << "a copy of another version";

  auto channel = std::make_unique<CVideoMPEG4>(nullptr);
  EXPECT_EQ(channel->decoderSlot, 0);
  EXPECT_TRUE(boxes.empty());
  ASSERT_NE(FakeState(*channel), nullptr) << "a decoder was loaded";
  EXPECT_TRUE(platform::SameContents(cached, system.Path() + "/libquenda.so"));
  EXPECT_TRUE(Mapped(cached));
  channel.reset();
  platform::SetMessageBoxSink(nullptr);
}

// A numbered copy left from before is loaded only when it holds the
// library's bytes; without the library to compare with, never.
TEST(DecoderSlots, AStaleCopyIsNeverLoaded) {
  SystemDir system("");
  std::vector<std::string> boxes;
  platform::SetMessageBoxSink([&](const std::string& text, const std::string& title) { boxes.push_back(title + ": " + text); });
  CacheHome cache(system.Path() + "/cache");
  const std::string stale = system.Path() + "/libquenda0010.so";
  std::filesystem::copy_file(FakeLibrary(), stale);

  auto channel = std::make_unique<CVideoMPEG4>(nullptr);
  EXPECT_EQ(channel->decoderSlot, 0);
  EXPECT_EQ(channel->decoderLibrary, nullptr);
  EXPECT_FALSE(Mapped(stale));
  EXPECT_EQ(boxes, std::vector<std::string>{"Fail: Fail to LoadLibrary()"});
  channel.reset();
  platform::SetMessageBoxSink(nullptr);
}

}  // namespace
