// Fixed- and adaptive-codebook excitation of one subframe.
#pragma once

#include <cstdint>

#include "g7231/cg723.h"

namespace g7231 {

// 60 pulse samples of subframe `index` at the rate of the last active frame.
void UnpackFixedCodebook(CG723& c, int16_t* out, const SubframeParams& params, int16_t lag, int index);

// Repeats the pulses of a 60-sample vector at every multiple of lag.
void RepeatPulseTrain(CG723& c, int16_t* vector, int16_t lag);

// 5.3 kbit/s pitch-sharpening lag and gain for an adaptive-codebook entry.
int16_t SharpeningLagGain(int16_t lag, int16_t gainIndex, int16_t* gain);

// 64 samples of history around `lag` (two before it), repeating the last
// period where the lag is shorter than the subframe.
void CopyPastExcitation(int16_t* out, const int16_t* history, int16_t lag);

// 60 samples of the five-tap adaptive-codebook contribution; history is the
// excitation buffer from the subframe's start (145 samples of past first).
void AdaptiveExcitation(CG723& c, int16_t* out, const int16_t* history, int16_t lag, int16_t lagDelta,
                        int16_t gainIndex);

}  // namespace g7231
