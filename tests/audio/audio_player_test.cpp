// The player's steps run one by one on the test thread: frame writing,
// IMA ADPCM decoding, the latency control and its watchdogs, reset, volume.
#include "engine/audio_player.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "audio_test_support.h"

namespace {

using audiotest::SoundOpenerGuard;

constexpr uint32_t kBytes = CAudioG726::kBufferBytes;

class PlayerSteps : public ::testing::Test {
 protected:
  PlayerSteps() { EXPECT_TRUE(player.InitDirectSound()); }

  void Put(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(player.codedAudioRing.PutBytes(bytes.data(), static_cast<uint32_t>(bytes.size())), 1);
  }

  // What a fresh decoder makes of the frame from the given start state.
  static std::vector<int16_t> Reference(const std::vector<uint8_t>& frame, int16_t predictor, int8_t index) {
    CADPCM state{predictor, index};
    std::vector<int16_t> out(240);
    state.DecodeAdpcm(frame.data(), out.data(), 240);
    return out;
  }

  // Places the (stopped) play cursor so that the write position leads it by d bytes.
  void SetLead(uint32_t d, uint32_t writePos = 12000) {
    player.writePos = writePos;
    ASSERT_TRUE(player.soundBuffer->SetCurrentPosition((2 * writePos - d + kBytes) % kBytes));
  }

  bool WasReset() const { return player.startPending == 1 && player.writePos == 0; }

  platform::ControlledClock clock;
  platform::ScopedClock useClock{&clock};
  SoundOpenerGuard opener{[] { return platform::OpenNullSoundDevice(); }};
  CAudioG726 player;
  std::vector<uint8_t> frame = audiotest::EncodeFrames(audiotest::Tone(240));
};

TEST_F(PlayerSteps, AdpcmFrameFollowsTheShiftAndAddSteps) {
  // Start state predictor 1000, index 20 (step 50), then codes 3, A, 7, C.
  player.SetAdpcmStartState(1000, 20);
  std::vector<uint8_t> coded(120, 0x00);
  coded[0] = 0x3A;
  coded[1] = 0x7C;
  Put(coded);
  ASSERT_TRUE(player.DecodeAudioFrame());
  // 3: 6 + 25 + 12 = 43 added, index 19 (step 45).
  EXPECT_EQ(player.samples[0], 1043);
  // A: 5 + 22 = 27 taken off, index 18 (step 41).
  EXPECT_EQ(player.samples[1], 1016);
  // 7: 5 + 41 + 20 + 10 = 76 added, index 26 (step 88).
  EXPECT_EQ(player.samples[2], 1092);
  // C: 11 + 88 = 99 taken off, index 28.
  EXPECT_EQ(player.samples[3], 993);
  // 236 zero codes walk the index down and hold it at 0.
  EXPECT_EQ(player.stepIndex, 0);
  EXPECT_EQ(player.writePos, 240u) << "a 120-byte frame is 240 samples";
  const auto ref = Reference(coded, 1000, 20);
  EXPECT_EQ(player.predictor, ref[239]);
  for (int i = 0; i < 240; ++i) ASSERT_EQ(player.samples[i], ref[i]) << i;
}

TEST_F(PlayerSteps, StartStateIsTakenOnceUntilReset) {
  player.SetAdpcmStartState(500, 30);
  player.SetAdpcmStartState(-700, 10);
  EXPECT_EQ(player.predictor, 500);
  EXPECT_EQ(player.stepIndex, 30);
  player.ResetAudio();
  player.SetAdpcmStartState(-700, 10);
  EXPECT_EQ(player.predictor, -700);
  EXPECT_EQ(player.stepIndex, 10);
}

TEST_F(PlayerSteps, StateRunsOnAndToneSurvivesTheCodec) {
  const auto tone = audiotest::Tone(2400);
  Put(audiotest::EncodeFrames(tone));
  for (int f = 0; f < 10; ++f) ASSERT_TRUE(player.DecodeAudioFrame());
  EXPECT_FALSE(player.DecodeAudioFrame()) << "no frame left";
  double err = 0, sig = 0;
  for (size_t i = 240; i < tone.size(); ++i) {
    err += std::pow(tone[i] - player.samples[i], 2);
    sig += std::pow(tone[i], 2);
  }
  EXPECT_GT(10 * std::log10(sig / err), 20.0);
}

TEST_F(PlayerSteps, PartialFrameWaits) {
  Put(std::vector<uint8_t>(119, 0x11));
  EXPECT_FALSE(player.DecodeAudioFrame());
  EXPECT_EQ(player.writePos, 0u);
  Put({0x11});
  EXPECT_TRUE(player.DecodeAudioFrame());
}

TEST_F(PlayerSteps, NormalStretchAndCompressWrites) {
  const auto out = Reference(frame, 0, 0);
  struct Case {
    uint32_t mode, n;
    std::array<int, 4> changed;  // decoded samples left out or written twice
  };
  for (const Case c : {Case{CAudioG726::kModeNormal, 240, {}}, Case{CAudioG726::kModeCompress, 236, {59, 119, 179, 239}},
                       Case{CAudioG726::kModeStretch, 244, {0, 60, 120, 180}}}) {
    SCOPED_TRACE(c.n);
    player.predictor = 0;
    player.stepIndex = 0;
    player.writePos = 1000;
    player.stretchMode = c.mode;
    Put(frame);
    ASSERT_TRUE(player.DecodeAudioFrame());
    EXPECT_EQ(player.writePos, 1000 + c.n);
    std::vector<int16_t> expect;
    for (int i = 0; i < 240; ++i) {
      const bool listed = c.mode != CAudioG726::kModeNormal && std::find(c.changed.begin(), c.changed.end(), i) != c.changed.end();
      if (listed && c.mode == CAudioG726::kModeCompress) continue;
      expect.push_back(out[i]);
      if (listed) expect.push_back(out[i]);
    }
    ASSERT_EQ(expect.size(), c.n);
    for (uint32_t i = 0; i < c.n; ++i) ASSERT_EQ(player.samples[1000 + i], expect[i]) << i;
  }
}

TEST_F(PlayerSteps, WrapsAndClearsHalfABufferAhead) {
  for (uint32_t i = 0; i < CAudioG726::kBufferSamples; ++i) player.samples[i] = 7;
  player.writePos = 95999;
  Put(frame);
  ASSERT_TRUE(player.DecodeAudioFrame());
  EXPECT_EQ(player.writePos, 239u);
  const auto out = Reference(frame, 0, 0);
  EXPECT_EQ(player.samples[95999], out[0]);
  for (int i = 1; i < 240; ++i) ASSERT_EQ(player.samples[i - 1], out[i]);
  EXPECT_EQ(player.samples[47999], 0) << "cleared for position 95999";
  for (uint32_t i = 48000; i < 48239; ++i) ASSERT_EQ(player.samples[i], 0);
  EXPECT_EQ(player.samples[48239], 7);
  EXPECT_EQ(player.samples[47998], 7);

  player.writePos = 50000;
  Put(frame);
  ASSERT_TRUE(player.DecodeAudioFrame());
  EXPECT_EQ(player.samples[2000], 0) << "cleared for position 50000";
}

TEST_F(PlayerSteps, SpeechFrameWithoutADecoderSlotPlaysSilence) {
  for (uint32_t i = 0; i < 240; ++i) player.samples[i] = 1234;
  player.codec = 1;
  player.frameSize = 24;
  player.instanceNumber = 1000;  // beyond the slot table
  Put(std::vector<uint8_t>(24, 0x5A));
  ASSERT_TRUE(player.DecodeAudioFrame());
  EXPECT_EQ(player.writePos, 240u);
  for (int i = 0; i < 240; ++i) ASSERT_EQ(player.samples[i], 0) << i;
}

TEST_F(PlayerSteps, StartBlockFollowsBuffering) {
  for (auto [ms, block] : {std::pair{0u, 4u}, {500u, 20u}, {1000u, 37u}, {5000u, 169u}}) {
    player.buffering = ms;
    EXPECT_EQ(player.StartBlock(), block) << ms;
  }
}

TEST_F(PlayerSteps, StartPlaybackOnlyWhilePending) {
  player.StartPlayback();
  clock.Advance(100);
  uint32_t write = 0, play = 0;
  player.GetPlayPosition(&write, &play);
  EXPECT_EQ(play, 0u) << "not pending: stays stopped";
  player.startPending = 1;
  player.StartPlayback();
  EXPECT_EQ(player.startPending, 0);
  clock.Advance(100);
  player.GetPlayPosition(&write, &play);
  EXPECT_EQ(play, 1600u);
}

TEST_F(PlayerSteps, LeadChoosesTheWriteMode) {
  // buffering 500: T = 8000, H = 13760, M = 106880.
  player.lateSince = player.fullSince = clock.TickCount();
  struct Case {
    uint32_t lead, mode;
  };
  for (const Case c : {Case{7998, 1}, {8000, 0}, {13760, 0}, {13762, 2}, {37760, 2}, {176000, 1}, {191998, 1}}) {
    SetLead(c.lead);
    player.AdjustAudioLatency();
    EXPECT_EQ(player.stretchMode, c.mode) << c.lead;
    EXPECT_FALSE(WasReset()) << c.lead;
  }
}

TEST_F(PlayerSteps, SmallBufferingUsesTheFloor) {
  for (auto [ms, floorLead] : {std::pair{0u, 1920u}, {120u, 1920u}, {121u, 1936u}}) {
    player.buffering = ms;
    SetLead(floorLead - 2);
    player.AdjustAudioLatency();
    EXPECT_EQ(player.stretchMode, 1u) << ms;
    SetLead(floorLead);
    player.AdjustAudioLatency();
    EXPECT_EQ(player.stretchMode, 0u) << ms;
  }
}

TEST_F(PlayerSteps, ResetsAtOnceBeyondTheBounds) {
  for (uint32_t lead : {37762u, 106880u, 106882u, 175998u}) {
    player.startPending = 0;
    player.lateSince = player.fullSince = clock.TickCount();
    SetLead(lead);
    player.AdjustAudioLatency();
    EXPECT_TRUE(WasReset()) << lead;
  }
}

TEST_F(PlayerSteps, LongBufferingResetsWhenTheLeadFallsShort) {
  // buffering 5000: T = 80000, so a lead under T - 1.5 s resets.
  player.buffering = 5000;
  player.lateSince = player.fullSince = clock.TickCount();
  SetLead(56000);
  player.AdjustAudioLatency();
  EXPECT_FALSE(WasReset());
  EXPECT_EQ(player.stretchMode, 1u);
  SetLead(55998);
  player.AdjustAudioLatency();
  EXPECT_TRUE(WasReset());
}

TEST_F(PlayerSteps, NothingResetsWhilePending) {
  player.startPending = 1;
  SetLead(120000);
  clock.Advance(5000);
  player.AdjustAudioLatency();
  EXPECT_EQ(player.writePos, 12000u);
  EXPECT_EQ(player.stretchMode, 1u) << "the mode is still chosen";
}

TEST_F(PlayerSteps, UpperWatchdogFiresAfterTwoSecondsFull) {
  player.lateSince = player.fullSince = clock.TickCount();
  SetLead(25760);  // in bounds: the watchdog is re-armed
  player.AdjustAudioLatency();
  clock.Advance(1500);
  SetLead(30000);
  player.AdjustAudioLatency();
  EXPECT_FALSE(WasReset());
  clock.Advance(500);
  player.AdjustAudioLatency();
  EXPECT_FALSE(WasReset()) << "exactly 2000 ms is not yet over";
  clock.Advance(1);
  player.AdjustAudioLatency();
  EXPECT_TRUE(WasReset());
}

TEST_F(PlayerSteps, LateWatchdogFiresAfterTwoSecondsOvertaken) {
  player.lateSince = player.fullSince = clock.TickCount();
  SetLead(180000);  // the play cursor has overtaken the write position
  player.AdjustAudioLatency();
  EXPECT_FALSE(WasReset());
  clock.Advance(2001);
  player.AdjustAudioLatency();
  EXPECT_TRUE(WasReset());
}

TEST_F(PlayerSteps, ResetStartsOverButKeepsTheSamples) {
  Put(frame);
  ASSERT_TRUE(player.DecodeAudioFrame());
  Put(frame);
  player.SetAdpcmStartState(1, 1);
  player.stretchMode = 2;
  player.soundBuffer->Play();
  clock.Advance(100);
  const int16_t kept = player.samples[10];
  player.ResetAudio();
  EXPECT_EQ(player.writePos, 0u);
  EXPECT_EQ(player.codedAudioRing.Count(), 0u);
  EXPECT_EQ(player.startStateTaken, 0u);
  EXPECT_EQ(player.startPending, 1);
  EXPECT_EQ(player.stretchMode, 0u);
  EXPECT_EQ(player.samples[10], kept);
  clock.Advance(100);
  uint32_t write = 1, play = 1;
  player.GetPlayPosition(&write, &play);
  EXPECT_EQ(play, 0u) << "stopped at position 0";
}

TEST_F(PlayerSteps, VolumeInHundredthsOfADecibel) {
  player.SetPlayVolume(400);
  EXPECT_EQ(player.GetPlayVolume(), 400);
  int32_t level = 1;
  player.soundBuffer->GetVolume(&level);
  EXPECT_EQ(level, 0);
  player.SetPlayVolume(0);
  player.soundBuffer->GetVolume(&level);
  EXPECT_EQ(level, -4000);
  EXPECT_EQ(player.GetPlayVolume(), 0);
  player.SetPlayVolume(401);  // +10 hundredths: refused, unchanged
  EXPECT_EQ(player.GetPlayVolume(), 0);
  player.SetPlayVolume(INT32_MIN);
  EXPECT_EQ(player.GetPlayVolume(), 0);
  player.soundBuffer->SetVolume(-4005);
  EXPECT_EQ(player.GetPlayVolume(), 0) << "-400.5 truncates toward zero";
  player.soundBuffer->SetVolume(-10000);
  EXPECT_EQ(player.GetPlayVolume(), -600);
}

TEST(PlayerWithoutSound, KeepsAVolumeUntilTheDeviceOpens) {
  SoundOpenerGuard opener{[] { return platform::OpenNullSoundDevice(); }};
  CAudioG726 player;
  player.SetPlayVolume(300);
  EXPECT_EQ(player.GetPlayVolume(), 300);
  ASSERT_TRUE(player.InitDirectSound());
  int32_t level = 0;
  player.soundBuffer->GetVolume(&level);
  EXPECT_EQ(level, -1000);
  EXPECT_EQ(player.GetPlayVolume(), 300);
}

TEST(PlayerWithoutSound, AnswersZeroAndLeavesCursorsAlone) {
  CAudioG726 player;
  EXPECT_EQ(player.GetPlayVolume(), 0);
  uint32_t write = 77, play = 88;
  player.GetPlayPosition(&write, &play);
  EXPECT_EQ(write, 77u);
  EXPECT_EQ(play, 88u);
  player.ResetAudio();
  EXPECT_EQ(player.startPending, 1);
}

}  // namespace
