// The capture server's costs: encoding one slot; the ostrane program's CPU
// per second of audio over 20 s (tone source, and ALSA through the file
// plugin); and the longest delay from a sample being complete in the capture
// buffer to its slot being published.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture.h"
#include "platform/clock.h"
#include "platform/file_lock.h"
#include "shared/shared_area.h"
#include "talkserver/audio_in.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

// A buffer that always has the next slot waiting.
class EndlessBuffer : public platform::CaptureBuffer {
 public:
  EndlessBuffer() : memory_(240000) {
    for (size_t i = 0; i < memory_.size(); ++i) memory_[i] = int16_t(9000 * std::sin(i * 2 * M_PI * 440 / 8000));
  }
  bool Lock(int16_t** s, uint32_t* b) override {
    *s = memory_.data();
    *b = uint32_t(memory_.size() * 2);
    return true;
  }
  bool Start() override { return true; }
  bool GetCapturePosition(platform::CapturePosition* p) override {
    p->totalSamples = consumed_ + 2400;
    p->captureByte = uint32_t(p->totalSamples % memory_.size() * 2);
    return true;
  }
  void Consumed(uint64_t c) override { consumed_ = c; }
  uint32_t Size() const override { return uint32_t(memory_.size() * 2); }

 private:
  std::vector<int16_t> memory_;
  uint64_t consumed_ = 0;
};

class OneBufferDevice : public platform::CaptureDevice {
 public:
  explicit OneBufferDevice(std::unique_ptr<platform::CaptureBuffer> b) : buffer_(std::move(b)) {}
  std::unique_ptr<platform::CaptureBuffer> CreateCaptureBuffer(const platform::SoundFormat&, uint32_t) override {
    return std::move(buffer_);
  }

 private:
  std::unique_ptr<platform::CaptureBuffer> buffer_;
};

void UseArea(SharedAudioArea* area) {
  for (int i = 0; i < kTalkSlotCount; ++i) slotTable[i] = &area->slots[i];
  slotTable[kTalkSlotCount] = &area->writeSlot;
}

void BM_EncodeSlot(benchmark::State& state) {
  auto area = std::make_unique<SharedAudioArea>();
  UseArea(area.get());
  CAudioIn in(8000, [] { return std::make_unique<OneBufferDevice>(std::make_unique<EndlessBuffer>()); });
  in.OpenCapture();
  for (auto _ : state) benchmark::DoNotOptimize(in.ProcessCapture());
  // Time per iteration is the time per slot (2400 samples, ten headers).
  state.SetItemsProcessed(state.iterations());
  in.CloseCapture();
  for (auto& p : slotTable) p = nullptr;
}
BENCHMARK(BM_EncodeSlot)->Unit(benchmark::kMicrosecond);

// ---- the program ----

fs::path WriteAlsaConfig(const fs::path& dir, double seconds) {
  std::vector<int16_t> tone(size_t(seconds * 8000));
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(9000 * std::sin(i * 2 * M_PI * 440 / 8000));
  const fs::path raw = dir / "tone.raw";
  std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(tone.data()), std::streamsize(tone.size() * 2));
  const fs::path conf = dir / "asound.conf";
  std::ofstream(conf) << "pcm.!default {\n  type file\n  slave.pcm { type null }\n  file \"/dev/null\"\n  infile \""
                      << raw.string() << "\"\n  format \"raw\"\n}\n";
  return conf;
}

// Runs ostrane for `seconds` with a viewer beating; its CPU seconds.
double OstraneCpu(const std::string& capture, double seconds, const std::string& alsaConfig, int32_t* slots) {
  const std::string ns = "bench" + std::to_string(getpid()) + capture.substr(0, 4);
  setenv("VELMORA_NS", ns.c_str(), 1);
  std::string error;
  auto viewer = SharedAreaAttachment::Attach(SharedAreaAttachment::Role::Viewer, &error);
  if (!viewer) return -1;
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.push_back("OSTRANE_CAPTURE=" + capture);
  env.push_back("DISPLAY=");
  if (!alsaConfig.empty()) env.push_back("ALSA_CONFIG_PATH=" + alsaConfig);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string path = std::string(VELMORA_BIN_DIR) + "/ostrane";
  char* argv[] = {path.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  const auto end = Steady::now() + std::chrono::duration<double>(seconds);
  int32_t lastSlot = 0;
  *slots = 0;
  while (Steady::now() < end) {
    std::atomic_ref<uint16_t>(viewer->area()->heartbeat).fetch_add(1);
    const int32_t now = std::atomic_ref<int32_t>(viewer->area()->writeSlot).load();
    *slots += (now - lastSlot + kTalkSlotCount) % kTalkSlotCount;
    lastSlot = now;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGTERM);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  viewer.reset();
  const std::string dir = platform::RuntimeDirectory();
  std::error_code ec;
  for (const char* suffix : {"MEMSHAREMAPPING.guard", "MyProgram.lock"}) fs::remove(dir + ns + suffix, ec);
  unsetenv("VELMORA_NS");
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void ProgramCpu(benchmark::State& state, bool alsa) {
  const fs::path dir = fs::temp_directory_path() / ("velmora-bench-talk-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const double seconds = 20;
  const std::string conf = alsa ? WriteAlsaConfig(dir, seconds + 5).string() : std::string();
  double cpu = 0;
  int32_t slots = 0;
  for (auto _ : state) cpu = OstraneCpu(alsa ? "alsa" : "test:sine:440", seconds, conf, &slots);
  fs::remove_all(dir);
  state.counters["cpu_ms_per_audio_s"] = cpu * 1000 / seconds;
  state.counters["slots"] = slots;
}
void BM_OstraneCpuTone(benchmark::State& state) { ProgramCpu(state, false); }
void BM_OstraneCpuAlsa(benchmark::State& state) { ProgramCpu(state, true); }
BENCHMARK(BM_OstraneCpuTone)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_OstraneCpuAlsa)->Iterations(1)->Unit(benchmark::kSecond);

// ---- sample-to-slot delay ----

// Forwards to a real device and notes when capture started.
class TimedDevice : public platform::CaptureDevice {
 public:
  TimedDevice(std::unique_ptr<platform::CaptureDevice> inner, std::atomic<int64_t>* startNs)
      : inner_(std::move(inner)), startNs_(startNs) {}
  std::unique_ptr<platform::CaptureBuffer> CreateCaptureBuffer(const platform::SoundFormat& f, uint32_t b) override {
    auto buffer = inner_->CreateCaptureBuffer(f, b);
    if (!buffer) return nullptr;
    return std::make_unique<Timed>(std::move(buffer), startNs_);
  }

 private:
  struct Timed : platform::CaptureBuffer {
    Timed(std::unique_ptr<platform::CaptureBuffer> b, std::atomic<int64_t>* s) : b_(std::move(b)), s_(s) {}
    bool Lock(int16_t** s, uint32_t* n) override { return b_->Lock(s, n); }
    bool Start() override {
      s_->store(Steady::now().time_since_epoch().count());
      return b_->Start();
    }
    bool GetCapturePosition(platform::CapturePosition* p) override { return b_->GetCapturePosition(p); }
    void Consumed(uint64_t c) override { b_->Consumed(c); }
    uint32_t Size() const override { return b_->Size(); }
    std::unique_ptr<platform::CaptureBuffer> b_;
    std::atomic<int64_t>* s_;
  };
  std::unique_ptr<platform::CaptureDevice> inner_;
  std::atomic<int64_t>* startNs_;
};

// The slot ending at sample 2400 k is due at start + 0.3 k s; how late does
// writeSlot move past it? (The clock source makes samples on the clock.)
void BM_SampleToSlotDelay(benchmark::State& state) {
  auto area = std::make_unique<SharedAudioArea>();
  UseArea(area.get());
  double worstMs = 0, sumMs = 0;
  int count = 0;
  for (auto _ : state) {
    std::atomic<int64_t> startNs{0};
    CAudioIn in(8000, [&] { return std::make_unique<TimedDevice>(platform::OpenCaptureDevice("test:sine:440"), &startNs); });
    in.StartCaptureThread();
    int32_t last = 0;
    int slots = 0;
    while (slots < 33) {  // 10 s
      const int32_t now = std::atomic_ref<int32_t>(area->writeSlot).load(std::memory_order_acquire);
      if (now != last) {
        slots += (now - last + kTalkSlotCount) % kTalkSlotCount;
        last = now;
        const double due = double(startNs.load()) + slots * 0.3e9;
        const double ms = (double(Steady::now().time_since_epoch().count()) - due) / 1e6;
        worstMs = std::max(worstMs, ms);
        sumMs += ms;
        ++count;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }
  state.counters["worst_delay_ms"] = worstMs;
  state.counters["mean_delay_ms"] = count ? sumMs / count : 0;
  for (auto& p : slotTable) p = nullptr;
}
BENCHMARK(BM_SampleToSlotDelay)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
