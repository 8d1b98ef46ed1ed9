// Test helper: removes what a test's namespace left in the runtime directory
// (guard and instance lock files stay there by design, one per namespace).
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/file_lock.h"

namespace testing_support {

inline void RemoveRuntimeFiles(const std::string& prefix) {
  const std::string dir = platform::RuntimeDirectory();
  if (dir.empty() || prefix.empty()) return;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove(entry.path(), ec);
  }
}

}  // namespace testing_support
