// The camera's wire protocol: every message on both connections, in both
// directions, is a 12-byte header and a payload of at most 60000 bytes.
// Builders write the viewer's messages into a caller's buffer; every byte
// they do not name is zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/encoder_settings.h"

class CManage1DBUF;

namespace wire {

inline constexpr uint32_t kHeaderSize = 12;
inline constexpr uint32_t kMaxPayload = 60000;
inline constexpr uint32_t kMaxMessage = kHeaderSize + kMaxPayload;
inline constexpr uint32_t kSendBufferSize = 2000;  // room for the largest built message
inline constexpr uint32_t kCredentialBlockSize = 128;
inline constexpr uint32_t kLoginRequestSize = kHeaderSize + kCredentialBlockSize;
inline constexpr uint32_t kEncoderParamsSize = 48;
inline constexpr uint32_t kSioMaxBytes = 254;  // serial bytes per SioPut
inline constexpr uint8_t kVideoMarker0 = 0x1D;
inline constexpr uint8_t kVideoMarker1 = 0xDE;

// Payload length of a header: byte 4 * 256 + byte 5.
inline uint32_t ReadLength(const uint8_t* header) { return header[4] * 256u + header[5]; }

inline uint32_t ReadLe32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint16_t ReadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void WriteLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline void WriteLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// What an incoming message is, from its header alone.
enum class MessageKind {
  LoginReply,
  AudioLoginReply,
  VideoFrame,
  AudioFrame,
  CameraText,
  SioData,
  GpioInput,
  MotionMaskUpdate,
  ValueReport,
  EncModeUpdate,
  Ignored,  // a known type with an unlisted subtype, or the video marker
  Invalid,  // any other type without the video marker
};

MessageKind ClassifyMessage(const uint8_t* header);

// Start/stop codes: 1 start video, 2 stop video, 3 start audio, 4 stop audio.
enum EncodingCode : uint8_t {
  kStartVideo = 1,
  kStopVideo = 2,
  kStartAudio = 3,
  kStopAudio = 4,
};

// The encoder settings as stored by the video channel (and the two values
// of the audio player and the renderer that travel with them).
struct EncoderValues {
  MPEG4ControlValues control;
  uint8_t encSpare[2] = {0, 0};
  uint8_t gpioOut = 0;
  uint8_t audmode = 0;
  uint16_t audsen = 0;
  uint32_t MotionGridMask = 0;
};

// Each returns the number of bytes written.
uint32_t BuildStartEncoding(uint8_t* buffer, uint8_t code);
uint32_t BuildStopEncoding(uint8_t* buffer, uint8_t code);
// flash set: byte 2 = 0 (the camera also stores the settings); clear: 1.
uint32_t BuildEncoderParams(const EncoderValues& values, uint8_t* buffer, bool flash);
uint32_t BuildGpioOutput(uint8_t* buffer, int32_t gpioOut);
uint32_t BuildSelectChannel(uint8_t* buffer, int32_t channelRequest, int32_t channelUpdate);
// Takes up to 254 bytes out of the port's transmit ring; 0 when it is empty.
uint32_t BuildSioPut(uint8_t port, CManage1DBUF& sioTx, uint8_t* buffer);

// Pseudo-random filler for the credential block.
class CredentialRandom {
 public:
  CredentialRandom();  // seeded from the system
  explicit CredentialRandom(uint64_t seed) : state_(seed ? seed : 1) {}
  uint8_t NextByte();  // 0..254

 private:
  uint64_t state_;
};

// Scrambles the first 16 bytes of a zero-terminated user id (field of 20
// bytes) and password into a 128-byte block.
void BuildCredentialBlock(const char* userId, const char* password, uint8_t* block, CredentialRandom& random);
// LoginRequest (switchUser false) or SwitchUserRequest; 140 bytes.
uint32_t BuildLoginMessage(uint8_t* buffer, bool switchUser, const char* userId, const char* password,
                           CredentialRandom& random);

}  // namespace wire
