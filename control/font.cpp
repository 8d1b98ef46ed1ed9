#include "control/font.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace control {
namespace {

struct FontProperty {
  const char16_t* name;
  DISPID dispid;
  VARTYPE type;
};
constexpr FontProperty kProperties[] = {
    {u"Name", 0, VT_BSTR},      {u"Size", 2, VT_R4},      {u"Bold", 3, VT_BOOL},
    {u"Italic", 4, VT_BOOL},    {u"Underline", 5, VT_BOOL}, {u"Strikethrough", 6, VT_BOOL},
};

bool SameNoCase(const char16_t* a, const char16_t* b) {
  for (;; ++a, ++b) {
    char16_t x = *a, y = *b;
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return false;
    if (!x) return true;
  }
}

class Font final : public IDispatch {
 public:
  explicit Font(const FontData& d) : data_(d) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IFontDisp) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT GetTypeInfoCount(UINT* n) override {
    if (!n) return E_POINTER;
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** p) override {
    if (p) *p = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids || count == 0) return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      if (i == 0 && names[0])
        for (const FontProperty& p : kProperties)
          if (SameNoCase(names[0], p.name)) ids[0] = p.dispid;
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                 UINT* argErr) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    const FontProperty* prop = nullptr;
    for (const FontProperty& p : kProperties)
      if (p.dispid == id) prop = &p;
    if (!prop) return DISP_E_MEMBERNOTFOUND;
    if (!params) return E_INVALIDARG;
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
      if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
      if (params->cNamedArgs != 1 || !params->rgdispidNamedArgs || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
        return DISP_E_PARAMNOTFOUND;
      com::Variant v;
      const HRESULT hr = VariantChangeType(&v, &params->rgvarg[0], 0, prop->type);
      if (FAILED(hr)) {
        if (argErr) *argErr = 0;
        return hr;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      switch (id) {
        case 0: data_.name = std::u16string(com::BstrView(v.bstrVal)); break;
        case 2: data_.size = v.fltVal; break;
        case 3: data_.bold = v.boolVal != 0; break;
        case 4: data_.italic = v.boolVal != 0; break;
        case 5: data_.underline = v.boolVal != 0; break;
        case 6: data_.strikethrough = v.boolVal != 0; break;
      }
      return S_OK;
    }
    if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    if (params->cNamedArgs) return DISP_E_NONAMEDARGS;
    if (params->cArgs) return DISP_E_BADPARAMCOUNT;
    if (!result) return S_OK;
    std::lock_guard<std::mutex> lock(mutex_);
    VariantInit(result);
    result->vt = prop->type;
    switch (id) {
      case 0:
        result->bstrVal = SysAllocStringLen(data_.name.data(), static_cast<UINT>(data_.name.size()));
        if (!result->bstrVal) {
          result->vt = VT_EMPTY;
          return E_OUTOFMEMORY;
        }
        break;
      case 2: result->fltVal = data_.size; break;
      case 3: result->boolVal = data_.bold ? VARIANT_TRUE : VARIANT_FALSE; break;
      case 4: result->boolVal = data_.italic ? VARIANT_TRUE : VARIANT_FALSE; break;
      case 5: result->boolVal = data_.underline ? VARIANT_TRUE : VARIANT_FALSE; break;
      case 6: result->boolVal = data_.strikethrough ? VARIANT_TRUE : VARIANT_FALSE; break;
    }
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
  std::mutex mutex_;
  FontData data_;
};

}  // namespace

IDispatch* CreateFont(const FontData& data) { return new Font(data); }

bool ReadFont(IDispatch* font, FontData* out) {
  if (!font || !out) return false;
  FontData d;
  for (const FontProperty& p : kProperties) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    com::Variant raw, v;
    if (FAILED(font->Invoke(p.dispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &raw, nullptr, nullptr))) return false;
    if (FAILED(VariantChangeType(&v, &raw, 0, p.type))) return false;
    switch (p.dispid) {
      case 0: d.name = std::u16string(com::BstrView(v.bstrVal)); break;
      case 2: d.size = v.fltVal; break;
      case 3: d.bold = v.boolVal != 0; break;
      case 4: d.italic = v.boolVal != 0; break;
      case 5: d.underline = v.boolVal != 0; break;
      case 6: d.strikethrough = v.boolVal != 0; break;
    }
  }
  *out = d;
  return true;
}

}  // namespace control
