// Colour conversion of a decoded YUV 4:2:0 picture into the caller's RGB
// buffer, and the output step that deblocks first when post-processing is on.
//
// Output formats (the low 16 bits of the mode word):
//   kFormatRgb24BottomUp (0)  3 bytes B,G,R; picture row y in buffer row H-1-y
//   kFormatRgb565       (16)  one little-endian word (R>>3)<<11 | (G>>2)<<5 | B>>3
//   kFormatRgb24        (24)  3 bytes B,G,R, top-down
//   kFormatRgb32        (32)  4 bytes B,G,R,0, top-down
// The buffer has no header and no row padding: H rows of W * bytes-per-pixel
// bytes. Every one of the H rows is written, in every format.
//
// Arithmetic is integer and bit-exact: with H(x, c) = floor(x * c / 8192),
//   y = H(max(Y - 16, 0), 9576)
//   R = y + H(V - 128, 13123)
//   G = y + H(U - 128, -3218) + H(V - 128, -6686)
//   B = y + H(U - 128, 16591)
// each clamped to 0..255.
//
// How the decoder's output routines use this file (one call per picture):
//   RenderPicture:     RenderPlanes(current picture, post planes, ...)
//   RenderLastPicture: RenderPlanes(last decoded picture, post planes, ..., format)
// RenderPlanes deblocks into the post-processing planes when post-processing
// is on (see deblock.h), then converts those planes; otherwise it converts the
// picture's planes directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "frame_store.h"

namespace quenda {

inline constexpr int kFormatRgb24BottomUp = 0;
inline constexpr int kFormatRgb565 = 16;
inline constexpr int kFormatRgb24 = 24;
inline constexpr int kFormatRgb32 = 32;

// Bytes per output pixel of a format code; 0 for a code that writes nothing.
int BytesPerPixel(int format);

// The four converters share one parameter list. Planes are given by the
// address of their top-left picture sample and a row stride (chroma planes
// share one stride). width and height must be positive and even; otherwise
// nothing is written and the result is 0. The result is the number of rows
// written: always height.
int ConvertYuvToRgb32(const uint8_t* luma, int lumaStride, const uint8_t* u, const uint8_t* v,
                      int chromaStride, uint8_t* out, int width, int height);
int ConvertYuvToRgb24(const uint8_t* luma, int lumaStride, const uint8_t* u, const uint8_t* v,
                      int chromaStride, uint8_t* out, int width, int height);
int ConvertYuvToRgb24Flipped(const uint8_t* luma, int lumaStride, const uint8_t* u, const uint8_t* v,
                             int chromaStride, uint8_t* out, int width, int height);
int ConvertYuvToRgb565(const uint8_t* luma, int lumaStride, const uint8_t* u, const uint8_t* v,
                       int chromaStride, uint8_t* out, int width, int height);

// Converts by format code. Returns the rows written (height), or 0 when the
// format code is not one of the four above or the geometry is rejected
// (nothing written then).
int ConvertPicture(const FramePlanes& picture, uint8_t* out, int format, int width, int height);

// Everything the output step needs for one picture.
struct RenderRequest {
  FramePlanes picture;          // current (or last decoded) picture, bordered frame-store planes
  FramePlanes postPlanes;       // the three post-processing planes (strides width and width / 2)
  bool postProcessing = false;  // post-processing on
  uint32_t postProcFlags = 0;   // PostProcFlags (0x01..0x08 used)
  const int32_t* qpStore = nullptr;  // per-macroblock QP, rows of qpRowLength entries
  int qpRowLength = kQpStoreRowLength;
  int width = 0;
  int height = 0;
};

// Deblocks (when post-processing is on) and converts into out. Returns the
// rows written, or 0 when nothing was written (unknown format, null output,
// bad geometry, or post-processing on without planes or QP store).
int RenderPlanes(const RenderRequest& request, uint8_t* out, int format);

// Kernel table: converts two picture rows that share one chroma row. out0 and
// out1 are the output rows of luma rows y0 and y1 (any placement).
using ColourRowPairFn = void (*)(const uint8_t* y0, const uint8_t* y1, const uint8_t* u,
                                 const uint8_t* v, uint8_t* out0, uint8_t* out1, int width);
struct ColourKernels {
  const char* name;
  ColourRowPairFn rgb32;
  ColourRowPairFn rgb24;
  ColourRowPairFn rgb565;
};

// Plain C++ reference kernels.
const ColourKernels& PlainColourKernels();
// Every kernel table this build and CPU can run, plain first, best last.
// Used by tests and benchmarks.
std::span<const ColourKernels* const> AvailableColourKernels();
// The kernels the converters use (best available, chosen once).
const ColourKernels& ActiveColourKernels();

// ConvertPicture with a given kernel table.
int ConvertPictureWith(const ColourKernels& kernels, const FramePlanes& picture, uint8_t* out,
                       int format, int width, int height);

}  // namespace quenda
