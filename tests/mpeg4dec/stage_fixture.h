// A decoder state of its own with 320 x 240 frame stores, for stage tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "bit_writer.h"
#include "decoder.h"

namespace quenda_test {

struct StageTest : ::testing::Test {
  std::unique_ptr<quenda::DecoderState> state = std::make_unique<quenda::DecoderState>();
  quenda::DecoderState& s = *state;
  std::vector<uint8_t> bytes;

  void SetUp() override { ASSERT_EQ(quenda::DecoderSetup(s, 320, 240), quenda::kSetupOk); }
  void TearDown() override { quenda::DecoderRelease(s); }

  // Points the reader at the writer's bits (followed by 1 bits).
  void Feed(BitWriter& w) {
    bytes = w.Bytes(16, 1);
    quenda::ResetBitReader(s.reader);
    quenda::StartBuffer(s.reader, bytes.data(), bytes.size());
    quenda::PrimeWindow(s.reader);
  }
  size_t BitPosition() const { return quenda::BitsRead(s.reader); }
};

}  // namespace quenda_test
