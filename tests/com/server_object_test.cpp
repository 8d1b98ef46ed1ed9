// The control object through its class factory, in a process that links the
// server statically (with a test form) and never loads libvelmora.so.
#include <dirent.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "control/com_server.h"
#include "control/font.h"
#include "control/form_stream.h"
#include "control/velmorax.h"
#include "platform/com/ole.h"
#include "platform/com/typelib.h"
#include "tests/control/test_form.h"

namespace {

using control::CLSID_VelmoraX;

struct Released {
  void operator()(IUnknown* p) const {
    if (p) p->Release();
  }
};
template <typename T>
using Ptr = std::unique_ptr<T, Released>;

template <typename T>
Ptr<T> Query(IUnknown* from, REFIID iid) {
  void* p = nullptr;
  EXPECT_EQ(from->QueryInterface(iid, &p), S_OK);
  return Ptr<T>(static_cast<T*>(p));
}

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

bool withThreads = false;
std::unique_ptr<control::ViewerForm> MakeForm() { return std::make_unique<control_test::TestForm>(withThreads); }

class ServerObject : public ::testing::Test {
 protected:
  void SetUp() override {
    withThreads = false;
    control::SetFormFactory(&MakeForm);
    control::SetConstructionHook(nullptr);
    IClassFactory* f = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_VelmoraX, IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
    factory_.reset(f);
  }
  void TearDown() override { control::SetConstructionHook(nullptr); }

  Ptr<IUnknown> Create(REFIID iid = IID_IUnknown) {
    void* p = nullptr;
    EXPECT_EQ(factory_->CreateInstance(nullptr, iid, &p), S_OK);
    return Ptr<IUnknown>(static_cast<IUnknown*>(p));
  }

  Ptr<IClassFactory> factory_;
};

const IID* const kAll[] = {
    &IID_IViewObjectEx,   &IID_IViewObject2,         &IID_IViewObject,        &IID_IOleInPlaceObject,
    &IID_IOleWindow,      &IID_IOleInPlaceActiveObject, &IID_IOleControl,     &IID_IOleObject,
    &IID_IQuickActivate,  &IID_IPersistStorage,      &IID_IPersistStreamInit, &IID_ISpecifyPropertyPages,
    &IID_IDataObject,     &IID_ISimpleFrameSite,     &IID_IProvideClassInfo,  &IID_IProvideClassInfo2,
    &IID_IConnectionPointContainer, &IID_ISupportErrorInfo, &control::IID_IVelmoraX, &IID_IDispatch,
    &IID_IPersistPropertyBag, &IID_IObjectSafety,
};
constexpr IID kUnknownIid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST_F(ServerObject, ClassObjectIsCachedAndOtherClassesAreRefused) {
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(kUnknownIid, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(DllGetClassObject(CLSID_VelmoraX, IID_IClassFactory, nullptr), E_POINTER);
  void* second = nullptr;
  ASSERT_EQ(DllGetClassObject(CLSID_VelmoraX, IID_IUnknown, &second), S_OK);
  EXPECT_EQ(second, static_cast<IUnknown*>(factory_.get()));
  static_cast<IUnknown*>(second)->Release();
  EXPECT_EQ(DllGetClassObject(CLSID_VelmoraX, kUnknownIid, &p), E_NOINTERFACE);
  EXPECT_EQ(factory_->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ServerObject, CanUnloadOnlyWithoutObjectsAndServerLocks) {
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  {
    Ptr<IUnknown> object = Create();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  }
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  EXPECT_EQ(factory_->LockServer(1), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory_->LockServer(0), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ServerObject, QueryInterfaceAnswersAllEntriesWithOneIdentity) {
  Ptr<IUnknown> object = Create();
  IUnknown* identity = object.get();
  for (const IID* a : kAll) {
    Ptr<IUnknown> pa = Query<IUnknown>(object.get(), *a);
    ASSERT_TRUE(pa);
    EXPECT_EQ(Query<IUnknown>(pa.get(), IID_IUnknown).get(), identity) << "identity";
    EXPECT_TRUE(Query<IUnknown>(pa.get(), *a)) << "reflexive";
    for (const IID* b : kAll) {
      Ptr<IUnknown> pb = Query<IUnknown>(pa.get(), *b);
      ASSERT_TRUE(pb);
      EXPECT_TRUE(Query<IUnknown>(pb.get(), *a)) << "symmetric";
      EXPECT_EQ(Query<IUnknown>(pb.get(), IID_IUnknown).get(), identity) << "transitive";
    }
  }
  EXPECT_EQ(Query<IUnknown>(object.get(), IID_IViewObjectEx).get(), identity) << "identity is the first entry";
  EXPECT_EQ(Query<IUnknown>(object.get(), IID_IDispatch).get(),
            Query<IUnknown>(object.get(), control::IID_IVelmoraX).get());
  EXPECT_EQ(Query<IUnknown>(object.get(), IID_IOleWindow).get(),
            Query<IUnknown>(object.get(), IID_IOleInPlaceObject).get());
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(object->QueryInterface(kUnknownIid, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);

  auto errors = Query<ISupportErrorInfo>(object.get(), IID_ISupportErrorInfo);
  for (const IID* a : kAll) EXPECT_EQ(errors->InterfaceSupportsErrorInfo(*a), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(kUnknownIid), S_FALSE);
  auto pages = Query<ISpecifyPropertyPages>(object.get(), IID_ISpecifyPropertyPages);
  CAUUID list{7, reinterpret_cast<GUID*>(1)};
  ASSERT_EQ(pages->GetPages(&list), S_OK);
  EXPECT_EQ(list.cElems, 0u);
  EXPECT_EQ(list.pElems, nullptr);
}

// An outer object that aggregates the control and counts its references.
class Outer final : public IUnknown {
 public:
  ULONG refs = 1;
  IUnknown* inner = nullptr;
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(riid, ppv);
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
};

TEST_F(ServerObject, AggregatesUnderAnOuterObject) {
  Outer outer;
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory_->CreateInstance(&outer, IID_IDispatch, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  ASSERT_EQ(factory_->CreateInstance(&outer, IID_IUnknown, &p), S_OK);
  outer.inner = static_cast<IUnknown*>(p);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);

  IDispatch* dispatch = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
  EXPECT_EQ(outer.refs, 2u) << "the inner object's interfaces count on the outer object";
  IUnknown* identity = nullptr;
  ASSERT_EQ(dispatch->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, &outer);
  identity->Release();
  dispatch->Release();
  EXPECT_EQ(outer.refs, 1u);
  EXPECT_EQ(outer.inner->Release(), 0u);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ServerObject, ConstructionFailureLeavesNothingBehind) {
  withThreads = true;
  // A sanitizer runtime starts a helper thread with the first thread made.
  std::thread([] {}).join();
  const int threadsBefore = ThreadCount();
  control::SetConstructionHook([] { throw std::runtime_error("injected construction failure"); });
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory_->CreateInstance(nullptr, IID_IDispatch, &p), DISP_E_EXCEPTION);
  EXPECT_EQ(p, nullptr);
  IErrorInfo* info = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
  com::Bstr text;
  info->GetDescription(text.out());
  info->Release();
  EXPECT_EQ(text.view(), u"injected construction failure");
  EXPECT_EQ(ThreadCount(), threadsBefore) << "the engine's threads are gone";
  EXPECT_EQ(DllCanUnloadNow(), S_OK);

  control::SetFormFactory(nullptr);
  EXPECT_EQ(factory_->CreateInstance(nullptr, IID_IDispatch, &p), DISP_E_EXCEPTION);
}

TEST_F(ServerObject, SafetyOptionsFollowTheRules) {
  Ptr<IUnknown> object = Create();
  auto safety = Query<IObjectSafety>(object.get(), IID_IObjectSafety);
  DWORD supported = 9, enabled = 9;
  ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 1u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 1), S_OK);
  ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(enabled, 1u);

  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_FAIL);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(kUnknownIid, &supported, &enabled), E_NOINTERFACE);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(kUnknownIid, 1, 1), E_NOINTERFACE);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 0, 0), E_FAIL);

  ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IPersistStreamInit, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 2u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersistStorage, 2, 0), S_OK) << "nothing stored";
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersistStorage, 2, 2), E_FAIL) << "stored, yet E_FAIL";
  ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IPersistStreamInit, &supported, &enabled), S_OK);
  EXPECT_EQ(enabled, 2u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 0), S_OK) << "bits are never cleared";

  supported = enabled = 9;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IOleObject, &supported, &enabled), E_FAIL);
  EXPECT_EQ(supported, 0u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IOleObject, 3, 3), E_FAIL);
}

TEST_F(ServerObject, PropertyBagHoldsTheExtent) {
  Ptr<IUnknown> object = Create();
  auto persist = Query<IPersistPropertyBag>(object.get(), IID_IPersistPropertyBag);
  IPropertyBag* raw = nullptr;
  ASSERT_EQ(VelmoraCreateMemoryPropertyBag(&raw), S_OK);
  Ptr<IPropertyBag> bag(raw);
  ASSERT_EQ(persist->Save(bag.get(), 1, 1), S_OK);
  for (const char16_t* name : {u"_cx", u"_cy"}) {
    com::Variant v;
    ASSERT_EQ(bag->Read(name, &v, nullptr), S_OK);
    EXPECT_EQ(v.vt, VT_UI4);
    EXPECT_EQ(v.ulVal, 5080u);
  }

  auto ole = Query<IOleObject>(object.get(), IID_IOleObject);
  SIZEL size{1000, 2000};
  ASSERT_EQ(ole->SetExtent(DVASPECT_CONTENT, &size), S_OK);
  auto stream = Query<IPersistStreamInit>(object.get(), IID_IPersistStreamInit);
  EXPECT_EQ(stream->IsDirty(), S_OK);
  ASSERT_EQ(persist->Save(bag.get(), 1, 1), S_OK);
  EXPECT_EQ(stream->IsDirty(), S_FALSE);

  Ptr<IUnknown> copy = Create();
  ASSERT_EQ(Query<IPersistPropertyBag>(copy.get(), IID_IPersistPropertyBag)->Load(bag.get(), nullptr), S_OK);
  SIZEL got{};
  ASSERT_EQ(Query<IOleObject>(copy.get(), IID_IOleObject)->GetExtent(DVASPECT_CONTENT, &got), S_OK);
  EXPECT_EQ(got.cx, 1000);
  EXPECT_EQ(got.cy, 2000);

  com::Variant bad;
  bad.vt = VT_BSTR;
  bad.bstrVal = com::AllocBstr(u"wide");
  ASSERT_EQ(bag->Write(u"_cy", &bad), S_OK);
  size = {1, 1};
  ASSERT_EQ(Query<IOleObject>(copy.get(), IID_IOleObject)->SetExtent(DVASPECT_CONTENT, &size), S_OK);
  EXPECT_EQ(Query<IPersistPropertyBag>(copy.get(), IID_IPersistPropertyBag)->Load(bag.get(), nullptr), E_INVALIDARG);
  ASSERT_EQ(Query<IOleObject>(copy.get(), IID_IOleObject)->GetExtent(DVASPECT_CONTENT, &got), S_OK);
  EXPECT_EQ(got.cx, 1) << "neither value taken";
  EXPECT_EQ(got.cy, 1);
}

TEST_F(ServerObject, FormPropertiesRoundTripThroughStreamAndStorage) {
  Ptr<IUnknown> object = Create(control::IID_IVelmoraX);
  Ptr<control::IVelmoraX> control = Query<control::IVelmoraX>(object.get(), control::IID_IVelmoraX);
  com::Bstr caption(u"Gate camera");
  ASSERT_EQ(control->put_Caption(caption.get()), S_OK);
  ASSERT_EQ(control->put_BorderWidth(7), S_OK);
  ASSERT_EQ(control->put_Cursor(-11), S_OK);
  control::FontData font;
  font.name = u"DejaVu Sans";
  font.size = 11.5f;
  font.bold = font.underline = true;
  IDispatch* fontObject = control::CreateFont(font);
  ASSERT_EQ(control->putref_Font(fontObject), S_OK);
  fontObject->Release();

  IStream* rawStream = nullptr;
  ASSERT_EQ(VelmoraCreateMemoryStream(nullptr, 0, &rawStream), S_OK);
  Ptr<IStream> stream(rawStream);
  ASSERT_EQ(Query<IPersistStreamInit>(object.get(), IID_IPersistStreamInit)->Save(stream.get(), 1), S_OK);
  IStorage* rawStorage = nullptr;
  ASSERT_EQ(VelmoraCreateMemoryStorage(&rawStorage), S_OK);
  Ptr<IStorage> storage(rawStorage);
  ASSERT_EQ(Query<IPersistStorage>(object.get(), IID_IPersistStorage)->Save(storage.get(), 1), S_OK);

  for (int viaStorage = 0; viaStorage < 2; ++viaStorage) {
    Ptr<IUnknown> copy = Create();
    if (viaStorage) {
      ASSERT_EQ(Query<IPersistStorage>(copy.get(), IID_IPersistStorage)->Load(storage.get()), S_OK);
    } else {
      ASSERT_EQ(stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr), S_OK);
      ASSERT_EQ(Query<IPersistStreamInit>(copy.get(), IID_IPersistStreamInit)->Load(stream.get()), S_OK);
    }
    auto cc = Query<control::IVelmoraX>(copy.get(), control::IID_IVelmoraX);
    com::Bstr got;
    ASSERT_EQ(cc->get_Caption(got.out()), S_OK);
    EXPECT_EQ(got.view(), u"Gate camera");
    int32_t width = 0;
    int16_t cursor = 0;
    cc->get_BorderWidth(&width);
    cc->get_Cursor(&cursor);
    EXPECT_EQ(width, 7);
    EXPECT_EQ(cursor, -11);
    IDispatch* f = nullptr;
    ASSERT_EQ(cc->get_Font(&f), S_OK);
    control::FontData back;
    ASSERT_TRUE(control::ReadFont(f, &back));
    f->Release();
    EXPECT_EQ(back.name, u"DejaVu Sans");
    EXPECT_EQ(back.size, 11.5f);
    EXPECT_TRUE(back.bold && back.underline && !back.italic && !back.strikethrough);
  }
}

TEST_F(ServerObject, BadStreamsLeaveTheFormUnchanged) {
  Ptr<IUnknown> object = Create();
  auto control = Query<control::IVelmoraX>(object.get(), control::IID_IVelmoraX);
  IStream* raw = nullptr;
  ASSERT_EQ(VelmoraCreateMemoryStream(nullptr, 0, &raw), S_OK);
  Ptr<IStream> good(raw);
  ASSERT_EQ(Query<IPersistStreamInit>(object.get(), IID_IPersistStreamInit)->Save(good.get(), 1), S_OK);
  STATSTG st{};
  good->Stat(&st, STATFLAG_NONAME);
  std::vector<uint8_t> bytes(st.cbSize.QuadPart);
  good->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr);
  good->Read(bytes.data(), ULONG(bytes.size()), nullptr);

  com::Bstr caption(u"kept");
  ASSERT_EQ(control->put_Caption(caption.get()), S_OK);
  auto persist = Query<IPersistStreamInit>(object.get(), IID_IPersistStreamInit);
  std::vector<std::vector<uint8_t>> cases;
  cases.push_back({'X', 'M', 'X', 'F'});                                    // bad magic
  cases.push_back(std::vector<uint8_t>(bytes.begin(), bytes.end() - 1));    // truncated
  std::vector<uint8_t> oversized = bytes;
  oversized[8] = 0xFF, oversized[9] = 0xFF, oversized[10] = 0xFF;           // payload size
  cases.push_back(oversized);
  std::vector<uint8_t> badRecord = bytes;
  badRecord[12] = 200;                                                      // first name length
  cases.push_back(badRecord);
  // Sound form records with a font record of the wrong type: nothing applied.
  cases.push_back(control::EncodeFormRecords({{"Caption", {VT_BSTR, 0, 0, u"changed"}},
                                              {"Font.Size", {VT_BSTR, 0, 0, u"big"}}}));
  for (auto& c : cases) {
    IStream* s = nullptr;
    ASSERT_EQ(VelmoraCreateMemoryStream(c.data(), ULONG(c.size()), &s), S_OK);
    EXPECT_EQ(persist->Load(s), E_FAIL);
    s->Release();
    com::Bstr got;
    control->get_Caption(got.out());
    EXPECT_EQ(got.view(), u"kept");
  }
  IStorage* storage = nullptr;
  ASSERT_EQ(VelmoraCreateMemoryStorage(&storage), S_OK);
  EXPECT_EQ(Query<IPersistStorage>(object.get(), IID_IPersistStorage)->Load(storage), STG_E_FILENOTFOUND)
      << "no Contents stream";
  storage->Release();
}

// A headless container site: its window is a serial number.
class Site final : public IOleClientSite, public IOleInPlaceSite {
 public:
  ULONG refs = 1;
  int activated = 0, deactivated = 0, uiActivated = 0;
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IOleClientSite) {
      *ppv = static_cast<IOleClientSite*>(this);
    } else if (riid == IID_IOleInPlaceSite || riid == IID_IOleWindow) {
      *ppv = static_cast<IOleInPlaceSite*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    ++refs;
    return S_OK;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT SaveObject() override { return E_NOTIMPL; }
  HRESULT GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  HRESULT GetContainer(IOleContainer**) override { return E_NOTIMPL; }
  HRESULT ShowObject() override { return S_OK; }
  HRESULT OnShowWindow(BOOL) override { return S_OK; }
  HRESULT RequestNewObjectLayout() override { return E_NOTIMPL; }
  HRESULT GetWindow(HWND* w) override {
    *w = 0x5151;
    return S_OK;
  }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT CanInPlaceActivate() override { return S_OK; }
  HRESULT OnInPlaceActivate() override {
    ++activated;
    return S_OK;
  }
  HRESULT OnUIActivate() override {
    ++uiActivated;
    return S_OK;
  }
  HRESULT GetWindowContext(IOleInPlaceFrame** f, IOleInPlaceUIWindow** d, LPRECT pos, LPRECT clip,
                           OLEINPLACEFRAMEINFO*) override {
    *f = nullptr;
    *d = nullptr;
    *pos = RECT{10, 20, 330, 260};
    *clip = *pos;
    return S_OK;
  }
  HRESULT Scroll(SIZE) override { return E_NOTIMPL; }
  HRESULT OnUIDeactivate(BOOL) override { return S_OK; }
  HRESULT OnInPlaceDeactivate() override {
    ++deactivated;
    return S_OK;
  }
  HRESULT DiscardUndoState() override { return E_NOTIMPL; }
  HRESULT DeactivateAndUndo() override { return E_NOTIMPL; }
  HRESULT OnPosRectChange(LPCRECT) override { return S_OK; }
};

TEST_F(ServerObject, EmbedsInAHeadlessSite) {
  Site site;
  {
    Ptr<IUnknown> object = Create();
    auto ole = Query<IOleObject>(object.get(), IID_IOleObject);
    DWORD status = 0;
    ASSERT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
    EXPECT_EQ(status, 131473u);
    CLSID clsid{};
    ASSERT_EQ(ole->GetUserClassID(&clsid), S_OK);
    EXPECT_TRUE(clsid == CLSID_VelmoraX);
    ASSERT_EQ(ole->SetClientSite(&site), S_OK);
    IOleClientSite* back = nullptr;
    ASSERT_EQ(ole->GetClientSite(&back), S_OK);
    EXPECT_EQ(back, static_cast<IOleClientSite*>(&site));
    back->Release();

    ASSERT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, 0, nullptr), S_OK);
    EXPECT_EQ(site.activated, 1);
    ASSERT_EQ(ole->DoVerb(OLEIVERB_UIACTIVATE, nullptr, &site, 0, 0, nullptr), S_OK);
    EXPECT_EQ(site.activated, 1) << "already in place";
    EXPECT_EQ(site.uiActivated, 1);
    HWND window = 0;
    ASSERT_EQ(Query<IOleWindow>(object.get(), IID_IOleWindow)->GetWindow(&window), S_OK);
    EXPECT_NE(window, 0u);
    auto inPlace = Query<IOleInPlaceObject>(object.get(), IID_IOleInPlaceObject);
    RECT r{0, 0, 100, 100};
    EXPECT_EQ(inPlace->SetObjectRects(&r, &r), S_OK);
    EXPECT_EQ(ole->DoVerb(OLEIVERB_HIDE, nullptr, &site, 0, 0, nullptr), S_OK);
    EXPECT_EQ(inPlace->InPlaceDeactivate(), S_OK);
    EXPECT_EQ(site.deactivated, 1);
    EXPECT_EQ(ole->DoVerb(OLEIVERB_SHOW, nullptr, &site, 0, 0, nullptr), S_OK);
    EXPECT_EQ(site.activated, 2);
    EXPECT_EQ(ole->DoVerb(-99, nullptr, &site, 0, 0, nullptr), E_NOTIMPL);
    EXPECT_EQ(ole->Close(OLECLOSE_NOSAVE), S_OK);
    EXPECT_EQ(site.deactivated, 2);
  }
  EXPECT_EQ(site.refs, 1u) << "the object released its site";
}

TEST_F(ServerObject, ClassAndTypeInformation) {
  Ptr<IUnknown> object = Create();
  auto info = Query<IProvideClassInfo2>(object.get(), IID_IProvideClassInfo2);
  GUID source{};
  ASSERT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
  EXPECT_TRUE(source == control::DIID_IVelmoraXEvents);
  EXPECT_EQ(info->GetGUID(7, &source), E_INVALIDARG);
  ITypeInfo* raw = nullptr;
  ASSERT_EQ(info->GetClassInfo(&raw), S_OK);
  Ptr<ITypeInfo> coclass(raw);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(attr->guid == CLSID_VelmoraX);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  coclass->ReleaseTypeAttr(attr);

  auto dispatch = Query<IDispatch>(object.get(), IID_IDispatch);
  UINT count = 0;
  ASSERT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(dispatch->GetTypeInfo(0, 0, &raw), S_OK);
  Ptr<ITypeInfo> iface(raw);
  ASSERT_EQ(iface->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(attr->guid == control::IID_IVelmoraX);
  EXPECT_EQ(attr->cFuncs, 128);
  iface->ReleaseTypeAttr(attr);
}

}  // namespace

namespace {

// Hosts store these: they never change.
TEST(ServerIdentifiers, AreFixed) {
  EXPECT_EQ(com::GuidToString(control::CLSID_VelmoraX), "{6B3F2A41-8C1D-4E57-9A2E-517C03D4B811}");
  EXPECT_EQ(com::GuidToString(control::IID_IVelmoraX), "{6B3F2A42-8C1D-4E57-9A2E-517C03D4B811}");
  EXPECT_EQ(com::GuidToString(control::DIID_IVelmoraXEvents), "{6B3F2A43-8C1D-4E57-9A2E-517C03D4B811}");
  EXPECT_EQ(com::GuidToString(control::LIBID_Velmora), "{6B3F2A40-8C1D-4E57-9A2E-517C03D4B811}");
}

}  // namespace
