// Comfort noise for SID and untransmitted frames.
#pragma once

#include <cstdint>

#include "g7231/cg723.h"

namespace g7231 {

// 6-bit index of a frame energy (three segments, binary search in each).
int16_t QuantizeSidGain(CG723& c, int32_t energy);
// Comfort-noise gain of a 6-bit index.
int16_t DequantizeSidGain(CG723& c, int16_t index);

// Random adaptive and pulse excitation of one frame at the given gain; moves
// prevExcitation on by the 240 new samples. Writes the random lags and gains
// into params.
void RandomExcitation(CG723& c, int16_t gain, int16_t* prevExcitation, int16_t* out, int16_t* seed,
                      SpeechFrameParams& params);

// One SID (kind 2) or untransmitted (kind 0) frame: 240 excitation samples and
// four LPC sets.
void ComfortNoiseFrame(CG723& c, int16_t kind, SpeechFrameParams& params, int16_t* out, int16_t* lpc);

}  // namespace g7231
