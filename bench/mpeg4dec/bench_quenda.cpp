// Decode speed of Quenda in pictures per second, single thread, measured in
// process around the decode calls only (the capture is already in memory),
// next to FFmpeg's decode-only time (its -benchmark rtime) for the same
// stream when ffmpeg is installed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frames.h"
#include "quenda.h"

namespace {

const std::string kDir = std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/";

// One pass over the whole capture, in pictures per second.
double Pass(const std::vector<std::vector<uint8_t>>& pictures, int mode, uint8_t* output) {
  Decoder_Init();
  const auto start = std::chrono::steady_clock::now();
  for (const auto& p : pictures) {
    DecoderSetInputSize(uint32_t(p.size()));
    DecoderFrame(p.data(), mode, output);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  DecoderClose();
  return double(pictures.size()) / seconds;
}

// Best of many passes, decode-only and with 32-bit output taking turns so
// that both see the same machine (a pass lasts only milliseconds, and other
// load comes and goes).
struct Speeds {
  double decode = 0, withRgb = 0;
};
Speeds PicturesPerSecond(const std::vector<std::vector<uint8_t>>& pictures, uint8_t* rgb) {
  Speeds best;
  for (int round = 0; round < 15; ++round) {
    best.decode = std::max(best.decode, Pass(pictures, 32, nullptr));
    best.withRgb = std::max(best.withRgb, Pass(pictures, 32, rgb));
  }
  return best;
}

// FFmpeg's own decode time for the elementary stream (best of seven; rtime has
// millisecond resolution, a few per cent of one pass), in
// pictures per second; 0 when ffmpeg is not there.
double FfmpegPicturesPerSecond(const std::string& stream, size_t pictures) {
  const std::string cmd = "ffmpeg -nostdin -hide_banner -benchmark -threads 1 -flags +bitexact -idct xvid -i '" +
                          kDir + stream + ".m4v' -f null - 2>&1";
  double best = 0;
  for (int run = 0; run < 7; ++run) {
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return 0;
    char line[512];
    double rtime = 0;
    while (std::fgets(line, sizeof line, p)) {
      const char* r = std::strstr(line, "rtime=");
      if (r) rtime = std::atof(r + 6);
    }
    pclose(p);
    if (rtime > 0) best = std::max(best, double(pictures) / rtime);
  }
  return best;
}

}  // namespace

int main() {
  std::vector<uint8_t> rgb(320 * 240 * 4);
  for (const char* stream : {"ts_q5", "mb_q5"}) {
    std::vector<std::vector<uint8_t>> pictures;
    if (!quenda_tools::ReadFramesFile(kDir + stream + ".frames", pictures)) {
      std::fprintf(stderr, "cannot read %s\n", stream);
      return 1;
    }
    const auto [decode, withRgb] = PicturesPerSecond(pictures, rgb.data());
    const double ffmpeg = FfmpegPicturesPerSecond(stream, pictures.size());
    std::printf("%-6s quenda decode %8.0f pictures/s, decode+rgb32 %8.0f pictures/s (+%.0f%% time)", stream, decode,
                withRgb, (decode / withRgb - 1) * 100);
    if (ffmpeg > 0) std::printf(", ffmpeg %8.0f pictures/s, ratio %.2f", ffmpeg, decode / ffmpeg);
    std::printf("\n");
  }
  return 0;
}
