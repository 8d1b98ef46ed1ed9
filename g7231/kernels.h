// Hot inner loops behind a small function table: a plain version written
// operator by operator, and a fast one checked against it bit for bit
// (results and overflow flag) by the tests.
#pragma once

#include <cstdint>

#include "g7231/cg723.h"

namespace g7231 {

struct KernelTable {
  // out[i] = rnd_s(shl_l(sum over 5 taps of mac_l(past[i + k], taps[k]), 1)), i < 60.
  void (*adaptiveFilter)(CG723& c, int16_t* out, const int16_t* past, const int16_t* taps);
  // acc after mac_l(acc, a[i], b[i]) for i = 0 .. n-1, in that order.
  int32_t (*dotProduct)(CG723& c, int32_t acc, const int16_t* a, const int16_t* b, int n);
  // LPC synthesis of 60 samples in place; doubles the output when asked.
  void (*synthesis)(CG723& c, int16_t* samples, const int16_t* lpc, int16_t* memory, bool doubleOutput);
  // v[i] = low_s(shr_l(mul_l(v[i], factor), 4)) for a power-of-two factor.
  void (*scaleVector)(CG723& c, int16_t* v, int n, int16_t factor);
};

const KernelTable& ReferenceKernels();
const KernelTable& FastKernels();
// The table the decoder runs with.
inline const KernelTable& Kernels() { return FastKernels(); }

}  // namespace g7231
