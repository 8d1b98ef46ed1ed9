// Sound capture: a device that gives one looping capture buffer of 16-bit
// mono samples, filled round and round once started. The capture position
// says up to where samples are complete; a 64-bit count of every sample
// captured lets the reader notice when it has been lapped.
//
// OSTRANE_CAPTURE picks the source (OpenCaptureDevice):
//   alsa[:DEV]    ALSA capture on DEV ("default" when absent); a feeder thread
//                 reads a period at a time; plugins that are not real time
//                 (file, null) are paced on the platform clock
//   test:sine:HZ  a sine tone, made as the platform clock moves
//   test:silence  zeros, likewise
//   file:PATH     raw s16le samples of PATH once, then silence, likewise
//   none          no device
// Unset or empty means alsa.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/sound.h"

namespace platform {

struct CapturePosition {
  uint32_t captureByte = 0;  // byte offset in the buffer up to which samples are complete
  uint64_t totalSamples = 0;  // samples captured since Start
};

class CaptureBuffer {
 public:
  virtual ~CaptureBuffer() = default;
  // The whole buffer memory, handed out once for the buffer's life; false on
  // a second call.
  virtual bool Lock(int16_t** samples, uint32_t* bytes) = 0;
  // Starts capturing into the buffer, looping.
  virtual bool Start() = 0;
  virtual bool GetCapturePosition(CapturePosition* position) = 0;
  // The reader has taken every sample before `consumed` (a total count);
  // a writer thread syncs with this before it overwrites them.
  virtual void Consumed(uint64_t consumed) = 0;
  virtual uint32_t Size() const = 0;
};

class CaptureDevice {
 public:
  virtual ~CaptureDevice() = default;
  // A looping buffer of `bytes` (a whole number of samples); nullptr when
  // the device cannot capture that format.
  virtual std::unique_ptr<CaptureBuffer> CreateCaptureBuffer(const SoundFormat& format, uint32_t bytes) = 0;
};

// The device OSTRANE_CAPTURE names; nullptr when it cannot be made (none, an
// unknown source, an unreadable file, an ALSA device that will not open).
std::unique_ptr<CaptureDevice> OpenCaptureDevice();
std::unique_ptr<CaptureDevice> OpenCaptureDevice(const std::string& source);

std::unique_ptr<CaptureDevice> OpenAlsaCaptureDevice(const std::string& pcmName);
// Samples made as the platform clock moves: sample n of the source is
// complete once n / rate seconds have passed since Start.
using SampleSource = std::function<int16_t(uint64_t n)>;
std::unique_ptr<CaptureDevice> OpenClockCaptureDevice(SampleSource source);

}  // namespace platform
