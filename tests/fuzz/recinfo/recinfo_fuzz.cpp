// Arbitrary index, video and audio files through the recording checker.
//
// Input: a flags byte (bit 0 live, bits 1-3: the .sdi, .kev and .kea exist),
// the .sdi and .kev lengths (16-bit little-endian each), then the .sdi bytes,
// the .kev bytes and, as the rest, the .kea bytes. Lengths beyond the input
// are cut to what is there.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "tools/velmora-recinfo/recording.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t flags = data[0];
  size_t sdiSize = data[1] | (data[2] << 8), kevSize = data[3] | (data[4] << 8);
  const uint8_t* p = data + 5;
  size_t left = size - 5;
  sdiSize = std::min(sdiSize, left);
  const recinfo::MemorySource sdi(p, sdiSize);
  p += sdiSize;
  left -= sdiSize;
  kevSize = std::min(kevSize, left);
  const recinfo::MemorySource kev(p, kevSize);
  p += kevSize;
  left -= kevSize;
  const recinfo::MemorySource kea(p, left);
  uint32_t sum = 0;
  // Reads every byte handed out, so a wrong length shows up under ASan.
  const auto sink = [&](uint64_t, uint32_t tag, const uint8_t* payload, uint32_t n) {
    sum += tag;
    for (uint32_t i = 0; i < n; ++i) sum += payload[i];
  };
  const auto report = recinfo::Check((flags & 2) ? &sdi : nullptr, (flags & 4) ? &kev : nullptr,
                                     (flags & 8) ? &kea : nullptr, (flags & 1) != 0, sink);
  if (report.violations.size() > recinfo::kMaxListed) __builtin_trap();
  (void)recinfo::FormatStartTime(report.startTime + sum);
  return 0;
}
