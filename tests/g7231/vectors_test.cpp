// Every reference stream decodes bit for bit through the slot entry points,
// with and without postfilter, from both framings; also interleaved on two
// slots and through the command-line tool.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "g7231/slot_table.h"
#include "g7231/speech_decoder.h"
#include "test_support.h"

namespace {

using namespace g7231_test;

std::vector<int16_t> DecodeThroughSlot(uint32_t slot, const std::vector<std::vector<uint8_t>>& frames,
                                       bool postfilter) {
  CreateSpeechDecoder(slot);
  SpeechDecoderInSlot(slot)->postfilterOn = postfilter ? 1 : 0;
  std::vector<int16_t> pcm;
  int16_t out[kSpeechFrameSamples];
  for (const auto& frame : frames) {
    EXPECT_EQ(DecodeSpeechFrame(slot, out, frame.data(), 0), 1);
    pcm.insert(pcm.end(), out, out + kSpeechFrameSamples);
  }
  DestroySpeechDecoder(slot);
  return pcm;
}

// First differing sample, or -1.
long FirstDifference(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
  if (a.size() != b.size()) return 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return static_cast<long>(i);
  }
  return -1;
}

std::string ExpectedName(const std::string& stream, bool postfilter) {
  return stream + (postfilter ? ".postfilter.pcm" : ".pcm");
}

class Vectors : public ::testing::TestWithParam<std::tuple<std::string, std::string, bool>> {};

TEST_P(Vectors, BitExact) {
  const auto& [stream, framing, postfilter] = GetParam();
  const auto frames = SplitFrames(ReadFile(VectorPath(stream + "." + framing)), framing == "tco");
  const std::vector<int16_t> expected = ReadPcm(VectorPath(ExpectedName(stream, postfilter)));
  ASSERT_FALSE(frames.empty());
  ASSERT_EQ(frames.size() * kSpeechFrameSamples, expected.size());
  const long diff = FirstDifference(DecodeThroughSlot(3, frames, postfilter), expected);
  EXPECT_EQ(diff, -1) << "first difference in frame " << diff / kSpeechFrameSamples;
}

INSTANTIATE_TEST_SUITE_P(AllStreams, Vectors,
                         ::testing::Combine(::testing::Values("speech_63", "mixed_sidfirst"),
                                            ::testing::Values("f24", "tco"), ::testing::Bool()),
                         [](const auto& info) {
                           return std::get<0>(info.param) + "_" + std::get<1>(info.param) +
                                  (std::get<2>(info.param) ? "_postfilter" : "");
                         });

TEST(VectorsInterleaved, TwoSlotsDecodeAsAlone) {
  const auto speech = SplitFrames(ReadFile(VectorPath("speech_63.f24")), false);
  const auto mixed = SplitFrames(ReadFile(VectorPath("mixed_sidfirst.tco")), true);
  const auto speechPcm = ReadPcm(VectorPath("speech_63.pcm"));
  const auto mixedPcm = ReadPcm(VectorPath("mixed_sidfirst.postfilter.pcm"));
  CreateSpeechDecoder(41);
  CreateSpeechDecoder(42);
  SpeechDecoderInSlot(42)->postfilterOn = 1;
  std::vector<int16_t> a;
  std::vector<int16_t> b;
  int16_t out[kSpeechFrameSamples];
  for (size_t i = 0; i < std::max(speech.size(), mixed.size()); ++i) {
    if (i < mixed.size()) {
      DecodeSpeechFrame(42, out, mixed[i].data(), 0);
      b.insert(b.end(), out, out + kSpeechFrameSamples);
    }
    if (i < speech.size()) {
      DecodeSpeechFrame(41, out, speech[i].data(), 0);
      a.insert(a.end(), out, out + kSpeechFrameSamples);
    }
  }
  DestroySpeechDecoder(41);
  DestroySpeechDecoder(42);
  EXPECT_EQ(FirstDifference(a, speechPcm), -1);
  EXPECT_EQ(FirstDifference(b, mixedPcm), -1);
}

TEST(DecodeTool, WritesThePcmOfBothFramings) {
  const std::string tool = std::string(VELMORA_BIN_DIR) + "/g7231-decode";
  const std::string out = ::testing::TempDir() + "g7231_tool_out.pcm";
  struct Case {
    const char* input;
    const char* flag;
    const char* expected;
  };
  const Case cases[] = {{"mixed_sidfirst.tco", "", "mixed_sidfirst.pcm"},
                        {"speech_63.f24", "--postfilter ", "speech_63.postfilter.pcm"}};
  for (const Case& c : cases) {
    const std::string cmd = tool + " " + c.flag + VectorPath(c.input) + " " + out;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(ReadFile(out), ReadFile(VectorPath(c.expected))) << c.input;
  }
  EXPECT_NE(std::system((tool + " only-one-arg >/dev/null 2>&1").c_str()), 0);
  EXPECT_NE(std::system((tool + " " + VectorPath("speech_63.pcm") + " " + out + " 2>/dev/null").c_str()), 0);
}

}  // namespace
