#include "platform/com/typelib.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::typelib;

constexpr GUID kLibid = {0x11111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
constexpr GUID kIid = {0xA1A1A1A1, 0xB2B2, 0xC3C3, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kDiid = {0xD1D1D1D1, 0xB2B2, 0xC3C3, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kClsid = {0xC1C1C1C1, 0xB2B2, 0xC3C3, {1, 2, 3, 4, 5, 6, 7, 8}};

TypeLibData Sample() {
  TypeLibData d;
  d.libid = com::ToGuidBytes(kLibid);
  d.name = "Velmora";
  d.helpString = "Velmora Library";
  TypeInfoData iface;
  iface.kind = TypeKind::Dispatch;
  iface.guid = com::ToGuidBytes(kIid);
  iface.name = "IThing";
  iface.helpString = "Dispatch interface for Thing";
  iface.typeFlags = kTypeFlagDual | kTypeFlagOleAutomation | kTypeFlagDispatchable;
  iface.funcs.push_back({18, kInvokePropertyGet, 0, 25, "port", {{"Value", VT_I4 | VT_BYREF, kParamOut | kParamRetval}}});
  iface.funcs.push_back({18, kInvokePropertyPut, 0, 25, "port", {{"Value", VT_I4, kParamIn}}});
  iface.funcs.push_back({70, kInvokeFunc, 0, 25, "GetSIOInit",
                         {{"Ch", VT_I4}, {"baudrate", VT_I4 | VT_BYREF, kParamOut}}});
  TypeInfoData events;
  events.kind = TypeKind::Dispatch;
  events.guid = com::ToGuidBytes(kDiid);
  events.name = "IThingEvents";
  events.funcs.push_back({4, kInvokeFunc, 0, VT_VOID, "OnPassMessage", {{"MsgNum", VT_I4}, {"MsgStr", VT_BSTR}}});
  TypeInfoData coclass;
  coclass.kind = TypeKind::CoClass;
  coclass.guid = com::ToGuidBytes(kClsid);
  coclass.name = "Thing";
  coclass.helpString = "Thing Control";
  coclass.typeFlags = kTypeFlagCanCreate | kTypeFlagControl;
  coclass.impls = {{0, kImplDefault}, {1, kImplDefault | kImplSource}};
  d.types = {iface, events, coclass};
  return d;
}

std::u16string Text(BSTR b) {
  std::u16string s(com::BstrView(b));
  SysFreeString(b);
  return s;
}

struct Released {
  void operator()(IUnknown* p) const {
    if (p) p->Release();
  }
};
template <typename T>
using Ptr = std::unique_ptr<T, Released>;

TEST(TypeInfo, AttributesAndFunctionsOfADualInterface) {
  Ptr<ITypeLib> lib(com::CreateTypeLib(Sample()));
  EXPECT_EQ(lib->GetTypeInfoCount(), 3u);
  ITypeInfo* raw = nullptr;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(kIid, &raw), S_OK);
  Ptr<ITypeInfo> info(raw);

  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(attr->guid == kIid);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_EQ(attr->cFuncs, 3);
  EXPECT_EQ(attr->cbSizeVft, (7 + 3) * 8);
  EXPECT_EQ(attr->lcid, 0x409u);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  EXPECT_EQ(attr->wTypeFlags, kTypeFlagDual | kTypeFlagOleAutomation | kTypeFlagDispatchable);
  info->ReleaseTypeAttr(attr);

  FUNCDESC* fd = nullptr;
  ASSERT_EQ(info->GetFuncDesc(2, &fd), S_OK);
  EXPECT_EQ(fd->memid, 70);
  EXPECT_EQ(fd->invkind, INVOKE_FUNC);
  EXPECT_EQ(fd->funckind, FUNC_DISPATCH);
  EXPECT_EQ(fd->cParams, 2);
  EXPECT_EQ(fd->oVft, (7 + 2) * 8);
  EXPECT_EQ(fd->elemdescFunc.tdesc.vt, VT_HRESULT);
  EXPECT_EQ(fd->lprgelemdescParam[0].tdesc.vt, VT_I4);
  EXPECT_EQ(fd->lprgelemdescParam[0].paramdesc.wParamFlags, kParamIn);
  ASSERT_EQ(fd->lprgelemdescParam[1].tdesc.vt, VT_PTR);
  EXPECT_EQ(fd->lprgelemdescParam[1].tdesc.lptdesc->vt, VT_I4);
  EXPECT_EQ(fd->lprgelemdescParam[1].paramdesc.wParamFlags, kParamOut);
  info->ReleaseFuncDesc(fd);
  EXPECT_EQ(info->GetFuncDesc(3, &fd), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(fd, nullptr);
}

TEST(TypeInfo, NamesAndIdsOfNames) {
  Ptr<ITypeLib> lib(com::CreateTypeLib(Sample()));
  ITypeInfo* raw = nullptr;
  ASSERT_EQ(lib->GetTypeInfo(0, &raw), S_OK);
  Ptr<ITypeInfo> info(raw);

  BSTR names[4] = {};
  UINT count = 0;
  ASSERT_EQ(info->GetNames(70, names, 4, &count), S_OK);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(Text(names[0]), u"GetSIOInit");
  EXPECT_EQ(Text(names[1]), u"Ch");
  EXPECT_EQ(Text(names[2]), u"baudrate");
  ASSERT_EQ(info->GetNames(18, names, 4, &count), S_OK);
  ASSERT_EQ(count, 1u) << "the retval parameter has no name of its own";
  EXPECT_EQ(Text(names[0]), u"port");
  ASSERT_EQ(info->GetNames(70, names, 1, &count), S_OK);
  EXPECT_EQ(count, 1u);
  SysFreeString(names[0]);
  EXPECT_EQ(info->GetNames(999, names, 4, &count), TYPE_E_ELEMENTNOTFOUND);

  std::u16string member = u"GETSIOINIT", param = u"BaudRate", bad = u"nothing";
  LPOLESTR query[2] = {member.data(), param.data()};
  MEMBERID ids[2] = {};
  ASSERT_EQ(info->GetIDsOfNames(query, 2, ids), S_OK);
  EXPECT_EQ(ids[0], 70);
  EXPECT_EQ(ids[1], 1);
  query[1] = bad.data();
  EXPECT_EQ(info->GetIDsOfNames(query, 2, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 70);
  EXPECT_EQ(ids[1], MEMBERID_NIL);
  query[0] = bad.data();
  EXPECT_EQ(info->GetIDsOfNames(query, 1, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], MEMBERID_NIL);
}

TEST(TypeInfo, ClassLeadsToItsDefaultAndSourceInterfaces) {
  Ptr<ITypeLib> lib(com::CreateTypeLib(Sample()));
  ITypeInfo* raw = nullptr;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(kClsid, &raw), S_OK);
  Ptr<ITypeInfo> coclass(raw);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  EXPECT_EQ(attr->cImplTypes, 2);
  coclass->ReleaseTypeAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  ASSERT_EQ(coclass->GetDocumentation(MEMBERID_NIL, &name, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(Text(name), u"Thing");
  EXPECT_EQ(Text(doc), u"Thing Control");

  INT flags = 0;
  HREFTYPE ref = 0;
  ASSERT_EQ(coclass->GetImplTypeFlags(1, &flags), S_OK);
  EXPECT_EQ(flags, INT(kImplDefault | kImplSource));
  ASSERT_EQ(coclass->GetRefTypeOfImplType(1, &ref), S_OK);
  ASSERT_EQ(coclass->GetRefTypeInfo(ref, &raw), S_OK);
  Ptr<ITypeInfo> source(raw);
  ASSERT_EQ(source->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(attr->guid == kDiid);
  EXPECT_EQ(attr->cbSizeVft, 7 * 8) << "a dispatch-only interface has IDispatch's slots only";
  source->ReleaseTypeAttr(attr);
  EXPECT_EQ(coclass->GetRefTypeOfImplType(2, &ref), TYPE_E_ELEMENTNOTFOUND);

  ITypeLib* containing = nullptr;
  UINT index = 9;
  ASSERT_EQ(source->GetContainingTypeLib(&containing, &index), S_OK);
  EXPECT_EQ(containing, lib.get());
  EXPECT_EQ(index, 1u);
  containing->Release();

  TLIBATTR* la = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&la), S_OK);
  EXPECT_TRUE(la->guid == kLibid);
  EXPECT_EQ(la->syskind, SYS_WIN64);
  lib->ReleaseTLibAttr(la);
  ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(Text(name), u"Velmora");
  EXPECT_EQ(Text(doc), u"Velmora Library");
}

class TypeLibRegistration : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-tlreg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("VELMORA_REGISTRY", (dir_ / "registry").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VELMORA_REGISTRY");
    fs::remove_all(dir_);
  }
  fs::path dir_;
};

TEST_F(TypeLibRegistration, LoadsFromAFileAndRegistersLibraryAndInterfaces) {
  std::vector<uint8_t> image = Serialize(Sample());
  std::ofstream(dir_ / "libthing.tlb", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  std::u16string path = com::AnsiToWide((dir_ / "libthing.so").string());
  ITypeLib* raw = nullptr;
  ASSERT_EQ(LoadTypeLib(path.c_str(), &raw), S_OK) << "from the .tlb beside the missing library";
  Ptr<ITypeLib> lib(raw);
  std::u16string helpDir = com::AnsiToWide(dir_.string());
  ASSERT_EQ(RegisterTypeLib(lib.get(), path.c_str(), helpDir.c_str()), S_OK);

  std::string key = "HKCR\\TypeLib\\{11111111-2222-3333-4455-66778899AABB}\\1.0";
  EXPECT_EQ(platform::RegistryQueryValue(key), "Velmora Library");
  EXPECT_EQ(platform::RegistryQueryValue(key + "\\0\\linux64"), (dir_ / "libthing.so").string());
  EXPECT_EQ(platform::RegistryQueryValue(key + "\\FLAGS"), "0");
  EXPECT_EQ(platform::RegistryQueryValue(key + "\\HELPDIR"), dir_.string());
  std::string iface = "HKCR\\Interface\\{A1A1A1A1-B2B2-C3C3-0102-030405060708}";
  EXPECT_EQ(platform::RegistryQueryValue(iface), "IThing");
  EXPECT_EQ(platform::RegistryQueryValue(iface + "\\ProxyStubClsid32"), "{00020424-0000-0000-C000-000000000046}");
  EXPECT_EQ(platform::RegistryQueryValue(iface + "\\TypeLib"), "{11111111-2222-3333-4455-66778899AABB}");
  EXPECT_EQ(platform::RegistryQueryValue(iface + "\\TypeLib", "Version"), "1.0");
  EXPECT_EQ(platform::RegistryQueryValue("HKCR\\Interface\\{D1D1D1D1-B2B2-C3C3-0102-030405060708}"), "IThingEvents");
  EXPECT_FALSE(platform::RegistryKeyExists("HKCR\\Interface\\{C1C1C1C1-B2B2-C3C3-0102-030405060708}"))
      << "a class is no interface";

  std::u16string missing = com::AnsiToWide((dir_ / "none.so").string());
  EXPECT_EQ(LoadTypeLib(missing.c_str(), &raw), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(raw, nullptr);
}

TEST_F(TypeLibRegistration, AnUnwritableRegistryFailsRegistration) {
  std::ofstream(dir_ / "file") << "x";
  setenv("VELMORA_REGISTRY", (dir_ / "file" / "registry").c_str(), 1);
  Ptr<ITypeLib> lib(com::CreateTypeLib(Sample()));
  EXPECT_EQ(RegisterTypeLib(lib.get(), u"/x/libthing.so", u"/x"), TYPE_E_REGISTRYACCESS);
}

}  // namespace
