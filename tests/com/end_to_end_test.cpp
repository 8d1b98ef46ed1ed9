// A host from end to end, linking only the platform library: the ProgID in
// the registry leads to the library, which is loaded and asked for the
// control; the control logs in at a camera simulator (its own process), is
// activated in place in a headless site, and its release raises OnDestroy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/com/ole.h"
#include "platform/message_queue.h"
#include "platform/module.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;

constexpr DISPID kOnPassMessage = 4, kOnDestroy = 6;
constexpr IID kDiidEvents = {0x6B3F2A43, 0x8C1D, 0x4E57, {0x9A, 0x2E, 0x51, 0x7C, 0x03, 0xD4, 0xB8, 0x11}};

bool ParseGuid(const std::string& text, GUID* g) {
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

// The camera simulator as a child process; its standard input stays open
// until the end, when it is killed.
class Camera {
 public:
  bool Start() {
    int out[2], in[2];
    if (pipe(out) != 0 || pipe(in) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      std::string camsim = std::string(VELMORA_BIN_DIR) + "/camsim";
      execl(camsim.c_str(), "camsim", "--port", "0", "--video", "none", "--audio", "none", "--quiet", nullptr);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    FILE* f = fdopen(out[0], "r");
    char line[256];
    unsigned audio = 0;
    while (f && fgets(line, sizeof line, f))
      if (std::sscanf(line, "camsim: audio on 127.0.0.1:%u", &audio) == 1) break;
    out_ = f;
    port_ = int(audio);
    return port_ > 0;
  }
  ~Camera() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (stdin_ >= 0) close(stdin_);
    if (out_) fclose(out_);
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  FILE* out_ = nullptr;
  int port_ = 0;
};

class Sink final : public IDispatch {
 public:
  std::vector<std::pair<DISPID, int32_t>> events;
  ULONG refs = 1;
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == kDiidEvents) {
      *ppv = this;
      ++refs;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
    events.push_back({id, id == kOnPassMessage && p && p->cArgs == 2 ? p->rgvarg[1].lVal : 0});
    return S_OK;
  }
  bool Got(DISPID id, int32_t number = 0) const {
    for (auto& e : events)
      if (e.first == id && (id != kOnPassMessage || e.second == number)) return true;
    return false;
  }
};

class Site final : public IOleClientSite, public IOleInPlaceSite {
 public:
  int activated = 0;
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IOleClientSite)
      *ppv = static_cast<IOleClientSite*>(this);
    else if (riid == IID_IOleInPlaceSite || riid == IID_IOleWindow)
      *ppv = static_cast<IOleInPlaceSite*>(this);
    else {
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
    *w = 1;
    return S_OK;
  }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT CanInPlaceActivate() override { return S_OK; }
  HRESULT OnInPlaceActivate() override {
    ++activated;
    return S_OK;
  }
  HRESULT OnUIActivate() override { return S_OK; }
  HRESULT GetWindowContext(IOleInPlaceFrame** f, IOleInPlaceUIWindow** d, LPRECT pos, LPRECT clip,
                           OLEINPLACEFRAMEINFO*) override {
    *f = nullptr;
    *d = nullptr;
    *pos = *clip = RECT{0, 0, 352, 288};
    return S_OK;
  }
  HRESULT Scroll(SIZE) override { return E_NOTIMPL; }
  HRESULT OnUIDeactivate(BOOL) override { return S_OK; }
  HRESULT OnInPlaceDeactivate() override { return S_OK; }
  HRESULT DiscardUndoState() override { return E_NOTIMPL; }
  HRESULT DeactivateAndUndo() override { return E_NOTIMPL; }
  HRESULT OnPosRectChange(LPCRECT) override { return S_OK; }
};

HRESULT Put(IDispatch* d, const char16_t* name, VARIANT value) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  if (HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, 0, &id); FAILED(hr)) return hr;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS p{&value, &named, 1, 1};
  HRESULT hr = d->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr, nullptr);
  VariantClear(&value);
  return hr;
}

bool PumpUntil(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    VelmoraPumpMessages(50);
  }
  return true;
}

TEST(EndToEnd, HostFindsLoadsEmbedsAndReleasesTheControl) {
  char pattern[] = "/tmp/velmora-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  fs::path dir = pattern;
  setenv("VELMORA_REGISTRY", (dir / "registry").c_str(), 1);
  setenv("VELMORA_VIDEO", "headless", 1);
  setenv("VELMORA_AUDIO", "null", 1);
  // The machine's talk area of a namespace of its own, and no capture server.
  setenv("VELMORA_NS", ("come2e" + std::to_string(getpid()) + ".").c_str(), 1);
  setenv("VELMORA_OSTRANE", "", 1);
  std::string regsvr = std::string(VELMORA_BIN_DIR) + "/velmora-regsvr " + VELMORA_LIB_DIR + "/libvelmora.so >/dev/null";
  ASSERT_EQ(std::system(regsvr.c_str()), 0);

  auto clsidText = platform::RegistryQueryValue("HKCR\\Velmora.VelmoraX\\CLSID");
  ASSERT_TRUE(clsidText);
  GUID clsid{};
  ASSERT_TRUE(ParseGuid(*clsidText, &clsid)) << *clsidText;
  auto path = platform::RegistryQueryValue("HKCR\\CLSID\\" + *clsidText + "\\InprocServer32");
  ASSERT_TRUE(path);
  platform::ModuleHandle module = platform::LoadModule(*path);
  ASSERT_NE(module, nullptr) << platform::ModuleError();
  auto getClassObject = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(
      platform::ModuleSymbol(module, "DllGetClassObject"));
  auto canUnloadNow = reinterpret_cast<HRESULT (*)()>(platform::ModuleSymbol(module, "DllCanUnloadNow"));
  ASSERT_TRUE(getClassObject && canUnloadNow);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  IDispatch* control = nullptr;
  HRESULT created = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control));
  factory->Release();
  if (created == DISP_E_EXCEPTION) {
    IErrorInfo* info = nullptr;
    std::string why;
    if (GetErrorInfo(0, &info) == S_OK && info) {
      com::Bstr text;
      info->GetDescription(text.out());
      why = com::WideToAnsi(text.view());
      info->Release();
    }
    fs::remove_all(dir);
    FAIL() << "the control could not be created: " << why;
  }
  ASSERT_EQ(created, S_OK);

  Sink sink;
  IConnectionPointContainer* cpc = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)), S_OK);
  IConnectionPoint* cp = nullptr;
  ASSERT_EQ(cpc->FindConnectionPoint(kDiidEvents, &cp), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
  cp->Release();
  cpc->Release();

  Site site;
  IOleObject* ole = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  ASSERT_EQ(ole->SetClientSite(&site), S_OK);
  ASSERT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, 0, nullptr), S_OK);
  EXPECT_EQ(site.activated, 1);

  Camera camera;
  ASSERT_TRUE(camera.Start());
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = com::AllocBstr(u"127.0.0.1");
  ASSERT_EQ(Put(control, u"ipaddr", v), S_OK);
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = camera.port();
  ASSERT_EQ(Put(control, u"port", v), S_OK);
  DISPID connect = 0;
  std::u16string name = u"ConnectWebcam";
  LPOLESTR names[] = {name.data()};
  ASSERT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, 0, &connect), S_OK);
  int32_t ignored = 0;
  VARIANT out;
  VariantInit(&out);
  out.vt = VT_BYREF | VT_I4;
  out.plVal = &ignored;
  DISPPARAMS args{&out, nullptr, 1, 0};
  ASSERT_EQ(control->Invoke(connect, IID_NULL, 0, DISPATCH_METHOD, &args, nullptr, nullptr, nullptr), S_OK);
  EXPECT_TRUE(PumpUntil([&] { return sink.Got(kOnPassMessage, 32); })) << "logged in as administrator";

  ASSERT_EQ(ole->Close(OLECLOSE_NOSAVE), S_OK);
  ole->SetClientSite(nullptr);
  ole->Release();
  EXPECT_EQ(canUnloadNow(), S_FALSE);
  EXPECT_EQ(control->Release(), 0u);
  EXPECT_TRUE(sink.Got(kOnDestroy));
  EXPECT_EQ(canUnloadNow(), S_OK);
  platform::FreeModule(module);
  fs::remove_all(dir);
}

}  // namespace
