// Recording throughput: video frames of 4 KB, 16 KB and 60000 bytes and
// 120-byte audio frames written through the recorder, to files in a
// directory (the current one, or VELMORA_BENCH_DISK) and in /dev/shm; and the
// link thread's CPU time per second of a live 30 fps stream, recording
// against not. Nothing is synced: the directory figures are writes into the
// page cache, not the disk's speed.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "engine/recorder.h"
#include "engine/wire_protocol.h"
#include "platform/message_queue.h"
#include "shared/command_codes.h"
#include "tools/camsim/camsim.h"
#include "tools/velmora-engine/engine_host.h"

namespace {

std::string Directory(int where) {
  if (where == 1) return "/dev/shm";
  const char* disk = std::getenv("VELMORA_BENCH_DISK");
  return disk && *disk ? disk : ".";
}

std::string Label(int where) { return where == 1 ? "/dev/shm" : "page cache of " + Directory(where) + " (no fsync)"; }

std::string BaseName(int where) { return Directory(where) + "/velmora-bench-record-" + std::to_string(getpid()); }

void RemoveRecording(const std::string& base) {
  for (const char* ext : {".sdi", ".kev", ".kea"}) unlink((base + ext).c_str());
}

// Frames per recording before it is closed and started anew, so the files
// stay small.
constexpr uint32_t kFramesPerRecording = 2000;

void BM_VideoRecord(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  const int where = static_cast<int>(state.range(1));
  const std::string base = BaseName(where);
  CMakeFile recorder;
  recorder.SetRecordName(base);
  CManage2DBUF video(1), audio(1);
  std::vector<uint8_t> message(wire::kHeaderSize + n, 0x55);
  uint32_t stamp = 0, inRecording = 0;
  recorder.StartRecord(video, audio);
  for (auto _ : state) {
    wire::WriteLe32(&message[8], ++stamp);
    recorder.WriteVideoRecord(message.data(), n);
    if (++inRecording == kFramesPerRecording) {
      state.PauseTiming();
      recorder.StopRecord();
      recorder.StartRecord(video, audio);
      inRecording = 0;
      state.ResumeTiming();
    }
  }
  if (recorder.videoRecording != 1) state.SkipWithError("the recording stopped");
  recorder.StopRecord();
  RemoveRecording(base);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
  state.SetLabel(Label(where));
}
BENCHMARK(BM_VideoRecord)
    ->ArgsProduct({{4096, 16384, 60000}, {0, 1}})
    ->ArgNames({"bytes", "shm"})
    ->Unit(benchmark::kMicrosecond);

void BM_AudioRecord(benchmark::State& state) {
  const int where = static_cast<int>(state.range(0));
  const std::string base = BaseName(where);
  CMakeFile recorder;
  recorder.SetRecordName(base);
  recorder.AudioModule = 1;
  CManage2DBUF video(1), audio(1);
  std::vector<uint8_t> message(wire::kHeaderSize + 120, 0x17);
  uint32_t stamp = 0, inRecording = 0;
  recorder.StartRecord(video, audio);
  for (auto _ : state) {
    wire::WriteLe32(&message[8], ++stamp);
    recorder.WriteAudioRecord(message.data(), 120);
    if (++inRecording == 20 * kFramesPerRecording) {
      state.PauseTiming();
      recorder.StopRecord();
      recorder.StartRecord(video, audio);
      inRecording = 0;
      state.ResumeTiming();
    }
  }
  if (recorder.audioRecording != 1) state.SkipWithError("the recording stopped");
  recorder.StopRecord();
  RemoveRecording(base);
  state.SetLabel(Label(where));
}
BENCHMARK(BM_AudioRecord)->Arg(0)->Arg(1)->ArgNames({"shm"})->Unit(benchmark::kMicrosecond);

double LinkThreadCpuMs(CNetManage& link) {
  auto result = std::make_shared<std::promise<double>>();
  auto value = result->get_future();
  platform::PostThreadMessage(link.threadId, [result] {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    result->set_value(static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6);
  });
  return value.wait_for(std::chrono::seconds(2)) == std::future_status::ready ? value.get() : -1.0;
}

// Link-thread CPU per second of a live 30 fps stream with audio; argument 1
// records it (into the current directory).
void BM_LinkThreadCpuPerSecond(benchmark::State& state) {
  const bool recording = state.range(0) != 0;
  camsim::SimConfig config;
  config.video.framesPath = std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/ts_q5.frames";
  camsim::CameraSimulator camera(config);
  if (!camera.Start()) {
    state.SkipWithError(camera.error().c_str());
    return;
  }
  const std::string base = BaseName(0);
  host::HostOptions options;
  options.port = camera.port();
  options.startDelayMs = 0;
  options.recordName = base;
  host::EngineHost engine(options, [](const std::string&) {});
  engine.Start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (engine.link().videoState != 100 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (recording) engine.Post(CmdStartRecording);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  constexpr int kSeconds = 3;
  double cpuMs = 0;
  for (auto _ : state) {
    const double before = LinkThreadCpuMs(engine.link());
    std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
    cpuMs = (LinkThreadCpuMs(engine.link()) - before) / kSeconds;
  }
  if (recording && engine.link().recorder->videoRecording != 1) state.SkipWithError("not recording");
  engine.Post(CmdStopRecording);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  RemoveRecording(base);
  state.counters["link_cpu_ms_per_s"] = cpuMs;
  state.SetLabel(recording ? "recording" : "not recording");
}
BENCHMARK(BM_LinkThreadCpuPerSecond)->Arg(0)->Arg(1)->ArgNames({"recording"})->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
