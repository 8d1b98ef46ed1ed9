// A message box never blocks: a window on a display (here an Xvfb of the
// test's own), a line on stderr without one.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/message_box.h"
#include "tests/support/own_display.h"
#include "tests/support/wait.h"

// Last: Xlib's macros clash with names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {


bool WaitFor(const std::function<bool()>& done) {
  return testing_support::WaitUntil(done, 10000, 10);
}

TEST(MessageBox, WithoutADisplayItIsOneLine) {
  const char* saved = std::getenv("DISPLAY");
  std::string keep = saved ? saved : "";
  unsetenv("DISPLAY");
  testing::internal::CaptureStderr();
  platform::ShowMessageBox("Don't assign a value to read-only variable", "Inform");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Inform] Don't assign a value to read-only variable\n");
  setenv("DISPLAY", ":0", 1);
  setenv("VELMORA_MESSAGE_BOX", "stderr", 1);
  testing::internal::CaptureStderr();
  platform::ShowMessageBox("forced", "Inform");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Inform] forced\n");
  unsetenv("VELMORA_MESSAGE_BOX");
  if (saved) setenv("DISPLAY", keep.c_str(), 1); else unsetenv("DISPLAY");
}

TEST(MessageBox, WithADisplayItIsAWindowThatDoesNotBlock) {
  testing_support::OwnDisplay own;
  std::string why;
  if (!own.Start(&why)) GTEST_SKIP() << why;
  unsetenv("VELMORA_MESSAGE_BOX");

  platform::ShowMessageBox("Don't assign a value to read-only variable", "Inform");  // returns at once
  Display* d = XOpenDisplay(nullptr);
  ASSERT_NE(d, nullptr);
  Window box = 0;
  EXPECT_TRUE(WaitFor([&] {
    box = testing_support::FindWindowNamed(d, DefaultRootWindow(d), "Inform");
    return box != 0;
  }));
  if (box) {
    // Closed as a window manager closes it.
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = box;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    XSendEvent(d, box, False, NoEventMask, &e);
    XFlush(d);
    EXPECT_TRUE(WaitFor([&] { return testing_support::FindWindowNamed(d, DefaultRootWindow(d), "Inform") == 0; }));
  }
  XCloseDisplay(d);
}

TEST(MessageBox, AnOpenBoxOutlivesItsServerWithoutEndingTheProcess) {
  testing_support::OwnDisplay own;
  std::string why;
  if (!own.Start(&why)) GTEST_SKIP() << why;
  if (!own.Own()) GTEST_SKIP() << "needs an Xvfb of its own to stop";
  unsetenv("VELMORA_MESSAGE_BOX");
  platform::ShowMessageBox("still open", "Inform");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  own.Kill();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Still here; the next box, with no server, is a line.
  testing::internal::CaptureStderr();
  platform::ShowMessageBox("after", "Inform");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Inform] after\n");
}

}  // namespace
