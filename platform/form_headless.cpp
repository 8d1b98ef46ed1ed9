// The headless window as a form: its caption is kept, and its input comes
// from Inject, delivered by the creating thread's pumps.
#include "platform/draw_headless.h"

namespace platform {

void HeadlessWindow::SetCaption(const std::string& caption) {
  std::lock_guard<std::mutex> lock(mutex_);
  caption_ = caption;
}

std::string HeadlessWindow::Caption() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return caption_;
}

void HeadlessWindow::Inject(const FormEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  injected_.push_back(event);
}

void HeadlessWindow::Poll() {
  std::vector<FormEvent> events;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events.swap(injected_);
  }
  const std::shared_ptr<bool> alive = alive_;
  for (const FormEvent& e : events) {
    if (!*alive) return;  // a handler destroyed the form
    Dispatch(e);
  }
}

}  // namespace platform
