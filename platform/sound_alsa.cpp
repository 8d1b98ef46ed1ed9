// ALSA playback of a looping buffer. A feeder thread copies the buffer to the
// device a little ahead of where it plays; the play cursor is what has been
// fed minus what the device still holds. A device that takes data without
// ever holding any (the file and null plugins) is fed on the platform clock
// instead, so the cursor still moves at the sample rate.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/sound.h"
#include "platform/sound_looping.h"

namespace platform {
namespace {

constexpr unsigned kDeviceLatencyUs = 100000;  // what ALSA may hold
constexpr uint32_t kFeedPollMs = 5;
constexpr uint32_t kClockLeadMs = 60;  // how far a non-blocking device is fed ahead of the clock

void Silent(const char*, int, const char*, int, const char*, ...) {}

// ALSA's own error printing would flood stderr on machines without a card.
void QuietAlsa() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(&Silent); });
}

class AlsaSoundBuffer : public LoopingSoundBuffer {
 public:
  AlsaSoundBuffer(snd_pcm_t* pcm, const SoundFormat& format, uint32_t bytes)
      : LoopingSoundBuffer(format, bytes),
        pcm_(pcm),
        chunk_(static_cast<size_t>(ChunkFrames()) * format.channels) {
    feeder_ = std::thread([this] { Feed(); });
  }

  ~AlsaSoundBuffer() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    feeder_.join();
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
  }

  bool Play() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!playing_) {
      playing_ = true;
      anchorTick_ = GetTickCount();
    }
    return true;
  }

  bool Stop() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (playing_) {
      anchorPos_ = PlayCursorLocked();
      DropLocked();
      playing_ = false;
    }
    return true;
  }

  bool SetCurrentPosition(uint32_t playCursor) override {
    if (playCursor >= bytes_) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    DropLocked();
    anchorPos_ = static_cast<uint32_t>(AlignDown(playCursor));
    anchorTick_ = GetTickCount();
    return true;
  }

  bool GetCurrentPosition(uint32_t* playCursor, uint32_t* writeCursor) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (playCursor) *playCursor = PlayCursorLocked();
    if (writeCursor) *writeCursor = PositionAfter(written_);
    return true;
  }

 private:
  uint32_t ChunkFrames() const { return std::max<uint32_t>(format_.samplesPerSecond / 50, 1); }  // 20 ms

  uint32_t PositionAfter(uint64_t frames) const {
    return static_cast<uint32_t>((anchorPos_ + frames % (bytes_ / format_.BlockAlign()) * format_.BlockAlign()) %
                                 bytes_);
  }

  uint64_t ClockFramesLocked() const {
    if (!playing_) return 0;
    const uint32_t elapsed = GetTickCount() - anchorTick_;
    return uint64_t{elapsed} * format_.samplesPerSecond / 1000;
  }

  uint64_t PlayedLocked() {
    if (clockPaced_) return std::min(written_, ClockFramesLocked());
    snd_pcm_sframes_t held = 0;
    if (written_ == 0 || snd_pcm_delay(pcm_, &held) < 0 || held < 0) held = 0;  // after an underrun nothing is held
    return written_ - std::min<uint64_t>(written_, static_cast<uint64_t>(held));
  }

  uint32_t PlayCursorLocked() { return PositionAfter(PlayedLocked()); }

  void DropLocked() {
    if (written_ > 0) {
      snd_pcm_drop(pcm_);
      snd_pcm_prepare(pcm_);
    }
    written_ = 0;
  }

  void Feed() {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (quit_) return;
        if (playing_) FeedLocked();
      }
      RealSleep(kFeedPollMs);
    }
  }

  void FeedLocked() {
    snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
    if (avail < 0) {
      snd_pcm_recover(pcm_, static_cast<int>(avail), 1);
      return;
    }
    uint64_t want = static_cast<uint64_t>(avail);
    if (clockPaced_) {
      const uint64_t limit = ClockFramesLocked() + uint64_t{format_.samplesPerSecond} * kClockLeadMs / 1000;
      want = written_ >= limit ? 0 : std::min(want, limit - written_);
    }
    const uint32_t totalSamples = bytes_ / 2;
    while (want > 0) {
      const uint32_t frames = static_cast<uint32_t>(std::min<uint64_t>(want, ChunkFrames()));
      const uint32_t first = PositionAfter(written_) / 2;
      CopyOut(first % totalSamples, frames * format_.channels, chunk_.data());
      snd_pcm_sframes_t n = snd_pcm_writei(pcm_, chunk_.data(), frames);
      if (n == -EAGAIN) return;
      if (n < 0) {
        snd_pcm_recover(pcm_, static_cast<int>(n), 1);
        return;
      }
      written_ += static_cast<uint64_t>(n);
      want -= std::min<uint64_t>(want, static_cast<uint64_t>(n));
      if (!probed_) {
        // A device that holds nothing right after a write never blocks.
        probed_ = true;
        snd_pcm_sframes_t held = -1;
        if (snd_pcm_delay(pcm_, &held) == 0 && held == 0) clockPaced_ = true;
        return;
      }
    }
  }

  snd_pcm_t* const pcm_;
  std::vector<int16_t> chunk_;
  std::thread feeder_;
  std::mutex mutex_;  // every ALSA call on pcm_ is made under it
  bool quit_ = false;
  bool playing_ = false;
  bool probed_ = false;
  bool clockPaced_ = false;
  uint32_t anchorPos_ = 0;   // byte position of the first frame fed since the last move
  uint32_t anchorTick_ = 0;  // tick count when playback from anchorPos_ began
  uint64_t written_ = 0;     // frames fed since then
};

class AlsaSoundDevice : public SoundDevice {
 public:
  explicit AlsaSoundDevice(snd_pcm_t* pcm) : pcm_(pcm) {}
  ~AlsaSoundDevice() override {
    if (pcm_) snd_pcm_close(pcm_);
  }

  // One buffer per device: the buffer takes the PCM over.
  std::unique_ptr<SoundBuffer> CreateSoundBuffer(const SoundFormat& format, uint32_t bytes) override {
    if (!pcm_ || !LoopingSoundBuffer::Acceptable(format, bytes)) return nullptr;
    if (snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, format.channels,
                           format.samplesPerSecond, 1, kDeviceLatencyUs) < 0)
      return nullptr;
    snd_pcm_t* pcm = pcm_;
    pcm_ = nullptr;
    return std::make_unique<AlsaSoundBuffer>(pcm, format, bytes);
  }

 private:
  snd_pcm_t* pcm_;
};

}  // namespace

std::unique_ptr<SoundDevice> OpenAlsaSoundDevice(const std::string& pcmName) {
  QuietAlsa();
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, pcmName.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return nullptr;
  return std::make_unique<AlsaSoundDevice>(pcm);
}

}  // namespace platform
