// Frame-store geometry shared by every decoder stage and the output kernels.
//
// A frame store holds one YUV 4:2:0 picture with borders: 32 luma and 16
// chroma samples on every side, so motion vectors may point outside the
// picture. Plane pointers below always address the picture's top-left sample
// (the "origin"), never the start of the allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quenda {

inline constexpr int kLumaBorder = 32;
inline constexpr int kChromaBorder = 16;

// Largest picture the static side-information stores can hold.
inline constexpr int kMaxWidth = 720;
inline constexpr int kMaxHeight = 576;
inline constexpr int kMaxMbPerRow = kMaxWidth / 16;   // 45
inline constexpr int kMaxMbRows = kMaxHeight / 16;    // 36

// Quantiser store: one QP per macroblock, rows of this many entries.
inline constexpr int kQpStoreRowLength = 46;

constexpr int LumaStride(int width) { return width + 2 * kLumaBorder; }
constexpr int LumaStoredRows(int height) { return height + 2 * kLumaBorder; }
constexpr int ChromaStride(int width) { return (width + 2 * kLumaBorder) / 2; }
constexpr int ChromaStoredRows(int height) { return (height + 2 * kLumaBorder) / 2; }

constexpr size_t LumaPlaneBytes(int w, int h) { return size_t(LumaStride(w)) * size_t(LumaStoredRows(h)); }
constexpr size_t ChromaPlaneBytes(int w, int h) { return size_t(ChromaStride(w)) * size_t(ChromaStoredRows(h)); }

// Three plane origins of one picture and their strides (chroma stride is
// half the luma stride).
struct FramePlanes {
  uint8_t* y = nullptr;
  uint8_t* u = nullptr;
  uint8_t* v = nullptr;
  int lumaStride = 0;
  int chromaStride = 0;
};

// Caller frame store: one contiguous block with Y, then U, then V, each with
// the bordered geometry above (175104 bytes for 320 x 240).
constexpr size_t CallerStoreBytes(int w, int h) { return LumaPlaneBytes(w, h) + 2 * ChromaPlaneBytes(w, h); }
constexpr size_t CallerStoreLumaOrigin(int w) { return size_t(kLumaBorder) * LumaStride(w) + kLumaBorder; }
constexpr size_t CallerStoreUOrigin(int w, int h) {
  return LumaPlaneBytes(w, h) + size_t(kChromaBorder) * ChromaStride(w) + kChromaBorder;
}
constexpr size_t CallerStoreVOrigin(int w, int h) { return CallerStoreUOrigin(w, h) + ChromaPlaneBytes(w, h); }

inline FramePlanes CallerStorePlanes(uint8_t* store, int w, int h) {
  return FramePlanes{store + CallerStoreLumaOrigin(w), store + CallerStoreUOrigin(w, h),
                     store + CallerStoreVOrigin(w, h), LumaStride(w), ChromaStride(w)};
}

// Post-processing planes: no borders, rows packed at width (luma) and
// width / 2 (chroma).
constexpr size_t PostLumaBytes(int w, int h) { return size_t(w) * size_t(h); }
constexpr size_t PostChromaBytes(int w, int h) { return size_t(w) * size_t(h) / 4; }

static_assert(CallerStoreBytes(320, 240) == 175104);

}  // namespace quenda
