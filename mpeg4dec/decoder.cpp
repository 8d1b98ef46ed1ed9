#include "decoder.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "header.h"
#include "macroblock.h"
#include "mc.h"
#include "output.h"

namespace quenda {

DecoderState g_decoder;
void* (*g_allocate)(size_t) = std::malloc;

namespace {

void FillPredictionBorders(SideInfo& si) {
  for (int x = 0; x < kLumaBlockCols; ++x) {
    si.lumaDc[0][x] = 1024;
    si.lumaAcRow[0][x] = AcLine{};
    si.lumaAcCol[0][x] = AcLine{};
  }
  for (int y = 0; y < kLumaBlockRows; ++y) {
    si.lumaDc[y][0] = 1024;
    si.lumaAcRow[y][0] = AcLine{};
    si.lumaAcCol[y][0] = AcLine{};
  }
  for (int c = 0; c < 2; ++c) {
    for (int x = 0; x < kMbStoreCols; ++x) {
      si.chromaDc[c][0][x] = 1024;
      si.chromaAcRow[c][0][x] = AcLine{};
      si.chromaAcCol[c][0][x] = AcLine{};
    }
    for (int y = 0; y < kMbStoreRows; ++y) {
      si.chromaDc[c][y][0] = 1024;
      si.chromaAcRow[c][y][0] = AcLine{};
      si.chromaAcCol[c][y][0] = AcLine{};
    }
  }
}

// Border of the mode store reads as intra: no prediction reset there.
void FillModeBorder(DecoderState& s) {
  SideInfo& si = s.side;
  for (int x = 0; x <= s.mbPerRow + 1; ++x) si.mode[0][x] = 3;
  for (int y = 0; y <= s.mbRows; ++y) {
    si.mode[y][0] = 3;
    si.mode[y][s.mbPerRow + 1] = 3;
  }
}

// Zero vector border column right of the last macroblock (a narrower
// geometry after a wider one may have written there).
void ClearVectorBorder(DecoderState& s) {
  for (int b = 0; b < 4; ++b)
    for (int y = 0; y <= s.mbRows; ++y) {
      s.side.mvx[b][y][s.mbPerRow + 1] = 0;
      s.side.mvy[b][y][s.mbPerRow + 1] = 0;
    }
}

bool AllocateFrameStores(DecoderState& s) {
  const size_t luma = LumaPlaneBytes(s.width, s.height);
  const size_t chroma = ChromaPlaneBytes(s.width, s.height);
  const size_t sizes[6] = {luma, luma, chroma, chroma, chroma, chroma};
  for (int i = 0; i < 6; ++i) {
    s.storeBase[i] = static_cast<uint8_t*>(g_allocate(sizes[i]));
    if (!s.storeBase[i]) return false;
  }
  const size_t post[3] = {PostLumaBytes(s.width, s.height), PostChromaBytes(s.width, s.height),
                          PostChromaBytes(s.width, s.height)};
  for (int i = 0; i < 3; ++i) {
    s.post[i] = static_cast<uint8_t*>(g_allocate(post[i]));
    if (!s.post[i]) return false;
  }
  const size_t lumaOrigin = size_t(kLumaBorder) * s.lumaStride + kLumaBorder;
  const size_t chromaOrigin = size_t(kChromaBorder) * s.chromaStride + kChromaBorder;
  s.cur = FramePlanes{s.storeBase[0] + lumaOrigin, s.storeBase[2] + chromaOrigin, s.storeBase[4] + chromaOrigin,
                      s.lumaStride, s.chromaStride};
  s.ref = FramePlanes{s.storeBase[1] + lumaOrigin, s.storeBase[3] + chromaOrigin, s.storeBase[5] + chromaOrigin,
                      s.lumaStride, s.chromaStride};
  return true;
}

}  // namespace

void DecoderRelease(DecoderState& s) {
  for (uint8_t*& p : s.storeBase) {
    std::free(p);
    p = nullptr;
  }
  for (uint8_t*& p : s.post) {
    std::free(p);
    p = nullptr;
  }
  s.cur = s.ref = s.last = FramePlanes{};
  s.haveLast = false;
  s.initialised = false;
}

int32_t DecoderSetup(DecoderState& s, int width, int height) {
  // A second set-up replaces the first instead of leaking it.
  DecoderRelease(s);
  if (width < 16 || height < 16 || width > kMaxWidth || height > kMaxHeight || width % 16 || height % 16)
    return kSetupBadSize;
  s.width = width;
  s.height = height;
  s.mbPerRow = width / 16;
  s.mbRows = height / 16;
  s.mbCount = s.mbPerRow * s.mbRows;
  s.lumaStride = LumaStride(width);
  s.lumaRows = LumaStoredRows(height);
  s.chromaStride = ChromaStride(width);
  s.chromaRows = ChromaStoredRows(height);
  FillPredictionBorders(s.side);
  FillModeBorder(s);
  ClearVectorBorder(s);
  if (!AllocateFrameStores(s)) {
    std::fputs("malloc failed\n", stdout);
    std::fflush(stdout);
    DecoderRelease(s);
    return kSetupNoMemory;
  }
  ResetStoreTracking(s);
  s.initialised = true;
  return kSetupOk;
}

int32_t ApplyPostProcLevel(DecoderState& s, int32_t level) {
  if (level < 0 || level > 100) return kPostProcBadLevel;
  if (level == 0) {
    s.postProc = 0;
    return 0;
  }
  s.postProc = 1;
  if (level < 10) s.postProcFlags = 0x01;
  else if (level < 20) s.postProcFlags = 0x03;
  else if (level < 30) s.postProcFlags = 0x13;
  else if (level < 40) s.postProcFlags = 0x17;
  else if (level < 50) s.postProcFlags = 0x1F;
  else if (level < 60) s.postProcFlags = 0x3F;
  return 0;
}

void ApplyModeLevel(DecoderState& s, uint32_t level) {
  if (level == 0) {
    s.postProc = 0;
    s.postProcFlags = 0x01;
    return;
  }
  ApplyPostProcLevel(s, level > 100 ? 100 : int32_t(level));
}

void DecodeVop(DecoderState& s, uint8_t* output, int renderFlag) {
  if (!ParseVopHeader(s)) return;
  if (!s.vop.coded) return;
  DecodeVopMacroblocks(s);
  if (output) RenderPicture(s, output, renderFlag);
  s.last = s.cur;
  s.haveLast = true;
  if (s.vop.codingType != 2) std::swap(s.cur, s.ref);
}

int32_t DecoderDispatch(int32_t /*handle*/, int32_t option, void* record, void* /*record2*/, void* output) {
  DecoderState& s = g_decoder;
  switch (option) {
    case kOptionSetup: {
      const auto* p = static_cast<const DecoderParams*>(record);
      s.postProc = 0;
      return p ? DecoderSetup(s, p->width, p->height) : kSetupBadSize;
    }
    case kOptionRelease:
      DecoderRelease(s);
      return 0;
    case kOptionPostProc: {
      const auto* p = static_cast<const DecoderPostProcSetting*>(record);
      return p ? ApplyPostProcLevel(s, p->level) : kPostProcBadLevel;
    }
    default: {
      const auto* p = static_cast<const DecoderFrameRequest*>(record);
      if (s.initialised && p) DecodeVop(s, static_cast<uint8_t*>(output), p->renderFlag);
      return 0;
    }
  }
}

}  // namespace quenda
