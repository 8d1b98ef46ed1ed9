// Test helper: counts of what the process holds (threads, descriptors), to
// check that something made and destroyed left nothing behind.
#pragma once

#include <dirent.h>

#include <cstddef>

namespace testing_support {

inline size_t CountEntries(const char* dir) {
  size_t n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

inline size_t ThreadCount() { return CountEntries("/proc/self/task"); }
inline size_t DescriptorCount() { return CountEntries("/proc/self/fd"); }

}  // namespace testing_support
