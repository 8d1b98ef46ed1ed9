// Starting a program that outlives its starter.
#pragma once

#include <string>

namespace platform {

// Starts path in a session of its own, stdin/stdout/stderr on /dev/null and
// no other descriptor inherited; a detached waiter reaps it. False when it
// could not be started (the reason in *error).
bool StartDetachedProgram(const std::string& path, std::string* error);

}  // namespace platform
