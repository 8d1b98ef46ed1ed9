#include "g7231/postfilter.h"

#include "g7231/basic_ops.h"
#include "g7231/kernels.h"
#include "g7231/tables.h"
#include "g7231/vector_math.h"

namespace g7231 {
namespace {

constexpr int16_t kTiltWeight = static_cast<int16_t>(0xc000);  // -0.5

}  // namespace

int16_t FindBackwardLag(CG723& c, const int16_t* excitation, int16_t lag, int subframe) {
  if (lag > kPitchMax - 3) lag = kPitchMax - 3;
  const int16_t* target = excitation + kPitchMax + subframe * kSubframeLength;
  int16_t best = 0;
  int32_t bestCorrelation = 0;
  for (int i = lag - 3; i <= lag + 3; ++i) {
    const int32_t acc = Kernels().dotProduct(c, 0, target, target - i, kSubframeLength);
    if (acc > bestCorrelation) {
      bestCorrelation = acc;
      best = static_cast<int16_t>(-i);
    }
  }
  return best;
}

int16_t FindForwardLag(CG723& c, const int16_t* excitation, int16_t lag, int subframe) {
  if (lag > kPitchMax - 3) lag = kPitchMax - 3;
  const int16_t* target = excitation + kPitchMax + subframe * kSubframeLength;
  int16_t best = 0;
  int32_t bestCorrelation = 0;
  for (int i = lag - 3; i <= lag + 3; ++i) {
    int32_t acc = 0;
    if (subframe * kSubframeLength + kSubframeLength + i <= kFrameLength) {
      acc = Kernels().dotProduct(c, 0, target, target + i, kSubframeLength);
    }
    if (acc > bestCorrelation) {
      bestCorrelation = acc;
      best = static_cast<int16_t>(i);
    }
  }
  return best;
}

PitchPostfilter PitchPostfilterGain(CG723& c, int16_t lag, int16_t targetEnergy, int16_t correlation,
                                    int16_t lagEnergy) {
  PitchPostfilter pf{lag, 0, 0x7fff};
  const int16_t weight = kPitchPostfilterGainWeight[c.rate53 != 0 ? 1 : 0];

  int32_t acc0 = mul_l(c, targetEnergy, lagEnergy);
  acc0 = shr_l(c, acc0, 2);
  int32_t acc1 = mul_l(c, correlation, correlation);
  if (acc1 > acc0) {
    if (correlation >= lagEnergy) {
      pf.gain = weight;
    } else {
      pf.gain = divide_s(c, correlation, lagEnergy);
      pf.gain = mul_s(c, pf.gain, weight);
    }

    acc0 = dephigh_l(c, targetEnergy);
    acc0 = shr_l(c, acc0, 1);
    acc0 = mac_l(c, acc0, correlation, pf.gain);
    int16_t t = mul_s(c, pf.gain, pf.gain);
    acc1 = mul_l(c, lagEnergy, t);
    acc1 = shr_l(c, acc1, 1);
    acc0 = add_l(c, acc0, acc1);
    t = rnd_s(c, acc0);

    acc1 = dephigh_l(c, targetEnergy);
    acc0 = dephigh_l(c, t);
    acc1 = shr_l(c, acc1, 1);
    if (acc1 >= acc0) {
      t = 0x7fff;
    } else {
      t = div_l(c, acc1, t);
    }
    pf.scale = SqrtFixed(c, dephigh_l(c, t));
  } else {
    pf.gain = 0;
    pf.scale = 0x7fff;
  }
  pf.gain = mul_s(c, pf.gain, pf.scale);
  return pf;
}

PitchPostfilter PitchPostfilterParams(CG723& c, const int16_t* excitation, int16_t lag, int subframe) {
  const int16_t backward = FindBackwardLag(c, excitation, lag, subframe);
  const int16_t forward = FindForwardLag(c, excitation, lag, subframe);
  if (backward == 0 && forward == 0) return PitchPostfilter{0, 0, 0x7fff};

  const KernelTable& k = Kernels();
  const int16_t* target = excitation + kPitchMax + subframe * kSubframeLength;
  int32_t terms[5] = {0, 0, 0, 0, 0};
  terms[0] = k.dotProduct(c, 0, target, target, kSubframeLength);
  if (backward != 0) {
    terms[1] = k.dotProduct(c, 0, target, target + backward, kSubframeLength);
    terms[2] = k.dotProduct(c, 0, target + backward, target + backward, kSubframeLength);
  }
  if (forward != 0) {
    terms[3] = k.dotProduct(c, 0, target, target + forward, kSubframeLength);
    terms[4] = k.dotProduct(c, 0, target + forward, target + forward, kSubframeLength);
  }

  int32_t largest = 0;
  for (int32_t t : terms) {
    if (t > largest) largest = t;
  }
  const int16_t shift = normcnt_l(c, largest);
  int16_t scaled[5];
  for (int i = 0; i < 5; ++i) scaled[i] = high_s(c, shl_l(c, terms[i], shift));

  if (forward == 0) return PitchPostfilterGain(c, backward, scaled[0], scaled[1], scaled[2]);
  if (backward == 0) return PitchPostfilterGain(c, forward, scaled[0], scaled[3], scaled[4]);
  const int32_t backwardScore = mul_l(c, mulr_s(c, scaled[1], scaled[1]), scaled[4]);
  const int32_t forwardScore = mul_l(c, mulr_s(c, scaled[3], scaled[3]), scaled[2]);
  if (backwardScore > forwardScore) return PitchPostfilterGain(c, backward, scaled[0], scaled[1], scaled[2]);
  return PitchPostfilterGain(c, forward, scaled[0], scaled[3], scaled[4]);
}

void ApplyPitchPostfilter(CG723& c, int16_t* out, const int16_t* excitation, const PitchPostfilter& pf,
                          int subframe) {
  const int16_t* current = excitation + kPitchMax + subframe * kSubframeLength;
  int16_t* dst = out + subframe * kSubframeLength;
  for (int i = 0; i < kSubframeLength; ++i) {
    int32_t acc = mul_l(c, current[i], pf.scale);
    acc = mac_l(c, acc, current[pf.lag + i], pf.gain);
    dst[i] = rnd_s(c, acc);
  }
}

int32_t FormantPostfilter(CG723& c, int16_t* samples, const int16_t* lpc) {
  DecoderState& dec = c.decoderState;
  int16_t firCoef[kLpcOrder];
  int16_t iirCoef[kLpcOrder];
  for (int i = 0; i < kLpcOrder; ++i) {
    firCoef[i] = mulr_s(c, lpc[i], kPostfilterZero[i]);
    iirCoef[i] = mulr_s(c, lpc[i], kPostfilterPole[i]);
  }

  int16_t normalized[kSubframeLength];
  for (int i = 0; i < kSubframeLength; ++i) normalized[i] = samples[i];
  const int16_t shift = NormalizeVector(c, normalized, kSubframeLength);

  int32_t r1 = 0;
  int32_t r0 = mul_l(c, normalized[0], normalized[0]);
  for (int i = 1; i < kSubframeLength; ++i) {
    r1 = mac_l(c, r1, normalized[i], normalized[i - 1]);
    r0 = mac_l(c, r0, normalized[i], normalized[i]);
  }
  const int32_t energy = shr_l(c, r0, add_s(c, shl_s(c, shift, 1), 4));

  int16_t parcor = high_s(c, r0);
  if (parcor != 0) {
    r1 = shr_l(c, r1, 1);
    const int32_t sign = r1;
    r1 = absval_l(c, r1);
    parcor = div_l(c, r1, parcor);
    if (sign < 0) parcor = neg_s(c, parcor);
  }

  int32_t acc = dephigh_l(c, dec.tiltParcor);
  acc = msu_l(c, acc, dec.tiltParcor, 0x2000);
  acc = mac_l(c, acc, parcor, 0x2000);
  dec.tiltParcor = rnd_s(c, acc);

  const int16_t tilt = static_cast<int16_t>(mul_s(c, dec.tiltParcor, kTiltWeight) & 0xfffc);

  for (int i = 0; i < kSubframeLength; ++i) {
    acc = dephigh_l(c, samples[i]);
    acc = shr_l(c, acc, 2);
    for (int j = 0; j < kLpcOrder; ++j) acc = msu_l(c, acc, dec.postFirMemory[j], firCoef[j]);
    for (int j = kLpcOrder - 1; j > 0; --j) dec.postFirMemory[j] = dec.postFirMemory[j - 1];
    dec.postFirMemory[0] = samples[i];

    for (int j = 0; j < kLpcOrder; ++j) acc = mac_l(c, acc, dec.postIirMemory[j], iirCoef[j]);
    for (int j = kLpcOrder - 1; j > 0; --j) dec.postIirMemory[j] = dec.postIirMemory[j - 1];
    acc = shl_l(c, acc, 2);
    const int32_t filtered = acc;
    dec.postIirMemory[0] = rnd_s(c, acc);

    acc = mac_l(c, filtered, dec.postIirMemory[1], tilt);
    samples[i] = rnd_s(c, acc);
  }
  return energy;
}

int32_t SubframeEnergy(CG723& c, const int16_t* samples) {
  int32_t energy = 0;
  for (int i = 0; i < kSubframeLength; ++i) {
    const int16_t v = shr_s(c, samples[i], 2);
    energy = mac_l(c, energy, v, v);
  }
  return energy;
}

void ScaleGain(CG723& c, int16_t* samples, int32_t inputEnergy) {
  DecoderState& dec = c.decoderState;
  int32_t acc0 = inputEnergy;
  int32_t acc1 = SubframeEnergy(c, samples);
  int16_t gain;
  if (acc1 != 0 && acc0 != 0) {
    int16_t exp = normcnt_l(c, acc1);
    acc1 = shl_l(c, acc1, exp);
    const int16_t shift0 = normcnt_l(c, acc0);
    acc0 = shl_l(c, acc0, shift0);
    acc0 = shr_l(c, acc0, 1);
    exp = sub_s(c, exp, shift0);
    exp = add_s(c, exp, 1);
    exp = sub_s(c, 6, exp);
    if (exp < 0) exp = 0;
    gain = div_l(c, acc0, high_s(c, acc1));
    acc0 = dephigh_l(c, gain);
    acc0 = shr_l(c, acc0, exp);
    gain = SqrtFixed(c, acc0);
  } else {
    gain = 0x1000;
  }

  for (int i = 0; i < kSubframeLength; ++i) {
    int32_t acc = dephigh_l(c, dec.gainMemory);
    acc = msu_l(c, acc, dec.gainMemory, 0x0800);
    acc = mac_l(c, acc, gain, 0x0800);
    dec.gainMemory = rnd_s(c, acc);
    const int16_t factor = add_s(c, dec.gainMemory, shr_s(c, dec.gainMemory, 4));
    acc = mul_l(c, samples[i], factor);
    acc = shl_l(c, acc, 4);
    samples[i] = rnd_s(c, acc);
  }
}

}  // namespace g7231
