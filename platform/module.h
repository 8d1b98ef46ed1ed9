// Loading a shared library at run time and looking up its exports.
#pragma once

#include <string>

namespace platform {

using ModuleHandle = void*;

// Loads the library at `path` (a full path: no search) with every symbol
// bound now and kept private to it, so two copies of one library never share
// state. Null on failure; ModuleError() tells why.
ModuleHandle LoadModule(const std::string& path);
// The address of an export, or null.
void* ModuleSymbol(ModuleHandle module, const char* name);
// False when the library could not be released.
bool FreeModule(ModuleHandle module);
std::string ModuleError();

// Full path of the program or library that contains `address`; empty when
// it cannot be told.
std::string ModulePathOf(const void* address);

}  // namespace platform
