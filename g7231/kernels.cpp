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

void ScaleVectorReference(CG723& c, int16_t* v, int n, int16_t factor) {
  for (int i = 0; i < n; ++i) v[i] = low_s(c, shr_l(c, mul_l(c, v[i], factor), 4));
}

// The fast versions sum exactly in 64 bits and keep the result only when no
// partial sum of the reference order left the 32-bit range (then no step
// saturated and the flag stays as it was); otherwise they redo the step with
// the saturating operators.

// Nonzero when s lies outside the 32-bit range.
inline uint64_t OutOfRange(int64_t s) { return static_cast<uint64_t>(s + 0x80000000LL) >> 32; }

bool HasMin16(const int16_t* v, int n) {
  bool found = false;
  for (int i = 0; i < n; ++i) found |= v[i] == INT16_MIN;
  return found;
}

void AdaptiveFilterFast(CG723& c, int16_t* out, const int16_t* past, const int16_t* taps) {
  // -32768 x -32768 saturates the product itself.
  if (HasMin16(taps, kTaps)) {
    AdaptiveFilterReference(c, out, past, taps);
    return;
  }
  const int64_t t0 = 2 * taps[0], t1 = 2 * taps[1], t2 = 2 * taps[2], t3 = 2 * taps[3], t4 = 2 * taps[4];
  for (int i = 0; i < kSubframeLength; ++i) {
    const int16_t* p = past + i;
    int64_t s = p[0] * t0;
    uint64_t bad = OutOfRange(s);
    s += p[1] * t1;
    bad |= OutOfRange(s);
    s += p[2] * t2;
    bad |= OutOfRange(s);
    s += p[3] * t3;
    bad |= OutOfRange(s);
    s += p[4] * t4;
    bad |= OutOfRange(s);
    int32_t acc;
    if (bad != 0) [[unlikely]] {
      acc = 0;
      for (int j = 0; j < kTaps; ++j) acc = mac_l(c, acc, p[j], taps[j]);
    } else {
      acc = static_cast<int32_t>(s);
    }
    out[i] = rnd_s(c, shl_l(c, acc, 1));
  }
}

int32_t DotProductFast(CG723& c, int32_t acc, const int16_t* a, const int16_t* b, int n) {
  // Cheap test first: if the sum of magnitudes stays in range, so does every
  // partial sum, and no product can be the saturating -32768 x -32768.
  int64_t sum = 0;
  int64_t magnitude = 0;
  for (int i = 0; i < n; ++i) {
    const int32_t p = int32_t{a[i]} * b[i];
    sum += p;
    magnitude += p < 0 ? -int64_t{p} : int64_t{p};
  }
  const int64_t start = acc;
  if ((start < 0 ? -start : start) + 2 * magnitude <= INT32_MAX) return static_cast<int32_t>(start + 2 * sum);

  if (HasMin16(a, n) && HasMin16(b, n)) return DotProductReference(c, acc, a, b, n);
  int64_t s = acc;
  uint64_t bad = 0;
  for (int i = 0; i < n; ++i) {
    s += 2 * int64_t{a[i]} * b[i];
    bad |= OutOfRange(s);
  }
  if (bad != 0) return DotProductReference(c, acc, a, b, n);
  return static_cast<int32_t>(s);
}

// Sum of one synthesis sample in the reference order: exact in 64 bits when
// no partial sum leaves the range, else with the saturating operators.
int32_t SynthesisSum(CG723& c, int16_t x, const int16_t* h, const int16_t* lpc, const int64_t* a) {
  int64_t s = int64_t{x} * 8192;
  uint64_t bad = 0;
  for (int j = 0; j < kLpcOrder; ++j) {
    s += h[-j] * a[j];
    bad |= OutOfRange(s);
  }
  if (bad == 0) return static_cast<int32_t>(s);
  int32_t acc = shr_l(c, dephigh_l(c, x), 3);
  for (int j = 0; j < kLpcOrder; ++j) acc = mac_l(c, acc, h[-j], lpc[j]);
  return acc;
}

void SynthesisFast(CG723& c, int16_t* samples, const int16_t* lpc, int16_t* memory, bool doubleOutput) {
  if (HasMin16(lpc, kLpcOrder)) {
    SynthesisReference(c, samples, lpc, memory, doubleOutput);
    return;
  }
  int64_t a[kLpcOrder];
  for (int j = 0; j < kLpcOrder; ++j) a[j] = 2 * lpc[j];
  // history[9 - j] holds memory[j]; new outputs follow, so the window of
  // sample i ends at history[i + 9] with its most recent value.
  int16_t history[kLpcOrder + kSubframeLength];
  for (int j = 0; j < kLpcOrder; ++j) history[kLpcOrder - 1 - j] = memory[j];
  for (int i = 0; i < kSubframeLength; ++i) {
    const int16_t* h = history + i + kLpcOrder - 1;
    // The older nine terms first, so only the newest one waits for the
    // previous output; the magnitude sum bounds every partial sum.
    const int64_t x = int64_t{samples[i]} * 8192;  // dephigh_l then shr_l by 3: exact
    int64_t older = x;
    int64_t magnitude = x < 0 ? -x : x;
    for (int j = 1; j < kLpcOrder; ++j) {
      const int64_t t = h[-j] * a[j];
      older += t;
      magnitude += t < 0 ? -t : t;
    }
    const int64_t newest = h[0] * a[0];
    magnitude += newest < 0 ? -newest : newest;
    int32_t acc;
    if (magnitude <= INT32_MAX) [[likely]] {
      acc = static_cast<int32_t>(older + newest);
    } else {
      acc = SynthesisSum(c, samples[i], h, lpc, a);
    }
    const int16_t y = rnd_s(c, shl_l(c, acc, 2));
    history[kLpcOrder + i] = y;
    samples[i] = doubleOutput ? shl_s(c, y, 1) : y;
  }
  for (int j = 0; j < kLpcOrder; ++j) memory[j] = history[kLpcOrder + kSubframeLength - 1 - j];
}

void ScaleVectorFast(CG723& c, int16_t* v, int n, int16_t factor) {
  // Only -32768 x -32768 saturates mul_l; a positive factor never does.
  if (factor <= 0) {
    ScaleVectorReference(c, v, n, factor);
    return;
  }
  for (int i = 0; i < n; ++i) v[i] = static_cast<int16_t>((2 * int32_t{v[i]} * factor) >> 4);
}

constexpr KernelTable kReference = {AdaptiveFilterReference, DotProductReference, SynthesisReference,
                                    ScaleVectorReference};
constexpr KernelTable kFast = {AdaptiveFilterFast, DotProductFast, SynthesisFast, ScaleVectorFast};

}  // namespace

const KernelTable& ReferenceKernels() { return kReference; }
const KernelTable& FastKernels() { return kFast; }

}  // namespace g7231
