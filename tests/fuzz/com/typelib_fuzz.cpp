// Arbitrary bytes as a type library image, its checksum set: parsed, and
// what parses is served through the type-library objects.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/com/typelib.h"
#include "tests/support/typelib_checksum.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A mutation almost never keeps the checksum right; with it set, the
  // mutated payload reaches the parser (the checksum check has its own tests).
  std::vector<uint8_t> image(data, data + size);
  if (size >= 16) testing_support::SetTypeLibChecksum(image);
  auto parsed = platform::typelib::Parse(image.data(), image.size());
  if (!parsed) return 0;
  if (platform::typelib::Serialize(*parsed) != image) std::abort();
  ITypeLib* lib = com::CreateTypeLib(*parsed);
  for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
    ITypeInfo* info = nullptr;
    if (FAILED(lib->GetTypeInfo(i, &info))) std::abort();
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    for (UINT f = 0; f < attr->cFuncs; ++f) {
      FUNCDESC* fd = nullptr;
      if (SUCCEEDED(info->GetFuncDesc(f, &fd))) {
        BSTR names[8] = {};
        UINT n = 0;
        info->GetNames(fd->memid, names, 8, &n);
        for (UINT k = 0; k < n; ++k) SysFreeString(names[k]);
        info->ReleaseFuncDesc(fd);
      }
    }
    for (UINT k = 0; k < attr->cImplTypes; ++k) {
      HREFTYPE ref = 0;
      ITypeInfo* other = nullptr;
      if (SUCCEEDED(info->GetRefTypeOfImplType(k, &ref)) && SUCCEEDED(info->GetRefTypeInfo(ref, &other)))
        other->Release();
    }
    info->ReleaseTypeAttr(attr);
    info->Release();
  }
  lib->Release();
  return 0;
}
