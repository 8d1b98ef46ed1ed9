#include "tools/velmora-view/view_host.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "mpeg4dec/frame_store.h"
#include "platform/com/com.h"
#include "platform/com/typelib.h"
#include "platform/registry.h"

namespace view {
namespace {

constexpr DISPID kOnPassMessage = 4;
constexpr int kWidth = 324, kHeight = 310;

// The members that take an address of the caller's memory.
constexpr DISPID kGetSIOData = 52, kPutSIOData = 53, kSetDecPointer = 71;
constexpr int32_t kSerialBlock = 254;  // the most GetSIOData hands back at once
// The decoder's largest picture at 32 bits a pixel.
constexpr size_t kPictureBytes = size_t(quenda::kMaxWidth) * quenda::kMaxHeight * 4;

bool IsNumber(const std::string& text) {
  char* end = nullptr;
  std::strtoll(text.c_str(), &end, 0);
  return !text.empty() && *end == '\0';
}

// Printable ASCII as it is, any other byte (and the backslash) escaped.
std::string Escaped(const uint8_t* bytes, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\') {
      out += char(bytes[i]);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", bytes[i]);
      out += hex;
    }
  }
  return out;
}

const char* EventName(DISPID id) {
  switch (id) {
    case 1: return "OnActivate";
    case 2: return "OnClick";
    case 3: return "OnCreate";
    case 5: return "OnDblClick";
    case 6: return "OnDestroy";
    case 7: return "OnDeactivate";
    case 11: return "OnKeyPress";
    case 16: return "OnPaint";
    default: return nullptr;
  }
}

std::string Text(const VARIANT& v) {
  if (v.vt == VT_EMPTY) return "";
  VARIANT s;
  VariantInit(&s);
  if (FAILED(VariantChangeType(&s, &v, 0, VT_BSTR))) return "?";
  std::string out = com::WideToAnsi(std::u16string_view(s.bstrVal, SysStringLen(s.bstrVal)));
  VariantClear(&s);
  return out;
}

std::string Hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

}  // namespace

// Prints the control's messages and events as they are raised.
class EventSink final : public IDispatch {
 public:
  EventSink(IID events, ViewHost::Output out) : events_(events), out_(std::move(out)) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == events_) {
      *ppv = this;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }  // owned by the host
  ULONG Release() override { return 1; }
  HRESULT GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
    if (id == kOnPassMessage && p && p->cArgs == 2) {
      out_(Text(p->rgvarg[1]) + " " + Text(p->rgvarg[0]));
    } else if (const char* name = EventName(id)) {
      out_(std::string("event ") + name);
    }
    return S_OK;
  }

 private:
  IID events_;
  ViewHost::Output out_;
};

// The container's side of in-place activation: the host window at the
// form's size.
class Site final : public IOleClientSite, public IOleInPlaceSite {
 public:
  explicit Site(HWND window) : window_(window) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IOleClientSite) {
      *ppv = static_cast<IOleClientSite*>(this);
    } else if (riid == IID_IOleInPlaceSite || riid == IID_IOleWindow) {
      *ppv = static_cast<IOleInPlaceSite*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    return S_OK;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT SaveObject() override { return E_NOTIMPL; }
  HRESULT GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  HRESULT GetContainer(IOleContainer**) override { return E_NOTIMPL; }
  HRESULT ShowObject() override { return S_OK; }
  HRESULT OnShowWindow(BOOL) override { return S_OK; }
  HRESULT RequestNewObjectLayout() override { return E_NOTIMPL; }
  HRESULT GetWindow(HWND* w) override {
    if (!w) return E_POINTER;
    *w = window_;
    return window_ ? S_OK : E_FAIL;
  }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT CanInPlaceActivate() override { return S_OK; }
  HRESULT OnInPlaceActivate() override { return S_OK; }
  HRESULT OnUIActivate() override { return S_OK; }
  HRESULT GetWindowContext(IOleInPlaceFrame** f, IOleInPlaceUIWindow** d, LPRECT pos, LPRECT clip,
                           OLEINPLACEFRAMEINFO*) override {
    *f = nullptr;
    *d = nullptr;
    *pos = *clip = RECT{0, 0, kWidth, kHeight};
    return S_OK;
  }
  HRESULT Scroll(SIZE) override { return E_NOTIMPL; }
  HRESULT OnUIDeactivate(BOOL) override { return S_OK; }
  HRESULT OnInPlaceDeactivate() override { return S_OK; }
  HRESULT DiscardUndoState() override { return E_NOTIMPL; }
  HRESULT DeactivateAndUndo() override { return E_NOTIMPL; }
  HRESULT OnPosRectChange(LPCRECT) override { return S_OK; }

 private:
  HWND window_;
};

ViewHost::ViewHost(Output out) : out_(std::move(out)) {}

ViewHost::~ViewHost() {
  if (point_) {
    // The sink stays advised through the release, so OnDestroy is seen.
    point_->Release();
    point_ = nullptr;
  }
  if (active_) active_->Release();
  if (ole_) {
    ole_->Close(OLECLOSE_NOSAVE);
    ole_->SetClientSite(nullptr);
    ole_->Release();
  }
  if (control_) control_->Release();
  if (module_) {
    using CanUnload = HRESULT (*)();
    auto canUnloadNow = reinterpret_cast<CanUnload>(platform::ModuleSymbol(module_, "DllCanUnloadNow"));
    if (canUnloadNow && canUnloadNow() == S_OK) platform::FreeModule(module_);
  }
}

bool ViewHost::Create(HostError* error) {
  const auto fail = [&](int code, std::string text) {
    error->exitCode = code;
    error->text = std::move(text);
    return false;
  };
  const auto clsidText = platform::RegistryQueryValue("HKCR\\Velmora.VelmoraX\\CLSID");
  GUID clsid{};
  const auto path = clsidText ? platform::RegistryQueryValue("HKCR\\CLSID\\" + *clsidText + "\\InprocServer32")
                              : std::nullopt;
  if (!clsidText || !com::GuidFromString(*clsidText, &clsid) || !path)
    return fail(3, "Velmora.VelmoraX is not registered in " + platform::RegistryRoot() +
                       "; register it with: velmora-regsvr LIBDIR/libvelmora.so");
  module_ = platform::LoadModule(*path);
  if (!module_) return fail(3, platform::ModuleError());
  using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);
  auto getClassObject = reinterpret_cast<GetClassObject>(platform::ModuleSymbol(module_, "DllGetClassObject"));
  if (!getClassObject) return fail(3, *path + ": no DllGetClassObject");
  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return fail(3, "DllGetClassObject failed: " + Hex(hr));
  hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control_));
  factory->Release();
  if (FAILED(hr)) {
    EXCEPINFO none{};
    return fail(3, "the control could not be created: " + Describe(hr, none));
  }

  // The event interface, as the control's class information names it.
  IID events{};
  IProvideClassInfo2* info = nullptr;
  if (SUCCEEDED(control_->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info)))) {
    info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events);
    info->Release();
  }
  sink_ = std::make_unique<EventSink>(events, out_);
  IConnectionPointContainer* container = nullptr;
  if (SUCCEEDED(control_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)))) {
    if (SUCCEEDED(container->FindConnectionPoint(events, &point_)) && FAILED(point_->Advise(sink_.get(), &cookie_))) {
      point_->Release();
      point_ = nullptr;
    }
    container->Release();
  }
  if (!point_) return fail(3, "the control's events cannot be advised");

  window_ = platform::CreateMainForm(kWidth, kHeight, "velmora-view", "velmora-view", "Velmora");
  if (window_) {
    window_->handlers.onCloseRequest = [this] { closeRequested_ = true; };
    window_->handlers.onGone = [this] { windowGone_ = true; };
    // As a container does: activating the window gives the control the keys.
    window_->handlers.onActivate = [this] {
      if (active_) active_->OnFrameWindowActivate(1);
    };
  }
  site_ = std::make_unique<Site>(window_ ? window_->NativeId() : 0);
  if (SUCCEEDED(control_->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole_)))) {
    ole_->SetClientSite(site_.get());
    hr = ole_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_.get(), 0, WindowId(), nullptr);
    if (FAILED(hr)) out_("# in-place activation failed: " + Describe(hr, EXCEPINFO{}));
    control_->QueryInterface(IID_IOleInPlaceActiveObject, reinterpret_cast<void**>(&active_));
  }
  return true;
}

uint64_t ViewHost::WindowId() const { return window_ ? window_->NativeId() : 0; }

bool ViewHost::HasX11Window() const { return window_ && window_->Kind() == platform::DrawKind::X11; }

HRESULT ViewHost::Id(const std::string& name, DISPID* id) {
  std::u16string wide = com::AnsiToWide(name);
  LPOLESTR names[] = {wide.data()};
  return control_->GetIDsOfNames(IID_NULL, names, 1, 0, id);
}

std::string ViewHost::Describe(HRESULT hr, const EXCEPINFO& info) {
  if (info.bstrDescription) return com::WideToAnsi(std::u16string_view(info.bstrDescription, SysStringLen(info.bstrDescription)));
  IErrorInfo* error = nullptr;
  if (GetErrorInfo(0, &error) == S_OK && error) {
    com::Bstr text;
    error->GetDescription(text.out());
    error->Release();
    if (!text.view().empty()) return com::WideToAnsi(text.view());
  }
  return Hex(hr);
}

bool ViewHost::Set(const std::string& name, const std::string& value, std::string* error) {
  DISPID id = 0;
  if (FAILED(Id(name, &id))) {
    *error = "no property or method " + name;
    return false;
  }
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = com::AllocBstrFromAnsi(value);
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&v, &named, 1, 1};
  EXCEPINFO info{};
  UINT argErr = 0;
  HRESULT hr = control_->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, &info, &argErr);
  VariantClear(&v);
  if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW || hr == DISP_E_BADVARTYPE) {
    *error = "bad value for " + name + ": " + value;
  } else if (hr == DISP_E_MEMBERNOTFOUND) {
    *error = name + " cannot be set";
  } else if (FAILED(hr)) {
    *error = name + ": " + Describe(hr, info);
  }
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrHelpFile);
  return SUCCEEDED(hr);
}

bool ViewHost::Get(const std::string& name, std::string* value, std::string* error) {
  DISPID id = 0;
  if (FAILED(Id(name, &id))) {
    *error = "no property or method " + name;
    return false;
  }
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO info{};
  HRESULT hr = control_->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, &info, nullptr);
  if (FAILED(hr)) {
    *error = name + ": " + Describe(hr, info);
  } else {
    *value = Text(result);
  }
  VariantClear(&result);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrHelpFile);
  return SUCCEEDED(hr);
}

// Arguments go in as text, in order; out parameters (other than the return
// value) are passed by reference and printed afterwards.
bool ViewHost::Call(const std::string& name, const std::vector<std::string>& args, std::string* result,
                    std::string* error) {
  DISPID id = 0;
  if (FAILED(Id(name, &id))) {
    *error = "no property or method " + name;
    return false;
  }
  if (id == kPutSIOData || id == kGetSIOData || id == kSetDecPointer) return CallLending(id, args, result, error);
  std::vector<bool> isOut;
  bool described = false;
  ITypeInfo* type = nullptr;
  if (SUCCEEDED(control_->GetTypeInfo(0, 0, &type)) && type) {
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(type->GetTypeAttr(&attr))) {
      for (UINT i = 0; i < attr->cFuncs && !described; ++i) {
        FUNCDESC* f = nullptr;
        if (FAILED(type->GetFuncDesc(i, &f))) continue;
        if (f->memid == id && f->invkind == INVOKE_FUNC) {
          described = true;
          for (int p = 0; p < f->cParams; ++p) {
            const USHORT flags = f->lprgelemdescParam[p].paramdesc.wParamFlags;
            if (flags & PARAMFLAG_FRETVAL) continue;
            isOut.push_back((flags & PARAMFLAG_FOUT) != 0);
          }
        }
        type->ReleaseFuncDesc(f);
      }
      type->ReleaseTypeAttr(attr);
    }
    type->Release();
  }
  if (!described) isOut.assign(args.size(), false);

  std::vector<int32_t> outs(isOut.size(), 0);
  std::vector<VARIANT> params(isOut.size());
  size_t next = 0;
  for (size_t i = 0; i < isOut.size(); ++i) {
    VARIANT& v = params[isOut.size() - 1 - i];  // arguments travel in reverse
    VariantInit(&v);
    if (isOut[i]) {
      v.vt = VT_BYREF | VT_I4;
      v.plVal = &outs[i];
    } else if (next < args.size()) {
      v.vt = VT_BSTR;
      v.bstrVal = com::AllocBstrFromAnsi(args[next++]);
    }
  }
  if (!Invoke(name, id, params, args, result, error)) return false;
  for (size_t i = 0; i < outs.size(); ++i)
    if (isOut[i]) *result += (result->empty() ? "" : " ") + std::to_string(outs[i]);
  return true;
}

// A person at a terminal has no address to give: where a member takes one,
// velmora-view lends memory of its own, and a number in its place is
// refused. PutSIOData sends the text typed, GetSIOData prints what came
// back, SetDecPointer gets a picture buffer as large as the decoder's
// largest picture, kept until the control is gone.
bool ViewHost::CallLending(DISPID id, const std::vector<std::string>& args, std::string* result, std::string* error) {
  std::string text;
  if (args.size() >= 2) {
    for (size_t i = 1; i < args.size(); ++i) text += (i > 1 ? " " : "") + args[i];
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
      text = text.substr(1, text.size() - 2);
    else if (IsNumber(args[1]))
      text.clear();
  }
  const char* usage = nullptr;
  if (id == kPutSIOData && text.empty())
    usage = "usage: call PutSIOData PORT TEXT (TEXT in double quotes when it is a number)";
  else if (id == kGetSIOData && args.size() != 1)
    usage = "usage: call GetSIOData PORT";
  else if (id == kSetDecPointer && !args.empty())
    usage = "usage: call SetDecPointer (velmora-view gives its own picture buffer)";
  if (usage) {
    *error = usage;
    return false;
  }

  uint8_t received[kSerialBlock] = {};
  int32_t length = 0;
  if (id == kSetDecPointer && !picture_) picture_ = std::make_unique<uint8_t[]>(kPictureBytes);
  const void* memory = id == kPutSIOData ? static_cast<const void*>(text.data())
                       : id == kGetSIOData ? static_cast<const void*>(received)
                                           : static_cast<const void*>(picture_.get());
  std::vector<VARIANT> params(id == kSetDecPointer ? 1 : 3);  // in reverse
  for (VARIANT& v : params) VariantInit(&v);
  VARIANT& address = params[params.size() == 1 ? 0 : 1];
  address.vt = VT_I8;
  address.llVal = static_cast<int64_t>(reinterpret_cast<intptr_t>(memory));
  if (id != kSetDecPointer) {
    params[2].vt = VT_BSTR;
    params[2].bstrVal = com::AllocBstrFromAnsi(args[0]);
    if (id == kPutSIOData) {
      params[0].vt = VT_I4;
      params[0].lVal = static_cast<int32_t>(text.size());
    } else {
      params[0].vt = VT_BYREF | VT_I4;
      params[0].plVal = &length;
    }
  }
  const std::string name = id == kPutSIOData ? "PutSIOData" : id == kGetSIOData ? "GetSIOData" : "SetDecPointer";
  if (!Invoke(name, id, params, args, result, error)) return false;
  if (id == kGetSIOData) {
    length = std::clamp(length, 0, kSerialBlock);
    *result = std::to_string(length) + (length > 0 ? " " + Escaped(received, size_t(length)) : "");
  }
  return true;
}

// Invokes a method with its parameters in place (in reverse order); frees the
// strings among them. On success *result is the return value as text.
bool ViewHost::Invoke(const std::string& name, DISPID id, std::vector<VARIANT>& params,
                      const std::vector<std::string>& args, std::string* result, std::string* error) {
  DISPPARAMS dp{params.data(), nullptr, UINT(params.size()), 0};
  VARIANT ret;
  VariantInit(&ret);
  EXCEPINFO info{};
  UINT argErr = 0;
  HRESULT hr = control_->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &dp, &ret, &info, &argErr);
  for (VARIANT& v : params)
    if (v.vt == VT_BSTR) VariantClear(&v);
  if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW) {
    const size_t arg = params.size() - 1 - argErr;
    *error = "bad value for " + name + ": " + (arg < args.size() ? args[arg] : std::string("?"));
  } else if (hr == DISP_E_BADPARAMCOUNT) {
    *error = name + ": wrong number of arguments";
  } else if (FAILED(hr)) {
    *error = name + ": " + Describe(hr, info);
  } else {
    *result = Text(ret);
  }
  VariantClear(&ret);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrHelpFile);
  return SUCCEEDED(hr);
}

}  // namespace view
