// Pitch postfilter, formant postfilter and gain scaling; they run only while
// the object's postfilter switch is on.
#pragma once

#include <cstdint>

#include "g7231/cg723.h"

namespace g7231 {

struct PitchPostfilter {
  int16_t lag;    // negative: backward, positive: forward, 0: off
  int16_t gain;   // weight of the lagged sample
  int16_t scale;  // weight of the current sample
};

int16_t FindBackwardLag(CG723& c, const int16_t* excitation, int16_t lag, int subframe);
int16_t FindForwardLag(CG723& c, const int16_t* excitation, int16_t lag, int subframe);
PitchPostfilter PitchPostfilterGain(CG723& c, int16_t lag, int16_t targetEnergy, int16_t correlation,
                                    int16_t lagEnergy);
// Parameters of one subframe from the (normalised) 385-sample excitation.
PitchPostfilter PitchPostfilterParams(CG723& c, const int16_t* excitation, int16_t lag, int subframe);
void ApplyPitchPostfilter(CG723& c, int16_t* out, const int16_t* excitation, const PitchPostfilter& pf,
                          int subframe);

// Filters 60 samples in place; returns the input energy for ScaleGain.
int32_t FormantPostfilter(CG723& c, int16_t* samples, const int16_t* lpc);
int32_t SubframeEnergy(CG723& c, const int16_t* samples);
void ScaleGain(CG723& c, int16_t* samples, int32_t inputEnergy);

}  // namespace g7231
