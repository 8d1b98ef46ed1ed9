// The memory, locking and volume that every looping play buffer shares; the
// devices add their own notion of where playback has got to.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/sound.h"

namespace platform {

class LoopingSoundBuffer : public SoundBuffer {
 public:
  LoopingSoundBuffer(const SoundFormat& format, uint32_t bytes);

  bool Lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1, void** region2,
            uint32_t* bytes2, bool entireBuffer) override;
  bool Unlock(void* region1, uint32_t bytes1, void* region2, uint32_t bytes2) override;
  bool SetVolume(int32_t hundredthsOfDb) override;
  bool GetVolume(int32_t* hundredthsOfDb) override;
  uint32_t Size() const override { return bytes_; }

  // True when the device can play this format into a buffer of this size.
  static bool Acceptable(const SoundFormat& format, uint32_t bytes);

 protected:
  // Copies count samples starting at sample index first, wrapping round the
  // end, scaled by the volume. The owner writes the memory while we read it,
  // so each sample is read as one relaxed atomic load.
  void CopyOut(uint32_t first, uint32_t count, int16_t* dst) const;
  uint64_t AlignDown(uint64_t byteCount) const;

  const SoundFormat format_;
  const uint32_t bytes_;

 private:
  std::unique_ptr<int16_t[]> memory_;
  std::atomic<int32_t> volume_{kVolumeMax};
};

}  // namespace platform
