#include "tools/camsim/media.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

namespace camsim {

namespace {

constexpr size_t kSamplesPerFrame = 240;  // 30 ms at 8 kHz

bool ReadFile(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = "cannot open " + path;
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

bool EndsWith(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// The sample bytes of a WAV file's data chunk, or the whole file when it is
// not a WAV file.
std::pair<size_t, size_t> PcmRange(const std::vector<uint8_t>& d) {
  if (d.size() < 12 || std::memcmp(d.data(), "RIFF", 4) != 0 ||
      std::memcmp(d.data() + 8, "WAVE", 4) != 0)
    return {0, d.size()};
  size_t at = 12;
  while (at + 8 <= d.size()) {
    size_t len = wire::ReadLe32(&d[at + 4]);
    if (std::memcmp(&d[at], "data", 4) == 0)
      return {at + 8, std::min(len, d.size() - at - 8)};
    at += 8 + len + (len & 1);
  }
  return {0, 0};
}

// A picture with a VOP start code and the given coding type, filled with a
// pattern that holds no start code.
VideoPicture SyntheticPicture(bool key) {
  VideoPicture p;
  p.frameType = key ? 2 : 1;
  p.payload = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0xB6,
               static_cast<uint8_t>(key ? 0x10 : 0x50)};
  p.payload.resize(key ? 1500 : 300, 0x55);
  return p;
}

}  // namespace

bool VideoClip::Load(const std::string& path, std::string& error) {
  pictures_.clear();
  if (path.empty()) {
    for (int i = 0; i < 30; ++i) pictures_.push_back(SyntheticPicture(i == 0));
    return true;
  }
  std::vector<uint8_t> d;
  if (!ReadFile(path, d, error)) return false;
  size_t at = 0;
  while (at + 4 <= d.size()) {
    size_t len = wire::ReadLe32(&d[at]);
    at += 4;
    if (len < 4 || len > wire::kMaxPayload || len > d.size() - at) {
      error = path + ": bad record length";
      return false;
    }
    VideoPicture p;
    p.payload.assign(d.begin() + static_cast<long>(at), d.begin() + static_cast<long>(at + len));
    p.frameType = wire::FrameTypeOfPayload(p.payload.data(), p.payload.size());
    pictures_.push_back(std::move(p));
    at += len;
  }
  if (pictures_.empty()) {
    error = path + ": no pictures";
    return false;
  }
  return true;
}

bool AudioClip::Load(const AudioSource& s, std::string& error) {
  kind_ = s.kind;
  toneHz_ = s.toneHz;
  toneAmplitude_ = s.toneAmplitude;
  samples_.clear();
  g723Frames_.clear();
  if (kind_ == AudioKind::PcmFile) {
    std::vector<uint8_t> d;
    if (!ReadFile(s.path, d, error)) return false;
    auto [from, len] = PcmRange(d);
    for (size_t i = 0; i + 1 < len; i += 2)
      samples_.push_back(static_cast<int16_t>(d[from + i] | d[from + i + 1] << 8));
    if (samples_.empty()) {
      error = s.path + ": no samples";
      return false;
    }
  } else if (kind_ == AudioKind::G7231) {
    std::vector<uint8_t> d;
    if (!ReadFile(s.path, d, error)) return false;
    static constexpr size_t kPackedSize[4] = {24, 20, 4, 1};
    size_t at = 0;
    while (at < d.size()) {
      size_t len = EndsWith(s.path, ".tco") ? kPackedSize[d[at] & 3] : wire::kG7231Payload;
      if (len > d.size() - at) break;
      std::array<uint8_t, wire::kG7231Payload> f{};
      std::memcpy(f.data(), &d[at], len);
      g723Frames_.push_back(f);
      at += len;
    }
    if (g723Frames_.empty()) {
      error = s.path + ": no frames";
      return false;
    }
  }
  return true;
}

void AudioClip::NextSamples(AudioCursor& c, int16_t* out) const {
  if (kind_ == AudioKind::PcmFile) {
    for (size_t i = 0; i < kSamplesPerFrame; ++i) {
      out[i] = samples_[c.position];
      c.position = (c.position + 1) % samples_.size();
    }
    return;
  }
  const double step = 2.0 * std::numbers::pi * toneHz_ / 8000.0;
  for (size_t i = 0; i < kSamplesPerFrame; ++i) {
    out[i] = static_cast<int16_t>(std::lround(toneAmplitude_ * std::sin(c.phase)));
    c.phase = std::fmod(c.phase + step, 2.0 * std::numbers::pi);
  }
}

wire::Bytes AudioClip::NextFrame(AudioCursor& c, uint32_t timestamp) const {
  switch (kind_) {
    case AudioKind::None:
      return {};
    case AudioKind::G7231: {
      const auto& f = g723Frames_[c.position];
      c.position = (c.position + 1) % g723Frames_.size();
      return wire::G7231AudioFrame(timestamp, f.data());
    }
    default: {
      int16_t pcm[kSamplesPerFrame];
      NextSamples(c, pcm);
      uint8_t step = static_cast<uint8_t>(c.encoder.stepIndex);
      int16_t predictor = c.encoder.predictor;
      uint8_t codes[wire::kAdpcmPayload];
      c.encoder.EncodeAdpcm(pcm, codes, kSamplesPerFrame);
      return wire::AdpcmAudioFrame(step, predictor, timestamp, codes);
    }
  }
}

}  // namespace camsim
