#include "g7231/excitation.h"

#include "g7231/basic_ops.h"
#include "g7231/kernels.h"
#include "g7231/tables.h"

namespace g7231 {
namespace {

constexpr int kMaxPulses = 6;
constexpr int kGridStep = 2;
constexpr int kGridPositions = kSubframeLength / kGridStep;  // 30
constexpr int kTaps = 5;
constexpr int16_t kLongLag = kSubframeLength - 2;  // 58

void UnpackPulses63(CG723& c, int16_t* out, const SubframeParams& params, int16_t lag, int index) {
  if (params.pulsePositions >= kPositionLimit[index]) return;
  const int16_t amplitude = kFixedCbGain[params.fixedGainIndex];
  int32_t code = params.pulsePositions;
  int j = kMaxPulses - kPulsesPerSubframe[index];
  for (int i = 0; i < kGridPositions; ++i) {
    code -= kCombinatorial[j][i];
    if (code >= 0) continue;
    code += kCombinatorial[j][i];
    ++j;
    const bool negative = (params.pulseSigns & (1 << (kMaxPulses - j))) != 0;
    out[params.grid + kGridStep * i] = negative ? static_cast<int16_t>(-amplitude) : amplitude;
    if (j == kMaxPulses) break;
  }
  if (params.pulseTrain == 1) RepeatPulseTrain(c, out, lag);
}

void UnpackPulses53(CG723& c, int16_t* out, const SubframeParams& params, int16_t lag) {
  const int16_t amplitude = kFixedCbGain[params.fixedGainIndex];
  int32_t positions = params.pulsePositions;
  int signs = params.pulseSigns;
  for (int i = 0; i < 4; ++i) {
    const int position = (positions & 7) * 8 + 2 * i + params.grid;
    positions >>= 3;
    // The last track can point past the subframe; such a pulse is dropped.
    if (position < kSubframeLength) {
      out[position] = (signs & 1) != 0 ? amplitude : static_cast<int16_t>(-amplitude);
    }
    signs >>= 1;
  }

  int16_t gain = 0;
  const int16_t sharpLag = SharpeningLagGain(
      static_cast<int16_t>(lag - 1 + params.adaptiveLagDelta), params.adaptiveGainIndex, &gain);
  if (sharpLag < kLongLag) {
    for (int i = sharpLag; i < kSubframeLength; ++i) {
      out[i] = add_s(c, out[i], mul_s(c, out[i - sharpLag], gain));
    }
  }
}

}  // namespace

void UnpackFixedCodebook(CG723& c, int16_t* out, const SubframeParams& params, int16_t lag, int index) {
  for (int i = 0; i < kSubframeLength; ++i) out[i] = 0;
  if (c.rate53 == 0) {
    UnpackPulses63(c, out, params, lag, index);
  } else {
    UnpackPulses53(c, out, params, lag);
  }
}

void RepeatPulseTrain(CG723& c, int16_t* vector, int16_t lag) {
  int16_t original[kSubframeLength];
  for (int i = 0; i < kSubframeLength; ++i) original[i] = vector[i];
  for (int16_t offset = lag; offset < kSubframeLength; offset = add_s(c, offset, lag)) {
    for (int i = offset; i < kSubframeLength; ++i) vector[i] = add_s(c, vector[i], original[i - offset]);
  }
}

int16_t SharpeningLagGain(int16_t lag, int16_t gainIndex, int16_t* gain) {
  *gain = kSharpeningGain[gainIndex];
  return static_cast<int16_t>(lag + kSharpeningLagOffset[gainIndex]);
}

void CopyPastExcitation(int16_t* out, const int16_t* history, int16_t lag) {
  constexpr int kHalf = kTaps / 2;
  for (int i = 0; i < kHalf; ++i) out[i] = history[kPitchMax - lag - kHalf + i];
  // i % lag without a division per sample: the lag is at least 17.
  const int16_t* period = history + kPitchMax - lag;
  for (int i = 0, k = 0; i < kSubframeLength + kHalf; ++i, ++k) {
    if (k == lag) k = 0;
    out[kHalf + i] = period[k];
  }
}

void AdaptiveExcitation(CG723& c, int16_t* out, const int16_t* history, int16_t lag, int16_t lagDelta,
                        int16_t gainIndex) {
  int16_t past[kSubframeLength + kTaps - 1];
  CopyPastExcitation(past, history, static_cast<int16_t>(lag - 1 + lagDelta));
  const bool shortTable = c.rate53 == 0 && lag < kLongLag;
  const int16_t* taps = shortTable ? kAcbGain85[gainIndex] : kAcbGain170[gainIndex];
  Kernels().adaptiveFilter(c, out, past, taps);
}

}  // namespace g7231
