// The player's own thread on the null device, driven frame by frame with the
// controlled clock: start, latency control at, above and below the camera's
// pace, watchdog resets, G.723.1 frames, and resets from other threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <memory>
#include <new>
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

// A null device whose locked memory has guard samples on both sides, so a
// write outside the play buffer shows.
class GuardedBuffer : public platform::SoundBuffer {
 public:
  static constexpr size_t kGuard = 4096;
  static constexpr int16_t kPattern = 0x5A5A;
  explicit GuardedBuffer(std::unique_ptr<platform::SoundBuffer> inner)
      : inner_(std::move(inner)), memory_(inner_->Size() / 2 + 2 * kGuard, kPattern) {
    std::fill(memory_.begin() + kGuard, memory_.end() - kGuard, int16_t{0});
  }
  bool Lock(uint32_t, uint32_t, void** region1, uint32_t* bytes1, void** region2, uint32_t* bytes2, bool) override {
    *region1 = memory_.data() + kGuard;
    *bytes1 = inner_->Size();
    if (region2) *region2 = nullptr;
    if (bytes2) *bytes2 = 0;
    return true;
  }
  bool Unlock(void*, uint32_t, void*, uint32_t) override { return true; }
  bool Play() override { return inner_->Play(); }
  bool Stop() override { return inner_->Stop(); }
  bool SetCurrentPosition(uint32_t p) override { return inner_->SetCurrentPosition(p); }
  bool GetCurrentPosition(uint32_t* p, uint32_t* w) override { return inner_->GetCurrentPosition(p, w); }
  bool SetVolume(int32_t v) override { return inner_->SetVolume(v); }
  bool GetVolume(int32_t* v) override { return inner_->GetVolume(v); }
  uint32_t Size() const override { return inner_->Size(); }

  // Guard samples that were written.
  static size_t Spoiled(const std::vector<int16_t>& memory) {
    size_t n = 0;
    for (size_t i = 0; i < kGuard; ++i) n += (memory[i] != kPattern) + (memory[memory.size() - 1 - i] != kPattern);
    return n;
  }

  std::unique_ptr<platform::SoundBuffer> inner_;
  std::vector<int16_t> memory_;
};

class GuardedDevice : public platform::SoundDevice {
 public:
  std::unique_ptr<platform::SoundBuffer> CreateSoundBuffer(const platform::SoundFormat& f, uint32_t bytes) override {
    auto buffer = std::make_unique<GuardedBuffer>(platform::OpenNullSoundDevice()->CreateSoundBuffer(f, bytes));
    *made = buffer.get();
    return buffer;
  }
  GuardedBuffer** made;
};

TEST(StreamReset, ResetFromOtherThreadsKeepsTheWritesInsideTheBuffer) {
  PlayerHarness h;
  GuardedBuffer* buffer = nullptr;
  audiotest::SoundOpenerGuard guarded([&] {
    auto d = std::make_unique<GuardedDevice>();
    d->made = &buffer;
    return d;
  });
  h.player->startPending = 1;
  h.Start();
  ASSERT_NE(buffer, nullptr);
  const auto coded = ToneFrames(50);
  std::atomic<bool> stop{false};
  // The link thread keeps frames waiting, so the player decodes back to
  // back, and resets now and then; the host thread resets every millisecond
  // and forces stretching, the mode that writes the most.
  std::thread link([&] {
    for (int i = 0; !stop; ++i) {
      if (h.player->codedAudioRing.Count() < coded.size())
        h.player->codedAudioRing.PutBytes(coded.data(), static_cast<uint32_t>(coded.size()));
      if (i % 1000 == 999) h.player->ResetAudio();
      platform::RealSleep(0);
    }
  });
  std::thread host([&] {
    while (!stop) {
      h.player->ResetAudio();
      h.player->stretchMode = 1;
      platform::RealSleep(1);
    }
  });
  const uint32_t before = h.player->passCount;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (h.player->passCount - before <= 200u && std::chrono::steady_clock::now() < deadline) {
    h.clock.Advance(1);
    platform::RealSleep(1);
  }
  stop = true;
  link.join();
  host.join();
  EXPECT_GT(h.player->passCount - before, 200u) << "the player decoded while being reset";
  platform::Lock lock(h.player->playLock);
  EXPECT_LT(h.player->writePos, CAudioG726::kBufferSamples);
  EXPECT_EQ(GuardedBuffer::Spoiled(buffer->memory_), 0u);
}

// Another player on the harness's clock.
std::unique_ptr<CAudioG726> StartPlayerBeside(uint32_t instance) {
  auto p = std::make_unique<CAudioG726>();
  p->instanceNumber = instance;
  p->StartAudioThread();
  PlayerHarness::WaitFor([&] { return p->running == 1 && p->soundReady == 1; });
  return p;
}

// Its thread sleeps on the harness's clock, so the clock moves while it ends.
void StopPlayerBeside(PlayerHarness& h, std::unique_ptr<CAudioG726>& p) {
  std::atomic<bool> gone{false};
  std::thread stopper([&] {
    p.reset();
    gone = true;
  });
  while (!gone) {
    h.clock.Advance(1);
    platform::RealSleep(1);
  }
  stopper.join();
}

// Two players of one instance number each hold a decoder of their own: the
// first to stop frees only its own, and its slot goes to the next player.
TEST(StreamSpeech, EachPlayerHoldsASlotOfItsOwnUntilItStops) {
  const std::string dir = std::string(VELMORA_REFERENCE_DIR) + "/g7231/vectors/";
  const auto f24 = ReadFile(dir + "speech_63.f24");
  const auto pcm = ReadFile(dir + "speech_63.pcm");
  ASSERT_EQ(f24.size(), 168u * 24);

  PlayerHarness h;
  h.player->codec = 1;
  h.player->frameSize = 24;
  h.player->startPending = 1;
  h.Start(/*instance=*/0);
  auto other = StartPlayerBeside(0);
  h.otherSleepers = 1;
  const uint32_t otherSlot = other->speechSlot;
  ASSERT_LT(otherSlot, kSpeechDecoderSlots);
  ASSERT_LT(h.player->speechSlot, kSpeechDecoderSlots);
  EXPECT_NE(h.player->speechSlot, otherSlot);
  for (size_t f = 0; f < 84; ++f) h.Step(&f24[f * 24], 24, 30);
  StopPlayerBeside(h, other);  // its decoder goes while ours decodes on
  h.otherSleepers = 0;
  for (size_t f = 84; f < 168; ++f) h.Step(&f24[f * 24], 24, 30);
  for (size_t i = 0; i < 168 * 240; ++i) {
    const auto expect = static_cast<int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
    ASSERT_EQ(h.player->samples[i], expect) << "sample " << i;
  }
  // Slots come back at stop, so a process that makes players without end
  // never runs out of them.
  for (uint32_t i = 0; i < 3; ++i) {
    auto next = StartPlayerBeside(1000 + i);
    EXPECT_EQ(next->speechSlot, otherSlot);
    StopPlayerBeside(h, next);
  }
}

[[noreturn]] void CreateWithoutMemory(uint32_t) { throw std::bad_alloc(); }

// A speech decoder that cannot be made costs its frames (silence), not the
// thread; the first frame after memory came back decodes again.
TEST(StreamSpeech, NoMemoryForTheDecoderPlaysSilenceAndTheThreadGoesOn) {
  const std::string dir = std::string(VELMORA_REFERENCE_DIR) + "/g7231/vectors/";
  const auto f24 = ReadFile(dir + "speech_63.f24");
  ASSERT_EQ(f24.size(), 168u * 24);
  PlayerHarness h;
  h.player->codec = 1;
  h.player->frameSize = 24;
  h.player->startPending = 1;
  h.player->createSpeechDecoder = CreateWithoutMemory;
  h.Start();
  for (size_t f = 0; f < 20; ++f) h.Step(&f24[f * 24], 24, 30);
  EXPECT_EQ(h.player->running, 1);
  EXPECT_EQ(h.player->writePos, 20u * 240);
  for (size_t i = 0; i < 20 * 240; ++i) ASSERT_EQ(h.player->samples[i], 0) << "sample " << i;
  h.player->createSpeechDecoder = CreateSpeechDecoder;
  for (size_t f = 20; f < 40; ++f) h.Step(&f24[f * 24], 24, 30);
  EXPECT_EQ(h.player->writePos, 40u * 240);
  bool sound = false;
  for (size_t i = 20 * 240; i < 40 * 240; ++i) sound |= h.player->samples[i] != 0;
  EXPECT_TRUE(sound);
}

// Without a sound device the null device drains the frames, the volume reads
// 0, and a restart of playback tries the device again.
TEST(StreamDevice, NoDeviceReadsVolumeZeroAndIsTriedAgainAtRestart) {
  PlayerHarness h;
  std::atomic<int> opens{0};
  std::atomic<bool> present{false};
  audiotest::SoundOpenerGuard sometimes([&] {
    ++opens;
    return present ? platform::OpenNullSoundDevice() : std::unique_ptr<platform::SoundDevice>();
  });
  h.player->startPending = 1;
  h.Start();
  h.player->SetPlayVolume(300);
  EXPECT_EQ(h.player->GetPlayVolume(), 0) << "no device, no volume";
  const auto coded = ToneFrames(4);
  h.Step(coded.data(), coded.size(), 30);
  EXPECT_EQ(h.player->codedAudioRing.Count(), 0u) << "drained to the null device";
  EXPECT_EQ(opens.load(), 1);

  present = true;
  h.player->ResetAudio();
  h.Step(nullptr, 0, 10);
  EXPECT_EQ(opens.load(), 2) << "tried again at the restart";
  EXPECT_EQ(h.player->soundReady, 1);
  EXPECT_EQ(h.player->GetPlayVolume(), 300) << "the volume set meanwhile applies to the device";
  h.player->ResetAudio();
  h.Step(nullptr, 0, 10);
  EXPECT_EQ(opens.load(), 2) << "a device that opened is kept";
}

}  // namespace
