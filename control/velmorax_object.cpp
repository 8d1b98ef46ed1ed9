// The creatable object: TVelmoraXImpl (the control's interface, events and
// messages) with the standard control machinery, answering QueryInterface in
// the InterfaceMap's order, aggregatable, holding the module lock while it
// lives.
#include <atomic>
#include <climits>
#include <mutex>
#include <stdexcept>

#include "control/com_server.h"
#include "control/font.h"
#include "control/ole_control.h"
#include "control/typelib_build.h"
#include "control/velmora_form.h"
#include "control/velmorax_impl.h"

namespace control {
namespace {

FormFactory formFactory = MakeViewerForm;  // tests set their own
ConstructionHook constructionHook = nullptr;

std::mutex typeLibMutex;
ITypeLib* typeLib = nullptr;  // loaded once, kept for the life of the module

HRESULT InterfaceTypeInfo(LCID, ITypeInfo** out) {
  ITypeLib* lib = nullptr;
  ControlTypeLib(&lib);
  HRESULT hr = lib->GetTypeInfoOfGuid(IID_IVelmoraX, out);
  lib->Release();
  return hr;
}

// A window handle for a form that has no window of its own (headless).
std::atomic<HWND> nextHeadlessWindow{1};

// The form's window as embedding moves it; a form without a window of its
// own gets a handle all the same.
class FormEmbedding final : public EmbeddedWindow {
 public:
  void Attach(platform::NativeWindow* window) { window_ = window; }
  HWND Handle() override { return window_ ? window_->NativeId() : handle_; }
  void Embed(HWND parent, const RECT& rect) override {
    if (!window_) return;
    window_->SetParent(parent);
    Move(rect);
  }
  void Move(const RECT& rect) override {
    if (window_) window_->SetBounds({rect.left, rect.top, rect.right, rect.bottom});
  }
  void Show(bool visible) override {
    if (window_) window_->SetVisible(visible);
  }
  void Park() override {
    if (window_) window_->SetParent(0);
  }
  void Focus() override {
    if (window_) window_->TakeFocus();
  }

 private:
  platform::NativeWindow* window_ = nullptr;
  HWND handle_ = nextHeadlessWindow.fetch_add(1);
};

class VelmoraXObject final : public TVelmoraXImpl, public OleControl {
 public:
  VelmoraXObject(std::unique_ptr<ViewerForm> form, IUnknown* outer)
      : TVelmoraXImpl(std::move(form)), inner_(this), controlling_(outer ? outer : &inner_) {
    LockModule();
    window_.Attach(Form()->FormWindow());
    window_.Park();  // out of sight until a site activates it in place
  }

  IUnknown* Inner() { return &inner_; }

  // IUnknown of every interface: the controlling unknown's.
  HRESULT QueryInterface(REFIID riid, void** ppv) override { return controlling_->QueryInterface(riid, ppv); }
  ULONG AddRef() override { return controlling_->AddRef(); }
  ULONG Release() override { return controlling_->Release(); }

  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override { return IsObjectInterface(riid) ? S_OK : S_FALSE; }

 protected:
  ~VelmoraXObject() override { UnlockModule(); }

  FormProperties* PersistedProperties() override { return Form() ? &Form()->Properties() : nullptr; }
  EmbeddedWindow* Window() override { return Form() ? &window_ : nullptr; }
  void SaveFontRecords(std::vector<FormRecord>& records) override {
    IDispatch* font = nullptr;
    FontData d;
    bool read = SUCCEEDED(get_Font(&font)) && font && ReadFont(font, &d);
    if (font) font->Release();
    if (!read) return;
    auto add = [&](const char* name, FormValue v) { records.push_back({name, std::move(v)}); };
    add("Font.Name", {VT_BSTR, 0, 0, d.name});
    add("Font.Size", {VT_R4, 0, d.size, {}});
    add("Font.Bold", {VT_BOOL, d.bold ? -1 : 0, 0, {}});
    add("Font.Italic", {VT_BOOL, d.italic ? -1 : 0, 0, {}});
    add("Font.Underline", {VT_BOOL, d.underline ? -1 : 0, 0, {}});
    add("Font.Strikethrough", {VT_BOOL, d.strikethrough ? -1 : 0, 0, {}});
  }
  bool LoadFontRecords(const std::vector<FormRecord>& records, bool apply) override {
    IDispatch* font = nullptr;
    FontData d;
    if (SUCCEEDED(get_Font(&font)) && font) ReadFont(font, &d);
    if (font) font->Release();
    bool any = false;
    for (const FormRecord& r : records) {
      if (r.name.rfind("Font.", 0) != 0) continue;
      const std::string field = r.name.substr(5);
      const VARTYPE want = field == "Name" ? VT_BSTR : field == "Size" ? VT_R4 : VT_BOOL;
      if (r.value.vt != want) return false;
      if (field == "Name") d.name = r.value.s;
      else if (field == "Size") d.size = r.value.f;
      else if (field == "Bold") d.bold = r.value.i != 0;
      else if (field == "Italic") d.italic = r.value.i != 0;
      else if (field == "Underline") d.underline = r.value.i != 0;
      else if (field == "Strikethrough") d.strikethrough = r.value.i != 0;
      else continue;  // a later version's field
      any = true;
    }
    if (!apply || !any) return true;
    IDispatch* loaded = CreateFont(d);
    HRESULT hr = putref_Font(loaded);
    loaded->Release();
    return SUCCEEDED(hr);
  }
  DWORD SafetyOptions() override { return TVelmoraXImpl::SafetyOptions(); }
  void AddSafetyOptions(DWORD bits) override { TVelmoraXImpl::AddSafetyOptions(bits); }

 private:
  // The non-delegating unknown: the object's own identity and count.
  class InnerUnknown final : public IUnknown {
   public:
    explicit InnerUnknown(VelmoraXObject* self) : self_(self) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return self_->InnerQueryInterface(riid, ppv); }
    ULONG AddRef() override { return ULONG(++self_->refs_); }
    ULONG Release() override {
      LONG n = --self_->refs_;
      if (n != 0) return ULONG(n);
      // Sinks that call back during teardown must not free it twice.
      self_->refs_ = INT32_MIN / 2;
      self_->DetachFromSite();
      self_->TVelmoraXImpl::Release();  // the form's teardown, then delete
      return 0;
    }

   private:
    VelmoraXObject* self_;
  };

  HRESULT InnerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    OleControl* ole = this;
    IUnknown* found = nullptr;
    if (riid == IID_IUnknown) {
      // Aggregated, the outer object's inner pointer; else the first entry.
      found = controlling_ == &inner_ ? static_cast<IUnknown*>(static_cast<IViewObjectEx*>(ole)) : &inner_;
    } else if (riid == IID_IViewObjectEx || riid == IID_IViewObject2 || riid == IID_IViewObject) {
      found = static_cast<IViewObjectEx*>(ole);
    } else if (riid == IID_IOleInPlaceObject || riid == IID_IOleWindow) {
      found = static_cast<IOleInPlaceObject*>(ole);
    } else if (riid == IID_IOleInPlaceActiveObject) {
      found = static_cast<IOleInPlaceActiveObject*>(ole);
    } else if (riid == IID_IOleControl) {
      found = static_cast<IOleControl*>(ole);
    } else if (riid == IID_IOleObject) {
      found = static_cast<IOleObject*>(ole);
    } else if (riid == IID_IQuickActivate) {
      found = static_cast<IQuickActivate*>(ole);
    } else if (riid == IID_IPersistStorage) {
      found = static_cast<IPersistStorage*>(ole);
    } else if (riid == IID_IPersistStreamInit) {
      found = static_cast<IPersistStreamInit*>(ole);
    } else if (riid == IID_ISpecifyPropertyPages) {
      found = static_cast<ISpecifyPropertyPages*>(ole);
    } else if (riid == IID_IDataObject) {
      found = static_cast<IDataObject*>(ole);
    } else if (riid == IID_ISimpleFrameSite) {
      found = static_cast<ISimpleFrameSite*>(ole);
    } else if (riid == IID_IProvideClassInfo || riid == IID_IProvideClassInfo2) {
      found = static_cast<IProvideClassInfo2*>(ole);
    } else if (riid == IID_IConnectionPointContainer) {
      found = static_cast<IConnectionPointContainer*>(this);
    } else if (riid == IID_ISupportErrorInfo) {
      found = static_cast<ISupportErrorInfo*>(ole);
    } else if (riid == IID_IVelmoraX || riid == IID_IDispatch) {
      found = static_cast<IVelmoraX*>(this);
    } else if (riid == IID_IPersistPropertyBag) {
      found = static_cast<IPersistPropertyBag*>(ole);
    } else if (riid == IID_IObjectSafety) {
      found = static_cast<IObjectSafety*>(ole);
    }
    if (!found) return E_NOINTERFACE;
    found->AddRef();
    *ppv = found;
    return S_OK;
  }

  std::atomic<LONG> refs_{0};
  InnerUnknown inner_;
  IUnknown* controlling_;
  FormEmbedding window_;
};

}  // namespace

HRESULT ControlTypeLib(ITypeLib** out) {
  std::lock_guard<std::mutex> lock(typeLibMutex);
  if (!typeLib && FAILED(com::LoadTypeLibFile(ModulePath(), &typeLib))) typeLib = com::CreateTypeLib(BuildVelmoraTypeLib());
  typeLib->AddRef();
  *out = typeLib;
  return S_OK;
}

void SetFormFactory(FormFactory factory) { formFactory = factory; }
void SetConstructionHook(ConstructionHook hook) { constructionHook = hook; }

HRESULT CreateVelmoraXInstance(IUnknown* outer, REFIID riid, void** ppv) {
  *ppv = nullptr;
  static std::once_flag provider;
  std::call_once(provider, [] { SetTypeInfoProvider(&InterfaceTypeInfo); });
  IUnknown* inner = nullptr;
  try {
    if (!formFactory) throw std::runtime_error("The viewer form cannot be created in this process");
    // The form builds the engine and starts its threads; the object then
    // wires its events and message closures.
    std::unique_ptr<ViewerForm> form = formFactory();
    if (!form) throw std::runtime_error("The viewer form could not be created");
    auto* object = new VelmoraXObject(std::move(form), outer);
    inner = object->Inner();
    inner->AddRef();
    if (constructionHook) constructionHook();
  } catch (const std::exception& e) {
    // No partly built object is handed out.
    if (inner) inner->Release();
    com::SetError(com::AnsiToWide(e.what()), CLSID_VelmoraX, IID_IUnknown);
    return DISP_E_EXCEPTION;
  }
  HRESULT hr = inner->QueryInterface(riid, ppv);
  inner->Release();  // a failed query destroys the object
  return hr;
}

}  // namespace control
