#include "control/com_server.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "control/velmorax.h"
#include "platform/com/typelib.h"
#include "platform/module.h"
#include "platform/registry.h"

#define VELMORA_EXPORT extern "C" __attribute__((visibility("default")))

namespace control {
namespace {

constexpr char kProgId[] = "Velmora.VelmoraX";
constexpr int kToolboxBitmapId = 1;
constexpr int kMiscStatus = 131473;  // SETCLIENTSITEFIRST, ACTIVATEWHENVISIBLE, INSIDEOUT, CANTLINKINSIDE, RECOMPOSEONRESIZE

struct Verb {
  LONG number;
  const char16_t* name;
  LONG menuFlags;
  LONG attributes;
};
constexpr Verb kVerbTable[] = {{0, u"Properties", 0, 2}};

std::atomic<LONG> lockCount{0};
const char anchor = 0;

class ClassFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // Cached for the life of the module: references do not free it.
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    return CreateVelmoraXInstance(outer, riid, ppv);
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock)
      LockModule();
    else
      UnlockModule();
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{0};
};

struct ObjectMapEntry {
  const CLSID* clsid;
  HRESULT (*updateRegistry)(bool reg, const std::string& path);
  HRESULT (*createInstance)(IUnknown* outer, REFIID riid, void** ppv);
  IClassFactory* factory;  // created at the first request, under moduleLock
};

ObjectMapEntry ObjectMap[] = {{&CLSID_VelmoraX, &UpdateRegistry, &CreateVelmoraXInstance, nullptr}};
std::mutex moduleLock;

// A registry write that fails is raised, as the registrar does.
struct RegistryWriter {
  void Set(const std::string& key, const std::string& name, const std::string& value) {
    if (!platform::RegistryCreateKey(key)) throw std::runtime_error("Cannot create the registry key HKCR\\" + key.substr(5));
    if (!platform::RegistrySetValue(key, name, value))
      throw std::runtime_error("Cannot write the registry value of HKCR\\" + key.substr(5));
  }
};

// The folder that holds the library, the type library's help directory.
std::string HelpDir(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string Format(const char* format, auto... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

}  // namespace

void LockModule() { lockCount.fetch_add(1); }
void UnlockModule() { lockCount.fetch_sub(1); }
LONG ModuleLockCount() { return lockCount.load(); }

std::string ModulePath() { return platform::ModulePathOf(&anchor); }

HRESULT UpdateRegistry(bool reg, const std::string& path) {
  const std::string clsid = com::GuidToString(CLSID_VelmoraX);
  const std::string classKey = "HKCR\\CLSID\\" + clsid;
  const std::string progIdKey = std::string("HKCR\\") + kProgId;
  RegistryWriter w;
  try {
    ITypeLib* raw = nullptr;
    HRESULT loaded = com::LoadTypeLibFile(path, &raw);
    std::unique_ptr<ITypeLib, void (*)(ITypeLib*)> lib(raw, [](ITypeLib* l) {
      if (l) l->Release();
    });
    if (!reg) {
      // Both trees go even without a type library.
      platform::RegistryDeleteKey(classKey);
      platform::RegistryDeleteKey(progIdKey);
      return loaded;
    }
    if (SUCCEEDED(loaded)) {
      std::string description;
      ITypeInfo* info = nullptr;
      if (SUCCEEDED(lib->GetTypeInfoOfGuid(CLSID_VelmoraX, &info))) {
        com::Bstr doc;
        info->GetDocumentation(MEMBERID_NIL, nullptr, doc.out(), nullptr, nullptr);
        description = com::WideToAnsi(doc.view());
        info->Release();
      }
      TLIBATTR* attr = nullptr;
      std::string version = "1.0";
      if (SUCCEEDED(lib->GetLibAttr(&attr))) {
        version = Format("%d.%d", int(attr->wMajorVerNum), int(attr->wMinorVerNum));
        lib->ReleaseTLibAttr(attr);
      }
      w.Set(classKey, "", description);
      w.Set(classKey + "\\InprocServer32", "", path);
      w.Set(classKey + "\\InprocServer32", "ThreadingModel", "Apartment");
      w.Set(progIdKey, "", description);
      w.Set(progIdKey + "\\CLSID", "", clsid);
      w.Set(classKey + "\\ProgID", "", kProgId);
      w.Set(classKey + "\\Version", "", version);
      w.Set(classKey + "\\Typelib", "", com::GuidToString(LIBID_Velmora));
      std::u16string widePath = com::AnsiToWide(path);
      std::u16string helpDir = com::AnsiToWide(HelpDir(path));
      HRESULT registered = RegisterTypeLib(lib.get(), widePath.c_str(), helpDir.c_str());
      if (FAILED(registered)) throw std::runtime_error("Cannot register the type library of " + path);
    }
    w.Set(classKey + "\\MiscStatus", "", "0");
    w.Set(classKey + "\\MiscStatus\\1", "", Format("%d", kMiscStatus));
    w.Set(classKey + "\\ToolboxBitmap32", "", Format("%s,%d", path.c_str(), kToolboxBitmapId));
    w.Set(classKey + "\\Control", "", "");
    w.Set(classKey + "\\Verb", "", "");
    for (const Verb& v : kVerbTable)
      w.Set(Format("%s\\Verb\\%d", classKey.c_str(), int(v.number)), "",
            com::WideToAnsi(v.name) + Format(",%d,%d", int(v.menuFlags), int(v.attributes)));
    return loaded;
  } catch (const std::exception& e) {
    com::SetError(com::AnsiToWide(e.what()), CLSID_VelmoraX, IID_NULL);
    return DISP_E_EXCEPTION;
  }
}

}  // namespace control

using namespace control;

VELMORA_EXPORT HRESULT DllCanUnloadNow() { return ModuleLockCount() == 0 ? S_OK : S_FALSE; }

VELMORA_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (ObjectMapEntry& entry : ObjectMap) {
    if (*entry.clsid != rclsid) continue;
    IClassFactory* factory;
    {
      std::lock_guard<std::mutex> lock(moduleLock);
      if (!entry.factory) entry.factory = new ClassFactory;
      factory = entry.factory;
    }
    return factory->QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

VELMORA_EXPORT HRESULT DllRegisterServer() {
  const std::string path = ModulePath();
  HRESULT hr = S_OK;
  for (ObjectMapEntry& entry : ObjectMap) {
    hr = entry.updateRegistry(true, path);
    if (FAILED(hr)) return hr;
  }
  ITypeLib* lib = nullptr;
  hr = com::LoadTypeLibFile(path, &lib);
  if (FAILED(hr)) return hr;
  std::u16string widePath = com::AnsiToWide(path);
  std::u16string helpDir = com::AnsiToWide(HelpDir(path));
  hr = RegisterTypeLib(lib, widePath.c_str(), helpDir.c_str());
  lib->Release();
  return hr;
}

VELMORA_EXPORT HRESULT DllUnregisterServer() {
  const std::string path = ModulePath();
  for (ObjectMapEntry& entry : ObjectMap) entry.updateRegistry(false, path);
  return S_OK;
}
