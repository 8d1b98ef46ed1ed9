// ostrane: the talk-audio capture server. No arguments but -h and --help;
// environment only:
//   VELMORA_NS        namespace of the shared area and the instance lock
//   OSTRANE_CAPTURE   capture source (see platform/capture.h)
//   OSTRANE_TICK_MS   timer interval, 1000 by default
//   DISPLAY           status window on X11, else a status line on stderr
// One instance per namespace: a second one exits 0 at once, silently.
// SIGTERM, SIGINT and SIGHUP close it as the watchdog does; exit status 0.
// Exit status 1 with one stderr line when the shared area cannot be had.
// Any argument, -h and --help aside, is usage on stderr and exit status 2.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/file_lock.h"
#include "talkserver/ostrane.h"

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void OnSignal(int) { stopSignal = 1; }

constexpr uint32_t kLoopMs = 5;

// On stdout with exit 0 when asked for (--help), else on stderr with 2.
int Usage(bool asked = false) {
  std::fprintf(asked ? stdout : stderr,
               "usage: ostrane\n"
               "  takes no arguments; its environment sets it up:\n"
               "  VELMORA_NS        namespace of the shared talk area and the instance lock\n"
               "  OSTRANE_CAPTURE   alsa[:DEV] (default), test:sine:HZ, test:silence, file:PATH or none\n"
               "  OSTRANE_TICK_MS   timer interval, 1000 by default\n"
               "  DISPLAY           status window on X11, else a status line on stderr\n");
  return asked ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Before the lock: a mistyped start must not take this namespace's server.
  if (argc > 1) return Usage(std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
  const std::string dir = platform::RuntimeDirectory();
  if (dir.empty()) {
    std::fprintf(stderr, "ostrane: no runtime directory for the instance lock\n");
    return 1;
  }
  bool busy = false;
  auto instance = platform::FileLock::TryAcquire(dir + platform::VelmoraNamespace() + "MyProgram.lock", &busy);
  if (!instance) {
    if (busy) return 0;  // another instance runs
    std::fprintf(stderr, "ostrane: cannot open the instance lock in %s\n", dir.c_str());
    return 1;
  }
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGHUP, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);

  TOstrane::Options options;
  options.tickMs = TickIntervalFromEnvironment();
  TOstrane form(std::move(options));
  std::string error;
  if (!form.FormCreate(&error)) {
    std::fprintf(stderr, "ostrane: %s\n", error.c_str());
    return 1;
  }
  uint32_t next = platform::GetTickCount() + form.Timer1.interval;
  while (stopSignal == 0 && !form.closeRequested()) {
    form.ProcessEvents();
    const uint32_t now = platform::GetTickCount();
    if (int32_t(now - next) >= 0) {
      // A late loop fires once and starts counting again from now.
      next = int32_t(now - next) >= int32_t(form.Timer1.interval) ? now + form.Timer1.interval
                                                                   : next + form.Timer1.interval;
      form.Timer1Timer();
      continue;
    }
    platform::RealSleep(std::min<uint32_t>(kLoopMs, next - now));
  }
  form.FormClose();
  return 0;
}
