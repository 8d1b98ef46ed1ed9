#include "g7231/vector_math.h"

#include "g7231/basic_ops.h"
#include "g7231/kernels.h"
#include "g7231/tables.h"

namespace g7231 {

int16_t NextRandom(int16_t* seed) {
  const uint32_t next = static_cast<uint32_t>(static_cast<uint16_t>(*seed)) * 521u + 259u;
  *seed = static_cast<int16_t>(static_cast<uint16_t>(next));
  return *seed;
}

int16_t RandomBelow(CG723& c, int16_t n, int16_t* seed) {
  return mul_s(c, static_cast<int16_t>(NextRandom(seed) & 0x7fff), n);
}

int16_t NormalizeVector(CG723& c, int16_t* vector, int length) {
  int16_t peak = 0;
  for (int i = 0; i < length; ++i) {
    const int16_t magnitude = absval_s(c, vector[i]);
    if (magnitude > peak) peak = magnitude;
  }
  const int16_t shift = normcnt_s(c, peak);
  Kernels().scaleVector(c, vector, length, kNormalizeShift[shift]);
  return sub_s(c, shift, 3);
}

int16_t SqrtFixed(CG723& c, int32_t x) {
  int16_t root = 0;
  int16_t bit = 0x4000;
  for (int i = 0; i < 14; ++i) {
    const int16_t trial = add_s(c, root, bit);
    if (x >= mul_l(c, trial, trial)) root = trial;
    bit = shr_s(c, bit, 1);
  }
  return root;
}

}  // namespace g7231
