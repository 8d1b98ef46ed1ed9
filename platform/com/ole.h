// The OLE interfaces an in-process control and its host meet: class factory,
// embedding, in-place activation, views, persistence (streams, storages,
// property bags), class information, object safety. Same binary rules as
// com.h: 64-bit public layouts, slots in declaration order.
#pragma once

#include "platform/com/com.h"

// A window handle: the X11 window id, or a serial when drawing headless.
using HWND = uint64_t;
using BOOL = int32_t;
using HDC = void*;
using HMENU = void*;
using WPARAM = uint64_t;
using LPARAM = int64_t;
using LRESULT = int64_t;

struct RECT {
  LONG left, top, right, bottom;
};
using RECTL = RECT;
using LPRECT = RECT*;
using LPCRECT = const RECT*;
struct POINT {
  LONG x, y;
};
using POINTL = POINT;
struct SIZE {
  LONG cx, cy;
};
using SIZEL = SIZE;

union LARGE_INTEGER {
  int64_t QuadPart;
};
union ULARGE_INTEGER {
  uint64_t QuadPart;
};

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct STATSTG {
  LPOLESTR pwcsName;
  DWORD type;
  ULARGE_INTEGER cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
};

struct CAUUID {
  ULONG cElems;
  GUID* pElems;
};

// Opaque here: only passed through by the methods this system answers.
struct MSG;
struct FORMATETC;
struct STGMEDIUM;
struct DVTARGETDEVICE;
struct LOGPALETTE;
struct CONTROLINFO;
struct QACONTAINER;
struct QACONTROL;
struct ExtentInfo;
struct OLEINPLACEFRAMEINFO;
struct IMoniker;
struct IOleContainer;
struct IEnumOLEVERB;
struct IAdviseSink;
struct IEnumSTATDATA;
struct IEnumFORMATETC;
struct IEnumSTATSTG;
struct IOleInPlaceFrame;
struct IOleInPlaceUIWindow;
struct ITypeInfo;
using SNB = OLECHAR**;

// ---- Result codes and constants ---------------------------------------------

constexpr HRESULT OLE_E_NOCONNECTION = MakeHr(0x80040004);
constexpr HRESULT OLEOBJ_E_NOVERBS = MakeHr(0x80040180);
constexpr HRESULT OLEOBJ_S_INVALIDVERB = MakeHr(0x00040181);
constexpr HRESULT OLEOBJ_E_INVALIDVERB = MakeHr(0x80040181);
constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHr(0x80030001);
constexpr HRESULT STG_E_FILENOTFOUND = MakeHr(0x80030002);
constexpr HRESULT STG_E_ACCESSDENIED = MakeHr(0x80030005);
constexpr HRESULT STG_E_INVALIDPOINTER = MakeHr(0x80030009);
constexpr HRESULT STG_E_FILEALREADYEXISTS = MakeHr(0x80030050);
constexpr HRESULT STG_E_INVALIDPARAMETER = MakeHr(0x80030057);
constexpr HRESULT STG_E_MEDIUMFULL = MakeHr(0x80030070);
constexpr HRESULT STG_E_READFAULT = MakeHr(0x8003001E);
constexpr HRESULT E_PENDING = MakeHr(0x8000000A);

constexpr LONG OLEIVERB_PRIMARY = 0;
constexpr LONG OLEIVERB_SHOW = -1;
constexpr LONG OLEIVERB_OPEN = -2;
constexpr LONG OLEIVERB_HIDE = -3;
constexpr LONG OLEIVERB_UIACTIVATE = -4;
constexpr LONG OLEIVERB_INPLACEACTIVATE = -5;

constexpr DWORD DVASPECT_CONTENT = 1;
constexpr DWORD OLECLOSE_SAVEIFDIRTY = 0;
constexpr DWORD OLECLOSE_NOSAVE = 1;

constexpr DWORD STREAM_SEEK_SET = 0;
constexpr DWORD STREAM_SEEK_CUR = 1;
constexpr DWORD STREAM_SEEK_END = 2;
constexpr DWORD STGM_READ = 0x0;
constexpr DWORD STGM_WRITE = 0x1;
constexpr DWORD STGM_READWRITE = 0x2;
constexpr DWORD STGM_SHARE_EXCLUSIVE = 0x10;
constexpr DWORD STGM_CREATE = 0x1000;
constexpr DWORD STGTY_STORAGE = 1;
constexpr DWORD STGTY_STREAM = 2;
constexpr DWORD STATFLAG_DEFAULT = 0;
constexpr DWORD STATFLAG_NONAME = 1;

constexpr DWORD GUIDKIND_DEFAULT_SOURCE_DISP_IID = 1;

constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_CALLER = 0x1;
constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_DATA = 0x2;

// ---- Streams, storages, property bags ---------------------------------------

struct ISequentialStream : IUnknown {
  virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;
};

struct IStream : ISequentialStream {
  virtual HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
  virtual HRESULT SetSize(ULARGE_INTEGER libNewSize) = 0;
  virtual HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) = 0;
  virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  virtual HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
  virtual HRESULT Clone(IStream** ppstm) = 0;
};
using LPSTREAM = IStream*;

struct IStorage : IUnknown {
  virtual HRESULT CreateStream(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                               IStream** ppstm) = 0;
  virtual HRESULT OpenStream(LPCOLESTR pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2,
                             IStream** ppstm) = 0;
  virtual HRESULT CreateStorage(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                                IStorage** ppstg) = 0;
  virtual HRESULT OpenStorage(LPCOLESTR pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                              DWORD reserved, IStorage** ppstg) = 0;
  virtual HRESULT CopyTo(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude, IStorage* pstgDest) = 0;
  virtual HRESULT MoveElementTo(LPCOLESTR pwcsName, IStorage* pstgDest, LPCOLESTR pwcsNewName, DWORD grfFlags) = 0;
  virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** ppenum) = 0;
  virtual HRESULT DestroyElement(LPCOLESTR pwcsName) = 0;
  virtual HRESULT RenameElement(LPCOLESTR pwcsOldName, LPCOLESTR pwcsNewName) = 0;
  virtual HRESULT SetElementTimes(LPCOLESTR pwcsName, const FILETIME* pctime, const FILETIME* patime,
                                  const FILETIME* pmtime) = 0;
  virtual HRESULT SetClass(REFCLSID clsid) = 0;
  virtual HRESULT SetStateBits(DWORD grfStateBits, DWORD grfMask) = 0;
  virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
};

struct IErrorLog : IUnknown {
  virtual HRESULT AddError(LPCOLESTR pszPropName, EXCEPINFO* pExcepInfo) = 0;
};

struct IPropertyBag : IUnknown {
  virtual HRESULT Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) = 0;
  virtual HRESULT Write(LPCOLESTR pszPropName, VARIANT* pVar) = 0;
};

struct IPersist : IUnknown {
  virtual HRESULT GetClassID(CLSID* pClassID) = 0;
};

struct IPersistStreamInit : IPersist {
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(LPSTREAM pStm) = 0;
  virtual HRESULT Save(LPSTREAM pStm, BOOL fClearDirty) = 0;
  virtual HRESULT GetSizeMax(ULARGE_INTEGER* pCbSize) = 0;
  virtual HRESULT InitNew() = 0;
};

struct IPersistStorage : IPersist {
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT InitNew(IStorage* pStg) = 0;
  virtual HRESULT Load(IStorage* pStg) = 0;
  virtual HRESULT Save(IStorage* pStgSave, BOOL fSameAsLoad) = 0;
  virtual HRESULT SaveCompleted(IStorage* pStgNew) = 0;
  virtual HRESULT HandsOffStorage() = 0;
};

struct IPersistPropertyBag : IPersist {
  virtual HRESULT InitNew() = 0;
  virtual HRESULT Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) = 0;
  virtual HRESULT Save(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL fSaveAllProperties) = 0;
};

// ---- Creation --------------------------------------------------------------

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;
};

// ---- Embedding and in-place activation --------------------------------------

struct IOleClientSite : IUnknown {
  virtual HRESULT SaveObject() = 0;
  virtual HRESULT GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IMoniker** ppmk) = 0;
  virtual HRESULT GetContainer(IOleContainer** ppContainer) = 0;
  virtual HRESULT ShowObject() = 0;
  virtual HRESULT OnShowWindow(BOOL fShow) = 0;
  virtual HRESULT RequestNewObjectLayout() = 0;
};

struct IOleWindow : IUnknown {
  virtual HRESULT GetWindow(HWND* phwnd) = 0;
  virtual HRESULT ContextSensitiveHelp(BOOL fEnterMode) = 0;
};

struct IOleInPlaceObject : IOleWindow {
  virtual HRESULT InPlaceDeactivate() = 0;
  virtual HRESULT UIDeactivate() = 0;
  virtual HRESULT SetObjectRects(LPCRECT lprcPosRect, LPCRECT lprcClipRect) = 0;
  virtual HRESULT ReactivateAndUndo() = 0;
};

struct IOleInPlaceActiveObject : IOleWindow {
  virtual HRESULT TranslateAccelerator(MSG* lpmsg) = 0;
  virtual HRESULT OnFrameWindowActivate(BOOL fActivate) = 0;
  virtual HRESULT OnDocWindowActivate(BOOL fActivate) = 0;
  virtual HRESULT ResizeBorder(LPCRECT prcBorder, IOleInPlaceUIWindow* pUIWindow, BOOL fFrameWindow) = 0;
  virtual HRESULT EnableModeless(BOOL fEnable) = 0;
};

struct IOleInPlaceSite : IOleWindow {
  virtual HRESULT CanInPlaceActivate() = 0;
  virtual HRESULT OnInPlaceActivate() = 0;
  virtual HRESULT OnUIActivate() = 0;
  virtual HRESULT GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc, LPRECT lprcPosRect,
                                   LPRECT lprcClipRect, OLEINPLACEFRAMEINFO* lpFrameInfo) = 0;
  virtual HRESULT Scroll(SIZE scrollExtant) = 0;
  virtual HRESULT OnUIDeactivate(BOOL fUndoable) = 0;
  virtual HRESULT OnInPlaceDeactivate() = 0;
  virtual HRESULT DiscardUndoState() = 0;
  virtual HRESULT DeactivateAndUndo() = 0;
  virtual HRESULT OnPosRectChange(LPCRECT lprcPosRect) = 0;
};

struct IDataObject : IUnknown {
  virtual HRESULT GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) = 0;
  virtual HRESULT GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) = 0;
  virtual HRESULT QueryGetData(FORMATETC* pformatetc) = 0;
  virtual HRESULT GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) = 0;
  virtual HRESULT SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) = 0;
  virtual HRESULT EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) = 0;
  virtual HRESULT DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) = 0;
  virtual HRESULT DUnadvise(DWORD dwConnection) = 0;
  virtual HRESULT EnumDAdvise(IEnumSTATDATA** ppenumAdvise) = 0;
};

struct IOleObject : IUnknown {
  virtual HRESULT SetClientSite(IOleClientSite* pClientSite) = 0;
  virtual HRESULT GetClientSite(IOleClientSite** ppClientSite) = 0;
  virtual HRESULT SetHostNames(LPCOLESTR szContainerApp, LPCOLESTR szContainerObj) = 0;
  virtual HRESULT Close(DWORD dwSaveOption) = 0;
  virtual HRESULT SetMoniker(DWORD dwWhichMoniker, IMoniker* pmk) = 0;
  virtual HRESULT GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IMoniker** ppmk) = 0;
  virtual HRESULT InitFromData(IDataObject* pDataObject, BOOL fCreation, DWORD dwReserved) = 0;
  virtual HRESULT GetClipboardData(DWORD dwReserved, IDataObject** ppDataObject) = 0;
  virtual HRESULT DoVerb(LONG iVerb, MSG* lpmsg, IOleClientSite* pActiveSite, LONG lindex, HWND hwndParent,
                         LPCRECT lprcPosRect) = 0;
  virtual HRESULT EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) = 0;
  virtual HRESULT Update() = 0;
  virtual HRESULT IsUpToDate() = 0;
  virtual HRESULT GetUserClassID(CLSID* pClsid) = 0;
  virtual HRESULT GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) = 0;
  virtual HRESULT SetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
  virtual HRESULT GetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
  virtual HRESULT Advise(IAdviseSink* pAdvSink, DWORD* pdwConnection) = 0;
  virtual HRESULT Unadvise(DWORD dwConnection) = 0;
  virtual HRESULT EnumAdvise(IEnumSTATDATA** ppenumAdvise) = 0;
  virtual HRESULT GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) = 0;
  virtual HRESULT SetColorScheme(LOGPALETTE* pLogpal) = 0;
};

struct IOleControl : IUnknown {
  virtual HRESULT GetControlInfo(CONTROLINFO* pCI) = 0;
  virtual HRESULT OnMnemonic(MSG* pMsg) = 0;
  virtual HRESULT OnAmbientPropertyChange(DISPID dispID) = 0;
  virtual HRESULT FreezeEvents(BOOL bFreeze) = 0;
};

struct IViewObject : IUnknown {
  virtual HRESULT Draw(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd, HDC hdcTargetDev,
                       HDC hdcDraw, const RECTL* lprcBounds, const RECTL* lprcWBounds,
                       BOOL (*pfnContinue)(uint64_t dwContinue), uint64_t dwContinue) = 0;
  virtual HRESULT GetColorSet(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd,
                              HDC hicTargetDev, LOGPALETTE** ppColorSet) = 0;
  virtual HRESULT Freeze(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DWORD* pdwFreeze) = 0;
  virtual HRESULT Unfreeze(DWORD dwFreeze) = 0;
  virtual HRESULT SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* pAdvSink) = 0;
  virtual HRESULT GetAdvise(DWORD* pAspects, DWORD* pAdvf, IAdviseSink** ppAdvSink) = 0;
};

struct IViewObject2 : IViewObject {
  virtual HRESULT GetExtent(DWORD dwDrawAspect, LONG lindex, DVTARGETDEVICE* ptd, SIZEL* lpsizel) = 0;
};

struct IViewObjectEx : IViewObject2 {
  virtual HRESULT GetRect(DWORD dwAspect, RECTL* pRect) = 0;
  virtual HRESULT GetViewStatus(DWORD* pdwStatus) = 0;
  virtual HRESULT QueryHitPoint(DWORD dwAspect, LPCRECT pRectBounds, POINT ptlLoc, LONG lCloseHint,
                                DWORD* pHitResult) = 0;
  virtual HRESULT QueryHitRect(DWORD dwAspect, LPCRECT pRectBounds, LPCRECT pRectLoc, LONG lCloseHint,
                               DWORD* pHitResult) = 0;
  virtual HRESULT GetNaturalExtent(DWORD dwAspect, LONG lindex, DVTARGETDEVICE* ptd, HDC hicTargetDev,
                                   ExtentInfo* pExtentInfo, SIZEL* pSizel) = 0;
};

struct IQuickActivate : IUnknown {
  virtual HRESULT QuickActivate(QACONTAINER* pQaContainer, QACONTROL* pQaControl) = 0;
  virtual HRESULT SetContentExtent(SIZEL* pSizel) = 0;
  virtual HRESULT GetContentExtent(SIZEL* pSizel) = 0;
};

struct ISpecifyPropertyPages : IUnknown {
  virtual HRESULT GetPages(CAUUID* pPages) = 0;
};

struct ISimpleFrameSite : IUnknown {
  virtual HRESULT PreMessageFilter(HWND hWnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* plResult,
                                   DWORD* pdwCookie) = 0;
  virtual HRESULT PostMessageFilter(HWND hWnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* plResult,
                                    DWORD dwCookie) = 0;
};

struct IProvideClassInfo : IUnknown {
  virtual HRESULT GetClassInfo(ITypeInfo** ppTI) = 0;
};

struct IProvideClassInfo2 : IProvideClassInfo {
  virtual HRESULT GetGUID(DWORD dwGuidKind, GUID* pGUID) = 0;
};

struct IObjectSafety : IUnknown {
  virtual HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions, DWORD* pdwEnabledOptions) = 0;
  virtual HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) = 0;
};

// ---- Public identifiers ------------------------------------------------------

#define VELMORA_OLE_IID(name, d1, d2, d3, ...) inline constexpr IID IID_##name = {d1, d2, d3, {__VA_ARGS__}}
VELMORA_OLE_IID(IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IStorage, 0x0000000B, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IStream, 0x0000000C, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IPersistStorage, 0x0000010A, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IPersist, 0x0000010C, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IViewObject, 0x0000010D, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IDataObject, 0x0000010E, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IOleObject, 0x00000112, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IOleInPlaceObject, 0x00000113, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IOleWindow, 0x00000114, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IOleInPlaceActiveObject, 0x00000117, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IOleClientSite, 0x00000118, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IOleInPlaceSite, 0x00000119, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(IViewObject2, 0x00000127, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(ITypeLib, 0x00020402, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
VELMORA_OLE_IID(ISequentialStream, 0x0C733A30, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
VELMORA_OLE_IID(IViewObjectEx, 0x3AF24292, 0x0C96, 0x11CE, 0xA0, 0xCF, 0x00, 0xAA, 0x00, 0x60, 0x0A, 0xB8);
VELMORA_OLE_IID(IOleControl, 0xB196B288, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
VELMORA_OLE_IID(ISpecifyPropertyPages, 0xB196B28B, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
VELMORA_OLE_IID(IProvideClassInfo, 0xB196B283, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
VELMORA_OLE_IID(IProvideClassInfo2, 0xA6BC3AC0, 0xDBAA, 0x11CE, 0x9D, 0xE3, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);
VELMORA_OLE_IID(IQuickActivate, 0xCF51ED10, 0x62FE, 0x11CF, 0xBF, 0x86, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0x36);
VELMORA_OLE_IID(ISimpleFrameSite, 0x742B0E01, 0x14E6, 0x101B, 0x91, 0x4E, 0x00, 0xAA, 0x00, 0x30, 0x0C, 0xAB);
VELMORA_OLE_IID(IPersistStreamInit, 0x7FD52380, 0x4E07, 0x101B, 0xAE, 0x2D, 0x08, 0x00, 0x2B, 0x2E, 0xC7, 0x13);
VELMORA_OLE_IID(IPersistPropertyBag, 0x37D84F60, 0x42CB, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);
VELMORA_OLE_IID(IPropertyBag, 0x55272A00, 0x42CB, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);
VELMORA_OLE_IID(IErrorLog, 0x3127CA40, 0x446E, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);
VELMORA_OLE_IID(IObjectSafety, 0xCB5BDC81, 0x93C1, 0x11CF, 0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64);
#undef VELMORA_OLE_IID

// The automation proxy class registered for dual and dispatch interfaces.
inline constexpr CLSID CLSID_PSOAInterface = {0x00020424, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// ---- In-memory storage objects for hosts and tests ---------------------------

extern "C" {
// A growable stream in memory, positioned at 0, holding a copy of the given
// bytes (none when data is null). One reference.
HRESULT VelmoraCreateMemoryStream(const void* data, ULONG size, IStream** ppstm);
// An empty storage in memory: named streams and substorages. One reference.
HRESULT VelmoraCreateMemoryStorage(IStorage** ppstg);
// An empty property bag in memory: named VARIANTs, names compared ignoring
// case. One reference.
HRESULT VelmoraCreateMemoryPropertyBag(IPropertyBag** ppbag);
}
