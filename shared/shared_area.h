// This process's attachment to the machine's SharedAudioArea, the named area
// "<VELMORA_NS>MEMSHAREMAPPING" (see platform/shared_memory.h for how it is
// created, zero-filled and unlinked).
//
// A viewer attachment also holds a liveness file of its own in the runtime
// directory. Viewer attach and detach first set viewerCount to the number of
// live viewer files, then apply +1 / -1, so a viewer that crashed leaves no
// stale count. A server attachment never touches viewerCount.
//
//   std::string error;
//   auto att = SharedAreaAttachment::Attach(SharedAreaAttachment::Role::Viewer, &error);
//   if (!att) { /* log error, use a private zeroed area, start no server */ }
//   else if (att->viewerCountBefore() == 0) { /* first viewer: start the server */ }
//   ... att->area()->heartbeat ...
//   att.reset();  // -1 and detach; the last one out unlinks the area
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "shared/shared_audio_area.h"

namespace platform {
class SharedMemory;
class FileLock;
}  // namespace platform

class SharedAreaAttachment {
 public:
  enum class Role { Server, Viewer };

  // nullptr on failure (cannot create or map, wrong size, no runtime
  // directory), with a one-line reason in *error.
  static std::unique_ptr<SharedAreaAttachment> Attach(Role role, std::string* error);

  ~SharedAreaAttachment();  // a viewer's -1, then detach
  SharedAreaAttachment(const SharedAreaAttachment&) = delete;
  SharedAreaAttachment& operator=(const SharedAreaAttachment&) = delete;

  SharedAudioArea* area() const { return area_; }
  Role role() const { return role_; }
  // Viewer: viewerCount as set to the live viewers before this one's +1.
  // Server: 0.
  uint8_t viewerCountBefore() const { return countBefore_; }
  // True when this attach found nobody else attached and zero-filled the area.
  bool zeroFilled() const;

  // "<VELMORA_NS>MEMSHAREMAPPING"; its shm name is "/velmora.<uid>." + key.
  static std::string Key();
  // The area's name under /dev/shm (with the leading '/').
  static std::string ShmName();

 private:
  SharedAreaAttachment() = default;
  Role role_ = Role::Server;
  std::unique_ptr<platform::SharedMemory> memory_;
  std::unique_ptr<platform::FileLock> viewerFile_;
  SharedAudioArea* area_ = nullptr;
  uint8_t countBefore_ = 0;
};
