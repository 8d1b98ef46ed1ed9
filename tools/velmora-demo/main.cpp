// velmora-demo [--seconds N] [--trace] [--count]: starts a simulated camera on
// a free loopback port (video and audio) and watches it: the picture in a
// window (X11 when DISPLAY is set), the sound on the default device, every
// numbered message and one line of statistics per second. --count only counts
// the frames and audio bytes instead of showing and playing them.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tools/camsim/camsim.h"
#include "tools/velmora-engine/engine_host.h"

namespace {

std::atomic<bool> stopRequested{false};
void OnSignal(int) { stopRequested = true; }

void PrintLine(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::string Level(int32_t level) {
  switch (level) {
    case 0x20: return "admin";
    case 0x30: return "user";
    case 0x10: return "none";
    default: return std::to_string(level);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  host::HostOptions options;
  options.media = true;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (a == "--trace") {
      options.trace = true;
    } else if (a == "--count") {
      options.media = false;
    } else {
      std::fprintf(stderr, "usage: velmora-demo [--seconds N] [--trace] [--count]\n");
      return 2;
    }
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);

  camsim::SimConfig config;
  config.port = 0;
  const std::string frames = std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/ts_q5.frames";
  if (::access(frames.c_str(), R_OK) == 0) config.video.framesPath = frames;
  config.audio.kind = camsim::AudioKind::Tone;
  camsim::CameraSimulator camera(config);
  if (!camera.Start()) {
    std::fprintf(stderr, "velmora-demo: camera simulator: %s\n", camera.error().c_str());
    return 1;
  }
  PrintLine("# camera simulator on 127.0.0.1:" + std::to_string(camera.port()) + " (audio), " +
            std::to_string(camera.videoPort()) + " (video); video " +
            (config.video.framesPath.empty() ? "synthetic" : "ts_q5.frames") + ", audio tone");
  options.host = "127.0.0.1";
  options.port = camera.port();
  {
    host::EngineHost engine(options, PrintLine);
    engine.Start();
    const auto start = std::chrono::steady_clock::now();
    for (int second = 1; second <= seconds && !stopRequested; ++second) {
      const auto tick = start + std::chrono::seconds(second);
      while (!stopRequested && std::chrono::steady_clock::now() < tick)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (stopRequested) break;
      engine.Tick();
      const host::HostStats s = engine.Stats();
      char line[256];
      std::snprintf(line, sizeof(line),
                    "# %2ds frames/s=%d video=%dkbit/s audio=%dkbit/s decoded=%llu coded-audio=%lluB "
                    "states=%d/%d login=%s",
                    second, s.frmrate, s.avbitrate, s.audbitrate, static_cast<unsigned long long>(s.framesShown),
                    static_cast<unsigned long long>(s.audioBytes), s.videoState, s.audioState,
                    Level(s.loginLevel).c_str());
      PrintLine(line);
    }
  }
  camera.Stop();
  return 0;
}
