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

// Transform and write in one step; the block's contents are undefined after.
void IdctPutReference(int16_t* block, uint8_t* dst, int stride);
void IdctAddReference(int16_t* block, uint8_t* dst, int stride);
void IdctPutSse2(int16_t* block, uint8_t* dst, int stride);
void IdctAddSse2(int16_t* block, uint8_t* dst, int stride);
// The transform alone (for testing the packed version against the plain one).
void InverseDct8x8Sse2(int16_t* block);

}  // namespace quenda
