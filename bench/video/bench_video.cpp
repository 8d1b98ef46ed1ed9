// Video channel cost on this machine, headless, with the real decoder:
//  1. CPU time per second of one 320x240 30 fps view (decode, blit, pacing);
//  2. how many such views one process holds: no picture dropped, every view
//     showing at least 29.5 pictures per second, and no view's queue beyond
//     the pre-buffer plus half a second; and the CPU per view there.
// A feeder thread plays the link's part, queueing ts_q5 at the camera's
// pace into every view. Usage: bench_video [--seconds N] [--max-views N];
// trials much shorter than the default 10 s judge rates too coarsely.
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
// How far a view may fall behind and still be holding: half a second more.
constexpr int64_t kMostQueuedHeld = kPreBufferFrames + 15;
constexpr double kLeastRateHeld = 29.5;

struct Trial {
  int views = 0;
  double cpuMsPerSecond = 0;  // whole process, per wall-clock second
  double meanViewRate = 0;    // pictures shown per second while playing
  double slowestViewRate = 0;
  bool feederOnTime = true;   // the frames went out at 30 per second
  int64_t offered = 0, decoded = 0, queued = 0;
  int64_t mostQueued = 0;     // the longest queue any view had at any push
  int viewsDropping = 0, viewsSlow = 0, viewsOverQueued = 0;
  int viewsWithoutDecoder = 0;  // beyond kSlots, or the library failed to load
  int64_t Dropped() const { return offered - decoded - queued; }
  bool Held() const { return feederOnTime && viewsDropping == 0 && viewsSlow == 0 && viewsOverQueued == 0; }
};

// Per view, what the feeder saw: the first push after its first picture
// showed, and the last push.
struct ViewWatch {
  int64_t mostQueued = 0;
  int32_t firstShown = 0, lastShown = 0;
  double firstAt = -1, lastAt = 0;
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
  t.views = views;
  std::vector<ViewWatch> watch(static_cast<size_t>(views));
  const int frames = int(seconds * 30);
  std::vector<uint8_t> frame;
  const double cpu0 = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < frames; ++k) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t(k) * 1000000 / 30));
    frame = stream[size_t(k) % stream.size()];
    const uint32_t ts = uint32_t(k);
    std::memcpy(frame.data() + 8, &ts, 4);
    const double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (size_t v = 0; v < channels.size(); ++v) {
      CVideoMPEG4& c = *channels[v];
      ViewWatch& w = watch[v];
      c.frameQueue->PushFrame(frame.data(), int32_t(frame.size()), 0);  // a refused push counts as a drop
      c.newestTimestamp = ts;
      w.mostQueued = std::max<int64_t>(w.mostQueued, c.frameQueue->FrameCount());
      const int32_t shown = c.framesDecoded;
      if (shown > 0 && w.firstAt < 0) {
        w.firstShown = shown;
        w.firstAt = now;
      }
      w.lastShown = shown;
      w.lastAt = now;
    }
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.cpuMsPerSecond = (CpuSeconds() - cpu0) * 1000.0 / wall;
  t.feederOnTime = wall < seconds + 0.2;
  t.slowestViewRate = views > 0 ? 1e9 : 0;
  for (size_t v = 0; v < channels.size(); ++v) {
    const ViewWatch& w = watch[v];
    const int64_t decoded = channels[v]->framesDecoded, queued = channels[v]->frameQueue->FrameCount();
    // Over the span the feeder watched it play; a view that never played
    // shows nothing.
    const double span = w.lastAt - w.firstAt;
    const double rate = w.firstAt >= 0 && span > 0 ? (w.lastShown - w.firstShown) / span : 0;
    t.offered += frames;
    t.decoded += decoded;
    t.queued += queued;
    t.mostQueued = std::max(t.mostQueued, w.mostQueued);
    t.viewsDropping += frames != decoded + queued;
    t.viewsSlow += rate < kLeastRateHeld;
    t.viewsOverQueued += w.mostQueued > kMostQueuedHeld;
    t.viewsWithoutDecoder += channels[v]->decoderFrame == nullptr;
    t.slowestViewRate = std::min(t.slowestViewRate, rate);
    t.meanViewRate += rate / views;
  }
  channels.clear();
  return t;
}

void Report(const Trial& t) {
  std::printf("  %4d views: %s; %lld dropped (%d views), longest queue %lld (held to %lld; %d views beyond), "
              "%.2f pictures per view-second while playing (slowest %.2f; %d views under %.1f), "
              "%.0f ms CPU per second%s%s\n",
              t.views, t.Held() ? "held" : "not held", static_cast<long long>(t.Dropped()), t.viewsDropping,
              static_cast<long long>(t.mostQueued), static_cast<long long>(kMostQueuedHeld), t.viewsOverQueued,
              t.meanViewRate, t.slowestViewRate, t.viewsSlow, kLeastRateHeld, t.cpuMsPerSecond,
              t.feederOnTime ? "" : ", camera feed fell behind",
              t.viewsWithoutDecoder ? (", " + std::to_string(t.viewsWithoutDecoder) + " views without a decoder").c_str()
                                    : "");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;  // long enough that one picture more or less moves a rate by little
  // Beyond kSlots (1000) a view gets no decoder copy and shows nothing.
  int maxViews = 1024;
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
  // A view that could not load its decoder is counted in the trial's line.
  platform::SetMessageBoxSink([](const std::string& text, const std::string& title) {
    if (text != "Fail to LoadLibrary()") std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
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

  // Doubling, then bisection, on the held count.
  Trial good, bad;
  for (int v = 1;; v = std::min(2 * v, maxViews)) {
    const Trial t = RunViews(v, seconds, stream);
    Report(t);
    (t.Held() ? good : bad) = t;
    if (!t.Held() || v >= maxViews) break;
  }
  while (bad.views && bad.views - good.views > std::max(1, good.views / 16)) {
    const Trial t = RunViews((good.views + bad.views) / 2, seconds, stream);
    Report(t);
    (t.Held() ? good : bad) = t;
  }
  std::printf("views held (no picture dropped, every view at least %.1f pictures per second, no queue beyond %lld): "
              "%d%s (%u cores)\n",
              kLeastRateHeld, static_cast<long long>(kMostQueuedHeld), good.views, bad.views ? "" : " (the limit tried)",
              std::thread::hardware_concurrency());
  if (good.views)
    std::printf("CPU per view at %d views: %.2f ms per second (%.2f%% of a core)\n", good.views,
                (good.cpuMsPerSecond - idleCpu) / good.views, (good.cpuMsPerSecond - idleCpu) / good.views / 10.0);
  std::filesystem::remove_all(dir);
  return 0;
}
