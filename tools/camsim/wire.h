// The simulator's own reading of the camera protocol: message builders for
// both directions (the viewer-to-camera ones serve raw test clients), the
// credential descramble, and the checks run on every inbound message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tools/camsim/camsim.h"

namespace camsim::wire {

inline constexpr size_t kHeaderSize = 12;
inline constexpr size_t kMaxPayload = 60000;
inline constexpr uint8_t kMarker[2] = {0x1D, 0xDE};
inline constexpr size_t kCredentialBlockSize = 128;
inline constexpr size_t kLoginPayload = 20;
inline constexpr size_t kAdpcmPayload = 120;
inline constexpr size_t kG7231Payload = 24;
inline constexpr size_t kTalkFrameSize = 132;

using Bytes = std::vector<uint8_t>;

inline uint16_t ReadLength(const uint8_t* h) {
  return static_cast<uint16_t>(h[4] << 8 | h[5]);
}
inline uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// A zeroed message of header + payloadSize bytes with type, subtype, bytes
// 2-3 and the length filled in.
Bytes Message(uint8_t type, uint8_t subtype, size_t payloadSize = 0,
              uint8_t b2 = 0, uint8_t b3 = 0);

// ---- camera to viewer ----
Bytes LoginReply(const LoginAnswer& answer, const LoginFields& fields,
                 uint8_t audioCodec);
Bytes AudioLoginReply(const LoginAnswer& answer);
// payload: 4 tag bytes + one VOP; the tag bytes are overwritten with `tag`.
Bytes VideoFrame(uint8_t frameType, uint8_t users, uint8_t motion,
                 uint32_t timestamp, uint32_t tag, const uint8_t* payload,
                 size_t size);
Bytes AdpcmAudioFrame(uint8_t stepIndex, int16_t predictor, uint32_t timestamp,
                      const uint8_t* codes);  // 120 bytes of codes
Bytes G7231AudioFrame(uint32_t timestamp, const uint8_t* frame);  // 24 bytes
Bytes CameraText(std::string_view text);
Bytes SioData(uint8_t port, const uint8_t* data, size_t count);
Bytes GpioInput(uint8_t value);
Bytes MotionMaskUpdate(uint32_t mask);
Bytes ValueReport(int32_t value);
Bytes EncModeUpdate(uint8_t mode);

// Frame type for header byte 2 bits 7-6 from the VOP coding type in a
// `.frames` payload (4 tag bytes, then 00 00 01 B6): 2 for an intra
// picture, 1 (droppable) otherwise.
uint8_t FrameTypeOfPayload(const uint8_t* payload, size_t size);

// ---- viewer to camera (for raw test clients) ----
std::array<uint8_t, kCredentialBlockSize> ScrambleCredentials(
    std::string_view user, std::string_view password, std::mt19937& rng);
Bytes LoginRequest(std::string_view user, std::string_view password,
                   std::mt19937& rng, bool switchUser = false);
Bytes StartEncoding(uint8_t code);  // 1 video, 3 audio
Bytes StopEncoding(uint8_t code);   // 2 video, 4 audio
Bytes GpioOutput(uint8_t value);
Bytes SelectChannel(uint8_t channel, uint8_t update);
Bytes SioPut(uint8_t port, const uint8_t* data, size_t count);
Bytes TalkFrame(uint8_t stepIndex, int16_t predictor, uint32_t sequence,
                const uint8_t* codes);

// ---- inbound checks ----
struct Credentials {
  std::string user, password;
  std::string problem;  // empty when the block is well formed
};
Credentials DescrambleCredentials(const uint8_t* block);

// Classifies one whole message (header + payload) received on `channel`,
// fills kind, decoded fields and problem of `entry`. Talk sequence
// continuity is checked by the caller, which knows the previous number.
void CheckInbound(const uint8_t* msg, size_t size, Channel channel,
                  LogEntry& entry);

}  // namespace camsim::wire
