// Deblocking post-processor: copies the picture to be shown into the three
// post-processing planes and smooths 8x8 block edges there. The frame stores
// themselves are never filtered, so prediction works on the unfiltered picture.
//
// Across each edge the ten samples v0..v9 of one line are taken, v0..v4 on the
// left (upper) side, v5..v9 on the right (lower) side. A mode decision per
// 4-row piece of a vertical edge, or per 8-column piece of a horizontal edge,
// picks the DC-offset filter (flat areas, 9-tap low-pass) or the default filter
// (corrects v4 and v5 only). The QP of an edge is that of the macroblock
// holding v5. Picture borders are never filtered; horizontal filtering
// (across vertical edges) comes before vertical filtering of the same samples.
//
// PostProcFlags: 0x01 luma vertical edges, 0x02 luma horizontal edges,
// 0x04 chroma vertical edges, 0x08 chroma horizontal edges; other bits have
// no effect. With no bit set the planes receive a plain copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quenda {

inline constexpr uint32_t kDeblockLumaVertical = 0x01;
inline constexpr uint32_t kDeblockLumaHorizontal = 0x02;
inline constexpr uint32_t kDeblockChromaVertical = 0x04;
inline constexpr uint32_t kDeblockChromaHorizontal = 0x08;

// src*: origins of the picture's planes, srcStride the luma stride (chroma
//   stride is half of it, as in the frame stores).
// dst*: the post-processing planes, dstStride the luma stride (width for the
//   packed planes; chroma stride is half of it). Every sample of the
//   width x height luma and width/2 x height/2 chroma picture is written.
// qpStore: one QP per macroblock, macroblock row r at qpStore + r * qpRowLength;
//   it must cover every macroblock of the picture (for 320 x 240: 15 rows of
//   at least 20 entries). Values outside 1..31 are tolerated.
// width and height must be positive and even (the decoder's are multiples of
//   16); otherwise nothing is done. Edges are filtered only inside whole
//   4-row strips and whole 8-column groups.
void PostProcessPicture(const uint8_t* srcY, const uint8_t* srcU, const uint8_t* srcV, int srcStride, uint8_t* dstY,
                        uint8_t* dstU, uint8_t* dstV, int dstStride, int width, int height, const int32_t* qpStore,
                        int qpRowLength, uint32_t flags);

// Kernel table. Rows are destination rows already copied.
struct DeblockKernels {
  const char* name;
  // Every vertical edge of `rows` rows (a multiple of 4; each 4-row strip
  // decides on its own) starting at `row0`, which is picture row firstRow.
  // QP of the edge at column x in row y is
  // qpStore[(y >> qpShift) * qpRowLength + (x >> qpShift)], qpShift 4 for
  // luma and 3 for chroma.
  void (*verticalEdges)(uint8_t* row0, int firstRow, int rows, int width, ptrdiff_t stride, const int32_t* qpStore,
                        int qpRowLength, int qpShift);
  // The horizontal edge above row `below` (v5 is that row, v0 five rows up),
  // for every whole group of 8 columns; QP of group x is qpRow[x >> qpShift].
  void (*horizontalEdge)(uint8_t* below, int width, ptrdiff_t stride, const int32_t* qpRow, int qpShift);
};

const DeblockKernels& PlainDeblockKernels();
// Every kernel table this build and CPU can run, plain first, best last.
std::span<const DeblockKernels* const> AvailableDeblockKernels();
const DeblockKernels& ActiveDeblockKernels();

// PostProcessPicture with a given kernel table.
void PostProcessPictureWith(const DeblockKernels& kernels, const uint8_t* srcY, const uint8_t* srcU,
                            const uint8_t* srcV, int srcStride, uint8_t* dstY, uint8_t* dstU, uint8_t* dstV,
                            int dstStride, int width, int height, const int32_t* qpStore, int qpRowLength,
                            uint32_t flags);

}  // namespace quenda
