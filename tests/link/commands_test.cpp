// Every command code, serial data and the talk uplink, against the camera
// simulator.
#include <gtest/gtest.h>

#include "live_link.h"
#include "shared/message_numbers.h"

namespace {

using namespace link_test;
using camsim::InboundKind;

TEST(LinkCommands, EncoderParametersWithAndWithoutFlash) {
  LiveLink t(QuietCamera());
  ASSERT_TRUE(t.StartStreaming());
  t.video.maxbitrate = 512;
  t.video.maxfrmrate = 20;
  t.video.maxq = 12;
  t.video.minq = 4;
  t.video.intvlintra = 15;
  t.video.motionsen = 900;
  t.video.EncMode = 2;
  t.video.MotionGridMask = 0x1ABCDEF;
  t.link->gpioOut = 1;
  t.audio.audmode = 3;
  t.audio.audsen = 77;
  t.link->PostCommand(CmdSetEncoderFlash);
  t.link->PostCommand(CmdSetEncoderNoFlash);
  ASSERT_TRUE(t.cam.WaitForCount(InboundKind::EncoderParams, 2, Ms(3000)));
  auto seen = t.cam.Log(InboundKind::EncoderParams);
  EXPECT_TRUE(seen[0].ok()) << seen[0].problem;
  EXPECT_TRUE(seen[0].encoder.flash);
  EXPECT_FALSE(seen[1].encoder.flash);
  const auto& e = seen[1].encoder;
  EXPECT_EQ(e.maxBitRate, 512);
  EXPECT_EQ(e.maxFrameRate, 20);
  EXPECT_EQ(e.maxQ, 12);
  EXPECT_EQ(e.minQ, 4);
  EXPECT_EQ(e.intraInterval, 15);
  EXPECT_EQ(e.motionSensitivity, 900);
  EXPECT_EQ(e.encMode, 2);
  EXPECT_EQ(e.gpioOut, 1);
  EXPECT_EQ(e.audioMode, 3);
  EXPECT_EQ(e.audioSensitivity, 77);
  EXPECT_EQ(e.motionMask, 0x1ABCDEFu);
  EXPECT_TRUE(WaitUntil([&] { return t.link->videoState == 100; }));
}

TEST(LinkCommands, DigitalOutputLoopsBackAsInput) {
  LiveLink t(QuietCamera());
  ASSERT_TRUE(t.StartStreaming());
  t.link->gpioOut = 0x102;
  t.link->PostCommand(CmdSendGpio);
  auto out = t.cam.WaitForInbound(InboundKind::GpioOutput, Ms(3000));
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->ok()) << out->problem;
  EXPECT_EQ(out->value, 2);
  ASSERT_TRUE(t.messages.WaitFor(64, "GPIO chanaged"));
  EXPECT_EQ(t.link->gpioIn, 2);
}

TEST(LinkCommands, SelectChannelReachesTheCameraAndComesBackInTags) {
  LiveLink t;
  ASSERT_TRUE(t.StartStreaming());
  t.link->channelRequest = 2;
  t.link->channelUpdate = 1;
  t.link->PostCommand(CmdSelectChannel);
  auto sel = t.cam.WaitForInbound(InboundKind::SelectChannel, Ms(3000));
  ASSERT_TRUE(sel);
  EXPECT_EQ(sel->value, 2);
  EXPECT_EQ(sel->value2, 1);
  EXPECT_TRUE(WaitUntil([&] { return t.link->vidchannel == 2; }));
}

TEST(LinkCommands, RecordingStartsOnlyWhileStreamingAndDrainsThePrerecord) {
  LiveLink t;
  ASSERT_TRUE(t.Start());
  t.link->PostCommand(CmdStartRecording);  // taken at state 0: no effect
  ASSERT_TRUE(WaitUntil([&] { return t.link->commands.Count() == 0; }));
  platform::RealSleep(20);
  EXPECT_EQ(t.recorder->starts, 0);
  t.link->prerecord = 2000;
  t.Connect();
  ASSERT_TRUE(t.WaitStreaming());
  ASSERT_TRUE(WaitUntil([&] { return t.link->preRecordVideo.FrameCount() >= 10; }));
  t.link->PostCommand(CmdStartRecording);
  ASSERT_TRUE(WaitUntil([&] { return t.recorder->videoRecording == 1; }));
  EXPECT_GE(t.recorder->drainedVideo.size(), 10u);
  EXPECT_TRUE(WaitUntil([&] { return t.recorder->VideoCount() >= 5 && t.recorder->AudioCount() >= 5; }));
  EXPECT_EQ(t.link->preRecordVideo.FrameCount(), 0) << "nothing is pre-recorded while recording";
  t.link->PostCommand(CmdStopRecording);
  ASSERT_TRUE(WaitUntil([&] { return t.recorder->stops == 1; }));
  EXPECT_EQ(t.recorder->videoRecording, 0);
  EXPECT_TRUE(WaitUntil([&] { return t.link->preRecordVideo.FrameCount() > 0; }));
}

TEST(LinkCommands, UnknownCodesAreTakenAndIgnored) {
  LiveLink t(QuietCamera());
  ASSERT_TRUE(t.StartStreaming());
  for (int32_t code : {0, 18, 99, -5}) t.link->PostCommand(code);
  ASSERT_TRUE(WaitUntil([&] { return t.link->commands.Count() == 0; }));
  t.link->PostCommand(CmdSendGpio);
  EXPECT_TRUE(t.cam.WaitForInbound(InboundKind::GpioOutput, Ms(3000)));
  EXPECT_TRUE(WaitUntil([&] { return t.link->videoState == 100; }));
}

TEST(LinkCommands, SocketCodesRaiseTheirMessages) {
  LiveLink t(QuietCamera());
  ASSERT_TRUE(t.Start());
  t.link->vidSockError = 10054;
  t.link->audSockError = 10061;
  for (int32_t code : {CmdVideoConnected, CmdAudioConnected, CmdVideoClosed, CmdAudioClosed, CmdVideoError,
                       CmdAudioError})
    t.link->PostCommand(code);
  ASSERT_TRUE(t.messages.WaitFor(21, ""));
  EXPECT_EQ(t.messages.Numbered(), (Pairs{{16, "vid:connected"},
                                          {19, "aud:connected"},
                                          {17, "vid:disconnected"},
                                          {20, "aud:disconnected"},
                                          {18, "vid:error(10054)"},
                                          {21, "aud:error(10061)"}}));
}

TEST(LinkSerial, BytesGoOutAndComeBackWithNoticesEveryPass) {
  LiveLink t(QuietCamera());
  ASSERT_TRUE(t.StartStreaming());
  const std::string text = "hello";
  t.link->sioTx[1].PutBytes(text.data(), 5);
  auto put = t.cam.WaitForInbound(InboundKind::SioPut, Ms(3000));
  ASSERT_TRUE(put);
  EXPECT_TRUE(put->ok()) << put->problem;
  EXPECT_EQ(put->sioPort, 1);
  EXPECT_EQ(std::string(put->sioData.begin(), put->sioData.end()), text);
  ASSERT_TRUE(t.messages.WaitFor(49, "Get SIO 1", 5000, 5)) << "repeats while bytes wait";
  EXPECT_EQ(t.messages.Count(48), 0u);
  char back[8] = {};
  ASSERT_TRUE(t.link->sioRx[1].GetBytes(back, 5));
  EXPECT_EQ(std::string(back, 5), text);
  platform::RealSleep(30);
  const size_t notices = t.messages.Count(49);
  platform::RealSleep(50);
  EXPECT_EQ(t.messages.Count(49), notices) << "an empty ring raises nothing";

  std::vector<uint8_t> many(600, 0x33);
  t.link->sioTx[0].PutBytes(many.data(), 600);
  ASSERT_TRUE(t.cam.WaitForCount(InboundKind::SioPut, 4, Ms(3000)));
  auto puts = t.cam.Log(InboundKind::SioPut);
  EXPECT_EQ(puts[1].sioData.size(), 254u);
  EXPECT_EQ(puts[2].sioData.size(), 254u);
  EXPECT_EQ(puts[3].sioData.size(), 92u);
}

TEST(LinkSerial, BytesPutWhileTheVideoIsDownWaitForTheConnection) {
  LiveLink t(QuietCamera());
  ASSERT_TRUE(t.Start());
  const std::string text = "queued";
  ASSERT_TRUE(t.link->sioTx[0].PutBytes(text.data(), 6));
  platform::RealSleep(100);  // many passes with no connection
  EXPECT_EQ(t.link->sioTx[0].Count(), 6u) << "nothing can carry them yet";
  t.Connect();
  ASSERT_TRUE(t.WaitStreaming());
  auto put = t.cam.WaitForInbound(InboundKind::SioPut, Ms(3000));
  ASSERT_TRUE(put);
  EXPECT_EQ(put->sioPort, 0);
  EXPECT_EQ(std::string(put->sioData.begin(), put->sioData.end()), text);
}

TEST(LinkTalk, SlotsFollowTheWriteIndexAcrossTheWrap) {
  camsim::SimConfig config;
  config.video.enabled = false;
  LiveLink t(config);
  t.area->writeSlot = 98;
  ASSERT_TRUE(t.StartStreaming());
  EXPECT_EQ(t.link->talkReadSlot, 98) << "an administrator login takes the write index";
  ASSERT_TRUE(WaitUntil([&] { return t.link->audioStarted == 1; }));
  uint32_t sequence = 0;
  for (int s : {98, 99, 0, 1, 2, 3, 4}) {
    FillSlot(*t.area, s, sequence);
    sequence += 10;
  }
  t.link->biauden = 1;
  std::atomic_ref<int32_t>(t.area->writeSlot).store(5);
  ASSERT_TRUE(t.cam.WaitForCount(InboundKind::TalkFrame, 70, Ms(3000)));
  platform::RealSleep(50);
  EXPECT_EQ(t.cam.Count(InboundKind::TalkFrame), 70u) << "nothing beyond the write index";
  EXPECT_EQ(t.link->talkReadSlot, 5);
  for (auto& e : t.cam.Log(InboundKind::TalkFrame)) EXPECT_TRUE(e.ok()) << e.problem;

  // An index out of range in the shared area is not followed.
  std::atomic_ref<int32_t>(t.area->writeSlot).store(150);
  platform::RealSleep(50);
  std::atomic_ref<int32_t>(t.area->writeSlot).store(-3);
  platform::RealSleep(50);
  EXPECT_EQ(t.cam.Count(InboundKind::TalkFrame), 70u);
  EXPECT_EQ(t.link->talkReadSlot, 5);
  EXPECT_GT(t.link->talkBitsThisSecond + t.link->talkKbps, 0u);
}

TEST(LinkTalk, NothingIsSentBelowAdministrator) {
  camsim::SimConfig config;
  config.video.enabled = false;
  config.login.answer.outcome = camsim::LoginOutcome::User;
  LiveLink t(config);
  ASSERT_TRUE(t.StartStreaming());
  ASSERT_TRUE(WaitUntil([&] { return t.link->audioStarted == 1; }));
  FillSlot(*t.area, 0, 0);
  t.link->biauden = 1;
  std::atomic_ref<int32_t>(t.area->writeSlot).store(1);
  platform::RealSleep(100);
  EXPECT_EQ(t.cam.Count(InboundKind::TalkFrame), 0u);
}

}  // namespace
