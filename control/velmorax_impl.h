// TVelmoraXImpl: the control's COM object. It implements IVelmoraX over the
// engine objects its form owns, raises IVelmoraXEvents through a connection
// point of five places, keeps a property-notify connection point, and owns
// the delivery of numbered messages (PassMessage).
//
// Delivery: PassMessage may run on any thread. Under the object's lock it
// writes the console line and queues the message, then wakes the thread that
// created the object (its apartment). That thread, when it pumps its
// messages, hands the queue in order to the sinks advised at that moment,
// outside every lock. No sink runs on an engine thread or under a lock.
// While the host does not pump, the queue is bounded: when it is full the
// oldest repeated notifications give way first, and a trace line a second
// tells the console how many were dropped.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "control/velmorax.h"
#include "control/viewer_form.h"

namespace control {

struct Delivery;

class TVelmoraXImpl : public IVelmoraX, public IConnectionPointContainer, public ISupportErrorInfo {
 public:
  static constexpr int kEventPlaces = 5;
  static constexpr size_t kQueueLimit = 4096;  // messages waiting for the apartment thread
  static constexpr size_t kQueueTextBytes = 4u << 20;  // and their texts
  static constexpr uint32_t kSafeForUntrustedCaller = 1;
  static constexpr uint32_t kSafeForUntrustedData = 2;

  // Takes the form, which has built the engine; InitializeControl is run.
  explicit TVelmoraXImpl(std::unique_ptr<ViewerForm> form);
  TVelmoraXImpl(const TVelmoraXImpl&) = delete;
  TVelmoraXImpl& operator=(const TVelmoraXImpl&) = delete;

  // The message closure's target; any thread.
  void PassMessage(uint32_t number, const char* text);
  // The form's destroy event from InitializeControl on.
  void HandleFormDestroy();

  // Safety options (IObjectSafety): bits only grow.
  uint32_t SafetyOptions() const { return safety_.load(); }
  void AddSafetyOptions(uint32_t bits) { safety_.fetch_or(bits); }
  // Messages dropped because the queue was full: the oldest repeated
  // notifications first, connection, login and error messages last.
  uint64_t DroppedMessages() const;
  ViewerForm* Form() { return form_.get(); }

  // IUnknown (one identity for every interface).
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IDispatch
  HRESULT GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // IConnectionPointContainer
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  // ISupportErrorInfo
  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;

  // IVelmoraX: standard form properties.
  HRESULT get_Visible(VARIANT_BOOL* Value) override;
  HRESULT put_Visible(VARIANT_BOOL Value) override;
  HRESULT get_AutoScroll(VARIANT_BOOL* Value) override;
  HRESULT put_AutoScroll(VARIANT_BOOL Value) override;
  HRESULT get_AutoSize(VARIANT_BOOL* Value) override;
  HRESULT put_AutoSize(VARIANT_BOOL Value) override;
  HRESULT get_BorderWidth(int32_t* Value) override;
  HRESULT put_BorderWidth(int32_t Value) override;
  HRESULT get_Caption(BSTR* Value) override;
  HRESULT put_Caption(BSTR Value) override;
  HRESULT get_Color(OLE_COLOR* Value) override;
  HRESULT put_Color(OLE_COLOR Value) override;
  HRESULT get_Font(IDispatch** Value) override;
  HRESULT put_Font(IDispatch* Value) override;
  HRESULT putref_Font(IDispatch* Value) override;
  HRESULT get_KeyPreview(VARIANT_BOOL* Value) override;
  HRESULT put_KeyPreview(VARIANT_BOOL Value) override;
  HRESULT get_PixelsPerInch(int32_t* Value) override;
  HRESULT put_PixelsPerInch(int32_t Value) override;
  HRESULT get_Scaled(VARIANT_BOOL* Value) override;
  HRESULT put_Scaled(VARIANT_BOOL Value) override;
  HRESULT get_Active(VARIANT_BOOL* Value) override;
  HRESULT get_DropTarget(VARIANT_BOOL* Value) override;
  HRESULT put_DropTarget(VARIANT_BOOL Value) override;
  HRESULT get_HelpFile(BSTR* Value) override;
  HRESULT put_HelpFile(BSTR Value) override;
  HRESULT get_DoubleBuffered(VARIANT_BOOL* Value) override;
  HRESULT put_DoubleBuffered(VARIANT_BOOL Value) override;
  HRESULT get_VisibleDockClientCount(int32_t* Value) override;
  HRESULT get_Enabled(VARIANT_BOOL* Value) override;
  HRESULT put_Enabled(VARIANT_BOOL Value) override;
  HRESULT get_Cursor(int16_t* Value) override;
  HRESULT put_Cursor(int16_t Value) override;

  // IVelmoraX: custom members.
  HRESULT get_port(int32_t* Value) override;
  HRESULT put_port(int32_t Value) override;
  HRESULT get_connected(int32_t* Value) override;
  HRESULT put_connected(int32_t Value) override;
  HRESULT get_maxfrmrate(int32_t* Value) override;
  HRESULT put_maxfrmrate(int32_t Value) override;
  HRESULT get_maxbitrate(int32_t* Value) override;
  HRESULT put_maxbitrate(int32_t Value) override;
  HRESULT get_intvlintra(int32_t* Value) override;
  HRESULT put_intvlintra(int32_t Value) override;
  HRESULT get_maxq(int32_t* Value) override;
  HRESULT put_maxq(int32_t Value) override;
  HRESULT get_minq(int32_t* Value) override;
  HRESULT put_minq(int32_t Value) override;
  HRESULT get_curruser(int32_t* Value) override;
  HRESULT put_curruser(int32_t Value) override;
  HRESULT get_frmrate(int32_t* Value) override;
  HRESULT put_frmrate(int32_t Value) override;
  HRESULT get_avbitrate(int32_t* Value) override;
  HRESULT put_avbitrate(int32_t Value) override;
  HRESULT get_audbitrate(int32_t* Value) override;
  HRESULT put_audbitrate(int32_t Value) override;
  HRESULT get_recname(BSTR* Value) override;
  HRESULT put_recname(BSTR Value) override;
  HRESULT get_record(int32_t* Value) override;
  HRESULT put_record(int32_t Value) override;
  HRESULT get_volume(int32_t* Value) override;
  HRESULT put_volume(int32_t Value) override;
  HRESULT get_zoom(float* Value) override;
  HRESULT put_zoom(float Value) override;
  HRESULT ConnectWebcam(int32_t* connect) override;
  HRESULT DisconnectWebcam() override;
  HRESULT StartRecording() override;
  HRESULT StopRecording() override;
  HRESULT SetSIOInit(int32_t Ch, int32_t baudrate, int32_t databit, int32_t stopbit, int32_t parity) override;
  HRESULT GetSIOData(int32_t Ch, intptr_t buf, int32_t* length) override;
  HRESULT PutSIOData(int32_t Ch, intptr_t buf, int32_t length) override;
  HRESULT get_message(BSTR* Value) override;
  HRESULT put_message(BSTR Value) override;
  HRESULT SetMPEG4Control(int32_t* retval) override;
  HRESULT IsAudioModule(int32_t* retval) override;
  HRESULT get_EncMode(int32_t* Value) override;
  HRESULT put_EncMode(int32_t Value) override;
  HRESULT GetGPIOValue(int32_t* Value) override;
  HRESULT PutGPIOValue(int32_t Value) override;
  HRESULT get_motionsen(int32_t* Value) override;
  HRESULT put_motionsen(int32_t Value) override;
  HRESULT get_motionoccur(int32_t* Value) override;
  HRESULT put_motionoccur(int32_t Value) override;
  HRESULT get_vidconnected(int32_t* Value) override;
  HRESULT get_audconnected(int32_t* Value) override;
  HRESULT GetSIOInit(int32_t Ch, int32_t* baudrate, int32_t* databit, int32_t* stopbit, int32_t* parity) override;
  HRESULT SetDecPointer(intptr_t pDec) override;
  HRESULT get_localvideo(int32_t* Value) override;
  HRESULT put_localvideo(int32_t Value) override;
  HRESULT VidConnect() override;
  HRESULT AudConnect() override;
  HRESULT get_idnum(int32_t* Value) override;
  HRESULT get_VidEnable(int32_t* Value) override;
  HRESULT put_VidEnable(int32_t Value) override;
  HRESULT get_AudEnable(int32_t* Value) override;
  HRESULT put_AudEnable(int32_t Value) override;
  HRESULT get_version(BSTR* Value) override;
  HRESULT get_biauden(int32_t* Value) override;
  HRESULT put_biauden(int32_t Value) override;
  HRESULT get_ipaddr(BSTR* Value) override;
  HRESULT put_ipaddr(BSTR Value) override;
  HRESULT get_username(BSTR* Value) override;
  HRESULT put_username(BSTR Value) override;
  HRESULT get_password(BSTR* Value) override;
  HRESULT put_password(BSTR Value) override;
  HRESULT get_AudioModule(int32_t* Value) override;
  HRESULT put_AudioModule(int32_t Value) override;
  HRESULT get_lumoid(int32_t* Value) override;
  HRESULT get_MotionGrid(int32_t* Value) override;
  HRESULT put_MotionGrid(int32_t Value) override;
  HRESULT get_Postproc(int32_t* Value) override;
  HRESULT put_Postproc(int32_t Value) override;
  HRESULT get_prerecord(int32_t* Value) override;
  HRESULT put_prerecord(int32_t Value) override;
  HRESULT get_audsen(int32_t* Value) override;
  HRESULT put_audsen(int32_t Value) override;
  HRESULT get_audmode(int32_t* Value) override;
  HRESULT put_audmode(int32_t Value) override;
  HRESULT AudDisconnect() override;
  HRESULT VidDisconnect() override;
  HRESULT SelVidChannel(int32_t Ch, int32_t Update) override;
  HRESULT get_vidchannel(int32_t* Value) override;
  HRESULT get_buffering(int32_t* Value) override;
  HRESULT put_buffering(int32_t Value) override;
  HRESULT get_MotionGridMask(int32_t* Value) override;
  HRESULT put_MotionGridMask(int32_t Value) override;
  HRESULT SwitchUser(BSTR username, BSTR password) override;
  HRESULT AdminSet(int32_t flashupdate, int32_t* retval) override;
  HRESULT get_motionbits(int32_t* Value) override;

 protected:
  virtual ~TVelmoraXImpl();

 private:
  class EventPoint;
  class NotifyPoint;

  void InitializeControl();
  // The last Release's work: the form's teardown (OnDestroy), then delete.
  void Destroy();
  // Raises a form event on the calling thread to the sinks advised now.
  void RaiseEvent(DISPID id, DISPPARAMS& params);
  void ForwardKeyPress(char& key);
  // Standard puts: request-edit, set, changed. S_FALSE when a sink refuses.
  template <typename Set>
  HRESULT StandardPut(DISPID id, Set&& set);
  HRESULT Post(int32_t code);
  HRESULT ReadOnlyPut();
  bool Untrusted() const { return (safety_.load() & kSafeForUntrustedCaller) != 0; }

  std::atomic<ULONG> refs_{1};
  std::atomic<uint32_t> safety_{0};
  std::unique_ptr<ViewerForm> form_;
  std::shared_ptr<Delivery> delivery_;
  std::unique_ptr<EventPoint> events_;
  std::unique_ptr<NotifyPoint> notify_;
  IDispatch* font_ = nullptr;  // the form's font object
  bool destroyed_ = false;
};

// A new control object around form, with one reference.
TVelmoraXImpl* CreateVelmoraX(std::unique_ptr<ViewerForm> form);

// Where GetTypeInfo finds IVelmoraX's type information (set by the server).
using TypeInfoProvider = HRESULT (*)(LCID lcid, ITypeInfo** out);
void SetTypeInfoProvider(TypeInfoProvider provider);

}  // namespace control
