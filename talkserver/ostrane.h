// TOstrane: the capture server's main form. It attaches the shared talk
// area as the server, starts the microphone capture that fills the area's
// ring, shows its status on request (showStatus) and closes itself once the
// viewers' heartbeat has not changed for 30 ticks.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/status_window.h"
#include "shared/shared_area.h"
#include "talkserver/audio_in.h"

// Ticks left until the next heartbeat check, and the heartbeat last seen.
extern std::atomic<uint16_t> watchCountdown;
extern std::atomic<uint16_t> lastHeartbeat;

std::string FormatCount(int64_t value);

class TOstrane {
 public:
  static constexpr int kWidth = 317;
  static constexpr int kHeight = 74;
  static constexpr int kStatusHeight = 80;
  static constexpr int kPanels = 4;
  static constexpr int kPanelWidth = 60;
  static constexpr uint16_t kWatchTicks = 30;

  struct Label {
    int left = 96, top = 16;
    std::string caption = "Audio Server Start....";
  };
  struct StatusBar {
    bool visible = false;
    std::array<std::string, kPanels> panels;
  };
  struct Timer {
    uint32_t interval = 1000;
    bool enabled = true;
  };

  struct Options {
    uint32_t tickMs = 1000;
    CAudioIn::DeviceOpener captureOpener;  // empty: OSTRANE_CAPTURE
    std::unique_ptr<platform::StatusWindow> window;  // null: CreateStatusWindow
  };

  explicit TOstrane(Options options);
  ~TOstrane();  // closes when still open
  TOstrane(const TOstrane&) = delete;
  TOstrane& operator=(const TOstrane&) = delete;

  // Attaches the area and starts capture. False, with a one-line reason and
  // nothing written, when the area cannot be had.
  bool FormCreate(std::string* error);
  // Stops the capture (joined), then detaches the area. Once.
  void FormClose();
  void Timer1Timer();

  // Set by the watchdog; the owner's loop then calls FormClose.
  bool closeRequested() const { return closeRequested_; }
  bool shown() const { return shown_; }
  int height() const { return height_; }
  const StatusBar& statusBar() const { return StatusBar1; }
  CAudioIn* capture() const { return capture_.get(); }
  SharedAudioArea* area() const { return attachment_ ? attachment_->area() : nullptr; }
  void ProcessEvents();

  Label Label1;
  StatusBar StatusBar1;
  Timer Timer1;

 private:
  void Render();

  std::unique_ptr<CAudioIn> capture_;
  std::unique_ptr<SharedAreaAttachment> attachment_;
  uint8_t* base_ = nullptr;
  TalkSlot* firstSlot_ = nullptr;
  int16_t* showStatus_ = nullptr;
  uint16_t* heartbeat_ = nullptr;
  CAudioIn::DeviceOpener captureOpener_;
  std::unique_ptr<platform::StatusWindow> window_;
  bool shown_ = false;
  int height_ = kHeight;
  bool beatInWindow_ = false;
  bool closeRequested_ = false;
};

// OSTRANE_TICK_MS when it is a whole number 1..60000, else 1000.
uint32_t TickIntervalFromEnvironment();
