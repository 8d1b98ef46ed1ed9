// g7231-decode [--postfilter] IN OUT.pcm
// Decodes a G.723.1 stream through the slot entry points into 16-bit
// little-endian PCM. IN ending in ".tco" holds frames back to back (length
// from each frame's first byte); ".f24" holds 24-byte records.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "g7231/slot_table.h"
#include "g7231/speech_decoder.h"

namespace {

constexpr uint32_t kSlot = 0;
constexpr int kTcoLength[4] = {24, 20, 4, 1};

bool EndsWith(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Splits the stream into zero-padded 24-byte frames; a truncated last frame is
// dropped.
std::vector<std::vector<uint8_t>> SplitFrames(const std::vector<uint8_t>& data, bool tco) {
  std::vector<std::vector<uint8_t>> frames;
  size_t pos = 0;
  while (pos < data.size()) {
    const size_t length = tco ? kTcoLength[data[pos] & 3] : kSpeechFrameBytes;
    if (pos + length > data.size()) break;
    std::vector<uint8_t> frame(kSpeechFrameBytes, 0);
    std::memcpy(frame.data(), data.data() + pos, length);
    frames.push_back(std::move(frame));
    pos += length;
  }
  return frames;
}

void WriteLittleEndian(std::vector<uint8_t>& out, const int16_t* samples, int n) {
  for (int i = 0; i < n; ++i) {
    const auto v = static_cast<uint16_t>(samples[i]);
    out.push_back(static_cast<uint8_t>(v & 0xff));
    out.push_back(static_cast<uint8_t>(v >> 8));
  }
}

// On stdout with exit 0 when asked for (--help), else on stderr with 2.
int Usage(bool asked = false) {
  std::fprintf(asked ? stdout : stderr, "usage: g7231-decode [--postfilter] IN OUT.pcm\n");
  return asked ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool postfilter = false;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--postfilter") == 0) {
      postfilter = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      return Usage(true);
    } else if (argv[i][0] == '-') {
      return Usage();
    } else {
      paths.emplace_back(argv[i]);
    }
  }
  if (paths.size() != 2) return Usage();
  const std::string& inPath = paths[0];
  const bool tco = EndsWith(inPath, ".tco");
  if (!tco && !EndsWith(inPath, ".f24")) {
    std::fprintf(stderr, "g7231-decode: %s: unknown extension (want .tco or .f24)\n", inPath.c_str());
    return 1;
  }

  std::ifstream in(inPath, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "g7231-decode: cannot read %s\n", inPath.c_str());
    return 1;
  }
  const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  CreateSpeechDecoder(kSlot);
  SpeechDecoderInSlot(kSlot)->postfilterOn = postfilter ? 1 : 0;
  std::vector<uint8_t> pcm;
  int16_t samples[kSpeechFrameSamples];
  for (const auto& frame : SplitFrames(data, tco)) {
    DecodeSpeechFrame(kSlot, samples, frame.data(), 0);
    WriteLittleEndian(pcm, samples, kSpeechFrameSamples);
  }
  DestroySpeechDecoder(kSlot);

  std::ofstream out(paths[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size()));
  if (!out) {
    std::fprintf(stderr, "g7231-decode: cannot write %s\n", paths[1].c_str());
    return 1;
  }
  return 0;
}
