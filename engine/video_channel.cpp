#include "engine/video_channel.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/wire_protocol.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/message_queue.h"
#include "shared/message_numbers.h"

namespace {

// One table per loaded engine, shared by every channel in the process: two
// channels built on two threads must never get the same library copy.
struct SlotTable {
  std::mutex lock;
  uint8_t held[CVideoMPEG4::kSlots] = {};
  uint32_t constructed = 0;
};

SlotTable& Slots() {
  static auto* table = new SlotTable;  // never destroyed: threads may outlive exit
  return *table;
}

uint32_t Saturate(uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v); }

}  // namespace

namespace video {

uint32_t TickSpanMilliseconds(uint32_t ticks) { return Saturate(uint64_t(ticks / 3) * 100 + (ticks % 3) * 33); }

// A step backwards (the difference read as signed is negative) waits nothing.
uint32_t PacingWaitMilliseconds(uint32_t ticks) {
  if (static_cast<int32_t>(ticks) < 0) return 0;
  const uint64_t w = uint64_t(ticks / 3) * 100 + (ticks % 3) * 30;
  return w > kMaxPacingWaitMs ? kMaxPacingWaitMs : uint32_t(w);
}

uint32_t AdjustPacingWait(uint32_t wait, uint32_t bufferedMs, uint32_t buffering) {
  uint64_t w;
  if (uint64_t(bufferedMs) >= uint64_t(buffering) + 500) {
    w = 0;
  } else if (bufferedMs < buffering) {
    w = uint64_t(wait) + 20;
  } else {
    w = wait / 2;
  }
  return w > kMaxPacingWaitMs ? kMaxPacingWaitMs : uint32_t(w);
}

// Above 30 frames per second 30 / f is 0; the extension stays 0 there
// rather than going to -1 (which unsigned would make about 2^32 ticks).
uint32_t FrameIntervalExtension(uint32_t frameRate) {
  if (frameRate == 0) return 0;
  const uint32_t interval = 30 / frameRate;
  return interval > 0 ? interval - 1 : 0;
}

uint32_t FrameRateBias(uint32_t frameRate) {
  if (frameRate <= 1) return 1000;
  if (frameRate <= 5) return 200;
  if (frameRate <= 9) return 100;
  return 0;
}

std::string DecoderLibraryPath(const std::string& systemDirectory) { return systemDirectory + "/libquenda.so"; }

std::string DecoderCopyPath(const std::string& systemDirectory, int32_t slot) {
  char name[32];
  std::snprintf(name, sizeof name, "/libquenda%04d.so", slot + 10);
  return systemDirectory + name;
}

int32_t HeldDecoderSlots() {
  SlotTable& table = Slots();
  std::lock_guard<std::mutex> lock(table.lock);
  int32_t n = 0;
  for (uint8_t h : table.held) n += h;
  return n;
}

}  // namespace video

struct CVideoMPEG4::ThreadState {
  std::unique_ptr<uint8_t[]> frame;
  int32_t dropUntilKey = 0;
};

CVideoMPEG4::CVideoMPEG4(platform::WindowHandle window) : window(window) {
  draw = std::make_unique<CMy_Draw>(window, &MotionGridMask);
  TakeDecoderSlot();
  CopyDecoderLibrary();
  LoadDecoderLibrary();
}

CVideoMPEG4::~CVideoMPEG4() {
  StopThread();
  frameQueue.reset();
  FreeDecoderLibrary();
  ReleaseDecoderSlot();
  draw.reset();
}

void CVideoMPEG4::CountDrawFailSecond() {
  platform::Lock guard(drawLock);
  if (draw && draw->drawOk == 0) {
    ++drawFailSeconds;
  } else {
    drawFailSeconds = 0;
  }
}

void CVideoMPEG4::TakeDecoderSlot() {
  SlotTable& table = Slots();
  std::lock_guard<std::mutex> lock(table.lock);
  if (table.constructed == 0) std::memset(table.held, 0, sizeof table.held);
  for (int32_t i = 0; i < kSlots; ++i) {
    if (!table.held[i]) {
      table.held[i] = 1;
      decoderSlot = i;
      break;
    }
  }
  ++table.constructed;
}

void CVideoMPEG4::ReleaseDecoderSlot() {
  if (decoderSlot < 0) return;
  SlotTable& table = Slots();
  std::lock_guard<std::mutex> lock(table.lock);
  table.held[decoderSlot] = 0;
}

void CVideoMPEG4::StartVideoThread() {
  if (!ThreadStarted()) StartThread(this, &CVideoMPEG4::VideoDisplayThread);
}

// The copy goes into the system directory, or, when that cannot take it (an
// installed, read-only lib/), into the user's cache directory. A numbered
// copy is used only when it holds the library's bytes: a stale copy of
// another version is never loaded.
void CVideoMPEG4::CopyDecoderLibrary() {
  copyPath_.clear();
  if (decoderSlot < 0) return;
  const std::string dir = platform::SystemDirectory();
  const std::string library = video::DecoderLibraryPath(dir);
  if (!platform::FileExists(library)) return;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::string target = attempt == 0 ? dir : platform::UserCacheDirectory();
    if (target.empty()) continue;
    const std::string copy = video::DecoderCopyPath(target, decoderSlot);
    platform::CopyFileReplacing(library, copy);
    if (platform::SameContents(library, copy)) {
      copyPath_ = copy;
      return;
    }
  }
}

// Without all three entry points the channel keeps no library at all: the
// thread then takes frames off the queue and shows none.
void CVideoMPEG4::LoadDecoderLibrary() {
  if (decoderSlot >= 0 && !copyPath_.empty()) decoderLibrary = platform::LoadModule(copyPath_);
  if (decoderLibrary) {
    decoderInit = reinterpret_cast<DecoderInitFn>(platform::ModuleSymbol(decoderLibrary, "Decoder_Init"));
    decoderFrame = reinterpret_cast<DecoderFrameFn>(platform::ModuleSymbol(decoderLibrary, "DecoderFrame"));
    decoderClose = reinterpret_cast<DecoderCloseFn>(platform::ModuleSymbol(decoderLibrary, "DecoderClose"));
    decoderSetInputSize =
        reinterpret_cast<DecoderSetInputSizeFn>(platform::ModuleSymbol(decoderLibrary, "DecoderSetInputSize"));
    if (decoderInit && decoderFrame && decoderClose) return;
    platform::FreeModule(decoderLibrary);
    decoderLibrary = nullptr;
  }
  decoderInit = nullptr;
  decoderFrame = nullptr;
  decoderClose = nullptr;
  decoderSetInputSize = nullptr;
  platform::ShowMessageBox("Fail to LoadLibrary()", "Fail");
}

void CVideoMPEG4::FreeDecoderLibrary() {
  if (!decoderLibrary) return;
  if (!platform::FreeModule(decoderLibrary)) platform::ShowMessageBox("Fail to FreeLibrary()", "Fail");
  decoderLibrary = nullptr;
  decoderInit = nullptr;
  decoderFrame = nullptr;
  decoderClose = nullptr;
  decoderSetInputSize = nullptr;
}

uint32_t CVideoMPEG4::HeadTimestamp() {
  uint8_t bytes[4] = {};
  frameQueue->PeekFrame(bytes, 8, 4);
  return wire::ReadLe32(bytes);
}

uint32_t CVideoMPEG4::BufferedMilliseconds() {
  if (frameQueue->FrameCount() == 0) return 0;
  const uint32_t head = HeadTimestamp();
  headTimestamp = head;
  const uint32_t f = frameRate;
  const uint32_t d = newestTimestamp - (head - video::FrameIntervalExtension(f));
  return Saturate(uint64_t(video::TickSpanMilliseconds(d)) + video::FrameRateBias(f));
}

void CVideoMPEG4::VideoDisplayThread(CVideoMPEG4* channel) {
  ThreadState state;
  state.frame.reset(new uint8_t[video::kMaxFrameMessage + video::kFrameBufferPadding]());
  if (channel->decoderInit) channel->decoderInit();
  channel->running.store(1, std::memory_order_release);
  while (channel->keepRunning.load(std::memory_order_acquire) == 1) {
    channel->DisplayPass(state);
    platform::PumpMessages();
  }
  if (channel->decoderClose) channel->decoderClose();
  state.frame.reset();
  channel->running.store(0, std::memory_order_release);
}

void CVideoMPEG4::ReportChanges() {
  if (vidEnableChanged.exchange(0)) {
    if (VidEnable == 1)
      passMessage(MsgVideoEnabled, "changed videnable(0->1)");
    else
      passMessage(MsgVideoDisabled, "changed videnable(1->0)");
  }
  if (localvideoChanged.exchange(0)) {
    if (localvideo == 1)
      passMessage(MsgLocalVideoOn, "changed localvideo(0->1)");
    else
      passMessage(MsgLocalVideoOff, "changed localvideo(1->0)");
  }
}

void CVideoMPEG4::DisplayPass(ThreadState& state) {
  frameQueue->LockFrames();
  loopCount.fetch_add(1, std::memory_order_relaxed);
  ReportChanges();
  if (VidEnable == 1 && localvideo == 1)
    draw->AllocateDib();
  else
    draw->FreeDib();
  if (playing == 0) {
    platform::Sleep(20);
    if (BufferedMilliseconds() > buffering) playing = 1;
  }
  if (playing == 1) TakeAndShowFrame(state);
  frameQueue->UnlockFrames();
}

void CVideoMPEG4::TakeAndShowFrame(ThreadState& state) {
  if (frameQueue->FrameCount() == 0) {
    playing = 0;
    return;
  }
  const uint32_t head = HeadTimestamp();
  headTimestamp = head;
  // The buffer holds the largest message the link queues; anything bigger
  // is refused rather than copied past its end.
  if (frameQueue->HeadSize() > video::kMaxFrameMessage) {
    frameQueue->DropFrame();
    return;
  }
  uint8_t* frame = state.frame.get();
  int32_t size = 0, tag = 0;
  frameQueue->PopFrame(frame, &size, &tag);
  motionbits = static_cast<uint32_t>(tag);
  std::memset(frame + size, 0xFF, video::kFrameBufferPadding);

  uint32_t wait;
  if (frameQueue->FrameCount() > 0) {
    const uint32_t next = HeadTimestamp();
    nextTimestamp = next;
    wait = video::PacingWaitMilliseconds(next - head);
  } else {
    nextTimestamp = head + 1;
    wait = 30;
  }
  const int frameType = size >= 12 ? (frame[2] >> 6) & 3 : 0;

  if (VidEnable != 0 && size >= 12) {
    const uint32_t late = video::TickSpanMilliseconds(newestTimestamp - head);
    const uint64_t delay = buffering;
    if (!(late > delay + 500 && frameType == 1)) {
      if (late > delay + 2000) state.dropUntilKey = 1;
      if (frameType == 2) state.dropUntilKey = 0;
      if (state.dropUntilKey)
        platform::Sleep(1);
      else
        Decode(state, size - 12);
    }
  }

  if (frameQueue->FrameCount() > 0) {
    wait = video::AdjustPacingWait(wait, BufferedMilliseconds(), buffering);
    platform::Sleep(wait);
  }
}

void CVideoMPEG4::Decode(ThreadState& state, int32_t payloadBytes) {
  if (!decoderFrame) return;
  framesDecoded.fetch_add(1, std::memory_order_relaxed);
  int32_t mode = static_cast<int32_t>(static_cast<uint32_t>(Postproc.load()) << 16);
  const uint8_t* payload = state.frame.get() + 12;
  if (decoderSetInputSize) decoderSetInputSize(static_cast<uint32_t>(payloadBytes));

  if (localvideo == 1) {
    if (uint8_t* surface = draw->LockSurface()) {
      const uint32_t bits = draw->bitCount;
      mode += bits == 32 ? 32 : bits == 24 ? 24 : 16;
      decoderFrame(payload, mode, surface);
      draw->UnlockSurface();
      // The blit waits for the display server, which may be slow or gone;
      // the link thread's clear of the queue must not wait for it too.
      frameQueue->UnlockFrames();
      draw->BlitToWindow(zoom);
      if (EncMode == 2) draw->DrawMotionGrid(zoom, -1);
      frameQueue->LockFrames();
    } else {
      // No device: decoded into the memory bitmap, shown nowhere.
      draw->AllocateDib();
      decoderFrame(payload, mode, draw->dibBits);
      draw->drawOk = 0;
    }
    if (draw->drawOk == 0 && drawFailSeconds >= 3) {
      platform::Lock lock(drawLock);
      drawFailSeconds = 0;
      draw->ReleaseDirectDraw();
      draw->CreateDirectDraw(window);
    }
    return;
  }
  // Until the caller has given a buffer the decoder gets none, writes
  // nothing, and there is nothing to announce.
  void* const target = decPointer.load();
  decoderFrame(payload, localvideoRgb32 == 1 ? mode + 32 : mode, target);
  if (target) passMessage(MsgVideoShown, "get video");
}
