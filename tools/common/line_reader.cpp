#include "tools/common/line_reader.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace cli {

LineReader::Result LineReader::Turn() {
  Result out;
  char buffer[4096];
  size_t budget = kBytesPerTurn;
  while (!atEnd_ && budget > 0) {
    const long n = read_(buffer, std::min(sizeof(buffer), budget));
    if (n == 0) {
      atEnd_ = true;
      // The end of input ends a pending partial line.
      if (!partial_.empty() || discarding_) Take("\n", 1, out);
    }
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

long ReadStandardInput(char* buffer, size_t size) {
  pollfd p{0, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return -1;
  const ssize_t n = ::read(0, buffer, size);
  if (n < 0) return errno == EINTR || errno == EAGAIN ? -1 : 0;
  return static_cast<long>(n);
}

}  // namespace cli
