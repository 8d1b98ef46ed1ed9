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

// The directory the decoder library and its copies live in: VELMORA_SYSTEM_DIR
// when set; else the directory of the library or program this code was
// loaded with, or, for a program in a directory named "bin", its sibling
// "lib" when that exists (the installed layout and the build tree alike).
std::string SystemDirectory();

}  // namespace platform
