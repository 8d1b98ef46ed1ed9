// The player's own thread on the null device, driven frame by frame with the
// controlled clock: start, latency control at, above and below the camera's
// pace, watchdog resets, G.723.1 frames, and resets from other threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "audio_test_support.h"

namespace {

using audiotest::PlayerHarness;

constexpr size_t kFrameBytes = 120;

std::vector<uint8_t> ToneFrames(size_t frames) {
  return audiotest::EncodeFrames(audiotest::Tone(frames * 240));
}

// What a stream of frames did to the player's lead and modes.
struct StreamRun {
  uint32_t minLead = UINT32_MAX, maxLead = 0;
  bool stretched = false, compressed = false, reset = false;
};

// Feeds frames after playback started: `burst` frames at a time, with
// gaps[i % gaps.size()] ms passing before burst i.
StreamRun Feed(PlayerHarness& h, const std::vector<uint8_t>& coded, size_t first, size_t bursts,
         const std::vector<uint32_t>& gaps, size_t burst = 1) {
  StreamRun r;
  const size_t frames = coded.size() / kFrameBytes;
  std::vector<uint8_t> bytes(burst * kFrameBytes);
  for (size_t i = 0; i < bursts; ++i) {
    for (size_t k = 0; k < burst; ++k) {
      const size_t f = (first + i * burst + k) % frames;
      std::copy_n(&coded[f * kFrameBytes], kFrameBytes, &bytes[k * kFrameBytes]);
    }
    h.Step(bytes.data(), bytes.size(), gaps[i % gaps.size()]);
    if (h.player->startPending == 1) r.reset = true;
    const uint32_t lead = h.Lead();
    r.minLead = std::min(r.minLead, lead);
    r.maxLead = std::max(r.maxLead, lead);
    r.stretched |= h.player->stretchMode == 1;
    r.compressed |= h.player->stretchMode == 2;
  }
  return r;
}

class Stream : public ::testing::Test {
 protected:
  // Pending as after the link's start command; the camera pace fills the
  // buffer up to the start block.
  void StartPlaying() {
    h.player->startPending = 1;
    h.Start();
    const uint32_t start = h.player->StartBlock();
    for (uint32_t f = 0; f < start; ++f) {
      ASSERT_EQ(h.player->startPending, 1) << "started early, frame " << f;
      h.Step(&coded[f * kFrameBytes], kFrameBytes, 30);
    }
    ASSERT_EQ(h.player->startPending, 0) << "playback starts at the start block";
    next = start;
  }

  PlayerHarness h;
  std::vector<uint8_t> coded = ToneFrames(400);
  size_t next = 0;
};

// buffering 500: T = 8000 bytes, H = 13760.
TEST_F(Stream, CameraPaceSettlesInsideTheTarget) {
  StartPlaying();
  EXPECT_EQ(h.Lead(), 9600u) << "20 frames stand ahead when playback starts";
  StreamRun steady = Feed(h, coded, next, 500, {30});
  EXPECT_FALSE(steady.reset);
  EXPECT_FALSE(steady.stretched || steady.compressed);
  EXPECT_EQ(steady.minLead, 9600u);
  EXPECT_EQ(steady.maxLead, 9600u);
  // Network jitter: three frames at once every 90 ms.
  StreamRun bursty = Feed(h, coded, next + 500, 100, {90}, 3);
  EXPECT_FALSE(bursty.reset);
  EXPECT_GE(bursty.minLead, 8000u);
  EXPECT_LE(bursty.maxLead, 13760u);
}

TEST_F(Stream, FastCameraIsCompressedBack) {
  StartPlaying();
  // 0.8 % fast: the lead grows 4 bytes a frame until it passes H.
  StreamRun r = Feed(h, coded, next, 2400, {30, 30, 30, 29});
  EXPECT_TRUE(r.compressed);
  EXPECT_FALSE(r.reset);
  EXPECT_LE(r.maxLead, 13760u + 1600) << "held near the upper bound";
  EXPECT_LT(h.Lead(), 13760u + 1600);
}

TEST_F(Stream, SlowCameraIsStretchedBack) {
  StartPlaying();
  StreamRun r = Feed(h, coded, next, 1600, {30, 30, 30, 31});
  EXPECT_TRUE(r.stretched);
  EXPECT_FALSE(r.reset);
  EXPECT_GE(r.minLead, 8000u - 1600) << "held near the target";
}

TEST_F(Stream, FarTooFastResetsAndStartsOver) {
  StartPlaying();
  // 3.3 % fast outruns compression; the lead reaches 1.5 s beyond H.
  StreamRun r = Feed(h, coded, next, 3000, {29});
  EXPECT_TRUE(r.reset);
}

TEST_F(Stream, StalledCameraIsReset) {
  StartPlaying();
  // No frames for four seconds: the play cursor overtakes the write position.
  for (int i = 0; i < 40; ++i) h.Step(nullptr, 0, 100);
  EXPECT_EQ(h.player->startPending, 0) << "nothing checks while no frame ends";
  // The next frame to end in a check block finds the lead gone.
  StreamRun r = Feed(h, coded, next, 30, {30});
  EXPECT_TRUE(r.reset);
}

TEST_F(Stream, DisabledPlayerTakesNothing) {
  h.player->playEnabled = 0;
  h.Start();
  ASSERT_EQ(h.player->codedAudioRing.PutBytes(coded.data(), kFrameBytes), 1);
  for (int i = 0; i < 5; ++i) {
    const uint32_t before = h.player->passCount;
    h.clock.Advance(50);
    PlayerHarness::WaitFor([&] { return h.player->passCount - before >= 1 && h.clock.Sleepers() >= 1; });
  }
  EXPECT_EQ(h.player->codedAudioRing.Count(), kFrameBytes);
  EXPECT_EQ(h.player->writePos, 0u);
}

TEST(StreamDevice, NoDeviceFallsBackToNullWithOneTraceLine) {
  PlayerHarness h;
  audiotest::SoundOpenerGuard none([] { return std::unique_ptr<platform::SoundDevice>(); });
  h.Start();
  EXPECT_EQ(h.player->soundReady, 1) << "runs on the null device";
  std::vector<std::pair<int32_t, std::string>> lines;
  std::mutex m;
  h.player->passMessage.Set([&](int32_t n, const char* text) {
    std::lock_guard<std::mutex> lock(m);
    lines.emplace_back(n, text);
  });
  for (int i = 0; i < 5; ++i) h.Step(nullptr, 0, 10);
  std::lock_guard<std::mutex> lock(m);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, 255);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(StreamSpeech, G7231FramesLandInTheBufferBitExact) {
  const std::string dir = std::string(VELMORA_REFERENCE_DIR) + "/g7231/vectors/";
  const auto f24 = ReadFile(dir + "speech_63.f24");
  const auto pcm = ReadFile(dir + "speech_63.pcm");
  ASSERT_EQ(f24.size(), 168u * 24);
  ASSERT_EQ(pcm.size(), 168u * 480);

  PlayerHarness h;
  h.player->codec = 1;
  h.player->frameSize = 24;
  h.player->startPending = 1;
  h.Start(/*instance=*/17);
  for (size_t f = 0; f < 168; ++f) h.Step(&f24[f * 24], 24, 30);
  EXPECT_EQ(h.player->writePos, 168u * 240);
  EXPECT_EQ(h.player->stretchMode, 0u);
  for (size_t i = 0; i < 168 * 240; ++i) {
    const auto expect = static_cast<int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
    ASSERT_EQ(h.player->samples[i], expect) << "sample " << i;
  }
}

TEST(StreamReset, ResetFromOtherThreadsKeepsTheWritePositionInside) {
  PlayerHarness h;
  h.player->startPending = 1;
  h.Start();
  const auto coded = ToneFrames(50);
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> outside{0};
  auto watch = [&] {
    if (h.player->writePos >= CAudioG726::kBufferSamples) ++outside;
  };
  // The link thread keeps frames waiting, so the player decodes back to
  // back, and resets now and then; the host thread resets every millisecond.
  std::thread link([&] {
    for (int i = 0; !stop; ++i) {
      if (h.player->codedAudioRing.Count() < coded.size())
        h.player->codedAudioRing.PutBytes(coded.data(), static_cast<uint32_t>(coded.size()));
      if (i % 1000 == 999) h.player->ResetAudio();
      watch();
      platform::RealSleep(0);
    }
  });
  std::thread host([&] {
    while (!stop) {
      h.player->ResetAudio();
      h.player->stretchMode = 1;
      watch();
      platform::RealSleep(1);
    }
  });
  const uint32_t before = h.player->passCount;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (h.player->passCount - before <= 200u && std::chrono::steady_clock::now() < deadline) {
    h.clock.Advance(1);
    platform::RealSleep(1);
    watch();
  }
  stop = true;
  link.join();
  host.join();
  EXPECT_EQ(outside.load(), 0u);
  EXPECT_GT(h.player->passCount - before, 200u) << "the player decoded while being reset";
}

}  // namespace
