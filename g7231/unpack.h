// Coded frame to parameter record.
#pragma once

#include <cstdint>

#include "g7231/cg723.h"

namespace g7231 {

// Reads n bits (first bit as bit 0) from the 192-entry bit array at *cursor,
// advancing the cursor. Reads past the end give zero bits.
int32_t ReadBits(const uint8_t* bits, int* cursor, int n);

// Unpacks 24 bytes. The kind (active, SID, untransmitted) is written only when
// the caller did not flag the frame lost. Sets rate53 for active frames.
SpeechFrameParams UnpackFrame(CG723& c, const uint8_t* in, int16_t erased, int16_t* kind);

}  // namespace g7231
