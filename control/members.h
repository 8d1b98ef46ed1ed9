// The one table of IVelmoraX's members: name, DISPID, kind, vtable slots,
// type and parameters. GetIDsOfNames and Invoke are driven by it, and the
// type library is built from it. Plain data: the thunks are function
// pointers that call the member's slot.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "control/velmorax.h"

namespace control {

enum class MemberKind : uint8_t {
  Property,     // get and put
  ReadOnlyPut,  // get, and a put that stores nothing
  GetOnly,      // get only
  Method,
};

enum ParamFlag : uint8_t {
  kParamIn = 1,
  kParamOut = 2,
  kParamRetval = 4,
};

struct ParamInfo {
  const char* name;
  VARTYPE type;  // an out parameter's type is that of the value it receives
  uint8_t flags;
};

// Thunks: argument VARIANTs are already coerced to the table's types.
using GetThunk = HRESULT (*)(IVelmoraX* self, VARTYPE type, VARIANT* out);
using PutThunk = HRESULT (*)(IVelmoraX* self, VARIANT* value);
// values[i] holds parameter i: an in value, or a VT_I4 that an out or
// retval parameter is written into.
using CallThunk = HRESULT (*)(IVelmoraX* self, VARIANT* values);

struct MemberInfo {
  const char* name;
  DISPID dispid;
  MemberKind kind;
  VARTYPE type;           // property type; VT_EMPTY for methods
  const char* typeName;   // the standard library's type ("OLE_COLOR", "Font"), else null
  bool standard;          // a standard form property
  bool hidden;
  int16_t slot;           // vtable slot of the get, or of the method
  int16_t putSlot;        // -1 when there is none
  int16_t putrefSlot;     // -1 when there is none
  std::span<const ParamInfo> params;  // methods only
  GetThunk get;
  PutThunk put;
  PutThunk putref;
  CallThunk call;
};

// Every member in slot order.
std::span<const MemberInfo> Members();
const MemberInfo* FindMember(DISPID dispid);
// Ignores ASCII case.
const MemberInfo* FindMember(std::u16string_view name);

}  // namespace control
