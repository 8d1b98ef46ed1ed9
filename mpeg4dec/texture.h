// Block texture: intra DC/AC prediction, coefficient codes with their three
// escape modes, H.263 dequantisation, and the write into the picture.
#pragma once

#include <cstdint>

#include "decoder_state.h"

namespace quenda {

struct Coefficient {
  int last = -1, run = -1, level = -1;  // all -1: no code matched, the block ends
};

int ComputeDcScaler(int qp, bool luma);
int DecodeDcSizeLuma(BitReader& r);
int DecodeDcSizeChroma(BitReader& r);
int DecodeDcDifferential(BitReader& r, int size);
Coefficient DecodeIntraCoefficient(BitReader& r);
Coefficient DecodeInterCoefficient(BitReader& r);
int IntraLevelMax(int last, int run);
int InterLevelMax(int last, int run);
int IntraRunMax(int last, int level);
int InterRunMax(int last, int level);
int16_t DequantiseInter(int level, int qp);
// Neighbour's quantised AC value seen at quantiser qp (rounded to nearest,
// halves away from zero).
int RescaleAc(int value, int neighbourQp, int qp);

// A block's coefficient codes up to its last one, written at their scan
// positions (intra: from position 1, the values as coded; inter: from 0,
// dequantised). Returns the scan position after the last coefficient. The
// plain versions read code by code with the functions above.
int DecodeIntraCoefficients(BitReader& r, int16_t* c, const uint8_t* scan);
int DecodeInterCoefficients(BitReader& r, int16_t* c, int qp);
int DecodeIntraCoefficientsPlain(BitReader& r, int16_t* c, const uint8_t* scan);
int DecodeInterCoefficientsPlain(BitReader& r, int16_t* c, int qp);

// Invalidates DC/AC predictors left by non-intra neighbours (P pictures).
void ResetPredictionForMacroblock(DecoderState& s);

// Decode one block of the current macroblock into s.coeffs[block]
// (dequantised, not yet transformed). DecodeInterBlock returns false when
// the block carries nothing, so its residual is zero.
void DecodeIntraBlock(DecoderState& s, int block, bool coded);
bool DecodeInterBlock(DecoderState& s, int block, bool coded);

// Transform the block and write it into the current picture.
void PutIntraBlock(DecoderState& s, int block);
void AddInterBlock(DecoderState& s, int block);

}  // namespace quenda
