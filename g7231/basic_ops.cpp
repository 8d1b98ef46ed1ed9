#include "g7231/basic_ops.h"

namespace g7231 {

int16_t divide_s(CG723& c, int16_t a, int16_t b) {
  if (a > b || a < 0 || b < 0) return 0;
  if (b == 0) return 0;
  if (a == 0) return 0;
  if (a == b) return 32767;
  int32_t num = a;
  const int32_t denom = b;
  int16_t quotient = 0;
  for (int i = 0; i < 15; ++i) {
    quotient = static_cast<int16_t>(quotient * 2);
    num *= 2;
    if (num >= denom) {
      num = sub_l(c, num, denom);
      quotient = add_s(c, quotient, 1);
    }
  }
  return quotient;
}

int16_t div_l(CG723& c, int32_t x, int16_t b) {
  if (b == 0) return 0;
  if (x < 0 || b < 0) return 0;
  int32_t denom = dephigh_l(c, b);
  if (x >= denom) return 32767;
  x = shr_l(c, x, 1);
  denom = shr_l(c, denom, 1);
  int16_t quotient = 0;
  for (int i = 0; i < 15; ++i) {
    quotient = shl_s(c, quotient, 1);
    x = shl_l(c, x, 1);
    if (x >= denom) {
      x = sub_l(c, x, denom);
      quotient = add_s(c, quotient, 1);
    }
  }
  return quotient;
}

}  // namespace g7231
