// The process's debug console: one per process, shared by every control.
// It writes to the file named by VELMORA_CONSOLE, else to the process's
// standard error opened anew. Each line is one non-blocking write that never
// raises SIGPIPE; a line that does not fit right now is dropped, and a write
// that fails closes the console.
#pragma once

#include <string_view>

namespace platform {

// True when the console is open afterwards.
bool OpenDebugConsole();
void CloseDebugConsole();
bool DebugConsoleIsOpen();
// Titles the console when it is a terminal (a title escape sequence).
void SetDebugConsoleTitle(std::string_view title);
// False when the console is closed or the line was not written.
bool WriteDebugConsole(std::string_view line);

}  // namespace platform
