// One coded frame to 240 samples.
#pragma once

#include <cstdint>

#include "g7231/cg723.h"

namespace g7231 {

// Decodes 24 bytes into out[240] with the object's state; erased nonzero
// declares the frame lost. Returns 1.
int16_t DecodeFrame(CG723& c, int16_t* out, const uint8_t* in, int16_t erased);

}  // namespace g7231
