// Video channel cost on this machine, headless, with the real decoder:
//  1. CPU time per second of one 320x240 30 fps view (decode, blit, pacing);
//  2. how many such views one process sustains: every view shows every
//     frame at the camera's rate and its queue never holds more than the
//     pre-buffer.
// A feeder thread plays the link's part, queueing ts_q5 at the camera's
// pace into every view. Usage: bench_video [--seconds N] [--max-views N]
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/video_channel.h"
#include "platform/draw_headless.h"
#include "platform/files.h"
#include "platform/message_box.h"

namespace {

std::vector<std::vector<uint8_t>> LoadStream(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::vector<uint8_t>> frames;
  for (;;) {
    uint8_t len[4];
    if (!in.read(reinterpret_cast<char*>(len), 4)) break;
    const uint32_t n = uint32_t(len[0]) | uint32_t(len[1]) << 8 | uint32_t(len[2]) << 16 | uint32_t(len[3]) << 24;
    if (n < 9 || n > 60000) break;
    std::vector<uint8_t> m(12 + n, 0);
    if (!in.read(reinterpret_cast<char*>(m.data() + 12), n)) break;
    m[2] = uint8_t((m[12 + 8] >> 6) == 0 ? 2 << 6 : 1 << 6);  // I: key, P: droppable
    m[4] = uint8_t(n >> 8);
    m[5] = uint8_t(n);
    m[6] = 0x1D;
    m[7] = 0xDE;
    frames.push_back(std::move(m));
  }
  return frames;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The default 500 ms pre-buffer at 30 frames per second: playing starts
// with the 16th or 17th queued picture.
constexpr int64_t kPreBufferFrames = 17;

struct Trial {
  double cpuMsPerSecond = 0;  // whole process, per wall-clock second
  double shownPerViewSecond = 0;
  double slowestViewPerSecond = 0;  // pictures shown per second by the slowest view
  bool feederOnTime = true;  // the frames went out at 30 per second
  int64_t pushed = 0, decoded = 0, queued = 0;
  int64_t mostQueued = 0;  // the longest queue any view had at any push
  int viewsBehind = 0;     // views that dropped a frame or queued beyond the pre-buffer
  int64_t Dropped() const { return pushed - decoded - queued; }
  // Held only when every view kept the camera's pace on its own.
  bool Sustained() const { return feederOnTime && viewsBehind == 0; }
};

Trial RunViews(int views, double seconds, const std::vector<std::vector<uint8_t>>& stream) {
  std::vector<std::unique_ptr<platform::HeadlessWindow>> windows;
  std::vector<std::unique_ptr<CVideoMPEG4>> channels;
  for (int v = 0; v < views; ++v) {
    windows.push_back(platform::CreateHeadlessWindow(320, 240));
    channels.push_back(std::make_unique<CVideoMPEG4>(windows.back().get()));
    channels.back()->frameRate = 30;  // what the form's timer reports for this camera
    channels.back()->StartVideoThread();
  }
  Trial t;
  std::vector<int64_t> mostQueued(size_t(views), 0), pushed(size_t(views), 0);
  const int frames = int(seconds * 30);
  std::vector<uint8_t> frame;
  const double cpu0 = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < frames; ++k) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t(k) * 1000000 / 30));
    frame = stream[size_t(k) % stream.size()];
    const uint32_t ts = uint32_t(k);
    std::memcpy(frame.data() + 8, &ts, 4);
    for (size_t v = 0; v < channels.size(); ++v) {
      CVideoMPEG4& c = *channels[v];
      if (c.frameQueue->PushFrame(frame.data(), int32_t(frame.size()), 0)) ++pushed[v];
      c.newestTimestamp = ts;
      mostQueued[v] = std::max<int64_t>(mostQueued[v], c.frameQueue->FrameCount());
    }
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.cpuMsPerSecond = (CpuSeconds() - cpu0) * 1000.0 / wall;
  t.feederOnTime = wall < seconds + 0.2;
  t.slowestViewPerSecond = views > 0 ? 1e9 : 0;
  // Shown while playing: the first pre-buffer of pictures waits before any shows.
  const double playing = std::max(wall - double(kPreBufferFrames) / 30, 1e-3);
  for (size_t v = 0; v < channels.size(); ++v) {
    const int64_t decoded = channels[v]->framesDecoded, queued = channels[v]->frameQueue->FrameCount();
    t.pushed += pushed[v];
    t.decoded += decoded;
    t.queued += queued;
    t.mostQueued = std::max(t.mostQueued, mostQueued[v]);
    if (pushed[v] != decoded + queued || mostQueued[v] > kPreBufferFrames) ++t.viewsBehind;
    t.slowestViewPerSecond = std::min(t.slowestViewPerSecond, double(decoded) / playing);
  }
  if (views > 0) t.shownPerViewSecond = double(t.decoded) / views / playing;
  channels.clear();
  return t;
}

void Report(int views, const Trial& t) {
  std::printf("  %4d views: %d behind, %lld dropped, longest queue %lld (pre-buffer %lld), %.1f pictures shown per "
              "view-second while playing (slowest %.1f), %.0f ms CPU per second%s\n",
              views, t.viewsBehind, static_cast<long long>(t.Dropped()), static_cast<long long>(t.mostQueued),
              static_cast<long long>(kPreBufferFrames), t.shownPerViewSecond, t.slowestViewPerSecond,
              t.cpuMsPerSecond, t.feederOnTime ? "" : ", camera feed fell behind");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 6;
  int maxViews = CVideoMPEG4::kSlots;  // beyond this a view has no decoder copy
  for (int i = 1; i + 1 < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
    if (!std::strcmp(argv[i], "--max-views")) maxViews = std::atoi(argv[i + 1]);
  }
  const std::string library = std::string(VELMORA_LIB_DIR) + "/libquenda.so";
  if (!platform::FileExists(library)) {
    std::printf("bench_video: %s not built; nothing measured\n", library.c_str());
    return 0;
  }
  char pattern[] = "/tmp/velmora-bench-video-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  std::filesystem::copy_file(library, dir + "/libquenda.so");
  setenv("VELMORA_SYSTEM_DIR", dir.c_str(), 1);
  platform::SetMessageBoxSink([](const std::string& text, const std::string& title) {
    std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
  });
  const auto stream = LoadStream(std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/ts_q5.frames");
  if (stream.empty()) {
    std::printf("bench_video: reference stream missing\n");
    return 1;
  }

  const double idleCpu = RunViews(0, 2, stream).cpuMsPerSecond;
  const Trial one = RunViews(1, seconds * 2, stream);
  std::printf("one 320x240 30 fps view (ts_q5, headless): %.2f ms CPU per second (%.2f%% of a core; feeder alone %.2f ms), "
              "%lld frames shown, %lld dropped\n",
              one.cpuMsPerSecond - idleCpu, (one.cpuMsPerSecond - idleCpu) / 10.0, idleCpu,
              static_cast<long long>(one.decoded), static_cast<long long>(one.Dropped()));

  // Doubling, then bisection, on "no frame dropped".
  int good = 0, bad = 0;
  for (int v = 1;; v = std::min(2 * v, maxViews)) {
    const Trial t = RunViews(v, seconds, stream);
    Report(v, t);
    if (!t.Sustained()) {
      bad = v;
      break;
    }
    good = v;
    if (v >= maxViews) break;
  }
  while (bad && bad - good > std::max(1, good / 16)) {
    const int v = (good + bad) / 2;
    const Trial t = RunViews(v, seconds, stream);
    Report(v, t);
    (t.Sustained() ? good : bad) = v;
  }
  std::printf("views sustained (every view at the camera's rate, queue within the pre-buffer): %d%s (%u cores)\n", good, bad ? "" : " (the limit tried)",
              std::thread::hardware_concurrency());
  std::filesystem::remove_all(dir);
  return 0;
}
