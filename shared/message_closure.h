// MessageClosure: where an engine object reports (number, text). Empty until
// the control sets it; a message raised while it is empty is dropped. It may
// be set from one thread while another reports.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class MessageClosure {
 public:
  using Target = std::function<void(int32_t number, const char* text)>;

  void Set(Target target) {
    auto next = target ? std::make_shared<const Target>(std::move(target)) : nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = std::move(next);
  }

  void operator()(int32_t number, const char* text) const {
    std::shared_ptr<const Target> target;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      target = target_;
    }
    if (target) (*target)(number, text);
  }
  void operator()(int32_t number, const std::string& text) const { (*this)(number, text.c_str()); }

  explicit operator bool() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return target_ != nullptr;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Target> target_;
};
