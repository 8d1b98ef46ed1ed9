// libvelmora.so as a host meets it: exports, registration in a temporary
// registry, the type library in its section or beside it. This process links
// only the platform library; programs that load other copies of the library
// run as separate processes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/com/ole.h"
#include "platform/com/typelib.h"
#include "platform/module.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;

const std::string kLibrary = std::string(VELMORA_LIB_DIR) + "/libvelmora.so";
const std::string kRegsvr = std::string(VELMORA_BIN_DIR) + "/velmora-regsvr";
const std::string kClsid = "{6B3F2A41-8C1D-4E57-9A2E-517C03D4B811}";
const std::string kLibid = "{6B3F2A40-8C1D-4E57-9A2E-517C03D4B811}";
const std::string kIid = "{6B3F2A42-8C1D-4E57-9A2E-517C03D4B811}";

std::string Output(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  int s = pclose(p);
  if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return out;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

class ServerLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-server-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("VELMORA_REGISTRY", (dir_ / "registry").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VELMORA_REGISTRY");
    fs::remove_all(dir_);
  }
  int Regsvr(const std::string& args, std::string* out = nullptr) {
    int status = -1;
    std::string text = Output(Quote(kRegsvr) + " " + args + " 2>&1", &status);
    if (out) *out = text;
    return status;
  }
  // A copy of the library (and what it needs beside it) in dir.
  std::string CopyLibrary(const fs::path& dir, bool withTlb) {
    fs::create_directories(dir);
    fs::copy_file(kLibrary, dir / "libvelmora.so");
    fs::copy_file(fs::path(VELMORA_LIB_DIR) / "libvelmora-platform.so", dir / "libvelmora-platform.so");
    if (withTlb) fs::copy_file(fs::path(VELMORA_LIB_DIR) / "libvelmora.tlb", dir / "libvelmora.tlb");
    return (dir / "libvelmora.so").string();
  }
  std::string Key(const std::string& k) { return "HKCR\\" + k; }
  std::optional<std::string> Value(const std::string& k, const std::string& name = "") {
    return platform::RegistryQueryValue(Key(k), name);
  }

  fs::path dir_;
};

TEST_F(ServerLibrary, ExportsExactlyTheFourEntryPoints) {
  int status = -1;
  std::string out = Output("nm -D --defined-only " + Quote(kLibrary), &status);
  ASSERT_EQ(status, 0);
  std::set<std::string> exported;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) exported.insert(line.substr(line.rfind(' ') + 1));
  EXPECT_EQ(exported, (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                              "DllUnregisterServer"}));
  std::string dynamic = Output("readelf -d " + Quote(kLibrary));
  EXPECT_NE(dynamic.find("Library runpath: [$ORIGIN]"), std::string::npos) << dynamic;
  EXPECT_NE(dynamic.find("NODELETE"), std::string::npos) << dynamic;
}

TEST_F(ServerLibrary, RegistersEveryKeyAndUnregistersAllButTheTypeLibrary) {
  platform::ModuleHandle module = platform::LoadModule(kLibrary);
  ASSERT_NE(module, nullptr) << platform::ModuleError();
  auto reg = reinterpret_cast<HRESULT (*)()>(platform::ModuleSymbol(module, "DllRegisterServer"));
  auto unreg = reinterpret_cast<HRESULT (*)()>(platform::ModuleSymbol(module, "DllUnregisterServer"));
  ASSERT_TRUE(reg && unreg);
  ASSERT_EQ(reg(), S_OK);
  const std::string path = fs::path(kLibrary).lexically_normal().string();
  const std::string cls = "CLSID\\" + kClsid;
  EXPECT_EQ(Value(cls), "VelmoraX Control");
  EXPECT_EQ(Value(cls + "\\InprocServer32"), path);
  EXPECT_EQ(Value(cls + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(Value("Velmora.VelmoraX"), "VelmoraX Control");
  EXPECT_EQ(Value("Velmora.VelmoraX\\CLSID"), kClsid);
  EXPECT_EQ(Value(cls + "\\ProgID"), "Velmora.VelmoraX");
  EXPECT_EQ(Value(cls + "\\Version"), "1.0");
  EXPECT_EQ(Value(cls + "\\Typelib"), kLibid);
  EXPECT_EQ(Value(cls + "\\MiscStatus"), "0");
  EXPECT_EQ(Value(cls + "\\MiscStatus\\1"), "131473");
  EXPECT_EQ(Value(cls + "\\ToolboxBitmap32"), path + ",1");
  EXPECT_EQ(Value(cls + "\\Control"), "");
  EXPECT_EQ(Value(cls + "\\Verb"), "");
  EXPECT_EQ(Value(cls + "\\Verb\\0"), "Properties,0,2");
  EXPECT_EQ(platform::RegistrySubKeys(Key(cls)),
            (std::vector<std::string>{"Control", "InprocServer32", "MiscStatus", "ProgID", "ToolboxBitmap32",
                                      "Typelib", "Verb", "Version"}));
  const std::string lib = "TypeLib\\" + kLibid + "\\1.0";
  EXPECT_EQ(Value(lib), "Velmora Library");
  EXPECT_EQ(Value(lib + "\\0\\linux64"), path);
  EXPECT_EQ(Value(lib + "\\FLAGS"), "0");
  EXPECT_EQ(Value(lib + "\\HELPDIR"), fs::path(path).parent_path().string());
  EXPECT_EQ(Value("Interface\\" + kIid), "IVelmoraX");
  EXPECT_EQ(Value("Interface\\" + kIid + "\\TypeLib"), kLibid);

  EXPECT_EQ(unreg(), S_OK);
  EXPECT_FALSE(platform::RegistryKeyExists(Key(cls)));
  EXPECT_FALSE(platform::RegistryKeyExists(Key("Velmora.VelmoraX")));
  EXPECT_EQ(Value(lib + "\\0\\linux64"), path) << "the type library stays registered";
  EXPECT_EQ(platform::RegistrySubKeys("HKCR\\CLSID"), std::vector<std::string>{});
  EXPECT_EQ(unreg(), S_OK) << "again, with nothing left";
  platform::FreeModule(module);
}

TEST_F(ServerLibrary, ToolRegistersAPathWithABlankAsItIs) {
  std::string lib = CopyLibrary(dir_ / "with blank", false);
  std::string out;
  ASSERT_EQ(Regsvr(Quote(lib), &out), 0) << out;
  EXPECT_NE(out.find("0x00000000"), std::string::npos) << out;
  const std::string cls = "CLSID\\" + kClsid;
  EXPECT_EQ(Value(cls + "\\InprocServer32"), lib);
  EXPECT_EQ(Value(cls + "\\ToolboxBitmap32"), lib + ",1");
  // The registered path loads (in a process of its own).
  ASSERT_EQ(Regsvr("-u " + Quote(*Value(cls + "\\InprocServer32")), &out), 0) << out;
  EXPECT_FALSE(platform::RegistryKeyExists(Key(cls)));
  EXPECT_NE(Regsvr(Quote((dir_ / "missing.so").string()), &out), 0);
  EXPECT_NE(Regsvr("", &out), 0);
}

TEST_F(ServerLibrary, StrippedSectionLoadsFromTheTlbAndWithNeitherRegistrationFails) {
  std::string lib = CopyLibrary(dir_ / "stripped", true);
  ASSERT_EQ(std::system(("objcopy --remove-section .velmora_typelib " + Quote(lib)).c_str()), 0);
  std::u16string wide = com::AnsiToWide(lib);
  ITypeLib* tl = nullptr;
  ASSERT_EQ(LoadTypeLib(wide.c_str(), &tl), S_OK);
  ITypeInfo* info = nullptr;
  ASSERT_EQ(tl->GetTypeInfo(0, &info), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->cFuncs, 128);
  EXPECT_EQ(attr->wTypeFlags, 0x40 | 0x100 | 0x1000);
  info->ReleaseTypeAttr(attr);
  info->Release();
  tl->Release();
  std::string out;
  EXPECT_EQ(Regsvr(Quote(lib), &out), 0) << out;
  EXPECT_EQ(Value("CLSID\\" + kClsid), "VelmoraX Control");

  fs::remove(dir_ / "stripped" / "libvelmora.tlb");
  fs::remove_all(dir_ / "registry");
  EXPECT_EQ(LoadTypeLib(wide.c_str(), &tl), TYPE_E_CANTLOADLIBRARY);
  EXPECT_NE(Regsvr(Quote(lib), &out), 0);
  EXPECT_NE(out.find("0x80029C4A"), std::string::npos) << out;
  // Without the type library the keys from MiscStatus on are still written.
  const std::string cls = "CLSID\\" + kClsid;
  EXPECT_EQ(Value(cls + "\\MiscStatus\\1"), "131473");
  EXPECT_EQ(Value(cls + "\\InprocServer32"), std::nullopt);
  EXPECT_FALSE(platform::RegistryKeyExists(Key("Velmora.VelmoraX")));
  // Unregistering still removes both trees.
  EXPECT_EQ(Regsvr("-u " + Quote(lib), &out), 0) << out;
  EXPECT_FALSE(platform::RegistryKeyExists(Key(cls)));
}

TEST_F(ServerLibrary, ARegistryThatCannotBeWrittenFailsRegistration) {
  std::ofstream(dir_ / "file") << "x";
  setenv("VELMORA_REGISTRY", (dir_ / "file" / "registry").c_str(), 1);
  std::string out;
  EXPECT_NE(Regsvr(Quote(kLibrary), &out), 0);
  EXPECT_NE(out.find("0x80020009"), std::string::npos) << out;
  EXPECT_NE(out.find("Cannot create the registry key"), std::string::npos) << out;
}

TEST_F(ServerLibrary, GeneratedTypeLibraryDescribesTheControl) {
  std::u16string path = com::AnsiToWide(std::string(VELMORA_LIB_DIR) + "/libvelmora.tlb");
  ITypeLib* tl = nullptr;
  ASSERT_EQ(LoadTypeLib(path.c_str(), &tl), S_OK);
  EXPECT_EQ(tl->GetTypeInfoCount(), 3u);
  TLIBATTR* la = nullptr;
  ASSERT_EQ(tl->GetLibAttr(&la), S_OK);
  EXPECT_EQ(la->lcid, 0x409u);
  EXPECT_EQ(la->wMajorVerNum, 1);
  tl->ReleaseTLibAttr(la);
  ITypeInfo* iface = nullptr;
  ASSERT_EQ(tl->GetTypeInfo(0, &iface), S_OK);
  std::u16string name = u"ConnectWebcam";
  LPOLESTR names[] = {name.data()};
  MEMBERID id = 0;
  ASSERT_EQ(iface->GetIDsOfNames(names, 1, &id), S_OK);
  EXPECT_EQ(id, 44);
  FUNCDESC* fd = nullptr;
  ASSERT_EQ(iface->GetFuncDesc(0, &fd), S_OK);
  EXPECT_EQ(fd->memid, 1) << "Visible's get comes first";
  EXPECT_EQ(fd->invkind, INVOKE_PROPERTYGET);
  EXPECT_EQ(fd->oVft, 7 * 8);
  iface->ReleaseFuncDesc(fd);
  ASSERT_EQ(iface->GetFuncDesc(127, &fd), S_OK);
  EXPECT_EQ(fd->memid, 58) << "motionbits' get comes last";
  iface->ReleaseFuncDesc(fd);
  iface->Release();
  ITypeInfo* events = nullptr;
  ASSERT_EQ(tl->GetTypeInfo(1, &events), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(events->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->cFuncs, 9);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  events->ReleaseTypeAttr(attr);
  events->Release();
  tl->Release();
}

}  // namespace
