// The internal frame stores skip copies of not-coded macroblocks they already
// hold and keep their borders macroblock by macroblock. Checked on whole
// streams against the reference MD5s, and against a decoder working on
// untracked stores (which copies and extends everything) over sequences with
// B, empty and broken pictures, borders included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bit_writer.h"
#include "decoder.h"
#include "frames.h"
#include "macroblock.h"
#include "md5.h"
#include "mc.h"

using namespace quenda;

namespace {

const std::string kMpeg4Dir = std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/";

std::vector<std::vector<uint8_t>> Pictures(const std::string& stream) {
  std::vector<std::vector<uint8_t>> pictures;
  EXPECT_TRUE(quenda_tools::ReadFramesFile(kMpeg4Dir + stream + ".frames", pictures)) << stream;
  return pictures;
}

std::vector<std::string> ExpectedMd5s(const std::string& stream) {
  return quenda_tools::ReadFrameMd5s(kMpeg4Dir + stream + ".framemd5");
}

std::string PictureMd5(const DecoderState& s, const FramePlanes& p) {
  quenda_tools::Md5 md5;
  for (int y = 0; y < s.height; ++y) md5.Update(p.y + y * p.lumaStride, size_t(s.width));
  for (const uint8_t* plane : {p.u, p.v})
    for (int y = 0; y < s.height / 2; ++y) md5.Update(plane + y * p.chromaStride, size_t(s.width / 2));
  return md5.HexDigest();
}

// The three stored planes of a picture, borders included.
std::vector<uint8_t> StoredPlanes(const DecoderState& s, const FramePlanes& p) {
  std::vector<uint8_t> out;
  auto append = [&](const uint8_t* origin, int stride, int rows, int border) {
    const uint8_t* start = origin - border * stride - border;
    out.insert(out.end(), start, start + size_t(stride) * size_t(rows));
  };
  append(p.y, p.lumaStride, s.lumaRows, kLumaBorder);
  append(p.u, p.chromaStride, s.chromaRows, kChromaBorder);
  append(p.v, p.chromaStride, s.chromaRows, kChromaBorder);
  return out;
}

// The same planes with their borders extended afresh from the picture.
std::vector<uint8_t> FreshlyExtended(const DecoderState& s, const FramePlanes& p) {
  std::vector<uint8_t> planes = StoredPlanes(s, p);
  uint8_t* y = planes.data();
  uint8_t* u = y + LumaPlaneBytes(s.width, s.height);
  uint8_t* v = u + ChromaPlaneBytes(s.width, s.height);
  ExtendPlaneBorders(y + kLumaBorder * s.lumaStride + kLumaBorder, s.lumaStride, s.lumaRows, kLumaBorder);
  for (uint8_t* c : {u, v})
    ExtendPlaneBorders(c + kChromaBorder * s.chromaStride + kChromaBorder, s.chromaStride, s.chromaRows, kChromaBorder);
  return planes;
}

struct Decoder {
  std::unique_ptr<DecoderState> state = std::make_unique<DecoderState>();
  DecoderState& s = *state;
  std::vector<uint8_t> own[2];  // untracked stores, when used

  explicit Decoder(bool tracked) {
    EXPECT_EQ(DecoderSetup(s, 320, 240), kSetupOk);
    ResetBitReader(s.reader);
    if (tracked) {
      // Equal start contents for both decoders.
      for (int i = 0; i < 6; ++i)
        std::memset(s.storeBase[i], 0, i < 2 ? LumaPlaneBytes(320, 240) : ChromaPlaneBytes(320, 240));
    } else {
      for (auto& store : own) store.assign(CallerStoreBytes(320, 240), 0);
      s.cur = CallerStorePlanes(own[0].data(), 320, 240);
      s.ref = CallerStorePlanes(own[1].data(), 320, 240);
    }
  }
  ~Decoder() { DecoderRelease(s); }
  void Decode(const std::vector<uint8_t>& picture) {
    StartBuffer(s.reader, picture.data(), picture.size());
    DecodeVop(s, nullptr, 1);
  }
};

class InternalStores : public ::testing::TestWithParam<const char*> {};

TEST_P(InternalStores, EveryPictureExactWithConsistentBorders) {
  const auto pictures = Pictures(GetParam());
  const auto expected = ExpectedMd5s(GetParam());
  ASSERT_EQ(pictures.size(), expected.size());
  Decoder d(true);
  for (size_t i = 0; i < pictures.size(); ++i) {
    d.Decode(pictures[i]);
    ASSERT_GE(d.s.tracking.cur, 0);
    ASSERT_EQ(PictureMd5(d.s, d.s.last), expected[i]) << GetParam() << " picture " << i;
    ASSERT_TRUE(StoredPlanes(d.s, d.s.last) == FreshlyExtended(d.s, d.s.last)) << GetParam() << " picture " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Quenda, InternalStores, ::testing::Values("ts_q5", "mb_q5", "ts_q31", "ts_scroll_q4", "dq"),
                         [](const auto& info) { return std::string(info.param); });

// Header of a picture without data (vop_coded 0).
std::vector<uint8_t> EmptyPicture() {
  quenda_test::BitWriter w;
  w.Put(0xFFFFFFFF, 32).Put(0x000001B6, 32).Put(1, 2).PutBit(0).PutBit(1).Put(3, 5).PutBit(1).PutBit(0);
  return w.Bytes(8, 1);
}

// A P picture read as B: shown, never the reference.
std::vector<uint8_t> AsB(std::vector<uint8_t> p) {
  if (p[8] >> 6 == 1) p[8] = uint8_t((p[8] & 0x3F) | 0x80);
  return p;
}

// The picture's data from byte n on replaced by zeros: undecodable
// macroblock codes, so the picture's last macroblocks keep what the store held.
std::vector<uint8_t> Broken(std::vector<uint8_t> p, size_t n) {
  std::fill(p.begin() + std::ptrdiff_t(std::min(n, p.size())), p.end(), 0);
  return p;
}

TEST(InternalStores, MatchUntrackedStoresOverBrokenSequences) {
  const auto ts = Pictures("ts_q5"), dq = Pictures("dq");
  std::vector<std::vector<uint8_t>> sequence;
  std::mt19937 rng(5);
  for (size_t i = 0; i < 40; ++i) sequence.push_back(ts[i]);
  for (size_t i = 40; i < 70; ++i) {
    switch (rng() % 5) {
      case 0: sequence.push_back(AsB(ts[i])); break;
      case 1: sequence.push_back(EmptyPicture()); break;
      case 2: sequence.push_back(Broken(ts[i], 20 + rng() % (ts[i].size() - 20))); break;
      default: sequence.push_back(ts[i]); break;
    }
  }
  for (size_t i = 0; i < 30; ++i) sequence.push_back(dq[i]);  // other content, I picture first
  for (size_t i = 90; i < 100; ++i) sequence.push_back(ts[i]);  // P pictures against the wrong reference

  Decoder tracked(true), plain(false);
  tracked.s.tracking.stamp = UINT32_MAX - 20;  // the content ids wrap on the way
  for (size_t i = 0; i < sequence.size(); ++i) {
    tracked.Decode(sequence[i]);
    plain.Decode(sequence[i]);
    ASSERT_GE(tracked.s.tracking.cur, 0);
    ASSERT_EQ(plain.s.tracking.cur, -1);
    ASSERT_TRUE(StoredPlanes(tracked.s, tracked.s.cur) == StoredPlanes(plain.s, plain.s.cur)) << "call " << i;
    ASSERT_TRUE(StoredPlanes(tracked.s, tracked.s.ref) == StoredPlanes(plain.s, plain.s.ref)) << "call " << i;
  }
}

// After the ids wrap, no id may stand for two contents.
TEST(InternalStores, ContentIdsStayDistinctWhenTheyWrap) {
  Decoder d(true);
  StoreTracking& t = d.s.tracking;
  t.stamp = UINT32_MAX;
  BeginStoreTracking(d.s);
  for (int y = 0; y < kMaxMbRows; ++y)
    for (int x = 0; x < kMaxMbPerRow; ++x) {
      ASSERT_NE(t.content[0][y][x], t.content[1][y][x]);
      ASSERT_NE(t.content[0][y][x], t.stamp);
      ASSERT_NE(t.content[1][y][x], t.stamp);
    }
}

TEST(BorderExtension, BlockSharesAddUpToTheWholeBorder) {
  constexpr int w = 48, h = 32, border = 16, stride = w + 2 * border, rows = h + 2 * border;
  std::vector<uint8_t> whole(size_t(stride * rows)), blocks;
  std::mt19937 rng(9);
  for (uint8_t& v : whole) v = uint8_t(rng());
  blocks = whole;
  uint8_t* o1 = whole.data() + border * stride + border;
  uint8_t* o2 = blocks.data() + border * stride + border;
  ExtendPlaneBorders(o1, stride, rows, border);
  for (int y = 0; y < h; y += 8)
    for (int x = 0; x < w; x += 8) ExtendBlockBorders(o2, stride, w, h, border, x, y, 8);
  EXPECT_TRUE(whole == blocks);
}

}  // namespace
