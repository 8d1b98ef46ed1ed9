// CAudioIn: the microphone reader. A capture thread opens the capture device
// (8 kHz mono 16-bit into a 30 s looping buffer), and every time 300 ms are
// waiting encodes them as one TalkSlot of ten IMA ADPCM frames into the
// shared ring named by slotTable, then advances writeSlot.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "platform/capture.h"
#include "platform/sound.h"
#include "shared/adpcm.h"
#include "shared/shared_audio_area.h"

// The 100 slot addresses of the shared ring, then the address of writeSlot.
// Filled by the server's form before capture starts.
extern void* slotTable[kTalkSlotCount + 1];

// One counter per process, advanced by every frame header written.
extern std::atomic<uint32_t> frameSequence;

class CAudioIn : public CADPCM {
 public:
  static constexpr uint32_t kBufferBytes = 480000;  // 30 s
  static constexpr uint32_t kFrameSamples = 240;
  static constexpr uint32_t kSlotSamples = kFrameSamples * TalkSlot::kFrames;
  static constexpr uint32_t kSlotBytes = kSlotSamples * 2;  // 4800

  using DeviceOpener = std::function<std::unique_ptr<platform::CaptureDevice>()>;

  // opener: where the device comes from; empty means OSTRANE_CAPTURE.
  explicit CAudioIn(int32_t sampleRate, DeviceOpener opener = {});
  // Stops and joins the capture thread, also one that has not yet run.
  ~CAudioIn();
  CAudioIn(const CAudioIn&) = delete;
  CAudioIn& operator=(const CAudioIn&) = delete;

  platform::SoundFormat waveFormat;
  uint32_t readPos = 0;   // next sample to take, 0 .. lockedBytes / 2 - 1
  int32_t captureReady = 0;
  std::atomic<uint8_t> running{0};
  std::atomic<uint8_t> keepRunning{1};
  int32_t sampleRate;
  std::unique_ptr<platform::CaptureDevice> captureDevice;
  std::unique_ptr<platform::CaptureBuffer> captureBuffer;
  int16_t* samples = nullptr;
  uint32_t lockedBytes = 0;
  // Passes of the capture thread; the server's timer takes and zeroes it.
  std::atomic<uint32_t> loopCount{0};

  void StartCaptureThread();
  // 1 when the device is open and its buffer handed out, else 0 after one
  // "Stop" box; what was opened is released again.
  int OpenCapture();
  void StartCapture();
  // The byte offset up to which samples are complete and the samples
  // captured in all; 0 when not ready.
  int GetCapturePosition(uint32_t* capturePos, uint64_t* totalSamples);
  // Encodes at most one slot: 0 when not ready, else 1.
  int ProcessCapture();
  void MakeFrameHeader(uint8_t* frame, int16_t framePredictor, int8_t frameStepIndex);
  void CloseCapture();

  // The slot the next ProcessCapture fills.
  int32_t writeIndex() const { return writeIndex_; }
  // Samples skipped because the reader was lapped (capture thread).
  uint64_t lostSamples() const { return lostSamples_; }

 private:
  static void CaptureThread(CAudioIn* self);

  DeviceOpener opener_;
  std::thread thread_;
  int32_t writeIndex_ = 0;     // own index, read from the area once at open
  uint64_t consumed_ = 0;      // samples taken since start, 64-bit
  uint64_t lostSamples_ = 0;
};
