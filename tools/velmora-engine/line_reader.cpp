#include "tools/velmora-engine/line_reader.h"

#include <algorithm>

namespace host {

LineReader::Result LineReader::Turn() {
  Result out;
  char buffer[4096];
  size_t budget = kBytesPerTurn;
  while (!atEnd_ && budget > 0) {
    const long n = read_(buffer, std::min(sizeof(buffer), budget));
    if (n == 0) atEnd_ = true;
    if (n <= 0) break;
    Take(buffer, static_cast<size_t>(n), out);
    budget -= static_cast<size_t>(n);
  }
  return out;
}

void LineReader::Take(const char* bytes, size_t n, Result& out) {
  for (size_t i = 0; i < n; ++i) {
    const char c = bytes[i];
    if (c == '\n') {
      if (discarding_)
        ++out.overlong;
      else
        out.lines.push_back(partial_);
      partial_.clear();
      discarding_ = false;
    } else if (!discarding_) {
      if (partial_.size() >= kMaxLine) {
        discarding_ = true;
        partial_.clear();
      } else {
        partial_.push_back(c);
      }
    }
  }
}

}  // namespace host
