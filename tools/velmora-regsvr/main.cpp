// velmora-regsvr [-u] LIBRARY: calls the library's DllRegisterServer (or,
// with -u, DllUnregisterServer), prints the result and exits 0 only on
// success.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/com/com.h"
#include "platform/module.h"

namespace {

// On stdout with exit 0 when asked for (--help), else on stderr with 2.
int Usage(bool asked = false) {
  std::fprintf(asked ? stdout : stderr, "usage: velmora-regsvr [-u] LIBRARY\n");
  return asked ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  const char* library = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-u") == 0)
      unregister = true;
    else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
      return Usage(true);
    else if (argv[i][0] == '-')
      return Usage();
    else if (!library)
      library = argv[i];
    else
      library = nullptr, i = argc;
  }
  if (!library) return Usage();
  platform::ModuleHandle module = platform::LoadModule(library);
  if (!module) {
    std::fprintf(stderr, "velmora-regsvr: cannot load %s: %s\n", library, platform::ModuleError().c_str());
    return 1;
  }
  const char* name = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto entry = reinterpret_cast<HRESULT (*)()>(platform::ModuleSymbol(module, name));
  if (!entry) {
    std::fprintf(stderr, "velmora-regsvr: %s has no %s\n", library, name);
    return 1;
  }
  HRESULT hr = entry();
  std::printf("%s: 0x%08X\n", name, static_cast<unsigned>(hr));
  if (FAILED(hr)) {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
      com::Bstr text;
      info->GetDescription(text.out());
      std::fprintf(stderr, "velmora-regsvr: %s\n", com::WideToAnsi(text.view()).c_str());
      info->Release();
    }
  }
  return SUCCEEDED(hr) ? 0 : 1;
}
