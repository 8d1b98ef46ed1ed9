// The kernel tables a processor can run, plainest first; the last one is the
// one in use. Filled once, at first use.
#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace quenda {

template <typename Kernels, size_t N>
struct KernelList {
  std::array<const Kernels*, N> items{};
  size_t count = 0;

  void Add(const Kernels* k) {
    if (count < N) items[count++] = k;
  }
  std::span<const Kernels* const> All() const { return {items.data(), count}; }
  const Kernels& Active() const { return *items[count - 1]; }
};

}  // namespace quenda
