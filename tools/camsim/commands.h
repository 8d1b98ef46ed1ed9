// Operator commands for the camsim program (one per line on its standard
// input) and the one-line form of a log entry it prints.
#pragma once

#include <string>
#include <string_view>

#include "tools/camsim/camsim.h"

namespace camsim {

// Runs one command against the simulator. False for an unknown or malformed
// command; `reply` holds the answer or the reason.
bool RunCommand(CameraSimulator& sim, std::string_view line, std::string& reply);
const char* CommandHelp();

// "12.345 #3 video LoginRequest ok user=tansy password=tansy"
std::string Describe(const LogEntry& e, Clock::time_point origin);

}  // namespace camsim
