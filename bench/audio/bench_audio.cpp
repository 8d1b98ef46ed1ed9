// CPU time one camera audio stream costs per second of sound: the decoding
// and writing of frames alone (IMA ADPCM, G.723.1), and the whole playback
// thread (with its 1 ms polling) at the camera's pace on the null device and
// on ALSA through the file plugin.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "engine/audio_player.h"
#include "g7231/speech_decoder.h"
#include "platform/clock.h"
#include "platform/sound.h"

namespace {

constexpr int kFramesPerIteration = 100;  // 3 s of sound

std::vector<uint8_t> AdpcmTone(int frames) {
  std::vector<int16_t> s(static_cast<size_t>(frames) * 240);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * i / 8000.0));
  CADPCM enc;
  std::vector<uint8_t> coded(s.size() / 2);
  enc.EncodeAdpcm(s.data(), coded.data(), s.size());
  return coded;
}

std::vector<uint8_t> SpeechFrames() {
  std::ifstream in(std::string(VELMORA_REFERENCE_DIR) + "/g7231/vectors/speech_63.f24", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double CpuSeconds(clockid_t which) {
  timespec ts{};
  clock_gettime(which, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU of every thread but the calling one (which only feeds the frames).
double OtherThreadsCpuSeconds() {
  return CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}

// Frames through DecodeAudioFrame and the latency check, on the test thread.
void DecodeFrames(benchmark::State& state, uint32_t codec, const std::vector<uint8_t>& coded) {
  platform::SetSoundDeviceOpener([] { return platform::OpenNullSoundDevice(); });
  CAudioG726 player;
  player.codec = codec;
  player.frameSize = codec ? 24 : 120;
  player.speechSlot = 3;
  CreateSpeechDecoder(3);
  player.InitDirectSound();
  const size_t frameBytes = player.frameSize;
  const size_t frames = coded.size() / frameBytes;
  size_t next = 0;
  for (auto _ : state) {
    for (int f = 0; f < kFramesPerIteration; ++f) {
      player.codedAudioRing.PutBytes(&coded[next * frameBytes], static_cast<uint32_t>(frameBytes));
      next = (next + 1) % frames;
      player.DecodeAudioFrame();
      if (player.writePos % 6000 == 0) player.AdjustAudioLatency();
    }
  }
  benchmark::DoNotOptimize(player.samples[0]);
  DestroySpeechDecoder(3);
  platform::SetSoundDeviceOpener(nullptr);
  // Seconds of CPU per second of sound.
  state.counters["cpu_per_audio_s"] = benchmark::Counter(kFramesPerIteration * 0.03,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_AdpcmFrames(benchmark::State& state) { DecodeFrames(state, 0, AdpcmTone(400)); }
void BM_G7231Frames(benchmark::State& state) { DecodeFrames(state, 1, SpeechFrames()); }

// The running thread in real time, frames arriving every 30 ms; the
// reported time is the CPU of the player's threads per second of sound.
void PlayInRealTime(benchmark::State& state, std::function<std::unique_ptr<platform::SoundDevice>()> open) {
  platform::SetSoundDeviceOpener(std::move(open));
  const auto coded = AdpcmTone(100);
  constexpr int kFrames = 67;  // 2 s
  for (auto _ : state) {
    auto player = std::make_unique<CAudioG726>();
    player->startPending = 1;
    player->StartAudioThread();
    const double cpu0 = OtherThreadsCpuSeconds();
    const uint32_t start = platform::GetTickCount();
    for (int f = 0; f < kFrames; ++f) {
      while (platform::GetTickCount() - start < static_cast<uint32_t>(f * 30)) platform::RealSleep(1);
      player->codedAudioRing.PutBytes(&coded[static_cast<size_t>(f) * 120], 120);
    }
    const double cpu = OtherThreadsCpuSeconds() - cpu0;
    state.SetIterationTime(cpu / (kFrames * 0.03));
    if (!player->soundReady) state.SkipWithError("no sound buffer");
  }
  platform::SetSoundDeviceOpener(nullptr);
}

void BM_PlayerThreadNullDevice(benchmark::State& state) {
  PlayInRealTime(state, [] { return platform::OpenNullSoundDevice(); });
}

void BM_PlayerThreadAlsaFilePlugin(benchmark::State& state) {
  const std::string conf = "/tmp/velmora-bench-audio-" + std::to_string(getpid()) + ".conf";
  std::ofstream(conf) << "pcm.!default {\n type file\n slave.pcm { type null }\n file \"/dev/null\"\n format \"raw\"\n}\n";
  setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
  if (!platform::OpenAlsaSoundDevice("default")) {
    state.SkipWithError("ALSA cannot be opened");
    for (auto _ : state) {
    }
  } else {
    PlayInRealTime(state, [] { return platform::OpenAlsaSoundDevice("default"); });
  }
  std::remove(conf.c_str());
}

BENCHMARK(BM_AdpcmFrames)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_G7231Frames)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlayerThreadNullDevice)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlayerThreadAlsaFilePlugin)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
