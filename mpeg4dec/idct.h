// Integer inverse DCT (AP-922 weights: 32-bit row pass, saturating 16-bit
// column pass) and the pixel writers that follow it. The plain versions
// define the exact integers; faster variants must match them bit for bit.
#pragma once

#include <cstdint>

namespace quenda {

// In place: 64 coefficients (row-major) become 64 samples, unclamped.
void InverseDct8x8(int16_t* block);

// Pixel writers: clamp to 0..255 / saturating add then clamp.
void PutBlockClamp(const int16_t* block, uint8_t* dst, int stride);
void AddResidualClamp(const int16_t* block, uint8_t* dst, int stride);

// How much of a block may hold non-zero coefficients: kIdctDcOnly when only
// coefficient 0 may, otherwise the number of leading rows that may (1..8).
// The packed transforms skip the rest; the plain ones ignore it.
inline constexpr int kIdctDcOnly = 0;

// Transform and write in one step; the block's contents are undefined after.
void IdctPutReference(int16_t* block, uint8_t* dst, int stride, int rows);
void IdctAddReference(int16_t* block, uint8_t* dst, int stride, int rows);
void IdctPutSse2(int16_t* block, uint8_t* dst, int stride, int rows);
void IdctAddSse2(int16_t* block, uint8_t* dst, int stride, int rows);
// Only on processors with AVX2 (see dsp.h).
void IdctPutAvx2(int16_t* block, uint8_t* dst, int stride, int rows);
void IdctAddAvx2(int16_t* block, uint8_t* dst, int stride, int rows);
// The transform alone (for testing the packed version against the plain one).
void InverseDct8x8Sse2(int16_t* block, int rows = 8);
void InverseDct8x8Avx2(int16_t* block, int rows = 8);

}  // namespace quenda
