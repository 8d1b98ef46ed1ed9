// Set-up, release, the decode order of one call, and the option dispatcher.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder_state.h"

namespace quenda {

inline constexpr int32_t kOptionSetup = 0x8000;
inline constexpr int32_t kOptionRelease = 0x10000;
inline constexpr int32_t kOptionPostProc = 0x20000;

inline constexpr int32_t kSetupOk = 0;
inline constexpr int32_t kSetupBadSize = 1;
inline constexpr int32_t kSetupNoMemory = -1;
inline constexpr int32_t kPostProcBadLevel = 2;

struct DecoderParams {
  int32_t width, height, outputFormat;
};
struct DecoderPostProcSetting {
  int32_t level;
};
struct DecoderFrameRequest {
  void* output;
  int32_t renderFlag;
};

// Allocation used for the frame stores; replaceable so tests can make it fail.
extern void* (*g_allocate)(size_t);

int32_t DecoderSetup(DecoderState& s, int width, int height);
void DecoderRelease(DecoderState& s);

// Level table: from the set-up option (level 0 leaves the flags, out of
// range returns kPostProcBadLevel) or from a mode word's high half.
int32_t ApplyPostProcLevel(DecoderState& s, int32_t level);
void ApplyModeLevel(DecoderState& s, uint32_t level);

// One picture from the reader's current position.
void DecodeVop(DecoderState& s, uint8_t* output, int renderFlag);

int32_t DecoderDispatch(int32_t handle, int32_t option, void* record, void* record2, void* output);

}  // namespace quenda
