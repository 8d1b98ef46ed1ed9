// Half-pel motion compensation and border extension.
#pragma once

#include <cstdint>

#include "decoder_state.h"

namespace quenda {

// One kernel: predicts a square block from src (the reference sample at the
// vector's integer position) into dst; one stride serves both.
using McKernel = void (*)(const uint8_t* src, uint8_t* dst, int stride);

// Kernel index = 8 * (size 16) + 4 * rounding type + 2 * (dy & 1) + (dx & 1).
struct McKernelTable {
  McKernel k[16];
};
extern const McKernelTable kMcReference;
extern const McKernelTable kMcSse2;

int McKernelIndex(int size, int rounding, int dx, int dy);

// Chroma vector component from one luma vector component.
int ChromaVectorOne(int v);
// Chroma vector component from the sum of four luma vector components.
int ChromaVectorFour(int sum);

// Predicts one size x size block at (x, y) of a plane of picture size w x h
// (border samples beyond each edge) with vector (dx, dy) in half-pels.
// References beyond the stored border are clamped to the picture.
void MotionCompensateBlock(const uint8_t* ref, uint8_t* cur, int stride, int size, int x, int y, int dx, int dy,
                           int rounding, int w, int h, int border, const McKernelTable& kernels);

// The whole macroblock (luma, then U, then V) from the vectors in the store.
void MotionCompensateMacroblock(DecoderState& s, int mbX, int mbY, int mode);

// Replicates the picture's edge samples into its border.
void ExtendPlaneBorders(uint8_t* origin, int stride, int rows, int border);
// The border share of one size x size block at (x, y) of a w x h picture:
// what ExtendPlaneBorders writes from that block's samples (nothing for an
// inner block).
void ExtendBlockBorders(uint8_t* origin, int stride, int w, int h, int border, int x, int y, int size);

// Content tracking of the internal frame stores (see StoreTracking).
// Internal store (0 or 1) whose planes p are, or -1 for a caller's store.
int InternalStoreIndex(const DecoderState& s, const FramePlanes& p);
// After set-up: nothing known about either store.
void ResetStoreTracking(DecoderState& s);
// Before the first macroblock of a picture.
void BeginStoreTracking(DecoderState& s);
// A not-coded macroblock: the co-located reference macroblock, copied only
// when the current store does not hold it already.
void CopyNotCodedMacroblock(DecoderState& s, int mbX, int mbY);
// After a coded macroblock was written into the current picture.
void MacroblockWritten(DecoderState& s, int mbX, int mbY);
// After the last macroblock: the borders that the per-macroblock extension
// did not keep (all of them for a caller's store).
void ExtendPictureBorders(DecoderState& s);

}  // namespace quenda
