// Macroblock layer: side information, motion vectors with median
// prediction, and the per-picture macroblock loop.
#pragma once

#include "decoder_state.h"

namespace quenda {

inline constexpr int kMcbpcStuffing = -2;

// Packed cbpc << 4 | mb_type, kMcbpcStuffing for stuffing, -1 for no code
// (nothing consumed).
int DecodeMcbpc(BitReader& r, int parsingType);
// Intra pattern 0..15, or -1 for no code (nothing consumed).
int DecodeCbpy(BitReader& r);
// motion_code -32..32. The plain version reads the code bit by bit group.
int DecodeMotionCode(BitReader& r);
int DecodeMotionCodePlain(BitReader& r);
// Predicted component (0 x, 1 y) for luma block 0..3 of the current macroblock.
int PredictMotionVector(const DecoderState& s, int block, int component);
// Reads one vector (block -1: one vector for the whole macroblock).
void DecodeMotionVector(DecoderState& s, int block);

void DecodeMacroblock(DecoderState& s);
// Every macroblock of the picture, then the border extension.
void DecodeVopMacroblocks(DecoderState& s);

}  // namespace quenda
