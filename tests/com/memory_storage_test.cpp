#include <gtest/gtest.h>

#include <cstring>

#include "platform/com/ole.h"

namespace {

TEST(MemoryStream, ReadsWritesSeeksAndClones) {
  IStream* s = nullptr;
  ASSERT_EQ(VelmoraCreateMemoryStream("abc", 3, &s), S_OK);
  char buf[8] = {};
  ULONG got = 0;
  ASSERT_EQ(s->Read(buf, 8, &got), S_OK);
  EXPECT_EQ(got, 3u);
  EXPECT_STREQ(buf, "abc");
  ULONG put = 0;
  ASSERT_EQ(s->Write("de", 2, &put), S_OK);
  EXPECT_EQ(put, 2u);
  ULARGE_INTEGER pos{};
  ASSERT_EQ(s->Seek(LARGE_INTEGER{-4}, STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(pos.QuadPart, 1u);
  EXPECT_EQ(s->Seek(LARGE_INTEGER{-2}, STREAM_SEEK_SET, &pos), STG_E_INVALIDFUNCTION);
  IStream* clone = nullptr;
  ASSERT_EQ(s->Clone(&clone), S_OK);
  std::memset(buf, 0, sizeof buf);
  ASSERT_EQ(clone->Read(buf, 8, &got), S_OK);
  EXPECT_STREQ(buf, "bcde") << "a clone starts at the same position on the same bytes";
  STATSTG st{};
  ASSERT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.cbSize.QuadPart, 5u);
  EXPECT_EQ(st.type, STGTY_STREAM);
  ASSERT_EQ(s->SetSize(ULARGE_INTEGER{2}), S_OK);
  ASSERT_EQ(clone->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.cbSize.QuadPart, 2u);
  ASSERT_EQ(clone->Read(buf, 8, &got), S_OK);
  EXPECT_EQ(got, 0u) << "reading past the end gives nothing";
  clone->Release();
  void* same = nullptr;
  ASSERT_EQ(s->QueryInterface(IID_ISequentialStream, &same), S_OK);
  EXPECT_EQ(same, s);
  s->Release();
  EXPECT_EQ(s->Release(), 0u);
}

TEST(MemoryStorage, StreamsOutliveTheirInterfacesAndNamesIgnoreCase) {
  IStorage* stg = nullptr;
  ASSERT_EQ(VelmoraCreateMemoryStorage(&stg), S_OK);
  IStream* s = nullptr;
  ASSERT_EQ(stg->CreateStream(u"Contents", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &s), S_OK);
  ASSERT_EQ(s->Write("xyz", 3, nullptr), S_OK);
  s->Release();
  EXPECT_EQ(stg->CreateStream(u"contents", STGM_READWRITE, 0, 0, &s), STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(s, nullptr);
  ASSERT_EQ(stg->OpenStream(u"CONTENTS", nullptr, STGM_READ, 0, &s), S_OK);
  char buf[4] = {};
  ULONG got = 0;
  ASSERT_EQ(s->Read(buf, 3, &got), S_OK);
  EXPECT_STREQ(buf, "xyz");
  s->Release();
  EXPECT_EQ(stg->OpenStream(u"Other", nullptr, STGM_READ, 0, &s), STG_E_FILENOTFOUND);
  ASSERT_EQ(stg->CreateStream(u"Contents", STGM_CREATE | STGM_READWRITE, 0, 0, &s), S_OK);
  STATSTG st{};
  ASSERT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.cbSize.QuadPart, 0u) << "STGM_CREATE replaces the stream";
  s->Release();
  IStorage* sub = nullptr;
  ASSERT_EQ(stg->CreateStorage(u"Sub", STGM_READWRITE, 0, 0, &sub), S_OK);
  sub->Release();
  EXPECT_EQ(stg->OpenStream(u"Sub", nullptr, STGM_READ, 0, &s), STG_E_FILENOTFOUND) << "a storage is no stream";
  ASSERT_EQ(stg->DestroyElement(u"contents"), S_OK);
  EXPECT_EQ(stg->OpenStream(u"Contents", nullptr, STGM_READ, 0, &s), STG_E_FILENOTFOUND);
  EXPECT_EQ(stg->CreateStream(nullptr, STGM_READWRITE, 0, 0, &s), STG_E_INVALIDPOINTER);
  EXPECT_EQ(stg->Release(), 0u);
}

TEST(MemoryPropertyBag, StoresCopiesAndCoercesOnRequest) {
  IPropertyBag* bag = nullptr;
  ASSERT_EQ(VelmoraCreateMemoryPropertyBag(&bag), S_OK);
  com::Variant v;
  v.vt = VT_BSTR;
  v.bstrVal = com::AllocBstr(u"5080");
  ASSERT_EQ(bag->Write(u"_cx", &v), S_OK);
  com::Variant out;
  ASSERT_EQ(bag->Read(u"_CX", &out, nullptr), S_OK);
  EXPECT_EQ(out.vt, VT_BSTR);
  EXPECT_EQ(com::BstrView(out.bstrVal), u"5080");
  VariantClear(&out);
  out.vt = VT_UI4;
  ASSERT_EQ(bag->Read(u"_cx", &out, nullptr), S_OK);
  EXPECT_EQ(out.vt, VT_UI4);
  EXPECT_EQ(out.ulVal, 5080u);
  com::Variant missing;
  EXPECT_EQ(bag->Read(u"_cy", &missing, nullptr), E_INVALIDARG);
  EXPECT_EQ(bag->Release(), 0u);
}

}  // namespace
