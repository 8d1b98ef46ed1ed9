// The null device: plays into nothing, its play cursor moving with the
// platform clock, so tests can drive playback with a controlled clock.
#include <mutex>

#include "platform/clock.h"
#include "platform/sound.h"
#include "platform/sound_looping.h"

namespace platform {
namespace {

// How far a real device's write cursor runs ahead of its play cursor.
constexpr uint32_t kWriteLeadMs = 15;

class NullSoundBuffer : public LoopingSoundBuffer {
 public:
  using LoopingSoundBuffer::LoopingSoundBuffer;

  bool Play() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!playing_) {
      playing_ = true;
      startTick_ = GetTickCount();
    }
    return true;
  }

  bool Stop() override {
    std::lock_guard<std::mutex> lock(mutex_);
    startPos_ = PositionLocked();
    playing_ = false;
    return true;
  }

  bool SetCurrentPosition(uint32_t playCursor) override {
    if (playCursor >= bytes_) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    startPos_ = static_cast<uint32_t>(AlignDown(playCursor));
    startTick_ = GetTickCount();
    return true;
  }

  bool GetCurrentPosition(uint32_t* playCursor, uint32_t* writeCursor) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t play = PositionLocked();
    if (playCursor) *playCursor = play;
    if (writeCursor) {
      const uint64_t lead = playing_ ? AlignDown(uint64_t{format_.BytesPerSecond()} * kWriteLeadMs / 1000) : 0;
      *writeCursor = static_cast<uint32_t>((play + lead) % bytes_);
    }
    return true;
  }

 private:
  uint32_t PositionLocked() const {
    if (!playing_) return startPos_;
    const uint32_t elapsed = GetTickCount() - startTick_;  // wraps with the tick count
    const uint64_t advanced = AlignDown(uint64_t{elapsed} * format_.BytesPerSecond() / 1000);
    return static_cast<uint32_t>((startPos_ + advanced) % bytes_);
  }

  std::mutex mutex_;
  bool playing_ = false;
  uint32_t startPos_ = 0;
  uint32_t startTick_ = 0;
};

class NullSoundDevice : public SoundDevice {
 public:
  std::unique_ptr<SoundBuffer> CreateSoundBuffer(const SoundFormat& format, uint32_t bytes) override {
    if (!LoopingSoundBuffer::Acceptable(format, bytes)) return nullptr;
    return std::make_unique<NullSoundBuffer>(format, bytes);
  }
};

}  // namespace

std::unique_ptr<SoundDevice> OpenNullSoundDevice() { return std::make_unique<NullSoundDevice>(); }

}  // namespace platform
