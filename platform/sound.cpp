#include "platform/sound.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/sound_looping.h"

namespace platform {

LoopingSoundBuffer::LoopingSoundBuffer(const SoundFormat& format, uint32_t bytes)
    : format_(format), bytes_(bytes), memory_(new int16_t[bytes / 2]()) {}

bool LoopingSoundBuffer::Acceptable(const SoundFormat& format, uint32_t bytes) {
  if (format.bitsPerSample != 16 || format.channels == 0 || format.channels > 2) return false;
  if (format.samplesPerSecond < 1000 || format.samplesPerSecond > 192000) return false;
  return bytes > 0 && bytes % format.BlockAlign() == 0;
}

bool LoopingSoundBuffer::Lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1,
                              void** region2, uint32_t* bytes2, bool entireBuffer) {
  if (entireBuffer) {
    offset = 0;
    bytes = bytes_;
  }
  if (!region1 || !bytes1 || offset >= bytes_ || bytes == 0 || bytes > bytes_) return false;
  auto* base = reinterpret_cast<uint8_t*>(memory_.get());
  const uint32_t first = std::min(bytes, bytes_ - offset);
  *region1 = base + offset;
  *bytes1 = first;
  const uint32_t rest = bytes - first;
  if (region2) *region2 = rest ? base : nullptr;
  if (bytes2) *bytes2 = rest;
  return rest == 0 || (region2 && bytes2);
}

bool LoopingSoundBuffer::Unlock(void* region1, uint32_t bytes1, void* region2, uint32_t bytes2) {
  auto* base = reinterpret_cast<uint8_t*>(memory_.get());
  auto inside = [&](void* p, uint32_t n) {
    auto* b = static_cast<uint8_t*>(p);
    return b >= base && b <= base + bytes_ && n <= static_cast<uint32_t>(base + bytes_ - b);
  };
  return inside(region1, bytes1) && (!region2 || inside(region2, bytes2));
}

bool LoopingSoundBuffer::SetVolume(int32_t hundredthsOfDb) {
  if (hundredthsOfDb > kVolumeMax || hundredthsOfDb < kVolumeMin) return false;
  volume_.store(hundredthsOfDb, std::memory_order_relaxed);
  return true;
}

bool LoopingSoundBuffer::GetVolume(int32_t* hundredthsOfDb) {
  if (!hundredthsOfDb) return false;
  *hundredthsOfDb = volume_.load(std::memory_order_relaxed);
  return true;
}

void LoopingSoundBuffer::CopyOut(uint32_t first, uint32_t count, int16_t* dst) const {
  const uint32_t total = bytes_ / 2;
  const int32_t volume = volume_.load(std::memory_order_relaxed);
  // Fixed-point gain, 1.0 = 65536.
  const int64_t gain = volume == 0 ? 65536 : std::llround(65536.0 * std::pow(10.0, volume / 2000.0));
  uint32_t index = first % total;
  for (uint32_t i = 0; i < count; ++i) {
    int32_t s = std::atomic_ref<int16_t>(memory_[index]).load(std::memory_order_relaxed);
    if (gain != 65536) s = static_cast<int32_t>((s * gain) >> 16);
    dst[i] = static_cast<int16_t>(s);
    if (++index == total) index = 0;
  }
}

uint64_t LoopingSoundBuffer::AlignDown(uint64_t byteCount) const {
  return byteCount - byteCount % format_.BlockAlign();
}

namespace {

std::mutex openerMutex;
std::function<std::unique_ptr<SoundDevice>()>& Opener() {
  static auto* opener = new std::function<std::unique_ptr<SoundDevice>()>;
  return *opener;
}

}  // namespace

void SetSoundDeviceOpener(std::function<std::unique_ptr<SoundDevice>()> opener) {
  std::lock_guard<std::mutex> lock(openerMutex);
  Opener() = std::move(opener);
}

std::unique_ptr<SoundDevice> OpenSoundDevice() {
  std::function<std::unique_ptr<SoundDevice>()> opener;
  {
    std::lock_guard<std::mutex> lock(openerMutex);
    opener = Opener();
  }
  if (opener) return opener();
  const char* choice = std::getenv("VELMORA_AUDIO");
  if (choice && std::strcmp(choice, "null") == 0) return OpenNullSoundDevice();
  return OpenAlsaSoundDevice("default");
}

}  // namespace platform
