#include "g7231/lsp.h"

#include "g7231/basic_ops.h"
#include "g7231/tables.h"

namespace g7231 {
namespace {

constexpr int16_t kPredictorGood = 0x3000;
constexpr int16_t kPredictorErased = 0x5c00;
constexpr int16_t kMinDistanceGood = 0x100;
constexpr int16_t kMinDistanceErased = 0x200;
constexpr int kStabilityPasses = 10;

// Index of the first coefficient and size of each band.
constexpr int kBandStart[3] = {0, 3, 6};
constexpr int kBandSize[3] = {3, 3, 4};

const int16_t* BandEntry(int band, int index) {
  switch (band) {
    case 0: return kLspBand0[index];
    case 1: return kLspBand1[index];
    default: return kLspBand2[index];
  }
}

}  // namespace

void DecodeLsp(CG723& c, int16_t* lsp, int16_t* prevLsp, int32_t lspIndex, int16_t erased) {
  int16_t minDistance = kMinDistanceGood;
  int16_t predictor = kPredictorGood;
  if (erased != 0) {
    lspIndex = 0;
    minDistance = kMinDistanceErased;
    predictor = kPredictorErased;
  }

  // The low byte indexes the highest band.
  for (int band = 2; band >= 0; --band) {
    const int16_t* entry = BandEntry(band, lspIndex & 0xff);
    lspIndex >>= 8;
    for (int j = 0; j < kBandSize[band]; ++j) lsp[kBandStart[band] + j] = entry[j];
  }

  for (int j = 0; j < kLpcOrder; ++j) prevLsp[j] = sub_s(c, prevLsp[j], kLspDc[j]);
  for (int j = 0; j < kLpcOrder; ++j) lsp[j] = add_s(c, lsp[j], mulr_s(c, prevLsp[j], predictor));
  for (int j = 0; j < kLpcOrder; ++j) {
    prevLsp[j] = add_s(c, prevLsp[j], kLspDc[j]);
    lsp[j] = add_s(c, lsp[j], kLspDc[j]);
  }

  bool unstable = false;
  for (int pass = 0; pass < kStabilityPasses; ++pass) {
    if (lsp[0] < 0x180) lsp[0] = 0x180;
    if (lsp[kLpcOrder - 1] > 0x7e00) lsp[kLpcOrder - 1] = 0x7e00;

    for (int j = 1; j < kLpcOrder; ++j) {
      int16_t gap = add_s(c, minDistance, lsp[j - 1]);
      gap = sub_s(c, gap, lsp[j]);
      if (gap > 0) {
        gap = shr_s(c, gap, 1);
        lsp[j - 1] = sub_s(c, lsp[j - 1], gap);
        lsp[j] = add_s(c, lsp[j], gap);
      }
    }

    unstable = false;
    for (int j = 1; j < kLpcOrder; ++j) {
      int16_t gap = add_s(c, lsp[j - 1], minDistance);
      gap = sub_s(c, gap, 4);
      gap = sub_s(c, gap, lsp[j]);
      if (gap > 0) unstable = true;
    }
    if (!unstable) break;
  }

  if (unstable) {
    for (int j = 0; j < kLpcOrder; ++j) lsp[j] = prevLsp[j];
  }
}

void InterpolateLsp(CG723& c, int16_t* lpc, const int16_t* currentLsp, const int16_t* prevLsp) {
  constexpr int16_t kStep = -32768 / kSubframes;
  int16_t weight = kStep;
  for (int i = 0; i < kSubframes; ++i) {
    int16_t* set = lpc + i * kLpcOrder;
    for (int j = 0; j < kLpcOrder; ++j) {
      int32_t acc = dephigh_l(c, prevLsp[j]);
      acc = mac_l(c, acc, weight, prevLsp[j]);
      acc = msu_l(c, acc, weight, currentLsp[j]);
      set[j] = rnd_s(c, acc);
    }
    LspToLpc(c, set);
    weight = add_s(c, weight, kStep);
  }
}

void LspToLpc(CG723& c, int16_t* lsp) {
  // Cosines by table look-up (bits 15..7) and linear interpolation (bits 6..0).
  for (int i = 0; i < kLpcOrder; ++i) {
    // Only a corrupt vector could go below zero; keep the look-up in range.
    const int j = lsp[i] < 0 ? 0 : shr_s(c, lsp[i], 7);
    int32_t acc = dephigh_l(c, kCosine[j]);
    const int16_t slope = sub_s(c, kCosine[j + 1], kCosine[j]);
    const int16_t fraction = add_s(c, shl_s(c, static_cast<int16_t>(lsp[i] & 0x7f), 8), 0x80);
    acc = mac_l(c, acc, slope, fraction);
    acc = shl_l(c, acc, 1);
    lsp[i] = neg_s(c, rnd_s(c, acc));
  }

  // Sum and difference polynomials without their real roots, Q27.
  int32_t p[kLpcOrder / 2 + 1];
  int32_t q[kLpcOrder / 2 + 1];
  p[0] = 0x10000000;
  p[1] = mul_l(c, lsp[0], 0x2000);
  p[1] = mac_l(c, p[1], lsp[2], 0x2000);
  p[2] = mul_l(c, lsp[0], lsp[2]);
  p[2] = shr_l(c, p[2], 1);
  p[2] = add_l(c, p[2], 0x20000000);

  q[0] = 0x10000000;
  q[1] = mul_l(c, lsp[1], 0x2000);
  q[1] = mac_l(c, q[1], lsp[3], 0x2000);
  q[2] = mul_l(c, lsp[1], lsp[3]);
  q[2] = shr_l(c, q[2], 1);
  q[2] = add_l(c, q[2], 0x20000000);

  for (int i = 2; i < kLpcOrder / 2; ++i) {
    const int16_t lp = lsp[2 * i];
    const int16_t lq = lsp[2 * i + 1];
    p[i + 1] = add_l(c, mul32x16_l(c, p[i], lp), p[i - 1]);
    q[i + 1] = add_l(c, mul32x16_l(c, q[i], lq), q[i - 1]);

    for (int j = i; j >= 2; --j) {
      int32_t acc = mul32x16_l(c, p[j - 1], lp);
      acc = add_l(c, acc, shr_l(c, p[j], 1));
      acc = add_l(c, acc, shr_l(c, p[j - 2], 1));
      p[j] = acc;

      acc = mul32x16_l(c, q[j - 1], lq);
      acc = add_l(c, acc, shr_l(c, q[j], 1));
      acc = add_l(c, acc, shr_l(c, q[j - 2], 1));
      q[j] = acc;
    }

    p[0] = shr_l(c, p[0], 1);
    q[0] = shr_l(c, q[0], 1);

    int32_t acc = dephigh_l(c, lp);
    acc = shr_l(c, acc, static_cast<int16_t>(i));
    acc = add_l(c, acc, p[1]);
    p[1] = shr_l(c, acc, 1);

    acc = dephigh_l(c, lq);
    acc = shr_l(c, acc, static_cast<int16_t>(i));
    acc = add_l(c, acc, q[1]);
    q[1] = shr_l(c, acc, 1);
  }

  // A(z) = (P(z)(1 + 1/z) + Q(z)(1 - 1/z)) / 2.
  for (int i = 0; i < kLpcOrder / 2; ++i) {
    int32_t acc = add_l(c, p[i], p[i + 1]);
    acc = sub_l(c, acc, q[i]);
    acc = add_l(c, acc, q[i + 1]);
    acc = shl_l(c, acc, 3);
    lsp[i] = neg_s(c, rnd_s(c, acc));

    acc = add_l(c, p[i], p[i + 1]);
    acc = add_l(c, acc, q[i]);
    acc = sub_l(c, acc, q[i + 1]);
    acc = shl_l(c, acc, 3);
    lsp[kLpcOrder - 1 - i] = neg_s(c, rnd_s(c, acc));
  }
}

}  // namespace g7231
