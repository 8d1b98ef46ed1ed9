// Type libraries: the automation interfaces ITypeLib and ITypeInfo over the
// image format of typelib_format.h, loading and registration. Of ITypeInfo
// only what hosts of this control ask for is served: the type attributes,
// function descriptions, names, IDs of names, documentation and the
// implemented types of a class; the rest answers E_NOTIMPL.
#pragma once

#include "platform/com/com.h"
#include "platform/com/ole.h"
#include "platform/com/typelib_format.h"

using HREFTYPE = DWORD;
using INT = int32_t;

enum TYPEKIND : int32_t {
  TKIND_ENUM = 0,
  TKIND_RECORD,
  TKIND_MODULE,
  TKIND_INTERFACE,
  TKIND_DISPATCH,
  TKIND_COCLASS,
  TKIND_ALIAS,
  TKIND_UNION,
};
enum FUNCKIND : int32_t { FUNC_VIRTUAL = 0, FUNC_PUREVIRTUAL, FUNC_NONVIRTUAL, FUNC_STATIC, FUNC_DISPATCH };
enum INVOKEKIND : int32_t {
  INVOKE_FUNC = 1,
  INVOKE_PROPERTYGET = 2,
  INVOKE_PROPERTYPUT = 4,
  INVOKE_PROPERTYPUTREF = 8,
};
enum CALLCONV : int32_t { CC_CDECL = 1, CC_STDCALL = 4 };
enum SYSKIND : int32_t { SYS_WIN16 = 0, SYS_WIN32, SYS_MAC, SYS_WIN64 };

constexpr VARTYPE VT_HRESULT = 25;
constexpr VARTYPE VT_VOID = 24;
constexpr VARTYPE VT_PTR = 26;
constexpr MEMBERID MEMBERID_NIL = -1;
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = MakeHr(0x8002801D);
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = MakeHr(0x80029C4A);
constexpr HRESULT TYPE_E_INVALIDSTATE = MakeHr(0x80028029);
constexpr HRESULT TYPE_E_REGISTRYACCESS = MakeHr(0x8002801C);

struct TYPEDESC {
  union {
    TYPEDESC* lptdesc;  // VT_PTR: what it points at
    HREFTYPE hreftype;
  };
  VARTYPE vt;
};

constexpr USHORT PARAMFLAG_FIN = 0x1, PARAMFLAG_FOUT = 0x2, PARAMFLAG_FLCID = 0x4, PARAMFLAG_FRETVAL = 0x8,
                 PARAMFLAG_FOPT = 0x10;

struct PARAMDESC {
  void* pparamdescex;
  USHORT wParamFlags;
};

struct IDLDESC {
  uintptr_t dwReserved;
  USHORT wIDLFlags;
};

struct ELEMDESC {
  TYPEDESC tdesc;
  union {
    IDLDESC idldesc;
    PARAMDESC paramdesc;
  };
};

struct TYPEATTR {
  GUID guid;
  LCID lcid;
  DWORD dwReserved;
  MEMBERID memidConstructor;
  MEMBERID memidDestructor;
  LPOLESTR lpstrSchema;
  ULONG cbSizeInstance;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cVars;
  WORD cImplTypes;
  WORD cbSizeVft;
  WORD cbAlignment;
  WORD wTypeFlags;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  TYPEDESC tdescAlias;
  IDLDESC idldescType;
};

struct FUNCDESC {
  MEMBERID memid;
  SCODE* lprgscode;
  ELEMDESC* lprgelemdescParam;
  FUNCKIND funckind;
  INVOKEKIND invkind;
  CALLCONV callconv;
  int16_t cParams;
  int16_t cParamsOpt;
  int16_t oVft;
  int16_t cScodes;
  ELEMDESC elemdescFunc;
  WORD wFuncFlags;
};

struct TLIBATTR {
  GUID guid;
  LCID lcid;
  SYSKIND syskind;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  WORD wLibFlags;
};

static_assert(sizeof(TYPEDESC) == 16 && sizeof(ELEMDESC) == 32);
static_assert(sizeof(TYPEATTR) == 96 && offsetof(TYPEATTR, typekind) == 44 && offsetof(TYPEATTR, cFuncs) == 48 &&
              offsetof(TYPEATTR, wTypeFlags) == 58 && offsetof(TYPEATTR, tdescAlias) == 64);
static_assert(sizeof(FUNCDESC) == 88 && offsetof(FUNCDESC, invkind) == 28 && offsetof(FUNCDESC, cParams) == 36 &&
              offsetof(FUNCDESC, oVft) == 40 && offsetof(FUNCDESC, elemdescFunc) == 48 &&
              offsetof(FUNCDESC, wFuncFlags) == 80);
static_assert(sizeof(TLIBATTR) == 32 && offsetof(TLIBATTR, syskind) == 20);

struct ITypeComp;
struct VARDESC;
struct ITypeLib;

struct ITypeInfo : IUnknown {
  virtual HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) = 0;
  virtual HRESULT GetTypeComp(ITypeComp** ppTComp) = 0;
  virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) = 0;
  virtual HRESULT GetVarDesc(UINT index, VARDESC** ppVarDesc) = 0;
  virtual HRESULT GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) = 0;
  virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) = 0;
  virtual HRESULT GetImplTypeFlags(UINT index, INT* pImplTypeFlags) = 0;
  virtual HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) = 0;
  virtual HRESULT Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                         VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
  virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                   BSTR* pBstrHelpFile) = 0;
  virtual HRESULT GetDllEntry(MEMBERID memid, INVOKEKIND invKind, BSTR* pBstrDllName, BSTR* pBstrName,
                              WORD* pwOrdinal) = 0;
  virtual HRESULT GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT AddressOfMember(MEMBERID memid, INVOKEKIND invKind, void** ppv) = 0;
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObj) = 0;
  virtual HRESULT GetMops(MEMBERID memid, BSTR* pBstrMops) = 0;
  virtual HRESULT GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) = 0;
  virtual void ReleaseTypeAttr(TYPEATTR* pTypeAttr) = 0;
  virtual void ReleaseFuncDesc(FUNCDESC* pFuncDesc) = 0;
  virtual void ReleaseVarDesc(VARDESC* pVarDesc) = 0;
};

struct ITypeLib : IUnknown {
  virtual UINT GetTypeInfoCount() = 0;
  virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT GetTypeInfoType(UINT index, TYPEKIND* pTKind) = 0;
  virtual HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) = 0;
  virtual HRESULT GetLibAttr(TLIBATTR** ppTLibAttr) = 0;
  virtual HRESULT GetTypeComp(ITypeComp** ppTComp) = 0;
  virtual HRESULT GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                   BSTR* pBstrHelpFile) = 0;
  virtual HRESULT IsName(LPOLESTR szNameBuf, ULONG lHashVal, BOOL* pfName) = 0;
  virtual HRESULT FindName(LPOLESTR szNameBuf, ULONG lHashVal, ITypeInfo** ppTInfo, MEMBERID* rgMemId,
                           USHORT* pcFound) = 0;
  virtual void ReleaseTLibAttr(TLIBATTR* pTLibAttr) = 0;
};

extern "C" {
// Loads the type library of a file: its ".velmora_typelib" ELF section, else
// the file of the same path with the extension replaced by ".tlb".
// TYPE_E_CANTLOADLIBRARY when neither holds a valid one.
HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);
// Registers the library under HKCR\TypeLib\{libid}\major.minor (help string,
// 0\linux64 = fullPath, FLAGS, HELPDIR = helpDir) and each interface under
// HKCR\Interface\{iid}. TYPE_E_REGISTRYACCESS when a key cannot be written.
HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
}

namespace com {

// A type library object over decoded data. One reference.
ITypeLib* CreateTypeLib(platform::typelib::TypeLibData data);
// LoadTypeLib with a UTF-8 path and the reason of a failure.
HRESULT LoadTypeLibFile(const std::string& path, ITypeLib** pptlib, std::string* error = nullptr);

GUID ToGuid(const platform::typelib::GuidBytes& bytes);
platform::typelib::GuidBytes ToGuidBytes(const GUID& guid);

}  // namespace com
