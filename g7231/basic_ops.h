// Saturating fixed-point operators. Each records saturation in the object it
// is given, so decoders on different threads never share a flag. They are
// inline and branch-light: the decoder spends most of its time in them.
#pragma once

#include <cstdint>

#include "g7231/cg723.h"

namespace g7231 {

constexpr int32_t kMax32 = INT32_MAX;
constexpr int32_t kMin32 = INT32_MIN;

inline int16_t sat_s(CG723& c, int32_t x) {
  const int32_t r = x > 32767 ? 32767 : (x < -32768 ? -32768 : x);
  c.overflow = static_cast<int16_t>(r != x);
  return static_cast<int16_t>(r);
}

inline int16_t add_s(CG723& c, int16_t a, int16_t b) { return sat_s(c, int32_t{a} + b); }
inline int16_t sub_s(CG723& c, int16_t a, int16_t b) { return sat_s(c, int32_t{a} - b); }

inline int16_t absval_s(CG723&, int16_t a) {
  return a == INT16_MIN ? int16_t{32767} : static_cast<int16_t>(a < 0 ? -a : a);
}

inline int16_t neg_s(CG723&, int16_t a) {
  return a == INT16_MIN ? int16_t{32767} : static_cast<int16_t>(-a);
}

int16_t shl_s(CG723& c, int16_t a, int16_t n);

inline int16_t shr_s(CG723& c, int16_t a, int16_t n) {
  if (n < 0) return shl_s(c, a, static_cast<int16_t>(-int32_t{n} < 32767 ? -n : 32767));
  if (n >= 15) return a < 0 ? int16_t{-1} : int16_t{0};
  return static_cast<int16_t>(a >> n);
}

inline int16_t shl_s(CG723& c, int16_t a, int16_t n) {
  if (n < 0) return shr_s(c, a, static_cast<int16_t>(-int32_t{n} < 32767 ? -n : 32767));
  if (a == 0) return 0;
  if (n <= 15) {
    const int32_t r = int32_t{a} * (int32_t{1} << n);
    if (r == static_cast<int16_t>(r)) return static_cast<int16_t>(r);
  }
  c.overflow = 1;
  return a > 0 ? int16_t{32767} : int16_t{-32768};
}

inline int16_t mul_s(CG723& c, int16_t a, int16_t b) { return sat_s(c, (int32_t{a} * b) >> 15); }

inline int16_t mulr_s(CG723& c, int16_t a, int16_t b) {
  return sat_s(c, (int32_t{a} * b + 0x4000) >> 15);
}

inline int32_t mul_l(CG723& c, int16_t a, int16_t b) {
  const int32_t p = int32_t{a} * b;
  if (p == 0x40000000) [[unlikely]] {
    c.overflow = 1;
    return kMax32;
  }
  return p * 2;
}

inline int16_t high_s(CG723&, int32_t x) { return static_cast<int16_t>(x >> 16); }
inline int16_t low_s(CG723&, int32_t x) { return static_cast<int16_t>(x); }

inline int32_t add_l(CG723& c, int32_t x, int32_t y) {
  int32_t r;
  if (__builtin_add_overflow(x, y, &r)) [[unlikely]] {
    c.overflow = 1;
    return x < 0 ? kMin32 : kMax32;
  }
  return r;
}

inline int32_t sub_l(CG723& c, int32_t x, int32_t y) {
  int32_t r;
  if (__builtin_sub_overflow(x, y, &r)) [[unlikely]] {
    c.overflow = 1;
    return x < 0 ? kMin32 : kMax32;
  }
  return r;
}

inline int16_t rnd_s(CG723& c, int32_t x) { return high_s(c, add_l(c, x, 0x8000)); }

inline int32_t neg_l(CG723&, int32_t x) { return x == kMin32 ? kMax32 : -x; }
inline int32_t absval_l(CG723&, int32_t x) { return x == kMin32 ? kMax32 : (x < 0 ? -x : x); }

inline int32_t mac_l(CG723& c, int32_t x, int16_t a, int16_t b) { return add_l(c, x, mul_l(c, a, b)); }
inline int32_t msu_l(CG723& c, int32_t x, int16_t a, int16_t b) { return sub_l(c, x, mul_l(c, a, b)); }

int32_t shl_l(CG723& c, int32_t x, int16_t n);

inline int32_t shr_l(CG723& c, int32_t x, int16_t n) {
  if (n < 0) return shl_l(c, x, static_cast<int16_t>(-int32_t{n} < 32767 ? -n : 32767));
  if (n >= 31) return x < 0 ? -1 : 0;
  return x >> n;
}

// Doubling n times stops at the first step that would leave the range, so
// the result is either exact or saturated by the sign of x.
inline int32_t shl_l(CG723& c, int32_t x, int16_t n) {
  if (n <= 0) return shr_l(c, x, static_cast<int16_t>(-int32_t{n} < 32767 ? -n : 32767));
  if (x == 0) return 0;
  if (n < 32) {
    const int64_t r = int64_t{x} * (int64_t{1} << n);
    if (r >= kMin32 && r <= kMax32) return static_cast<int32_t>(r);
  }
  c.overflow = 1;
  return x < 0 ? kMin32 : kMax32;
}

inline int32_t dephigh_l(CG723&, int16_t a) { return int32_t{a} * 65536; }
inline int32_t deplow_l(CG723&, int16_t a) { return a; }

inline int32_t mul32x16_l(CG723& c, int32_t x, int16_t a) {
  const int32_t low = static_cast<int32_t>(static_cast<uint32_t>(x) & 0xffffu) * a;
  return mac_l(c, shr_l(c, low, 15), a, high_s(c, x));
}

inline int16_t normcnt_s(CG723&, int16_t a) {
  if (a == 0) return 0;
  if (a == -1) return 15;
  const uint32_t v = static_cast<uint32_t>(a < 0 ? ~int32_t{a} : int32_t{a});
  return static_cast<int16_t>(__builtin_clz(v) - 17);
}

inline int16_t normcnt_l(CG723&, int32_t x) {
  if (x == 0) return 0;
  if (x == -1) return 31;
  const uint32_t v = static_cast<uint32_t>(x < 0 ? ~x : x);
  return static_cast<int16_t>(__builtin_clz(v) - 1);
}

// Both divisions return 0 when their operands break the precondition (no
// caller of this decoder passes such operands).
int16_t divide_s(CG723& c, int16_t a, int16_t b);
int16_t div_l(CG723& c, int32_t x, int16_t b);

}  // namespace g7231
