#include "platform/com/typelib.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "platform/registry.h"

namespace {

using platform::typelib::Func;
using platform::typelib::Param;
using platform::typelib::TypeInfoData;
using platform::typelib::TypeKind;
using platform::typelib::TypeLibData;

constexpr WORD kDispatchSlots = 7;  // IUnknown's three and IDispatch's four

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = char16_t(x + 32);
    if (y >= u'A' && y <= u'Z') y = char16_t(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::u16string_view View(const OLECHAR* s) { return s ? std::u16string_view(s) : std::u16string_view(); }

bool IsDualOrInterface(const TypeInfoData& t) {
  return t.kind == TypeKind::Interface || (t.typeFlags & platform::typelib::kTypeFlagDual) != 0;
}

// One allocation per function description, released in one piece.
struct FuncDescBlock {
  FUNCDESC desc;
  ELEMDESC params[platform::typelib::kMaxParams];
  TYPEDESC pointees[platform::typelib::kMaxParams + 1];
};
static_assert(offsetof(FuncDescBlock, desc) == 0);

void FillElem(ELEMDESC& e, TYPEDESC& pointee, VARTYPE vt, USHORT flags) {
  std::memset(&e, 0, sizeof e);
  if (vt & VT_BYREF) {
    pointee.vt = VARTYPE(vt & ~VT_BYREF);
    e.tdesc.vt = VT_PTR;
    e.tdesc.lptdesc = &pointee;
  } else {
    e.tdesc.vt = vt;
  }
  e.paramdesc.wParamFlags = flags;
}

class TypeLibImpl;

class TypeInfoImpl final : public ITypeInfo {
 public:
  TypeInfoImpl(TypeLibImpl* lib, UINT index);

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITypeInfo) {
      *ppv = static_cast<ITypeInfo*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override;

  HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) override;
  HRESULT GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override;
  HRESULT GetVarDesc(UINT, VARDESC**) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) override;
  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override;
  HRESULT GetImplTypeFlags(UINT index, INT* pImplTypeFlags) override;
  HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override;
  HRESULT Invoke(void*, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
  HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                           BSTR* pBstrHelpFile) override;
  HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) override;
  HRESULT AddressOfMember(MEMBERID, INVOKEKIND, void**) override { return E_NOTIMPL; }
  HRESULT CreateInstance(IUnknown*, REFIID, void** ppvObj) override {
    if (ppvObj) *ppvObj = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetMops(MEMBERID, BSTR* pBstrMops) override {
    if (!pBstrMops) return E_INVALIDARG;
    *pBstrMops = nullptr;
    return S_OK;
  }
  HRESULT GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;
  void ReleaseTypeAttr(TYPEATTR* pTypeAttr) override { delete pTypeAttr; }
  void ReleaseFuncDesc(FUNCDESC* pFuncDesc) override { delete reinterpret_cast<FuncDescBlock*>(pFuncDesc); }
  void ReleaseVarDesc(VARDESC*) override {}

 private:
  ~TypeInfoImpl();
  const TypeInfoData& type() const;

  std::atomic<ULONG> refs_{1};
  TypeLibImpl* lib_;
  UINT index_;
};

class TypeLibImpl final : public ITypeLib {
 public:
  explicit TypeLibImpl(TypeLibData data) : data_(std::move(data)) {}

  const TypeLibData& data() const { return data_; }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITypeLib) {
      *ppv = static_cast<ITypeLib*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  UINT GetTypeInfoCount() override { return UINT(data_.types.size()); }
  HRESULT GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override {
    if (!ppTInfo) return E_INVALIDARG;
    *ppTInfo = nullptr;
    if (index >= data_.types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *ppTInfo = new (std::nothrow) TypeInfoImpl(this, index);
    return *ppTInfo ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT GetTypeInfoType(UINT index, TYPEKIND* pTKind) override {
    if (!pTKind) return E_INVALIDARG;
    if (index >= data_.types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pTKind = TYPEKIND(data_.types[index].kind);
    return S_OK;
  }
  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override {
    if (!ppTinfo) return E_INVALIDARG;
    *ppTinfo = nullptr;
    for (UINT i = 0; i < data_.types.size(); ++i)
      if (com::ToGuid(data_.types[i].guid) == guid) return GetTypeInfo(i, ppTinfo);
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetLibAttr(TLIBATTR** ppTLibAttr) override {
    if (!ppTLibAttr) return E_INVALIDARG;
    auto* a = new (std::nothrow) TLIBATTR{};
    if (!a) return E_OUTOFMEMORY;
    a->guid = com::ToGuid(data_.libid);
    a->lcid = data_.lcid;
    a->syskind = SYS_WIN64;
    a->wMajorVerNum = data_.majorVersion;
    a->wMinorVerNum = data_.minorVersion;
    a->wLibFlags = data_.libFlags;
    *ppTLibAttr = a;
    return S_OK;
  }
  HRESULT GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                           BSTR* pBstrHelpFile) override {
    const std::string* name = &data_.name;
    const std::string* help = &data_.helpString;
    if (index != -1) {
      if (index < 0 || size_t(index) >= data_.types.size()) return TYPE_E_ELEMENTNOTFOUND;
      name = &data_.types[size_t(index)].name;
      help = &data_.types[size_t(index)].helpString;
    }
    if (pBstrName) *pBstrName = com::AllocBstrFromAnsi(*name);
    if (pBstrDocString) *pBstrDocString = com::AllocBstrFromAnsi(*help);
    if (pdwHelpContext) *pdwHelpContext = 0;
    if (pBstrHelpFile) *pBstrHelpFile = nullptr;
    return S_OK;
  }
  HRESULT IsName(LPOLESTR szNameBuf, ULONG, BOOL* pfName) override {
    if (!szNameBuf || !pfName) return E_INVALIDARG;
    *pfName = 0;
    auto match = [&](const std::string& stored) {
      std::u16string wide = com::AnsiToWide(stored);
      if (!EqualsNoCase(View(szNameBuf), wide)) return false;
      // The caller's buffer gets the stored spelling.
      std::memcpy(szNameBuf, wide.data(), wide.size() * sizeof(OLECHAR));
      *pfName = 1;
      return true;
    };
    for (const TypeInfoData& t : data_.types) {
      if (match(t.name)) return S_OK;
      for (const Func& f : t.funcs) {
        if (match(f.name)) return S_OK;
        for (const Param& p : f.params)
          if (match(p.name)) return S_OK;
      }
    }
    return S_OK;
  }
  HRESULT FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT*) override { return E_NOTIMPL; }
  void ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { delete pTLibAttr; }

 private:
  ~TypeLibImpl() = default;

  std::atomic<ULONG> refs_{1};
  const TypeLibData data_;
};

TypeInfoImpl::TypeInfoImpl(TypeLibImpl* lib, UINT index) : lib_(lib), index_(index) { lib_->AddRef(); }
TypeInfoImpl::~TypeInfoImpl() { lib_->Release(); }

ULONG TypeInfoImpl::Release() {
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

const TypeInfoData& TypeInfoImpl::type() const { return lib_->data().types[index_]; }

HRESULT TypeInfoImpl::GetTypeAttr(TYPEATTR** ppTypeAttr) {
  if (!ppTypeAttr) return E_INVALIDARG;
  auto* a = new (std::nothrow) TYPEATTR{};
  if (!a) return E_OUTOFMEMORY;
  const TypeInfoData& t = type();
  a->guid = com::ToGuid(t.guid);
  a->lcid = lib_->data().lcid;
  a->memidConstructor = MEMBERID_NIL;
  a->memidDestructor = MEMBERID_NIL;
  a->cbSizeInstance = sizeof(void*);
  a->typekind = TYPEKIND(t.kind);
  a->cFuncs = WORD(t.funcs.size());
  a->cImplTypes = WORD(t.impls.size());
  if (t.kind != TypeKind::CoClass)
    a->cbSizeVft = WORD((kDispatchSlots + (IsDualOrInterface(t) ? t.funcs.size() : 0)) * sizeof(void*));
  a->cbAlignment = alignof(void*);
  a->wTypeFlags = t.typeFlags;
  a->wMajorVerNum = lib_->data().majorVersion;
  a->wMinorVerNum = lib_->data().minorVersion;
  a->tdescAlias.vt = VT_EMPTY;
  *ppTypeAttr = a;
  return S_OK;
}

HRESULT TypeInfoImpl::GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) {
  if (!ppFuncDesc) return E_INVALIDARG;
  *ppFuncDesc = nullptr;
  const TypeInfoData& t = type();
  if (index >= t.funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
  const Func& f = t.funcs[index];
  auto* block = new (std::nothrow) FuncDescBlock{};
  if (!block) return E_OUTOFMEMORY;
  FUNCDESC& d = block->desc;
  d.memid = f.memid;
  d.lprgelemdescParam = f.params.empty() ? nullptr : block->params;
  d.funckind = t.kind == TypeKind::Interface ? FUNC_PUREVIRTUAL : FUNC_DISPATCH;
  d.invkind = INVOKEKIND(f.invkind);
  d.callconv = CC_STDCALL;
  d.cParams = int16_t(f.params.size());
  d.oVft = IsDualOrInterface(t) ? int16_t((kDispatchSlots + index) * sizeof(void*)) : 0;
  for (size_t i = 0; i < f.params.size(); ++i)
    FillElem(block->params[i], block->pointees[i], f.params[i].vt, f.params[i].flags);
  FillElem(d.elemdescFunc, block->pointees[platform::typelib::kMaxParams], f.returnVt, 0);
  d.wFuncFlags = f.flags;
  *ppFuncDesc = &d;
  return S_OK;
}

HRESULT TypeInfoImpl::GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) {
  if (!rgBstrNames || !pcNames) return E_INVALIDARG;
  *pcNames = 0;
  for (const Func& f : type().funcs) {
    if (f.memid != memid) continue;
    UINT n = 0;
    if (n < cMaxNames) rgBstrNames[n++] = com::AllocBstrFromAnsi(f.name);
    for (const Param& p : f.params)
      if (!(p.flags & platform::typelib::kParamRetval) && n < cMaxNames) rgBstrNames[n++] = com::AllocBstrFromAnsi(p.name);
    *pcNames = n;
    return S_OK;
  }
  return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TypeInfoImpl::GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) {
  if (!pRefType) return E_INVALIDARG;
  const TypeInfoData& t = type();
  if (index >= t.impls.size()) return TYPE_E_ELEMENTNOTFOUND;
  *pRefType = t.impls[index].typeIndex;
  return S_OK;
}

HRESULT TypeInfoImpl::GetImplTypeFlags(UINT index, INT* pImplTypeFlags) {
  if (!pImplTypeFlags) return E_INVALIDARG;
  const TypeInfoData& t = type();
  if (index >= t.impls.size()) return TYPE_E_ELEMENTNOTFOUND;
  *pImplTypeFlags = INT(t.impls[index].flags);
  return S_OK;
}

HRESULT TypeInfoImpl::GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) {
  if (!rgszNames || !pMemId || cNames == 0) return E_INVALIDARG;
  for (UINT i = 0; i < cNames; ++i) pMemId[i] = MEMBERID_NIL;
  const TypeInfoData& t = type();
  const Func* member = nullptr;
  for (const Func& f : t.funcs) {
    if (EqualsNoCase(View(rgszNames[0]), com::AnsiToWide(f.name))) {
      member = &f;
      break;
    }
  }
  if (!member) return DISP_E_UNKNOWNNAME;
  pMemId[0] = member->memid;
  HRESULT hr = S_OK;
  for (UINT i = 1; i < cNames; ++i) {
    // Parameter names of any function of the member (a property's get and put).
    for (const Func& f : t.funcs) {
      if (f.memid != member->memid) continue;
      for (size_t p = 0; p < f.params.size() && pMemId[i] == MEMBERID_NIL; ++p)
        if (EqualsNoCase(View(rgszNames[i]), com::AnsiToWide(f.params[p].name))) pMemId[i] = MEMBERID(p);
    }
    if (pMemId[i] == MEMBERID_NIL) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT TypeInfoImpl::GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                       DWORD* pdwHelpContext, BSTR* pBstrHelpFile) {
  const TypeInfoData& t = type();
  const std::string* name = nullptr;
  std::string help;
  if (memid == MEMBERID_NIL) {
    name = &t.name;
    help = t.helpString;
  } else {
    for (const Func& f : t.funcs)
      if (f.memid == memid) {
        name = &f.name;
        break;
      }
    if (!name) return TYPE_E_ELEMENTNOTFOUND;
  }
  if (pBstrName) *pBstrName = com::AllocBstrFromAnsi(*name);
  if (pBstrDocString) *pBstrDocString = com::AllocBstrFromAnsi(help);
  if (pdwHelpContext) *pdwHelpContext = 0;
  if (pBstrHelpFile) *pBstrHelpFile = nullptr;
  return S_OK;
}

HRESULT TypeInfoImpl::GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) {
  if (!ppTInfo) return E_INVALIDARG;
  *ppTInfo = nullptr;
  // A reference names a type of the same library by its index.
  if (hRefType >= lib_->data().types.size()) return TYPE_E_ELEMENTNOTFOUND;
  return lib_->GetTypeInfo(hRefType, ppTInfo);
}

HRESULT TypeInfoImpl::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
  if (ppTLib) {
    *ppTLib = lib_;
    lib_->AddRef();
  }
  if (pIndex) *pIndex = index_;
  return S_OK;
}

std::string Narrow(LPCOLESTR s) { return com::WideToAnsi(View(s)); }

}  // namespace

namespace com {

GUID ToGuid(const platform::typelib::GuidBytes& bytes) {
  GUID g;
  static_assert(sizeof g == 16);
  std::memcpy(&g, bytes.data(), 16);
  return g;
}

platform::typelib::GuidBytes ToGuidBytes(const GUID& guid) {
  platform::typelib::GuidBytes b;
  std::memcpy(b.data(), &guid, 16);
  return b;
}

ITypeLib* CreateTypeLib(TypeLibData data) { return new TypeLibImpl(std::move(data)); }

HRESULT LoadTypeLibFile(const std::string& path, ITypeLib** pptlib, std::string* error) {
  if (!pptlib) return E_POINTER;
  *pptlib = nullptr;
  auto data = platform::typelib::LoadTypeLibData(path, error);
  if (!data) return TYPE_E_CANTLOADLIBRARY;
  *pptlib = new (std::nothrow) TypeLibImpl(std::move(*data));
  return *pptlib ? S_OK : E_OUTOFMEMORY;
}

}  // namespace com

extern "C" HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
  if (!szFile) return E_INVALIDARG;
  return com::LoadTypeLibFile(Narrow(szFile), pptlib);
}

extern "C" HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
  if (!ptlib || !szFullPath) return E_INVALIDARG;
  TLIBATTR* attr = nullptr;
  HRESULT hr = ptlib->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  const std::string libid = com::GuidToString(attr->guid);
  const std::string version = std::to_string(attr->wMajorVerNum) + "." + std::to_string(attr->wMinorVerNum);
  const std::string flags = std::to_string(attr->wLibFlags);
  ptlib->ReleaseTLibAttr(attr);

  com::Bstr name, help;
  ptlib->GetDocumentation(-1, name.out(), help.out(), nullptr, nullptr);
  const std::string key = "HKCR\\TypeLib\\" + libid + "\\" + version;
  bool ok = platform::RegistrySetValue(key, "", com::WideToAnsi(help.view().empty() ? name.view() : help.view()));
  ok = ok && platform::RegistrySetValue(key + "\\0\\linux64", "", Narrow(szFullPath));
  ok = ok && platform::RegistrySetValue(key + "\\FLAGS", "", flags);
  if (ok && szHelpDir) ok = platform::RegistrySetValue(key + "\\HELPDIR", "", Narrow(szHelpDir));
  if (!ok) return TYPE_E_REGISTRYACCESS;

  // Dispatch and dual interfaces go through the automation proxy.
  const std::string proxy = com::GuidToString(CLSID_PSOAInterface);
  for (UINT i = 0; i < ptlib->GetTypeInfoCount(); ++i) {
    ITypeInfo* info = nullptr;
    if (FAILED(ptlib->GetTypeInfo(i, &info))) continue;
    TYPEATTR* ta = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&ta))) {
      if (ta->typekind == TKIND_DISPATCH || ta->typekind == TKIND_INTERFACE) {
        com::Bstr typeName;
        info->GetDocumentation(MEMBERID_NIL, typeName.out(), nullptr, nullptr, nullptr);
        const std::string iface = "HKCR\\Interface\\" + com::GuidToString(ta->guid);
        ok = ok && platform::RegistrySetValue(iface, "", com::WideToAnsi(typeName.view()));
        ok = ok && platform::RegistrySetValue(iface + "\\ProxyStubClsid", "", proxy);
        ok = ok && platform::RegistrySetValue(iface + "\\ProxyStubClsid32", "", proxy);
        ok = ok && platform::RegistrySetValue(iface + "\\TypeLib", "", libid);
        ok = ok && platform::RegistrySetValue(iface + "\\TypeLib", "Version", version);
      }
      info->ReleaseTypeAttr(ta);
    }
    info->Release();
  }
  return ok ? S_OK : TYPE_E_REGISTRYACCESS;
}
