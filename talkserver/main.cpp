// ostrane: the talk-audio capture server. No command line; environment only:
//   VELMORA_NS        namespace of the shared area and the instance lock
//   OSTRANE_CAPTURE   capture source (see platform/capture.h)
//   OSTRANE_TICK_MS   timer interval, 1000 by default
//   DISPLAY           status window on X11, else a status line on stderr
// One instance per namespace: a second one exits 0 at once, silently.
// SIGTERM, SIGINT and SIGHUP close it as the watchdog does; exit status 0.
// Exit status 1 with one stderr line when the shared area cannot be had.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/file_lock.h"
#include "talkserver/ostrane.h"

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void OnSignal(int) { stopSignal = 1; }

constexpr uint32_t kLoopMs = 5;

}  // namespace

int main() {
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
