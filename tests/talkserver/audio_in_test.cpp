// CAudioIn against a capture device whose position the test sets, calling
// ProcessCapture directly; then the capture thread's life.
#include "talkserver/audio_in.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "talk_test_support.h"
#include "tests/support/process_counts.h"
#include "tests/support/wait.h"

namespace {

using testing_support::DescriptorCount;
using testing_support::ThreadCount;

using namespace talktest;

int32_t WriteSlot(const SharedAudioArea& area) {
  return std::atomic_ref<const int32_t>(area.writeSlot).load(std::memory_order_acquire);
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    area_ = std::make_unique<SharedAudioArea>();
    for (int i = 0; i < kTalkSlotCount; ++i) slotTable[i] = &area_->slots[i];
    slotTable[kTalkSlotCount] = &area_->writeSlot;
    frameSequence.store(0);
  }
  void TearDown() override {
    audio_.reset();
    for (auto& p : slotTable) p = nullptr;
  }
  // A reader on the fake device, opened (reads writeSlot as it is now).
  CAudioIn& Open() {
    audio_ = std::make_unique<CAudioIn>(8000, [this] { return std::make_unique<FakeCaptureDevice>(&fake_); });
    EXPECT_EQ(audio_->OpenCapture(), 1);
    audio_->StartCapture();
    return *audio_;
  }
  void FillRamp() {
    for (size_t i = 0; i < fake_.memory.size(); ++i) fake_.memory[i] = int16_t((i * 37) % 20000 - 10000);
  }

  FakeCaptureState fake_;
  std::unique_ptr<SharedAudioArea> area_;
  std::unique_ptr<CAudioIn> audio_;
};

TEST_F(CaptureTest, ASlotNeedsThreeHundredMillisecondsWaiting) {
  CAudioIn& in = Open();
  EXPECT_EQ(fake_.starts, 1);
  fake_.total = 2399;
  fake_.captureByte = 4799;
  EXPECT_EQ(in.ProcessCapture(), 1);
  EXPECT_EQ(WriteSlot(*area_), 0);
  EXPECT_EQ(frameSequence.load(), 0u);
  EXPECT_EQ(in.readPos, 0u);

  fake_.total = 2400;
  fake_.captureByte = 4800;
  EXPECT_EQ(in.ProcessCapture(), 1);
  EXPECT_EQ(WriteSlot(*area_), 1);
  EXPECT_EQ(frameSequence.load(), 10u);
  EXPECT_EQ(in.readPos, 2400u);
  EXPECT_EQ(fake_.consumed, 2400u);
}

TEST_F(CaptureTest, ABacklogIsWorkedOffOneSlotPerPass) {
  CAudioIn& in = Open();
  fake_.Capture(4800);  // 9600 bytes
  in.ProcessCapture();
  EXPECT_EQ(WriteSlot(*area_), 1);
  in.ProcessCapture();
  EXPECT_EQ(WriteSlot(*area_), 2);
  in.ProcessCapture();
  EXPECT_EQ(WriteSlot(*area_), 2);
  EXPECT_EQ(frameSequence.load(), 20u);
}

TEST_F(CaptureTest, ReadPositionWrapsInsideAFrame) {
  FillRamp();
  CAudioIn& in = Open();
  in.readPos = 239900;
  fake_.total = 2400;
  fake_.captureByte = (239900 * 2 + 4800) % 480000;
  in.ProcessCapture();
  ASSERT_EQ(WriteSlot(*area_), 1);
  EXPECT_EQ(in.readPos, 2300u);
  std::vector<int16_t> expected(fake_.memory.begin() + 239900, fake_.memory.end());
  expected.insert(expected.end(), fake_.memory.begin(), fake_.memory.begin() + 2300);
  CADPCM codec;
  uint32_t sequence = 0;
  const TalkSlot slot = ExpectedSlot(expected.data(), codec, sequence);
  EXPECT_EQ(std::memcmp(&slot, &area_->slots[0], sizeof slot), 0);
}

TEST_F(CaptureTest, FramesCarryTheirSequenceAndTheStateTheyStartFrom) {
  FillRamp();
  CAudioIn& in = Open();
  fake_.Capture(4800);
  in.ProcessCapture();
  in.ProcessCapture();
  CADPCM codec;  // the encoder starts at (0, 0)
  uint32_t sequence = 0;
  for (int s = 0; s < 2; ++s) {
    const TalkSlot expected = ExpectedSlot(fake_.memory.data() + 2400 * s, codec, sequence);
    for (int f = 0; f < TalkSlot::kFrames; ++f) {
      const AdpcmFrame& got = area_->slots[s].frames[f];
      EXPECT_EQ(FrameSequence(got), uint32_t(s * 10 + f));
      EXPECT_EQ(std::memcmp(got.bytes, expected.frames[f].bytes, AdpcmFrame::kSize), 0) << "slot " << s << " frame " << f;
    }
  }
  EXPECT_EQ(FrameSequence(area_->slots[1].frames[0]), 10u);
  EXPECT_EQ(in.predictor, codec.predictor);
  EXPECT_EQ(in.stepIndex, codec.stepIndex);
}

TEST_F(CaptureTest, AfterSlot99TheRingStartsAgainAt0) {
  area_->writeSlot = 99;
  CAudioIn& in = Open();
  fake_.Capture(4800);
  in.ProcessCapture();
  EXPECT_EQ(WriteSlot(*area_), 0);
  EXPECT_EQ(area_->slots[99].frames[0].bytes[0], 0x80);
  in.ProcessCapture();
  EXPECT_EQ(WriteSlot(*area_), 1);
  EXPECT_EQ(area_->slots[0].frames[0].bytes[0], 0x80);
}

TEST_F(CaptureTest, OwnWriteIndexIgnoresWhatOthersScribble) {
  area_->writeSlot = 1234;  // outside the ring: start at 0
  CAudioIn& in = Open();
  fake_.Capture(7200);
  in.ProcessCapture();
  EXPECT_EQ(WriteSlot(*area_), 1);
  area_->writeSlot = 60;  // another process steers: ignored
  in.ProcessCapture();
  EXPECT_EQ(WriteSlot(*area_), 2);
  EXPECT_EQ(area_->slots[60].frames[0].bytes[0], 0);
  EXPECT_EQ(area_->slots[1].frames[0].bytes[0], 0x80);
}

TEST_F(CaptureTest, SilenceCodesAsZerosFromTheStartState) {
  CAudioIn& in = Open();
  fake_.Capture(2400);
  in.ProcessCapture();
  for (const AdpcmFrame& f : area_->slots[0].frames) {
    EXPECT_EQ(f.bytes[3], 0);
    EXPECT_EQ(FramePredictor(f), 0);
    for (size_t i = 12; i < AdpcmFrame::kSize; ++i) ASSERT_EQ(f.bytes[i], 0);
  }
  EXPECT_EQ(in.predictor, 0);
  EXPECT_EQ(in.stepIndex, 0);
}

TEST_F(CaptureTest, AJumpToFullScaleCodesSevensUntilCaughtUp) {
  std::fill(fake_.memory.begin(), fake_.memory.end(), int16_t(32767));
  CAudioIn& in = Open();
  fake_.Capture(2400);
  in.ProcessCapture();
  const AdpcmFrame& first = area_->slots[0].frames[0];
  for (int i = 0; i < 5; ++i) EXPECT_EQ(first.bytes[12 + i], 0x77) << i;  // index 0, 8, ... 72
  const AdpcmFrame& second = area_->slots[0].frames[1];
  EXPECT_GT(FramePredictor(second), 32000);  // caught up within the first frame
  EXPECT_LE(second.bytes[3], 88);
}

TEST_F(CaptureTest, AnyInputKeepsTheStateInRangeAndFramesDecodeInChain) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> sample(-32768, 32767);
  for (auto& s : fake_.memory) s = int16_t(sample(random));
  CAudioIn& in = Open();
  for (int s = 0; s < 30; ++s) {
    fake_.Capture(2400);
    in.ProcessCapture();
  }
  CADPCM decoder;
  int16_t out[240];
  for (int s = 0; s < 30; ++s) {
    for (const AdpcmFrame& f : area_->slots[s].frames) {
      ASSERT_LE(f.bytes[3], 88);
      if (s > 0 || &f != &area_->slots[0].frames[0]) {
        // Each header holds the state after the previous frame.
        EXPECT_EQ(FramePredictor(f), decoder.predictor);
        EXPECT_EQ(f.bytes[3], uint8_t(decoder.stepIndex));
      }
      decoder.predictor = FramePredictor(f);
      decoder.stepIndex = int8_t(f.bytes[3]);
      decoder.DecodeAdpcm(f.bytes + 12, out, 240);
    }
  }
  EXPECT_GE(in.stepIndex, 0);
  EXPECT_LE(in.stepIndex, 88);
}

TEST_F(CaptureTest, LappedReaderSkipsToTheOldestFrameStillHeldAndSaysSo) {
  FillRamp();
  CAudioIn& in = Open();
  fake_.Capture(240000 + 5000);  // more than the buffer holds
  ::testing::internal::CaptureStderr();
  in.ProcessCapture();
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("lost"), std::string::npos) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
  // 245000 waiting, 237600 may be held: 7400, rounded up to whole frames.
  EXPECT_EQ(in.lostSamples(), 7440u);
  ASSERT_EQ(WriteSlot(*area_), 1);
  CADPCM codec;
  uint32_t sequence = 0;
  const TalkSlot expected = ExpectedSlot(fake_.memory.data() + 7440, codec, sequence);
  EXPECT_EQ(std::memcmp(&expected, &area_->slots[0], sizeof expected), 0);
  ::testing::internal::CaptureStderr();
  in.ProcessCapture();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(CaptureTest, NothingHappensBeforeTheDeviceIsOpen) {
  CAudioIn in(8000, [this] { return std::make_unique<FakeCaptureDevice>(&fake_); });
  EXPECT_EQ(in.ProcessCapture(), 0);
  uint8_t frame[12] = {};
  in.MakeFrameHeader(frame, 100, 5);
  EXPECT_EQ(frame[0], 0);
  EXPECT_EQ(frameSequence.load(), 0u);
  EXPECT_EQ(in.GetCapturePosition(nullptr, nullptr), 0);
}

TEST_F(CaptureTest, FileSourceGivesWhatAnOfflineEncoderGives) {
  const auto path = std::filesystem::temp_directory_path() / ("velmora-talk-" + std::to_string(getpid()) + ".raw");
  std::mt19937 random(11);
  std::normal_distribution<double> noise(0, 6000);
  std::vector<int16_t> input(7200 + 1000);
  for (size_t i = 0; i < input.size(); ++i)
    input[i] = int16_t(std::clamp(8000 * std::sin(i * 0.07) + noise(random), -32768.0, 32767.0));
  {
    std::ofstream out(path, std::ios::binary);
    for (int16_t s : input) {
      const char b[2] = {char(uint16_t(s) & 0xFF), char(uint16_t(s) >> 8)};
      out.write(b, 2);
    }
  }
  platform::ControlledClock clock;
  platform::ScopedClock useClock(&clock);
  const std::string source = "file:" + path.string();
  audio_ = std::make_unique<CAudioIn>(8000, [source] { return platform::OpenCaptureDevice(source); });
  ASSERT_EQ(audio_->OpenCapture(), 1);
  audio_->StartCapture();
  clock.Advance(1000);  // 8000 samples: three slots
  for (int i = 0; i < 5; ++i) audio_->ProcessCapture();
  std::filesystem::remove(path);
  ASSERT_EQ(WriteSlot(*area_), 3);
  CADPCM codec;
  uint32_t sequence = 0;
  for (int s = 0; s < 3; ++s) {
    const TalkSlot expected = ExpectedSlot(input.data() + 2400 * s, codec, sequence);
    EXPECT_EQ(std::memcmp(&expected, &area_->slots[s], sizeof expected), 0) << "slot " << s;
  }
}

TEST_F(CaptureTest, UnreadableFileOrUnknownSourceIsADeviceThatCannotBeMade) {
  EXPECT_EQ(platform::OpenCaptureDevice("file:/nonexistent/velmora.raw"), nullptr);
  EXPECT_EQ(platform::OpenCaptureDevice("none"), nullptr);
  EXPECT_EQ(platform::OpenCaptureDevice("test:sine:abc"), nullptr);
  EXPECT_EQ(platform::OpenCaptureDevice("microphone"), nullptr);
  EXPECT_NE(platform::OpenCaptureDevice("test:sine:440"), nullptr);
  EXPECT_NE(platform::OpenCaptureDevice("test:silence"), nullptr);
}

// ---- the capture thread ----

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
  return testing_support::WaitUntil(done, timeoutMs, 1);
}

TEST_F(CaptureTest, NoDeviceShowsOneStopBoxAndTheThreadEnds) {
  BoxCatcher boxes;
  {
    CAudioIn in(8000, [] { return platform::OpenCaptureDevice("none"); });
    in.StartCaptureThread();
    ASSERT_TRUE(WaitFor([&] { return !boxes.Boxes().empty(); }));
    ASSERT_TRUE(WaitFor([&] { return in.running.load() == 0; }));
    EXPECT_EQ(in.captureReady, 0);
  }
  EXPECT_EQ(boxes.Boxes(), std::vector<std::string>{"Stop: Diduzuv create Error!"});
  EXPECT_EQ(WriteSlot(*area_), 0);
}

TEST_F(CaptureTest, NoBufferShowsItsBoxAndReleasesTheDevice) {
  BoxCatcher boxes;
  fake_.failBuffer = true;
  {
    CAudioIn in(8000, [this] { return std::make_unique<FakeCaptureDevice>(&fake_); });
    in.StartCaptureThread();
    ASSERT_TRUE(WaitFor([&] { return !boxes.Boxes().empty(); }));
  }
  EXPECT_EQ(boxes.Boxes(), std::vector<std::string>{"Stop: Diduzuv Buffer Create Error!"});
  EXPECT_TRUE(fake_.released);
}

TEST_F(CaptureTest, DestroyedRightAfterStartLeavesNoThreadOrDescriptor) {
  std::thread([] {}).join();  // a sanitizer runtime starts its own thread with the first one made
  const size_t threads = ThreadCount();
  const size_t fds = DescriptorCount();
  for (int i = 0; i < 1000; ++i) {
    CAudioIn in(8000, [] { return platform::OpenCaptureDevice("test:silence"); });
    in.StartCaptureThread();
  }
  {
    CAudioIn never(8000);  // no thread at all
  }
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_EQ(DescriptorCount(), fds);
}

TEST_F(CaptureTest, CaptureThreadFillsTheRingAndCountsItsPasses) {
  platform::ControlledClock clock;
  platform::ScopedClock useClock(&clock);
  CAudioIn in(8000, [] { return platform::OpenCaptureDevice("test:sine:440"); });
  in.StartCaptureThread();
  ASSERT_TRUE(WaitFor([&] { return in.loopCount.load() > 0; }));
  clock.Advance(600);
  ASSERT_TRUE(WaitFor([&] { return WriteSlot(*area_) == 2; }));
  EXPECT_GT(in.loopCount.exchange(0), 0u);
}

// Slots are published with a release store after the tenth frame: a reader
// that sees writeSlot move finds the slot before it whole. The writer stays
// well behind the reader so it never rewrites a slot being read.
TEST_F(CaptureTest, AReaderThatSeesTheIndexMoveFindsTenFinalFrames) {
  std::mt19937 random(3);
  for (auto& s : fake_.memory) s = int16_t(random());
  CAudioIn& in = Open();
  constexpr int kSlots = 10000;
  std::atomic<int> seen{0};
  std::atomic<bool> failed{false};
  std::thread reader([&] {
    int32_t last = 0;
    for (int count = 0; count < kSlots && !failed;) {
      const int32_t now = WriteSlot(*area_);
      if (now == last) {
        std::this_thread::yield();
        continue;
      }
      const TalkSlot& slot = area_->slots[(now + kTalkSlotCount - 1) % kTalkSlotCount];
      const uint32_t first = FrameSequence(slot.frames[0]);
      for (int f = 0; f < TalkSlot::kFrames; ++f) {
        if (slot.frames[f].bytes[0] != 0x80 || FrameSequence(slot.frames[f]) != first + uint32_t(f)) failed = true;
      }
      count += (now - last + kTalkSlotCount) % kTalkSlotCount;
      last = now;
      seen.store(count, std::memory_order_release);
    }
  });
  for (int s = 0; s < kSlots && !failed; ++s) {
    while (s - seen.load(std::memory_order_acquire) > 50 && !failed) std::this_thread::yield();
    fake_.Capture(2400);
    in.ProcessCapture();
  }
  reader.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(frameSequence.load(), uint32_t(kSlots * 10));
}

}  // namespace
