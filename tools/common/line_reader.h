// Splits stdin into command lines a bounded amount at a time, so a writer
// faster than the host's loop cannot hold it past its deadline or signals.
// The end of input ends a last line that has no newline.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace cli {

class LineReader {
 public:
  static constexpr size_t kMaxLine = 4096;        // longer lines are skipped
  static constexpr size_t kBytesPerTurn = 16384;  // read at most this per Turn

  // Returns bytes read (> 0), 0 at end of input, or < 0 when nothing is
  // ready now.
  using ReadFn = std::function<long(char* buffer, size_t size)>;

  struct Result {
    std::vector<std::string> lines;
    size_t overlong = 0;  // lines skipped this turn for their length
  };

  explicit LineReader(ReadFn read) : read_(std::move(read)) {}

  Result Turn();
  bool AtEnd() const { return atEnd_; }

 private:
  void Take(const char* bytes, size_t n, Result& out);

  ReadFn read_;
  std::string partial_;
  bool discarding_ = false;
  bool atEnd_ = false;
};

// Standard input without blocking, for a LineReader: bytes read, 0 at its
// end, < 0 when nothing waits now.
long ReadStandardInput(char* buffer, size_t size);

}  // namespace cli
