#include "g7231/kernels.h"

#include "g7231/basic_ops.h"

namespace g7231 {
namespace {

constexpr int kTaps = 5;

void AdaptiveFilterReference(CG723& c, int16_t* out, const int16_t* past, const int16_t* taps) {
  for (int i = 0; i < kSubframeLength; ++i) {
    int32_t acc = 0;
    for (int j = 0; j < kTaps; ++j) acc = mac_l(c, acc, past[i + j], taps[j]);
    acc = shl_l(c, acc, 1);
    out[i] = rnd_s(c, acc);
  }
}

int32_t DotProductReference(CG723& c, int32_t acc, const int16_t* a, const int16_t* b, int n) {
  for (int i = 0; i < n; ++i) acc = mac_l(c, acc, a[i], b[i]);
  return acc;
}

void SynthesisReference(CG723& c, int16_t* samples, const int16_t* lpc, int16_t* memory, bool doubleOutput) {
  for (int i = 0; i < kSubframeLength; ++i) {
    int32_t acc = shr_l(c, dephigh_l(c, samples[i]), 3);
    for (int j = 0; j < kLpcOrder; ++j) acc = mac_l(c, acc, memory[j], lpc[j]);
    for (int j = kLpcOrder - 1; j > 0; --j) memory[j] = memory[j - 1];
    acc = shl_l(c, acc, 2);
    memory[0] = rnd_s(c, acc);
    samples[i] = doubleOutput ? shl_s(c, memory[0], 1) : memory[0];
  }
}

constexpr KernelTable kReference = {AdaptiveFilterReference, DotProductReference, SynthesisReference};

}  // namespace

const KernelTable& ReferenceKernels() { return kReference; }
const KernelTable& FastKernels() { return kReference; }

}  // namespace g7231
