#include "g7231/conceal.h"

#include "g7231/basic_ops.h"
#include "g7231/kernels.h"
#include "g7231/vector_math.h"

namespace g7231 {
namespace {

constexpr int16_t kMaxErasures = 3;
constexpr int kVoicingSpan = 2 * kSubframeLength;  // last 120 samples
constexpr int16_t kConcealDecay = 0x6000;          // 0.75 per frame

}  // namespace

int16_t EstimateVoicing(CG723& c, int16_t* excitation, int16_t lag, int16_t* energy, int16_t* shift) {
  *shift = NormalizeVector(c, excitation, kExcitationLength);
  if (lag > kPitchMax - 3) lag = kPitchMax - 3;

  const KernelTable& k = Kernels();
  const int16_t* target = excitation + kExcitationLength - kVoicingSpan;
  int16_t best = lag;
  int32_t bestCorrelation = 0;
  for (int i = lag - 3; i <= lag + 3; ++i) {
    const int32_t correlation = k.dotProduct(c, 0, target, target - i, kVoicingSpan);
    if (correlation > bestCorrelation) {
      bestCorrelation = correlation;
      best = static_cast<int16_t>(i);
    }
  }

  const int16_t targetEnergy = rnd_s(c, k.dotProduct(c, 0, target, target, kVoicingSpan));
  *energy = targetEnergy;
  const int32_t lagEnergy = k.dotProduct(c, 0, target - best, target - best, kVoicingSpan);

  const int16_t correlation = rnd_s(c, bestCorrelation);
  if (correlation <= 0) return 0;
  int32_t acc = mul_l(c, rnd_s(c, lagEnergy), targetEnergy);
  acc = shr_l(c, acc, 3);
  acc = msu_l(c, acc, correlation, correlation);
  return acc < 0 ? best : int16_t{0};
}

void ConcealErasedFrame(CG723& c, int16_t* out, int16_t* excitation, int16_t lag, int16_t gain,
                        int16_t erasureCount, int16_t* seed) {
  if (erasureCount >= kMaxErasures) {
    for (int i = 0; i < kFrameLength; ++i) out[i] = 0;
    for (int i = 0; i < kExcitationLength; ++i) excitation[i] = 0;
    return;
  }
  if (lag != 0) {
    // Repeat the last period, one sample at a time so it can overlap itself.
    for (int i = 0; i < kFrameLength; ++i) excitation[kPitchMax + i] = excitation[kPitchMax - lag + i];
    for (int i = 0; i < kFrameLength; ++i) {
      excitation[kPitchMax + i] = mul_s(c, excitation[kPitchMax + i], kConcealDecay);
      out[i] = excitation[kPitchMax + i];
    }
    return;
  }
  for (int i = 0; i < kFrameLength; ++i) out[i] = mul_s(c, gain, NextRandom(seed));
  for (int i = 0; i < kExcitationLength; ++i) excitation[i] = 0;
}

}  // namespace g7231
