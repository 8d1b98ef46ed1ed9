// Real ALSA through a configuration of the test's own: the default PCM is
// the file plugin over a null slave, so what the feeder plays ends up in a
// file we can read back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tests/support/tone.h"
#include "audio_test_support.h"
#include "platform/clock.h"
#include "platform/sound.h"

namespace {

namespace fs = std::filesystem;

class AlsaFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("velmora-alsa-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    out = dir / "played.raw";
    const fs::path conf = dir / "asound.conf";
    std::ofstream(conf) << "pcm.!default {\n  type file\n  slave.pcm { type null }\n  file \"" << out.string()
                        << "\"\n  format \"raw\"\n}\n";
    setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
    if (!platform::OpenAlsaSoundDevice("default")) GTEST_SKIP() << "ALSA cannot be opened here";
  }
  void TearDown() override { fs::remove_all(dir); }

  std::vector<int16_t> Played() {
    std::ifstream in(out, std::ios::binary);
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<int16_t> s(bytes.size() / 2);
    std::memcpy(s.data(), bytes.data(), s.size() * 2);
    return s;
  }

  fs::path dir, out;
};

using testing_support::ToneShare;

TEST_F(AlsaFile, BufferIsPlayedOutAtTheSampleRate) {
  auto device = platform::OpenAlsaSoundDevice("default");
  ASSERT_TRUE(device);
  auto buffer = device->CreateSoundBuffer({}, 192000);
  ASSERT_TRUE(buffer);
  void *mem = nullptr, *second = nullptr;
  uint32_t bytes = 0, secondBytes = 0;
  ASSERT_TRUE(buffer->Lock(0, 0, &mem, &bytes, &second, &secondBytes, true));
  const auto tone = audiotest::Tone(96000, 8000, 1000);
  std::memcpy(mem, tone.data(), bytes);

  ASSERT_TRUE(buffer->Play());
  const uint32_t start = platform::GetTickCount();
  platform::RealSleep(400);
  uint32_t play = 0, write = 0;
  ASSERT_TRUE(buffer->GetCurrentPosition(&play, &write));
  const uint32_t elapsed = platform::GetTickCount() - start;
  EXPECT_NEAR(play, elapsed * 16.0, 16 * 100.0) << "the cursor follows the clock";
  EXPECT_GE(write, play);
  buffer->Stop();
  const uint32_t stopped = platform::GetTickCount() - start;
  buffer.reset();
  device.reset();

  const auto played = Played();
  ASSERT_GE(played.size(), 8000u * 300 / 1000) << "about 400 ms of sound written";
  EXPECT_LE(played.size(), 8u * (stopped + 100)) << "fed on the clock, not as fast as the device takes it";
  for (size_t i = 0; i < played.size(); ++i) ASSERT_EQ(played[i], tone[i]) << "sample " << i;
}

TEST_F(AlsaFile, PlayerPlaysAToneThroughAlsa) {
  audiotest::SoundOpenerGuard alsa([] { return platform::OpenAlsaSoundDevice("default"); });
  constexpr size_t kFrames = 30;
  const auto coded = audiotest::EncodeFrames(audiotest::Tone(240 * kFrames, 8000, 1000));
  std::vector<int16_t> written;
  {
    CAudioG726 player;
    player.buffering = 200;  // playback starts at block 10, 300 ms in
    player.startPending = 1;
    player.StartAudioThread();
    // Frames at the camera's pace, by the clock.
    const uint32_t start = platform::GetTickCount();
    for (size_t f = 0; f < kFrames; ++f) {
      while (platform::GetTickCount() - start < f * 30) platform::RealSleep(1);
      ASSERT_EQ(player.codedAudioRing.PutBytes(&coded[f * 120], 120), 1);
    }
    while (player.codedAudioRing.Count() > 0) platform::RealSleep(1);
    platform::RealSleep(20);
    EXPECT_EQ(player.soundReady, 1);
    EXPECT_EQ(player.startPending, 0);
    EXPECT_EQ(player.stretchMode, 0u);
    {
      platform::Lock hold(player.playLock);  // the audio thread may still be storing a frame
      written.assign(player.samples, player.samples + CAudioG726::kBufferSamples);
    }
  }
  const auto played = Played();
  ASSERT_GE(played.size(), 240u * (kFrames - 10) / 2) << "played from the start block on";
  ASSERT_LE(played.size(), written.size());
  for (size_t i = 0; i < played.size(); ++i) ASSERT_EQ(played[i], written[i]) << "sample " << i;
  // Past the codec's first frame, the tone carries nearly all the energy.
  const size_t toneEnd = std::min<size_t>(played.size(), 240 * kFrames);
  EXPECT_GT(ToneShare(&played[240], toneEnd - 240, 1000), 0.95);
}

}  // namespace
