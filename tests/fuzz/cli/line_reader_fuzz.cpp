// Standard input through the hosts' line reader, in reads of any size with
// pauses between them, against a model of what must come out: the lines,
// over-long ones counted instead, and a last line without a newline.
//
// Input: a byte n, then n % 8 + 1 read sizes (0 = nothing ready now, 255 =
// as much as asked, else that many bytes), then the text. In the text the
// byte 0 starts a run: a count c and a byte x stand for c x 32 copies of x
// (c = 0 is a single zero byte), so short inputs reach over-long lines.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/line_reader.h"

namespace {

using cli::LineReader;

std::string Expand(const uint8_t* p, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) {
      out += char(p[i]);
    } else if (i + 2 < n) {
      out.append(p[i + 1] == 0 ? 1 : size_t(p[i + 1]) * 32, p[i + 1] == 0 ? '\0' : char(p[i + 2]));
      i += 2;
    }
  }
  return out;
}

struct Outcome {
  std::vector<std::string> lines;
  size_t overlong = 0;
  bool operator==(const Outcome&) const = default;
};

// Every piece that a newline or the end of input closes is a line, unless
// it is longer than the reader keeps.
Outcome Model(const std::string& text) {
  Outcome o;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    if (end - start > LineReader::kMaxLine)
      ++o.overlong;
    else
      o.lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t sizes = data[0] % 8 + 1;
  if (size < 1 + sizes) return 0;
  std::vector<uint8_t> schedule(data + 1, data + 1 + sizes);
  if (std::all_of(schedule.begin(), schedule.end(), [](uint8_t s) { return s == 0; })) schedule[0] = 255;
  const std::string text = Expand(data + 1 + sizes, size - 1 - sizes);

  size_t at = 0, step = 0, handedOut = 0;
  LineReader reader([&](char* buffer, size_t want) -> long {
    const uint8_t s = schedule[step++ % schedule.size()];
    if (s == 0) return -1;
    const size_t n = std::min({want, s == 255 ? want : size_t(s), text.size() - at});
    text.copy(buffer, n, at);
    at += n;
    handedOut += n;
    return static_cast<long>(n);
  });
  Outcome got;
  // Each turn takes at least one byte or ends, or meets a pause that the
  // schedule's non-zero entries follow.
  const size_t maxTurns = (text.size() + 2) * schedule.size() + 2;
  for (size_t turn = 0; !reader.AtEnd(); ++turn) {
    if (turn > maxTurns) __builtin_trap();
    handedOut = 0;
    const LineReader::Result r = reader.Turn();
    if (handedOut > LineReader::kBytesPerTurn) __builtin_trap();
    got.lines.insert(got.lines.end(), r.lines.begin(), r.lines.end());
    got.overlong += r.overlong;
  }
  if (!(got == Model(text))) __builtin_trap();
  return 0;
}
