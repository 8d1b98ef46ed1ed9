// Camera faults and the watchdogs, against the camera simulator.
#include <gtest/gtest.h>

#include "live_link.h"
#include "shared/message_numbers.h"

namespace {

using namespace link_test;
using camsim::InboundKind;

camsim::SimConfig AudioOnlyStream() {
  camsim::SimConfig c;
  c.video.enabled = false;
  return c;
}

TEST(LinkFaults, OverlongLengthEmptiesTheRingSilently) {
  LiveLink t(AudioOnlyStream());
  ASSERT_TRUE(t.StartStreaming());
  const uint32_t before = static_cast<uint32_t>(t.audio.codedAudioRing.Count());
  // However the reads split them, the filler bytes only ever read as more
  // over-long headers.
  t.cam.SendOverlongLength(60001, 100, camsim::VideoConns());
  ASSERT_TRUE(WaitUntil([&] { return t.link->videoBitsThisSecond >= 8 * 112; }));
  ASSERT_TRUE(WaitUntil([&] { return t.link->vidRing.Count() == 0; }));
  t.cam.SendCameraText("still here");
  ASSERT_TRUE(t.messages.WaitFor(240, "still here"));
  EXPECT_EQ(t.messages.Count(23), 0u);
  EXPECT_EQ(t.messages.Count(22), 0u);
  EXPECT_EQ(t.link->vidconnected, 1);
  EXPECT_TRUE(WaitUntil([&] { return t.audio.codedAudioRing.Count() > before + 600; })) << "audio flows on";
}

TEST(LinkFaults, UnknownTypeIsIgnoredWithTheMarkerAndInvalidWithout) {
  LiveLink t(AudioOnlyStream());
  ASSERT_TRUE(t.StartStreaming());
  t.cam.SendUnknownType(0x02, true);
  t.cam.SendCameraText("after marker");
  ASSERT_TRUE(t.messages.WaitFor(240, "after marker"));
  EXPECT_EQ(t.messages.Count(23), 0u);
  EXPECT_EQ(t.link->vidconnected, 1);
  const uint32_t audioBytes = t.audio.codedAudioRing.Count();
  EXPECT_TRUE(WaitUntil([&] { return t.audio.codedAudioRing.Count() > audioBytes + 240; })) << "audio flows on";

  const uint64_t mark = t.cam.LogMark();
  t.cam.SendUnknownType(0x02, false);
  ASSERT_TRUE(t.messages.WaitFor(23, "invalid stream"));
  ASSERT_TRUE(t.WaitClosed());
  EXPECT_TRUE(t.cam.WaitForInbound(InboundKind::StopAudio, Ms(2000), mark));
  EXPECT_TRUE(t.cam.WaitForInbound(InboundKind::StopVideo, Ms(2000), mark));
  EXPECT_TRUE(t.messages.WaitFor(17, "vid:disconnected"));
  // Healthy afterwards: the link connects again.
  ASSERT_TRUE(WaitUntil([&] { return t.link->videoState == 0 && t.link->audioState == 0; }));
  t.Connect();
  EXPECT_TRUE(t.WaitStreaming());
}

TEST(LinkFaults, FloodPastTheRingReportsOverCapacityOnceAndEndsBoth) {
  LiveLink t;
  ASSERT_TRUE(t.StartStreaming());
  t.cam.Flood(900000, 32, camsim::VideoConns());
  ASSERT_TRUE(t.messages.WaitFor(22, "over capacity"));
  ASSERT_TRUE(t.WaitClosed());
  ASSERT_TRUE(WaitUntil([&] { return t.link->videoState == 0 && t.link->audioState == 0; }));
  platform::RealSleep(100);
  EXPECT_EQ(t.messages.Count(22), 1u);
  EXPECT_GT(t.events->RefusedBytes(), 0u);
  t.Connect();
  EXPECT_TRUE(t.WaitStreaming()) << "the link recovers";
}

TEST(LinkFaults, AudioGapsAndJumpsResetThePlayer) {
  LiveLink t(AudioOnlyStream());
  ASSERT_TRUE(t.StartStreaming());
  ASSERT_TRUE(WaitUntil([&] { return t.link->audioStarted == 1; }));
  platform::RealSleep(100);
  EXPECT_EQ(t.messages.Count(82), 0u) << "a steady stream never resets";
  const int resets = t.audio.resets;
  t.cam.Stall(Ms(400), false, camsim::AudioConns());
  ASSERT_TRUE(t.messages.WaitFor(82, "Reset audio"));
  t.cam.JumpTimestamps(-50, camsim::AudioConns());
  ASSERT_TRUE(t.messages.WaitFor(82, "Reset audio", 5000, 2));
  EXPECT_GE(t.audio.resets, resets + 2);
}

TEST(LinkFaults, BurstAndVideoTimestampJumpKeepStreaming) {
  LiveLink t;
  ASSERT_TRUE(t.StartStreaming());
  const int32_t before = t.link->framesThisSecond;
  t.cam.Stall(Ms(300), true);
  t.cam.Burst(20);
  ASSERT_TRUE(WaitUntil([&] { return t.link->framesThisSecond >= before + 20; })) << "every burst frame arrives";
  t.cam.JumpTimestamps(100000);
  ASSERT_TRUE(WaitUntil([&] { return t.link->lastVideoTimestamp > 100000; }));
  const int32_t afterJump = t.link->framesThisSecond;
  EXPECT_TRUE(WaitUntil([&] { return t.link->framesThisSecond >= afterJump + 5; })) << "frames keep flowing";
  EXPECT_EQ(t.messages.Count(23), 0u);
  EXPECT_EQ(t.link->videoState, 100);
}

TEST(LinkFaults, RefusedConnectionsReportTheirErrors) {
  camsim::SimConfig config;
  config.videoPolicy = camsim::ConnectPolicy::Refuse;
  config.audioPolicy = camsim::ConnectPolicy::Refuse;
  LiveLink t(config);
  ASSERT_TRUE(t.Start());
  t.Connect();
  ASSERT_TRUE(t.messages.WaitFor(18, "vid:error(10061)"));
  ASSERT_TRUE(t.messages.WaitFor(21, "aud:error(10061)"));
  EXPECT_EQ(t.link->vidConnecting, 0);
  EXPECT_EQ(t.link->audConnecting, 0);
  EXPECT_EQ(t.link->videoState, 0);
  // The camera comes up: the next request connects.
  t.cam.SetConnectPolicy(camsim::Channel::Video, camsim::ConnectPolicy::Accept);
  t.cam.SetConnectPolicy(camsim::Channel::Audio, camsim::ConnectPolicy::Accept);
  t.Connect();
  EXPECT_TRUE(t.WaitStreaming());
}

TEST(LinkFaults, CameraClosingOrResettingIsReported) {
  LiveLink t;
  ASSERT_TRUE(t.StartStreaming());
  t.cam.Close(camsim::CloseKind::Fin, camsim::VideoConns());
  ASSERT_TRUE(t.messages.WaitFor(17, "vid:disconnected"));
  EXPECT_EQ(t.link->vidconnected, 0);
  EXPECT_EQ(t.link->audconnected, 1) << "the audio connection is untouched";
  const uint32_t audioBytes = t.audio.codedAudioRing.Count();
  EXPECT_TRUE(WaitUntil([&] { return t.audio.codedAudioRing.Count() > audioBytes + 240; }));
  t.cam.Close(camsim::CloseKind::Reset, camsim::AudioConns());
  ASSERT_TRUE(t.messages.WaitFor(21, "aud:error(10054)"));
  EXPECT_EQ(t.link->audconnected, 0);
  EXPECT_EQ(t.link->audioState, 0);
}

TEST(LinkFaults, StalledReaderNeverSeesATornMessage) {
  camsim::SimConfig config = AudioOnlyStream();
  config.receiveBufferBytes = 4096;
  LiveLink t(config);
  ASSERT_TRUE(t.StartStreaming());
  ASSERT_TRUE(WaitUntil([&] { return t.link->audioStarted == 1; }));
  for (int s = 0; s < kTalkSlotCount; ++s) FillSlot(*t.area, s, static_cast<uint32_t>(s) * 10);
  // Talk slots get one send attempt each. With the camera not reading, the
  // kernel buffers fill (a few MB on loopback) until the socket takes part
  // of a slot; from then on it takes none until the rest has gone.
  t.cam.SetReading(0, true);
  t.link->biauden = 1;
  const auto start = std::chrono::steady_clock::now();
  int pushedBack = 0;
  while (pushedBack < 200 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    std::atomic_ref<int32_t>(t.area->writeSlot).store((t.link->talkReadSlot + 50) % kTalkSlotCount);
    if (t.audSock.PendingSendBytes() > 0) ++pushedBack;
    platform::RealSleep(1);
  }
  ASSERT_EQ(pushedBack, 200) << "the socket never pushed back";
  t.link->biauden = 0;
  t.cam.SetReading(0, false);
  ASSERT_TRUE(WaitUntil([&] { return t.audSock.PendingSendBytes() == 0; }, 10000));
  // Let the camera read everything the kernel still holds.
  uint64_t received = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        uint64_t now = 0;
        for (auto& c : t.cam.Connections()) now += c.bytesReceived;
        const bool still = now == received;
        received = now;
        platform::RealSleep(200);
        return still;
      },
      20000));
  // Lost slots leave gaps in the frame numbers; anything else is a fault.
  size_t frames = 0;
  for (auto& e : t.cam.Log()) {
    if (e.kind == InboundKind::TalkFrame) ++frames;
    if (e.kind == InboundKind::TalkFrame && e.problem.rfind("talk sequence", 0) == 0) continue;
    ASSERT_TRUE(e.ok()) << camsim::KindName(e.kind) << ": " << e.problem;
  }
  EXPECT_EQ(frames % TalkSlot::kFrames, 0u) << "only whole slots arrive";
  EXPECT_EQ(t.cam.Count(InboundKind::Unknown), 0u);
}

TEST(LinkFaults, MessagesSplitIntoSingleBytesAreParsedWhole) {
  camsim::SimConfig config = QuietCamera();
  LiveLink t(config);
  t.cam.SetSplitWrites(true, Ms(0));
  ASSERT_TRUE(t.StartStreaming(10000));
  t.cam.SendCameraText("one byte at a time");
  ASSERT_TRUE(t.messages.WaitFor(240, "one byte at a time", 10000));
  EXPECT_EQ(t.LoginMessages(), (Pairs{{32, "login as admin"}}));
}

TEST(LinkFaults, SingleByteReadIsKept) {
  LiveLink t(QuietCamera());
  ASSERT_TRUE(t.StartStreaming());
  t.link->videoBitsThisSecond = 0;
  t.cam.SendRaw({0x01});
  ASSERT_TRUE(WaitUntil([&] { return t.link->vidRing.Count() == 1; }));
  EXPECT_EQ(t.link->videoBitsThisSecond, 8u);
  // The rest of that message follows and the whole is parsed.
  auto text = Message(0x01, 0x03, 1, 0, {'x', 0});
  t.cam.SendRaw(std::vector<uint8_t>(text.begin() + 1, text.end()));
  EXPECT_TRUE(t.messages.WaitFor(240, "x"));
}

TEST(LinkWatchdog, UnansweredConnectIsGivenUpAtThe31stTick) {
  camsim::SimConfig config;
  config.videoPolicy = camsim::ConnectPolicy::Blackhole;
  config.audioPolicy = camsim::ConnectPolicy::Blackhole;
  LiveLink t(config);
  ASSERT_TRUE(t.Start());
  t.Connect();
  ASSERT_TRUE(WaitUntil([&] { return t.link->vidConnecting == 1 && t.link->audConnecting == 1; }));
  for (int i = 0; i < 30; ++i) t.events->StatisticTimer();
  EXPECT_EQ(t.link->vidConnecting, 1);
  t.link->PostCommand(CmdConnectVideo);
  ASSERT_TRUE(t.messages.WaitFor(255, "#####vid:skip connecting... conflag"));
  t.events->StatisticTimer();
  EXPECT_EQ(t.link->vidConnecting, 0);
  EXPECT_EQ(t.link->audConnecting, 0);
  t.link->PostCommand(CmdConnectVideo);
  EXPECT_TRUE(t.messages.WaitFor(255, "#####vid:connecting...", 5000, 2)) << "a new attempt is made";
}

TEST(LinkWatchdog, SilentConnectionsResetAudioThenEndBoth) {
  LiveLink t(QuietCamera());
  ASSERT_TRUE(t.StartStreaming());
  platform::RealSleep(50);
  // Fewer than 128 bytes a second count as silence: the login reply is less.
  for (int i = 1; i <= 2; ++i) t.events->StatisticTimer();
  EXPECT_EQ(t.audio.resets, 0);
  t.events->StatisticTimer();
  EXPECT_EQ(t.link->secondsWithoutAudio, 3);
  EXPECT_EQ(t.audio.resets, 1) << "three silent seconds reset the player";
  for (int i = 4; i <= 29; ++i) t.events->StatisticTimer();
  platform::RealSleep(50);
  EXPECT_EQ(t.link->vidconnected, 1);
  EXPECT_EQ(t.link->commands.Count(), 0u);
  t.events->StatisticTimer();  // the 30th silent second ends both
  ASSERT_TRUE(t.WaitClosed());
  EXPECT_TRUE(t.messages.WaitFor(17, "vid:disconnected"));
  EXPECT_TRUE(t.messages.WaitFor(20, "aud:disconnected"));
}

TEST(LinkWatchdog, AudioWithoutVideoIsEndedFromTheSixthTick) {
  LiveLink t(AudioOnlyStream());
  ASSERT_TRUE(t.StartStreaming());
  t.cam.Close(camsim::CloseKind::Fin, camsim::VideoConns());
  ASSERT_TRUE(WaitUntil([&] { return t.link->vidconnected == 0; }));
  for (int i = 0; i < 5; ++i) t.events->StatisticTimer();
  platform::RealSleep(100);
  EXPECT_EQ(t.link->audconnected, 1);
  t.events->StatisticTimer();
  ASSERT_TRUE(t.messages.WaitFor(20, "aud:disconnected"));
  EXPECT_EQ(t.link->secondsAudioOnly, 6);
}

}  // namespace
