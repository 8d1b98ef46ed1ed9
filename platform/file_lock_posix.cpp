#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file_lock.h"

namespace platform {
namespace {

// Creates dir (0700) if missing; accepts it only as a real directory of ours,
// so another user cannot plant the locks of this one.
bool EnsureOwnDirectory(const std::string& dir) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

int OpenLockFile(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int Flock(int fd, int op) {
  int r;
  do {
    r = flock(fd, op);
  } while (r != 0 && errno == EINTR);
  return r;
}

}  // namespace

std::string RuntimeDirectory() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  std::string dir;
  if (xdg != nullptr && xdg[0] != '\0') {
    dir = std::string(xdg) + "/velmora";
  } else {
    dir = "/tmp/velmora-" + std::to_string(getuid());
  }
  if (!EnsureOwnDirectory(dir)) return {};
  return dir + "/";
}

std::string VelmoraNamespace() {
  const char* ns = std::getenv("VELMORA_NS");
  return ns != nullptr ? std::string(ns) : std::string();
}

std::unique_ptr<FileLock> FileLock::TryAcquire(const std::string& path, bool* busy) {
  if (busy) *busy = false;
  const int fd = OpenLockFile(path);
  if (fd < 0) return nullptr;
  if (Flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (busy) *busy = errno == EWOULDBLOCK;
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<FileLock>(new FileLock(path, fd));
}

std::unique_ptr<FileLock> FileLock::Acquire(const std::string& path) {
  const int fd = OpenLockFile(path);
  if (fd < 0) return nullptr;
  if (Flock(fd, LOCK_EX) != 0) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<FileLock>(new FileLock(path, fd));
}

std::unique_ptr<FileLock> FileLock::CreateUnique(const std::string& pathPrefix) {
  static std::atomic<unsigned> serial{0};
  const std::string path = pathPrefix + std::to_string(getpid()) + "." + std::to_string(serial.fetch_add(1));
  return TryAcquire(path);
}

FileLock::~FileLock() {
  if (fd_ >= 0) close(fd_);
}

void FileLock::RemoveAndRelease() {
  if (fd_ < 0) return;
  unlink(path_.c_str());
  close(fd_);
  fd_ = -1;
}

int CountHeldLockFiles(const std::string& dir, const std::string& prefix) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) names.emplace_back(e->d_name);
  }
  closedir(d);
  int held = 0;
  for (const auto& name : names) {
    const std::string path = dir + (dir.empty() || dir.back() == '/' ? "" : "/") + name;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (Flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ++held;
    } else {
      unlink(path.c_str());  // its holder is gone
    }
    close(fd);
  }
  return held;
}

}  // namespace platform
