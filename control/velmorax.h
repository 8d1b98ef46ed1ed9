// IVelmoraX, the dual interface that drives one viewer, and the identifiers
// of the control's class, interfaces and type library. Slot order is the
// binary contract: IUnknown (3), IDispatch (4), the 33 functions of the
// standard form properties, then the 95 of the custom members.
#pragma once

#include <cstdint>

#include "platform/com/com.h"

namespace control {

using OLE_COLOR = uint32_t;

// Assigned once; hosts store them.
inline constexpr CLSID CLSID_VelmoraX = {0x6B3F2A41, 0x8C1D, 0x4E57, {0x9A, 0x2E, 0x51, 0x7C, 0x03, 0xD4, 0xB8, 0x11}};
inline constexpr IID IID_IVelmoraX = {0x6B3F2A42, 0x8C1D, 0x4E57, {0x9A, 0x2E, 0x51, 0x7C, 0x03, 0xD4, 0xB8, 0x11}};
inline constexpr IID DIID_IVelmoraXEvents = {0x6B3F2A43, 0x8C1D, 0x4E57, {0x9A, 0x2E, 0x51, 0x7C, 0x03, 0xD4, 0xB8, 0x11}};
inline constexpr GUID LIBID_Velmora = {0x6B3F2A40, 0x8C1D, 0x4E57, {0x9A, 0x2E, 0x51, 0x7C, 0x03, 0xD4, 0xB8, 0x11}};

// DISPIDs of IVelmoraXEvents.
enum EventId : DISPID {
  kOnActivate = 1,
  kOnClick = 2,
  kOnCreate = 3,
  kOnPassMessage = 4,
  kOnDblClick = 5,
  kOnDestroy = 6,
  kOnDeactivate = 7,
  kOnKeyPress = 11,
  kOnPaint = 16,
};

struct IVelmoraX : IDispatch {
  virtual HRESULT get_Visible(VARIANT_BOOL* Value) = 0;
  virtual HRESULT put_Visible(VARIANT_BOOL Value) = 0;
  virtual HRESULT get_AutoScroll(VARIANT_BOOL* Value) = 0;
  virtual HRESULT put_AutoScroll(VARIANT_BOOL Value) = 0;
  virtual HRESULT get_AutoSize(VARIANT_BOOL* Value) = 0;
  virtual HRESULT put_AutoSize(VARIANT_BOOL Value) = 0;
  virtual HRESULT get_BorderWidth(int32_t* Value) = 0;
  virtual HRESULT put_BorderWidth(int32_t Value) = 0;
  virtual HRESULT get_Caption(BSTR* Value) = 0;
  virtual HRESULT put_Caption(BSTR Value) = 0;
  virtual HRESULT get_Color(OLE_COLOR* Value) = 0;
  virtual HRESULT put_Color(OLE_COLOR Value) = 0;
  virtual HRESULT get_Font(IDispatch** Value) = 0;
  virtual HRESULT put_Font(IDispatch* Value) = 0;
  virtual HRESULT putref_Font(IDispatch* Value) = 0;
  virtual HRESULT get_KeyPreview(VARIANT_BOOL* Value) = 0;
  virtual HRESULT put_KeyPreview(VARIANT_BOOL Value) = 0;
  virtual HRESULT get_PixelsPerInch(int32_t* Value) = 0;
  virtual HRESULT put_PixelsPerInch(int32_t Value) = 0;
  virtual HRESULT get_Scaled(VARIANT_BOOL* Value) = 0;
  virtual HRESULT put_Scaled(VARIANT_BOOL Value) = 0;
  virtual HRESULT get_Active(VARIANT_BOOL* Value) = 0;
  virtual HRESULT get_DropTarget(VARIANT_BOOL* Value) = 0;
  virtual HRESULT put_DropTarget(VARIANT_BOOL Value) = 0;
  virtual HRESULT get_HelpFile(BSTR* Value) = 0;
  virtual HRESULT put_HelpFile(BSTR Value) = 0;
  virtual HRESULT get_DoubleBuffered(VARIANT_BOOL* Value) = 0;
  virtual HRESULT put_DoubleBuffered(VARIANT_BOOL Value) = 0;
  virtual HRESULT get_VisibleDockClientCount(int32_t* Value) = 0;
  virtual HRESULT get_Enabled(VARIANT_BOOL* Value) = 0;
  virtual HRESULT put_Enabled(VARIANT_BOOL Value) = 0;
  virtual HRESULT get_Cursor(int16_t* Value) = 0;
  virtual HRESULT put_Cursor(int16_t Value) = 0;
  virtual HRESULT get_port(int32_t* Value) = 0;
  virtual HRESULT put_port(int32_t Value) = 0;
  virtual HRESULT get_connected(int32_t* Value) = 0;
  virtual HRESULT put_connected(int32_t Value) = 0;
  virtual HRESULT get_maxfrmrate(int32_t* Value) = 0;
  virtual HRESULT put_maxfrmrate(int32_t Value) = 0;
  virtual HRESULT get_maxbitrate(int32_t* Value) = 0;
  virtual HRESULT put_maxbitrate(int32_t Value) = 0;
  virtual HRESULT get_intvlintra(int32_t* Value) = 0;
  virtual HRESULT put_intvlintra(int32_t Value) = 0;
  virtual HRESULT get_maxq(int32_t* Value) = 0;
  virtual HRESULT put_maxq(int32_t Value) = 0;
  virtual HRESULT get_minq(int32_t* Value) = 0;
  virtual HRESULT put_minq(int32_t Value) = 0;
  virtual HRESULT get_curruser(int32_t* Value) = 0;
  virtual HRESULT put_curruser(int32_t Value) = 0;
  virtual HRESULT get_frmrate(int32_t* Value) = 0;
  virtual HRESULT put_frmrate(int32_t Value) = 0;
  virtual HRESULT get_avbitrate(int32_t* Value) = 0;
  virtual HRESULT put_avbitrate(int32_t Value) = 0;
  virtual HRESULT get_audbitrate(int32_t* Value) = 0;
  virtual HRESULT put_audbitrate(int32_t Value) = 0;
  virtual HRESULT get_recname(BSTR* Value) = 0;
  virtual HRESULT put_recname(BSTR Value) = 0;
  virtual HRESULT get_record(int32_t* Value) = 0;
  virtual HRESULT put_record(int32_t Value) = 0;
  virtual HRESULT get_volume(int32_t* Value) = 0;
  virtual HRESULT put_volume(int32_t Value) = 0;
  virtual HRESULT get_zoom(float* Value) = 0;
  virtual HRESULT put_zoom(float Value) = 0;
  virtual HRESULT ConnectWebcam(int32_t* connect) = 0;
  virtual HRESULT DisconnectWebcam() = 0;
  virtual HRESULT StartRecording() = 0;
  virtual HRESULT StopRecording() = 0;
  virtual HRESULT SetSIOInit(int32_t Ch, int32_t baudrate, int32_t databit, int32_t stopbit, int32_t parity) = 0;
  virtual HRESULT GetSIOData(int32_t Ch, intptr_t buf, int32_t* length) = 0;
  virtual HRESULT PutSIOData(int32_t Ch, intptr_t buf, int32_t length) = 0;
  virtual HRESULT get_message(BSTR* Value) = 0;
  virtual HRESULT put_message(BSTR Value) = 0;
  virtual HRESULT SetMPEG4Control(int32_t* retval) = 0;
  virtual HRESULT IsAudioModule(int32_t* retval) = 0;
  virtual HRESULT get_EncMode(int32_t* Value) = 0;
  virtual HRESULT put_EncMode(int32_t Value) = 0;
  virtual HRESULT GetGPIOValue(int32_t* Value) = 0;
  virtual HRESULT PutGPIOValue(int32_t Value) = 0;
  virtual HRESULT get_motionsen(int32_t* Value) = 0;
  virtual HRESULT put_motionsen(int32_t Value) = 0;
  virtual HRESULT get_motionoccur(int32_t* Value) = 0;
  virtual HRESULT put_motionoccur(int32_t Value) = 0;
  virtual HRESULT get_vidconnected(int32_t* Value) = 0;
  virtual HRESULT get_audconnected(int32_t* Value) = 0;
  virtual HRESULT GetSIOInit(int32_t Ch, int32_t* baudrate, int32_t* databit, int32_t* stopbit, int32_t* parity) = 0;
  virtual HRESULT SetDecPointer(intptr_t pDec) = 0;
  virtual HRESULT get_localvideo(int32_t* Value) = 0;
  virtual HRESULT put_localvideo(int32_t Value) = 0;
  virtual HRESULT VidConnect() = 0;
  virtual HRESULT AudConnect() = 0;
  virtual HRESULT get_idnum(int32_t* Value) = 0;
  virtual HRESULT get_VidEnable(int32_t* Value) = 0;
  virtual HRESULT put_VidEnable(int32_t Value) = 0;
  virtual HRESULT get_AudEnable(int32_t* Value) = 0;
  virtual HRESULT put_AudEnable(int32_t Value) = 0;
  virtual HRESULT get_version(BSTR* Value) = 0;
  virtual HRESULT get_biauden(int32_t* Value) = 0;
  virtual HRESULT put_biauden(int32_t Value) = 0;
  virtual HRESULT get_ipaddr(BSTR* Value) = 0;
  virtual HRESULT put_ipaddr(BSTR Value) = 0;
  virtual HRESULT get_username(BSTR* Value) = 0;
  virtual HRESULT put_username(BSTR Value) = 0;
  virtual HRESULT get_password(BSTR* Value) = 0;
  virtual HRESULT put_password(BSTR Value) = 0;
  virtual HRESULT get_AudioModule(int32_t* Value) = 0;
  virtual HRESULT put_AudioModule(int32_t Value) = 0;
  virtual HRESULT get_lumoid(int32_t* Value) = 0;
  virtual HRESULT get_MotionGrid(int32_t* Value) = 0;
  virtual HRESULT put_MotionGrid(int32_t Value) = 0;
  virtual HRESULT get_Postproc(int32_t* Value) = 0;
  virtual HRESULT put_Postproc(int32_t Value) = 0;
  virtual HRESULT get_prerecord(int32_t* Value) = 0;
  virtual HRESULT put_prerecord(int32_t Value) = 0;
  virtual HRESULT get_audsen(int32_t* Value) = 0;
  virtual HRESULT put_audsen(int32_t Value) = 0;
  virtual HRESULT get_audmode(int32_t* Value) = 0;
  virtual HRESULT put_audmode(int32_t Value) = 0;
  virtual HRESULT AudDisconnect() = 0;
  virtual HRESULT VidDisconnect() = 0;
  virtual HRESULT SelVidChannel(int32_t Ch, int32_t Update) = 0;
  virtual HRESULT get_vidchannel(int32_t* Value) = 0;
  virtual HRESULT get_buffering(int32_t* Value) = 0;
  virtual HRESULT put_buffering(int32_t Value) = 0;
  virtual HRESULT get_MotionGridMask(int32_t* Value) = 0;
  virtual HRESULT put_MotionGridMask(int32_t Value) = 0;
  virtual HRESULT SwitchUser(BSTR username, BSTR password) = 0;
  virtual HRESULT AdminSet(int32_t flashupdate, int32_t* retval) = 0;
  virtual HRESULT get_motionbits(int32_t* Value) = 0;
};

constexpr int kVelmoraXSlots = 135;

}  // namespace control
