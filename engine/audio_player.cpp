#include "engine/audio_player.h"

#include <algorithm>
#include <mutex>
#include <new>

#include "g7231/speech_decoder.h"
#include "platform/clock.h"
#include "platform/message_queue.h"

namespace {

constexpr uint32_t kHalfBuffer = CAudioG726::kBufferSamples / 2;
constexpr uint32_t kBytes = CAudioG726::kBufferBytes;
constexpr uint32_t kResetMargin = 24000;  // 1.5 s in bytes
constexpr uint32_t kWatchdogMs = 2000;

// Frames ending in these blocks of 240 samples get a latency check.
bool IsCheckBlock(uint32_t block) { return block % 25 == 0 && block <= 175; }

// The speech-decoder slots players hold, process-wide: a player takes a free
// one for its thread's lifetime, so no two players ever share a decoder.
struct SpeechSlotTable {
  std::mutex lock;
  bool held[kSpeechDecoderSlots] = {};
};

SpeechSlotTable& SpeechSlots() {
  static auto* table = new SpeechSlotTable;  // never destroyed: threads may outlive exit
  return *table;
}

uint32_t TakeSpeechSlot() {
  SpeechSlotTable& table = SpeechSlots();
  std::lock_guard<std::mutex> lock(table.lock);
  for (uint32_t i = 0; i < kSpeechDecoderSlots; ++i) {
    if (!table.held[i]) {
      table.held[i] = true;
      return i;
    }
  }
  return kSpeechDecoderSlots;
}

void ReleaseSpeechSlot(uint32_t slot) {
  if (slot >= kSpeechDecoderSlots) return;
  SpeechSlotTable& table = SpeechSlots();
  std::lock_guard<std::mutex> lock(table.lock);
  table.held[slot] = false;
}

void StoreSample(int16_t* at, int16_t value) {
  // The device reads the buffer while we write it.
  std::atomic_ref<int16_t>(*at).store(value, std::memory_order_relaxed);
}

}  // namespace

CAudioG726::CAudioG726() = default;

CAudioG726::~CAudioG726() {
  startPending = 0;
  StopThread();
  CloseDirectSound();  // only when the thread never ran to its end
}

void CAudioG726::StartAudioThread() {
  if (!ThreadStarted()) StartThread(this, &CAudioG726::AudioPlaybackThread);
}

void CAudioG726::AudioPlaybackThread(CAudioG726* self) {
  const uint32_t slot = TakeSpeechSlot();
  self->speechSlot = slot;
  self->MakeSpeechDecoder();
  self->running = 1;
  self->InitDirectSound();
  while (self->keepRunning.load() != 0) self->PlaybackPass();
  self->CloseDirectSound();
  {
    platform::Lock lock(self->playLock);
    self->speechSlot = kSpeechDecoderSlots;
    self->speechDecoderMade_ = false;
  }
  DestroySpeechDecoder(slot);
  ReleaseSpeechSlot(slot);
  self->running = 0;
}

// Out of memory costs the frames decoded without a decoder (silence), not
// the thread; the next speech frame tries again.
bool CAudioG726::MakeSpeechDecoder() {
  if (speechDecoderMade_) return true;
  const uint32_t slot = speechSlot;
  if (slot >= kSpeechDecoderSlots) return false;
  try {
    createSpeechDecoder.load()(slot);
  } catch (const std::bad_alloc&) {
    return false;
  }
  speechDecoderMade_ = true;
  return true;
}

// On the playback thread, between frames: a restart after a reset tries the
// machine's device again when the null device stands in for it.
void CAudioG726::RetrySoundDevice() {
  if (!retryDevicePending_.exchange(false)) return;
  platform::Lock lock(playLock);
  if (!onNullFallback_ || startPending != 1) return;
  std::unique_ptr<platform::SoundDevice> device = platform::OpenSoundDevice();
  std::unique_ptr<platform::SoundBuffer> buffer;
  if (device) buffer = device->CreateSoundBuffer(waveFormat, kBufferBytes);
  if (!buffer) return;
  CloseDirectSound();
  InitDirectSound(std::move(device), std::move(buffer));
}

void CAudioG726::PlaybackPass() {
  passCount.fetch_add(1, std::memory_order_relaxed);
  TraceNullDevice();
  RetrySoundDevice();
  uint32_t pause = 50;
  if (soundReady && playEnabled) {
    pause = 1;
    if (codedAudioRing.Count() >= CodedFrameBytes()) {
      pause = 0;
      platform::Lock lock(playLock);
      if (DecodeAudioFrame()) {
        const uint32_t block = writePos / kFrameSamples;
        if (block == StartBlock()) StartPlayback();
        if (IsCheckBlock(block)) AdjustAudioLatency();
      }
    }
  }
  platform::Sleep(pause);
  platform::PumpMessages();
}

// The closure is set only after the thread has started, so the line waits
// for it.
void CAudioG726::TraceNullDevice() {
  if (nullDeviceTracePending.load(std::memory_order_relaxed) && passMessage) {
    nullDeviceTracePending = false;
    passMessage(255, "---aud:no sound device, playing to the null device");
  }
}

uint32_t CAudioG726::CodedFrameBytes() const {
  const uint32_t n = frameSize.load();
  return std::clamp<uint32_t>(n, 1, kMaxFrameBytes);
}

bool CAudioG726::InitDirectSound() { return InitDirectSound(nullptr, nullptr); }

bool CAudioG726::InitDirectSound(std::unique_ptr<platform::SoundDevice> device,
                                 std::unique_ptr<platform::SoundBuffer> buffer) {
  platform::Lock lock(playLock);
  soundReady = 0;
  waveFormat = platform::SoundFormat{1, 8000, 16};
  soundDevice = std::move(device);
  soundBuffer = std::move(buffer);
  if (!soundBuffer) {
    soundDevice = platform::OpenSoundDevice();
    if (soundDevice) soundBuffer = soundDevice->CreateSoundBuffer(waveFormat, kBufferBytes);
  }
  const bool wasOnFallback = onNullFallback_;
  onNullFallback_ = false;
  if (!soundBuffer) {
    soundDevice = platform::OpenNullSoundDevice();
    soundBuffer = soundDevice->CreateSoundBuffer(waveFormat, kBufferBytes);
    if (!soundBuffer) return false;
    onNullFallback_ = true;
    if (!wasOnFallback) nullDeviceTracePending = true;
  }
  void* second = nullptr;
  uint32_t secondBytes = 0;
  if (!soundBuffer->Lock(0, 0, &lockedPtr, &lockedBytes, &second, &secondBytes, true) ||
      lockedBytes != kBufferBytes)
    return false;
  samples = static_cast<int16_t*>(lockedPtr);
  soundReady = 1;
  if (hasPendingVolume_ && !onNullFallback_) {
    hasPendingVolume_ = false;
    SetPlayVolume(pendingVolume_);
  }
  return true;
}

void CAudioG726::CloseDirectSound() {
  platform::Lock lock(playLock);
  if (soundReady != 1) return;
  soundReady = 0;
  soundBuffer->Stop();
  soundBuffer->SetCurrentPosition(0);
  soundBuffer->Unlock(lockedPtr, lockedBytes, nullptr, 0);
  samples = nullptr;
  soundBuffer.reset();
  soundDevice.reset();
}

void CAudioG726::StartPlayback() {
  platform::Lock lock(playLock);
  if (soundReady != 1 || startPending != 1) return;
  soundBuffer->SetCurrentPosition(0);
  soundBuffer->Play();
  startPending = 0;
  // The watchdogs count from the start of playback until a check finds the
  // lead in bounds.
  lateSince = fullSince = platform::GetTickCount();
}

bool CAudioG726::DecodeAudioFrame() {
  platform::Lock lock(playLock);
  if (!samples) return false;
  uint8_t coded[kMaxFrameBytes] = {};
  if (!codedAudioRing.GetBytes(coded, CodedFrameBytes())) return false;

  // A G.723.1 frame the decoder cannot take (no slot) plays as silence.
  int16_t out[kFrameSamples] = {};
  if (codec == 0)
    DecodeAdpcm(coded, out, kFrameSamples);
  else if (MakeSpeechDecoder())
    DecodeSpeechFrame(speechSlot, out, coded, 0);

  const uint32_t mode = stretchMode;
  const uint32_t n = mode == kModeCompress ? kCompressSamples : mode == kModeStretch ? kStretchSamples : kFrameSamples;
  uint32_t pos = writePos;
  if (pos >= kBufferSamples) pos = 0;
  for (uint32_t i = 0; i < n; ++i) {
    // Half a buffer ahead is cleared, so a writer that falls behind leaves
    // silence rather than six-second-old sound.
    StoreSample(&samples[(pos + kHalfBuffer) % kBufferSamples], 0);
    StoreSample(&samples[pos], out[i * kFrameSamples / n]);
    if (++pos == kBufferSamples) pos = 0;
  }
  writePos = pos;
  return true;
}

void CAudioG726::AdjustAudioLatency() {
  platform::Lock lock(playLock);
  const uint32_t R = kResetMargin;
  const uint32_t W = 2 * writePos;
  uint32_t writeCur = 0;
  uint32_t P = 0;
  GetPlayPosition(&writeCur, &P);
  const uint32_t D = (W - P + kBytes) % kBytes;

  const uint32_t b = buffering;
  const uint32_t T = b > 120 ? b * 16 : 1920;
  const uint32_t H = T + 5760;
  const uint32_t M = (H + T + kBytes) / 2;  // beyond this the play cursor has overtaken us

  if (D < T || D > M)
    stretchMode = kModeStretch;
  else if (D > H)
    stretchMode = kModeCompress;
  else
    stretchMode = kModeNormal;

  if (startPending) return;
  if (D > H + R && D <= M) ResetAudio();
  const uint32_t X = (T + kBytes - R) % kBytes;
  if (X > kBytes / 2 ? (D < X && D > M) : (D < X || D > M)) ResetAudio();
  const uint32_t now = platform::GetTickCount();
  if (D <= kBytes - R) lateSince = now;
  if (now - lateSince > kWatchdogMs) ResetAudio();
  if (D <= H + R / 2) fullSince = now;
  if (now - fullSince > kWatchdogMs) ResetAudio();
}

void CAudioG726::ResetAudio() {
  platform::Lock lock(playLock);
  writePos = 0;
  codedAudioRing.ClearBytes();
  startStateTaken = 0;
  startPending = 1;
  stretchMode = kModeNormal;
  retryDevicePending_ = true;
  if (soundReady) {
    soundBuffer->Stop();
    soundBuffer->SetCurrentPosition(0);
  }
}

void CAudioG726::SetAdpcmStartState(int16_t predictorIn, uint8_t stepIndexIn) {
  platform::Lock lock(playLock);
  if (startStateTaken != 0) return;
  predictor = predictorIn;
  stepIndex = static_cast<int8_t>(stepIndexIn);
  startStateTaken += 1;
}

void CAudioG726::GetPlayPosition(uint32_t* writeCursorOut, uint32_t* playCursorOut) {
  platform::Lock lock(playLock);
  if (soundReady != 1) return;
  soundBuffer->GetCurrentPosition(playCursorOut, writeCursorOut);
}

int32_t CAudioG726::GetPlayVolume() {
  platform::Lock lock(playLock);
  // The null device standing in for a missing one has no volume to read.
  if (onNullFallback_) return 0;
  if (!soundReady || !soundBuffer) return hasPendingVolume_ ? pendingVolume_ : 0;
  int32_t volume = 0;
  soundBuffer->GetVolume(&volume);
  return volume / 10 + 400;
}

void CAudioG726::SetPlayVolume(int32_t v) {
  platform::Lock lock(playLock);
  if (!soundReady || !soundBuffer || onNullFallback_) {
    // Kept until the device opens.
    hasPendingVolume_ = true;
    pendingVolume_ = v;
    return;
  }
  // A value the device refuses leaves the volume as it was; one beyond 32
  // bits is refused before it can overflow.
  const int64_t level = int64_t{v} * 10 - 4000;
  if (level < INT32_MIN || level > INT32_MAX) return;
  soundBuffer->SetVolume(static_cast<int32_t>(level));
}
