// A real X11 window shows a decoded picture: the test reads the window back
// from the display and compares its pixels. It uses DISPLAY when set, else
// starts its own Xvfb on a free display number.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/video_channel.h"
#include "platform/draw.h"
#include "reference_frames.h"
#include "tests/support/own_display.h"

// Last: Xlib's macros (None, Bool) clash with names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace video_test;

namespace {

using OwnXvfb = testing_support::OwnDisplay;

// The window's pixels as 0x00RRGGBB, read through a connection of our own.
std::vector<uint32_t> ReadWindow(uint64_t id, int w, int h) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return {};
  XSync(d, False);
  XImage* image = XGetImage(d, Window(id), 0, 0, unsigned(w), unsigned(h), AllPlanes, ZPixmap);
  std::vector<uint32_t> pixels;
  if (image) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) pixels.push_back(uint32_t(XGetPixel(image, x, y)) & 0xFFFFFF);
    XDestroyImage(image);
  }
  XCloseDisplay(d);
  return pixels;
}

TEST(X11Window, ShowsTheDecodedPicture) {
  OwnXvfb xvfb;
  std::string why;
  if (!xvfb.Start(&why)) GTEST_SKIP() << "no X display for this test: " << why;
  unsetenv("VELMORA_VIDEO");
  ASSERT_EQ(platform::ChooseDrawKind(), platform::DrawKind::X11);

#ifdef QUENDA_LIBRARY
  SystemDir system(QUENDA_LIBRARY);
  const auto frames = LoadFrames("ts_q5", 10);
  const auto want = ReferencePicture("ts_q5", 9);
  const int rows = 240;
#else
  SystemDir system(FakeLibrary());
  std::vector<std::vector<uint8_t>> frames;
  for (int k = 0; k < 10; ++k) frames.push_back(FakeFrame(uint32_t(k), kKey, k));
  std::vector<uint32_t> want;
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320; ++x) want.push_back(uint32_t((x & 0xFF) << 16 | y << 8 | (x >> 8) << 7 | 9));
  const int rows = 240;
#endif
  ASSERT_EQ(frames.size(), 10u);

  auto window = platform::CreateViewWindow(480, 360, "velmora video test");
  ASSERT_NE(window, nullptr);
  CVideoMPEG4 channel(window.get());
  ASSERT_EQ(channel.draw->ddReady.load(), 1);
  channel.frameRate = 0;
  channel.buffering = 0;
  for (const auto& f : frames) Queue(channel, f);
  channel.StartVideoThread();
  for (int i = 0; i < 10000 && channel.framesDecoded < 10; ++i) platform::RealSleep(1);
  ASSERT_EQ(channel.framesDecoded.load(), 10);
  for (int i = 0; i < 2000 && channel.draw->drawOk == 0; ++i) platform::RealSleep(1);
  EXPECT_EQ(channel.draw->drawOk.load(), 1);

  // The last blit may still be on its way: read until it shows.
  auto differences = [&](const std::vector<uint32_t>& shown) {
    if (shown.size() != size_t(320 * 240)) return -1;
    int differ = 0;
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < 320; ++x) differ += shown[size_t(y * 320 + x)] != want[size_t(y * 320 + x)];
    return differ;
  };
  int differ = -1;
  for (int i = 0; i < 100 && differ != 0; ++i, platform::RealSleep(20))
    differ = differences(ReadWindow(window->NativeId(), 320, 240));
  EXPECT_EQ(differ, 0);

  // Zoomed 1.5 with the grid on: a key picture covers 480 x 360, each pixel
  // from its source, with the gray grid over it.
  channel.zoom = 1.5f;
  channel.EncMode = 2;
  channel.draw->MotionGrid = 1;
  channel.MotionGridMask = 0;
#ifdef QUENDA_LIBRARY
  std::vector<uint8_t> again = frames.front();  // the first (key) picture
  const auto wantZoomed = ReferencePicture("ts_q5", 0);
#else
  std::vector<uint8_t> again = FakeFrame(0, kKey, 9);
  const auto& wantZoomed = want;
#endif
  for (int i = 0; i < 4; ++i) again[8 + size_t(i)] = uint8_t(10u >> (8 * i));  // the next timestamp
  Queue(channel, again);
  for (int i = 0; i < 10000 && channel.framesDecoded < 11; ++i) platform::RealSleep(1);
  ASSERT_EQ(channel.framesDecoded.load(), 11);
  auto zoomedOk = [&](const std::vector<uint32_t>& z) {
    // Away from the grid lines (cells of 96 x 72, pen 2 pixels wide), and on one.
    return z.size() == size_t(480 * 360) && z[size_t(30 * 480 + 30)] == wantZoomed[size_t(20 * 320 + 20)] &&
           z[size_t(150 * 480 + 250)] == wantZoomed[size_t(100 * 320 + 166)] && z[size_t(2 * 480 + 40)] == 0x808080u;
  };
  bool ok = false;
  for (int i = 0; i < 100 && !ok; ++i, platform::RealSleep(20)) ok = zoomedOk(ReadWindow(window->NativeId(), 480, 360));
  EXPECT_TRUE(ok);
}

// A view on an Xvfb of the test's own, its frames coming from a thread that
// stands in for the link: key frames, 1 tick apart, at most 4 queued.
class FedView : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("DISPLAY");
    std::string why;
    if (!xvfb.Start(&why)) GTEST_SKIP() << "no X display for this test: " << why;
    if (!xvfb.Own()) GTEST_SKIP() << "the display is not this test's own to stop";
    unsetenv("VELMORA_VIDEO");
    system = std::make_unique<SystemDir>(FakeLibrary());
    window = platform::CreateViewWindow(320, 240, "velmora display test");
    ASSERT_NE(window, nullptr);
    channel = std::make_unique<CVideoMPEG4>(window.get());
    ASSERT_EQ(channel->draw->ddReady.load(), 1);
    channel->frameRate = 0;
    channel->buffering = 0;
    link = std::thread([this] {
      for (uint32_t k = 0; !stop; ++k) {
        while (!stop && channel->frameQueue->FrameCount() >= 4) platform::RealSleep(1);
        Queue(*channel, FakeFrame(k, kKey, int32_t(k & 0x7F)));
      }
    });
    channel->StartVideoThread();
  }
  void TearDown() override {
    xvfb.Resume();
    stop = true;
    if (link.joinable()) link.join();
    if (clearer.joinable()) clearer.join();
  }

  OwnXvfb xvfb;
  std::unique_ptr<SystemDir> system;
  std::unique_ptr<platform::NativeWindow> window;
  std::unique_ptr<CVideoMPEG4> channel;
  std::atomic<bool> stop{false};
  std::thread link;
  std::thread clearer;  // for a test's own use; joined at the end
};

// The X server goes away under a running view: the process lives, frames
// go on being decoded (into the surface, then into the memory bitmap once
// the device could not be made again), and the view ends cleanly.
TEST_F(FedView, LosingTheServerFailsOnlyTheDrawing) {
  auto decodedBeyond = [&](int32_t n) {
    for (int i = 0; i < 20000 && channel->framesDecoded < n; ++i) platform::RealSleep(1);
    return channel->framesDecoded >= n;
  };
  ASSERT_TRUE(decodedBeyond(5));
  for (int i = 0; i < 5000 && channel->draw->drawOk == 0; ++i) platform::RealSleep(1);
  ASSERT_EQ(channel->draw->drawOk.load(), 1);

  xvfb.Kill();
  EXPECT_TRUE(decodedBeyond(channel->framesDecoded + 10)) << "decoding goes on";
  for (int i = 0; i < 5000 && channel->draw->drawOk == 1; ++i) platform::RealSleep(1);
  EXPECT_EQ(channel->draw->drawOk.load(), 0) << "the blits fail";
  // The statistics timer's count: three seconds without a blit bring a new
  // attempt at the device, which finds no server.
  for (int s = 0; s < 3; ++s) channel->CountDrawFailSecond();
  for (int i = 0; i < 20000 && channel->draw->ddReady == 1; ++i) platform::RealSleep(1);
  EXPECT_EQ(channel->draw->ddReady.load(), 0);
  EXPECT_TRUE(decodedBeyond(channel->framesDecoded + 10)) << "into the memory bitmap now";
  EXPECT_NE(channel->draw->dibBits, nullptr);
}

// The server goes away and the view is closed before its video thread has
// made the device again: closing it from another thread does not wait on
// the lost connection.
TEST_F(FedView, AViewClosedRightAfterTheServerWentAwayEnds) {
  for (int i = 0; i < 20000 && (channel->framesDecoded < 5 || channel->draw->drawOk == 0); ++i) platform::RealSleep(1);
  ASSERT_EQ(channel->draw->drawOk.load(), 1);
  xvfb.Kill();
  for (int i = 0; i < 5000 && channel->draw->drawOk == 1; ++i) platform::RealSleep(1);
  ASSERT_EQ(channel->draw->drawOk.load(), 0) << "the video thread met the lost server";
  stop = true;
  link.join();
  std::atomic<bool> closed{false};
  clearer = std::thread([&] {
    channel.reset();
    closed = true;
  });
  for (int i = 0; i < 20000 && !closed; ++i) platform::RealSleep(1);
  EXPECT_TRUE(closed.load()) << "closing the view hung on the lost display";
  if (!closed) clearer.detach();
}

// A server that stops answering holds up the blit, but not the link
// thread's clear of the display queue: the video thread waits for the server
// without the queue's consumer lock.
TEST_F(FedView, AStalledServerDoesNotHoldTheQueue) {
  for (int i = 0; i < 20000 && (channel->framesDecoded < 5 || channel->draw->drawOk == 0); ++i) platform::RealSleep(1);
  ASSERT_EQ(channel->draw->drawOk.load(), 1);

  xvfb.Pause();
  // The blit in progress, or the next one, waits for the stopped server.
  const int32_t before = channel->framesDecoded;
  for (int i = 0; i < 2000 && channel->framesDecoded <= before; ++i) platform::RealSleep(1);
  std::atomic<bool> cleared{false};
  clearer = std::thread([&] {
    channel->frameQueue->ClearFrames();
    cleared = true;
  });
  for (int i = 0; i < 20000 && !cleared; ++i) platform::RealSleep(1);
  EXPECT_TRUE(cleared.load()) << "the clear waited for the display server";
  if (clearer.joinable()) {
    xvfb.Resume();
    clearer.join();
  }
}

}  // namespace
