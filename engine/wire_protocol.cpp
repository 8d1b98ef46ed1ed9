#include "engine/wire_protocol.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "engine/byte_ring.h"

namespace wire {

MessageKind ClassifyMessage(const uint8_t* h) {
  const bool marker = h[6] == kVideoMarker0 && h[7] == kVideoMarker1;
  if (h[0] == 0x10) {
    if (h[1] == 0x50) return MessageKind::LoginReply;
    if (h[1] == 0xA0) return MessageKind::AudioLoginReply;
    return MessageKind::Ignored;
  }
  if (h[0] == 0x01) {
    switch (h[1]) {
      case 0x01: return marker ? MessageKind::VideoFrame : MessageKind::Ignored;
      case 0x02: return MessageKind::AudioFrame;
      case 0x03: return h[2] == 0x01 ? MessageKind::CameraText : MessageKind::Ignored;
      case 0x04: return MessageKind::SioData;
      case 0x05: return MessageKind::GpioInput;
      case 0x07: return MessageKind::MotionMaskUpdate;
      case 0x08: return MessageKind::ValueReport;
      case 0x09: return MessageKind::EncModeUpdate;
      default: return MessageKind::Ignored;
    }
  }
  return marker ? MessageKind::Ignored : MessageKind::Invalid;
}

namespace {

void Header(uint8_t* buffer, uint8_t type, uint8_t subtype, uint8_t p2, uint8_t p3, uint16_t length) {
  std::memset(buffer, 0, kHeaderSize);
  buffer[0] = type;
  buffer[1] = subtype;
  buffer[2] = p2;
  buffer[3] = p3;
  buffer[4] = static_cast<uint8_t>(length >> 8);
  buffer[5] = static_cast<uint8_t>(length);
}

}  // namespace

uint32_t BuildStartEncoding(uint8_t* buffer, uint8_t code) {
  Header(buffer, 0x01, code, 0, 0, 0);
  return kHeaderSize;
}

uint32_t BuildStopEncoding(uint8_t* buffer, uint8_t code) {
  Header(buffer, 0x01, code, 0, 0, 0);
  return kHeaderSize;
}

uint32_t BuildEncoderParams(const EncoderValues& v, uint8_t* buffer, bool flash) {
  std::memset(buffer, 0, kEncoderParamsSize);
  Header(buffer, 0x01, 0x05, flash ? 0 : 1, 0, kEncoderParamsSize - kHeaderSize);
  WriteLe16(buffer + 12, v.control.maxbitrate);
  buffer[14] = v.control.maxfrmrate;
  buffer[15] = v.control.maxq;
  buffer[16] = v.control.minq;
  buffer[17] = v.control.intvlintra;
  WriteLe16(buffer + 18, v.control.motionsen);
  buffer[20] = v.control.EncMode;
  buffer[22] = v.gpioOut;
  buffer[23] = v.encSpare[0];
  buffer[24] = v.encSpare[1];
  buffer[25] = v.audmode;
  WriteLe16(buffer + 26, v.audsen);
  WriteLe32(buffer + 28, v.MotionGridMask);
  return kEncoderParamsSize;
}

uint32_t BuildGpioOutput(uint8_t* buffer, int32_t gpioOut) {
  Header(buffer, 0x80, 0x83, 0, static_cast<uint8_t>(gpioOut), 0);
  return kHeaderSize;
}

uint32_t BuildSelectChannel(uint8_t* buffer, int32_t channelRequest, int32_t channelUpdate) {
  Header(buffer, 0x01, 0x08, static_cast<uint8_t>(channelRequest), static_cast<uint8_t>(channelUpdate), 0);
  return kHeaderSize;
}

uint32_t BuildSioPut(uint8_t port, CManage1DBUF& sioTx, uint8_t* buffer) {
  const uint32_t c = std::min(sioTx.Count(), kSioMaxBytes);
  if (c == 0) return 0;
  const uint32_t length = (c + 3) & ~1u;
  Header(buffer, 0x80, 0x82, 0x82, 0, static_cast<uint16_t>(length));
  buffer[12] = port;
  buffer[13] = static_cast<uint8_t>(c);
  // Only this thread takes from the ring, so the c bytes counted are there.
  if (!sioTx.GetBytes(buffer + 14, c)) return 0;
  if (c & 1) buffer[14 + c] = 0;
  return length + kHeaderSize;
}

CredentialRandom::CredentialRandom() {
  std::random_device device;
  state_ = (uint64_t{device()} << 32) ^ device() ^ 0x9E3779B97F4A7C15ull;
  if (state_ == 0) state_ = 1;
}

uint8_t CredentialRandom::NextByte() {
  // xorshift64*: plenty for filler that only has to look random.
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  return static_cast<uint8_t>(((state_ * 0x2545F4914F6CDD1Dull) >> 32) % 255);
}

namespace {

// The first 16 bytes of a text field; what follows its end is zero.
void CopyText16(uint8_t* to, const char* text) {
  std::memset(to, 0, 16);
  if (text) std::memcpy(to, text, strnlen(text, 16));
}

}  // namespace

void BuildCredentialBlock(const char* userId, const char* password, uint8_t* block, CredentialRandom& random) {
  for (uint32_t i = 0; i < kCredentialBlockSize; ++i) block[i] = random.NextByte();
  CopyText16(block + 96, userId);
  CopyText16(block + 112, password);
  for (int i = 0; i < 16; ++i) {
    block[96 + i] = static_cast<uint8_t>(block[96 + i] ^ block[16 + i] ^ static_cast<uint8_t>(~block[32 + i]));
    block[112 + i] = static_cast<uint8_t>(block[112 + i] ^ block[48 + i] ^ static_cast<uint8_t>(~block[64 + i]));
  }
}

uint32_t BuildLoginMessage(uint8_t* buffer, bool switchUser, const char* userId, const char* password,
                           CredentialRandom& random) {
  Header(buffer, 0x10, switchUser ? 0x71 : 0x70, 0, 0, kCredentialBlockSize);
  BuildCredentialBlock(userId, password, buffer + kHeaderSize, random);
  return kLoginRequestSize;
}

}  // namespace wire
