// Decode speed of the speech decoder as times real time: speech_63 (6.3
// kbit/s) held in memory and decoded over and over on one thread through the
// slot entry point, postfilter off.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "g7231/speech_decoder.h"

namespace {

constexpr uint32_t kSlot = 7;
constexpr double kFrameSeconds = 0.030;

std::vector<uint8_t> LoadFrames() {
  const std::string path = std::string(VELMORA_REFERENCE_DIR) + "/g7231/vectors/speech_63.f24";
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() < kSpeechFrameBytes) std::fprintf(stderr, "cannot read %s\n", path.c_str());
  return data;
}

void BM_DecodeSpeech63(benchmark::State& state) {
  const std::vector<uint8_t> data = LoadFrames();
  const size_t frames = data.size() / kSpeechFrameBytes;
  if (frames == 0) {
    state.SkipWithError("no input");
    return;
  }
  CreateSpeechDecoder(kSlot);
  int16_t out[kSpeechFrameSamples];
  size_t next = 0;
  int64_t decoded = 0;
  for (auto _ : state) {
    DecodeSpeechFrame(kSlot, out, data.data() + next * kSpeechFrameBytes, 0);
    benchmark::DoNotOptimize(out);
    next = next + 1 == frames ? 0 : next + 1;
    ++decoded;
  }
  DestroySpeechDecoder(kSlot);
  state.SetItemsProcessed(decoded);
  // Seconds of audio per second of decoding.
  state.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(decoded) * kFrameSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeSpeech63)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
