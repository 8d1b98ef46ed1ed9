// Test helpers for the audio player: a controlled clock, the null sound
// device, and a driver that hands the player's thread one step at a time.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "engine/audio_player.h"
#include "platform/clock.h"
#include "platform/sound.h"
#include "shared/adpcm.h"

namespace audiotest {

// Makes the player open whatever `open` gives for the guard's lifetime.
class SoundOpenerGuard {
 public:
  explicit SoundOpenerGuard(std::function<std::unique_ptr<platform::SoundDevice>()> open) {
    platform::SetSoundDeviceOpener(std::move(open));
  }
  ~SoundOpenerGuard() { platform::SetSoundDeviceOpener(nullptr); }
};

// A 440 Hz tone at 8 kHz.
inline std::vector<int16_t> Tone(size_t n, double amplitude = 8000, double hz = 440) {
  std::vector<int16_t> s(n);
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / 8000)));
  return s;
}

// IMA ADPCM frames of 120 bytes for the samples (a multiple of 240).
inline std::vector<uint8_t> EncodeFrames(const std::vector<int16_t>& samples) {
  CADPCM enc;
  std::vector<uint8_t> coded(samples.size() / 2);
  for (size_t f = 0; f + 240 <= samples.size(); f += 240) enc.EncodeAdpcm(&samples[f], &coded[f / 2], 240);
  return coded;
}

// Runs a player's thread against the controlled clock on the null device.
class PlayerHarness {
 public:
  PlayerHarness() : useClock_(&clock), opener_([] { return platform::OpenNullSoundDevice(); }) {}
  ~PlayerHarness() { Stop(); }

  void Start(uint32_t instance = 0) {
    player->instanceNumber = instance;
    player->StartAudioThread();
    WaitFor([&] { return player->running == 1 && player->soundReady == 1 && clock.Sleepers() >= 1; });
  }

  // Puts the bytes, moves the clock on, and returns once the thread has
  // taken every whole frame and sleeps again.
  void Step(const uint8_t* bytes, size_t n, uint32_t advanceMs) {
    if (n) {
      ASSERT_EQ(player->codedAudioRing.PutBytes(bytes, static_cast<uint32_t>(n)), 1);
    }
    const uint32_t before = player->passCount;
    clock.Advance(advanceMs);
    WaitFor([&] {
      return player->passCount - before >= (n ? 2u : 1u) && clock.Sleepers() >= 1 + otherSleepers &&
             player->codedAudioRing.Count() < player->frameSize;
    });
  }

  // The write position's lead over the play cursor, in bytes.
  uint32_t Lead() {
    uint32_t write = 0, play = 0;
    player->GetPlayPosition(&write, &play);
    return (2 * player->writePos - play + CAudioG726::kBufferBytes) % CAudioG726::kBufferBytes;
  }

  void Stop() {
    if (!player) return;
    player->keepRunning = 0;
    while (player->running == 1) {
      clock.Advance(50);
      platform::RealSleep(1);
    }
    player.reset();
  }

  template <typename Pred>
  static void WaitFor(Pred pred) {
    // Spin briefly (a step takes microseconds), then poll for up to 20 s.
    // The state seen is the one judged: another thread may move on at once.
    bool reached = false;
    for (int i = 0; i < 20000 && !(reached = pred()); ++i) platform::RealSleep(i < 2000 ? 0 : 1);
    ASSERT_TRUE(reached) << "the playback thread did not get there";
  }

  platform::ControlledClock clock;
  int otherSleepers = 0;  // threads of other players on the same clock
  std::unique_ptr<CAudioG726> player = std::make_unique<CAudioG726>();

 private:
  platform::ScopedClock useClock_;
  SoundOpenerGuard opener_;
};

}  // namespace audiotest
