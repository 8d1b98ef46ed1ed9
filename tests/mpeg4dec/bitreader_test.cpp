// Bit reader, start-code search and picture header.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "bit_writer.h"
#include "bitreader.h"
#include "header.h"

using namespace quenda;
using quenda_test::BitWriter;

namespace {

size_t BitPosition(const BitReader& r) { return BitsRead(r); }

// The bytes must outlive the reader; by default past them only 1 bits follow.
BitReader ReaderOver(const std::vector<uint8_t>& bytes, size_t bound) {
  BitReader r;
  ResetBitReader(r);
  StartBuffer(r, bytes.data(), bound);
  PrimeWindow(r);
  return r;
}

TEST(BitReader, ReadsMsbFirstAndFetchesTwoBytesAtATime) {
  const std::vector<uint8_t> bytes = {0xA5, 0x0F, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  BitReader r = ReaderOver(bytes, bytes.size());
  EXPECT_EQ(ConsumedBytes(r), 0u);
  EXPECT_EQ(ShowBits(r, 4), 0xAu);
  EXPECT_EQ(GetBits(r, 4), 0xAu);
  EXPECT_EQ(ConsumedBytes(r), 4u);  // the first read fetches four bytes
  EXPECT_EQ(WindowBits(r), 28);
  EXPECT_EQ(GetBits(r, 12), 0x50Fu);
  EXPECT_EQ(ConsumedBytes(r), 6u);  // 16 valid bits left: two more fetched
  EXPECT_EQ(WindowBits(r), 32);
  EXPECT_EQ(GetBits(r, 16), 0x1234u);
  EXPECT_EQ(GetBits(r, 1), 0u);
  EXPECT_EQ(ConsumedBytes(r), 8u);
  EXPECT_EQ(BitPosition(r), 33u);
}

TEST(BitReader, BoundedInputReadsOnesPastTheEnd) {
  // Bytes past the bound are zero in memory but must read as 1 bits.
  const std::vector<uint8_t> bytes = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  BitReader r = ReaderOver(bytes, 2);
  EXPECT_EQ(GetBits(r, 16), 0u);
  EXPECT_EQ(GetBits(r, 16), 0xFFFFu);
  EXPECT_EQ(GetBits(r, 16), 0xFFFFu);
  EXPECT_TRUE(Exhausted(r));
}

TEST(StartCode, FoundAfterResetAlignedAfterFillerAndUnaligned) {
  {
    const std::vector<uint8_t> bytes = {0x00, 0x00, 0x01, 0xB6, 0x00, 0x00, 0x00, 0x00};
    BitReader r = ReaderOver(bytes, bytes.size());
    ASSERT_TRUE(FindStartCode(r));
    EXPECT_EQ(BitPosition(r), 24u);
    EXPECT_EQ(GetBits(r, 8), 0xB6u);
  }
  {
    const std::vector<uint8_t> bytes = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0xB6, 0, 0, 0, 0};
    BitReader r = ReaderOver(bytes, bytes.size());
    ASSERT_TRUE(FindStartCode(r));
    EXPECT_EQ(GetBits(r, 8), 0xB6u);
  }
  {
    // "101" then the start code: not byte-aligned.
    const auto bytes = BitWriter().Code("101").Put(0x000001B6, 32).Put(0x5A, 8).Bytes();
    BitReader r = ReaderOver(bytes, bytes.size());
    ASSERT_TRUE(FindStartCode(r));
    EXPECT_EQ(BitPosition(r), 27u);
    EXPECT_EQ(GetBits(r, 8), 0xB6u);
    EXPECT_EQ(GetBits(r, 8), 0x5Au);
  }
}

TEST(StartCode, SearchEndsWhenBoundedInputRunsOut) {
  const std::vector<uint8_t> bytes(1000, 0x55);  // no run of zeros
  BitReader r = ReaderOver(bytes, bytes.size());
  EXPECT_FALSE(FindStartCode(r));
  EXPECT_LE(ConsumedBytes(r), bytes.size() + 4);
}

// A picture header; fields as written.
struct HeaderFields {
  int type = 0;
  int moduloOnes = 0;
  int coded = 1;
  int rounding = 0;
  int quant = 5;
  int fcode = 1;
};

BitWriter& PutHeader(BitWriter& w, const HeaderFields& h) {
  w.Put(0x000001B6, 32).Put(uint32_t(h.type), 2);
  for (int i = 0; i < h.moduloOnes; ++i) w.PutBit(1);
  w.PutBit(0).PutBit(1).Put(7, 5).PutBit(1).PutBit(h.coded);
  if (!h.coded) return w;
  if (h.type == 1 || h.type == 2) w.PutBit(h.rounding);
  w.Put(0, 3).Put(uint32_t(h.quant), 5);
  if (h.type != 0) w.Put(uint32_t(h.fcode), 3);
  return w;
}

struct HeaderTest : ::testing::Test {
  std::unique_ptr<DecoderState> s = std::make_unique<DecoderState>();
  std::vector<uint8_t> bytes;
  void Start(const std::vector<uint8_t>& b, size_t bound = kUnbounded) {
    bytes = b;
    ResetBitReader(s->reader);
    StartBuffer(s->reader, bytes.data(), std::min(bound, bytes.size()));
  }
};

TEST_F(HeaderTest, IntraPictureReadsNoRoundingOrFcode) {
  BitWriter w;
  PutHeader(w, {.type = 0, .quant = 17}).Put(0x2AA, 10);
  Start(w.Bytes());
  ASSERT_EQ(ParseVopHeader(*s), 1);
  EXPECT_EQ(s->vop.codingType, 0);
  EXPECT_EQ(s->vop.coded, 1);
  EXPECT_EQ(s->vop.roundingType, 0);
  EXPECT_EQ(s->qp, 17);
  EXPECT_EQ(GetBits(s->reader, 10), 0x2AAu);
}

TEST_F(HeaderTest, PredictedPictureReadsRoundingAndFcode) {
  BitWriter w;
  PutHeader(w, {.type = 1, .moduloOnes = 2, .rounding = 1, .quant = 31, .fcode = 3}).Put(0x155, 10);
  Start(w.Bytes());
  ASSERT_EQ(ParseVopHeader(*s), 1);
  EXPECT_EQ(s->vop.codingType, 1);
  EXPECT_EQ(s->vop.parsingType, 1);
  EXPECT_EQ(s->vop.roundingType, 1);
  EXPECT_EQ(s->vop.fcode, 3);
  EXPECT_EQ(s->qp, 31);
  EXPECT_EQ(GetBits(s->reader, 10), 0x155u);
}

TEST_F(HeaderTest, BPictureParsesAsPredicted) {
  BitWriter w;
  PutHeader(w, {.type = 2, .rounding = 1, .fcode = 2});
  Start(w.Bytes());
  ASSERT_EQ(ParseVopHeader(*s), 1);
  EXPECT_EQ(s->vop.codingType, 2);
  EXPECT_EQ(s->vop.parsingType, 1);
  EXPECT_EQ(s->vop.fcode, 2);
}

TEST_F(HeaderTest, NotCodedPictureStopsAfterTheFlag) {
  BitWriter w;
  PutHeader(w, {.type = 1, .coded = 0}).Put(0x3F, 6);
  Start(w.Bytes());
  ASSERT_EQ(ParseVopHeader(*s), 1);
  EXPECT_EQ(s->vop.coded, 0);
  EXPECT_EQ(GetBits(s->reader, 6), 0x3Fu);
}

TEST_F(HeaderTest, OtherStartCodesDecodeNothing) {
  Start({0x00, 0x00, 0x01, 0xB3, 0x12, 0x34, 0x56, 0x78, 0, 0});
  EXPECT_EQ(ParseVopHeader(*s), 0);
  EXPECT_EQ(GetBits(s->reader, 8), 0x12u);  // the search stopped after B3
}

TEST_F(HeaderTest, EndlessModuloTimeBaseEndsWithTheInput) {
  Start({0x00, 0x00, 0x01, 0xB6, 0x7F, 0xFF, 0xFF, 0xFF}, 8);
  EXPECT_EQ(ParseVopHeader(*s), 0);
}

TEST(BitReader, WindowCarriesOverToTheNextBuffer) {
  const std::vector<uint8_t> a = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  const std::vector<uint8_t> b = {0xDE, 0xF0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  BitReader r = ReaderOver(a, a.size());
  EXPECT_EQ(GetBits(r, 12), 0x123u);
  EXPECT_EQ(ConsumedBytes(r), 4u);
  // 20 bits remain in the window (0x45678); they come before b's bytes.
  StartBuffer(r, b.data(), b.size());
  EXPECT_EQ(ConsumedBytes(r), 0u);
  EXPECT_EQ(GetBits(r, 16), 0x4567u);
  EXPECT_EQ(GetBits(r, 12), 0x8DEu);
  EXPECT_EQ(GetBits(r, 16), 0xF011u);
  EXPECT_EQ(GetBits(r, 8), 0x22u);
  EXPECT_EQ(ConsumedBytes(r), 8u);
}

}  // namespace
