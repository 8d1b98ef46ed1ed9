// Camera link throughput: a recorded camera stream (the reference pictures
// as 30 fps video frames, with 30 ms audio frames beside them) cut out of
// the receive rings by ParseMessage and handled; and the link thread's CPU
// time per second of a live 30 fps stream from the camera simulator.
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>
#include <vector>

#include "engine/net_manage.h"
#include "engine/wire_protocol.h"
#include "platform/message_queue.h"
#include "tools/camsim/camsim.h"
#include "tools/velmora-engine/engine_host.h"

namespace {

const std::string kFrames = std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/ts_q5.frames";

void AppendMessage(std::vector<uint8_t>& out, uint8_t subtype, uint8_t b2, uint8_t b3, const uint8_t* payload,
                   size_t n, uint8_t b6, uint8_t b7, uint32_t stamp) {
  uint8_t h[12] = {0x01, subtype, b2, b3, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n), b6, b7};
  wire::WriteLe32(h + 8, stamp);
  out.insert(out.end(), h, h + 12);
  out.insert(out.end(), payload, payload + n);
}

struct RecordedStream {
  std::vector<uint8_t> video, audio;
  size_t videoMessages = 0, audioMessages = 0;
};

// The pictures of the reference stream as the camera sends them, and the
// audio frames that go with 10 s of them.
const RecordedStream& Recorded() {
  static RecordedStream s = [] {
    RecordedStream r;
    std::ifstream in(kFrames, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = 0;
    uint32_t index = 0;
    while (at + 4 <= file.size()) {
      const uint32_t n = wire::ReadLe32(&file[at]);
      at += 4;
      if (n > wire::kMaxPayload || at + n > file.size()) break;
      const uint8_t type = index % 30 == 0 ? 2 : 1;
      AppendMessage(r.video, 0x01, static_cast<uint8_t>((type << 6) | 1), 0, &file[at], n, 0x1D, 0xDE, index * 3);
      at += n;
      ++index;
      ++r.videoMessages;
    }
    std::vector<uint8_t> adpcm(120, 0x17);
    for (uint32_t i = 0; i < index * 10 / 9; ++i) {
      AppendMessage(r.audio, 0x02, 0, 20, adpcm.data(), adpcm.size(), 0x10, 0x00, i);
      ++r.audioMessages;
    }
    return r;
  }();
  return s;
}

struct NullAudio : AudioPeer {
  void ResetAudio() override { codedAudioRing.ClearBytes(); }
  void SetAdpcmStartState(int16_t, uint8_t) override {}
};

// Puts the stream into the ring in socket-read sized pieces and parses
// after each, as the link thread does with its read handler.
void FeedAndParse(CNetManage& link, CManage1DBUF& ring, const std::vector<uint8_t>& stream, VideoPeer& video,
                  NullAudio& audio) {
  constexpr size_t kRead = 16384;
  for (size_t at = 0; at < stream.size(); at += kRead) {
    const size_t n = std::min(kRead, stream.size() - at);
    ring.PutBytes(&stream[at], static_cast<uint32_t>(n));
    while (link.ParseOne(ring) == ParseResult::Handled) {
    }
    while (video.frameQueue->FrameCount() > 0) video.frameQueue->DropFrame();
    if (audio.codedAudioRing.Count() > 200000) audio.codedAudioRing.ClearBytes();
  }
}

void BM_ParseRecordedStream(benchmark::State& state) {
  const RecordedStream& s = Recorded();
  if (s.videoMessages == 0) {
    state.SkipWithError(("cannot read " + kFrames).c_str());
    return;
  }
  VideoPeer video;
  NullAudio audio;
  platform::ClientSocket vs, as;
  CNetManage link(nullptr, 0);
  link.video = &video;
  link.audio = &audio;
  link.vidSock = &vs;
  link.audSock = &as;
  for (auto _ : state) {
    FeedAndParse(link, link.vidRing, s.video, video, audio);
    FeedAndParse(link, link.audRing, s.audio, video, audio);
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(iterations * static_cast<double>(s.video.size() + s.audio.size())));
  state.counters["messages/s"] = benchmark::Counter(
      iterations * static_cast<double>(s.videoMessages + s.audioMessages), benchmark::Counter::kIsRate);
  state.counters["frames_handled"] = link.framesThisSecond / iterations;  // per pass over the stream
}
BENCHMARK(BM_ParseRecordedStream)->Unit(benchmark::kMillisecond);

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

// CPU time of the link thread per second of a live 30 fps camera stream with
// audio, measured on the link thread itself.
void BM_LinkThreadCpuPerSecond(benchmark::State& state) {
  camsim::SimConfig config;
  config.video.framesPath = kFrames;
  camsim::CameraSimulator camera(config);
  if (!camera.Start()) {
    state.SkipWithError(camera.error().c_str());
    return;
  }
  host::HostOptions options;
  options.port = camera.port();
  options.startDelayMs = 0;
  host::EngineHost engine(options, [](const std::string&) {});
  engine.Start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (engine.link().videoState != 100 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  constexpr int kSeconds = 3;
  double cpuMs = 0;
  uint64_t frames = 0;
  for (auto _ : state) {
    const double before = LinkThreadCpuMs(engine.link());
    const uint64_t shownBefore = engine.Stats().framesShown;
    std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
    cpuMs = (LinkThreadCpuMs(engine.link()) - before) / kSeconds;
    frames = (engine.Stats().framesShown - shownBefore) / kSeconds;
  }
  state.counters["link_cpu_ms_per_s"] = cpuMs;
  state.counters["frames_per_s"] = static_cast<double>(frames);
}
BENCHMARK(BM_LinkThreadCpuPerSecond)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
