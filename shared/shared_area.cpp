#include "shared/shared_area.h"

#include <atomic>
#include <cstdint>

#include "platform/file_lock.h"
#include "platform/shared_memory.h"

namespace {

std::string ViewerPrefix() { return SharedAreaAttachment::Key() + ".viewer."; }

// Live viewer files right now (the caller holds the guard).
uint8_t LiveViewers(const std::string& dir) {
  return uint8_t(platform::CountHeldLockFiles(dir, ViewerPrefix()));
}

void StoreCount(SharedAudioArea* area, uint8_t value) {
  std::atomic_ref<uint8_t>(area->viewerCount).store(value, std::memory_order_relaxed);
}

}  // namespace

std::string SharedAreaAttachment::Key() { return platform::VelmoraNamespace() + kSharedAudioAreaName; }

std::string SharedAreaAttachment::ShmName() { return platform::SharedMemory::ShmName(Key()); }

std::unique_ptr<SharedAreaAttachment> SharedAreaAttachment::Attach(Role role, std::string* error) {
  std::unique_ptr<SharedAreaAttachment> self(new SharedAreaAttachment());
  self->role_ = role;
  std::string dummy;
  std::string& err = error != nullptr ? *error : dummy;
  bool viewerFailed = false;
  auto afterAttach = [&](uint8_t* data) {
    auto* area = reinterpret_cast<SharedAudioArea*>(data);
    if (role != Role::Viewer) return;
    const std::string dir = platform::RuntimeDirectory();
    const uint8_t live = LiveViewers(dir);
    self->viewerFile_ = platform::FileLock::CreateUnique(dir + ViewerPrefix());
    if (!self->viewerFile_) {
      viewerFailed = true;
      return;
    }
    self->countBefore_ = live;
    StoreCount(area, uint8_t(live + 1));
  };
  self->memory_ = platform::SharedMemory::Attach(Key(), kSharedAudioAreaSize, &err, afterAttach);
  if (!self->memory_) return nullptr;
  if (viewerFailed) {
    err = "shared area " + ShmName() + ": cannot create a viewer file in " + platform::RuntimeDirectory();
    return nullptr;  // detaches through memory_
  }
  self->area_ = reinterpret_cast<SharedAudioArea*>(self->memory_->data());
  return self;
}

SharedAreaAttachment::~SharedAreaAttachment() {
  if (!memory_) return;
  memory_->Detach([this](uint8_t* data) {
    if (role_ != Role::Viewer || !viewerFile_) return;
    auto* area = reinterpret_cast<SharedAudioArea*>(data);
    // Our own file is among the live ones.
    const uint8_t live = LiveViewers(platform::RuntimeDirectory());
    StoreCount(area, uint8_t(live - 1));
    viewerFile_->RemoveAndRelease();
  });
}

bool SharedAreaAttachment::zeroFilled() const { return memory_ && memory_->zeroFilled(); }
