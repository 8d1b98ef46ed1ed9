// The simulator seen from a raw-socket viewer: login answers, streams,
// loop-backs and the inbound log.
#include <gtest/gtest.h>

#include "shared/adpcm.h"
#include "tests/camsim/raw_client.h"
#include "tools/camsim/camsim.h"
#include "tools/camsim/commands.h"
#include "tools/camsim/wire.h"

namespace camsim {
namespace {

using camsim_test::RawClient;
using wire::Bytes;

constexpr Ms kWait{2000};

class CamsimTest : public ::testing::Test {
 protected:
  void StartSim(SimConfig cfg = {}) {
    sim_ = std::make_unique<CameraSimulator>(std::move(cfg));
    ASSERT_TRUE(sim_->Start()) << sim_->error();
    ASSERT_EQ(sim_->port() % 2, 0);
  }
  // Connects a video client and logs it in; returns the reply.
  Bytes Login(RawClient& c, const char* user = "tansy", const char* password = "tansy") {
    EXPECT_EQ(c.Connect(sim_->videoPort()), 0);
    EXPECT_TRUE(c.Send(wire::LoginRequest(user, password, rng_)));
    auto reply = c.ReadMessage();
    return reply ? *reply : Bytes{};
  }
  std::unique_ptr<CameraSimulator> sim_;
  std::mt19937 rng_{42};
};

TEST_F(CamsimTest, AdministratorLoginThenVideoStream) {
  SimConfig cfg;
  cfg.login.fields.cameraId = 0x4321;
  StartSim(cfg);
  RawClient v;
  Bytes reply = Login(v);
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(reply[0], 0x10);
  EXPECT_EQ(reply[1], 0x50);
  EXPECT_EQ(reply[2], 0x20);
  EXPECT_EQ(reply[12 + 6] | reply[12 + 7] << 8, 0x4321);

  auto login = sim_->WaitForInbound(InboundKind::LoginRequest, kWait);
  ASSERT_TRUE(login);
  EXPECT_TRUE(login->ok()) << login->problem;
  EXPECT_EQ(login->user, "tansy");
  EXPECT_EQ(login->password, "tansy");

  ASSERT_TRUE(v.Send(wire::StartEncoding(1)));
  uint32_t prevTs = 0;
  auto start = Clock::now();
  for (int i = 0; i < 10; ++i) {
    auto f = v.ReadMessage();
    ASSERT_TRUE(f);
    const Bytes& m = *f;
    ASSERT_EQ(m[0], 0x01);
    ASSERT_EQ(m[1], 0x01);
    EXPECT_EQ(m[6], 0x1D);
    EXPECT_EQ(m[7], 0xDE);
    EXPECT_EQ(m[2] & 0x3F, 1) << "one viewer logged in";
    EXPECT_EQ(m[2] >> 6, i == 0 ? 2 : 1) << "key picture first";
    uint32_t ts = wire::ReadLe32(&m[8]);
    if (i > 0) {
      EXPECT_EQ(ts, prevTs + 1) << "30 fps is one tick per frame";
    }
    prevTs = ts;
    EXPECT_GE(m.size(), 16u);
  }
  // Ten frames at 30 fps take about 300 ms; a generous lower bound.
  EXPECT_GE(Clock::now() - start, Ms(200));
  auto startLog = sim_->WaitForInbound(InboundKind::StartVideo, kWait);
  ASSERT_TRUE(startLog);
  EXPECT_TRUE(startLog->ok()) << startLog->problem;
  EXPECT_GT(startLog->seq, login->seq);
}

TEST_F(CamsimTest, AudioStreamIsAdpcmEvery30Ms) {
  StartSim();
  RawClient a;
  ASSERT_EQ(a.Connect(sim_->audioPort()), 0);
  ASSERT_TRUE(a.Send(wire::StartEncoding(3)));
  CADPCM decoder;
  auto start = Clock::now();
  for (uint32_t i = 0; i < 8; ++i) {
    auto f = a.ReadMessage();
    ASSERT_TRUE(f);
    const Bytes& m = *f;
    ASSERT_EQ(m.size(), 132u);
    EXPECT_EQ(m[1], 0x02);
    EXPECT_EQ(wire::ReadLe32(&m[8]), i);
    // Step index in byte 3, predictor little-endian in bytes 6-7.
    EXPECT_EQ(m[3], static_cast<uint8_t>(decoder.stepIndex));
    EXPECT_EQ(static_cast<int16_t>(m[6] | m[7] << 8), decoder.predictor);
    int16_t pcm[240];
    decoder.DecodeAdpcm(&m[12], pcm, 240);
  }
  EXPECT_GE(Clock::now() - start, Ms(7 * 30 - 20));
  ASSERT_TRUE(a.Send(wire::StopEncoding(4)));
  ASSERT_TRUE(sim_->WaitForInbound(InboundKind::StopAudio, kWait));
}

TEST_F(CamsimTest, LoginOutcomes) {
  StartSim();
  struct Case {
    LoginAnswer answer;
    uint8_t level, reason;
    size_t size;
    uint8_t gpio, sio;
  };
  auto answer = [](LoginOutcome o, uint8_t reason = 0x10, bool gpio = false, bool sio = false) {
    LoginAnswer a;
    a.outcome = o;
    a.refusalReason = reason;
    a.userMayGpio = gpio;
    a.userMaySerial = sio;
    return a;
  };
  std::vector<Case> cases = {
      {answer(LoginOutcome::Administrator), 0x20, 0, 32, 0, 0},
      {answer(LoginOutcome::User, 0, true, false), 0x30, 0, 32, 1, 0},
      {answer(LoginOutcome::User, 0, true, true), 0x30, 0, 32, 1, 1},
      {answer(LoginOutcome::ShortReply), 0x20, 0, 20, 0, 0},
  };
  for (uint8_t r : {0x10, 0x20, 0x30, 0x40, 0x50, 0x60})
    cases.push_back({answer(LoginOutcome::Refused, r), 0x10, r, 32, 0, 0});
  for (const Case& c : cases) {
    sim_->SetLoginAnswer(c.answer);
    RawClient v;
    Bytes reply = Login(v);
    ASSERT_EQ(reply.size(), c.size);
    EXPECT_EQ(reply[2], c.level);
    EXPECT_EQ(reply[3], c.reason);
    if (c.size == 32) {
      EXPECT_EQ(reply[12 + 8], c.gpio);
      EXPECT_EQ(reply[12 + 9], c.sio);
    }
  }
}

TEST_F(CamsimTest, UnansweredLoginAndStartWithoutLogin) {
  SimConfig cfg;
  cfg.login.answer.outcome = LoginOutcome::Unanswered;
  StartSim(cfg);
  RawClient v;
  ASSERT_EQ(v.Connect(sim_->videoPort()), 0);
  ASSERT_TRUE(v.Send(wire::LoginRequest("tansy", "tansy", rng_)));
  ASSERT_TRUE(sim_->WaitForInbound(InboundKind::LoginRequest, kWait));
  ASSERT_TRUE(v.Send(wire::StartEncoding(1)));
  auto start = sim_->WaitForInbound(InboundKind::StartVideo, kWait);
  ASSERT_TRUE(start);
  EXPECT_NE(start->problem.find("without a successful login"), std::string::npos);
  EXPECT_FALSE(v.ReadMessage(200)) << "neither a reply nor a stream";
}

TEST_F(CamsimTest, DelayedReplyIsLoggedWhenItLeaves) {
  SimConfig cfg;
  cfg.login.replyDelay = Ms(150);
  StartSim(cfg);
  RawClient v;
  ASSERT_EQ(v.Connect(sim_->videoPort()), 0);
  ASSERT_TRUE(v.Send(wire::LoginRequest("tansy", "tansy", rng_)));
  auto request = sim_->WaitForInbound(InboundKind::LoginRequest, kWait);
  ASSERT_TRUE(request);
  EXPECT_FALSE(v.ReadMessage(50));
  auto sent = sim_->WaitForInbound(InboundKind::ReplySent, kWait);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->value, 0x20);
  EXPECT_GE(sent->time - request->time, Ms(140));
  EXPECT_TRUE(v.ReadMessage());
}

TEST_F(CamsimTest, AccountsDecideAndSwitchUserGetsAudioLoginReply) {
  SimConfig cfg;
  LoginAnswer user;
  user.outcome = LoginOutcome::User;
  user.userMaySerial = true;
  cfg.login.accounts = {{"admin", "pw", {}}, {"guest", "g", user}};
  StartSim(cfg);
  RawClient v;
  Bytes reply = Login(v, "guest", "g");
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(reply[2], 0x30);
  EXPECT_EQ(reply[12 + 9], 1);

  ASSERT_TRUE(v.Send(wire::LoginRequest("admin", "pw", rng_, /*switchUser=*/true)));
  auto sw = v.ReadMessage();
  ASSERT_TRUE(sw);
  EXPECT_EQ((*sw)[1], 0xA0);
  EXPECT_EQ((*sw)[2], 0x20);

  ASSERT_TRUE(v.Send(wire::LoginRequest("admin", "wrong", rng_, true)));
  sw = v.ReadMessage();
  ASSERT_TRUE(sw);
  EXPECT_EQ((*sw)[2], 0x10);
  EXPECT_EQ((*sw)[3], 0x10);
  auto conns = sim_->Connections();
  ASSERT_EQ(conns.size(), 1u);
  EXPECT_EQ(conns[0].loginLevel, 0x20) << "a refused switch keeps the earlier login";
}

TEST_F(CamsimTest, LoopBacksAndChannelBits) {
  StartSim();
  RawClient v;
  ASSERT_EQ(Login(v).size(), 32u);
  ASSERT_TRUE(v.Send(wire::GpioOutput(2)));
  auto in = v.ReadUntil(0x01, 0x05);
  ASSERT_TRUE(in);
  EXPECT_EQ((*in)[7], 2);

  const uint8_t data[] = {'h', 'e', 'y'};
  ASSERT_TRUE(v.Send(wire::SioPut(1, data, 3)));
  auto sio = v.ReadUntil(0x01, 0x04);
  ASSERT_TRUE(sio);
  EXPECT_EQ((*sio)[2], 1);
  EXPECT_EQ((*sio)[7], 3);
  EXPECT_EQ(Bytes(sio->begin() + 12, sio->end()), Bytes(data, data + 3));

  ASSERT_TRUE(v.Send(wire::SelectChannel(3, 1)));
  ASSERT_TRUE(sim_->WaitForInbound(InboundKind::SelectChannel, kWait));
  sim_->SetMotion(1, 0x1F);
  ASSERT_TRUE(v.Send(wire::StartEncoding(1)));
  auto f = v.ReadUntil(0x01, 0x01);
  ASSERT_TRUE(f);
  EXPECT_EQ((*f)[3], 1);
  uint32_t tag = wire::ReadLe32(&(*f)[12]);
  EXPECT_EQ(tag, 0x1Fu | 3u << 28);
}

TEST_F(CamsimTest, EventsOnDemandReachEveryViewer) {
  StartSim();
  RawClient v1, v2;
  ASSERT_EQ(Login(v1).size(), 32u);
  ASSERT_EQ(Login(v2).size(), 32u);
  EXPECT_EQ(sim_->SendCameraText("hello"), 2);
  EXPECT_EQ(sim_->SendValue(-5), 2);
  EXPECT_EQ(sim_->SendMotionMask(0x1234567), 2);
  EXPECT_EQ(sim_->SendEncoderMode(3), 2);
  for (RawClient* c : {&v1, &v2}) {
    auto t = c->ReadMessage();
    ASSERT_TRUE(t);
    EXPECT_EQ((*t)[2], 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(&(*t)[12]), "hello");
    auto val = c->ReadMessage();
    ASSERT_TRUE(val);
    EXPECT_EQ(static_cast<int32_t>(wire::ReadLe32(&(*val)[8])), -5);
    auto mask = c->ReadMessage();
    ASSERT_TRUE(mask);
    EXPECT_EQ(wire::ReadLe32(&(*mask)[8]), 0x1234567u);
    auto mode = c->ReadMessage();
    ASSERT_TRUE(mode);
    EXPECT_EQ((*mode)[1], 0x09);
    EXPECT_EQ((*mode)[2], 3);
  }
  // Two logged-in viewers show in the user count of the frames.
  ASSERT_TRUE(v1.Send(wire::StartEncoding(1)));
  auto f = v1.ReadUntil(0x01, 0x01);
  ASSERT_TRUE(f);
  EXPECT_EQ((*f)[2] & 0x3F, 2);
}

TEST_F(CamsimTest, TalkFramesAreCheckedInSequence) {
  StartSim();
  RawClient a;
  ASSERT_EQ(a.Connect(sim_->audioPort()), 0);
  uint8_t codes[120] = {};
  ASSERT_TRUE(a.Send(wire::TalkFrame(0, 0, 9, codes)));
  ASSERT_TRUE(a.Send(wire::StartEncoding(3)));
  Bytes slot;
  for (uint32_t seq : {10u, 11u, 13u}) {
    Bytes f = wire::TalkFrame(0, 0, seq, codes);
    slot.insert(slot.end(), f.begin(), f.end());
  }
  ASSERT_TRUE(a.Send(slot));
  // A slot may follow the viewer's own stop.
  ASSERT_TRUE(a.Send(wire::StopEncoding(4)));
  ASSERT_TRUE(a.Send(wire::TalkFrame(0, 0, 14, codes)));
  ASSERT_TRUE(sim_->WaitForCount(InboundKind::TalkFrame, 5, kWait));
  auto talk = sim_->Log(InboundKind::TalkFrame);
  EXPECT_NE(talk[0].problem.find("before the audio start"), std::string::npos) << talk[0].problem;
  EXPECT_TRUE(talk[1].ok()) << talk[1].problem;
  EXPECT_TRUE(talk[2].ok()) << talk[2].problem;
  EXPECT_NE(talk[3].problem.find("talk sequence 13 after 11"), std::string::npos);
  EXPECT_TRUE(talk[4].ok()) << talk[4].problem;
  auto info = sim_->Connection(talk[0].connection);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->talkFrames, 5u);
  EXPECT_EQ(info->talkSequenceErrors, 1u);
}

TEST_F(CamsimTest, LogRecordsConnectionsInOrder) {
  StartSim();
  uint64_t mark = sim_->LogMark();
  {
    RawClient v;
    ASSERT_EQ(Login(v).size(), 32u);
    RawClient a;
    ASSERT_EQ(a.Connect(sim_->audioPort()), 0);
    ASSERT_TRUE(a.Send(wire::StartEncoding(3)));
    ASSERT_TRUE(sim_->WaitForInbound(InboundKind::StartAudio, kWait, mark));
    a.Close();
    auto id = sim_->WaitForConnection(Channel::Video, kWait);
    ASSERT_TRUE(id);
  }
  ASSERT_TRUE(sim_->WaitForCount(InboundKind::ConnectionClosed, 2, kWait, mark));
  std::vector<InboundKind> kinds;
  for (const LogEntry& e : sim_->Log())
    if (e.seq >= mark) kinds.push_back(e.kind);
  std::vector<InboundKind> want = {
      InboundKind::ConnectionOpened, InboundKind::LoginRequest,     InboundKind::ReplySent,
      InboundKind::ConnectionOpened, InboundKind::StartAudio,       InboundKind::ConnectionClosed,
      InboundKind::ConnectionClosed};
  EXPECT_EQ(kinds, want);
  for (const LogEntry& e : sim_->Log(InboundKind::ConnectionClosed)) {
    EXPECT_TRUE(e.closedByPeer);
  }
}

TEST_F(CamsimTest, OperatorCommands) {
  StartSim();
  RawClient v;
  ASSERT_EQ(Login(v).size(), 32u);
  std::string reply;
  EXPECT_TRUE(RunCommand(*sim_, "text camera says hi", reply));
  EXPECT_EQ(reply, "sent to 1 connection(s)");
  auto t = v.ReadMessage();
  ASSERT_TRUE(t);
  EXPECT_STREQ(reinterpret_cast<const char*>(&(*t)[12]), "camera says hi");
  EXPECT_TRUE(RunCommand(*sim_, "sio 0 ab", reply));
  auto s = v.ReadMessage();
  ASSERT_TRUE(s);
  EXPECT_EQ((*s)[7], 2);
  EXPECT_FALSE(RunCommand(*sim_, "gpio", reply));
  EXPECT_FALSE(RunCommand(*sim_, "frobnicate", reply));
  EXPECT_TRUE(RunCommand(*sim_, "status", reply));
  EXPECT_NE(reply.find("video level=0x20"), std::string::npos) << reply;
}

}  // namespace
}  // namespace camsim
