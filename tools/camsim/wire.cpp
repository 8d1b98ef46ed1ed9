#include "tools/camsim/wire.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace camsim::wire {

namespace {

// Collects check failures into one readable line.
class Problems {
 public:
  void Add(const std::string& what) {
    if (!text_.empty()) text_ += "; ";
    text_ += what;
  }
  void ExpectByte(const uint8_t* msg, size_t i, uint8_t want, const char* name) {
    if (msg[i] != want) {
      char buf[96];
      std::snprintf(buf, sizeof buf, "byte %zu (%s) is 0x%02X, expected 0x%02X", i,
                    name, msg[i], want);
      Add(buf);
    }
  }
  // Bytes [from, to) that carry no value must be zero.
  void ExpectZero(const uint8_t* msg, size_t size, size_t from, size_t to) {
    for (size_t i = from; i < to && i < size; ++i) {
      if (msg[i] != 0) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "unused byte %zu is 0x%02X", i, msg[i]);
        Add(buf);
      }
    }
  }
  void ExpectLength(size_t got, size_t want) {
    if (got != want) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "length %zu, expected %zu", got, want);
      Add(buf);
    }
  }
  void ExpectChannel(Channel got, Channel want) {
    if (got != want)
      Add(want == Channel::Video ? "belongs on the video connection"
                                 : "belongs on the audio connection");
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

std::string TextOf(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

void CheckCredentialsMessage(const uint8_t* msg, size_t size, Problems& pr,
                             LogEntry& e) {
  pr.ExpectZero(msg, size, 2, 4);
  pr.ExpectZero(msg, size, 6, kHeaderSize);
  pr.ExpectLength(size - kHeaderSize, kCredentialBlockSize);
  if (size < kHeaderSize + kCredentialBlockSize) return;
  Credentials c = DescrambleCredentials(msg + kHeaderSize);
  e.user = c.user;
  e.password = c.password;
  if (!c.problem.empty()) pr.Add(c.problem);
}

void CheckEncoderParams(const uint8_t* msg, size_t size, Problems& pr,
                        LogEntry& e) {
  if (msg[2] > 1) pr.Add("flash byte 2 is neither 0 nor 1");
  pr.ExpectZero(msg, size, 3, 4);
  pr.ExpectZero(msg, size, 6, kHeaderSize);
  pr.ExpectLength(size - kHeaderSize, 36);
  if (size < 48) return;
  EncoderParamsSeen& p = e.encoder;
  p.flash = msg[2] == 0;
  p.maxBitRate = static_cast<uint16_t>(msg[12] | msg[13] << 8);
  p.maxFrameRate = msg[14];
  p.maxQ = msg[15];
  p.minQ = msg[16];
  p.intraInterval = msg[17];
  p.motionSensitivity = static_cast<uint16_t>(msg[18] | msg[19] << 8);
  p.encMode = msg[20];
  pr.ExpectZero(msg, size, 21, 22);
  p.gpioOut = msg[22];
  pr.ExpectZero(msg, size, 23, 25);
  p.audioMode = msg[25];
  p.audioSensitivity = static_cast<uint16_t>(msg[26] | msg[27] << 8);
  p.motionMask = ReadLe32(msg + 28);
  pr.ExpectZero(msg, size, 32, 48);
}

void CheckSioPut(const uint8_t* msg, size_t size, Problems& pr, LogEntry& e) {
  pr.ExpectByte(msg, 2, 0x82, "SioPut marker");
  pr.ExpectZero(msg, size, 3, 4);
  pr.ExpectZero(msg, size, 6, kHeaderSize);
  size_t len = size - kHeaderSize;
  if (len < 2) {
    pr.Add("SioPut without port and count");
    return;
  }
  uint8_t port = msg[12], count = msg[13];
  e.sioPort = port;
  if (port > 1) pr.Add("serial port is neither 0 nor 1");
  if (count == 0 || count > 254) pr.Add("serial count outside 1..254");
  pr.ExpectLength(len, (static_cast<size_t>(count) + 3) & ~size_t{1});
  size_t have = std::min<size_t>(count, len - 2);
  e.sioData.assign(msg + 14, msg + 14 + have);
  pr.ExpectZero(msg, size, 14 + have, size);  // the pad byte
}

void CheckTalkFrame(const uint8_t* msg, size_t size, Problems& pr, LogEntry& e) {
  pr.ExpectZero(msg, size, 2, 3);
  if (msg[3] > 88) pr.Add("talk step index above 88");
  pr.ExpectLength(size - kHeaderSize, kAdpcmPayload);
  e.talkSequence = ReadLe32(msg + 8);
}

}  // namespace

Bytes Message(uint8_t type, uint8_t subtype, size_t payloadSize, uint8_t b2,
              uint8_t b3) {
  Bytes m(kHeaderSize + payloadSize, 0);
  m[0] = type;
  m[1] = subtype;
  m[2] = b2;
  m[3] = b3;
  PutBe16(&m[4], static_cast<uint16_t>(payloadSize));
  return m;
}

Bytes LoginReply(const LoginAnswer& a, const LoginFields& f, uint8_t audioCodec) {
  uint8_t level = 0x20, reason = 0;
  size_t payload = kLoginPayload;
  switch (a.outcome) {
    case LoginOutcome::Administrator: level = 0x20; break;
    case LoginOutcome::User: level = 0x30; break;
    case LoginOutcome::Refused: level = 0x10; reason = a.refusalReason; break;
    case LoginOutcome::ShortReply:
      level = a.shortReplyLevel;
      payload = std::min<size_t>(a.shortReplyPayload, kLoginPayload - 1);
      break;
    case LoginOutcome::OtherLevel: level = a.otherLevel; break;
    case LoginOutcome::Unanswered: break;
  }
  Bytes full = Message(0x10, 0x50, kLoginPayload, level, reason);
  uint8_t* m = full.data();
  m[6] = f.firmwareMajor;
  m[7] = f.firmwareMinor;
  m[8] = f.hasAudio ? 1 : 0;
  m[9] = f.maxFrameRate;
  PutBe16(m + 10, f.maxBitRate);
  uint8_t* p = m + kHeaderSize;
  p[0] = f.intraInterval;
  p[1] = f.maxQ;
  p[2] = f.minQ;
  p[3] = f.gpioIn;
  p[4] = f.videoStandard;
  p[5] = audioCodec;
  PutLe16(p + 6, f.cameraId);
  if (level == 0x30) {
    p[8] = a.userMayGpio ? 1 : 0;
    p[9] = a.userMaySerial ? 1 : 0;
  }
  p[10] = f.encMode;
  PutBe16(p + 11, f.motionSensitivity);
  p[13] = f.audioMode;
  PutLe16(p + 14, f.audioSensitivity);
  PutLe32(p + 16, f.motionMask);
  full.resize(kHeaderSize + payload);
  PutBe16(m + 4, static_cast<uint16_t>(payload));
  return full;
}

Bytes AudioLoginReply(const LoginAnswer& a) {
  uint8_t level = 0x20, reason = 0;
  switch (a.outcome) {
    case LoginOutcome::User: level = 0x30; break;
    case LoginOutcome::Refused: level = 0x10; reason = a.refusalReason; break;
    case LoginOutcome::ShortReply: level = a.shortReplyLevel; break;
    case LoginOutcome::OtherLevel: level = a.otherLevel; break;
    default: break;
  }
  Bytes m = Message(0x10, 0xA0, kLoginPayload, level, reason);
  if (level == 0x30) {
    m[kHeaderSize + 8] = a.userMayGpio ? 1 : 0;
    m[kHeaderSize + 9] = a.userMaySerial ? 1 : 0;
  }
  return m;
}

Bytes VideoFrame(uint8_t frameType, uint8_t users, uint8_t motion,
                 uint32_t timestamp, uint32_t tag, const uint8_t* payload,
                 size_t size) {
  size = std::min(size, kMaxPayload);
  Bytes m = Message(0x01, 0x01, std::max<size_t>(size, 4),
                    static_cast<uint8_t>((frameType & 3) << 6 | (users & 0x3F)),
                    motion);
  m[6] = kMarker[0];
  m[7] = kMarker[1];
  PutLe32(&m[8], timestamp);
  if (size > 0) std::memcpy(&m[kHeaderSize], payload, size);
  PutLe32(&m[kHeaderSize], tag);
  return m;
}

Bytes AdpcmAudioFrame(uint8_t stepIndex, int16_t predictor, uint32_t timestamp,
                      const uint8_t* codes) {
  Bytes m = Message(0x01, 0x02, kAdpcmPayload, 0, stepIndex);
  PutLe16(&m[6], static_cast<uint16_t>(predictor));
  PutLe32(&m[8], timestamp);
  std::memcpy(&m[kHeaderSize], codes, kAdpcmPayload);
  return m;
}

Bytes G7231AudioFrame(uint32_t timestamp, const uint8_t* frame) {
  Bytes m = Message(0x01, 0x02, kG7231Payload);
  PutLe32(&m[8], timestamp);
  std::memcpy(&m[kHeaderSize], frame, kG7231Payload);
  return m;
}

Bytes CameraText(std::string_view text) {
  text = text.substr(0, kMaxPayload - 1);
  Bytes m = Message(0x01, 0x03, text.size() + 1, 0x01);
  std::memcpy(&m[kHeaderSize], text.data(), text.size());
  return m;
}

Bytes SioData(uint8_t port, const uint8_t* data, size_t count) {
  count = std::min<size_t>(count, 255);
  Bytes m = Message(0x01, 0x04, count, port);
  m[7] = static_cast<uint8_t>(count);
  if (count > 0) std::memcpy(&m[kHeaderSize], data, count);
  return m;
}

Bytes GpioInput(uint8_t value) {
  Bytes m = Message(0x01, 0x05);
  m[7] = value;
  return m;
}

Bytes MotionMaskUpdate(uint32_t mask) {
  Bytes m = Message(0x01, 0x07);
  PutLe32(&m[8], mask);
  return m;
}

Bytes ValueReport(int32_t value) {
  Bytes m = Message(0x01, 0x08);
  PutLe32(&m[8], static_cast<uint32_t>(value));
  return m;
}

Bytes EncModeUpdate(uint8_t mode) { return Message(0x01, 0x09, 0, mode); }

uint8_t FrameTypeOfPayload(const uint8_t* p, size_t size) {
  static constexpr uint8_t kVopStart[4] = {0x00, 0x00, 0x01, 0xB6};
  for (size_t i = 4; i + 4 < size; ++i) {
    if (std::memcmp(p + i, kVopStart, 4) == 0) return (p[i + 4] >> 6) == 0 ? 2 : 1;
  }
  return 1;
}

std::array<uint8_t, kCredentialBlockSize> ScrambleCredentials(
    std::string_view user, std::string_view password, std::mt19937& rng) {
  std::array<uint8_t, kCredentialBlockSize> b{};
  for (auto& x : b) x = static_cast<uint8_t>(rng() % 255);
  auto copy16 = [&](std::string_view s, size_t at) {
    for (size_t i = 0; i < 16; ++i)
      b[at + i] = i < s.size() ? static_cast<uint8_t>(s[i]) : (i == s.size() ? 0 : b[at + i]);
  };
  copy16(user, 96);
  copy16(password, 112);
  for (size_t i = 0; i < 16; ++i) {
    b[96 + i] = static_cast<uint8_t>(b[96 + i] ^ b[16 + i] ^ static_cast<uint8_t>(~b[32 + i]));
    b[112 + i] = static_cast<uint8_t>(b[112 + i] ^ b[48 + i] ^ static_cast<uint8_t>(~b[64 + i]));
  }
  return b;
}

Bytes LoginRequest(std::string_view user, std::string_view password,
                   std::mt19937& rng, bool switchUser) {
  Bytes m = Message(0x10, switchUser ? 0x71 : 0x70, kCredentialBlockSize);
  auto block = ScrambleCredentials(user, password, rng);
  std::memcpy(&m[kHeaderSize], block.data(), block.size());
  return m;
}

Bytes StartEncoding(uint8_t code) { return Message(0x01, code); }
Bytes StopEncoding(uint8_t code) { return Message(0x01, code); }
Bytes GpioOutput(uint8_t value) { return Message(0x80, 0x83, 0, 0, value); }
Bytes SelectChannel(uint8_t channel, uint8_t update) {
  return Message(0x01, 0x08, 0, channel, update);
}

Bytes SioPut(uint8_t port, const uint8_t* data, size_t count) {
  count = std::min<size_t>(count, 254);
  size_t len = (count + 3) & ~size_t{1};
  Bytes m = Message(0x80, 0x82, len, 0x82);
  m[12] = port;
  m[13] = static_cast<uint8_t>(count);
  if (count > 0) std::memcpy(&m[14], data, count);
  return m;
}

Bytes TalkFrame(uint8_t stepIndex, int16_t predictor, uint32_t sequence,
                const uint8_t* codes) {
  Bytes m = Message(0x80, 0x81, kAdpcmPayload, 0, stepIndex);
  PutBe16(&m[6], static_cast<uint16_t>(predictor));
  PutLe32(&m[8], sequence);
  std::memcpy(&m[kHeaderSize], codes, kAdpcmPayload);
  return m;
}

Credentials DescrambleCredentials(const uint8_t* b) {
  Credentials c;
  uint8_t user[16], pass[16];
  for (size_t i = 0; i < 16; ++i) {
    user[i] = static_cast<uint8_t>(b[96 + i] ^ b[16 + i] ^ static_cast<uint8_t>(~b[32 + i]));
    pass[i] = static_cast<uint8_t>(b[112 + i] ^ b[48 + i] ^ static_cast<uint8_t>(~b[64 + i]));
  }
  c.user = TextOf(user, 16);
  c.password = TextOf(pass, 16);
  // Filler and mixing bytes are random values modulo 255.
  for (size_t i = 0; i < 96; ++i) {
    if (b[i] == 0xFF) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "credential byte %zu is 255 (not a value mod 255)", i);
      c.problem = buf;
      break;
    }
  }
  return c;
}

void CheckInbound(const uint8_t* msg, size_t size, Channel ch, LogEntry& e) {
  Problems pr;
  e.bytes.assign(msg, msg + size);
  if (size < kHeaderSize) {
    e.kind = InboundKind::Unknown;
    e.problem = "shorter than a header";
    return;
  }
  const uint8_t type = msg[0], sub = msg[1];
  auto plain = [&](InboundKind kind, Channel want) {
    e.kind = kind;
    pr.ExpectChannel(ch, want);
    pr.ExpectZero(msg, size, 2, kHeaderSize);
    pr.ExpectLength(size - kHeaderSize, 0);
  };
  if (type == 0x10 && (sub == 0x70 || sub == 0x71)) {
    e.kind = sub == 0x70 ? InboundKind::LoginRequest : InboundKind::SwitchUserRequest;
    pr.ExpectChannel(ch, Channel::Video);
    CheckCredentialsMessage(msg, size, pr, e);
  } else if (type == 0x01 && sub == 0x01) {
    plain(InboundKind::StartVideo, Channel::Video);
  } else if (type == 0x01 && sub == 0x02) {
    plain(InboundKind::StopVideo, Channel::Video);
  } else if (type == 0x01 && sub == 0x03) {
    plain(InboundKind::StartAudio, Channel::Audio);
  } else if (type == 0x01 && sub == 0x04) {
    plain(InboundKind::StopAudio, Channel::Audio);
  } else if (type == 0x01 && sub == 0x05) {
    e.kind = InboundKind::EncoderParams;
    pr.ExpectChannel(ch, Channel::Video);
    CheckEncoderParams(msg, size, pr, e);
  } else if (type == 0x01 && sub == 0x08) {
    e.kind = InboundKind::SelectChannel;
    pr.ExpectChannel(ch, Channel::Video);
    e.value = msg[2];
    e.value2 = msg[3];
    if (msg[2] > 3) pr.Add("channel above 3");
    pr.ExpectZero(msg, size, 6, kHeaderSize);
    pr.ExpectLength(size - kHeaderSize, 0);
  } else if (type == 0x80 && sub == 0x83) {
    e.kind = InboundKind::GpioOutput;
    pr.ExpectChannel(ch, Channel::Video);
    e.value = msg[3];
    pr.ExpectZero(msg, size, 2, 3);
    pr.ExpectZero(msg, size, 6, kHeaderSize);
    pr.ExpectLength(size - kHeaderSize, 0);
  } else if (type == 0x80 && sub == 0x82) {
    e.kind = InboundKind::SioPut;
    pr.ExpectChannel(ch, Channel::Video);
    CheckSioPut(msg, size, pr, e);
  } else if (type == 0x80 && sub == 0x81) {
    e.kind = InboundKind::TalkFrame;
    pr.ExpectChannel(ch, Channel::Audio);
    CheckTalkFrame(msg, size, pr, e);
  } else {
    e.kind = InboundKind::Unknown;
    char buf[48];
    std::snprintf(buf, sizeof buf, "unknown kind %02X %02X", type, sub);
    pr.Add(buf);
  }
  e.problem = pr.Take();
}

}  // namespace camsim::wire
