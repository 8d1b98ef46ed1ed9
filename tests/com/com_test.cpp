#include "platform/com/com.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using com::Bstr;
using com::Variant;

TEST(Bstr, LengthPrefixTerminatorAndEmbeddedNul) {
  const char16_t text[] = {u'a', 0, u'b', 0xD800, u'c'};  // embedded NUL, lone surrogate
  BSTR b = SysAllocStringLen(text, 5);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(SysStringByteLen(b), 10u);
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<char*>(b) - 4, 4);
  EXPECT_EQ(prefix, 10u);
  EXPECT_EQ(b[5], 0);
  EXPECT_EQ(std::u16string_view(b, 5), std::u16string_view(text, 5));

  // A copy through a VARIANT keeps every character.
  Variant v, w;
  v.vt = VT_BSTR;
  v.bstrVal = b;
  ASSERT_EQ(VariantCopy(&w, &v), S_OK);
  EXPECT_NE(w.bstrVal, b);
  EXPECT_EQ(com::BstrView(w.bstrVal), std::u16string_view(text, 5));

  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  BSTR zero = SysAllocStringLen(nullptr, 3);
  EXPECT_EQ(SysStringLen(zero), 3u);
  EXPECT_EQ(zero[0], 0);
  SysFreeString(zero);
  BSTR s = SysAllocString(u"hello");
  EXPECT_EQ(SysStringLen(s), 5u);
  SysFreeString(s);
}

TEST(Bstr, AnsiIsUtf8WithLatin1Fallback) {
  EXPECT_EQ(com::AnsiToWide("caf\xC3\xA9"), u"caf\u00E9");
  EXPECT_EQ(com::AnsiToWide("caf\xE9"), u"caf\u00E9");          // not UTF-8: Latin-1
  EXPECT_EQ(com::AnsiToWide("\xC0\x80"), u"\u00C0\u0080");        // overlong: bytes
  EXPECT_EQ(com::AnsiToWide("\xED\xA0\x80"), u"\u00ED\u00A0\u0080");  // surrogate: bytes
  EXPECT_EQ(com::AnsiToWide("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(com::WideToAnsi(u"caf\u00E9\U0001F600"), "caf\xC3\xA9\xF0\x9F\x98\x80");
  const char16_t lone[] = {u'x', 0xDC00, u'y'};
  EXPECT_EQ(com::WideToAnsi(std::u16string_view(lone, 3)), "x\xEF\xBF\xBDy");
  EXPECT_EQ(com::WideToAnsi(std::u16string_view(u"a\0b", 3)), std::string("a\0b", 3));
}

TEST(Variant, ClearReleasesAndRejectsUnknownTypes) {
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"x");
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = 0x77;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  int32_t target = 5;
  v.vt = VT_BYREF | VT_I4;
  v.plVal = &target;
  EXPECT_EQ(VariantClear(&v), S_OK);  // by reference: nothing freed
  EXPECT_EQ(target, 5);
}

struct Expect {
  VARTYPE to;
  HRESULT hr;
  int64_t value;  // integer view of the result, when hr is S_OK
};

int64_t IntegerOf(const VARIANT& v) {
  switch (v.vt) {
    case VT_I2: return v.iVal;
    case VT_I4: return v.lVal;
    case VT_UI4: return v.ulVal;
    case VT_I8: return v.llVal;
    case VT_BOOL: return v.boolVal;
    case VT_R4: return static_cast<int64_t>(v.fltVal * 1000);
    default: return 0;
  }
}

void CheckRow(const VARIANT& src, std::initializer_list<Expect> row) {
  for (const Expect& e : row) {
    Variant out;
    const HRESULT hr = VariantChangeType(&out, &src, 0, e.to);
    EXPECT_EQ(hr, e.hr) << "from " << src.vt << " to " << e.to;
    if (hr == S_OK) {
      EXPECT_EQ(out.vt, e.to);
      EXPECT_EQ(IntegerOf(out), e.value) << "from " << src.vt << " to " << e.to;
    }
  }
}

TEST(Variant, ChangeTypeMatrix) {
  const HRESULT OV = DISP_E_OVERFLOW, TM = DISP_E_TYPEMISMATCH;
  Variant empty;
  CheckRow(empty, {{VT_I2, S_OK, 0}, {VT_I4, S_OK, 0}, {VT_I8, S_OK, 0}, {VT_UI4, S_OK, 0},
                   {VT_R4, S_OK, 0}, {VT_BOOL, S_OK, 0}, {VT_DISPATCH, TM, 0}, {VT_UNKNOWN, TM, 0}});
  Variant i2;
  i2.vt = VT_I2;
  i2.iVal = -23;
  CheckRow(i2, {{VT_I4, S_OK, -23}, {VT_I8, S_OK, -23}, {VT_UI4, OV, 0}, {VT_R4, S_OK, -23000},
                {VT_BOOL, S_OK, -1}, {VT_DISPATCH, TM, 0}});
  Variant i4;
  i4.vt = VT_I4;
  i4.lVal = 40000;
  CheckRow(i4, {{VT_I2, OV, 0}, {VT_I8, S_OK, 40000}, {VT_UI4, S_OK, 40000}, {VT_BOOL, S_OK, -1},
                {VT_R4, S_OK, 40000000}});
  Variant i8;
  i8.vt = VT_I8;
  i8.llVal = int64_t{1} << 40;
  CheckRow(i8, {{VT_I4, OV, 0}, {VT_UI4, OV, 0}, {VT_I2, OV, 0}, {VT_BOOL, S_OK, -1}});
  Variant ui4;
  ui4.vt = VT_UI4;
  ui4.ulVal = 0xFFFFFFFFu;
  CheckRow(ui4, {{VT_I4, OV, 0}, {VT_I8, S_OK, 0xFFFFFFFFll}, {VT_I2, OV, 0}});
  Variant r4;
  r4.vt = VT_R4;
  r4.fltVal = 2.5f;  // rounds half to even
  CheckRow(r4, {{VT_I2, S_OK, 2}, {VT_I4, S_OK, 2}, {VT_I8, S_OK, 2}, {VT_UI4, S_OK, 2}, {VT_BOOL, S_OK, -1}});
  r4.fltVal = 3.5f;
  CheckRow(r4, {{VT_I4, S_OK, 4}});
  r4.fltVal = 1e20f;
  CheckRow(r4, {{VT_I4, OV, 0}, {VT_I8, OV, 0}});
  Variant b;
  b.vt = VT_BOOL;
  b.boolVal = VARIANT_TRUE;
  CheckRow(b, {{VT_I2, S_OK, -1}, {VT_I4, S_OK, -1}, {VT_I8, S_OK, -1}, {VT_UI4, OV, 0}, {VT_R4, S_OK, -1000}});
  Variant s;
  s.vt = VT_BSTR;
  s.bstrVal = SysAllocString(u" 701 ");
  CheckRow(s, {{VT_I2, S_OK, 701}, {VT_I4, S_OK, 701}, {VT_I8, S_OK, 701}, {VT_UI4, S_OK, 701},
               {VT_R4, S_OK, 701000}, {VT_BOOL, S_OK, -1}, {VT_DISPATCH, TM, 0}});
  VariantClear(&s);
  s.vt = VT_BSTR;
  s.bstrVal = SysAllocString(u"TRUE");
  CheckRow(s, {{VT_BOOL, S_OK, -1}, {VT_I4, TM, 0}});
  VariantClear(&s);
  s.vt = VT_BSTR;
  s.bstrVal = SysAllocString(u"1.5");
  CheckRow(s, {{VT_I4, S_OK, 2}, {VT_R4, S_OK, 1500}});
  VariantClear(&s);
  s.vt = VT_BSTR;
  s.bstrVal = SysAllocString(u"abc");
  CheckRow(s, {{VT_I4, TM, 0}, {VT_R4, TM, 0}, {VT_BOOL, TM, 0}});
  VariantClear(&s);
  const char16_t nul[] = {u'1', 0, u'2'};
  s.vt = VT_BSTR;
  s.bstrVal = SysAllocStringLen(nul, 3);
  CheckRow(s, {{VT_I4, TM, 0}});

  Variant bad;
  bad.vt = 0x7F;
  Variant out;
  EXPECT_EQ(VariantChangeType(&out, &bad, 0, VT_I4), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&out, &i4, 0, 0x7F), DISP_E_BADVARTYPE);
}

TEST(Variant, ChangeTypeToTextAndInPlaceAndByReference) {
  auto text = [](VARIANT src, USHORT flags = 0) {
    Variant out;
    EXPECT_EQ(VariantChangeType(&out, &src, flags, VT_BSTR), S_OK);
    return std::u16string(com::BstrView(out.bstrVal));
  };
  VARIANT v{};
  v.vt = VT_I4;
  v.lVal = -25536;
  EXPECT_EQ(text(v), u"-25536");
  v.vt = VT_R4;
  v.fltVal = 1.25f;
  EXPECT_EQ(text(v), u"1.25");
  v.vt = VT_BOOL;
  v.boolVal = VARIANT_TRUE;
  EXPECT_EQ(text(v), u"-1");
  EXPECT_EQ(text(v, VARIANT_ALPHABOOL), u"True");
  v.vt = VT_EMPTY;
  EXPECT_EQ(text(v), u"");

  Variant inplace;
  inplace.vt = VT_BSTR;
  inplace.bstrVal = SysAllocString(u"42");
  ASSERT_EQ(VariantChangeType(&inplace, &inplace, 0, VT_I4), S_OK);
  EXPECT_EQ(inplace.vt, VT_I4);
  EXPECT_EQ(inplace.lVal, 42);

  int16_t key = -23;
  VARIANT ref{};
  ref.vt = VT_BYREF | VT_I2;
  ref.piVal = &key;
  Variant out;
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, -23);
  ref.piVal = nullptr;
  EXPECT_EQ(VariantChangeType(&out, &ref, 0, VT_I4), E_POINTER);
}

// An object whose default value is 7, counting its references.
struct ValueObject final : IDispatch {
  std::atomic<int> refs{1};
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
    if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || !result) return DISP_E_MEMBERNOTFOUND;
    result->vt = VT_I4;
    result->lVal = 7;
    return S_OK;
  }
};

TEST(Variant, ObjectsCopyByReferenceAndConvertThroughTheirValue) {
  ValueObject obj;
  {
    Variant v, w;
    v.vt = VT_DISPATCH;
    v.pdispVal = &obj;
    obj.AddRef();
    ASSERT_EQ(VariantCopy(&w, &v), S_OK);
    EXPECT_EQ(obj.refs, 3);
    Variant n;
    ASSERT_EQ(VariantChangeType(&n, &v, 0, VT_I4), S_OK);
    EXPECT_EQ(n.lVal, 7);
    Variant u;
    ASSERT_EQ(VariantChangeType(&u, &v, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(u.punkVal, static_cast<IUnknown*>(&obj));
    EXPECT_EQ(obj.refs, 4);
  }
  EXPECT_EQ(obj.refs, 1);
}

TEST(ErrorInfo, BelongsToTheThreadAndIsTakenOnce) {
  const GUID source = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
  com::SetError(u"no memory", source, IID_IDispatch);
  std::thread([] {
    IErrorInfo* other = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &other), S_FALSE);
    EXPECT_EQ(other, nullptr);
  }).join();
  IErrorInfo* info = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
  ASSERT_NE(info, nullptr);
  Bstr desc, src;
  info->GetDescription(desc.out());
  info->GetSource(src.out());
  EXPECT_EQ(desc.view(), u"no memory");
  EXPECT_EQ(src.view(), u"{12345678-9ABC-DEF0-0102-030405060708}");
  GUID iid;
  info->GetGUID(&iid);
  EXPECT_EQ(iid, IID_IDispatch);
  info->Release();
  EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
}

}  // namespace
