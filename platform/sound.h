// Sound output: a device that gives one looping play buffer. The owner writes
// samples straight into the buffer memory while the device plays it round and
// round; the play cursor says where the device has got to.
//
// Positions and sizes count bytes. Volume is in hundredths of a decibel, from
// 0 (full) down to -10000; values outside that range are refused.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

struct SoundFormat {
  uint16_t channels = 1;
  uint32_t samplesPerSecond = 8000;
  uint16_t bitsPerSample = 16;  // only 16-bit signed samples are supported
  uint16_t BlockAlign() const { return static_cast<uint16_t>(channels * (bitsPerSample / 8)); }
  uint32_t BytesPerSecond() const { return samplesPerSecond * BlockAlign(); }
};

inline constexpr int32_t kVolumeMax = 0;
inline constexpr int32_t kVolumeMin = -10000;

class SoundBuffer {
 public:
  virtual ~SoundBuffer() = default;

  // Gives the bytes [offset, offset + bytes) of the buffer as up to two
  // regions (the second one non-empty only when the range wraps round the
  // end). entireBuffer ignores offset and bytes. False on a bad range.
  virtual bool Lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1, void** region2,
                    uint32_t* bytes2, bool entireBuffer) = 0;
  virtual bool Unlock(void* region1, uint32_t bytes1, void* region2, uint32_t bytes2) = 0;

  // Plays from the current position, looping, until Stop.
  virtual bool Play() = 0;
  // Stops; the position stays where the device had got to.
  virtual bool Stop() = 0;
  virtual bool SetCurrentPosition(uint32_t playCursor) = 0;
  // The play cursor is the next byte the listener will hear; bytes from it
  // up to the write cursor are already committed to the device.
  virtual bool GetCurrentPosition(uint32_t* playCursor, uint32_t* writeCursor) = 0;

  virtual bool SetVolume(int32_t hundredthsOfDb) = 0;
  virtual bool GetVolume(int32_t* hundredthsOfDb) = 0;

  virtual uint32_t Size() const = 0;
};

class SoundDevice {
 public:
  virtual ~SoundDevice() = default;
  // A looping buffer of the given size (a whole number of sample frames);
  // nullptr when the device cannot play that format.
  virtual std::unique_ptr<SoundBuffer> CreateSoundBuffer(const SoundFormat& format, uint32_t bytes) = 0;
};

// ALSA playback on the named PCM; nullptr when it cannot be opened. A feeder
// thread keeps the device supplied from the buffer; when the device takes
// data without blocking (file or null plugins) the feeder paces itself on the
// platform clock.
std::unique_ptr<SoundDevice> OpenAlsaSoundDevice(const std::string& pcmName = "default");

// Plays into nothing; the play cursor advances with the platform clock.
std::unique_ptr<SoundDevice> OpenNullSoundDevice();

// The machine's sound device: the null device when VELMORA_AUDIO is "null",
// else ALSA's default PCM; nullptr when that cannot be opened. A test may
// install its own opener (an empty function restores the normal choice).
std::unique_ptr<SoundDevice> OpenSoundDevice();
void SetSoundDeviceOpener(std::function<std::unique_ptr<SoundDevice>()> opener);

}  // namespace platform
