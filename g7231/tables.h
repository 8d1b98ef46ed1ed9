// Constant tables of the speech decoder, converted from the plain-data files
// by gen_tables.py into tables.cpp.
#pragma once

#include <cstdint>

namespace g7231 {

extern const int16_t kLspDc[10];
extern const int16_t kLspBand0[256][3];
extern const int16_t kLspBand1[256][3];
extern const int16_t kLspBand2[256][4];
extern const int16_t kCosine[512];
extern const int16_t kFixedCbGain[24];
extern const int16_t kAcbGain85[85][20];
extern const int16_t kAcbGain170[170][20];
extern const int16_t kSharpeningLagOffset[170];
extern const int16_t kSharpeningGain[170];
extern const int16_t kPulsesPerSubframe[4];
extern const int32_t kPositionLimit[4];
extern const int32_t kCombinatorial[6][30];
extern const int16_t kPostfilterZero[10];
extern const int16_t kPostfilterPole[10];
extern const int16_t kPitchPostfilterGainWeight[2];
extern const int16_t kSidGainWeight[4];
extern const int16_t kSidGainBase[3];
extern const int32_t kSidGainThreshold[3];
extern const int16_t kNormalizeShift[16];
extern const int16_t kCngLagOffset[4];

}  // namespace g7231
