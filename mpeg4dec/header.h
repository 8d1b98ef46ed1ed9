// Picture (VOP) header. The layer parameters the picture syntax depends on
// are fixed (rectangular, progressive, 5-bit vop_time_increment, 5-bit
// vop_quant, H.263 quantisation), so no layer header is ever parsed.
#pragma once

#include "decoder_state.h"

namespace quenda {

inline constexpr uint32_t kVopStartCode = 0xB6;
inline constexpr int kTimeIncrementBits = 5;

// Searches the next start code and reads the picture header into s.vop and
// s.qp. Returns 1 for a picture header, 0 for any other start code or when
// the bounded input ends first.
int ParseVopHeader(DecoderState& s);

}  // namespace quenda
