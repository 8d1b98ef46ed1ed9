// AudioPeer: what the link thread reads and writes of the audio player. The
// audio player derives from it; tests derive a recording double.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/byte_ring.h"
#include "shared/shared_audio_area.h"

struct AudioPeer {
  virtual ~AudioPeer() = default;

  // Clears the coded-audio ring and starts playback over. May be called from
  // the link thread and the host thread while the player runs.
  virtual void ResetAudio() = 0;
  // Seeds the IMA ADPCM state from the first camera frame after creation or
  // reset; later calls do nothing.
  virtual void SetAdpcmStartState(int16_t predictor, uint8_t stepIndex) = 0;

  CManage1DBUF codedAudioRing;  // coded payload bytes, put by the link thread
  std::atomic<uint8_t> startPending{0};
  std::atomic<uint32_t> codec{0};  // 0 IMA ADPCM, else G.723.1
  std::atomic<uint32_t> frameSize{120};  // coded bytes per 30 ms frame: 120 or 24
  std::atomic<int32_t> audsen{0};
  std::atomic<int32_t> audmode{0};
  std::atomic<uint32_t> lastTimestamp{0};

  // The talk ring in the shared area, set by the form.
  TalkSlot* talkSlots[kTalkSlotCount] = {};
  int32_t* writeSlotRef = nullptr;

  // The talk ring's write index; -1 when there is none.
  int32_t ReadWriteSlot() const {
    if (!writeSlotRef) return -1;
    return std::atomic_ref<int32_t>(*writeSlotRef).load(std::memory_order_acquire);
  }
};
