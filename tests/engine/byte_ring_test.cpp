#include "engine/byte_ring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
  return v;
}

TEST(ByteRing, CapacityIsOneLessThanTheBuffer) {
  CManage1DBUF ring;
  std::vector<uint8_t> big(300000);
  EXPECT_EQ(ring.PutBytes(big.data(), 300000), 0);
  EXPECT_EQ(ring.PutBytes(big.data(), 299999), 1);
  EXPECT_EQ(ring.PutBytes(big.data(), 1), 0);
  EXPECT_EQ(ring.Count(), 299999u);
  EXPECT_EQ(ring.GetBytes(big.data(), 1), 1);
  EXPECT_EQ(ring.PutBytes(big.data(), 2), 0) << "all or nothing";
  EXPECT_EQ(ring.PutBytes(big.data(), 1), 1);
}

TEST(ByteRing, GetOfMoreThanStoredChangesNothing) {
  CManage1DBUF ring;
  auto data = Pattern(10);
  ring.PutBytes(data.data(), 10);
  std::vector<uint8_t> out(11, 0xEE);
  EXPECT_EQ(ring.GetBytes(out.data(), 11), 0);
  EXPECT_EQ(ring.Count(), 10u);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(ring.GetBytes(out.data(), 0), 1);
  EXPECT_EQ(ring.GetBytes(out.data(), 10), 1);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
}

// Puts and gets that straddle the end of the buffer at every offset near it.
TEST(ByteRing, WrapsAtEveryBoundary) {
  for (uint32_t lead = 299990; lead <= 300000; ++lead) {
    CManage1DBUF ring;
    std::vector<uint8_t> filler(lead);
    // Move both positions to `lead` (mod 300000) without filling the ring.
    uint32_t moved = 0;
    while (moved < lead) {
      uint32_t step = std::min<uint32_t>(100000, lead - moved);
      ASSERT_EQ(ring.PutBytes(filler.data(), step), 1);
      ASSERT_EQ(ring.GetBytes(filler.data(), step), 1);
      moved += step;
    }
    ASSERT_EQ(ring.WritePos(), lead % 300000);
    for (uint32_t n : {1u, 9u, 10u, 11u, 20u}) {
      auto data = Pattern(n, static_cast<uint8_t>(lead + n));
      ASSERT_EQ(ring.PutBytes(data.data(), n), 1);
      std::vector<uint8_t> out(n);
      ASSERT_EQ(ring.GetBytes(out.data(), n), 1);
      ASSERT_EQ(out, data) << "lead " << lead << " n " << n;
    }
    EXPECT_EQ(ring.Count(), 0u);
  }
}

TEST(ByteRing, MarkAndRewindRestoreTheReadSide) {
  CManage1DBUF ring;
  auto data = Pattern(30);
  ring.PutBytes(data.data(), 30);
  uint8_t header[12];
  ring.MarkRead();
  uint32_t pos = ring.ReadPos();
  ASSERT_EQ(ring.GetBytes(header, 12), 1);
  ring.RewindRead();
  EXPECT_EQ(ring.ReadPos(), pos);
  EXPECT_EQ(ring.Count(), 30u);
  uint8_t again[12];
  ASSERT_EQ(ring.GetBytes(again, 12), 1);
  EXPECT_EQ(0, std::memcmp(header, again, 12));
}

TEST(ByteRing, RewindKeepsBytesPutAfterTheMark) {
  CManage1DBUF ring;
  auto data = Pattern(299999);
  ring.PutBytes(data.data(), 299999);
  ring.MarkRead();
  uint8_t header[12];
  ASSERT_EQ(ring.GetBytes(header, 12), 1);
  // The 12 bytes just read are held for the rewind, so the full ring still
  // refuses a put.
  EXPECT_EQ(ring.PutBytes(data.data(), 12), 0);
  ring.RewindRead();
  ASSERT_EQ(ring.GetBytes(header, 12), 1);
  ring.MarkRead();
  std::vector<uint8_t> rest(299999 - 12);
  ASSERT_EQ(ring.GetBytes(rest.data(), static_cast<uint32_t>(rest.size())), 1);
  ring.MarkRead();
  uint8_t extra[5] = {1, 2, 3, 4, 5};
  ring.MarkRead();
  ASSERT_EQ(ring.PutBytes(extra, 5), 1);
  ring.RewindRead();
  EXPECT_EQ(ring.Count(), 5u);
  uint8_t out[5];
  ASSERT_EQ(ring.GetBytes(out, 5), 1);
  EXPECT_EQ(0, std::memcmp(out, extra, 5));
}

TEST(ByteRing, ClearEmptiesAndStartsOverAtTheFront) {
  CManage1DBUF ring;
  auto data = Pattern(100);
  ring.PutBytes(data.data(), 100);
  ring.MarkRead();
  uint8_t b;
  ASSERT_EQ(ring.GetBytes(&b, 1), 1);
  ring.ClearBytes();
  EXPECT_EQ(ring.GetBytes(&b, 1), 0);
  EXPECT_EQ(ring.Count(), 0u);
  EXPECT_EQ(ring.WritePos(), 0u);
  EXPECT_EQ(ring.ReadPos(), 0u);
  // No mark survives: the whole capacity is there, and what comes out is
  // what went in after the clear.
  auto full = Pattern(CManage1DBUF::kCapacity, 7);
  ASSERT_EQ(ring.PutBytes(full.data(), CManage1DBUF::kCapacity), 1);
  std::vector<uint8_t> out(CManage1DBUF::kCapacity);
  ASSERT_EQ(ring.GetBytes(out.data(), CManage1DBUF::kCapacity), 1);
  EXPECT_EQ(out, full);
}

// A parse that took a whole message commits it: its bytes are free at once,
// not only at the next mark.
TEST(ByteRing, CommitFreesWhatWasReadSinceTheMark) {
  CManage1DBUF ring;
  auto data = Pattern(239987);
  ASSERT_EQ(ring.PutBytes(data.data(), 239987), 1);
  ring.MarkRead();
  std::vector<uint8_t> message(60012);
  ASSERT_EQ(ring.GetBytes(message.data(), 60012), 1);
  ring.CommitRead();
  EXPECT_EQ(ring.PutBytes(data.data(), 60012), 1) << "179975 + 60012 stored, under the capacity";
  EXPECT_EQ(ring.PutBytes(data.data(), 1), 1);
  ring.RewindRead();  // a rewind after a commit gives nothing back
  EXPECT_EQ(ring.Count(), 179975u + 60012u + 1u);
}

// A producer and a consumer on two threads move a few million bytes through
// the ring in uneven pieces; every byte must come out in order.
TEST(ByteRing, TwoThreadsMoveMillionsOfBytesIntact) {
  CManage1DBUF ring;
  constexpr uint64_t kTotal = 6'000'000;
  std::thread producer([&] {
    std::vector<uint8_t> chunk(70001);
    uint64_t sent = 0;
    uint32_t size = 1;
    while (sent < kTotal) {
      uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(size, kTotal - sent));
      for (uint32_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>((sent + i) * 2654435761u >> 13);
      if (ring.PutBytes(chunk.data(), n)) {
        sent += n;
        size = size * 7 % 70001 + 1;
      } else {
        std::this_thread::yield();
      }
    }
  });
  std::vector<uint8_t> buf(50000);
  uint64_t got = 0;
  uint32_t size = 3;
  bool intact = true;
  while (got < kTotal) {
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(size, kTotal - got));
    if (!ring.GetBytes(buf.data(), n)) {
      std::this_thread::yield();
      continue;
    }
    for (uint32_t i = 0; i < n; ++i)
      intact &= buf[i] == static_cast<uint8_t>((got + i) * 2654435761u >> 13);
    got += n;
    size = size * 5 % 50000 + 1;
  }
  producer.join();
  EXPECT_TRUE(intact);
  EXPECT_EQ(ring.Count(), 0u);
}

}  // namespace
