// Helpers of the capture-server tests: a capture device whose position the
// test sets by hand, offline encoding of expected slots, and frame fields.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/tone.h"
#include "platform/capture.h"
#include "platform/message_box.h"
#include "shared/adpcm.h"
#include "shared/shared_audio_area.h"

namespace talktest {

// What the fake device shows; the test moves it.
struct FakeCaptureState {
  std::vector<int16_t> memory = std::vector<int16_t>(240000);
  uint32_t captureByte = 0;
  uint64_t total = 0;
  uint64_t consumed = 0;
  int starts = 0;
  bool failBuffer = false;
  bool released = false;  // the device object was destroyed

  // `samples` more captured; the position follows.
  void Capture(uint64_t samples) {
    total += samples;
    captureByte = uint32_t(total % memory.size() * 2);
  }
};

class FakeCaptureBuffer : public platform::CaptureBuffer {
 public:
  explicit FakeCaptureBuffer(FakeCaptureState* s) : s_(s) {}
  bool Lock(int16_t** samples, uint32_t* bytes) override {
    if (locked_) return false;
    locked_ = true;
    *samples = s_->memory.data();
    *bytes = uint32_t(s_->memory.size() * 2);
    return true;
  }
  bool Start() override {
    ++s_->starts;
    return true;
  }
  bool GetCapturePosition(platform::CapturePosition* p) override {
    p->captureByte = s_->captureByte;
    p->totalSamples = s_->total;
    return true;
  }
  void Consumed(uint64_t consumed) override { s_->consumed = consumed; }
  uint32_t Size() const override { return uint32_t(s_->memory.size() * 2); }

 private:
  FakeCaptureState* s_;
  bool locked_ = false;
};

class FakeCaptureDevice : public platform::CaptureDevice {
 public:
  explicit FakeCaptureDevice(FakeCaptureState* s) : s_(s) {}
  ~FakeCaptureDevice() override { s_->released = true; }
  std::unique_ptr<platform::CaptureBuffer> CreateCaptureBuffer(const platform::SoundFormat& format,
                                                               uint32_t bytes) override {
    if (s_->failBuffer || format.samplesPerSecond != 8000 || format.channels != 1 || bytes != 480000) return nullptr;
    return std::make_unique<FakeCaptureBuffer>(s_);
  }

 private:
  FakeCaptureState* s_;
};

// The ten frames a slot of these 2400 samples must hold, encoded from the
// state `codec` (which runs on), with sequence numbers from `sequence` on.
inline TalkSlot ExpectedSlot(const int16_t* samples, CADPCM& codec, uint32_t& sequence) {
  TalkSlot slot{};
  for (int f = 0; f < TalkSlot::kFrames; ++f) {
    uint8_t* b = slot.frames[f].bytes;
    const uint16_t p = uint16_t(codec.predictor);
    const uint8_t head[12] = {0x80, 0x81, 0x00, uint8_t(codec.stepIndex), 0x00, 0x78, uint8_t(p >> 8), uint8_t(p),
                              uint8_t(sequence), uint8_t(sequence >> 8), uint8_t(sequence >> 16),
                              uint8_t(sequence >> 24)};
    std::memcpy(b, head, 12);
    ++sequence;
    codec.EncodeAdpcm(samples + 240 * f, b + 12, 240);
  }
  return slot;
}

inline uint32_t FrameSequence(const AdpcmFrame& f) {
  return uint32_t(f.bytes[8]) | uint32_t(f.bytes[9]) << 8 | uint32_t(f.bytes[10]) << 16 | uint32_t(f.bytes[11]) << 24;
}
inline int16_t FramePredictor(const AdpcmFrame& f) { return int16_t(uint16_t(f.bytes[6] << 8 | f.bytes[7])); }

// Collects message boxes for the lifetime of the object.
class BoxCatcher {
 public:
  BoxCatcher() {
    previous_ = platform::SetMessageBoxSink([this](const std::string& text, const std::string& title) {
      std::lock_guard<std::mutex> lock(mutex_);
      boxes_.push_back(title + ": " + text);
    });
  }
  ~BoxCatcher() { platform::SetMessageBoxSink(previous_); }
  std::vector<std::string> Boxes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
  }

 private:
  platform::MessageBoxSink previous_;
  std::mutex mutex_;
  std::vector<std::string> boxes_;
};

using testing_support::ToneShare;

}  // namespace talktest
