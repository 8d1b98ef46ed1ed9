// The single decoder instance. One loaded copy of the library is one decoder:
// all state lives in the static `DecoderState` below (hidden from other
// modules, so each copy of the shared library has its own).
#pragma once

#include <cstdint>

#include "bitreader.h"
#include "frame_store.h"

namespace quenda {

struct VopHeader {
  int codingType = 0;    // vop_coding_type as read: 0 I, 1 P, 2 B, 3 S
  int parsingType = 0;   // coding type selecting the macroblock syntax (B parsed as P)
  int coded = 0;
  int roundingType = 0;
  int fcode = 1;         // vop_fcode_forward
};

struct MacroblockInfo {
  int notCoded = 0;
  int mbType = 0;        // 0 inter, 1 inter+dquant, 2 four vectors, 3 intra, 4 intra+dquant, 7 undecodable
  int cbpc = 0;
  int acPred = 0;
  int cbpy = 0;
  int cbp = 0;           // bit 5 luma block 0 ... bit 0 the V block
};

// Side-information stores: one border row above and border columns left and
// right, so neighbours of edge macroblocks need no tests.
inline constexpr int kMbStoreRows = kMaxMbRows + 1;        // 37
inline constexpr int kMbStoreCols = kMaxMbPerRow + 2;      // 47
inline constexpr int kLumaBlockRows = 2 * kMaxMbRows + 1;  // 73
inline constexpr int kLumaBlockCols = 2 * kMaxMbPerRow + 1;  // 91

struct AcLine {
  int16_t v[8];  // entries 0..6: coefficients 1..7 (row) or 8..56 (column)
};

struct SideInfo {
  int32_t mode[kMbStoreRows][kMbStoreCols];
  int32_t qp[kMaxMbRows][kQpStoreRowLength];
  // Motion vectors per luma block, half-pel units: [block][row][col].
  int32_t mvx[4][kMbStoreRows][kMbStoreCols];
  int32_t mvy[4][kMbStoreRows][kMbStoreCols];
  int16_t lumaDc[kLumaBlockRows][kLumaBlockCols];
  AcLine lumaAcRow[kLumaBlockRows][kLumaBlockCols];
  AcLine lumaAcCol[kLumaBlockRows][kLumaBlockCols];
  int16_t chromaDc[2][kMbStoreRows][kMbStoreCols];
  AcLine chromaAcRow[2][kMbStoreRows][kMbStoreCols];
  AcLine chromaAcCol[2][kMbStoreRows][kMbStoreCols];
};

// What the two internal frame stores hold, macroblock by macroblock: equal
// content ids at one position mean equal samples there, so a not-coded
// macroblock need not be copied when the current store already holds the
// reference's macroblock (the common case of a still background). Every write
// into an internal store updates its id; caller stores are not tracked.
struct StoreTracking {
  uint32_t content[2][kMaxMbRows][kMaxMbPerRow];
  bool wholeBorder[2];  // border not yet derived from the content: extend it all
  uint32_t stamp;       // content id of what the current picture writes
  int cur, ref;         // internal store index of the current picture's planes, or -1
};

struct DecoderState {
  bool initialised = false;

  // Geometry.
  int width = 0, height = 0;
  int mbPerRow = 0, mbRows = 0, mbCount = 0;
  int lumaStride = 0, lumaRows = 0, chromaStride = 0, chromaRows = 0;

  // Output.
  int outputBpp = 0;
  uint8_t* output = nullptr;
  int postProc = 0;
  uint32_t postProcFlags = 0;
  void* initOutput = nullptr;  // recorded by Decoder_Init_old, otherwise unused

  // Bit reader, picture header, macroblock position.
  BitReader reader;
  size_t nextInputBound = kUnbounded;  // set by DecoderSetInputSize, used by one call
  VopHeader vop;
  int qp = 1;
  int mbX = 0, mbY = 0;
  MacroblockInfo mb;
  int predictionDirection = 0;  // 1 from above, 0 from the left

  // Pictures.
  FramePlanes cur, ref, last;
  bool haveLast = false;
  uint8_t* storeBase[6] = {};  // Y cur, Y ref, U cur, U ref, V cur, V ref
  uint8_t* post[3] = {};       // post-processing planes

  StoreTracking tracking{};

  alignas(16) int16_t coeffs[6][64] = {};
  int coeffRows[6] = {};  // extent of each block for the transform (idct.h)

  SideInfo side{};
};

// The instance. Hidden visibility keeps every loaded copy separate.
extern DecoderState g_decoder;

}  // namespace quenda
