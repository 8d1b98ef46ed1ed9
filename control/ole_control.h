// The standard control machinery of the COM object, as far as embedding needs
// it: the OLE object and in-place interfaces, views, persistence (property
// bag, stream, storage), class information, error-information support and
// object safety. The final object derives from it, answers IUnknown (once for
// every base) and supplies the hooks below.
#pragma once

#include <cstdint>

#include "control/form_stream.h"
#include "control/velmorax.h"
#include "platform/com/ole.h"
#include "platform/com/typelib.h"

namespace control {

struct FormProperties;

// The form's window as embedding moves it: parked while not in place, a
// child of the site's window at a rectangle while in place.
class EmbeddedWindow {
 public:
  virtual ~EmbeddedWindow() = default;
  virtual HWND Handle() = 0;
  virtual void Embed(HWND parent, const RECT& rect) = 0;
  virtual void Move(const RECT& rect) = 0;
  virtual void Show(bool visible) = 0;
  virtual void Park() = 0;
  virtual void Focus() = 0;
};

// The object's interfaces in QueryInterface order, as the safety and
// error-information rules list them.
bool IsObjectInterface(REFIID riid);

// The records IPersistStreamInit saves, and applying loaded ones (all or
// nothing: false leaves the properties unchanged).
std::vector<FormRecord> FormPropertyRecords(const FormProperties& props);
bool ApplyFormPropertyRecords(const std::vector<FormRecord>& records, FormProperties* props);

constexpr DWORD kMiscStatus = 131473;
constexpr ULONG kDefaultExtent = 5080;  // HIMETRIC, two inches

class OleControl : public IViewObjectEx,
                   public IOleInPlaceObject,
                   public IOleInPlaceActiveObject,
                   public IOleControl,
                   public IOleObject,
                   public IQuickActivate,
                   public IPersistStorage,
                   public IPersistStreamInit,
                   public ISpecifyPropertyPages,
                   public IDataObject,
                   public ISimpleFrameSite,
                   public IProvideClassInfo2,
                   public ISupportErrorInfo,
                   public IPersistPropertyBag,
                   public IObjectSafety {
 public:
  // ---- IViewObjectEx, IViewObject2, IViewObject: drawing is the form's own.
  HRESULT Draw(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, HDC, const RECTL*, const RECTL*, BOOL (*)(uint64_t),
               uint64_t) override { return E_NOTIMPL; }
  HRESULT GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE**) override { return E_NOTIMPL; }
  HRESULT Freeze(DWORD, LONG, void*, DWORD*) override { return E_NOTIMPL; }
  HRESULT Unfreeze(DWORD) override { return E_NOTIMPL; }
  HRESULT SetAdvise(DWORD, DWORD, IAdviseSink*) override { return E_NOTIMPL; }
  HRESULT GetAdvise(DWORD*, DWORD*, IAdviseSink**) override { return E_NOTIMPL; }
  HRESULT GetExtent(DWORD, LONG, DVTARGETDEVICE*, SIZEL*) override { return E_NOTIMPL; }
  HRESULT GetRect(DWORD, RECTL*) override { return E_NOTIMPL; }
  HRESULT GetViewStatus(DWORD*) override { return E_NOTIMPL; }
  HRESULT QueryHitPoint(DWORD, LPCRECT, POINT, LONG, DWORD*) override { return E_NOTIMPL; }
  HRESULT QueryHitRect(DWORD, LPCRECT, LPCRECT, LONG, DWORD*) override { return E_NOTIMPL; }
  HRESULT GetNaturalExtent(DWORD, LONG, DVTARGETDEVICE*, HDC, ExtentInfo*, SIZEL*) override { return E_NOTIMPL; }

  // ---- IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject
  HRESULT GetWindow(HWND* phwnd) override;
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT InPlaceDeactivate() override;
  HRESULT UIDeactivate() override { return E_NOTIMPL; }
  HRESULT SetObjectRects(LPCRECT pos, LPCRECT clip) override;
  HRESULT ReactivateAndUndo() override { return E_NOTIMPL; }
  HRESULT TranslateAccelerator(MSG*) override { return E_NOTIMPL; }
  // The host's frame window was activated: the keyboard goes to the form.
  HRESULT OnFrameWindowActivate(BOOL activate) override;
  HRESULT OnDocWindowActivate(BOOL) override { return E_NOTIMPL; }
  HRESULT ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return E_NOTIMPL; }
  HRESULT EnableModeless(BOOL) override { return E_NOTIMPL; }

  // ---- IOleControl
  HRESULT GetControlInfo(CONTROLINFO*) override { return E_NOTIMPL; }
  HRESULT OnMnemonic(MSG*) override { return E_NOTIMPL; }
  HRESULT OnAmbientPropertyChange(DISPID) override { return E_NOTIMPL; }
  HRESULT FreezeEvents(BOOL) override { return E_NOTIMPL; }

  // ---- IOleObject
  HRESULT SetClientSite(IOleClientSite* site) override;
  HRESULT GetClientSite(IOleClientSite** site) override;
  HRESULT SetHostNames(LPCOLESTR, LPCOLESTR) override { return E_NOTIMPL; }
  HRESULT Close(DWORD saveOption) override;
  HRESULT SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  HRESULT GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  HRESULT InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  HRESULT GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
  HRESULT DoVerb(LONG verb, MSG* msg, IOleClientSite* activeSite, LONG lindex, HWND parent, LPCRECT pos) override;
  HRESULT EnumVerbs(IEnumOLEVERB**) override { return E_NOTIMPL; }
  HRESULT Update() override { return E_NOTIMPL; }
  HRESULT IsUpToDate() override { return E_NOTIMPL; }
  HRESULT GetUserClassID(CLSID* clsid) override;
  HRESULT GetUserType(DWORD, LPOLESTR*) override { return E_NOTIMPL; }
  HRESULT SetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT GetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT Advise(IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT Unadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT EnumAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
  HRESULT GetMiscStatus(DWORD aspect, DWORD* status) override;
  HRESULT SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

  // ---- IQuickActivate
  HRESULT QuickActivate(QACONTAINER*, QACONTROL*) override { return E_NOTIMPL; }
  HRESULT SetContentExtent(SIZEL*) override { return E_NOTIMPL; }
  HRESULT GetContentExtent(SIZEL*) override { return E_NOTIMPL; }

  // ---- IPersist, IPersistStreamInit, IPersistStorage, IPersistPropertyBag
  HRESULT GetClassID(CLSID* clsid) override;
  HRESULT IsDirty() override { return modified_ ? S_OK : S_FALSE; }
  HRESULT Load(LPSTREAM stream) override;
  HRESULT Save(LPSTREAM stream, BOOL clearDirty) override;
  HRESULT GetSizeMax(ULARGE_INTEGER* size) override;
  HRESULT InitNew() override { return S_OK; }
  HRESULT InitNew(IStorage*) override { return S_OK; }
  HRESULT Load(IStorage* storage) override;
  HRESULT Save(IStorage* storage, BOOL sameAsLoad) override;
  HRESULT SaveCompleted(IStorage*) override { return S_OK; }
  HRESULT HandsOffStorage() override { return S_OK; }
  HRESULT Load(IPropertyBag* bag, IErrorLog* log) override;
  HRESULT Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

  // ---- ISpecifyPropertyPages: none.
  HRESULT GetPages(CAUUID* pages) override;

  // ---- IDataObject, ISimpleFrameSite: not offered beyond the interface.
  HRESULT GetData(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
  HRESULT GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  HRESULT DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT DUnadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
  HRESULT PreMessageFilter(HWND, UINT, WPARAM, LPARAM, LRESULT*, DWORD*) override { return E_NOTIMPL; }
  HRESULT PostMessageFilter(HWND, UINT, WPARAM, LPARAM, LRESULT*, DWORD) override { return E_NOTIMPL; }

  // ---- IProvideClassInfo2
  HRESULT GetClassInfo(ITypeInfo** info) override;
  HRESULT GetGUID(DWORD kind, GUID* guid) override;

  // ---- ISupportErrorInfo
  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;

  // ---- IObjectSafety
  HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override;
  HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override;

 protected:
  OleControl() = default;
  virtual ~OleControl();

  // Hooks of the final object.
  virtual FormProperties* PersistedProperties() = 0;  // null before the form exists
  virtual EmbeddedWindow* Window() = 0;               // null when there is none
  // The form's font as stream records ("Font.Name", ...): added on save;
  // on load checked (apply false: true when every font record is sound)
  // and then applied.
  virtual void SaveFontRecords(std::vector<FormRecord>&) {}
  virtual bool LoadFontRecords(const std::vector<FormRecord>&, bool) { return true; }
  // The stored safety options, which only grow.
  virtual DWORD SafetyOptions() = 0;
  virtual void AddSafetyOptions(DWORD bits) = 0;

  // Drops the site and leaves in-place activation; the final object calls
  // it before destroying the form.
  void DetachFromSite();

 private:
  HRESULT InPlaceActivate(LONG verb, IOleClientSite* site, HWND parent, LPCRECT pos);

  SIZEL extent_{LONG(kDefaultExtent), LONG(kDefaultExtent)};
  bool modified_ = false;
  IOleClientSite* site_ = nullptr;
  IOleInPlaceSite* inPlaceSite_ = nullptr;
  bool inPlace_ = false;
  bool uiActive_ = false;
};

}  // namespace control
