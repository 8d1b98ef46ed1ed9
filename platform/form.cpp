#include "platform/form.h"

#include <cstdlib>

#include "platform/draw_headless.h"

namespace platform {

std::unique_ptr<Form> CreateX11Form(int width, int height, const char* caption);
std::unique_ptr<Form> CreateX11MainForm(int width, int height, const char* title, const char* instance,
                                        const char* className);

void Form::Dispatch(const FormEvent& event) {
  const std::shared_ptr<bool> alive = alive_;
  ++dispatching_;
  Handle(event, *alive);
  if (!*alive) return;  // a handler destroyed the form itself
  if (--dispatching_ != 0 || !afterDispatch_) return;
  const std::function<void()> after = std::move(afterDispatch_);
  afterDispatch_ = nullptr;
  after();  // may destroy the form: nothing of it is read afterwards
}

bool Form::AfterDispatch(std::function<void()> fn) {
  if (dispatching_ == 0) return false;
  afterDispatch_ = std::move(fn);
  return true;
}

void Form::Handle(const FormEvent& event, const bool& alive) {
  if (preDispatch && preDispatch(event)) return;
  using Kind = FormEvent::Kind;
  const bool input = event.kind == Kind::MouseDown || event.kind == Kind::MouseUp || event.kind == Kind::KeyChar;
  if (input && !enabled_) return;
  switch (event.kind) {
    case Kind::MouseDown: {
      bool dbl = false;
      if (event.button == MouseButton::Left) {
        dbl = haveLastPress_ && event.timeMs - lastPressMs_ <= kDoubleClickMs &&
              std::abs(event.x - lastPressX_) <= kDoubleClickDistance &&
              std::abs(event.y - lastPressY_) <= kDoubleClickDistance;
        // The press that completes a double click does not start another.
        haveLastPress_ = !dbl;
        lastPressMs_ = event.timeMs;
        lastPressX_ = event.x;
        lastPressY_ = event.y;
        pressed_ = !dbl;
      }
      if (dbl && handlers.onDblClick) handlers.onDblClick();
      if (alive && handlers.onMouseDown) handlers.onMouseDown(event.button, event.shift, event.x, event.y);
      break;
    }
    case Kind::MouseUp:
      if (event.button == MouseButton::Left && pressed_) {
        pressed_ = false;
        if (handlers.onClick) handlers.onClick();
      }
      break;
    case Kind::KeyChar: {
      char key = event.key;
      if (handlers.onKeyPress) handlers.onKeyPress(key);
      break;
    }
    case Kind::Paint:
      if (handlers.onPaint) handlers.onPaint();
      break;
    case Kind::Activate:
      if (handlers.onActivate) handlers.onActivate();
      break;
    case Kind::Deactivate:
      if (handlers.onDeactivate) handlers.onDeactivate();
      break;
    case Kind::CloseRequest:
      if (handlers.onCloseRequest) handlers.onCloseRequest();
      break;
    case Kind::Gone:
      if (handlers.onGone) handlers.onGone();
      break;
  }
}

namespace {

std::unique_ptr<Form> CreateHeadlessForm(int width, int height, const char* caption) {
  auto form = CreateHeadlessWindow(width, height);
  form->SetCaption(caption ? caption : "");
  return form;
}

}  // namespace

std::unique_ptr<Form> CreateForm(int width, int height, const char* caption) {
  switch (ChooseDrawKind()) {
    case DrawKind::Headless: return CreateHeadlessForm(width, height, caption);
    case DrawKind::X11: return CreateX11Form(width, height, caption);
    case DrawKind::None: break;
  }
  return nullptr;
}

std::unique_ptr<Form> CreateMainForm(int width, int height, const char* title, const char* instance,
                                     const char* className) {
  switch (ChooseDrawKind()) {
    case DrawKind::Headless: return CreateHeadlessForm(width, height, title);
    case DrawKind::X11: return CreateX11MainForm(width, height, title, instance, className);
    case DrawKind::None: break;
  }
  return nullptr;
}

}  // namespace platform
