#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/files.h"
#include "platform/module.h"

namespace platform {
namespace {

std::atomic<unsigned> tempCounter{0};
const char anchor = 0;  // an address inside whatever this code was linked into

bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += w;
    n -= size_t(w);
  }
  return true;
}

bool CopyContents(int in, int out) {
  char buffer[65536];
  for (;;) {
    const ssize_t r = read(in, buffer, sizeof buffer);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return true;
    if (!WriteAll(out, buffer, size_t(r))) return false;
  }
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool CopyFileReplacing(const std::string& src, const std::string& dst) {
  const int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st {};
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    return false;
  }
  const std::string temp = dst + ".tmp." + std::to_string(getpid()) + "." + std::to_string(tempCounter.fetch_add(1));
  const int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = CopyContents(in, out);
  ok = (fchmod(out, st.st_mode & 0777) == 0) && ok;
  ok = (close(out) == 0) && ok;
  close(in);
  if (ok) ok = rename(temp.c_str(), dst.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::string SystemDirectory() {
  if (const char* dir = std::getenv("VELMORA_SYSTEM_DIR"); dir && *dir) return dir;
  const std::string self = ModulePathOf(&anchor);
  if (self.empty()) return ".";
  const std::string dir = DirectoryOf(self);
  const std::string parent = DirectoryOf(dir);
  const bool inBin = dir.size() >= 4 && dir.compare(dir.size() - 4, 4, "/bin") == 0;
  if (inBin && IsDirectory(parent + "/lib")) return parent + "/lib";
  return dir;
}

}  // namespace platform
