// CVideoMPEG4: the video channel of one view. It binds a private numbered
// copy of the decoder library, and its thread pre-buffers the display queue
// the link thread fills, drops frames that come too late, decodes each frame
// straight into the renderer's off-screen surface (or the caller's buffer),
// blits it and paces the frames by their camera timestamps.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/renderer.h"
#include "engine/thread_base.h"
#include "engine/video_peer.h"
#include "platform/draw.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "shared/message_closure.h"

namespace video {

// Timestamps count FrameTicks: 3 ticks = 100 ms.
uint32_t TickSpanMilliseconds(uint32_t ticks);  // (d / 3) * 100 + (d mod 3) * 33
uint32_t PacingWaitMilliseconds(uint32_t ticks);  // (d / 3) * 100 + (d mod 3) * 30, bounded
// Pacing wait after a decode, from the video the queue still holds.
uint32_t AdjustPacingWait(uint32_t wait, uint32_t bufferedMs, uint32_t buffering);
// Ticks added to the queued span at a frame rate: one frame interval less a
// tick, never negative.
uint32_t FrameIntervalExtension(uint32_t frameRate);
uint32_t FrameRateBias(uint32_t frameRate);

// The longest pacing wait: frames of the slowest camera rate (1 per second)
// are 1000 ms apart; anything longer is a timestamp jump, and the thread
// sleeps holding the consumer lock that the link thread's clear waits for.
constexpr uint32_t kMaxPacingWaitMs = 2000;
// The largest queued message (12-byte header + 60000 bytes of payload), and
// the slack after it that the decoder's look-ahead may read.
constexpr int32_t kMaxFrameMessage = 12 + 60000;
constexpr int32_t kFrameBufferPadding = 64;

// Library file names in the system directory: "libquenda.so" and the copy
// "libquenda%04d.so" numbered by slot + 10.
std::string DecoderLibraryPath(const std::string& systemDirectory);
std::string DecoderCopyPath(const std::string& systemDirectory, int32_t slot);

// Slots held now in this process (for tests and diagnostics).
int32_t HeldDecoderSlots();

}  // namespace video

class CVideoMPEG4 : public CThread, public VideoPeer {
 public:
  static constexpr int32_t kSlots = 1000;

  using DecoderInitFn = int32_t (*)();
  using DecoderFrameFn = int32_t (*)(const uint8_t* payload, int32_t mode, void* output);
  using DecoderCloseFn = void (*)();
  using DecoderSetInputSizeFn = void (*)(uint32_t bytes);

  explicit CVideoMPEG4(platform::WindowHandle window);
  ~CVideoMPEG4() override;

  void StartVideoThread();
  void CopyDecoderLibrary();
  void LoadDecoderLibrary();
  void FreeDecoderLibrary();
  uint32_t BufferedMilliseconds();
  static void VideoDisplayThread(CVideoMPEG4* channel);

  platform::WindowHandle window;
  std::unique_ptr<CMy_Draw> draw;
  platform::ModuleHandle decoderLibrary = nullptr;
  int32_t decoderSlot = -1;  // -1: no free slot, no decoder
  DecoderInitFn decoderInit = nullptr;
  DecoderFrameFn decoderFrame = nullptr;
  DecoderCloseFn decoderClose = nullptr;
  DecoderSetInputSizeFn decoderSetInputSize = nullptr;  // optional
  std::atomic<int32_t> framesDecoded{0};
  std::atomic<float> zoom{1.0f};
  std::atomic<int32_t> VidEnable{1};
  std::atomic<int32_t> vidEnableChanged{0};
  std::atomic<int32_t> localvideo{1};
  std::atomic<int32_t> localvideoRgb32{0};
  std::atomic<int32_t> localvideoChanged{0};
  std::atomic<int32_t> loopCount{0};
  MessageClosure passMessage;
  std::atomic<void*> decPointer{nullptr};
  std::atomic<uint32_t> headTimestamp{0};
  std::atomic<uint32_t> nextTimestamp{0};
  std::atomic<int32_t> drawFailSeconds{0};
  // The statistics timer's drawing watchdog, once a second: counts the
  // seconds the device has been failing, or clears the count.
  void CountDrawFailSecond();
  platform::CriticalSection drawLock;
  std::atomic<int32_t> Postproc{0};
  std::atomic<uint32_t> buffering{500};
  std::atomic<uint32_t> motionbits{0};

 private:
  struct ThreadState;
  void DisplayPass(ThreadState& state);
  void TakeAndShowFrame(ThreadState& state);
  void Decode(ThreadState& state, int32_t payloadBytes);
  void ReportChanges();
  uint32_t HeadTimestamp();

  void TakeDecoderSlot();
  void ReleaseDecoderSlot();
  std::string copyPath_;
};
