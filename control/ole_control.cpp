#include "control/ole_control.h"

#include <cstring>

#include "control/com_server.h"
#include "control/viewer_form.h"

namespace control {
namespace {

// The InterfaceMap's identifiers, in QueryInterface order.
const IID* const kInterfaces[] = {
    &IID_IViewObjectEx,   &IID_IViewObject2,         &IID_IViewObject,        &IID_IOleInPlaceObject,
    &IID_IOleWindow,      &IID_IOleInPlaceActiveObject, &IID_IOleControl,     &IID_IOleObject,
    &IID_IQuickActivate,  &IID_IPersistStorage,      &IID_IPersistStreamInit, &IID_ISpecifyPropertyPages,
    &IID_IDataObject,     &IID_ISimpleFrameSite,     &IID_IProvideClassInfo,  &IID_IProvideClassInfo2,
    &IID_IConnectionPointContainer, &IID_ISupportErrorInfo, &IID_IVelmoraX,   &IID_IDispatch,
    &IID_IPersistPropertyBag, &IID_IObjectSafety,
};
static_assert(std::size(kInterfaces) == 22);

const char16_t kContents[] = u"Contents";

// One published property of the form, as a stream record.
struct Field {
  const char* name;
  VARTYPE vt;
  VARIANT_BOOL FormProperties::*boolean = nullptr;
  int32_t FormProperties::*i4 = nullptr;
  int16_t FormProperties::*i2 = nullptr;
  OLE_COLOR FormProperties::*color = nullptr;
  std::u16string FormProperties::*text = nullptr;
};

Field Bool(const char* n, VARIANT_BOOL FormProperties::*m) { return {n, VT_BOOL, m}; }
Field I4(const char* n, int32_t FormProperties::*m) { return {n, VT_I4, nullptr, m}; }

// The form's own published properties that can be written.
const Field kFields[] = {
    Bool("Visible", &FormProperties::Visible),
    Bool("AutoScroll", &FormProperties::AutoScroll),
    Bool("AutoSize", &FormProperties::AutoSize),
    I4("BorderWidth", &FormProperties::BorderWidth),
    {"Caption", VT_BSTR, nullptr, nullptr, nullptr, nullptr, &FormProperties::Caption},
    {"Color", VT_UI4, nullptr, nullptr, nullptr, &FormProperties::Color},
    Bool("KeyPreview", &FormProperties::KeyPreview),
    I4("PixelsPerInch", &FormProperties::PixelsPerInch),
    Bool("Scaled", &FormProperties::Scaled),
    Bool("DropTarget", &FormProperties::DropTarget),
    {"HelpFile", VT_BSTR, nullptr, nullptr, nullptr, nullptr, &FormProperties::HelpFile},
    Bool("DoubleBuffered", &FormProperties::DoubleBuffered),
    Bool("Enabled", &FormProperties::Enabled),
    {"Cursor", VT_I2, nullptr, nullptr, &FormProperties::Cursor},
};

const Field* FindField(const std::string& name) {
  for (const Field& f : kFields)
    if (name == f.name) return &f;
  return nullptr;
}

bool AnswersTo(REFIID riid);

bool IsPersistInterface(REFIID riid) { return riid == IID_IPersistStreamInit || riid == IID_IPersistStorage; }

}  // namespace

bool IsObjectInterface(REFIID riid) {
  for (const IID* iid : kInterfaces)
    if (*iid == riid) return true;
  return false;
}

namespace {
bool AnswersTo(REFIID riid) { return riid == IID_IUnknown || IsObjectInterface(riid); }
}  // namespace

std::vector<FormRecord> FormPropertyRecords(const FormProperties& props) {
  std::vector<FormRecord> records;
  for (const Field& f : kFields) {
    FormRecord r;
    r.name = f.name;
    r.value.vt = f.vt;
    if (f.boolean) r.value.i = props.*f.boolean;
    if (f.i4) r.value.i = props.*f.i4;
    if (f.i2) r.value.i = props.*f.i2;
    if (f.color) r.value.i = int32_t(props.*f.color);
    if (f.text) r.value.s = props.*f.text;
    records.push_back(std::move(r));
  }
  return records;
}

bool ApplyFormPropertyRecords(const std::vector<FormRecord>& records, FormProperties* props) {
  // Checked whole first: a bad record changes nothing. Unknown names are
  // skipped, so a later version's stream still loads.
  for (const FormRecord& r : records) {
    const Field* f = FindField(r.name);
    if (f && f->vt != r.value.vt) return false;
  }
  for (const FormRecord& r : records) {
    const Field* f = FindField(r.name);
    if (!f) continue;
    if (f->boolean) props->*f->boolean = r.value.i ? VARIANT_TRUE : VARIANT_FALSE;
    if (f->i4) props->*f->i4 = r.value.i;
    if (f->i2) props->*f->i2 = int16_t(r.value.i);
    if (f->color) props->*f->color = OLE_COLOR(r.value.i);
    if (f->text) props->*f->text = r.value.s;
  }
  return true;
}

// No hook may be called here: the final object is already gone.
OleControl::~OleControl() {
  if (inPlaceSite_) inPlaceSite_->Release();
  if (site_) site_->Release();
}

void OleControl::DetachFromSite() {
  if (inPlace_) InPlaceDeactivate();
  if (site_) {
    site_->Release();
    site_ = nullptr;
  }
}

// ---- IOleWindow, IOleInPlaceObject ---------------------------------------------

HRESULT OleControl::GetWindow(HWND* phwnd) {
  if (!phwnd) return E_POINTER;
  EmbeddedWindow* w = Window();
  *phwnd = w ? w->Handle() : 0;
  return w ? S_OK : E_FAIL;
}

HRESULT OleControl::InPlaceDeactivate() {
  if (!inPlace_) return S_OK;
  inPlace_ = false;
  uiActive_ = false;
  if (EmbeddedWindow* w = Window()) {
    w->Show(false);
    w->Park();
  }
  if (inPlaceSite_) {
    IOleInPlaceSite* site = inPlaceSite_;
    inPlaceSite_ = nullptr;
    site->OnInPlaceDeactivate();
    site->Release();
  }
  return S_OK;
}

HRESULT OleControl::OnFrameWindowActivate(BOOL activate) {
  if (EmbeddedWindow* w = Window(); w && activate && inPlace_) w->Focus();
  return S_OK;
}

HRESULT OleControl::SetObjectRects(LPCRECT pos, LPCRECT) {
  if (!pos) return E_POINTER;
  if (EmbeddedWindow* w = Window(); w && inPlace_) w->Move(*pos);
  return S_OK;
}

// ---- IOleObject -----------------------------------------------------------------

HRESULT OleControl::SetClientSite(IOleClientSite* site) {
  if (site) site->AddRef();
  if (site_) site_->Release();
  site_ = site;
  return S_OK;
}

HRESULT OleControl::GetClientSite(IOleClientSite** site) {
  if (!site) return E_POINTER;
  *site = site_;
  if (site_) site_->AddRef();
  return S_OK;
}

HRESULT OleControl::Close(DWORD) {
  InPlaceDeactivate();
  return S_OK;
}

HRESULT OleControl::InPlaceActivate(LONG verb, IOleClientSite* activeSite, HWND parent, LPCRECT pos) {
  IOleClientSite* site = activeSite ? activeSite : site_;
  if (!inPlace_) {
    RECT rect = pos ? *pos : RECT{0, 0, 0, 0};
    IOleInPlaceSite* ips = nullptr;
    if (site) site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&ips));
    if (ips) {
      if (ips->CanInPlaceActivate() != S_OK) {
        ips->Release();
        return E_FAIL;
      }
      ips->OnInPlaceActivate();
      HWND siteWindow = 0;
      if (SUCCEEDED(ips->GetWindow(&siteWindow)) && siteWindow) parent = siteWindow;
      IOleInPlaceFrame* frame = nullptr;
      IOleInPlaceUIWindow* doc = nullptr;
      RECT clip{};
      if (SUCCEEDED(ips->GetWindowContext(&frame, &doc, &rect, &clip, nullptr))) {
        if (frame) reinterpret_cast<IUnknown*>(frame)->Release();
        if (doc) reinterpret_cast<IUnknown*>(doc)->Release();
      }
    }
    EmbeddedWindow* w = Window();
    if (!w) {
      if (ips) {
        ips->OnInPlaceDeactivate();
        ips->Release();
      }
      return E_FAIL;
    }
    w->Embed(parent, rect);
    inPlaceSite_ = ips;
    inPlace_ = true;
  }
  if (EmbeddedWindow* w = Window()) w->Show(true);
  if (verb == OLEIVERB_UIACTIVATE && !uiActive_) {
    uiActive_ = true;
    if (inPlaceSite_) inPlaceSite_->OnUIActivate();
  }
  return S_OK;
}

HRESULT OleControl::DoVerb(LONG verb, MSG*, IOleClientSite* activeSite, LONG, HWND parent, LPCRECT pos) {
  switch (verb) {
    case OLEIVERB_INPLACEACTIVATE:
    case OLEIVERB_SHOW:
    case OLEIVERB_UIACTIVATE:
      return InPlaceActivate(verb, activeSite, parent, pos);
    case OLEIVERB_HIDE:
      if (EmbeddedWindow* w = Window()) w->Show(false);
      return S_OK;
    default:
      return E_NOTIMPL;
  }
}

HRESULT OleControl::GetUserClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID_VelmoraX;
  return S_OK;
}

HRESULT OleControl::SetExtent(DWORD aspect, SIZEL* size) {
  if (!size) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return E_FAIL;
  extent_ = *size;
  modified_ = true;
  return S_OK;
}

HRESULT OleControl::GetExtent(DWORD aspect, SIZEL* size) {
  if (!size) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return E_FAIL;
  *size = extent_;
  return S_OK;
}

HRESULT OleControl::GetMiscStatus(DWORD, DWORD* status) {
  if (!status) return E_POINTER;
  *status = kMiscStatus;
  return S_OK;
}

// ---- Persistence ------------------------------------------------------------------

HRESULT OleControl::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID_VelmoraX;
  return S_OK;
}

HRESULT OleControl::Load(LPSTREAM stream) {
  if (!stream) return E_POINTER;
  FormProperties* props = PersistedProperties();
  if (!props) return E_UNEXPECTED;
  std::vector<FormRecord> records;
  std::string error;
  // The font's records are checked before anything is applied.
  if (FAILED(ReadFormStream(stream, &records, &error)) || !LoadFontRecords(records, false) ||
      !ApplyFormPropertyRecords(records, props) || !LoadFontRecords(records, true)) {
    com::SetError(com::AnsiToWide(error.empty() ? "bad form property record" : error), CLSID_VelmoraX,
                  IID_IPersistStreamInit);
    return E_FAIL;
  }
  modified_ = false;
  return S_OK;
}

HRESULT OleControl::Save(LPSTREAM stream, BOOL clearDirty) {
  if (!stream) return E_POINTER;
  FormProperties* props = PersistedProperties();
  if (!props) return E_UNEXPECTED;
  std::vector<FormRecord> records = FormPropertyRecords(*props);
  SaveFontRecords(records);
  HRESULT hr = WriteFormStream(stream, records);
  if (SUCCEEDED(hr) && clearDirty) modified_ = false;
  return hr;
}

HRESULT OleControl::GetSizeMax(ULARGE_INTEGER* size) {
  if (!size) return E_POINTER;
  FormProperties* props = PersistedProperties();
  if (!props) return E_UNEXPECTED;
  std::vector<FormRecord> records = FormPropertyRecords(*props);
  SaveFontRecords(records);
  size->QuadPart = EncodeFormRecords(records).size();
  return S_OK;
}

HRESULT OleControl::Load(IStorage* storage) {
  if (!storage) return E_POINTER;
  IStream* stream = nullptr;
  HRESULT hr = storage->OpenStream(kContents, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream);
  if (FAILED(hr)) return hr;
  hr = Load(stream);
  stream->Release();
  return hr;
}

HRESULT OleControl::Save(IStorage* storage, BOOL) {
  if (!storage) return E_POINTER;
  IStream* stream = nullptr;
  HRESULT hr = storage->CreateStream(kContents, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &stream);
  if (FAILED(hr)) return hr;
  hr = Save(stream, BOOL{1});
  stream->Release();
  return hr;
}

HRESULT OleControl::Load(IPropertyBag* bag, IErrorLog* log) {
  if (!bag) return E_POINTER;
  // Both values are read and checked before either is stored.
  ULONG values[2] = {ULONG(extent_.cx), ULONG(extent_.cy)};
  const char16_t* names[2] = {u"_cx", u"_cy"};
  for (int i = 0; i < 2; ++i) {
    com::Variant v;
    if (FAILED(bag->Read(names[i], &v, log))) continue;  // not in the bag: kept
    com::Variant u4;
    if (FAILED(VariantChangeType(&u4, &v, 0, VT_UI4))) return E_INVALIDARG;
    values[i] = u4.ulVal;
  }
  extent_.cx = LONG(values[0]);
  extent_.cy = LONG(values[1]);
  modified_ = false;
  return S_OK;
}

HRESULT OleControl::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) {
  if (!bag) return E_POINTER;
  const char16_t* names[2] = {u"_cx", u"_cy"};
  const ULONG values[2] = {ULONG(extent_.cx), ULONG(extent_.cy)};
  for (int i = 0; i < 2; ++i) {
    com::Variant v;
    v.vt = VT_UI4;
    v.ulVal = values[i];
    if (HRESULT hr = bag->Write(names[i], &v); FAILED(hr)) return hr;
  }
  if (clearDirty) modified_ = false;
  return S_OK;
}

HRESULT OleControl::GetPages(CAUUID* pages) {
  if (!pages) return E_POINTER;
  pages->cElems = 0;
  pages->pElems = nullptr;
  return S_OK;
}

// ---- Class information, error information --------------------------------------------

HRESULT OleControl::GetClassInfo(ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  ITypeLib* lib = nullptr;
  HRESULT hr = ControlTypeLib(&lib);
  if (FAILED(hr)) return hr;
  hr = lib->GetTypeInfoOfGuid(CLSID_VelmoraX, info);
  lib->Release();
  return hr;
}

HRESULT OleControl::GetGUID(DWORD kind, GUID* guid) {
  if (!guid) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *guid = IID_NULL;
    return E_INVALIDARG;
  }
  *guid = DIID_IVelmoraXEvents;
  return S_OK;
}

HRESULT OleControl::InterfaceSupportsErrorInfo(REFIID riid) { return IsObjectInterface(riid) ? S_OK : S_FALSE; }

// ---- Object safety ---------------------------------------------------------------------

HRESULT OleControl::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) {
  if (!supported || !enabled) return E_FAIL;
  if (!AnswersTo(riid)) return E_NOINTERFACE;
  const DWORD stored = SafetyOptions();
  if (riid == IID_IDispatch) {
    *supported = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
  } else if (IsPersistInterface(riid)) {
    *supported = INTERFACESAFE_FOR_UNTRUSTED_DATA;
  } else {
    *supported = 0;
    *enabled = 0;
    return E_FAIL;
  }
  *enabled = stored & *supported;
  return S_OK;
}

HRESULT OleControl::SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) {
  if (mask == 0 && enabled == 0) return E_FAIL;
  if (!AnswersTo(riid)) return E_NOINTERFACE;
  AddSafetyOptions(mask & enabled);
  const DWORD now = SafetyOptions();
  if (riid == IID_IDispatch) return (now & INTERFACESAFE_FOR_UNTRUSTED_CALLER) ? S_OK : E_FAIL;
  if (IsPersistInterface(riid)) return (now & INTERFACESAFE_FOR_UNTRUSTED_DATA) ? E_FAIL : S_OK;
  return E_FAIL;
}

}  // namespace control
