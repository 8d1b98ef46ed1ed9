// A named shared-memory area of fixed size, shared by the processes of one
// user: POSIX shm "/velmora.<uid>.<key>".
//
// Attach and detach are serialised by a guard flock on "<runtime dir><key>.guard".
// Every holder keeps a shared flock on its shm descriptor, so:
// - an attacher that can take the exclusive flock is alone and zero-fills the
//   area (a fresh one, or one left by holders that died);
// - a detacher that can take it is the last one out and unlinks the name.
// Every descriptor is close-on-exec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class SharedMemory {
 public:
  // Runs under the guard with the mapped bytes.
  using GuardedStep = std::function<void(uint8_t* data)>;

  // Creates or opens the area, maps it and then runs afterAttach. On failure
  // (no runtime directory, cannot create or map, an existing area of another
  // size) returns nullptr with a one-line reason in *error.
  static std::unique_ptr<SharedMemory> Attach(const std::string& key, size_t size, std::string* error,
                                              const GuardedStep& afterAttach = {});

  // Detaches (once): runs beforeDetach, unmaps, and unlinks when last.
  void Detach(const GuardedStep& beforeDetach = {});
  ~SharedMemory();

  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  // True when this attach found itself alone and zero-filled the area.
  bool zeroFilled() const { return zeroFilled_; }
  // "/velmora.<uid>.<key>", the name under /dev/shm.
  static std::string ShmName(const std::string& key);

 private:
  SharedMemory() = default;
  std::string key_;
  int fd_ = -1;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  bool zeroFilled_ = false;
};

}  // namespace platform
