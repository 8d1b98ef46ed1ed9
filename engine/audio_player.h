// CAudioG726: the camera-audio player of one viewer. Its thread takes one
// 30 ms frame at a time from the coded-audio ring, decodes it (IMA ADPCM, or
// G.723.1 through a speech decoder slot the player holds while its thread
// runs) and writes
// the 240 samples into a 12-second looping play buffer, as 236, 240 or 244
// samples to pull the playback latency towards the `buffering` target.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/audio_peer.h"
#include "engine/thread_base.h"
#include "g7231/speech_decoder.h"
#include "platform/sound.h"
#include "platform/sync.h"
#include "shared/adpcm.h"
#include "shared/message_closure.h"

class CAudioG726 : public CThread, public AudioPeer, public CADPCM {
 public:
  static constexpr uint32_t kBufferSamples = 96000;  // 12 s at 8 kHz
  static constexpr uint32_t kBufferBytes = kBufferSamples * 2;
  static constexpr uint32_t kFrameSamples = 240;
  static constexpr uint32_t kMaxFrameBytes = 120;
  static constexpr uint32_t kStretchSamples = 244;
  static constexpr uint32_t kCompressSamples = 236;

  enum : uint32_t { kModeNormal = 0, kModeStretch = 1, kModeCompress = 2 };

  CAudioG726();
  ~CAudioG726() override;

  void StartAudioThread();

  // Starts over: empty ring, write position 0, playback stopped until the
  // start block. Safe from any thread; it waits for a frame being written.
  void ResetAudio() override;
  void SetAdpcmStartState(int16_t predictorIn, uint8_t stepIndexIn) override;

  // The device's cursors in bytes; left untouched until the buffer exists.
  void GetPlayPosition(uint32_t* writeCursorOut, uint32_t* playCursorOut);
  // 400 is full volume, 0 is -40 dB. A volume set before the buffer exists
  // is kept, read back, and applied when the buffer is made.
  int32_t GetPlayVolume();
  void SetPlayVolume(int32_t v);

  // The steps of the playback thread. Public so tests can run them one by
  // one on a player whose thread was never started.
  bool InitDirectSound();
  // The same with a device and buffer already made (when not null).
  bool InitDirectSound(std::unique_ptr<platform::SoundDevice> device, std::unique_ptr<platform::SoundBuffer> buffer);
  void CloseDirectSound();
  void StartPlayback();
  // Takes one frame from the ring into the buffer; false when none was there.
  bool DecodeAudioFrame();
  void AdjustAudioLatency();
  uint32_t StartBlock() const { return buffering.load() * 33 / 1000 + 4; }

  std::unique_ptr<platform::SoundDevice> soundDevice;
  std::unique_ptr<platform::SoundBuffer> soundBuffer;
  platform::SoundFormat waveFormat;
  int16_t* samples = nullptr;  // the locked buffer memory, kBufferSamples long
  void* lockedPtr = nullptr;
  uint32_t lockedBytes = 0;

  std::atomic<uint32_t> writePos{0};  // next sample to write, 0..kBufferSamples-1
  uint32_t writeCursor = 0;           // filled by the diagnostics' GetPlayPosition
  uint32_t playCursor = 0;
  std::atomic<uint32_t> startStateTaken{0};
  std::atomic<uint32_t> stretchMode{kModeNormal};
  std::atomic<uint8_t> soundReady{0};
  std::atomic<uint8_t> playEnabled{1};
  std::atomic<uint32_t> passCount{0};
  MessageClosure passMessage;
  // Serialises the thread's frame writing and latency control with
  // ResetAudio, the start state and the volume calls of other threads;
  // readers of `samples` take it too.
  platform::CriticalSection playLock;
  std::atomic<uint32_t> buffering{500};  // target latency, ms
  std::atomic<uint32_t> instanceNumber{0};
  // The speech-decoder slot this player holds from its thread's start to its
  // end, free for no other player; kSpeechDecoderSlots while it holds none.
  std::atomic<uint32_t> speechSlot{kSpeechDecoderSlots};
  // The speech decoder's create entry point (tests make it fail).
  std::atomic<void (*)(uint32_t slot)> createSpeechDecoder{CreateSpeechDecoder};
  // Tick counts of the last latency checks that found the lead in bounds.
  uint32_t lateSince = 0;
  uint32_t fullSince = 0;

 private:
  static void AudioPlaybackThread(CAudioG726* self);
  void PlaybackPass();
  void TraceNullDevice();
  uint32_t CodedFrameBytes() const;
  bool MakeSpeechDecoder();
  void RetrySoundDevice();

  std::atomic<bool> nullDeviceTracePending{false};
  bool speechDecoderMade_ = false;  // the playback thread's own
  // No device opened and the null device plays instead; the device is tried
  // again when playback restarts. Under playLock.
  bool onNullFallback_ = false;
  std::atomic<bool> retryDevicePending_{false};
  bool hasPendingVolume_ = false;  // under playLock
  int32_t pendingVolume_ = 0;
};
