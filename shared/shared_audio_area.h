// The named shared memory through which the talk-audio capture server hands
// microphone audio to every viewer on the machine. Little-endian, no locks:
// each field has the writers noted beside it.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr char kSharedAudioAreaName[] = "MEMSHAREMAPPING";
inline constexpr size_t kSharedAudioAreaSize = 132100;
inline constexpr int kTalkSlotCount = 100;

// 12-byte header and 120 bytes of IMA ADPCM for 240 samples.
struct AdpcmFrame {
  static constexpr size_t kSize = 132;
  static constexpr size_t kPayloadSize = 120;
  uint8_t bytes[kSize];
};

// 300 ms of talk audio, sent to the camera unchanged.
struct TalkSlot {
  static constexpr int kFrames = 10;
  AdpcmFrame frames[kFrames];
};
static_assert(sizeof(TalkSlot) == 1320);

struct SharedAudioArea {
  uint8_t viewerCount;     // 0: raised and lowered by every viewer
  uint8_t reserved1[7];
  int32_t writeSlot;       // 8: next slot the server fills, 0..99; server only
  int16_t showStatus;      // 12: status-window switch; any viewer
  uint16_t heartbeat;      // 14: raised by every viewer's link thread
  uint8_t reserved2[84];
  TalkSlot slots[kTalkSlotCount];  // 100
};
static_assert(offsetof(SharedAudioArea, writeSlot) == 8);
static_assert(offsetof(SharedAudioArea, showStatus) == 12);
static_assert(offsetof(SharedAudioArea, heartbeat) == 14);
static_assert(offsetof(SharedAudioArea, slots) == 100);
static_assert(sizeof(SharedAudioArea) == kSharedAudioAreaSize);
