// Test helper: how much of a signal is one tone, and reading raw samples.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testing_support {

// Share of the signal's energy at hz, 8000 samples a second (Goertzel over
// the whole span): near 1 for a pure tone, near 0 without it.
inline double ToneShare(const int16_t* s, size_t n, double hz) {
  const double w = 2 * M_PI * hz / 8000;
  double s1 = 0, s2 = 0, energy = 0;
  for (size_t i = 0; i < n; ++i) {
    const double s0 = s[i] + 2 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s0;
    energy += double(s[i]) * s[i];
  }
  const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
  return energy > 0 ? 2 * power / (double(n) * energy) : 0;
}

// The 16-bit little-endian samples of a raw file.
inline std::vector<int16_t> ReadSamples(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<int16_t> s(bytes.size() / 2);
  std::memcpy(s.data(), bytes.data(), s.size() * 2);
  return s;
}

}  // namespace testing_support
