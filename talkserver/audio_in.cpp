#include "talkserver/audio_in.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/message_box.h"

void* slotTable[kTalkSlotCount + 1] = {};
std::atomic<uint32_t> frameSequence{0};

namespace {
constexpr uint32_t kPollMs = 2;
}

CAudioIn::CAudioIn(int32_t rate, DeviceOpener opener) : sampleRate(rate), opener_(std::move(opener)) {}

CAudioIn::~CAudioIn() {
  keepRunning.store(0);
  if (thread_.joinable()) thread_.join();
}

void CAudioIn::StartCaptureThread() {
  if (thread_.joinable()) return;
  thread_ = std::thread(&CAudioIn::CaptureThread, this);
}

void CAudioIn::CaptureThread(CAudioIn* self) {
  self->running.store(1);
  if (!self->OpenCapture()) {
    self->running.store(0);
    return;
  }
  self->StartCapture();
  while (self->keepRunning.load() != 0) {
    self->loopCount.fetch_add(1, std::memory_order_relaxed);
    self->ProcessCapture();
    platform::RealSleep(kPollMs);
  }
  self->CloseCapture();
  self->running.store(0);
}

int CAudioIn::OpenCapture() {
  waveFormat = platform::SoundFormat{};
  waveFormat.channels = 1;
  waveFormat.samplesPerSecond = uint32_t(sampleRate);
  waveFormat.bitsPerSample = 16;
  captureDevice = opener_ ? opener_() : platform::OpenCaptureDevice();
  if (!captureDevice) {
    platform::ShowMessageBox("Diduzuv create Error!", "Stop");
    return 0;
  }
  captureBuffer = captureDevice->CreateCaptureBuffer(waveFormat, kBufferBytes);
  int16_t* memory = nullptr;
  uint32_t bytes = 0;
  // Nothing is read through memory the buffer did not hand out.
  if (!captureBuffer || !captureBuffer->Lock(&memory, &bytes) || memory == nullptr || bytes < 2 * kSlotBytes ||
      bytes % 2 != 0) {
    platform::ShowMessageBox("Diduzuv Buffer Create Error!", "Stop");
    captureBuffer.reset();
    captureDevice.reset();
    return 0;
  }
  samples = memory;
  lockedBytes = bytes;
  readPos = 0;
  consumed_ = 0;
  int32_t found = 0;
  if (slotTable[kTalkSlotCount] != nullptr)
    found = std::atomic_ref<int32_t>(*static_cast<int32_t*>(slotTable[kTalkSlotCount])).load(std::memory_order_relaxed);
  writeIndex_ = (found >= 0 && found < kTalkSlotCount) ? found : 0;
  captureReady = 1;
  return 1;
}

void CAudioIn::StartCapture() {
  if (captureReady) captureBuffer->Start();
}

int CAudioIn::GetCapturePosition(uint32_t* capturePos, uint64_t* totalSamples) {
  if (!captureReady) return 0;
  platform::CapturePosition position;
  captureBuffer->GetCapturePosition(&position);
  if (capturePos) *capturePos = position.captureByte;
  if (totalSamples) *totalSamples = position.totalSamples;
  return 1;
}

int CAudioIn::ProcessCapture() {
  if (!captureReady || slotTable[kTalkSlotCount] == nullptr) return 0;
  uint32_t capturePos = 0;
  uint64_t total = 0;
  GetCapturePosition(&capturePos, &total);
  const uint32_t bufferSamples = lockedBytes / 2;
  // Lapped: keep a slot's margin for what the device writes next, start
  // again at the oldest whole frame still held.
  const uint64_t held = bufferSamples - kSlotSamples;
  if (total > consumed_ && total - consumed_ > held) {
    uint64_t skip = total - consumed_ - held;
    skip = (skip + kFrameSamples - 1) / kFrameSamples * kFrameSamples;
    consumed_ += skip;
    lostSamples_ += skip;
    readPos = uint32_t((uint64_t(readPos) + skip) % bufferSamples);
    std::fprintf(stderr, "ostrane: capture fell behind; %" PRIu64 " samples (%.1f s) lost\n", skip,
                 double(skip) / (sampleRate > 0 ? sampleRate : 8000));
  }
  const uint32_t available = uint32_t((uint64_t(lockedBytes) + capturePos - 2ull * readPos) % lockedBytes);
  if (available < kSlotBytes) return 1;

  auto* slot = static_cast<TalkSlot*>(slotTable[writeIndex_]);
  if (slot == nullptr) return 0;
  for (int f = 0; f < TalkSlot::kFrames; ++f) {
    int16_t frameSamples[kFrameSamples];
    const uint32_t first = std::min(kFrameSamples, bufferSamples - readPos);
    std::memcpy(frameSamples, samples + readPos, first * 2);
    std::memcpy(frameSamples + first, samples, (kFrameSamples - first) * 2);
    readPos = (readPos + kFrameSamples) % bufferSamples;
    uint8_t* frame = slot->frames[f].bytes;
    MakeFrameHeader(frame, predictor, stepIndex);
    EncodeAdpcm(frameSamples, frame + 12, kFrameSamples);
  }
  consumed_ += kSlotSamples;
  captureBuffer->Consumed(consumed_);
  writeIndex_ = (writeIndex_ + 1) % kTalkSlotCount;
  // Readers that see the new index see all ten frames.
  std::atomic_ref<int32_t>(*static_cast<int32_t*>(slotTable[kTalkSlotCount])).store(writeIndex_, std::memory_order_release);
  return 1;
}

void CAudioIn::MakeFrameHeader(uint8_t* frame, int16_t framePredictor, int8_t frameStepIndex) {
  if (!captureReady) return;
  const uint32_t sequence = frameSequence.fetch_add(1, std::memory_order_relaxed);
  const uint16_t p = uint16_t(framePredictor);
  frame[0] = 0x80;
  frame[1] = 0x81;
  frame[2] = 0x00;
  frame[3] = uint8_t(frameStepIndex);
  frame[4] = 0x00;
  frame[5] = 0x78;
  frame[6] = uint8_t(p >> 8);
  frame[7] = uint8_t(p & 0xFF);
  frame[8] = uint8_t(sequence);
  frame[9] = uint8_t(sequence >> 8);
  frame[10] = uint8_t(sequence >> 16);
  frame[11] = uint8_t(sequence >> 24);
}

void CAudioIn::CloseCapture() {
  if (!captureReady) return;
  captureBuffer.reset();
  captureDevice.reset();
  samples = nullptr;
  captureReady = 0;
}
