// A host from end to end, linking only the platform library: the ProgID in
// the registry leads to the library, which is loaded and asked for the
// control; the control logs in at a camera simulator (its own process), is
// activated in place in a headless site, and its release raises OnDestroy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
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
#include "platform/shared_memory.h"
#include "tests/com/registered_control.h"
#include "tests/support/child_process.h"
#include "tests/support/runtime_files.h"

namespace {

namespace fs = std::filesystem;

constexpr DISPID kOnPassMessage = 4, kOnDestroy = 6;
constexpr IID kDiidEvents = {0x6B3F2A43, 0x8C1D, 0x4E57, {0x9A, 0x2E, 0x51, 0x7C, 0x03, 0xD4, 0xB8, 0x11}};

// The camera simulator as a child process; its standard input stays open
// until the end, when it is killed.
class Camera {
 public:
  // Without media the camera only answers; with it, it streams pictures and sound.
  bool Start(bool media = false) {
    int out[2], in[2];
    if (pipe(out) != 0 || pipe(in) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      std::string camsim = std::string(VELMORA_BIN_DIR) + "/camsim";
      if (media)
        execl(camsim.c_str(), "camsim", "--port", "0", "--quiet", nullptr);
      else
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

bool PumpUntil(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    VelmoraPumpMessages(50);
  }
  return true;
}

// A registry, a talk-area namespace and outputs of the test's own, with the
// control registered in that registry.
class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("VELMORA_REGISTRY", (dir_ / "registry").c_str(), 1);
    setenv("VELMORA_VIDEO", "headless", 1);
    setenv("VELMORA_AUDIO", "null", 1);
    // The machine's talk area of a namespace of its own, and no capture server.
    setenv("VELMORA_NS", ("come2e" + std::to_string(getpid()) + ".").c_str(), 1);
    setenv("VELMORA_OSTRANE", "", 1);
    std::string regsvr = std::string(VELMORA_BIN_DIR) + "/velmora-regsvr " + VELMORA_LIB_DIR + "/libvelmora.so >/dev/null";
    ASSERT_EQ(std::system(regsvr.c_str()), 0);
  }
  void TearDown() override {
    fs::remove_all(dir_);
    // What a host that never released its control leaves of the talk area.
    shm_unlink(platform::SharedMemory::ShmName(platform::VelmoraNamespace() + "MEMSHAREMAPPING").c_str());
    testing_support::RemoveRuntimeFiles(platform::VelmoraNamespace());
  }

  fs::path dir_;
};

TEST_F(EndToEnd, HostFindsLoadsEmbedsAndReleasesTheControl) {
  com_test::RegisteredControl created;
  std::string why;
  ASSERT_TRUE(com_test::CreateRegisteredControl(&created, &why)) << why;
  IDispatch* control = created.control;

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
  ASSERT_EQ(com_test::ConnectTo(control, u"127.0.0.1", camera.port()), S_OK);
  EXPECT_TRUE(PumpUntil([&] { return sink.Got(kOnPassMessage, 32); })) << "logged in as administrator";

  ASSERT_EQ(ole->Close(OLECLOSE_NOSAVE), S_OK);
  ole->SetClientSite(nullptr);
  ole->Release();
  EXPECT_EQ(created.canUnloadNow(), S_FALSE);
  EXPECT_EQ(control->Release(), 0u);
  EXPECT_TRUE(sink.Got(kOnDestroy));
  EXPECT_EQ(created.canUnloadNow(), S_OK);
  platform::FreeModule(created.module);
}

// A host that returns from main with a live, connected control exits cleanly:
// nothing that the engine's threads still use is torn down under them. The
// leaked control is the point of the test, so the child skips leak checks.
TEST_F(EndToEnd, HostReturningWithALiveControlExitsCleanly) {
  Camera camera;
  ASSERT_TRUE(camera.Start(true));
  std::string options = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
  options += (options.empty() ? "" : ":") + std::string("detect_leaks=0");
  const std::string host = std::string(VELMORA_BIN_DIR) + "/com_exit_host";
  const std::string port = std::to_string(camera.port());
  for (int run = 0; run < 20; ++run) {
    testing_support::ChildProcess child({host, port}, {"ASAN_OPTIONS=" + options}, false);
    const int status = child.Wait(120000);
    ASSERT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "run " << run << ": "
        << (status == -1          ? "did not end"
            : WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                  : "exit " + std::to_string(WEXITSTATUS(status)));
  }
}

}  // namespace
