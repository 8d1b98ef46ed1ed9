// The viewer's form: the window of one control and the owner of its engine.
// Creating it takes an instance number, joins the machine's talk area
// (starting the capture server for the first viewer), builds the link, the
// video channel and the audio player, wires and starts them; its statistics
// timer rolls the link's figures over and watches the connections once a
// second; destroying it stops the engine in order and leaves the area.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "control/viewer_form.h"
#include "engine/link_events.h"
#include "platform/draw.h"
#include "platform/form.h"
#include "platform/input.h"
#include "platform/socket.h"
#include "platform/timer.h"
#include "shared/shared_area.h"

namespace control {

// The status bar along the form's bottom edge, as the diagnostics set it;
// the window shows it (ShowStatusBar).
struct StatusBar {
  bool visible = false;
  std::array<platform::StatusPanel, 6> panels{{{20, {}}, {55, {}}, {55, {}}, {55, {}}, {55, {}}, {55, {}}}};
};

// What tests may replace: where the talk area comes from and the step the
// statistics timer runs after the watchdogs.
struct FormSeams {
  // Attaches the talk area; nullptr means "use a private zeroed area".
  std::function<std::unique_ptr<SharedAreaAttachment>(std::string* error)> attachArea;
  // Starts the capture server; returns false when it could not be started.
  std::function<bool(const std::string& path)> startServer;
  // Runs inside the guarded part of every statistics tick (may throw).
  std::function<void()> onWatchdog;
  // Runs before each diagnostics tick fills its page (may throw).
  std::function<void(int32_t page)> onPage;
  uint32_t linkStartDelayMs = CNetManage::kDefaultStartDelayMs;
};

class TVelmoraX final : public ViewerForm {
 public:
  static constexpr int kWidth = 324;
  static constexpr int kHeight = 310;

  explicit TVelmoraX(FormSeams seams = {});
  ~TVelmoraX() override;
  TVelmoraX(const TVelmoraX&) = delete;
  TVelmoraX& operator=(const TVelmoraX&) = delete;

  CNetManage& Link() override { return *link; }
  CVideoMPEG4& Video() override { return *video; }
  CAudioG726& Audio() override { return *audio; }
  int32_t InstanceNumber() const override { return static_cast<int32_t>(instanceNumber); }
  FormProperties& Properties() override { return properties; }
  platform::NativeWindow* FormWindow() override { return window.get(); }
  void ApplyProperties() override;
  MessageClosure& PassMessage() override { return passMessage; }
  void ActiveFormDestroy() override;
  bool AfterFormEvent(std::function<void()> fn) override {
    return window && window->AfterDispatch(std::move(fn));
  }

  void StatisticTimer();

  // The hidden operator functions: right clicks with Ctrl+Alt page through
  // the status-bar pages, with Ctrl+Shift switch the capture server's status
  // window, with Alt+Shift open or close the debug console; a left click
  // edits the motion grid.
  void ActiveFormMouseDown(platform::MouseButton button, platform::ShiftState shift, int32_t x, int32_t y);
  void Timer1Timer();
  // The window shows StatusBar1 as it is now; it draws only what changed.
  void ShowStatusBar();
  // True when the console is open afterwards; titled with this form's number.
  bool OpenDebugConsole();
  static void CloseDebugConsole();

  // Forms created so far in this process; never lowered.
  static uint32_t InstanceCounter();
  // The capture server's program: VELMORA_OSTRANE when set (empty: none),
  // else "ostrane" in the bin/ beside the system directory's lib/ when it
  // exists, else in the system directory.
  static std::string CaptureServerPath();

  MessageClosure passMessage;
  std::unique_ptr<CNetManage> link;
  std::unique_ptr<CVideoMPEG4> video;
  std::unique_ptr<CAudioG726> audio;
  std::unique_ptr<SharedAreaAttachment> mapping;
  SharedAudioArea* sharedArea = nullptr;
  uint8_t* talkSlotBase = nullptr;
  uint32_t instanceNumber = 0;
  int32_t DiagnosticPage = 0;
  int32_t pageTicks = 0;

  FormProperties properties;
  StatusBar StatusBar1;
  platform::Timer Statistic;
  platform::Timer Timer1;
  platform::ClientSocket VidSock, AudSock;
  // The form's window: parked until a site embeds it; null when there is
  // nothing to draw on.
  std::unique_ptr<platform::Form> window;
  // True when the area is this form's own (the named one could not be had).
  bool privateArea() const { return privateArea_ != nullptr; }

 private:
  void ActiveFormCreate();
  void CreateWindow();
  void AttachArea();
  void StatisticWatchdogs();
  void FillPage(int32_t page);

  FormSeams seams_;
  std::unique_ptr<SharedAudioArea> privateArea_;
  std::unique_ptr<LinkEvents> events_;
  bool destroyed_ = false;
  // What the window was last told, so other properties' puts leave it be.
  FormProperties applied_;
};

// 0xRRGGBB of an OLE colour; system colours (high bit set) map to the
// usual light-grey button face.
uint32_t RgbOfOleColor(OLE_COLOR color);

// Signed decimal text of a value; the 8-bit variant shows the low byte.
std::string FormatCount(int32_t value);
std::string FormatCount8(int32_t value);

// The form the library's objects are built on.
std::unique_ptr<ViewerForm> MakeViewerForm();

}  // namespace control
