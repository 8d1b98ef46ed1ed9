#include "platform/com/com.h"

#include <atomic>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// ---- BSTR --------------------------------------------------------------------

namespace {

// Allocates a BSTR of byteLen bytes (plus the length prefix and a NUL
// character), copying from src when given, zero-filled otherwise.
BSTR AllocBytes(const void* src, size_t byteLen) {
  if (byteLen > 0x7FFFFFF0u) return nullptr;
  auto* base = static_cast<unsigned char*>(std::malloc(4 + byteLen + sizeof(OLECHAR) + 1));
  if (!base) return nullptr;
  const uint32_t len32 = static_cast<uint32_t>(byteLen);
  std::memcpy(base, &len32, 4);
  if (src)
    std::memcpy(base + 4, src, byteLen);
  else
    std::memset(base + 4, 0, byteLen);
  std::memset(base + 4 + byteLen, 0, sizeof(OLECHAR) + 1);
  return reinterpret_cast<BSTR>(base + 4);
}

}  // namespace

extern "C" BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  return AllocBytes(strIn, size_t{ui} * sizeof(OLECHAR));
}

extern "C" BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  size_t n = 0;
  while (psz[n]) ++n;
  return AllocBytes(psz, n * sizeof(OLECHAR));
}

extern "C" void SysFreeString(BSTR bstr) {
  if (bstr) std::free(reinterpret_cast<unsigned char*>(bstr) - 4);
}

extern "C" UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  uint32_t len;
  std::memcpy(&len, reinterpret_cast<unsigned char*>(bstr) - 4, 4);
  return len;
}

extern "C" UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(OLECHAR); }

// ---- Text --------------------------------------------------------------------

namespace com {

std::u16string AnsiToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    char32_t cp = c;
    size_t len = 1;
    if (c >= 0xC2 && c <= 0xF4) {
      const size_t need = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      bool ok = i + need <= n;
      char32_t v = c & (0x3F >> (need - 1));
      for (size_t k = 1; ok && k < need; ++k) {
        if ((s[i + k] & 0xC0) != 0x80)
          ok = false;
        else
          v = (v << 6) | (s[i + k] & 0x3F);
      }
      // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
      if (ok && need == 3 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) ok = false;
      if (ok && need == 4 && (v < 0x10000 || v > 0x10FFFF)) ok = false;
      if (ok) {
        cp = v;
        len = need;
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

std::string WideToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

BSTR AllocBstr(std::u16string_view text) {
  BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!b) throw std::bad_alloc();
  return b;
}

BSTR AllocBstrFromAnsi(std::string_view text) { return AllocBstr(AnsiToWide(text)); }

std::u16string_view BstrView(BSTR b) { return b ? std::u16string_view(b, SysStringLen(b)) : std::u16string_view(); }

std::string GuidToString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

bool GuidFromString(const std::string& text, GUID* g) {
  unsigned d1 = 0, d[10] = {};
  if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d[0], &d[1], &d[2], &d[3], &d[4],
                  &d[5], &d[6], &d[7], &d[8], &d[9]) != 11)
    return false;
  g->Data1 = d1;
  g->Data2 = uint16_t(d[0]);
  g->Data3 = uint16_t(d[1]);
  for (int i = 0; i < 8; ++i) g->Data4[i] = uint8_t(d[2 + i]);
  return true;
}

}  // namespace com

// ---- VARIANT -----------------------------------------------------------------

namespace {

bool IsPlainType(VARTYPE t) {
  switch (t) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_BSTR:
    case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN: case VT_UI4: case VT_I8:
      return true;
    default:
      return false;
  }
}

bool IsValidType(VARTYPE vt) {
  if (vt & VT_BYREF) {
    const VARTYPE base = vt & ~VT_BYREF;
    return base == VT_VARIANT || (IsPlainType(base) && base != VT_EMPTY && base != VT_NULL);
  }
  return IsPlainType(vt);
}

// Reads the value a by-reference VARIANT points at into a plain one (no new
// references taken).
HRESULT Deref(const VARIANT* src, VARIANT* out) {
  *out = VARIANT{};
  if (!(src->vt & VT_BYREF)) {
    *out = *src;
    return S_OK;
  }
  if (!src->byref) return E_POINTER;
  const VARTYPE base = src->vt & ~VT_BYREF;
  out->vt = base;
  switch (base) {
    case VT_I2: out->iVal = *src->piVal; break;
    case VT_I4: out->lVal = *src->plVal; break;
    case VT_ERROR: out->scode = *src->plVal; break;
    case VT_UI4: out->ulVal = *src->pulVal; break;
    case VT_I8: out->llVal = *src->pllVal; break;
    case VT_R4: out->fltVal = *src->pfltVal; break;
    case VT_R8: out->dblVal = *static_cast<const double*>(src->byref); break;
    case VT_BOOL: out->boolVal = *src->pboolVal; break;
    case VT_BSTR: out->bstrVal = *src->pbstrVal; break;
    case VT_DISPATCH: out->pdispVal = *src->ppdispVal; break;
    case VT_UNKNOWN: out->punkVal = *src->ppunkVal; break;
    case VT_VARIANT:
      if (src->pvarVal->vt & VT_BYREF) return DISP_E_TYPEMISMATCH;
      *out = *src->pvarVal;
      break;
    default: return DISP_E_BADVARTYPE;
  }
  return S_OK;
}

// Copies a plain value, taking new references.
HRESULT CopyPlain(const VARIANT& v, VARIANT* out) {
  *out = v;
  if (v.vt == VT_BSTR && v.bstrVal) {
    out->bstrVal = AllocBytes(v.bstrVal, SysStringByteLen(v.bstrVal));
    if (!out->bstrVal) {
      out->vt = VT_EMPTY;
      return E_OUTOFMEMORY;
    }
  } else if ((v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) && v.punkVal) {
    v.punkVal->AddRef();
  }
  return S_OK;
}

// A value reduced to a number for conversion.
struct Number {
  bool isFloat = false;
  int64_t i = 0;
  double d = 0;
};

bool ParseNumber(std::u16string_view text, Number* n) {
  std::string ascii;
  for (char16_t c : text) {
    if (c == 0 || c > 0x7F) return false;
    ascii.push_back(static_cast<char>(c));
  }
  size_t b = ascii.find_first_not_of(" \t");
  size_t e = ascii.find_last_not_of(" \t");
  if (b == std::string::npos) return false;
  ascii = ascii.substr(b, e - b + 1);
  const char* s = ascii.c_str();
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s, &end, 10);
  if (*end == 0 && errno == 0) {
    n->i = v;
    return true;
  }
  errno = 0;
  double d = std::strtod(s, &end);
  if (*end != 0 || end == s || std::isnan(d)) return false;
  n->isFloat = true;
  n->d = d;
  return true;
}

bool EqualsNoCase(std::u16string_view a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char16_t c = a[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != static_cast<char16_t>(b[i])) return false;
  }
  return true;
}

HRESULT ToNumber(const VARIANT& v, Number* n, bool forBool) {
  switch (v.vt) {
    case VT_EMPTY: n->i = 0; return S_OK;
    case VT_I2: n->i = v.iVal; return S_OK;
    case VT_I4: n->i = v.lVal; return S_OK;
    case VT_UI4: n->i = v.ulVal; return S_OK;
    case VT_I8: n->i = v.llVal; return S_OK;
    case VT_BOOL: n->i = v.boolVal ? -1 : 0; return S_OK;
    case VT_R4: n->isFloat = true; n->d = v.fltVal; return S_OK;
    case VT_R8: n->isFloat = true; n->d = v.dblVal; return S_OK;
    case VT_BSTR: {
      const auto text = com::BstrView(v.bstrVal);
      if (forBool && EqualsNoCase(text, "true")) { n->i = -1; return S_OK; }
      if (forBool && EqualsNoCase(text, "false")) { n->i = 0; return S_OK; }
      return ParseNumber(text, n) ? S_OK : DISP_E_TYPEMISMATCH;
    }
    default: return DISP_E_TYPEMISMATCH;
  }
}

HRESULT ToInteger(const Number& n, int64_t lo, int64_t hi, int64_t* out) {
  if (!n.isFloat) {
    if (n.i < lo || n.i > hi) return DISP_E_OVERFLOW;
    *out = n.i;
    return S_OK;
  }
  // Round half to even, as automation does.
  const double r = std::nearbyint(n.d);
  if (!(r >= static_cast<double>(lo) && r <= static_cast<double>(hi))) return DISP_E_OVERFLOW;
  if (r >= 9223372036854775807.0) return DISP_E_OVERFLOW;
  *out = static_cast<int64_t>(r);
  return S_OK;
}

HRESULT NumberToBstr(const VARIANT& v, USHORT flags, VARIANT* out) {
  char buf[64];
  switch (v.vt) {
    case VT_EMPTY: buf[0] = 0; break;
    case VT_I2: std::snprintf(buf, sizeof buf, "%d", v.iVal); break;
    case VT_I4: std::snprintf(buf, sizeof buf, "%d", v.lVal); break;
    case VT_UI4: std::snprintf(buf, sizeof buf, "%u", v.ulVal); break;
    case VT_I8: std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v.llVal)); break;
    case VT_R4: std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(v.fltVal)); break;
    case VT_R8: std::snprintf(buf, sizeof buf, "%.15g", v.dblVal); break;
    case VT_BOOL:
      std::snprintf(buf, sizeof buf, "%s", (flags & VARIANT_ALPHABOOL) ? (v.boolVal ? "True" : "False")
                                                                         : (v.boolVal ? "-1" : "0"));
      break;
    default: return DISP_E_TYPEMISMATCH;
  }
  std::u16string wide(buf, buf + std::strlen(buf));
  out->vt = VT_BSTR;
  out->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (!out->bstrVal) {
    out->vt = VT_EMPTY;
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT Convert(const VARIANT& v, USHORT flags, VARTYPE vt, VARIANT* out, int depth);

// An object converts through its default value, as automation does.
HRESULT ObjectValue(IUnknown* unk, USHORT flags, VARTYPE vt, VARIANT* out, int depth) {
  if (!unk || depth > 4) return DISP_E_TYPEMISMATCH;
  IDispatch* disp = nullptr;
  if (FAILED(unk->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp))) || !disp)
    return DISP_E_TYPEMISMATCH;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = disp->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
  disp->Release();
  if (FAILED(hr)) {
    VariantClear(&value);
    return DISP_E_TYPEMISMATCH;
  }
  hr = Convert(value, flags, vt, out, depth + 1);
  VariantClear(&value);
  return hr;
}

// Converts a plain value into out (which the caller has emptied).
HRESULT Convert(const VARIANT& v, USHORT flags, VARTYPE vt, VARIANT* out, int depth) {
  if (!IsPlainType(v.vt)) return DISP_E_BADVARTYPE;
  if (v.vt == vt) return CopyPlain(v, out);
  if (vt == VT_EMPTY) return S_OK;
  if (v.vt == VT_NULL || v.vt == VT_ERROR) return DISP_E_TYPEMISMATCH;
  if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
    if (v.vt != VT_DISPATCH && v.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
    out->vt = vt;
    out->punkVal = nullptr;
    if (!v.punkVal) return S_OK;
    const HRESULT hr = v.punkVal->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown,
                                                 reinterpret_cast<void**>(&out->punkVal));
    if (FAILED(hr) || !out->punkVal) {
      out->vt = VT_EMPTY;
      out->punkVal = nullptr;
      return vt == VT_DISPATCH ? DISP_E_TYPEMISMATCH : hr;
    }
    return S_OK;
  }
  if (v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) return ObjectValue(v.punkVal, flags, vt, out, depth);
  if (vt == VT_BSTR) {
    if (v.vt == VT_EMPTY) {
      out->vt = VT_BSTR;
      out->bstrVal = SysAllocStringLen(nullptr, 0);
      if (!out->bstrVal) { out->vt = VT_EMPTY; return E_OUTOFMEMORY; }
      return S_OK;
    }
    return NumberToBstr(v, flags, out);
  }
  Number n;
  HRESULT hr = ToNumber(v, &n, vt == VT_BOOL);
  if (FAILED(hr)) return hr;
  int64_t i = 0;
  switch (vt) {
    case VT_I2:
      if (FAILED(hr = ToInteger(n, INT16_MIN, INT16_MAX, &i))) return hr;
      out->iVal = static_cast<int16_t>(i);
      break;
    case VT_I4:
      if (FAILED(hr = ToInteger(n, INT32_MIN, INT32_MAX, &i))) return hr;
      out->lVal = static_cast<int32_t>(i);
      break;
    case VT_UI4:
      if (FAILED(hr = ToInteger(n, 0, UINT32_MAX, &i))) return hr;
      out->ulVal = static_cast<uint32_t>(i);
      break;
    case VT_I8:
      if (FAILED(hr = ToInteger(n, INT64_MIN, INT64_MAX, &i))) return hr;
      out->llVal = i;
      break;
    case VT_BOOL:
      out->boolVal = (n.isFloat ? n.d != 0 : n.i != 0) ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case VT_R4: {
      const double d = n.isFloat ? n.d : static_cast<double>(n.i);
      if (std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
      out->fltVal = static_cast<float>(d);
      break;
    }
    case VT_R8:
      out->dblVal = n.isFloat ? n.d : static_cast<double>(n.i);
      break;
    default:
      return DISP_E_BADVARTYPE;
  }
  out->vt = vt;
  return S_OK;
}

}  // namespace

extern "C" void VariantInit(VARIANT* pvarg) {
  if (pvarg) {
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  }
}

extern "C" HRESULT VariantClear(VARIANT* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (!IsValidType(pvarg->vt)) return DISP_E_BADVARTYPE;
  if (pvarg->vt == VT_BSTR) {
    SysFreeString(pvarg->bstrVal);
  } else if ((pvarg->vt == VT_DISPATCH || pvarg->vt == VT_UNKNOWN) && pvarg->punkVal) {
    pvarg->punkVal->Release();
  }
  pvarg->vt = VT_EMPTY;
  pvarg->llVal = 0;
  return S_OK;
}

extern "C" HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  if (!IsValidType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  if (pvargSrc->vt & VT_BYREF) {
    *pvargDest = *pvargSrc;
    return S_OK;
  }
  return CopyPlain(*pvargSrc, pvargDest);
}

extern "C" HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags, VARTYPE vt) {
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  if (!IsValidType(pvarSrc->vt)) return DISP_E_BADVARTYPE;
  if (!IsPlainType(vt) || vt == VT_NULL || vt == VT_ERROR) return DISP_E_BADVARTYPE;
  VARIANT plain;
  HRESULT hr = Deref(pvarSrc, &plain);
  if (FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  result.llVal = 0;
  hr = Convert(plain, wFlags, vt, &result, 0);
  if (FAILED(hr)) return hr;
  // dest may be src: the result is complete before dest is cleared.
  if (FAILED(hr = VariantClear(pvargDest))) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}

// ---- Error information ---------------------------------------------------------

namespace {

class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo {
 public:
  // IUnknown, reached through either base.
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
      *ppv = static_cast<IErrorInfo*>(this);
    } else if (riid == IID_ICreateErrorInfo) {
      *ppv = static_cast<ICreateErrorInfo*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  HRESULT GetGUID(GUID* g) override {
    if (!g) return E_POINTER;
    *g = guid_;
    return S_OK;
  }
  HRESULT GetSource(BSTR* b) override { return Get(source_, b); }
  HRESULT GetDescription(BSTR* b) override { return Get(description_, b); }
  HRESULT GetHelpFile(BSTR* b) override { return Get(helpFile_, b); }
  HRESULT GetHelpContext(DWORD* c) override {
    if (!c) return E_POINTER;
    *c = helpContext_;
    return S_OK;
  }

  HRESULT SetGUID(REFGUID g) override {
    guid_ = g;
    return S_OK;
  }
  HRESULT SetSource(LPOLESTR s) override { return Set(source_, s); }
  HRESULT SetDescription(LPOLESTR s) override { return Set(description_, s); }
  HRESULT SetHelpFile(LPOLESTR s) override { return Set(helpFile_, s); }
  HRESULT SetHelpContext(DWORD c) override {
    helpContext_ = c;
    return S_OK;
  }

 private:
  static HRESULT Get(const std::u16string& s, BSTR* b) {
    if (!b) return E_POINTER;
    *b = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return *b ? S_OK : E_OUTOFMEMORY;
  }
  static HRESULT Set(std::u16string& field, LPOLESTR s) {
    field = s ? std::u16string(s) : std::u16string();
    return S_OK;
  }

  std::atomic<ULONG> refs_{1};
  GUID guid_{};
  std::u16string source_, description_, helpFile_;
  DWORD helpContext_ = 0;
};

struct ThreadErrorInfo {
  IErrorInfo* info = nullptr;
  ~ThreadErrorInfo() {
    if (info) info->Release();
  }
};
thread_local ThreadErrorInfo threadErrorInfo;

}  // namespace

extern "C" HRESULT SetErrorInfo(ULONG, IErrorInfo* perrinfo) {
  if (perrinfo) perrinfo->AddRef();
  IErrorInfo* old = threadErrorInfo.info;
  threadErrorInfo.info = perrinfo;
  if (old) old->Release();
  return S_OK;
}

extern "C" HRESULT GetErrorInfo(ULONG, IErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_POINTER;
  *pperrinfo = threadErrorInfo.info;
  threadErrorInfo.info = nullptr;
  return *pperrinfo ? S_OK : S_FALSE;
}

extern "C" HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_POINTER;
  auto* info = new (std::nothrow) ErrorInfo;
  if (!info) {
    *pperrinfo = nullptr;
    return E_OUTOFMEMORY;
  }
  *pperrinfo = static_cast<ICreateErrorInfo*>(info);
  return S_OK;
}

namespace com {

void SetError(const std::u16string& description, const GUID& source, const IID& iid) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return;
  std::u16string desc = description;
  std::u16string src = AnsiToWide(GuidToString(source));
  create->SetDescription(desc.data());
  create->SetSource(src.data());
  create->SetGUID(iid);
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

}  // namespace com
