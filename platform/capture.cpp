// Choosing the capture source, and the sources made on the platform clock.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

#include "platform/capture.h"
#include "platform/clock.h"

namespace platform {
namespace {

class ClockCaptureBuffer : public CaptureBuffer {
 public:
  ClockCaptureBuffer(SampleSource source, const SoundFormat& format, uint32_t bytes)
      : source_(std::move(source)), rate_(format.samplesPerSecond), ring_(bytes / 2) {}

  bool Lock(int16_t** samples, uint32_t* bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lockedOnce_) return false;
    lockedOnce_ = true;
    *samples = ring_.data();
    *bytes = Size();
    return true;
  }

  bool Start() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) {
      started_ = true;
      lastTick_ = GetTickCount();
    }
    return true;
  }

  // Makes the samples whose time has come, on the caller's thread.
  bool GetCapturePosition(CapturePosition* position) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) {
      const uint32_t now = GetTickCount();
      elapsedMs_ += now - lastTick_;
      lastTick_ = now;
      const uint64_t due = elapsedMs_ * rate_ / 1000;
      const uint64_t n = ring_.size();
      if (due - made_ > n) made_ = due - n;  // only the last buffer's worth can be held
      for (; made_ < due; ++made_) ring_[made_ % n] = source_(made_);
    }
    position->totalSamples = made_;
    position->captureByte = uint32_t(made_ % ring_.size() * 2);
    return true;
  }

  void Consumed(uint64_t) override {}
  uint32_t Size() const override { return uint32_t(ring_.size() * 2); }

 private:
  SampleSource source_;
  const uint64_t rate_;
  std::vector<int16_t> ring_;
  std::mutex mutex_;
  bool lockedOnce_ = false;
  bool started_ = false;
  uint32_t lastTick_ = 0;
  uint64_t elapsedMs_ = 0;
  uint64_t made_ = 0;
};

class ClockCaptureDevice : public CaptureDevice {
 public:
  explicit ClockCaptureDevice(SampleSource source) : source_(std::move(source)) {}
  std::unique_ptr<CaptureBuffer> CreateCaptureBuffer(const SoundFormat& format, uint32_t bytes) override {
    if (format.channels != 1 || format.bitsPerSample != 16 || format.samplesPerSecond == 0 || bytes < 2 ||
        bytes % 2 != 0)
      return nullptr;
    return std::make_unique<ClockCaptureBuffer>(source_, format, bytes);
  }

 private:
  SampleSource source_;
};

bool ParseHz(const std::string& text, double* hz) {
  if (text.empty()) return false;
  char* end = nullptr;
  *hz = std::strtod(text.c_str(), &end);
  return end != nullptr && *end == '\0' && *hz > 0 && *hz < 4000;
}

}  // namespace

std::unique_ptr<CaptureDevice> OpenClockCaptureDevice(SampleSource source) {
  return std::make_unique<ClockCaptureDevice>(std::move(source));
}

std::unique_ptr<CaptureDevice> OpenCaptureDevice(const std::string& source) {
  if (source.empty() || source == "alsa") return OpenAlsaCaptureDevice("default");
  if (source.rfind("alsa:", 0) == 0) return OpenAlsaCaptureDevice(source.substr(5));
  if (source == "test:silence") return OpenClockCaptureDevice([](uint64_t) { return int16_t(0); });
  if (source.rfind("test:sine:", 0) == 0) {
    double hz = 0;
    if (!ParseHz(source.substr(10), &hz)) return nullptr;
    return OpenClockCaptureDevice([hz](uint64_t n) {
      const double phase = std::fmod(double(n) * hz / 8000.0, 1.0);
      return int16_t(std::lround(12000.0 * std::sin(2 * M_PI * phase)));
    });
  }
  if (source.rfind("file:", 0) == 0) {
    std::ifstream in(source.substr(5), std::ios::binary);
    if (!in) return nullptr;
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return nullptr;
    auto samples = std::make_shared<std::vector<int16_t>>(bytes.size() / 2);
    for (size_t i = 0; i < samples->size(); ++i)
      (*samples)[i] = int16_t(uint16_t(uint8_t(bytes[2 * i])) | uint16_t(uint8_t(bytes[2 * i + 1])) << 8);
    return OpenClockCaptureDevice(
        [samples](uint64_t n) { return n < samples->size() ? (*samples)[n] : int16_t(0); });
  }
  return nullptr;  // none, or a source nobody knows
}

std::unique_ptr<CaptureDevice> OpenCaptureDevice() {
  const char* source = std::getenv("OSTRANE_CAPTURE");
  return OpenCaptureDevice(source != nullptr ? source : "");
}

}  // namespace platform
