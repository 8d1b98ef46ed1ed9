#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/module.h"

namespace platform {
namespace {

// dlerror() is per thread but reset by every call; keep the last message of
// our own calls for ModuleError().
thread_local std::string lastError;

void NoteError() {
  const char* e = dlerror();
  lastError = e ? e : "";
}

}  // namespace

ModuleHandle LoadModule(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) NoteError();
  return handle;
}

void* ModuleSymbol(ModuleHandle module, const char* name) {
  if (!module || !name) return nullptr;
  dlerror();
  void* symbol = dlsym(module, name);
  if (!symbol) NoteError();
  return symbol;
}

bool FreeModule(ModuleHandle module) {
  if (!module) return false;
  if (dlclose(module) != 0) {
    NoteError();
    return false;
  }
  return true;
}

std::string ModuleError() { return lastError; }

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) return {};
  if (info.dli_fname[0] == '/') return info.dli_fname;
  // A library loaded by a relative path is reported by that path.
  std::error_code ec;
  if (std::strchr(info.dli_fname, '/') != nullptr && std::filesystem::is_regular_file(info.dli_fname, ec))
    return std::filesystem::absolute(info.dli_fname, ec).lexically_normal().string();
  // The program itself is reported by the name it was started with.
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  path[n] = 0;
  return path;
}

}  // namespace platform
