// velmora-engine HOST PORT USER PASSWORD [--seconds N] [--trace] [--media]
//                [--record NAME] [--prerecord MS] [--shared-area]
// Connects the camera link to a camera server and prints every numbered
// message as "NUM TEXT". With --shared-area the talk audio comes from the
// machine's shared talk area (a running ostrane fills it), joined as a
// viewer. With --media the picture is shown in a window and the sound
// played, and closing the window is "quit" too; otherwise frames and audio
// bytes are only counted. Lines on stdin: a command code 1-17 (14 starts a
// recording, 15 stops it), "sio PORT TEXT", "sioget PORT", "gpio VALUE",
// "talk on|off", "quit". Ends on Ctrl-C or after N seconds. The pre-record
// span is clamped to 0..25000 ms as the control clamps it: the pre-record
// queues hold no more.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "platform/message_queue.h"
#include "tools/velmora-engine/engine_host.h"
#include "tools/common/line_reader.h"

namespace {

std::atomic<bool> stopRequested{false};

void OnSignal(int) { stopRequested = true; }

// On stdout with exit 0 when asked for (--help), else on stderr with 2.
int Usage(bool asked = false) {
  std::fprintf(asked ? stdout : stderr,
               "usage: velmora-engine HOST PORT USER PASSWORD [--seconds N] [--trace] [--media]\n"
               "                     [--record NAME] [--prerecord MS] [--shared-area]\n"
               "  --prerecord MS is kept within 0..%d ms, as the control keeps its prerecord\n",
               static_cast<int>(CNetManage::kMaxPrerecordMs));
  return asked ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  host::HostOptions options;
  int seconds = 0;
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (a == "--record" && i + 1 < argc) {
      options.recordName = argv[++i];
    } else if (a == "--prerecord" && i + 1 < argc) {
      options.prerecord = std::atoi(argv[++i]);
    } else if (a == "--trace") {
      options.trace = true;
    } else if (a == "--media") {
      options.media = true;
    } else if (a == "--shared-area") {
      options.sharedArea = true;
    } else if (a == "--help" || a == "-h") {
      return Usage(true);
    } else if (a.rfind("--", 0) == 0) {
      return Usage();
    } else {
      switch (positional++) {
        case 0: options.host = a; break;
        case 1: options.port = std::atoi(a.c_str()); break;
        case 2: options.user = a; break;
        case 3: options.password = a; break;
        default: return Usage();
      }
    }
  }
  if (positional != 4) return Usage();

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);
  int exitCode = 0;
  {
    host::EngineHost engine(options, [](const std::string& line) {
      std::fputs((line + "\n").c_str(), stdout);
      std::fflush(stdout);
    });
    engine.Start();
    const auto start = std::chrono::steady_clock::now();
    auto nextTick = start + std::chrono::seconds(1);
    cli::LineReader input(cli::ReadStandardInput);
    while (!stopRequested) {
      const auto now = std::chrono::steady_clock::now();
      if (seconds > 0 && now - start >= std::chrono::seconds(seconds)) break;
      // The window's events come only through the pump of the thread that made it.
      platform::PumpMessages();
      if (engine.CloseRequested()) break;
      if (engine.WindowGone()) {
        std::fprintf(stderr, "velmora-engine: the window was destroyed from outside; ending\n");
        exitCode = 1;
        break;
      }
      if (now >= nextTick) {
        engine.Tick();
        nextTick += std::chrono::seconds(1);
      }
      const cli::LineReader::Result turn = input.Turn();
      for (const std::string& line : turn.lines) {
        if (stopRequested) break;
        if (line.empty()) continue;
        if (line == "quit") stopRequested = true;
        else if (!engine.Command(line)) std::fprintf(stderr, "unknown command: %s\n", line.c_str());
      }
      if (turn.overlong)
        std::fprintf(stderr, "%zu input line(s) longer than %zu bytes skipped\n", turn.overlong,
                     cli::LineReader::kMaxLine);
      ::usleep(10000);
    }
  }
  return exitCode;
}
