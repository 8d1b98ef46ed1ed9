// Voicing estimate of a good frame and concealment of lost active frames.
#pragma once

#include <cstdint>

#include "g7231/cg723.h"

namespace g7231 {

// Normalises the 385-sample excitation in place, stores the energy of its last
// 120 samples and the shift, and returns the concealment lag (0: unvoiced).
int16_t EstimateVoicing(CG723& c, int16_t* excitation, int16_t lag, int16_t* energy, int16_t* shift);

// Output and excitation of a lost active frame.
void ConcealErasedFrame(CG723& c, int16_t* out, int16_t* excitation, int16_t lag, int16_t gain,
                        int16_t erasureCount, int16_t* seed);

}  // namespace g7231
