#include "g7231/comfort_noise.h"

#include "g7231/basic_ops.h"
#include "g7231/excitation.h"
#include "g7231/lsp.h"
#include "g7231/tables.h"
#include "g7231/vector_math.h"

namespace g7231 {
namespace {

constexpr int kBlockPulses = 11;                     // pulses per 120-sample block
constexpr int kBlockLength = 2 * kSubframeLength;   // 120
constexpr int16_t kInverseBlockPulses = 2979;        // 1/11 in Q15
constexpr int16_t kPulseLimit = 10000;
constexpr int16_t kGainIndices = 50;

// Energy of the last active frame's excitation, on the quantiser's scale.
int32_t LastFrameEnergy(CG723& c, int16_t energy, int16_t shift) {
  const int16_t n = sub_s(c, 16, shl_s(c, shift, 1));
  const int32_t acc = shl_l(c, deplow_l(c, energy), n);
  return mul32x16_l(c, acc, kSidGainWeight[0]);
}

int32_t Level(CG723& c, int16_t segment, int16_t step, int16_t exponent) {
  const int16_t v = add_s(c, kSidGainBase[segment], shl_s(c, step, exponent));
  return mul_l(c, v, v);
}

// Draws the pulse positions, signs and grids of both blocks, and the lags and
// gains of the adaptive part.
void DrawRandomCodes(CG723& c, int16_t* seed, SpeechFrameParams& params, int16_t* positions, int16_t* signs) {
  params.openLoopLag[0] = static_cast<int16_t>(RandomBelow(c, 21, seed) + 123);
  params.openLoopLag[1] = static_cast<int16_t>(RandomBelow(c, 19, seed) + 123);
  for (int i = 0; i < kSubframes; ++i) {
    params.subframes[i].adaptiveGainIndex = static_cast<int16_t>(RandomBelow(c, kGainIndices, seed) + 1);
    params.subframes[i].adaptiveLagDelta = kCngLagOffset[i];
  }

  int16_t offset[kSubframes];
  int16_t* sign = signs;
  for (int block = 0; block < kSubframes / 2; ++block) {
    int16_t bits = RandomBelow(c, 1 << (kBlockPulses + 2), seed);
    offset[2 * block] = static_cast<int16_t>(bits & 1);
    bits = shr_s(c, bits, 1);
    offset[2 * block + 1] = add_s(c, kSubframeLength, static_cast<int16_t>(bits & 1));
    for (int i = 0; i < kBlockPulses; ++i) {
      *sign++ = shl_s(c, sub_s(c, static_cast<int16_t>(bits & 2), 1), 14);
      bits = shr_s(c, bits, 1);
    }
  }

  int16_t* position = positions;
  for (int sub = 0; sub < kSubframes; ++sub) {
    int16_t free[kSubframeLength / 2];
    for (int i = 0; i < kSubframeLength / 2; ++i) free[i] = static_cast<int16_t>(i);
    int16_t left = kSubframeLength / 2;
    for (int i = 0; i < kPulsesPerSubframe[sub]; ++i) {
      const int16_t j = RandomBelow(c, left, seed);
      *position++ = add_s(c, shl_s(c, free[j], 1), offset[sub]);
      left = sub_s(c, left, 1);
      free[j] = free[left];
    }
  }
}

// Pulse amplitude that brings the block's energy to the target gain: the root
// of x^2 + 2 b0 x + c of smaller magnitude (or -b0 without a real root).
int16_t SolvePulseAmplitude(CG723& c, const int16_t* block, const int16_t* positions, const int16_t* signs,
                            int16_t gain, int16_t* shiftOut) {
  int16_t peak = 0;
  for (int i = 0; i < kBlockLength; ++i) {
    const int16_t m = absval_s(c, block[i]);
    if (m > peak) peak = m;
  }
  int16_t shift = 0;
  if (peak != 0) {
    shift = sub_s(c, 4, normcnt_s(c, peak));
    if (shift < -2) shift = -2;
  }

  int16_t scaled[kBlockLength];
  int32_t energy = 0;
  for (int i = 0; i < kBlockLength; ++i) {
    scaled[i] = shr_s(c, block[i], shift);
    energy = mac_l(c, energy, scaled[i], scaled[i]);
  }

  int32_t acc = 0;
  for (int i = 0; i < kBlockPulses; ++i) acc = mac_l(c, acc, scaled[positions[i]], signs[i]);
  const int16_t crossTerm = high_s(c, shl_l(c, acc, 1));

  acc = mul_l(c, gain, kSubframeLength);
  acc = shr_l(c, acc, 6);
  const int16_t scaledGain = low_s(c, acc);
  acc = mul_l(c, scaledGain, gain);
  acc = shr_l(c, acc, add_s(c, shl_s(c, shift, 1), 4));

  acc = sub_l(c, energy, acc);
  const int32_t constant = mul32x16_l(c, acc, kInverseBlockPulses);

  const int16_t b0 = mulr_s(c, crossTerm, kInverseBlockPulses);
  acc = msu_l(c, constant, b0, b0);
  acc = neg_l(c, acc);

  int16_t x1;
  if (acc <= 0) {
    x1 = neg_s(c, b0);
  } else {
    const int16_t delta = SqrtFixed(c, acc);
    x1 = sub_s(c, delta, b0);
    const int16_t x2 = add_s(c, b0, delta);
    if (absval_s(c, x2) < absval_s(c, x1)) x1 = neg_s(c, x2);
  }
  *shiftOut = shift;
  return x1;
}

}  // namespace

int16_t QuantizeSidGain(CG723& c, int32_t energy) {
  if (energy >= kSidGainThreshold[2]) return 63;

  int16_t segment;
  int16_t steps;
  if (energy >= kSidGainThreshold[1]) {
    segment = 2;
    steps = 4;
  } else {
    steps = 3;
    segment = energy >= kSidGainThreshold[0] ? int16_t{1} : int16_t{0};
  }
  const int16_t exponent = add_s(c, segment, 1);
  int16_t j = shl_s(c, 1, steps);
  int16_t k = shr_s(c, j, 1);
  for (int i = 0; i < steps; ++i) {
    if (energy >= Level(c, segment, j, exponent)) {
      j = add_s(c, j, k);
    } else {
      j = sub_s(c, j, k);
    }
    k = shr_s(c, k, 1);
  }

  const int32_t above = sub_l(c, Level(c, segment, j, exponent), energy);
  const int16_t base = shl_s(c, segment, 4);
  if (above <= 0) {
    const int16_t j2 = add_s(c, j, 1);
    const int32_t below = sub_l(c, energy, Level(c, segment, j2, exponent));
    return above > below ? add_s(c, base, j) : add_s(c, base, j2);
  }
  const int16_t j2 = sub_s(c, j, 1);
  const int32_t below = sub_l(c, energy, Level(c, segment, j2, exponent));
  return above < below ? add_s(c, base, j) : add_s(c, base, j2);
}

int16_t DequantizeSidGain(CG723& c, int16_t index) {
  int16_t segment = shr_s(c, index, 4);
  // Indices 48..63 continue the top segment.
  if (segment == 3) segment = 2;
  if (segment < 0 || segment > 2) segment = segment < 0 ? int16_t{0} : int16_t{2};
  const int16_t step = sub_s(c, index, shl_s(c, segment, 4));
  int16_t gain = shl_s(c, step, add_s(c, segment, 1));
  gain = add_s(c, gain, kSidGainBase[segment]);
  return shl_s(c, gain, 5);
}

void RandomExcitation(CG723& c, int16_t gain, int16_t* prevExcitation, int16_t* out, int16_t* seed,
                      SpeechFrameParams& params) {
  int16_t positions[2 * kBlockPulses];
  int16_t signs[2 * kBlockPulses];
  DrawRandomCodes(c, seed, params, positions, signs);

  int16_t* block = out;
  const int16_t* position = positions;
  const int16_t* sign = signs;
  for (int b = 0; b < kSubframes / 2; ++b) {
    const SubframeParams& first = params.subframes[2 * b];
    const SubframeParams& second = params.subframes[2 * b + 1];
    const int16_t lag = params.openLoopLag[b];
    AdaptiveExcitation(c, block, prevExcitation, lag, first.adaptiveLagDelta, first.adaptiveGainIndex);
    AdaptiveExcitation(c, block + kSubframeLength, prevExcitation + kSubframeLength, lag,
                       second.adaptiveLagDelta, second.adaptiveGainIndex);

    int16_t shift = 0;
    const int16_t x1 = SolvePulseAmplitude(c, block, position, sign, gain, &shift);
    int16_t amplitude = shl_s(c, x1, add_s(c, shift, 1));
    if (amplitude > kPulseLimit) amplitude = kPulseLimit;
    if (amplitude < -kPulseLimit) amplitude = -kPulseLimit;
    for (int i = 0; i < kBlockPulses; ++i) {
      const int16_t j = *position++;
      block[j] = add_s(c, block[j], mul_s(c, amplitude, *sign++));
    }

    for (int i = kBlockLength; i < kPitchMax; ++i) prevExcitation[i - kBlockLength] = prevExcitation[i];
    for (int i = 0; i < kBlockLength; ++i) prevExcitation[kPitchMax - kBlockLength + i] = block[i];
    block += kBlockLength;
  }
}

void ComfortNoiseFrame(CG723& c, int16_t kind, SpeechFrameParams& params, int16_t* out, int16_t* lpc) {
  NoiseDecoderState& noise = c.noiseDecoderState;
  DecoderState& dec = c.decoderState;
  if (kind == kFrameSid) {
    noise.sidGain = DequantizeSidGain(c, params.subframes[0].fixedGainIndex);
    DecodeLsp(c, noise.sidLsp, dec.prevLsp, params.lspIndex, 0);
  } else if (noise.pastFrameType == kFrameActive) {
    // The SID frame after speech was not received: use the last frame's energy.
    const int32_t energy = LastFrameEnergy(c, noise.sidGain, noise.curGain);
    noise.sidGain = DequantizeSidGain(c, QuantizeSidGain(c, energy));
  }

  if (noise.pastFrameType == kFrameActive) {
    noise.curGain = noise.sidGain;
  } else {
    noise.curGain = high_s(c, add_l(c, mul_l(c, noise.curGain, 0x7000), mul_l(c, noise.sidGain, 0x1000)));
  }
  RandomExcitation(c, noise.curGain, dec.prevExcitation, out, &noise.noiseSeed, params);

  InterpolateLsp(c, lpc, noise.sidLsp, dec.prevLsp);
  for (int i = 0; i < kLpcOrder; ++i) dec.prevLsp[i] = noise.sidLsp[i];
}

}  // namespace g7231
