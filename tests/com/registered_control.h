// What a host does to reach the control from outside, linking only the
// platform library: the ProgID's class and library from the registry, the
// library loaded and its class factory asked for the control, and members
// reached by name through IDispatch.
#pragma once

#include <string>

#include "platform/com/ole.h"
#include "platform/module.h"
#include "platform/registry.h"

namespace com_test {

struct RegisteredControl {
  platform::ModuleHandle module = nullptr;
  HRESULT (*canUnloadNow)() = nullptr;
  IDispatch* control = nullptr;
};

// Loads the registered library and creates one control; false with *why.
inline bool CreateRegisteredControl(RegisteredControl* out, std::string* why) {
  auto clsidText = platform::RegistryQueryValue("HKCR\\Velmora.VelmoraX\\CLSID");
  GUID clsid{};
  if (!clsidText || !com::GuidFromString(*clsidText, &clsid)) return *why = "Velmora.VelmoraX has no class", false;
  auto path = platform::RegistryQueryValue("HKCR\\CLSID\\" + *clsidText + "\\InprocServer32");
  if (!path) return *why = "the class has no library", false;
  out->module = platform::LoadModule(*path);
  if (!out->module) return *why = platform::ModuleError(), false;
  auto getClassObject = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(
      platform::ModuleSymbol(out->module, "DllGetClassObject"));
  out->canUnloadNow = reinterpret_cast<HRESULT (*)()>(platform::ModuleSymbol(out->module, "DllCanUnloadNow"));
  if (!getClassObject || !out->canUnloadNow) return *why = "the library lacks its exports", false;
  IClassFactory* factory = nullptr;
  if (getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK)
    return *why = "no class factory", false;
  HRESULT created = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&out->control));
  factory->Release();
  if (created == S_OK) return true;
  *why = "the control could not be created";
  IErrorInfo* info = nullptr;
  if (created == DISP_E_EXCEPTION && GetErrorInfo(0, &info) == S_OK && info) {
    com::Bstr text;
    info->GetDescription(text.out());
    *why += ": " + com::WideToAnsi(text.view());
    info->Release();
  }
  return false;
}

inline HRESULT Invoke(IDispatch* d, const char16_t* name, WORD kind, VARIANT* args, UINT count, VARIANT* result) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  if (HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, 0, &id); FAILED(hr)) return hr;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS p{args, kind == DISPATCH_PROPERTYPUT ? &named : nullptr, count, kind == DISPATCH_PROPERTYPUT ? 1u : 0u};
  return d->Invoke(id, IID_NULL, 0, kind, &p, result, nullptr, nullptr);
}

inline HRESULT Put(IDispatch* d, const char16_t* name, VARIANT value) {
  HRESULT hr = Invoke(d, name, DISPATCH_PROPERTYPUT, &value, 1, nullptr);
  VariantClear(&value);
  return hr;
}

inline int32_t GetI4(IDispatch* d, const char16_t* name) {
  VARIANT v;
  VariantInit(&v);
  Invoke(d, name, DISPATCH_PROPERTYGET, nullptr, 0, &v);
  return v.vt == VT_I4 ? v.lVal : 0;
}

// Sets the camera's address and port and asks the control to connect.
inline HRESULT ConnectTo(IDispatch* d, const char16_t* address, int32_t port) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = com::AllocBstr(address);
  if (HRESULT hr = Put(d, u"ipaddr", v); FAILED(hr)) return hr;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = port;
  if (HRESULT hr = Put(d, u"port", v); FAILED(hr)) return hr;
  int32_t ignored = 0;
  VARIANT out;
  VariantInit(&out);
  out.vt = VT_BYREF | VT_I4;
  out.plVal = &ignored;
  return Invoke(d, u"ConnectWebcam", DISPATCH_METHOD, &out, 1, nullptr);
}

}  // namespace com_test
