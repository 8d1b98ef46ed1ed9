#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

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

bool SameContents(const std::string& a, const std::string& b) {
  const int fa = open(a.c_str(), O_RDONLY | O_CLOEXEC);
  const int fb = fa < 0 ? -1 : open(b.c_str(), O_RDONLY | O_CLOEXEC);
  bool same = fa >= 0 && fb >= 0;
  struct stat sa {}, sb {};
  if (same) same = fstat(fa, &sa) == 0 && fstat(fb, &sb) == 0 && S_ISREG(sa.st_mode) && S_ISREG(sb.st_mode) &&
                   sa.st_size == sb.st_size;
  std::vector<char> ba(65536), bb(65536);
  while (same) {
    const ssize_t ra = read(fa, ba.data(), ba.size());
    if (ra < 0 && errno == EINTR) continue;
    if (ra <= 0) {
      same = ra == 0;
      break;
    }
    size_t got = 0;
    while (got < size_t(ra)) {
      const ssize_t rb = read(fb, bb.data() + got, size_t(ra) - got);
      if (rb < 0 && errno == EINTR) continue;
      if (rb <= 0) break;
      got += size_t(rb);
    }
    same = got == size_t(ra) && std::equal(ba.begin(), ba.begin() + ra, bb.begin());
  }
  if (fa >= 0) close(fa);
  if (fb >= 0) close(fb);
  return same;
}

std::string UserCacheDirectory() {
  std::string base;
  if (const char* x = std::getenv("XDG_CACHE_HOME"); x && *x) {
    base = x;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.cache";
  } else {
    return "";
  }
  const std::string dir = base + "/velmora";
  // Each missing level in turn; one that exists already is fine.
  for (size_t at = 1; at <= dir.size(); ++at) {
    if (at != dir.size() && dir[at] != '/') continue;
    const std::string part = dir.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return "";
  }
  return IsDirectory(dir) ? dir : "";
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

namespace {

std::string ErrorText(int error) { return std::strerror(error); }

std::string DrivesDirectory() {
  if (const char* d = std::getenv("VELMORA_DRIVES"); d && *d) return d;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) return std::string(x) + "/velmora/drives";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/share/velmora/drives";
}

// mkdir -p; an existing directory is fine.
bool MakeDirectories(const std::string& path, std::string* reason) {
  std::string partial;
  size_t at = 0;
  while (at <= path.size()) {
    const size_t slash = path.find('/', at);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    partial = path.substr(0, end);
    at = end + 1;
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
      *reason = "cannot make " + partial + ": " + ErrorText(errno);
      return false;
    }
    if (slash == std::string::npos) break;
  }
  if (!IsDirectory(path)) {
    *reason = path + " is not a directory";
    return false;
  }
  return true;
}

std::mutex seamMutex;
int64_t seamBudget = -1;
bool seamShorten = false;

// How many of n bytes the seam lets through (n when it is off).
size_t SeamAllows(size_t n) {
  std::lock_guard<std::mutex> lock(seamMutex);
  if (seamBudget < 0) return n;
  const size_t allowed = seamShorten ? std::min<size_t>(n, static_cast<size_t>(seamBudget))
                                     : (static_cast<size_t>(seamBudget) >= n ? n : 0);
  seamBudget -= static_cast<int64_t>(allowed);
  if (allowed < n) seamBudget = 0;
  return allowed;
}

}  // namespace

bool LocalPath(const std::string& fullName, std::string* path, std::string* reason) {
  // The name ends at its first NUL, as in the recorder's text field; open()
  // and unlink() would see no more of it, so no part may keep what follows.
  const std::string name = fullName.substr(0, fullName.find('\0'));
  std::string given = name;
  for (char& c : given)
    if (c == '\\') c = '/';
  const bool driveForm = given.size() >= 2 && given[1] == ':' &&
                         ((given[0] >= 'a' && given[0] <= 'z') || (given[0] >= 'A' && given[0] <= 'Z'));
  if (name.size() >= 2 && name[0] == '\\' && name[1] == '\\') {
    *reason = "network names are not supported";
    return false;
  }
  char drive = 0;
  std::string rest;
  if (driveForm) {
    drive = static_cast<char>(given[0] | 0x20);
    rest = given.substr(2);
  } else if (!name.empty() && name[0] == '\\') {
    drive = 'c';
    rest = given.substr(1);
  } else {
    *path = given;
    return true;
  }
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= rest.size()) {
    size_t slash = rest.find('/', at);
    if (slash == std::string::npos) slash = rest.size();
    const std::string part = rest.substr(at, slash - at);
    at = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) {
        *reason = "\"..\" climbs above the drive";
        return false;
      }
      parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  const std::string driveDir = DrivesDirectory() + "/" + drive;
  if (!MakeDirectories(driveDir, reason)) return false;
  std::string out = driveDir;
  for (const auto& part : parts) out += "/" + part;
  *path = out;
  return true;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

std::unique_ptr<OutputFile> OutputFile::Create(const std::string& path, std::string* reason) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (reason) *reason = ErrorText(errno);
    return nullptr;
  }
  return std::unique_ptr<OutputFile>(new OutputFile(fd));
}

OutputFile::~OutputFile() { Close(); }

uint32_t OutputFile::Write(const void* data, uint32_t n, std::string* reason) {
  if (fd_ < 0) {
    if (reason) *reason = "file not open";
    return 0;
  }
  const size_t allowed = SeamAllows(n);
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < allowed) {
    const ssize_t w = write(fd_, p + done, allowed - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (reason) *reason = ErrorText(errno);
      return static_cast<uint32_t>(done);
    }
    if (w == 0) break;
    done += static_cast<size_t>(w);
  }
  if (done < n && reason) *reason = allowed < n ? "write refused (test seam)" : "short write";
  return static_cast<uint32_t>(done);
}

bool OutputFile::Truncate(uint64_t length) {
  if (fd_ < 0) return false;
  while (ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool OutputFile::Close() {
  if (fd_ < 0) return true;
  const int fd = fd_;
  fd_ = -1;
  return close(fd) == 0;
}

void SetOutputWriteBudget(int64_t budget, bool shorten) {
  std::lock_guard<std::mutex> lock(seamMutex);
  seamBudget = budget;
  seamShorten = shorten;
}

}  // namespace platform
