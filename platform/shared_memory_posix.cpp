#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/file_lock.h"
#include "platform/shared_memory.h"

namespace platform {
namespace {

int Flock(int fd, int op) {
  int r;
  do {
    r = flock(fd, op);
  } while (r != 0 && errno == EINTR);
  return r;
}

std::string GuardPath(const std::string& dir, const std::string& key) { return dir + key + ".guard"; }

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::string SharedMemory::ShmName(const std::string& key) {
  return "/velmora." + std::to_string(getuid()) + "." + key;
}

std::unique_ptr<SharedMemory> SharedMemory::Attach(const std::string& key, size_t size, std::string* error,
                                                   const GuardedStep& afterAttach) {
  std::string dummy;
  std::string& err = error != nullptr ? *error : dummy;
  const std::string name = ShmName(key);
  const std::string dir = RuntimeDirectory();
  if (dir.empty()) {
    err = "shared area " + name + ": no runtime directory";
    return nullptr;
  }
  auto guard = FileLock::Acquire(GuardPath(dir, key));
  if (!guard) {
    err = Reason("shared area " + name + ": cannot open its guard " + GuardPath(dir, key));
    return nullptr;
  }
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    err = Reason("shared area " + name + ": cannot create");
    return nullptr;
  }
  bool alone = Flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (alone) {
    // Truncating to 0 first drops whatever dead holders left.
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, off_t(size)) != 0) {
      err = Reason("shared area " + name + ": cannot size");
      close(fd);
      shm_unlink(name.c_str());
      return nullptr;
    }
  }
  // Holders keep the shared lock; the exclusive one above converts to it.
  if (Flock(fd, LOCK_SH) != 0) {
    err = Reason("shared area " + name + ": cannot lock");
    close(fd);
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size != off_t(size)) {
    err = "shared area " + name + ": size " + std::to_string(st.st_size) + ", expected " + std::to_string(size);
    close(fd);
    return nullptr;
  }
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    err = Reason("shared area " + name + ": cannot map");
    if (alone) shm_unlink(name.c_str());
    close(fd);
    return nullptr;
  }
  std::unique_ptr<SharedMemory> shm(new SharedMemory());
  shm->key_ = key;
  shm->fd_ = fd;
  shm->data_ = static_cast<uint8_t*>(p);
  shm->size_ = size;
  shm->zeroFilled_ = alone;
  if (afterAttach) afterAttach(shm->data_);
  return shm;
}

void SharedMemory::Detach(const GuardedStep& beforeDetach) {
  if (fd_ < 0) return;
  // Without the guard (no runtime directory any more) the area is only
  // unmapped; unlinking unguarded could race an attacher.
  const std::string dir = RuntimeDirectory();
  std::unique_ptr<FileLock> guard;
  if (!dir.empty()) guard = FileLock::Acquire(GuardPath(dir, key_));
  if (beforeDetach) beforeDetach(data_);
  munmap(data_, size_);
  data_ = nullptr;
  // A failed conversion drops our shared lock too, which is fine on the way out.
  if (guard && Flock(fd_, LOCK_EX | LOCK_NB) == 0) shm_unlink(ShmName(key_).c_str());
  close(fd_);
  fd_ = -1;
}

SharedMemory::~SharedMemory() { Detach(); }

}  // namespace platform
