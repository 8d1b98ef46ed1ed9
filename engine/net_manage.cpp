#include "engine/net_manage.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

#include "platform/clock.h"
#include "platform/message_queue.h"
#include "shared/command_codes.h"
#include "shared/message_numbers.h"

CNetManage::CNetManage(std::unique_ptr<RecorderPeer> rec, uint32_t startDelayMs)
    : recorder(rec ? std::move(rec) : std::make_unique<NoRecorder>()),
      startDelayMs_(startDelayMs),
      msgBuf(new uint8_t[wire::kMaxMessage]) {
  commands.ClearBytes();
}

CNetManage::~CNetManage() {
  if (ThreadStarted()) {
    // The owner has posted the disconnects; give the link thread a bounded
    // time to close the audio connection so teardown never hangs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAudioCloseWaitMs);
    while (audconnected.load() != 0 && running.load() == 1 && std::chrono::steady_clock::now() < deadline)
      platform::RealSleep(2);
  }
  StopThread();
  reporters.JoinAll();
}

void CNetManage::StartReportThread(std::function<void()> fn, const char* what) {
  if (!reporters.Start(std::move(fn))) Trace((std::string("---") + what + " dropped: no thread for it").c_str());
}

void CNetManage::StartLinkThread() { StartThread(this, &CNetManage::LinkThread); }

bool CNetManage::PostCommand(int32_t code) { return commands.PutBytes(&code, sizeof(code)) == 1; }

void CNetManage::SetText(char* field, const std::string& value) {
  platform::Lock guard(textLock);
  const size_t n = std::min<size_t>(value.size(), kTextSize - 1);
  std::memcpy(field, value.data(), n);
  std::memset(field + n, 0, kTextSize - n);
}

std::string CNetManage::GetText(const char* field) {
  platform::Lock guard(textLock);
  return std::string(field, strnlen(field, kTextSize));
}

// ---- builders and sending -------------------------------------------------

uint32_t CNetManage::BuildEncoderParams(uint8_t* buffer, bool flash) {
  wire::EncoderValues v;
  v.control = video->ControlValues();
  v.encSpare[0] = video->encSpare[0];
  v.encSpare[1] = video->encSpare[1];
  v.gpioOut = static_cast<uint8_t>(gpioOut.load());
  v.audmode = static_cast<uint8_t>(audio->audmode.load());
  v.audsen = static_cast<uint16_t>(audio->audsen.load());
  v.MotionGridMask = video->MotionGridMask;
  return wire::BuildEncoderParams(v, buffer, flash);
}

uint32_t CNetManage::BuildGpioOutput(uint8_t* buffer) { return wire::BuildGpioOutput(buffer, gpioOut); }

uint32_t CNetManage::BuildSelectChannel(uint8_t* buffer) {
  return wire::BuildSelectChannel(buffer, channelRequest, channelUpdate);
}

uint32_t CNetManage::BuildSioPut(int port, uint8_t* buffer) {
  if (port < 0 || port > 1) return 0;
  return wire::BuildSioPut(static_cast<uint8_t>(port), sioTx[port], buffer);
}

int CNetManage::SendWithRetry(platform::ClientSocket& socket, const uint8_t* buffer, uint32_t size) {
  int sent = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    sent = socket.SendBuf(buffer, static_cast<int>(size));
    platform::Sleep(1);
    platform::PumpMessages();
    if (sent != 0) break;
  }
  return sent;
}

void CNetManage::SendLogin() {
  const std::string user = GetText(username), pass = GetText(password);
  const uint32_t n = wire::BuildLoginMessage(sendBuf, false, user.c_str(), pass.c_str(), random_);
  if (vidSock->Connected()) SendWithRetry(*vidSock, sendBuf, n);
}

void CNetManage::SendSwitchUser() {
  const std::string user = GetText(switchUsername), pass = GetText(switchPassword);
  const uint32_t n = wire::BuildLoginMessage(sendBuf, true, user.c_str(), pass.c_str(), random_);
  if (vidSock->Connected()) vidSock->SendBuf(sendBuf, static_cast<int>(n));
}

void CNetManage::SendIfConnected(platform::ClientSocket& socket, uint32_t size) {
  if (socket.Connected()) SendWithRetry(socket, sendBuf, size);
}

void CNetManage::SendTraced(platform::ClientSocket& socket, uint32_t size, const char* sent, const char* skipped) {
  if (socket.Connected()) {
    Trace(sent);
    SendWithRetry(socket, sendBuf, size);
  } else if (skipped) {
    Trace(skipped);
  }
}

// ---- the link thread ------------------------------------------------------

void CNetManage::LinkThread(CNetManage* self) {
  // The start delay keeps the first pass after the owner's wiring; it ends
  // early when the owner stops the link meanwhile.
  const uint32_t start = platform::GetTickCount();
  while (self->keepRunning.load() == 1) {
    const uint32_t elapsed = platform::GetTickCount() - start;
    if (elapsed >= self->startDelayMs_) break;
    platform::Sleep(std::min<uint32_t>(self->startDelayMs_ - elapsed, 20));
  }
  self->running = 1;
  while (self->keepRunning.load() == 1) self->Pass();
  self->running = 0;
}

uint32_t CNetManage::AudioMessageSize() const { return audio->frameSize.load() + wire::kHeaderSize; }

void CNetManage::Pass() {
  TakeCommand();
  ++linkPasses;
  VideoStep();
  AudioStep();
  ParseMessage(vidRing);
  while (audRing.Count() >= AudioMessageSize())
    if (ParseMessage(audRing) == ParseResult::Incomplete) break;
  if (uint16_t* heartbeat = heartbeatRef.load()) std::atomic_ref<uint16_t>(*heartbeat).fetch_add(1);
  TalkStep();
  SerialStep();
  if (sioRx[0].Count() > 0) passMessage(MsgSioData0, "Get SIO 0");
  if (sioRx[1].Count() > 0) passMessage(MsgSioData1, "Get SIO 1");
  platform::PumpMessages();
  TrimPreRecord();
  const bool backlog = vidRing.Count() >= 2048 || audRing.Count() > AudioMessageSize() || commands.Count() > 0;
  platform::Sleep(backlog ? 0 : 1);
}

void CNetManage::TakeCommand() {
  const int32_t state = videoState;
  if (state != 0 && state != 100) return;
  int32_t code = 0;
  if (commands.GetBytes(&code, sizeof(code))) ApplyCommand(code);
}

void CNetManage::ApplyCommand(int32_t code) {
  switch (code) {
    case CmdConnectVideo:
      if (vidconnected == 0) videoState = 1;
      break;
    case CmdConnectAudio:
      if (audconnected == 0) audioState = 1;
      break;
    case CmdVideoConnected:
      videoState = 3;
      passMessage(MsgVideoConnected, "vid:connected");
      break;
    case CmdAudioConnected:
      audioState = 7;
      passMessage(MsgAudioConnected, "aud:connected");
      break;
    case CmdDisconnectVideo: videoState = 2; break;
    case CmdDisconnectAudio: audioState = 2; break;
    case CmdVideoClosed:
      videoState = 0;
      passMessage(MsgVideoDisconnected, "vid:disconnected");
      break;
    case CmdAudioClosed:
      audioState = 0;
      passMessage(MsgAudioDisconnected, "aud:disconnected");
      break;
    case CmdSetEncoderFlash: videoState = 14; break;
    case CmdSetEncoderNoFlash: videoState = 18; break;
    case CmdSendGpio: videoState = 15; break;
    case CmdSelectChannel: videoState = 16; break;
    case CmdSwitchUser: videoState = 17; break;
    case CmdStartRecording:
      if (videoState == 100) videoState = 19;
      break;
    case CmdStopRecording: videoState = 20; break;
    case CmdVideoError:
      passMessage(MsgVideoError, "vid:error(" + std::to_string(vidSockError.load()) + ")");
      break;
    case CmdAudioError:
      passMessage(MsgAudioError, "aud:error(" + std::to_string(audSockError.load()) + ")");
      break;
    default: break;
  }
}

void CNetManage::ConnectVideo() {
  secondsWithoutVideo = 0;
  secondsWithoutAudio = 0;
  vidRing.ClearBytes();
  preRecordVideo.ClearFrames();
  video->frameQueue->ClearFrames();
  vidSock->SetHost(GetText(ipaddr));
  vidSock->SetPort((static_cast<uint16_t>(port.load()) & 0xFFFE) + 1);
  if (vidSock->Connected()) {
    Trace("#####vid:skip connecting...");
  } else if (vidConnecting == 1) {
    Trace("#####vid:skip connecting... conflag");
  } else {
    try {
      vidSock->Open();
    } catch (const std::exception&) {
      Trace("#####vid:connecting error... ");
      videoState = 2;
      return;
    }
    connectWaitSeconds = 0;
    vidConnecting = 1;
    DropLogin();
    Trace("#####vid:connecting...");
  }
  videoState = 0;
}

void CNetManage::VideoStep() {
  switch (videoState.load()) {
    case 1:
      ConnectVideo();
      break;
    case 2: {
      SendTraced(*vidSock, BuildStopEncoding(sendBuf, wire::kStopVideo), "---vid:end-enc...",
                 "---vid:skip end-enc...");
      loginLevel = kLoginNone;
      video->playing = 0;
      video->frameQueue->ClearFrames();
      videoState = 4;
      break;
    }
    case 3:
      Trace("---vid:login...");
      SendLogin();
      videoState = 0;
      break;
    case 4:
      Trace("-----vid:disconnecting...");
      // Closing a socket that is still connecting raises no event: the
      // abandoned attempt must not keep later connects waiting.
      vidSock->Close();
      vidConnecting = 0;
      vidRing.ClearBytes();
      video->playing = 0;
      video->frameQueue->ClearFrames();
      for (auto& ring : sioTx) ring.ClearBytes();
      for (auto& ring : sioRx) ring.ClearBytes();
      videoState = 0;
      break;
    case 5:
    case 10: {
      SendTraced(*vidSock, BuildStartEncoding(sendBuf, wire::kStartVideo), "###vid:start-enc...",
                 "###vid:skip start-enc...");
      videoState = 100;
      break;
    }
    case 14:
    case 18:
      SendIfConnected(*vidSock, BuildEncoderParams(sendBuf, videoState == 14));
      videoState = 100;
      break;
    case 15:
      SendIfConnected(*vidSock, BuildGpioOutput(sendBuf));
      videoState = 100;
      break;
    case 16:
      SendIfConnected(*vidSock, BuildSelectChannel(sendBuf));
      videoState = 100;
      break;
    case 17:
      SendSwitchUser();
      videoState = 100;
      break;
    case 19:
      StartRecord();
      videoState = 100;
      break;
    case 20:
      StopRecord();
      videoState = 100;
      break;
    default: break;  // 0, 100 and unknown states rest
  }
}

void CNetManage::ConnectAudio() {
  audioStarted = 0;
  audRing.ClearBytes();
  preRecordAudio.ClearFrames();
  const auto even = static_cast<int16_t>(static_cast<uint16_t>(port.load()) & 0xFFFE);
  port = even;
  audSock->SetHost(GetText(ipaddr));
  audSock->SetPort(static_cast<uint16_t>(even));
  if (audSock->Connected()) {
    Trace("#####aud:skip connecting...");
  } else if (audConnecting == 1) {
    Trace("#####aud:skip connecting... conflag");
  } else {
    audConnecting = 1;
    try {
      audSock->Open();
    } catch (const std::exception&) {
      // No attempt is under way, so nothing else would ever clear the flag.
      audConnecting = 0;
      Trace("#####aud:connecting error...");
      audioState = 2;
      return;
    }
    Trace("#####aud:connecting...");
  }
  audioState = 0;
}

void CNetManage::AudioStep() {
  switch (audioState.load()) {
    case 1:
      ConnectAudio();
      break;
    case 2: {
      SendTraced(*audSock, BuildStopEncoding(sendBuf, wire::kStopAudio), "###aud:end-enc...",
                 "---aud:skip end-enc...");
      audioState = 4;
      break;
    }
    case 4:
      audSock->Close();
      audConnecting = 0;
      audio->ResetAudio();
      Trace("-----aud:disconnecting...");
      audioState = 0;
      break;
    case 7: {
      const int32_t level = loginLevel;
      if (level != kLoginAdmin && level != kLoginUser) break;
      SendTraced(*audSock, BuildStartEncoding(sendBuf, wire::kStartAudio), "###aud:start-enc...", nullptr);
      audio->startPending = 1;
      audioState = 100;
      break;
    }
    default: break;
  }
}

void CNetManage::TalkStep() {
  if (loginLevel != kLoginAdmin || recorder->AudioModule != 1 || audconnected != 1) return;
  // The shared area belongs to another program: take only indices in range.
  const int32_t write = audio->ReadWriteSlot();
  const int32_t read = talkReadSlot;
  if (write < 0 || write >= kTalkSlotCount || read < 0 || read >= kTalkSlotCount) return;
  const int32_t backlog = (write + kTalkSlotCount - read) % kTalkSlotCount;
  if (biauden == 0 || audioStarted == 0 || backlog == 0) return;
  if (const TalkSlot* slot = audio->talkSlots[read]) audSock->SendBuf(slot, sizeof(TalkSlot));
  talkBitsThisSecond += sizeof(TalkSlot) * 8;
  talkReadSlot = (read + 1) % kTalkSlotCount;
}

// Serial bytes stay in their ring until a SioPut carrying them is taken by
// the socket whole; while the video is down or a send is still draining
// they wait rather than vanish.
void CNetManage::SerialStep() {
  for (int p = 0; p < 2; ++p) {
    if (!vidSock->Connected() || vidSock->PendingSendBytes() > 0) return;
    CManage1DBUF& ring = sioTx[p];
    ring.MarkRead();
    const uint32_t n = BuildSioPut(p, sendBuf);
    if (n && vidSock->SendBuf(sendBuf, static_cast<int>(n)) == static_cast<int>(n))
      ring.CommitRead();
    else
      ring.RewindRead();
  }
}

// ---- parsing --------------------------------------------------------------

ParseResult CNetManage::ParseMessage(CManage1DBUF& ring) {
  const ParseResult result = ParseOne(ring);
  if (result == ParseResult::Incomplete) platform::Sleep(1);
  return result;
}

ParseResult CNetManage::ParseOne(CManage1DBUF& ring) {
  ring.MarkRead();
  if (ring.Count() < wire::kHeaderSize) return ParseResult::Incomplete;
  uint8_t* message = msgBuf.get();
  if (!ring.GetBytes(message, wire::kHeaderSize)) return ParseResult::Incomplete;
  const uint32_t length = wire::ReadLength(message);
  if (length > wire::kMaxPayload) {
    ring.ClearBytes();
    return ParseResult::Cleared;
  }
  if (ring.Count() < length || !ring.GetBytes(message + wire::kHeaderSize, length)) {
    ring.RewindRead();
    return ParseResult::Incomplete;
  }
  ring.CommitRead();  // the message is out: its bytes are free for new ones
  HandleMessage(message, length);
  return ParseResult::Handled;
}

// ---- pre-record trim ------------------------------------------------------

void CNetManage::TrimPreRecord() {
  // 64-bit products: a tick span times 33 ms must not wrap.
  const uint32_t newest = lastVideoTimestamp;
  const uint64_t span = static_cast<uint64_t>(std::max(prerecord.load(), 0));
  uint8_t stamp[4];
  while (preRecordVideo.FrameCount() > 0 && preRecordVideo.PeekFrame(stamp, 8, 4)) {
    const uint32_t age = newest - wire::ReadLe32(stamp);
    if (uint64_t{age} * 33 <= span) break;
    preRecordVideo.DropFrame();
  }
  if (recorder->AudioModule != 1 || preRecordAudio.FrameCount() == 0) return;
  if (preRecordVideo.FrameCount() == 0 || !preRecordVideo.PeekFrame(stamp, 8, 4)) {
    preRecordAudio.ClearFrames();
    return;
  }
  // The camera's audio timestamps wrap at 32 bits like the product does:
  // compare by signed difference.
  const auto limit = static_cast<uint32_t>(uint64_t{wire::ReadLe32(stamp)} * audioTicksNum / audioTicksDen);
  while (preRecordAudio.FrameCount() > 0 && preRecordAudio.PeekFrame(stamp, 8, 4)) {
    if (static_cast<int32_t>(wire::ReadLe32(stamp) - limit) >= 0) break;
    preRecordAudio.DropFrame();
  }
}

int CNetManage::ReportValueThread(const MessageClosure& passMessage, int32_t value) {
  passMessage(MsgValue, std::to_string(value));
  return 1;
}
