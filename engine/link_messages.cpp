// What the link thread does with each incoming message.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/net_manage.h"
#include "platform/clock.h"
#include "shared/message_numbers.h"

using wire::MessageKind;

void CNetManage::HandleMessage(uint8_t* m, uint32_t length) {
  switch (wire::ClassifyMessage(m)) {
    case MessageKind::LoginReply: OnLoginReply(m, length); break;
    case MessageKind::AudioLoginReply: OnAudioLoginReply(m, length); break;
    case MessageKind::VideoFrame: OnVideoFrame(m, length); break;
    case MessageKind::AudioFrame: OnAudioFrame(m, length); break;
    case MessageKind::CameraText: OnCameraText(m, length); break;
    case MessageKind::SioData: OnSioData(m, length); break;
    case MessageKind::GpioInput: OnGpioInput(m); break;
    case MessageKind::MotionMaskUpdate: video->MotionGridMask = wire::ReadLe32(m + 8); break;
    case MessageKind::ValueReport: OnValueReport(m); break;
    case MessageKind::EncModeUpdate: video->EncMode = m[2]; break;
    case MessageKind::Ignored: break;
    case MessageKind::Invalid: OnInvalidStream(); break;
  }
}

// ---- login ----------------------------------------------------------------

namespace {

constexpr uint32_t kLoginPayload = 20;

// The reply's payload with whatever a short reply leaves out read as 0.
void CopyLoginPayload(const uint8_t* message, uint32_t length, uint8_t* payload) {
  std::memset(payload, 0, kLoginPayload);
  std::memcpy(payload, message + wire::kHeaderSize, std::min(length, kLoginPayload));
}

}  // namespace

void CNetManage::TakeTalkReadSlot() {
  const int32_t write = audio->ReadWriteSlot();
  if (write >= 0 && write < kTalkSlotCount) talkReadSlot = write;
}

void CNetManage::RaiseRefusal(uint8_t reason) {
  switch (reason) {
    case 0x10:
    case 0x20: passMessage(MsgBadCredentials, "invalid userid or password"); break;
    case 0x30: passMessage(MsgAdminAlreadyLoggedIn, "admin already logined"); break;
    case 0x40: passMessage(MsgTooManyUsers, "too many user logined"); break;
    case 0x50: passMessage(MsgOverMaxUser, "over max user"); break;
    default: break;
  }
}

void CNetManage::RaiseUserLogin() {
  char text[32];
  std::snprintf(text, sizeof(text), "%d:login as user", sioAllowed.load() + 2 * gpioAllowed.load());
  passMessage(MsgLoginUser, text);
}

void CNetManage::StoreLoginFields(const uint8_t* h, const uint8_t* p) {
  firmwareVersion = wire::ReadBe16(h + 6);
  recorder->AudioModule = h[8] != 0 ? 1 : 0;
  video->maxfrmrate = h[9];
  video->maxbitrate = wire::ReadBe16(h + 10);
  video->intvlintra = p[0];
  video->maxq = p[1];
  video->minq = p[2];
  gpioIn = p[3];
  recorder->videoStandard = p[4];
  recorder->audioFormat = 0;
  audio->codec = p[5];
  audio->frameSize = p[5] != 0 ? 24 : 120;
  cameraId = wire::ReadLe16(p + 6);
  video->EncMode = p[10];
  video->motionsen = wire::ReadBe16(p + 11);
  audio->audmode = p[13];
  audio->audsen = wire::ReadLe16(p + 14);
  video->MotionGridMask = wire::ReadLe32(p + 16);
  const bool otherStandard = p[4] != 0;
  audioTicksNum = otherStandard ? 4 : 10;
  audioTicksDen = otherStandard ? 3 : 9;
  audioTicksPerVideoTick = otherStandard ? 4.0f / 3.0f : 10.0f / 9.0f;
}

void CNetManage::OnLoginReply(const uint8_t* m, uint32_t length) {
  uint8_t p[kLoginPayload];
  CopyLoginPayload(m, length, p);
  loginLevel = m[2];
  switch (m[2]) {
    case kLoginAdmin:
      videoState = 5;
      StoreLoginFields(m, p);
      TakeTalkReadSlot();
      passMessage(MsgLoginAdmin, "login as admin");
      break;
    case kLoginUser:
      videoState = 10;
      StoreLoginFields(m, p);
      gpioAllowed = p[8] != 0 ? 1 : 0;
      sioAllowed = p[9] != 0 ? 1 : 0;
      RaiseUserLogin();
      break;
    case kLoginNone:
      RaiseRefusal(m[3]);
      videoState = 4;
      audioState = 4;
      passMessage(MsgLoginFail, "login fail");
      break;
    default: break;
  }
}

void CNetManage::OnAudioLoginReply(const uint8_t* m, uint32_t length) {
  uint8_t p[kLoginPayload];
  CopyLoginPayload(m, length, p);
  switch (m[2]) {
    // The level is set before the message, so whoever handles the message
    // reads the new level.
    case kLoginAdmin:
      loginLevel = kLoginAdmin;
      TakeTalkReadSlot();
      passMessage(MsgLoginAdmin, "login as admin");
      break;
    case kLoginUser:
      loginLevel = kLoginUser;
      gpioAllowed = p[8] != 0 ? 1 : 0;
      sioAllowed = p[9] != 0 ? 1 : 0;
      RaiseUserLogin();
      break;
    case kLoginNone:
      RaiseRefusal(m[3]);
      passMessage(MsgLoginFail, "login fail");
      break;
    default: break;
  }
}

// ---- video ----------------------------------------------------------------

bool CNetManage::ShowFrame(bool droppable) {
  int32_t skip = DisplaySkipCount.load();
  while (skip > 0) {
    if (!droppable) return true;
    if (DisplaySkipCount.compare_exchange_weak(skip, skip - 1)) return false;
  }
  if (vidRing.Count() >= kRingBacklogLimit) {
    DisplaySkipCount = 16;
    return !droppable;
  }
  return true;
}

void CNetManage::OnVideoFrame(uint8_t* m, uint32_t length) {
  // The tag would be read beyond a payload shorter than its 4 bytes, so the
  // frame is skipped whole: not shown, not recorded, not counted. The trace
  // tells a user who counts frames why one is missing.
  if (length < 4) {
    Trace(("---vid:frame of " + std::to_string(length) + " payload bytes skipped, shorter than its tag").c_str());
    return;
  }
  uint8_t* payload = m + wire::kHeaderSize;
  const uint8_t frameType = m[2] >> 6;
  curruser = m[2] & 0x3F;
  payload[3] = static_cast<uint8_t>((payload[3] & 0x3F) | (m[2] & 0xC0));
  const uint32_t timestamp = wire::ReadLe32(m + 8);
  lastVideoTimestamp = timestamp;
  video->newestTimestamp = timestamp;
  if (m[3] != 0) {
    video->motionoccur = m[3];
    passMessage(MsgMotion, "motion occur");
  } else {
    video->motionoccur = 0;
  }
  vidchannel = (payload[3] >> 4) & 3;
  const int32_t tag = static_cast<int32_t>(wire::ReadLe32(payload) & 0x1FFFFFF);
  const int32_t size = static_cast<int32_t>(length + wire::kHeaderSize);
  if (recorder->videoRecording) {
    recorder->WriteVideoRecord(m, length);
  } else if (prerecord != 0) {
    preRecordVideo.PushFrameTagged(m, size, static_cast<int32_t>(SecondsSince2000(platform::GetLocalTime())), tag);
  }
  if (VidEnable != 0 && ShowFrame(frameType == 1)) {
    std::memset(payload, 0xFF, 4);
    video->frameQueue->PushFrame(m, size, tag);
  }
  ++framesThisSecond;
}

// ---- audio ----------------------------------------------------------------

void CNetManage::OnAudioFrame(const uint8_t* m, uint32_t length) {
  const uint32_t t = wire::ReadLe32(m + 8);
  if (audioStarted != 0 && t - audio->lastTimestamp.load() >= 10) {
    audio->ResetAudio();
    passMessage(MsgAudioReset, "Reset audio");
  }
  audio->lastTimestamp = t;
  audioStarted = 1;
  if (AudEnable != 0 && audRing.Count() < kRingBacklogLimit) {
    if (audio->codec == 0) audio->SetAdpcmStartState(static_cast<int16_t>(wire::ReadLe16(m + 6)), m[3]);
    audio->codedAudioRing.PutBytes(m + wire::kHeaderSize, length);
  }
  if (recorder->AudioModule == 1) {
    if (recorder->audioRecording) {
      recorder->WriteAudioRecord(m, length);
    } else if (prerecord != 0) {
      preRecordAudio.PushFrame(m, static_cast<int32_t>(length + wire::kHeaderSize), 0);
    }
  }
}

// ---- the small kinds ------------------------------------------------------

void CNetManage::OnGpioInput(const uint8_t* m) {
  const int32_t v = m[7] & 3;
  if (v != gpioIn) {
    gpioIn = v;
    passMessage(MsgGpioChanged, "GPIO chanaged");
  }
}

void CNetManage::OnSioData(const uint8_t* m, uint32_t length) {
  const uint8_t port = m[2];
  if (port > 1) return;
  const uint32_t count = std::min<uint32_t>(m[7], length);
  sioRx[port].PutBytes(m + wire::kHeaderSize, count);
}

void CNetManage::OnCameraText(const uint8_t* m, uint32_t length) {
  const char* text = reinterpret_cast<const char*>(m + wire::kHeaderSize);
  passMessage(MsgCameraText, std::string(text, strnlen(text, length)));
}

void CNetManage::OnValueReport(const uint8_t* m) {
  const auto value = static_cast<int32_t>(wire::ReadLe32(m + 8));
  reportedValue = value;
  // The thread reports its own copy: a later report cannot change it.
  StartReportThread([this, value] { ReportValueThread(passMessage, value); }, "value report");
}

void CNetManage::OnInvalidStream() {
  videoState = 2;
  audioState = 2;
  passMessage(MsgInvalidStream, "invalid stream");
}
