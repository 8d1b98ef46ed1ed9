// Small numeric helpers shared by several stages.
#pragma once

#include <cstdint>

#include "g7231/cg723.h"

namespace g7231 {

// The 16-bit generator: seed := seed x 521 + 259 (mod 2^16); returns it.
int16_t NextRandom(int16_t* seed);

// A value from 0 to n-1 drawn from the generator.
int16_t RandomBelow(CG723& c, int16_t n, int16_t* seed);

// Scales the vector by a power of two so its peak sits just below 2^12;
// returns that shift (negative when the vector was scaled down).
int16_t NormalizeVector(CG723& c, int16_t* vector, int length);

// Largest r with 2 r^2 <= x, found bit by bit (14 bits, from 0x4000 down).
int16_t SqrtFixed(CG723& c, int32_t x);

}  // namespace g7231
