// Connecting, logging in, switching user, disconnecting and reconnecting
// against the camera simulator.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "live_link.h"
#include "tests/support/process_counts.h"
#include "shared/message_numbers.h"

namespace {

using namespace link_test;
using camsim::InboundKind;
using camsim::LoginOutcome;

uint64_t SeqOf(const std::vector<camsim::LogEntry>& log, InboundKind kind, camsim::Channel ch) {
  for (auto& e : log)
    if (e.kind == kind && e.channel == ch) return e.seq;
  return UINT64_MAX;
}

TEST(LinkConnect, LoginThenVideoStartThenAudioStartOnceTheLevelIsKnown) {
  camsim::SimConfig config;
  config.login.replyDelay = Ms(300);
  LiveLink t(config);
  ASSERT_TRUE(t.Start());
  t.link->port = static_cast<int16_t>(t.cam.videoPort());  // an odd base still finds both ports
  t.Connect();
  // The audio connection is up while the login reply is still on its way.
  ASSERT_TRUE(WaitUntil([&] { return t.link->audioState == 7 && t.link->audconnected == 1; }));
  EXPECT_EQ(t.cam.Count(InboundKind::StartAudio), 0u);
  ASSERT_TRUE(t.WaitStreaming());
  ASSERT_TRUE(t.cam.WaitForCount(InboundKind::StartAudio, 1, Ms(2000)));
  EXPECT_EQ(t.link->port, static_cast<int16_t>(t.cam.port()));

  auto log = t.cam.Log();
  for (auto& e : log) EXPECT_TRUE(e.ok()) << camsim::KindName(e.kind) << ": " << e.problem;
  const uint64_t login = SeqOf(log, InboundKind::LoginRequest, camsim::Channel::Video);
  const uint64_t video = SeqOf(log, InboundKind::StartVideo, camsim::Channel::Video);
  const uint64_t audio = SeqOf(log, InboundKind::StartAudio, camsim::Channel::Audio);
  EXPECT_LT(login, video);
  EXPECT_LT(login, audio);
  auto request = t.cam.Log(InboundKind::LoginRequest);
  ASSERT_EQ(request.size(), 1u);
  EXPECT_EQ(request[0].user, "tansy");
  EXPECT_EQ(request[0].password, "tansy");

  const int connected = t.messages.IndexOf(16, "vid:connected");
  const int admin = t.messages.IndexOf(32, "login as admin");
  ASSERT_GE(connected, 0);
  EXPECT_GT(admin, connected);
  EXPECT_GT(t.messages.IndexOf(255, "###vid:start-enc..."), admin);
  EXPECT_GT(t.messages.IndexOf(255, "###aud:start-enc..."), admin);
  EXPECT_LT(t.messages.IndexOf(255, "#####vid:connecting..."), connected);
  EXPECT_GE(t.messages.IndexOf(19, "aud:connected"), 0);

  EXPECT_TRUE(WaitUntil([&] { return t.FramesQueued() >= 3 && t.audio.codedAudioRing.Count() >= 240; }));
  EXPECT_EQ(t.audio.startPending, 1);
  EXPECT_EQ(t.recorder->AudioModule, 1);
}

struct LoginCase {
  const char* name;
  camsim::LoginAnswer answer;
  Pairs expected;
  bool streams;
};

camsim::LoginAnswer Answer(LoginOutcome outcome, uint8_t reason = 0x10) {
  camsim::LoginAnswer a;
  a.outcome = outcome;
  a.refusalReason = reason;
  return a;
}

TEST(LinkConnect, EachLoginOutcomeGivesItsMessages) {
  camsim::LoginAnswer userAll = Answer(LoginOutcome::User);
  userAll.userMayGpio = userAll.userMaySerial = true;
  camsim::LoginAnswer userSio = Answer(LoginOutcome::User);
  userSio.userMaySerial = true;
  camsim::LoginAnswer shortReply = Answer(LoginOutcome::ShortReply);
  shortReply.shortReplyPayload = 8;
  const LoginCase cases[] = {
      {"admin", Answer(LoginOutcome::Administrator), {{32, "login as admin"}}, true},
      {"user", Answer(LoginOutcome::User), {{33, "0:login as user"}}, true},
      {"user-sio", userSio, {{33, "1:login as user"}}, true},
      {"user-all", userAll, {{33, "3:login as user"}}, true},
      {"bad password", Answer(LoginOutcome::Refused, 0x10), {{34, "invalid userid or password"}, {38, "login fail"}}, false},
      {"bad user", Answer(LoginOutcome::Refused, 0x20), {{34, "invalid userid or password"}, {38, "login fail"}}, false},
      {"admin present", Answer(LoginOutcome::Refused, 0x30), {{35, "admin already logined"}, {38, "login fail"}}, false},
      {"too many", Answer(LoginOutcome::Refused, 0x40), {{36, "too many user logined"}, {38, "login fail"}}, false},
      {"over max", Answer(LoginOutcome::Refused, 0x50), {{37, "over max user"}, {38, "login fail"}}, false},
      {"unknown reason", Answer(LoginOutcome::Refused, 0x60), {{38, "login fail"}}, false},
      {"short reply", shortReply, {{32, "login as admin"}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    camsim::SimConfig config = QuietCamera();
    config.login.answer = c.answer;
    config.login.fields.motionMask = 0x155;
    LiveLink t(config);
    ASSERT_TRUE(t.Start());
    t.Connect();
    if (c.streams) {
      ASSERT_TRUE(t.WaitStreaming());
    } else {
      ASSERT_TRUE(t.messages.WaitFor(38, "login fail"));
      ASSERT_TRUE(t.WaitClosed());
      EXPECT_TRUE(t.messages.WaitFor(17, "vid:disconnected"));
      EXPECT_TRUE(t.messages.WaitFor(20, "aud:disconnected"));
      EXPECT_EQ(t.cam.Count(InboundKind::StartVideo) + t.cam.Count(InboundKind::StartAudio), 0u);
    }
    EXPECT_EQ(t.LoginMessages(), c.expected);
    if (c.answer.outcome == LoginOutcome::ShortReply) {
      EXPECT_EQ(t.video.MotionGridMask, 0u) << "fields beyond a short reply read as 0";
      EXPECT_EQ(t.audio.audsen, 0);
      EXPECT_EQ(t.link->cameraId, 0x1234) << "payload bytes 6-7 are inside 8 bytes";
    } else if (c.streams) {
      EXPECT_EQ(t.video.MotionGridMask, 0x155u);
    }
  }
}

TEST(LinkConnect, OtherLevelOrNoReplyStartsNothing) {
  for (auto outcome : {LoginOutcome::OtherLevel, LoginOutcome::Unanswered}) {
    camsim::SimConfig config = QuietCamera();
    config.login.answer = Answer(outcome);
    LiveLink t(config);
    ASSERT_TRUE(t.Start());
    t.Connect();
    ASSERT_TRUE(t.cam.WaitForCount(InboundKind::LoginRequest, 1, Ms(3000)));
    ASSERT_TRUE(WaitUntil([&] { return t.link->audioState == 7; }));
    platform::RealSleep(200);
    EXPECT_EQ(t.link->videoState, 0);
    EXPECT_EQ(t.link->audioState, 7) << "audio waits for a known level";
    EXPECT_EQ(t.link->loginLevel, outcome == LoginOutcome::OtherLevel ? 0x40 : 0);
    EXPECT_TRUE(t.LoginMessages().empty());
    EXPECT_EQ(t.cam.Count(InboundKind::StartAudio), 0u);
  }
}

TEST(LinkConnect, SwitchUserSendsTheOtherCredentials) {
  camsim::SimConfig config = QuietCamera();
  camsim::LoginAnswer guest = Answer(LoginOutcome::User);
  guest.userMayGpio = true;
  config.login.accounts = {{"tansy", "tansy", Answer(LoginOutcome::Administrator)}, {"guest", "pw", guest}};
  config.login.switchReply = camsim::SwitchReply::AudioLoginReply;
  LiveLink t(config);
  ASSERT_TRUE(t.StartStreaming());
  t.link->SetText(t.link->switchUsername, "guest");
  t.link->SetText(t.link->switchPassword, "pw");
  t.link->PostCommand(CmdSwitchUser);
  ASSERT_TRUE(t.messages.WaitFor(33, "2:login as user"));
  auto sw = t.cam.Log(InboundKind::SwitchUserRequest);
  ASSERT_EQ(sw.size(), 1u);
  EXPECT_TRUE(sw[0].ok()) << sw[0].problem;
  EXPECT_EQ(sw[0].user, "guest");
  EXPECT_EQ(sw[0].password, "pw");
  EXPECT_EQ(t.link->loginLevel, 0x30);
  EXPECT_EQ(t.link->gpioAllowed, 1);
  EXPECT_EQ(t.link->videoState, 100);

  t.link->SetText(t.link->switchPassword, "wrong");
  t.link->PostCommand(CmdSwitchUser);
  ASSERT_TRUE(t.messages.WaitFor(38, "login fail"));
  EXPECT_EQ(t.LoginMessages(), (Pairs{{32, "login as admin"},
                                      {33, "2:login as user"},
                                      {34, "invalid userid or password"},
                                      {38, "login fail"}}));
  EXPECT_EQ(t.link->loginLevel, 0x30) << "a refused switch keeps the level";
  EXPECT_EQ(t.link->vidconnected, 1);
}

TEST(LinkConnect, DisconnectStopsAudioFirstThenVideo) {
  LiveLink t;
  ASSERT_TRUE(t.StartStreaming());
  const uint64_t mark = t.cam.LogMark();
  t.link->PostCommand(CmdDisconnectAudio);
  t.link->PostCommand(CmdDisconnectVideo);
  ASSERT_TRUE(t.WaitClosed());
  ASSERT_TRUE(t.messages.WaitFor(17, "vid:disconnected"));
  ASSERT_TRUE(t.cam.WaitForCount(InboundKind::ConnectionClosed, 2, Ms(3000), mark));
  std::vector<std::pair<InboundKind, camsim::Channel>> order;
  for (auto& e : t.cam.Log())
    if (e.seq >= mark && e.kind != InboundKind::TalkFrame) order.emplace_back(e.kind, e.channel);
  using camsim::Channel;
  auto at = [&](InboundKind k, Channel c) {
    return std::find(order.begin(), order.end(), std::make_pair(k, c)) - order.begin();
  };
  // The camera reads its two connections in whatever order they become
  // ready, so only each connection's own order is checked there; the
  // link's order across them shows in its trace below.
  EXPECT_LT(at(InboundKind::StopAudio, camsim::Channel::Audio), at(InboundKind::ConnectionClosed, camsim::Channel::Audio));
  EXPECT_LT(at(InboundKind::StopVideo, camsim::Channel::Video), at(InboundKind::ConnectionClosed, camsim::Channel::Video));
  const int audioStop = t.messages.IndexOf(255, "###aud:end-enc...");
  const int audioClose = t.messages.IndexOf(255, "-----aud:disconnecting...");
  const int videoStop = t.messages.IndexOf(255, "---vid:end-enc...");
  const int videoClose = t.messages.IndexOf(255, "-----vid:disconnecting...");
  // Each side stops its encoder before it closes, audio ahead of video; the
  // two state machines step in the same passes, so the sides interleave.
  ASSERT_GE(audioStop, 0);
  EXPECT_LT(audioStop, audioClose);
  EXPECT_LT(videoStop, videoClose);
  EXPECT_LT(audioStop, videoStop);
  EXPECT_LT(audioClose, videoClose);
  EXPECT_EQ(t.link->loginLevel, 0x10);
  EXPECT_EQ(t.FramesQueued(), 0u);
  EXPECT_GE(t.audio.resets.load(), 1);
}

TEST(LinkConnect, ReconnectsAfterTheCameraRestarts) {
  LiveLink t;
  ASSERT_TRUE(t.StartStreaming());
  ASSERT_TRUE(t.cam.Restart(Ms(100)));
  ASSERT_TRUE(t.WaitClosed());
  ASSERT_TRUE(WaitUntil([&] { return t.link->videoState == 0 && t.link->audioState == 0; }));
  t.Connect();
  ASSERT_TRUE(t.WaitStreaming());
  EXPECT_EQ(t.messages.Count(32), 2u);
  t.video.frameQueue->ClearFrames();
  EXPECT_TRUE(WaitUntil([&] { return t.FramesQueued() >= 3; }));
}

// After a drop, the old level is gone: an audio connection that comes up
// before the new login reply waits for it before it starts encoding.
TEST(LinkConnect, AReconnectWaitsForTheNewLoginBeforeStartingAudio) {
  LiveLink t;
  ASSERT_TRUE(t.StartStreaming());
  ASSERT_TRUE(t.cam.Restart(Ms(100)));
  ASSERT_TRUE(t.WaitClosed());
  ASSERT_TRUE(WaitUntil([&] { return t.link->videoState == 0 && t.link->audioState == 0; }));
  EXPECT_EQ(t.link->loginLevel, 0x10) << "the level went with the connection";
  camsim::LoginConfig slow;
  slow.replyDelay = Ms(200);
  t.cam.SetLogin(slow);
  const uint64_t mark = t.cam.LogMark();
  // As a host's separate video and audio connects do: the level is not touched.
  t.link->PostCommand(CmdConnectVideo);
  t.link->PostCommand(CmdConnectAudio);
  ASSERT_TRUE(t.WaitStreaming(10000));
  auto reply = t.cam.WaitForInbound(InboundKind::ReplySent, Ms(5000), mark);
  auto start = t.cam.WaitForInbound(InboundKind::StartAudio, Ms(5000), mark);
  ASSERT_TRUE(reply && start);
  EXPECT_GT(start->seq, reply->seq);
  EXPECT_TRUE(WaitUntil([&] { return t.audio.codedAudioRing.Count() > 0; })) << "camera audio flows";
}

// DisconnectWebcam while a connect is still under way, then ConnectWebcam:
// the new connect goes ahead at once.
TEST(LinkConnect, ADisconnectAbandonsAConnectThatWasUnderWay) {
  LiveLink t(QuietCamera());
  t.cam.SetConnectPolicy(camsim::Channel::Video, camsim::ConnectPolicy::Blackhole);
  t.cam.SetConnectPolicy(camsim::Channel::Audio, camsim::ConnectPolicy::Blackhole);
  ASSERT_TRUE(t.Start());
  t.Connect();
  ASSERT_TRUE(WaitUntil([&] { return t.link->vidConnecting == 1 && t.link->audConnecting == 1; }));
  t.link->PostCommand(CmdDisconnectAudio);
  t.link->PostCommand(CmdDisconnectVideo);
  ASSERT_TRUE(WaitUntil([&] { return t.link->vidConnecting == 0 && t.link->audConnecting == 0; }));
  t.cam.SetConnectPolicy(camsim::Channel::Video, camsim::ConnectPolicy::Accept);
  t.cam.SetConnectPolicy(camsim::Channel::Audio, camsim::ConnectPolicy::Accept);
  t.Connect();
  EXPECT_TRUE(t.WaitStreaming(5000)) << "not held back by a stale connecting flag";
  for (const auto& text : t.messages.Texts(255)) EXPECT_EQ(text.find("skip connecting... conflag"), std::string::npos);
}

TEST(LinkConnect, ConnectWhileConnectedIsSkipped) {
  LiveLink t(QuietCamera());
  ASSERT_TRUE(t.StartStreaming());
  t.link->vidconnected = 0;  // as if the flag had been cleared; the socket is still up
  t.link->PostCommand(CmdConnectVideo);
  ASSERT_TRUE(t.messages.WaitFor(255, "#####vid:skip connecting..."));
  EXPECT_EQ(t.cam.Count(InboundKind::ConnectionOpened), 2u);
  t.link->vidconnected = 1;
}

TEST(LinkConnect, AnOpenThatThrowsStopsAndAllowsTheNextAttempt) {
  LiveLink t(QuietCamera());
  ASSERT_TRUE(t.Start());
  t.link->SetText(t.link->ipaddr, "");  // no host: the open itself fails
  t.Connect();
  ASSERT_TRUE(t.messages.WaitFor(255, "#####vid:connecting error... "));
  ASSERT_TRUE(t.messages.WaitFor(255, "#####aud:connecting error..."));
  ASSERT_TRUE(t.messages.WaitFor(255, "---aud:skip end-enc..."));
  ASSERT_TRUE(t.messages.WaitFor(255, "-----vid:disconnecting..."));
  ASSERT_TRUE(WaitUntil([&] { return t.link->videoState == 0 && t.link->audioState == 0; }));
  EXPECT_EQ(t.link->vidConnecting, 0);
  EXPECT_EQ(t.link->audConnecting, 0) << "no attempt is pending after a failed open";
  t.link->SetText(t.link->ipaddr, "127.0.0.1");
  t.Connect();
  EXPECT_TRUE(t.WaitStreaming());
  EXPECT_EQ(t.messages.CountText(255, "#####aud:skip connecting... conflag"), 0u);
}

// A mistyped camera name is reported as any connection error is, and the
// next connect goes ahead. Names under "invalid" fail without a name server.
TEST(LinkConnect, AHostNameThatDoesNotResolveIsReportedAsAnError) {
  LiveLink t(QuietCamera());
  ASSERT_TRUE(t.Start());
  t.link->SetText(t.link->ipaddr, "no.such.host.invalid");
  t.Connect();
  ASSERT_TRUE(t.messages.WaitFor(18, "vid:error(11001)"));
  ASSERT_TRUE(t.messages.WaitFor(21, "aud:error(11001)"));
  ASSERT_TRUE(WaitUntil([&] { return t.link->videoState == 0 && t.link->audioState == 0; }));
  EXPECT_EQ(t.link->vidConnecting, 0);
  EXPECT_EQ(t.link->audConnecting, 0);
  t.link->SetText(t.link->ipaddr, "127.0.0.1");
  t.Connect();
  EXPECT_TRUE(t.WaitStreaming());
}

TEST(LinkLifecycle, StartDelayRunsOnTheEngineClock) {
  platform::ControlledClock clock;
  platform::ScopedClock scoped(&clock);
  FakeAudio audio;
  VideoPeer video;
  platform::ClientSocket vs, as;
  std::atomic<bool> advancing{false}, stop{false};
  std::thread advancer([&] {
    while (!stop) {
      if (advancing) clock.Advance(1);
      platform::RealSleep(0);
    }
  });
  {
    CNetManage link;
    link.video = &video;
    link.audio = &audio;
    link.vidSock = &vs;
    link.audSock = &as;
    link.StartLinkThread();
    ASSERT_TRUE(clock.WaitForSleepers(1));
    clock.Advance(990);
    ASSERT_TRUE(clock.WaitForSleepers(1));
    platform::RealSleep(20);
    EXPECT_EQ(link.running, 0);
    EXPECT_EQ(link.linkPasses, 0);
    advancing = true;
    EXPECT_TRUE(WaitUntil([&] { return link.linkPasses > 10; }));
    EXPECT_EQ(link.running, 1);
  }
  stop = true;
  advancer.join();
}

TEST(LinkLifecycle, DestroyedInItsFirstSecondWaitsForTheThread) {
  FakeAudio audio;
  VideoPeer video;
  platform::ClientSocket vs, as;
  std::thread([] {}).join();  // a sanitizer runtime starts its own thread with the first one made
  const size_t threads = testing_support::ThreadCount();
  const auto start = std::chrono::steady_clock::now();
  {
    CNetManage link;
    link.video = &video;
    link.audio = &audio;
    link.vidSock = &vs;
    link.audSock = &as;
    link.StartLinkThread();
    EXPECT_EQ(testing_support::ThreadCount(), threads + 1);
  }
  EXPECT_EQ(testing_support::ThreadCount(), threads) << "the link thread has ended";
  // It ends within its first sleep, not after it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST(LinkLifecycle, HeartbeatRisesEveryPassAndWraps) {
  LiveLink t(QuietCamera());
  t.area->heartbeat = 65530;
  ASSERT_TRUE(t.Start());
  EXPECT_TRUE(WaitUntil([&] {
    return std::atomic_ref<uint16_t>(t.area->heartbeat).load() < 1000 && t.link->linkPasses > 10;
  }));
}

TEST(LinkLifecycle, DestructorWaitForTheAudioConnectionIsBounded) {
  LiveLink t;
  ASSERT_TRUE(t.StartStreaming());
  // Nobody posts the disconnects: the audio connection stays up.
  const auto start = std::chrono::steady_clock::now();
  t.link.reset();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(CNetManage::kAudioCloseWaitMs - 100));
  EXPECT_LT(took, std::chrono::milliseconds(CNetManage::kAudioCloseWaitMs + 2000));
}

}  // namespace
