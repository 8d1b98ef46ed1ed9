#include "control/members.h"

#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

namespace control {
namespace {

// Reads a coerced VARIANT as the slot's C++ type.
template <typename T>
T Load(const VARIANT& v) {
  if constexpr (std::is_same_v<T, int32_t>) return v.lVal;
  else if constexpr (std::is_same_v<T, uint32_t>) return v.ulVal;
  else if constexpr (std::is_same_v<T, int16_t>) return v.iVal;  // I2 and BOOL
  else if constexpr (std::is_same_v<T, float>) return v.fltVal;
  else if constexpr (std::is_same_v<T, intptr_t>) return static_cast<intptr_t>(v.llVal);
  else if constexpr (std::is_same_v<T, BSTR>) return v.bstrVal;
  else if constexpr (std::is_same_v<T, IDispatch*>) return v.pdispVal;
  else static_assert(sizeof(T) == 0, "type without a VARIANT form");
}

// Stores a slot's result; the VARIANT takes over a BSTR or reference.
template <typename T>
void Store(VARIANT* out, VARTYPE type, T value) {
  out->vt = type;
  out->llVal = 0;
  if constexpr (std::is_same_v<T, int32_t>) out->lVal = value;
  else if constexpr (std::is_same_v<T, uint32_t>) out->ulVal = value;
  else if constexpr (std::is_same_v<T, int16_t>) out->iVal = value;
  else if constexpr (std::is_same_v<T, float>) out->fltVal = value;
  else if constexpr (std::is_same_v<T, BSTR>) out->bstrVal = value;
  else if constexpr (std::is_same_v<T, IDispatch*>) out->pdispVal = value;
  else static_assert(sizeof(T) == 0, "type without a VARIANT form");
}

template <typename>
struct GetTraits;
template <typename T>
struct GetTraits<HRESULT (IVelmoraX::*)(T*)> {
  using Value = T;
};
template <typename>
struct PutTraits;
template <typename T>
struct PutTraits<HRESULT (IVelmoraX::*)(T)> {
  using Value = T;
};
template <typename... A>
struct MethodTraits;
template <typename... A>
struct MethodTraits<HRESULT (IVelmoraX::*)(A...)> {
  using Args = std::tuple<A...>;
};

template <auto Fn>
HRESULT Get(IVelmoraX* self, VARTYPE type, VARIANT* out) {
  using T = typename GetTraits<decltype(Fn)>::Value;
  T value{};
  const HRESULT hr = (self->*Fn)(&value);
  if (SUCCEEDED(hr)) Store<T>(out, type, value);
  return hr;
}

template <auto Fn>
HRESULT Put(IVelmoraX* self, VARIANT* value) {
  using T = typename PutTraits<decltype(Fn)>::Value;
  return (self->*Fn)(Load<T>(*value));
}

template <typename A>
A Arg(VARIANT& v) {
  if constexpr (std::is_pointer_v<A> && std::is_same_v<A, int32_t*>) return &v.lVal;
  else return Load<A>(v);
}

template <auto Fn, size_t... I>
HRESULT CallWith(IVelmoraX* self, VARIANT* values, std::index_sequence<I...>) {
  using Args = typename MethodTraits<decltype(Fn)>::Args;
  return (self->*Fn)(Arg<std::tuple_element_t<I, Args>>(values[I])...);
}

template <auto Fn>
HRESULT Call(IVelmoraX* self, VARIANT* values) {
  using Args = typename MethodTraits<decltype(Fn)>::Args;
  return CallWith<Fn>(self, values, std::make_index_sequence<std::tuple_size_v<Args>>{});
}

constexpr ParamInfo kConnectWebcamParams[] = {{"connect", VT_I4, kParamOut}};
constexpr ParamInfo kSetSIOInitParams[] = {{"Ch", VT_I4, kParamIn}, {"baudrate", VT_I4, kParamIn}, {"databit", VT_I4, kParamIn}, {"stopbit", VT_I4, kParamIn}, {"parity", VT_I4, kParamIn}};
constexpr ParamInfo kGetSIODataParams[] = {{"Ch", VT_I4, kParamIn}, {"buf", VT_I8, kParamIn}, {"length", VT_I4, kParamOut}};
constexpr ParamInfo kPutSIODataParams[] = {{"Ch", VT_I4, kParamIn}, {"buf", VT_I8, kParamIn}, {"length", VT_I4, kParamIn}};
constexpr ParamInfo kSetMPEG4ControlParams[] = {{"retval", VT_I4, kParamOut | kParamRetval}};
constexpr ParamInfo kIsAudioModuleParams[] = {{"retval", VT_I4, kParamOut | kParamRetval}};
constexpr ParamInfo kGetGPIOValueParams[] = {{"Value", VT_I4, kParamOut}};
constexpr ParamInfo kPutGPIOValueParams[] = {{"Value", VT_I4, kParamIn}};
constexpr ParamInfo kGetSIOInitParams[] = {{"Ch", VT_I4, kParamIn}, {"baudrate", VT_I4, kParamOut}, {"databit", VT_I4, kParamOut}, {"stopbit", VT_I4, kParamOut}, {"parity", VT_I4, kParamOut}};
constexpr ParamInfo kSetDecPointerParams[] = {{"pDec", VT_I8, kParamIn}};
constexpr ParamInfo kSelVidChannelParams[] = {{"Ch", VT_I4, kParamIn}, {"Update", VT_I4, kParamIn}};
constexpr ParamInfo kSwitchUserParams[] = {{"username", VT_BSTR, kParamIn}, {"password", VT_BSTR, kParamIn}};
constexpr ParamInfo kAdminSetParams[] = {{"flashupdate", VT_I4, kParamIn}, {"retval", VT_I4, kParamOut | kParamRetval}};

const MemberInfo kMembers[] = {
    {"Visible", 1, MemberKind::Property, VT_BOOL, nullptr, true, true, 7, 8, -1, {}, &Get<&IVelmoraX::get_Visible>, &Put<&IVelmoraX::put_Visible>, nullptr, nullptr},
    {"AutoScroll", 2, MemberKind::Property, VT_BOOL, nullptr, true, false, 9, 10, -1, {}, &Get<&IVelmoraX::get_AutoScroll>, &Put<&IVelmoraX::put_AutoScroll>, nullptr, nullptr},
    {"AutoSize", 3, MemberKind::Property, VT_BOOL, nullptr, true, false, 11, 12, -1, {}, &Get<&IVelmoraX::get_AutoSize>, &Put<&IVelmoraX::put_AutoSize>, nullptr, nullptr},
    {"BorderWidth", 5, MemberKind::Property, VT_I4, nullptr, true, false, 13, 14, -1, {}, &Get<&IVelmoraX::get_BorderWidth>, &Put<&IVelmoraX::put_BorderWidth>, nullptr, nullptr},
    {"Caption", -518, MemberKind::Property, VT_BSTR, nullptr, true, false, 15, 16, -1, {}, &Get<&IVelmoraX::get_Caption>, &Put<&IVelmoraX::put_Caption>, nullptr, nullptr},
    {"Color", -501, MemberKind::Property, VT_UI4, "OLE_COLOR", true, false, 17, 18, -1, {}, &Get<&IVelmoraX::get_Color>, &Put<&IVelmoraX::put_Color>, nullptr, nullptr},
    {"Font", -512, MemberKind::Property, VT_DISPATCH, "Font", true, false, 19, 20, 21, {}, &Get<&IVelmoraX::get_Font>, &Put<&IVelmoraX::put_Font>, &Put<&IVelmoraX::putref_Font>, nullptr},
    {"KeyPreview", 6, MemberKind::Property, VT_BOOL, nullptr, true, false, 22, 23, -1, {}, &Get<&IVelmoraX::get_KeyPreview>, &Put<&IVelmoraX::put_KeyPreview>, nullptr, nullptr},
    {"PixelsPerInch", 7, MemberKind::Property, VT_I4, nullptr, true, false, 24, 25, -1, {}, &Get<&IVelmoraX::get_PixelsPerInch>, &Put<&IVelmoraX::put_PixelsPerInch>, nullptr, nullptr},
    {"Scaled", 9, MemberKind::Property, VT_BOOL, nullptr, true, false, 26, 27, -1, {}, &Get<&IVelmoraX::get_Scaled>, &Put<&IVelmoraX::put_Scaled>, nullptr, nullptr},
    {"Active", 10, MemberKind::GetOnly, VT_BOOL, nullptr, true, true, 28, -1, -1, {}, &Get<&IVelmoraX::get_Active>, nullptr, nullptr, nullptr},
    {"DropTarget", 11, MemberKind::Property, VT_BOOL, nullptr, true, true, 29, 30, -1, {}, &Get<&IVelmoraX::get_DropTarget>, &Put<&IVelmoraX::put_DropTarget>, nullptr, nullptr},
    {"HelpFile", 12, MemberKind::Property, VT_BSTR, nullptr, true, true, 31, 32, -1, {}, &Get<&IVelmoraX::get_HelpFile>, &Put<&IVelmoraX::put_HelpFile>, nullptr, nullptr},
    {"DoubleBuffered", 13, MemberKind::Property, VT_BOOL, nullptr, true, true, 33, 34, -1, {}, &Get<&IVelmoraX::get_DoubleBuffered>, &Put<&IVelmoraX::put_DoubleBuffered>, nullptr, nullptr},
    {"VisibleDockClientCount", 14, MemberKind::GetOnly, VT_I4, nullptr, true, true, 35, -1, -1, {}, &Get<&IVelmoraX::get_VisibleDockClientCount>, nullptr, nullptr, nullptr},
    {"Enabled", -514, MemberKind::Property, VT_BOOL, nullptr, true, true, 36, 37, -1, {}, &Get<&IVelmoraX::get_Enabled>, &Put<&IVelmoraX::put_Enabled>, nullptr, nullptr},
    {"Cursor", 15, MemberKind::Property, VT_I2, nullptr, true, false, 38, 39, -1, {}, &Get<&IVelmoraX::get_Cursor>, &Put<&IVelmoraX::put_Cursor>, nullptr, nullptr},
    {"port", 18, MemberKind::Property, VT_I4, nullptr, false, false, 40, 41, -1, {}, &Get<&IVelmoraX::get_port>, &Put<&IVelmoraX::put_port>, nullptr, nullptr},
    {"connected", 19, MemberKind::ReadOnlyPut, VT_I4, nullptr, false, false, 42, 43, -1, {}, &Get<&IVelmoraX::get_connected>, &Put<&IVelmoraX::put_connected>, nullptr, nullptr},
    {"maxfrmrate", 22, MemberKind::Property, VT_I4, nullptr, false, false, 44, 45, -1, {}, &Get<&IVelmoraX::get_maxfrmrate>, &Put<&IVelmoraX::put_maxfrmrate>, nullptr, nullptr},
    {"maxbitrate", 23, MemberKind::Property, VT_I4, nullptr, false, false, 46, 47, -1, {}, &Get<&IVelmoraX::get_maxbitrate>, &Put<&IVelmoraX::put_maxbitrate>, nullptr, nullptr},
    {"intvlintra", 24, MemberKind::Property, VT_I4, nullptr, false, false, 48, 49, -1, {}, &Get<&IVelmoraX::get_intvlintra>, &Put<&IVelmoraX::put_intvlintra>, nullptr, nullptr},
    {"maxq", 25, MemberKind::Property, VT_I4, nullptr, false, false, 50, 51, -1, {}, &Get<&IVelmoraX::get_maxq>, &Put<&IVelmoraX::put_maxq>, nullptr, nullptr},
    {"minq", 26, MemberKind::Property, VT_I4, nullptr, false, false, 52, 53, -1, {}, &Get<&IVelmoraX::get_minq>, &Put<&IVelmoraX::put_minq>, nullptr, nullptr},
    {"curruser", 27, MemberKind::ReadOnlyPut, VT_I4, nullptr, false, false, 54, 55, -1, {}, &Get<&IVelmoraX::get_curruser>, &Put<&IVelmoraX::put_curruser>, nullptr, nullptr},
    {"frmrate", 28, MemberKind::ReadOnlyPut, VT_I4, nullptr, false, false, 56, 57, -1, {}, &Get<&IVelmoraX::get_frmrate>, &Put<&IVelmoraX::put_frmrate>, nullptr, nullptr},
    {"avbitrate", 29, MemberKind::ReadOnlyPut, VT_I4, nullptr, false, false, 58, 59, -1, {}, &Get<&IVelmoraX::get_avbitrate>, &Put<&IVelmoraX::put_avbitrate>, nullptr, nullptr},
    {"audbitrate", 30, MemberKind::ReadOnlyPut, VT_I4, nullptr, false, false, 60, 61, -1, {}, &Get<&IVelmoraX::get_audbitrate>, &Put<&IVelmoraX::put_audbitrate>, nullptr, nullptr},
    {"recname", 31, MemberKind::Property, VT_BSTR, nullptr, false, false, 62, 63, -1, {}, &Get<&IVelmoraX::get_recname>, &Put<&IVelmoraX::put_recname>, nullptr, nullptr},
    {"record", 32, MemberKind::ReadOnlyPut, VT_I4, nullptr, false, false, 64, 65, -1, {}, &Get<&IVelmoraX::get_record>, &Put<&IVelmoraX::put_record>, nullptr, nullptr},
    {"volume", 33, MemberKind::Property, VT_I4, nullptr, false, false, 66, 67, -1, {}, &Get<&IVelmoraX::get_volume>, &Put<&IVelmoraX::put_volume>, nullptr, nullptr},
    {"zoom", 34, MemberKind::Property, VT_R4, nullptr, false, false, 68, 69, -1, {}, &Get<&IVelmoraX::get_zoom>, &Put<&IVelmoraX::put_zoom>, nullptr, nullptr},
    {"ConnectWebcam", 44, MemberKind::Method, VT_EMPTY, nullptr, false, false, 70, -1, -1, kConnectWebcamParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::ConnectWebcam>},
    {"DisconnectWebcam", 45, MemberKind::Method, VT_EMPTY, nullptr, false, false, 71, -1, -1, {}, nullptr, nullptr, nullptr, &Call<&IVelmoraX::DisconnectWebcam>},
    {"StartRecording", 49, MemberKind::Method, VT_EMPTY, nullptr, false, false, 72, -1, -1, {}, nullptr, nullptr, nullptr, &Call<&IVelmoraX::StartRecording>},
    {"StopRecording", 50, MemberKind::Method, VT_EMPTY, nullptr, false, false, 73, -1, -1, {}, nullptr, nullptr, nullptr, &Call<&IVelmoraX::StopRecording>},
    {"SetSIOInit", 51, MemberKind::Method, VT_EMPTY, nullptr, false, false, 74, -1, -1, kSetSIOInitParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::SetSIOInit>},
    {"GetSIOData", 52, MemberKind::Method, VT_EMPTY, nullptr, false, false, 75, -1, -1, kGetSIODataParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::GetSIOData>},
    {"PutSIOData", 53, MemberKind::Method, VT_EMPTY, nullptr, false, false, 76, -1, -1, kPutSIODataParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::PutSIOData>},
    {"message", 54, MemberKind::ReadOnlyPut, VT_BSTR, nullptr, false, false, 77, 78, -1, {}, &Get<&IVelmoraX::get_message>, &Put<&IVelmoraX::put_message>, nullptr, nullptr},
    {"SetMPEG4Control", 39, MemberKind::Method, VT_EMPTY, nullptr, false, false, 79, -1, -1, kSetMPEG4ControlParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::SetMPEG4Control>},
    {"IsAudioModule", 62, MemberKind::Method, VT_EMPTY, nullptr, false, false, 80, -1, -1, kIsAudioModuleParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::IsAudioModule>},
    {"EncMode", 36, MemberKind::Property, VT_I4, nullptr, false, false, 81, 82, -1, {}, &Get<&IVelmoraX::get_EncMode>, &Put<&IVelmoraX::put_EncMode>, nullptr, nullptr},
    {"GetGPIOValue", 37, MemberKind::Method, VT_EMPTY, nullptr, false, false, 83, -1, -1, kGetGPIOValueParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::GetGPIOValue>},
    {"PutGPIOValue", 38, MemberKind::Method, VT_EMPTY, nullptr, false, false, 84, -1, -1, kPutGPIOValueParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::PutGPIOValue>},
    {"motionsen", 63, MemberKind::Property, VT_I4, nullptr, false, false, 85, 86, -1, {}, &Get<&IVelmoraX::get_motionsen>, &Put<&IVelmoraX::put_motionsen>, nullptr, nullptr},
    {"motionoccur", 69, MemberKind::ReadOnlyPut, VT_I4, nullptr, false, false, 87, 88, -1, {}, &Get<&IVelmoraX::get_motionoccur>, &Put<&IVelmoraX::put_motionoccur>, nullptr, nullptr},
    {"vidconnected", 4, MemberKind::GetOnly, VT_I4, nullptr, false, false, 89, -1, -1, {}, &Get<&IVelmoraX::get_vidconnected>, nullptr, nullptr, nullptr},
    {"audconnected", 8, MemberKind::GetOnly, VT_I4, nullptr, false, false, 90, -1, -1, {}, &Get<&IVelmoraX::get_audconnected>, nullptr, nullptr, nullptr},
    {"GetSIOInit", 70, MemberKind::Method, VT_EMPTY, nullptr, false, false, 91, -1, -1, kGetSIOInitParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::GetSIOInit>},
    {"SetDecPointer", 71, MemberKind::Method, VT_EMPTY, nullptr, false, false, 92, -1, -1, kSetDecPointerParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::SetDecPointer>},
    {"localvideo", 73, MemberKind::Property, VT_I4, nullptr, false, false, 93, 94, -1, {}, &Get<&IVelmoraX::get_localvideo>, &Put<&IVelmoraX::put_localvideo>, nullptr, nullptr},
    {"VidConnect", 72, MemberKind::Method, VT_EMPTY, nullptr, false, false, 95, -1, -1, {}, nullptr, nullptr, nullptr, &Call<&IVelmoraX::VidConnect>},
    {"AudConnect", 74, MemberKind::Method, VT_EMPTY, nullptr, false, false, 96, -1, -1, {}, nullptr, nullptr, nullptr, &Call<&IVelmoraX::AudConnect>},
    {"idnum", 75, MemberKind::GetOnly, VT_I4, nullptr, false, false, 97, -1, -1, {}, &Get<&IVelmoraX::get_idnum>, nullptr, nullptr, nullptr},
    {"VidEnable", 76, MemberKind::Property, VT_I4, nullptr, false, false, 98, 99, -1, {}, &Get<&IVelmoraX::get_VidEnable>, &Put<&IVelmoraX::put_VidEnable>, nullptr, nullptr},
    {"AudEnable", 77, MemberKind::Property, VT_I4, nullptr, false, false, 100, 101, -1, {}, &Get<&IVelmoraX::get_AudEnable>, &Put<&IVelmoraX::put_AudEnable>, nullptr, nullptr},
    {"version", 78, MemberKind::GetOnly, VT_BSTR, nullptr, false, false, 102, -1, -1, {}, &Get<&IVelmoraX::get_version>, nullptr, nullptr, nullptr},
    {"biauden", 80, MemberKind::Property, VT_I4, nullptr, false, false, 103, 104, -1, {}, &Get<&IVelmoraX::get_biauden>, &Put<&IVelmoraX::put_biauden>, nullptr, nullptr},
    {"ipaddr", 79, MemberKind::Property, VT_BSTR, nullptr, false, false, 105, 106, -1, {}, &Get<&IVelmoraX::get_ipaddr>, &Put<&IVelmoraX::put_ipaddr>, nullptr, nullptr},
    {"username", 81, MemberKind::Property, VT_BSTR, nullptr, false, false, 107, 108, -1, {}, &Get<&IVelmoraX::get_username>, &Put<&IVelmoraX::put_username>, nullptr, nullptr},
    {"password", 82, MemberKind::Property, VT_BSTR, nullptr, false, false, 109, 110, -1, {}, &Get<&IVelmoraX::get_password>, &Put<&IVelmoraX::put_password>, nullptr, nullptr},
    {"AudioModule", 16, MemberKind::Property, VT_I4, nullptr, false, false, 111, 112, -1, {}, &Get<&IVelmoraX::get_AudioModule>, &Put<&IVelmoraX::put_AudioModule>, nullptr, nullptr},
    {"lumoid", 17, MemberKind::GetOnly, VT_I4, nullptr, false, false, 113, -1, -1, {}, &Get<&IVelmoraX::get_lumoid>, nullptr, nullptr, nullptr},
    {"MotionGrid", 20, MemberKind::Property, VT_I4, nullptr, false, false, 114, 115, -1, {}, &Get<&IVelmoraX::get_MotionGrid>, &Put<&IVelmoraX::put_MotionGrid>, nullptr, nullptr},
    {"Postproc", 21, MemberKind::Property, VT_I4, nullptr, false, false, 116, 117, -1, {}, &Get<&IVelmoraX::get_Postproc>, &Put<&IVelmoraX::put_Postproc>, nullptr, nullptr},
    {"prerecord", 35, MemberKind::Property, VT_I4, nullptr, false, false, 118, 119, -1, {}, &Get<&IVelmoraX::get_prerecord>, &Put<&IVelmoraX::put_prerecord>, nullptr, nullptr},
    {"audsen", 40, MemberKind::Property, VT_I4, nullptr, false, false, 120, 121, -1, {}, &Get<&IVelmoraX::get_audsen>, &Put<&IVelmoraX::put_audsen>, nullptr, nullptr},
    {"audmode", 41, MemberKind::Property, VT_I4, nullptr, false, false, 122, 123, -1, {}, &Get<&IVelmoraX::get_audmode>, &Put<&IVelmoraX::put_audmode>, nullptr, nullptr},
    {"AudDisconnect", 42, MemberKind::Method, VT_EMPTY, nullptr, false, false, 124, -1, -1, {}, nullptr, nullptr, nullptr, &Call<&IVelmoraX::AudDisconnect>},
    {"VidDisconnect", 43, MemberKind::Method, VT_EMPTY, nullptr, false, false, 125, -1, -1, {}, nullptr, nullptr, nullptr, &Call<&IVelmoraX::VidDisconnect>},
    {"SelVidChannel", 46, MemberKind::Method, VT_EMPTY, nullptr, false, false, 126, -1, -1, kSelVidChannelParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::SelVidChannel>},
    {"vidchannel", 47, MemberKind::GetOnly, VT_I4, nullptr, false, false, 127, -1, -1, {}, &Get<&IVelmoraX::get_vidchannel>, nullptr, nullptr, nullptr},
    {"buffering", 48, MemberKind::Property, VT_I4, nullptr, false, false, 128, 129, -1, {}, &Get<&IVelmoraX::get_buffering>, &Put<&IVelmoraX::put_buffering>, nullptr, nullptr},
    {"MotionGridMask", 55, MemberKind::Property, VT_I4, nullptr, false, false, 130, 131, -1, {}, &Get<&IVelmoraX::get_MotionGridMask>, &Put<&IVelmoraX::put_MotionGridMask>, nullptr, nullptr},
    {"SwitchUser", 56, MemberKind::Method, VT_EMPTY, nullptr, false, false, 132, -1, -1, kSwitchUserParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::SwitchUser>},
    {"AdminSet", 57, MemberKind::Method, VT_EMPTY, nullptr, false, false, 133, -1, -1, kAdminSetParams, nullptr, nullptr, nullptr, &Call<&IVelmoraX::AdminSet>},
    {"motionbits", 58, MemberKind::GetOnly, VT_I4, nullptr, false, false, 134, -1, -1, {}, &Get<&IVelmoraX::get_motionbits>, nullptr, nullptr, nullptr},
};

bool SameNoCase(std::u16string_view a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char16_t x = a[i], y = static_cast<unsigned char>(b[i]);
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::span<const MemberInfo> Members() { return kMembers; }

const MemberInfo* FindMember(DISPID dispid) {
  for (const MemberInfo& m : kMembers)
    if (m.dispid == dispid) return &m;
  return nullptr;
}

const MemberInfo* FindMember(std::u16string_view name) {
  for (const MemberInfo& m : kMembers)
    if (SameNoCase(name, m.name)) return &m;
  return nullptr;
}

}  // namespace control
