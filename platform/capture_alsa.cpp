// ALSA capture into a looping buffer. A feeder thread reads a period at a
// time and publishes how far the buffer is complete. A PCM that has a whole
// buffer ready the moment it starts is not real time (file and null plugins)
// and is read on the platform clock instead.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/capture.h"
#include "platform/clock.h"

namespace platform {
namespace {

constexpr unsigned kDeviceLatencyUs = 100000;
constexpr uint32_t kIdlePollMs = 2;

void Silent(const char*, int, const char*, int, const char*, ...) {}

void QuietAlsa() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(&Silent); });
}

class AlsaCaptureBuffer : public CaptureBuffer {
 public:
  AlsaCaptureBuffer(snd_pcm_t* pcm, const SoundFormat& format, uint32_t bytes, snd_pcm_uframes_t period,
                    snd_pcm_uframes_t deviceBuffer)
      : pcm_(pcm), rate_(format.samplesPerSecond), ring_(bytes / 2), period_(std::max<snd_pcm_uframes_t>(period, 1)),
        deviceBuffer_(deviceBuffer), chunk_(period_) {
    feeder_ = std::thread([this] { Feed(); });
  }

  ~AlsaCaptureBuffer() override {
    quit_.store(true);
    feeder_.join();
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
  }

  bool Lock(int16_t** samples, uint32_t* bytes) override {
    if (lockedOnce_.exchange(true)) return false;
    *samples = ring_.data();
    *bytes = Size();
    return true;
  }

  bool Start() override {
    started_.store(true);
    return true;
  }

  bool GetCapturePosition(CapturePosition* position) override {
    const uint64_t total = total_.load(std::memory_order_acquire);
    position->totalSamples = total;
    position->captureByte = uint32_t(total % ring_.size() * 2);
    return true;
  }

  void Consumed(uint64_t consumed) override { consumed_.store(consumed, std::memory_order_release); }
  uint32_t Size() const override { return uint32_t(ring_.size() * 2); }

 private:
  void Feed() {
    while (!quit_.load()) {
      if (!started_.load()) {
        RealSleep(kIdlePollMs);
        continue;
      }
      if (!running_) Begin();
      if (!ReadSome()) RealSleep(kIdlePollMs);
    }
  }

  void Begin() {
    running_ = true;
    snd_pcm_prepare(pcm_);
    snd_pcm_start(pcm_);
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
    clockPaced_ = avail >= snd_pcm_sframes_t(deviceBuffer_);
    anchorTick_ = GetTickCount();
  }

  // False when nothing could be read yet.
  bool ReadSome() {
    snd_pcm_uframes_t want = period_;
    if (clockPaced_) {
      const uint64_t due = uint64_t(GetTickCount() - anchorTick_) * rate_ / 1000;
      if (due <= readFrames_) return false;
      want = snd_pcm_uframes_t(std::min<uint64_t>(want, due - readFrames_));
    } else {
      const int ready = snd_pcm_wait(pcm_, 20);
      if (ready < 0) {
        snd_pcm_recover(pcm_, ready, 1);
        snd_pcm_start(pcm_);
        return false;
      }
      if (ready == 0) return false;
    }
    const snd_pcm_sframes_t n = snd_pcm_readi(pcm_, chunk_.data(), want);
    if (n == -EAGAIN || n == 0) return false;
    if (n < 0) {
      snd_pcm_recover(pcm_, int(n), 1);
      snd_pcm_start(pcm_);
      return false;
    }
    readFrames_ += uint64_t(n);
    Publish(chunk_.data(), size_t(n));
    return true;
  }

  void Publish(const int16_t* data, size_t count) {
    // Orders the reader's reads of what we overwrite before our writes.
    (void)consumed_.load(std::memory_order_acquire);
    uint64_t total = total_.load(std::memory_order_relaxed);
    const size_t n = ring_.size();
    for (size_t i = 0; i < count; ++i) ring_[(total + i) % n] = data[i];
    total_.store(total + count, std::memory_order_release);
  }

  snd_pcm_t* const pcm_;
  const uint64_t rate_;
  std::vector<int16_t> ring_;
  const snd_pcm_uframes_t period_;
  const snd_pcm_uframes_t deviceBuffer_;
  std::vector<int16_t> chunk_;
  std::thread feeder_;
  std::atomic<bool> quit_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> lockedOnce_{false};
  std::atomic<uint64_t> total_{0};
  std::atomic<uint64_t> consumed_{0};
  // Feeder thread only.
  bool running_ = false;
  bool clockPaced_ = false;
  uint32_t anchorTick_ = 0;
  uint64_t readFrames_ = 0;
};

class AlsaCaptureDevice : public CaptureDevice {
 public:
  explicit AlsaCaptureDevice(snd_pcm_t* pcm) : pcm_(pcm) {}
  ~AlsaCaptureDevice() override {
    if (pcm_) snd_pcm_close(pcm_);
  }

  // One buffer per device: the buffer takes the PCM over.
  std::unique_ptr<CaptureBuffer> CreateCaptureBuffer(const SoundFormat& format, uint32_t bytes) override {
    if (!pcm_ || format.channels != 1 || format.bitsPerSample != 16 || bytes < 2 || bytes % 2 != 0) return nullptr;
    if (snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, format.samplesPerSecond, 1,
                           kDeviceLatencyUs) < 0)
      return nullptr;
    snd_pcm_uframes_t deviceBuffer = 0, period = 0;
    if (snd_pcm_get_params(pcm_, &deviceBuffer, &period) < 0) return nullptr;
    snd_pcm_t* pcm = pcm_;
    pcm_ = nullptr;
    return std::make_unique<AlsaCaptureBuffer>(pcm, format, bytes, period, deviceBuffer);
  }

 private:
  snd_pcm_t* pcm_;
};

}  // namespace

std::unique_ptr<CaptureDevice> OpenAlsaCaptureDevice(const std::string& pcmName) {
  QuietAlsa();
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, pcmName.empty() ? "default" : pcmName.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0)
    return nullptr;
  return std::make_unique<AlsaCaptureDevice>(pcm);
}

}  // namespace platform
