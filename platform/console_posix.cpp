#include "platform/console.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>

namespace platform {
namespace {

std::mutex consoleMutex;
int consoleFd = -1;  // guarded by consoleMutex

// One write with SIGPIPE held back on this thread, and any SIGPIPE it raised
// taken before the mask is restored.
ssize_t WriteNoSigpipe(int fd, const char* data, size_t n) {
  sigset_t pipeSet, old;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
  const ssize_t written = write(fd, data, n);
  const int err = errno;
  if (written < 0 && err == EPIPE && !alreadyPending) {
    const timespec zero{0, 0};
    sigtimedwait(&pipeSet, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return written;
}

}  // namespace

bool OpenDebugConsole() {
  std::lock_guard<std::mutex> lock(consoleMutex);
  if (consoleFd >= 0) return true;
  const char* path = getenv("VELMORA_CONSOLE");
  int fd;
  if (path && *path)
    fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
  else
    fd = open("/proc/self/fd/2", O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  consoleFd = fd;
  return fd >= 0;
}

void CloseDebugConsole() {
  std::lock_guard<std::mutex> lock(consoleMutex);
  if (consoleFd >= 0) close(consoleFd);
  consoleFd = -1;
}

bool DebugConsoleIsOpen() {
  std::lock_guard<std::mutex> lock(consoleMutex);
  return consoleFd >= 0;
}

void SetDebugConsoleTitle(std::string_view title) {
  std::lock_guard<std::mutex> lock(consoleMutex);
  if (consoleFd < 0 || !isatty(consoleFd)) return;
  std::string sequence = "\033]0;";
  sequence.append(title);
  sequence += '\007';
  WriteNoSigpipe(consoleFd, sequence.data(), sequence.size());
}

bool WriteDebugConsole(std::string_view line) {
  std::lock_guard<std::mutex> lock(consoleMutex);
  if (consoleFd < 0) return false;
  const ssize_t written = WriteNoSigpipe(consoleFd, line.data(), line.size());
  if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    close(consoleFd);
    consoleFd = -1;
  }
  return written == static_cast<ssize_t>(line.size());
}

}  // namespace platform
