// A form for the control's tests, wired as the form wires the engine: a
// link with real sockets and its socket handlers, a video channel drawing
// headless, an audio player on the null device, and a test-owned shared
// talk area. The link thread starts at once (no start delay) when asked.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/velmorax_impl.h"
#include "control/viewer_form.h"
#include "engine/link_events.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "shared/shared_audio_area.h"

namespace control_test {

class TestForm final : public control::ViewerForm {
 public:
  // Without threads the commands the members post stay in the queue.
  explicit TestForm(bool startThreads = true, int32_t instance = 3) : instance_(instance) {
    setenv("VELMORA_AUDIO", "null", 1);
    setenv("VELMORA_VIDEO", "headless", 1);
    setenv("VELMORA_MESSAGE_BOX", "stderr", 1);
    area = std::make_unique<SharedAudioArea>();
    link = std::make_unique<CNetManage>(std::make_unique<NoRecorder>(), 0);
    video = std::make_unique<CVideoMPEG4>(nullptr);
    audio = std::make_unique<CAudioG726>();
    events_ = std::make_unique<LinkEvents>(*link);
    link->vidSock = &vidSock;
    link->audSock = &audSock;
    link->video = video.get();
    link->audio = audio.get();
    for (int i = 0; i < kTalkSlotCount; ++i) audio->talkSlots[i] = &area->slots[i];
    audio->writeSlotRef = &area->writeSlot;
    link->heartbeatRef = &area->heartbeat;
    link->showStatusRef = &area->showStatus;
    vidSock.SetHandlers(events_->VideoHandlers());
    audSock.SetHandlers(events_->AudioHandlers());
    if (startThreads) {
      link->StartLinkThread();
      video->StartVideoThread();
    }
  }
  ~TestForm() override { ActiveFormDestroy(); }

  CNetManage& Link() override { return *link; }
  CVideoMPEG4& Video() override { return *video; }
  CAudioG726& Audio() override { return *audio; }
  int32_t InstanceNumber() const override { return instance_; }
  control::FormProperties& Properties() override { return properties; }
  MessageClosure& PassMessage() override { return passMessage; }
  void ActiveFormDestroy() override {
    if (!link) return;
    ++destroyCalls;
    link->PostCommand(6);
    link->PostCommand(5);
    link.reset();
    video.reset();
    audio.reset();
    vidSock.SetHandlers({});
    audSock.SetHandlers({});
  }

  std::unique_ptr<SharedAudioArea> area;
  platform::ClientSocket vidSock, audSock;
  std::unique_ptr<CNetManage> link;
  std::unique_ptr<CVideoMPEG4> video;
  std::unique_ptr<CAudioG726> audio;
  control::FormProperties properties;
  MessageClosure passMessage;
  int destroyCalls = 0;

 private:
  int32_t instance_;
  std::unique_ptr<LinkEvents> events_;
};

// Pumps the calling thread's messages until done() holds or timeoutMs pass.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    VelmoraPumpMessages(5);
  }
  return true;
}

// An event sink that records what it receives.
class Sink final : public IDispatch {
 public:
  struct Event {
    DISPID id;
    int32_t number;
    std::u16string text;
  };

  ULONG refs = 1;
  bool answersEvents = true;
  std::vector<Event> events;
  std::function<void(DISPID, DISPPARAMS*)> onInvoke;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || (answersEvents && riid == control::DIID_IVelmoraXEvents)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
    Event e{id, 0, {}};
    if (id == control::kOnPassMessage && p && p->cArgs == 2) {
      e.number = p->rgvarg[1].lVal;
      e.text = std::u16string(com::BstrView(p->rgvarg[0].bstrVal));
    }
    if (id == control::kOnKeyPress && p && p->cArgs == 1) e.number = *p->rgvarg[0].piVal;
    events.push_back(e);
    if (onInvoke) onInvoke(id, p);
    return S_OK;
  }

  std::vector<int32_t> Numbers() const {
    std::vector<int32_t> out;
    for (auto& e : events)
      if (e.id == control::kOnPassMessage) out.push_back(e.number);
    return out;
  }
  bool Has(int32_t number) const {
    for (auto& e : events)
      if (e.id == control::kOnPassMessage && e.number == number) return true;
    return false;
  }
};

// Advises sink on the control's event connection point; returns the cookie.
inline DWORD Advise(control::IVelmoraX* x, IUnknown* sink, HRESULT* result = nullptr) {
  IConnectionPointContainer* cpc = nullptr;
  x->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
  IConnectionPoint* cp = nullptr;
  cpc->FindConnectionPoint(control::DIID_IVelmoraXEvents, &cp);
  DWORD cookie = 0;
  const HRESULT hr = cp->Advise(sink, &cookie);
  if (result) *result = hr;
  cp->Release();
  cpc->Release();
  return cookie;
}

// Invoke helpers by name.
inline DISPID IdOf(IDispatch* d, const char16_t* name) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  d->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  return id;
}

inline HRESULT PutI4(IDispatch* d, const char16_t* name, int32_t value) {
  VARIANT arg;
  VariantInit(&arg);
  arg.vt = VT_I4;
  arg.lVal = value;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS p{&arg, &named, 1, 1};
  return d->Invoke(IdOf(d, name), IID_NULL, 0, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr, nullptr);
}

inline HRESULT PutText(IDispatch* d, const char16_t* name, const std::u16string& value) {
  com::Variant arg;
  arg.vt = VT_BSTR;
  arg.bstrVal = com::AllocBstr(value);
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS p{&arg, &named, 1, 1};
  return d->Invoke(IdOf(d, name), IID_NULL, 0, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr, nullptr);
}

inline int32_t GetI4(IDispatch* d, const char16_t* name) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  com::Variant result, i4;
  if (FAILED(d->Invoke(IdOf(d, name), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr)))
    return INT32_MIN;
  VariantChangeType(&i4, &result, 0, VT_I4);
  return i4.lVal;
}

inline std::u16string GetText(IDispatch* d, const char16_t* name) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  com::Variant result;
  d->Invoke(IdOf(d, name), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
  return std::u16string(com::BstrView(result.vt == VT_BSTR ? result.bstrVal : nullptr));
}

// Calls a method by name; args in declaration order (reversed here).
inline HRESULT Call(IDispatch* d, const char16_t* name, std::vector<VARIANT> args, VARIANT* result = nullptr) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS p{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  return d->Invoke(IdOf(d, name), IID_NULL, 0, DISPATCH_METHOD, &p, result, nullptr, nullptr);
}

inline VARIANT I4(int32_t v) {
  VARIANT a;
  VariantInit(&a);
  a.vt = VT_I4;
  a.lVal = v;
  return a;
}
inline VARIANT I8(int64_t v) {
  VARIANT a;
  VariantInit(&a);
  a.vt = VT_I8;
  a.llVal = v;
  return a;
}
inline VARIANT OutI4(int32_t* target) {
  VARIANT a;
  VariantInit(&a);
  a.vt = VT_BYREF | VT_I4;
  a.plVal = target;
  return a;
}
// The caller frees the string.
inline VARIANT Text(const std::u16string& s) {
  VARIANT a;
  VariantInit(&a);
  a.vt = VT_BSTR;
  a.bstrVal = com::AllocBstr(s);
  return a;
}

// Commands waiting in the link's queue, oldest first (read without taking).
inline std::vector<int32_t> PendingCommands(CNetManage& link) {
  std::vector<int32_t> out;
  const uint32_t n = link.commands.Count() / 4;
  std::vector<int32_t> codes(n);
  if (n) link.commands.GetBytes(codes.data(), n * 4);
  for (int32_t c : codes) out.push_back(c);
  return out;
}

}  // namespace control_test
