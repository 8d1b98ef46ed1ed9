// The video channel with the real decoder library: pictures of the reference
// streams shown through each channel's own library copy.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/video_channel.h"
#include "platform/draw_headless.h"
#include "platform/message_box.h"
#include "reference_frames.h"

using namespace video_test;

namespace {

constexpr int kPictures = 10;
constexpr int kRows = 240;  // every output format writes every row

// Until n pictures have been decoded and shown (the count rises before the
// decode, the blit follows it).
bool WaitShown(const platform::HeadlessWindow& window, size_t n) {
  for (int i = 0; i < 20000 && window.Blits().size() < n; ++i) platform::RealSleep(1);
  return window.Blits().size() >= n;
}

// Pictures decoded straight through another copy of the library.
std::vector<uint32_t> DirectDecode(const std::string& dir, const std::vector<std::vector<uint8_t>>& frames) {
  const std::string copy = dir + "/libquenda_direct.so";
  if (!platform::CopyFileReplacing(std::string(QUENDA_LIBRARY), copy)) return {};
  platform::ModuleHandle module = platform::LoadModule(copy);
  if (!module) return {};
  auto init = reinterpret_cast<CVideoMPEG4::DecoderInitFn>(platform::ModuleSymbol(module, "Decoder_Init"));
  auto decode = reinterpret_cast<CVideoMPEG4::DecoderFrameFn>(platform::ModuleSymbol(module, "DecoderFrame"));
  auto bound = reinterpret_cast<CVideoMPEG4::DecoderSetInputSizeFn>(platform::ModuleSymbol(module, "DecoderSetInputSize"));
  auto close = reinterpret_cast<CVideoMPEG4::DecoderCloseFn>(platform::ModuleSymbol(module, "DecoderClose"));
  std::vector<uint32_t> picture(320 * 240, 0);
  init();
  for (const auto& f : frames) {
    bound(uint32_t(f.size() - 12));
    decode(f.data() + 12, 32, picture.data());
  }
  close();
  platform::FreeModule(module);
  for (auto& p : picture) p &= 0xFFFFFF;
  return picture;
}

int CountDifferences(const platform::HeadlessWindow& window, const std::vector<uint32_t>& want) {
  int differ = 0;
  for (int y = 0; y < kRows; ++y)
    for (int x = 0; x < 320; ++x) differ += window.Pixel(x, y) != want[size_t(y * 320 + x)];
  return differ;
}

TEST(RealDecoder, TwoChannelsDecodeTwoStreamsInTheirOwnCopies) {
  SystemDir system(QUENDA_LIBRARY);
  const auto streamA = LoadFrames("ts_q5", kPictures);
  const auto streamB = LoadFrames("mb_q5", kPictures);
  ASSERT_EQ(streamA.size(), size_t(kPictures));
  ASSERT_EQ(streamB.size(), size_t(kPictures));
  const auto wantA = ReferencePicture("ts_q5", kPictures - 1);
  const auto wantB = DirectDecode(system.Path(), streamB);
  ASSERT_FALSE(wantA.empty());
  ASSERT_FALSE(wantB.empty());
  ASSERT_GT(std::count_if(wantB.begin(), wantB.end(), [&](uint32_t p) { return p != wantB[0]; }), 10000)
      << "the direct decode gave a picture";

  auto windowA = platform::CreateHeadlessWindow(320, 240);
  auto windowB = platform::CreateHeadlessWindow(320, 240);
  CVideoMPEG4 a(windowA.get()), b(windowB.get());
  ASSERT_NE(a.decoderFrame, nullptr);
  ASSERT_NE(b.decoderFrame, nullptr);
  ASSERT_NE(a.decoderLibrary, b.decoderLibrary);
  for (auto* c : {&a, &b}) {
    c->frameRate = 0;  // start with what is queued
    c->buffering = 0;
  }
  // Interleaved, so a shared decoder would mix the two streams.
  for (int k = 0; k < kPictures; ++k) {
    Queue(a, streamA[size_t(k)]);
    Queue(b, streamB[size_t(k)]);
  }
  a.StartVideoThread();
  b.StartVideoThread();
  ASSERT_TRUE(WaitShown(*windowA, kPictures));
  ASSERT_TRUE(WaitShown(*windowB, kPictures));
  EXPECT_EQ(CountDifferences(*windowA, wantA), 0) << "ts_q5 picture 10 against the reference";
  EXPECT_EQ(CountDifferences(*windowB, wantB), 0) << "mb_q5 picture 10 against a direct decode";
}

TEST(RealDecoder, FirstPictureMatchesTheReferenceAtEveryStep) {
  SystemDir system(QUENDA_LIBRARY);
  const auto frames = LoadFrames("ts_q5", 3);
  ASSERT_EQ(frames.size(), 3u);
  auto window = platform::CreateHeadlessWindow(320, 240);
  CVideoMPEG4 channel(window.get());
  channel.frameRate = 0;
  channel.buffering = 0;
  channel.StartVideoThread();
  for (int k = 0; k < 3; ++k) {
    Queue(channel, frames[size_t(k)]);
    ASSERT_TRUE(WaitShown(*window, size_t(k + 1)));
    EXPECT_EQ(CountDifferences(*window, ReferencePicture("ts_q5", k)), 0) << "picture " << k;
  }
}

}  // namespace
