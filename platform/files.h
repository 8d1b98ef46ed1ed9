// Files the engine handles itself: the per-view decoder library copy and the
// directory it lives in.
#pragma once

#include <string>

namespace platform {

// Copies src to dst through a temporary file in dst's directory renamed over
// dst, so a process that has the old dst mapped keeps its pages and the new
// dst is a file of its own (never a link). False when anything failed; dst
// is then unchanged.
bool CopyFileReplacing(const std::string& src, const std::string& dst);

bool FileExists(const std::string& path);

// True when both files can be read and hold the same bytes.
bool SameContents(const std::string& a, const std::string& b);

// The user's own cache directory for the engine: $XDG_CACHE_HOME/velmora,
// else ~/.cache/velmora, made when missing; empty when it cannot be made.
std::string UserCacheDirectory();

// The directory the decoder library and its copies live in: VELMORA_SYSTEM_DIR
// when set; else the directory of the library or program this code was
// loaded with, or, for a program in a directory named "bin", its sibling
// "lib" when that exists (the installed layout and the build tree alike).
std::string SystemDirectory();

}  // namespace platform

#include <cstdint>
#include <memory>

namespace platform {

// Maps a recording name of the drive-letter form to a local path.
// "X:\a\b", "X:/a/b" and "X:a" (any case) become <drives>/x/a/b, where
// <drives> is VELMORA_DRIVES, else $XDG_DATA_HOME/velmora/drives, else
// ~/.local/share/velmora/drives; the drive directory is made on first use.
// "\" becomes "/"; a leading "\" means drive c; "/..." is used as given;
// anything else is relative to the current directory. "\\server\..." and a
// ".." that climbs above the drive are refused: false, with *reason set.
// The name ends at its first NUL.
bool LocalPath(const std::string& name, std::string* path, std::string* reason);

bool RemoveFile(const std::string& path);

// A file written from its start: created or truncated, close-on-exec, shared
// with readers. Write loops over partial writes and EINTR.
class OutputFile {
 public:
  // Null with *reason set when the file cannot be made.
  static std::unique_ptr<OutputFile> Create(const std::string& path, std::string* reason);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Bytes written (fewer on a failure; *reason then says why).
  uint32_t Write(const void* data, uint32_t n, std::string* reason = nullptr);
  bool Truncate(uint64_t length);
  // False when the close reported an error.
  bool Close();

 private:
  explicit OutputFile(int fd) : fd_(fd) {}
  int fd_;
};

// Test seam over every OutputFile::Write of the process: once `budget`
// bytes have been written, a write fails (shorten == false) or takes only
// what is left of the budget and then fails. A negative budget turns it off.
void SetOutputWriteBudget(int64_t budget, bool shorten);

}  // namespace platform
