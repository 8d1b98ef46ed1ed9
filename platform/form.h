// A form: the window a control lives in, with reassignable handlers for what
// the user does to it. Its events (clicks, keys, paints, focus) are read on
// the thread that made it, inside that thread's message pumps, and run
// through a pre-dispatch hook before the handlers.
//
// X11 forms read their events from the display; headless forms are given
// events by Inject, and deliver them the same way.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/draw.h"
#include "platform/input.h"
#include "platform/status_bar.h"

namespace platform {

struct FormEvent {
  // (KeyChar, not KeyPress: Xlib defines that name as a macro.)
  enum class Kind { MouseDown, MouseUp, KeyChar, Paint, Activate, Deactivate, CloseRequest, Gone };
  Kind kind = Kind::Paint;
  MouseButton button = MouseButton::Left;
  ShiftState shift;
  int32_t x = 0, y = 0;
  char key = 0;
  uint32_t timeMs = 0;  // when it happened, for telling double clicks
};

struct FormHandlers {
  std::function<void()> onCreate, onDestroy, onActivate, onDeactivate, onClick, onDblClick, onPaint;
  // The handler may change or clear (0) the key.
  std::function<void(char& key)> onKeyPress;
  std::function<void(MouseButton button, ShiftState shift, int32_t x, int32_t y)> onMouseDown;
  // A main form's: the desktop asks to close it (its close button).
  std::function<void()> onCloseRequest;
  // The window went from under the form: another program destroyed it, or
  // its display connection was lost. Raised once.
  std::function<void()> onGone;
};

class Form : public NativeWindow {
 public:
  static constexpr uint32_t kDoubleClickMs = 500;
  static constexpr int32_t kDoubleClickDistance = 4;

  FormHandlers handlers;
  // Sees every event first; returning true keeps it from the handlers.
  std::function<bool(const FormEvent&)> preDispatch;

  // 0xRRGGBB; the form's background.
  virtual void SetColor(uint32_t rgb) = 0;
  virtual void SetCaption(const std::string& caption) = 0;
  // A disabled form takes no mouse or key input; it still paints.
  void SetEnabled(bool enabled) { enabled_ = enabled; }
  bool Enabled() const { return enabled_; }
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }
  // The status bar along the bottom edge: shown with these panels, or
  // hidden, leaving what lies under it to the window. Owner's thread only.
  virtual void SetStatusBar(bool visible, std::span<const StatusPanel> panels) {
    statusShown_ = visible;
    statusPanels_.assign(panels.begin(), panels.end());
  }
  bool StatusBarShown() const { return statusShown_; }
  const std::vector<StatusPanel>& StatusBarPanels() const { return statusPanels_; }

  // Runs one event on the owner thread: the hook, then the handlers. A
  // left press soon after another, near it, is a double click; a left
  // release after a single press is a click.
  void Dispatch(const FormEvent& event);
  // While an event is being dispatched: keeps fn until that dispatch has
  // returned, runs it then, and gives true. Otherwise false, and fn is not
  // run. fn may destroy the form; a handler that lets go of the form's owner
  // must not take the form from under the dispatch that called it. Owner's
  // thread only.
  bool AfterDispatch(std::function<void()> fn);

 protected:
  // Lets a reader of events notice that a handler destroyed the form.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

 private:
  // alive turns false when a handler destroys the form.
  void Handle(const FormEvent& event, const bool& alive);

  std::atomic<bool> enabled_{true};
  int dispatching_ = 0;  // nested dispatches under way
  std::function<void()> afterDispatch_;
  bool statusShown_ = false;
  std::vector<StatusPanel> statusPanels_;
  bool pressed_ = false;
  bool haveLastPress_ = false;
  uint32_t lastPressMs_ = 0;
  int32_t lastPressX_ = 0, lastPressY_ = 0;
};

// A form of the chosen kind (see draw.h), parked: a child of an unmapped
// window, black, width x height, until SetParent gives it a parent. Its
// events are delivered by the creating thread's pumps. Null when there is
// nothing to draw on (DrawKind::None, or the display cannot be opened).
std::unique_ptr<Form> CreateForm(int width, int height, const char* caption);

// A program's own top-level form of the chosen kind, shown. The desktop
// knows it by its class (WM_CLASS instance and class) and process, and its
// close button raises onCloseRequest rather than ending the program's
// display connection. Null as CreateForm.
std::unique_ptr<Form> CreateMainForm(int width, int height, const char* title, const char* instance,
                                     const char* className);

}  // namespace platform
