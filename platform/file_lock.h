// Per-user runtime directory and advisory file locks in it: the single-instance
// lock of the capture server, the guard of the named shared area and the
// viewers' liveness files. A lock dies with its process, so nothing goes stale.
#pragma once

#include <memory>
#include <string>

namespace platform {

// "$XDG_RUNTIME_DIR/velmora/" when XDG_RUNTIME_DIR is set, else
// "/tmp/velmora-<uid>/", created (mode 0700) when missing; always ends in '/'.
// Empty when the directory cannot be made or is not a directory of this user.
std::string RuntimeDirectory();

// The test and instance namespace prefixed to every shared name: VELMORA_NS,
// or empty.
std::string VelmoraNamespace();

// An exclusive flock held on a file for the object's lifetime. The file
// descriptor is close-on-exec, so children never inherit the lock.
class FileLock {
 public:
  // Creates path if needed and takes the lock without waiting; nullptr when
  // another open file holds it (*busy := true) or the file cannot be opened
  // (*busy := false).
  static std::unique_ptr<FileLock> TryAcquire(const std::string& path, bool* busy = nullptr);
  // Waits for the lock; nullptr only when the file cannot be opened.
  static std::unique_ptr<FileLock> Acquire(const std::string& path);
  // Creates and locks a new file "<pathPrefix><pid>.<serial>"; nullptr when it
  // cannot.
  static std::unique_ptr<FileLock> CreateUnique(const std::string& pathPrefix);

  ~FileLock();  // releases the lock; the file stays
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  const std::string& path() const { return path_; }
  // Deletes the file, then releases the lock.
  void RemoveAndRelease();

 private:
  FileLock(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::string path_;
  int fd_ = -1;
};

// Counts the files in dir whose names begin with prefix and whose lock is held
// by a live holder (this process's own FileLocks included); files nobody holds
// any more are deleted. Callers serialise this against the creation of such
// files themselves.
int CountHeldLockFiles(const std::string& dir, const std::string& prefix);

}  // namespace platform
