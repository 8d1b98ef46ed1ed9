// Every one of the 135 vtable slots, called through a raw table of function
// pointers as a C host would, reaches the member the table names for it.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "control/members.h"
#include "test_form.h"

namespace control_test {
namespace {

using RawGet = HRESULT (*)(void* self, void* out);
using RawPutI4 = HRESULT (*)(void* self, int32_t v);
using RawPutPtr = HRESULT (*)(void* self, void* v);
using RawPutR4 = HRESULT (*)(void* self, float v);
using RawMethod = HRESULT (*)(void* self, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t);

void* Slot(void* object, int index) { return (*static_cast<void***>(object))[index]; }

// The Itanium representation of a pointer to a virtual member function
// holds 1 + the slot's byte offset in the vtable.
template <typename Pmf>
int SlotOf(Pmf pmf) {
  struct {
    uintptr_t ptr;
    ptrdiff_t adj;
  } rep;
  static_assert(sizeof(rep) == sizeof(pmf));
  std::memcpy(&rep, &pmf, sizeof rep);
  return static_cast<int>((rep.ptr - 1) / sizeof(void*));
}

TEST(Slots, TableMatchesTheCompiledVtable) {
  EXPECT_EQ(SlotOf(&IUnknown::QueryInterface), 0);
  EXPECT_EQ(SlotOf(&IDispatch::Invoke), 6);
  EXPECT_EQ(SlotOf(&control::IVelmoraX::get_Visible), 7);
  EXPECT_EQ(SlotOf(&control::IVelmoraX::putref_Font), 21);
  EXPECT_EQ(SlotOf(&control::IVelmoraX::get_port), 40);
  EXPECT_EQ(SlotOf(&control::IVelmoraX::get_motionbits), control::kVelmoraXSlots - 1);
  // Every slot from 7 to 134 belongs to exactly one member function.
  std::vector<int> owners(control::kVelmoraXSlots, 0);
  for (const control::MemberInfo& m : control::Members()) {
    for (int s : {int{m.slot}, int{m.putSlot}, int{m.putrefSlot}})
      if (s >= 0) ++owners[static_cast<size_t>(s)];
  }
  for (int s = 7; s < control::kVelmoraXSlots; ++s) EXPECT_EQ(owners[static_cast<size_t>(s)], 1) << s;
  EXPECT_EQ(control::Members().size(), 17u + 61u);
}

class RawSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    auto f = std::make_unique<TestForm>(false);
    form = f.get();
    x = control::CreateVelmoraX(std::move(f));
    raw = static_cast<control::IVelmoraX*>(x);
  }
  void TearDown() override { x->Release(); }

  TestForm* form = nullptr;
  control::TVelmoraXImpl* x = nullptr;
  void* raw = nullptr;
};

TEST_F(RawSlots, EveryGetAndPutReachesItsMember) {
  form->link->loginLevel = kLoginAdmin;
  int32_t value = 3;
  for (const control::MemberInfo& m : control::Members()) {
    if (m.kind == control::MemberKind::Method) continue;
    SCOPED_TRACE(m.name);
    // A put through the raw slot, then a get through Invoke sees it.
    if (m.putSlot >= 0 && m.kind == control::MemberKind::Property) {
      ++value;
      HRESULT hr = E_FAIL;
      if (m.type == VT_I4 || m.type == VT_BOOL || m.type == VT_I2 || m.type == VT_UI4) {
        hr = reinterpret_cast<RawPutI4>(Slot(raw, m.putSlot))(raw, value);
      } else if (m.type == VT_R4) {
        hr = reinterpret_cast<RawPutR4>(Slot(raw, m.putSlot))(raw, static_cast<float>(value));
      } else if (m.type == VT_BSTR) {
        com::Bstr text(u"t" + std::u16string(1, static_cast<char16_t>(u'a' + value % 26)));
        hr = reinterpret_cast<RawPutPtr>(Slot(raw, m.putSlot))(raw, text.get());
        EXPECT_EQ(GetText(x, com::AnsiToWide(m.name).c_str()), text.view());
      } else if (m.type == VT_DISPATCH) {
        IDispatch* font = nullptr;
        x->get_Font(&font);
        hr = reinterpret_cast<RawPutPtr>(Slot(raw, m.putSlot))(raw, font);
        font->Release();
      }
      EXPECT_TRUE(SUCCEEDED(hr));
    } else if (m.putSlot >= 0) {
      EXPECT_EQ(reinterpret_cast<RawPutI4>(Slot(raw, m.putSlot))(raw, 1), S_OK);
    }
    // A get through the raw slot equals the get through Invoke.
    const std::u16string name = com::AnsiToWide(m.name);
    if (name == u"motionoccur") continue;  // a get clears it
    uint64_t out = 0;
    ASSERT_EQ(reinterpret_cast<RawGet>(Slot(raw, m.slot))(raw, &out), S_OK);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    com::Variant viaInvoke;
    ASSERT_EQ(x->Invoke(m.dispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &viaInvoke, nullptr, nullptr), S_OK);
    switch (m.type) {
      case VT_BSTR: {
        com::Bstr got(reinterpret_cast<BSTR>(out), true);
        EXPECT_EQ(got.view(), com::BstrView(viaInvoke.bstrVal));
        break;
      }
      case VT_DISPATCH: {
        auto* d = reinterpret_cast<IDispatch*>(out);
        EXPECT_EQ(d, viaInvoke.pdispVal);
        d->Release();
        break;
      }
      case VT_I2:
      case VT_BOOL: EXPECT_EQ(static_cast<int16_t>(out), viaInvoke.iVal); break;
      case VT_R4: {
        float f;
        std::memcpy(&f, &out, sizeof f);
        EXPECT_EQ(f, viaInvoke.fltVal);
        break;
      }
      default: EXPECT_EQ(static_cast<int32_t>(out), viaInvoke.lVal); break;
    }
  }
  EXPECT_EQ(form->properties.Cursor, GetI4(x, u"Cursor"));
}

// Calls each method through its raw slot and through Invoke on the same
// control; both leave the same commands and out values.
TEST_F(RawSlots, EveryMethodReachesItsMember) {
  form->link->loginLevel = kLoginAdmin;
  form->link->videoState = 100;
  form->link->gpioIn = 9;
  uint8_t buffer[256] = {};
  for (const control::MemberInfo& m : control::Members()) {
    if (m.kind != control::MemberKind::Method) continue;
    SCOPED_TRACE(m.name);
    intptr_t rawArgs[5] = {};
    int32_t rawOut[5] = {-7, -7, -7, -7, -7};
    std::vector<VARIANT> invokeArgs;
    int32_t invokeOut[5] = {-7, -7, -7, -7, -7};
    std::deque<com::Bstr> strings;
    int32_t retvalIndex = -1;
    for (size_t i = 0; i < m.params.size(); ++i) {
      const control::ParamInfo& p = m.params[i];
      if (p.flags & control::kParamOut) {
        rawArgs[i] = reinterpret_cast<intptr_t>(&rawOut[i]);
        if (p.flags & control::kParamRetval)
          retvalIndex = static_cast<int32_t>(i);
        else
          invokeArgs.push_back(OutI4(&invokeOut[i]));
      } else if (p.type == VT_BSTR) {
        strings.emplace_back(u"user");
        rawArgs[i] = reinterpret_cast<intptr_t>(strings.back().get());
        invokeArgs.push_back(VARIANT{});
        invokeArgs.back().vt = VT_BSTR;
        invokeArgs.back().bstrVal = strings.back().get();
      } else if (p.type == VT_I8) {
        rawArgs[i] = reinterpret_cast<intptr_t>(buffer);
        invokeArgs.push_back(I8(rawArgs[i]));
      } else {
        rawArgs[i] = i == 0 ? 1 : 2;
        invokeArgs.push_back(I4(static_cast<int32_t>(rawArgs[i])));
      }
    }
    form->link->commands.ClearBytes();
    ASSERT_EQ(reinterpret_cast<RawMethod>(Slot(raw, m.slot))(raw, rawArgs[0], rawArgs[1], rawArgs[2], rawArgs[3],
                                                             rawArgs[4]),
              S_OK);
    const std::vector<int32_t> rawCommands = PendingCommands(*form->link);
    form->link->commands.ClearBytes();
    com::Variant result;
    ASSERT_EQ(Call(x, com::AnsiToWide(m.name).c_str(), invokeArgs, &result), S_OK);
    EXPECT_EQ(PendingCommands(*form->link), rawCommands);
    for (size_t i = 0; i < m.params.size(); ++i) {
      if (!(m.params[i].flags & control::kParamOut)) continue;
      if (static_cast<int32_t>(i) == retvalIndex)
        EXPECT_EQ(result.lVal, rawOut[i]);
      else
        EXPECT_EQ(invokeOut[i], rawOut[i]);
      EXPECT_NE(rawOut[i], -7) << "an out parameter is always given a value";
    }
  }
}

}  // namespace
}  // namespace control_test
