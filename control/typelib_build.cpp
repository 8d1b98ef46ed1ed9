#include "control/typelib_build.h"

#include <algorithm>

#include "control/members.h"
#include "platform/com/typelib.h"

namespace control {
namespace {

namespace tl = platform::typelib;

uint16_t ParamFlags(uint8_t flags) {
  uint16_t out = 0;
  if (flags & kParamIn) out |= tl::kParamIn;
  if (flags & kParamOut) out |= tl::kParamOut;
  if (flags & kParamRetval) out |= tl::kParamRetval;
  return out;
}

struct SlotFunc {
  int slot;
  tl::Func func;
};

tl::TypeInfoData Interface() {
  tl::TypeInfoData t;
  t.kind = tl::TypeKind::Dispatch;
  t.guid = com::ToGuidBytes(IID_IVelmoraX);
  t.name = "IVelmoraX";
  t.helpString = "Dispatch interface for VelmoraX Control";
  t.typeFlags = tl::kTypeFlagDual | tl::kTypeFlagOleAutomation | tl::kTypeFlagDispatchable;
  std::vector<SlotFunc> funcs;
  for (const MemberInfo& m : Members()) {
    const uint16_t flags = m.hidden ? tl::kFuncFlagHidden : 0;
    auto add = [&](int slot, uint8_t invkind, std::vector<tl::Param> params) {
      funcs.push_back({slot, {m.dispid, invkind, flags, VT_HRESULT, m.name, std::move(params)}});
    };
    if (m.kind == MemberKind::Method) {
      std::vector<tl::Param> params;
      for (const ParamInfo& p : m.params) {
        const bool out = p.flags & kParamOut;
        params.push_back({p.name, VARTYPE(out ? p.type | VT_BYREF : p.type), ParamFlags(p.flags)});
      }
      add(m.slot, tl::kInvokeFunc, std::move(params));
      continue;
    }
    add(m.slot, tl::kInvokePropertyGet, {{"Value", VARTYPE(m.type | VT_BYREF), tl::kParamOut | tl::kParamRetval}});
    if (m.putSlot >= 0) add(m.putSlot, tl::kInvokePropertyPut, {{"Value", m.type, tl::kParamIn}});
    if (m.putrefSlot >= 0) add(m.putrefSlot, tl::kInvokePropertyPutRef, {{"Value", m.type, tl::kParamIn}});
  }
  std::stable_sort(funcs.begin(), funcs.end(), [](const SlotFunc& a, const SlotFunc& b) { return a.slot < b.slot; });
  for (SlotFunc& f : funcs) t.funcs.push_back(std::move(f.func));
  return t;
}

tl::TypeInfoData Events() {
  tl::TypeInfoData t;
  t.kind = tl::TypeKind::Dispatch;
  t.guid = com::ToGuidBytes(DIID_IVelmoraXEvents);
  t.name = "IVelmoraXEvents";
  t.helpString = "Events interface for VelmoraX Control";
  auto event = [&](const char* name, DISPID id, std::vector<tl::Param> params = {}) {
    t.funcs.push_back({id, tl::kInvokeFunc, 0, VT_VOID, name, std::move(params)});
  };
  event("OnActivate", kOnActivate);
  event("OnClick", kOnClick);
  event("OnCreate", kOnCreate);
  event("OnDblClick", kOnDblClick);
  event("OnDestroy", kOnDestroy);
  event("OnDeactivate", kOnDeactivate);
  event("OnKeyPress", kOnKeyPress, {{"Key", VT_I2 | VT_BYREF, tl::kParamIn | tl::kParamOut}});
  event("OnPaint", kOnPaint);
  event("OnPassMessage", kOnPassMessage, {{"MsgNum", VT_I4, tl::kParamIn}, {"MsgStr", VT_BSTR, tl::kParamIn}});
  return t;
}

}  // namespace

tl::TypeLibData BuildVelmoraTypeLib() {
  tl::TypeLibData d;
  d.libid = com::ToGuidBytes(LIBID_Velmora);
  d.majorVersion = 1;
  d.minorVersion = 0;
  d.lcid = 0x409;
  d.name = "Velmora";
  d.helpString = "Velmora Library";
  tl::TypeInfoData coclass;
  coclass.kind = tl::TypeKind::CoClass;
  coclass.guid = com::ToGuidBytes(CLSID_VelmoraX);
  coclass.name = "VelmoraX";
  coclass.helpString = "VelmoraX Control";
  coclass.typeFlags = tl::kTypeFlagCanCreate | tl::kTypeFlagControl;
  coclass.impls = {{0, tl::kImplDefault}, {1, tl::kImplDefault | tl::kImplSource}};
  d.types = {Interface(), Events(), coclass};
  return d;
}

}  // namespace control
