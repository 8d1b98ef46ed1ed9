// The form's window: input through the owner's pump to the handlers, the
// hook, double clicks, properties acting on the window, and on a real X
// display a form embedded in a host's window that shows a picture and takes
// a click.
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "control/velmora_form.h"
#include "platform/draw_headless.h"
#include "platform/form.h"
#include "platform/message_queue.h"
#include "tests/support/loopback.h"
#include "tests/support/own_display.h"

// Last: Xlib's macros clash with names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using platform::FormEvent;
using platform::MouseButton;
using platform::ShiftState;

namespace {

using Kind = FormEvent::Kind;

FormEvent Mouse(Kind kind, MouseButton button, int32_t x, int32_t y, uint32_t ms, ShiftState shift = {}) {
  FormEvent e;
  e.kind = kind;
  e.button = button;
  e.x = x;
  e.y = y;
  e.timeMs = ms;
  e.shift = shift;
  return e;
}

FormEvent Simple(Kind kind, char key = 0) {
  FormEvent e;
  e.kind = kind;
  e.key = key;
  return e;
}

// Every handler call of a form, in order.
struct Journal {
  std::vector<std::string> calls;
  void Attach(platform::Form& form) {
    auto& h = form.handlers;
    h.onClick = [this] { calls.push_back("click"); };
    h.onDblClick = [this] { calls.push_back("dblclick"); };
    h.onPaint = [this] { calls.push_back("paint"); };
    h.onActivate = [this] { calls.push_back("activate"); };
    h.onDeactivate = [this] { calls.push_back("deactivate"); };
    h.onKeyPress = [this](char& key) {
      calls.push_back(std::string("key ") + key);
      key = 0;
    };
    h.onMouseDown = [this](MouseButton b, ShiftState s, int32_t x, int32_t y) {
      calls.push_back(std::string("down ") + (b == MouseButton::Left ? "L" : b == MouseButton::Right ? "R" : "M") +
                      (s.shift ? "s" : "") + (s.ctrl ? "c" : "") + (s.alt ? "a" : "") + " " + std::to_string(x) +
                      "," + std::to_string(y));
    };
  }
};

TEST(FormWindow, InputRunsOnTheOwnersPumpThroughTheHookToTheHandlers) {
  platform::HeadlessWindow form(324, 310);
  Journal j;
  j.Attach(form);
  form.Inject(Mouse(Kind::MouseDown, MouseButton::Left, 10, 10, 1000));
  EXPECT_TRUE(j.calls.empty()) << "nothing runs before the pump";
  form.Inject(Mouse(Kind::MouseUp, MouseButton::Left, 10, 10, 1050));
  form.Inject(Mouse(Kind::MouseDown, MouseButton::Left, 12, 11, 1200));  // the second press of a double click
  form.Inject(Mouse(Kind::MouseUp, MouseButton::Left, 12, 11, 1250));
  form.Inject(Mouse(Kind::MouseDown, MouseButton::Left, 12, 11, 1400));  // a third press starts over
  form.Inject(Mouse(Kind::MouseDown, MouseButton::Left, 40, 40, 1500));  // too far for a double click
  form.Inject(Mouse(Kind::MouseDown, MouseButton::Right, 3, 4, 1600, {false, true, true}));
  form.Inject(Simple(Kind::KeyChar, 'a'));
  form.Inject(Simple(Kind::Paint));
  form.Inject(Simple(Kind::Activate));
  form.Inject(Simple(Kind::Deactivate));
  platform::PumpMessages();
  const std::vector<std::string> expected = {"down L 10,10", "click",        "dblclick",     "down L 12,11",
                                             "down L 12,11", "down L 40,40", "down Rca 3,4", "key a",
                                             "paint",        "activate",     "deactivate"};
  EXPECT_EQ(j.calls, expected);

  // The hook sees everything first and may keep an event from the handlers.
  j.calls.clear();
  std::vector<Kind> hooked;
  form.preDispatch = [&](const FormEvent& e) {
    hooked.push_back(e.kind);
    return e.kind == Kind::KeyChar;
  };
  form.Inject(Simple(Kind::KeyChar, 'b'));
  form.Inject(Simple(Kind::Paint));
  platform::PumpMessages();
  EXPECT_EQ(hooked, (std::vector<Kind>{Kind::KeyChar, Kind::Paint}));
  EXPECT_EQ(j.calls, std::vector<std::string>{"paint"});

  // Disabled, it takes no input but still paints.
  form.preDispatch = nullptr;
  j.calls.clear();
  form.SetEnabled(false);
  form.Inject(Mouse(Kind::MouseDown, MouseButton::Left, 1, 1, 5000));
  form.Inject(Simple(Kind::KeyChar, 'c'));
  form.Inject(Simple(Kind::Paint));
  platform::PumpMessages();
  EXPECT_EQ(j.calls, std::vector<std::string>{"paint"});
}

TEST(FormWindow, EventsBelongToTheThreadThatMadeTheForm) {
  std::unique_ptr<platform::HeadlessWindow> form;
  std::thread maker([&] { form = platform::CreateHeadlessWindow(10, 10); });
  maker.join();
  int clicks = 0;
  form->handlers.onPaint = [&] { ++clicks; };
  form->Inject(Simple(Kind::Paint));
  platform::PumpMessages();
  EXPECT_EQ(clicks, 0) << "the maker's pump runs them, not this thread's";
}

TEST(FormWindow, AHandlerMayDestroyItsForm) {
  auto form = platform::CreateHeadlessWindow(10, 10);
  int paints = 0;
  form->handlers.onPaint = [&] {
    ++paints;
    form.reset();
  };
  form->Inject(Simple(Kind::Paint));
  form->Inject(Simple(Kind::Paint));
  platform::PumpMessages();
  EXPECT_EQ(paints, 1);
  EXPECT_EQ(form, nullptr);
}

TEST(FormWindow, WaitForMessagesWakesOnAPostAndOtherwiseWaitsItsTime) {
  const platform::ThreadId me = platform::CurrentThreadId();
  platform::PumpMessages();  // this thread's queue exists
  std::thread poster([me] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    platform::PostThreadMessage(me, [] {});
  });
  EXPECT_TRUE(platform::WaitForMessages(10000));
  poster.join();
  EXPECT_EQ(platform::PumpMessages(), 1);
  EXPECT_FALSE(platform::WaitForMessages(20));
}

control::FormSeams PrivateArea() {
  setenv("VELMORA_AUDIO", "null", 1);
  setenv("VELMORA_OSTRANE", "", 1);
  control::FormSeams s;
  s.attachArea = [](std::string*) { return std::unique_ptr<SharedAreaAttachment>(); };
  return s;
}

TEST(FormWindow, TheViewerFormsInputReachesItsDiagnosticsAndEvents) {
  setenv("VELMORA_VIDEO", "headless", 1);
  control::TVelmoraX form(PrivateArea());
  auto* window = dynamic_cast<platform::HeadlessWindow*>(form.window.get());
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->Width(), control::TVelmoraX::kWidth);
  EXPECT_EQ(window->Height(), control::TVelmoraX::kHeight);
  int clicks = 0;
  char seen = 0;
  form.events.onClick = [&] { ++clicks; };
  form.events.onKeyPress = [&](char& k) { seen = k; };
  window->Inject(Mouse(Kind::MouseDown, MouseButton::Right, 5, 5, 0, {false, true, true}));
  window->Inject(Mouse(Kind::MouseDown, MouseButton::Left, 5, 5, 1000));
  window->Inject(Mouse(Kind::MouseUp, MouseButton::Left, 5, 5, 1010));
  window->Inject(Simple(Kind::KeyChar, 'q'));
  platform::PumpMessages();
  EXPECT_EQ(form.DiagnosticPage, 1) << "Ctrl+Alt right click";
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(seen, 'q');

  // Colour and caption act on the window; other properties leave it be.
  form.Properties().Color = 0x00FF8040;  // OLE colours are 0x00BBGGRR
  form.Properties().Caption = u"Gate";
  form.ApplyProperties();
  EXPECT_EQ(window->Pixel(100, 100), 0x4080FFu);
  EXPECT_EQ(window->Caption(), "Gate");
  window->SetVisible(false);  // as a site's hide verb does
  form.Properties().AutoScroll = VARIANT_FALSE;
  form.ApplyProperties();
  EXPECT_FALSE(window->Visible());
  form.Properties().Enabled = VARIANT_FALSE;
  form.ApplyProperties();
  window->Inject(Mouse(Kind::MouseDown, MouseButton::Right, 5, 5, 0, {false, true, true}));
  platform::PumpMessages();
  EXPECT_EQ(form.DiagnosticPage, 1) << "a disabled form takes no clicks";
}

// ---- on a real display ----------------------------------------------------

// A host's top-level window, on a connection of the test's own.
struct HostWindow {
  Display* display = XOpenDisplay(nullptr);
  Window window = 0;
  HostWindow() {
    if (!display) return;
    const int screen = DefaultScreen(display);
    window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, 400, 360, 0, WhitePixel(display, screen),
                                 WhitePixel(display, screen));
    XMapWindow(display, window);
    XSync(display, False);
  }
  ~HostWindow() {
    if (!display) return;
    XDestroyWindow(display, window);
    XCloseDisplay(display);
  }
  uint32_t Pixel(int x, int y) {
    XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return 0xFFFFFFFF;
    const uint32_t p = uint32_t(XGetPixel(image, 0, 0)) & 0xFFFFFF;
    XDestroyImage(image);
    return p;
  }
  // What a user's click looks like to the form's window.
  void Click(uint64_t target, unsigned button, unsigned state, int x, int y) {
    XEvent e{};
    e.xbutton.type = ButtonPress;
    e.xbutton.display = display;
    e.xbutton.window = Window(target);
    e.xbutton.button = button;
    e.xbutton.state = state;
    e.xbutton.x = x;
    e.xbutton.y = y;
    e.xbutton.same_screen = True;
    XSendEvent(display, Window(target), False, ButtonPressMask, &e);
    XFlush(display);
  }
};

// A viewer form on an X display, and a host's window to embed it in.
class FormX11 : public ::testing::Test {
 protected:
  static constexpr int kW = control::TVelmoraX::kWidth, kH = control::TVelmoraX::kHeight;
  void SetUp() override {
    std::string why;
    if (!display.Start(&why)) GTEST_SKIP() << why;
    unsetenv("VELMORA_VIDEO");
    host = std::make_unique<HostWindow>();
    ASSERT_NE(host->display, nullptr);
    form = std::make_unique<control::TVelmoraX>(PrivateArea());
    ASSERT_NE(form->window, nullptr);
    ASSERT_EQ(form->window->Kind(), platform::DrawKind::X11);
  }
  // At (20, 30) in the host's window.
  void Embed() {
    form->window->SetParent(host->window);
    form->window->SetBounds({20, 30, 20 + kW, 30 + kH});
    form->window->Show();
    XSync(host->display, False);
  }
  // A picture of one colour, 0x60C030, through the form's own device.
  void ShowPicture() {
    auto device = platform::CreateDrawDevice(form->window.get());
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->BitCount(), 32u);
    uint8_t* surface = device->Lock();
    for (int i = 0; i < 320 * 240; ++i) {
      surface[i * 4 + 0] = 0x30;  // B
      surface[i * 4 + 1] = 0xC0;  // G
      surface[i * 4 + 2] = 0x60;  // R
    }
    device->Unlock();
    ASSERT_EQ(device->Blit({0, 0, 320, 240}), platform::DrawResult::Ok);
  }

  testing_support::OwnDisplay display;
  std::unique_ptr<HostWindow> host;
  std::unique_ptr<control::TVelmoraX> form;
};

TEST_F(FormX11, EmbeddedInAHostWindowItShowsThePictureAndTakesClicks) {
  Embed();
  EXPECT_EQ(host->Pixel(200, 200), 0x000000u) << "the form is black where nothing is drawn";
  EXPECT_EQ(host->Pixel(5, 5), 0xFFFFFFu) << "the host's own background around it";

  // A picture through the form's own device lands inside the host's window.
  ShowPicture();
  EXPECT_EQ(host->Pixel(20 + 100, 30 + 100), 0x60C030u);

  // A Ctrl+Alt right click at (7, 9) reaches the diagnostics with its keys.
  std::vector<std::string> downs;
  form->window->preDispatch = [&](const FormEvent& e) {
    if (e.kind == Kind::MouseDown)
      downs.push_back(std::to_string(int(e.button)) + (e.shift.ctrl ? "c" : "") + (e.shift.alt ? "a" : "") +
                      (e.shift.shift ? "s" : "") + " " + std::to_string(e.x) + "," + std::to_string(e.y));
    return false;
  };
  host->Click(form->window->NativeId(), 3, ControlMask | Mod1Mask, 7, 9);
  ASSERT_TRUE(testing_support::PumpUntil([&] { return form->DiagnosticPage == 1; }, 10000));
  ASSERT_EQ(downs.size(), 1u);
  EXPECT_EQ(downs[0], std::to_string(int(MouseButton::Right)) + "ca 7,9");

  // Parked again, it leaves the host's window.
  form->window->SetParent(0);
  XSync(host->display, False);
  EXPECT_EQ(host->Pixel(20 + 100, 30 + 100), 0xFFFFFFu);
}

TEST_F(FormX11, DiagnosticPagesShowInAStatusBarAlongTheBottomEdge) {
  constexpr ShiftState kCtrlAlt{false, true, true};
  // Page 1 is chosen while the form is parked: it shows once the form does.
  form->ActiveFormMouseDown(MouseButton::Right, kCtrlAlt, 5, 5);
  Embed();
  ShowPicture();
  auto litInStrip = [&] {
    XImage* image = XGetImage(host->display, host->window, 20, 30 + kH - platform::kStatusBarHeight, kW,
                              platform::kStatusBarHeight, AllPlanes, ZPixmap);
    int lit = 0;
    for (int y = 0; image && y < image->height; ++y)
      for (int x = 0; x < image->width; ++x) lit += (XGetPixel(image, x, y) & 0xFFFFFF) != 0;
    if (image) XDestroyImage(image);
    return lit;
  };
  ASSERT_TRUE(testing_support::PumpUntil(
      [&] { return litInStrip() > 0 && form->StatusBar1.panels[1].text.starts_with("#ID:"); }, 10000));
  EXPECT_EQ(form->window->StatusBarPanels(),
            std::vector<platform::StatusPanel>(form->StatusBar1.panels.begin(), form->StatusBar1.panels.end()));
  EXPECT_EQ(form->window->StatusBarPanels()[0].text, "1");

  for (int click = 0; click < 8; ++click) form->ActiveFormMouseDown(MouseButton::Right, kCtrlAlt, 5, 5);
  ASSERT_EQ(form->DiagnosticPage, 0);
  EXPECT_TRUE(testing_support::PumpUntil([&] { return litInStrip() == 0; }, 10000)) << "black again";
  EXPECT_EQ(host->Pixel(20 + 100, 30 + 100), 0x60C030u) << "the picture stays";
}

}  // namespace
