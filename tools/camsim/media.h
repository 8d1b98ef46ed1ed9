// What the simulated camera streams: MPEG-4 pictures from a `.frames` file
// (or small synthetic ones) and 30 ms audio frames (IMA ADPCM of a tone or a
// PCM file, or G.723.1 frames from a reference file).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/adpcm.h"
#include "tools/camsim/camsim.h"
#include "tools/camsim/wire.h"

namespace camsim {

struct VideoPicture {
  wire::Bytes payload;   // 4 tag bytes, then one VOP
  uint8_t frameType = 1; // 2 key, 1 droppable
};

class VideoClip {
 public:
  // Empty path: synthetic pictures. False when the file is unusable.
  bool Load(const std::string& framesPath, std::string& error);
  size_t size() const { return pictures_.size(); }
  const VideoPicture& at(size_t i) const { return pictures_[i % pictures_.size()]; }

 private:
  std::vector<VideoPicture> pictures_;
};

// Per-connection encoder position in the audio source.
struct AudioCursor {
  CADPCM encoder;
  size_t position = 0;   // sample or frame index
  double phase = 0.0;    // tone
};

class AudioClip {
 public:
  bool Load(const AudioSource& source, std::string& error);
  AudioKind kind() const { return kind_; }
  uint8_t codecByte() const { return kind_ == AudioKind::G7231 ? 1 : 0; }
  // The next audio message of a stream, or empty for AudioKind::None.
  wire::Bytes NextFrame(AudioCursor& cursor, uint32_t timestamp) const;

 private:
  void NextSamples(AudioCursor& cursor, int16_t* out) const;

  AudioKind kind_ = AudioKind::Tone;
  int toneHz_ = 1000;
  int toneAmplitude_ = 8000;
  std::vector<int16_t> samples_;
  std::vector<std::array<uint8_t, wire::kG7231Payload>> g723Frames_;
};

}  // namespace camsim
