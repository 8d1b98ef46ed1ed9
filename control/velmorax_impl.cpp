#include "control/velmorax_impl.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "control/font.h"
#include "control/members.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/message_queue.h"
#include "shared/command_codes.h"
#include "shared/message_numbers.h"

namespace control {

// ---- Delivery ------------------------------------------------------------------

struct Delivery : std::enable_shared_from_this<Delivery> {
  struct Message {
    int32_t number;
    std::string text;
  };
  // What a waiting message is worth when the queue is full, least first:
  // notifications the engine raises again while their condition holds,
  // camera texts, other changes, then connections, login and errors.
  enum Rank { kRepeat, kCameraText, kChange, kConnection, kRanks };
  static Rank RankOf(int32_t number) {
    switch (number) {
      case MsgSioData0:
      case MsgSioData1:
      case MsgMotion:
      case MsgVideoShown: return kRepeat;
      case MsgCameraText: return kCameraText;
      default:
        return (number >= MsgVideoConnected && number <= MsgInvalidStream) ||
                       (number >= MsgLoginAdmin && number <= MsgLoginFail)
                   ? kConnection
                   : kChange;
    }
  }
  static constexpr uint32_t kDropReportMs = 1000;
  using Sinks = std::array<IDispatch*, TVelmoraXImpl::kEventPlaces>;

  std::mutex mutex;  // the object's lock
  platform::ThreadId apartment = 0;
  int32_t instanceNumber = 0;
  std::deque<Message> queue;
  std::array<size_t, kRanks> queued{};  // messages waiting, by rank
  size_t textBytes = 0;                 // of the waiting messages' texts
  uint64_t dropped = 0;
  uint64_t droppedReported = 0;
  uint32_t lastDropReport = 0;
  bool wakePosted = false;
  bool closed = false;
  Sinks sinks{};
  bool delivering = false;  // apartment thread only
  int raising = 0;          // events being raised; apartment thread only
  bool closing = false;     // closed from inside a sink; apartment thread only

  void Pass(uint32_t number, const char* text) {
    if (!text) text = "";
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ConsoleLine(text);
      if (number >= 255 || closed) return;
      if (Push(static_cast<int32_t>(number), text) && !wakePosted) wakePosted = wake = true;
      ReportDrops(false);
    }
    if (wake) {
      std::weak_ptr<Delivery> weak = weak_from_this();
      const bool posted = platform::PostThreadMessage(apartment, [weak] {
        if (auto self = weak.lock()) self->Pump();
      });
      if (!posted) {
        std::lock_guard<std::mutex> lock(mutex);
        wakePosted = false;
      }
    }
  }

  void ConsoleLine(const char* text) {  // under the lock
    if (!platform::DebugConsoleIsOpen()) return;
    char head[16];
    std::snprintf(head, sizeof head, "%02d-", instanceNumber);
    std::string line = head;
    line += text;
    line += "\r\n";
    platform::WriteDebugConsole(line);
  }

  // Queues a message, making room when the queue is full by dropping the
  // oldest waiting message of the lowest rank, or the new one when it is
  // worth least. Under the lock; true when it was queued.
  bool Push(int32_t number, const char* text) {
    const size_t size = std::strlen(text);
    const Rank rank = RankOf(number);
    while (queue.size() >= TVelmoraXImpl::kQueueLimit || textBytes + size > TVelmoraXImpl::kQueueTextBytes) {
      ++dropped;
      size_t lowest = 0;
      while (lowest < kRanks && queued[lowest] == 0) ++lowest;
      if (rank < lowest) return false;
      auto oldest = queue.begin();
      while (RankOf(oldest->number) != lowest) ++oldest;
      textBytes -= oldest->text.size();
      --queued[lowest];
      queue.erase(oldest);
    }
    queue.push_back({number, std::string(text, size)});
    textBytes += size;
    ++queued[rank];
    return true;
  }

  void Clear() {  // under the lock
    queue.clear();
    queued = {};
    textBytes = 0;
  }

  // One trace line a second at most while messages are dropped; force
  // writes what is left. Under the lock.
  void ReportDrops(bool force) {
    if (dropped == droppedReported) return;
    const uint32_t now = platform::GetTickCount();
    if (!force && droppedReported != 0 && now - lastDropReport < kDropReportMs) return;
    const std::string line = "---msg:" + std::to_string(dropped - droppedReported) +
                             " queued messages dropped (" + std::to_string(dropped) + " in all)";
    ConsoleLine(line.c_str());
    droppedReported = dropped;
    lastDropReport = now;
  }

  Sinks Snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    Sinks s = sinks;
    for (IDispatch* d : s)
      if (d) d->AddRef();
    return s;
  }

  static void Release(Sinks& s) {
    for (IDispatch*& d : s)
      if (d) {
        d->Release();
        d = nullptr;
      }
  }

  bool StillAdvised(int place, IDispatch* sink) {
    std::lock_guard<std::mutex> lock(mutex);
    return sinks[static_cast<size_t>(place)] == sink;
  }

  // Calls one event on every place, lower place first; a sink's failure
  // does not stop the next, and a sink unadvised meanwhile is skipped.
  // A close asked for by a sink waits until the event being raised has
  // reached every sink of its snapshot.
  void Raise(DISPID id, DISPPARAMS& params) {
    const std::shared_ptr<Delivery> keep = shared_from_this();  // a sink may destroy the object
    Sinks s = Snapshot();
    ++raising;
    for (int i = 0; i < TVelmoraXImpl::kEventPlaces; ++i) {
      IDispatch* sink = s[static_cast<size_t>(i)];
      if (!sink || !StillAdvised(i, sink)) continue;
      try {
        sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
      } catch (...) {
      }
    }
    Release(s);
    if (--raising == 0 && closing) {
      closing = false;
      Finish();
    }
  }

  void Deliver(const Message& m) {
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_BSTR;  // MsgStr, last argument first
    args[0].bstrVal = SysAllocStringLen(nullptr, 0);
    std::u16string wide = com::AnsiToWide(m.text);
    SysFreeString(args[0].bstrVal);
    args[0].bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    args[1].vt = VT_I4;  // MsgNum
    args[1].lVal = m.number;
    DISPPARAMS params{args, nullptr, 2, 0};
    Raise(kOnPassMessage, params);
    SysFreeString(args[0].bstrVal);
  }

  // Takes one queued message, or false when there is none to deliver.
  bool Take(Message* m) {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed || queue.empty()) {
      wakePosted = false;
      return false;
    }
    *m = std::move(queue.front());
    queue.pop_front();
    --queued[RankOf(m->number)];
    textBytes -= m->text.size();
    return true;
  }

  // The apartment thread's delivery. A sink that pumps messages from its
  // handler does not start a second, overtaking delivery.
  void Pump() {
    if (delivering) return;
    delivering = true;
    Message m;
    while (Take(&m)) Deliver(m);
    delivering = false;
    std::lock_guard<std::mutex> lock(mutex);
    ReportDrops(false);
  }

  // The engine is gone: what it reported reaches the sinks, then OnDestroy,
  // then the sinks are let go; nothing is delivered after.
  void Close() {
    if (raising > 0)
      closing = true;
    else
      Finish();
  }

  // Closes without delivering anything more.
  void Abort() {
    Sinks s;
    {
      std::lock_guard<std::mutex> lock(mutex);
      closed = true;
      Clear();
      ReportDrops(true);
      s = sinks;
      sinks = {};
    }
    Release(s);
  }

 private:
  void Finish() {
    const bool wasDelivering = delivering;
    delivering = true;  // a sink that pumps must not start a delivery of its own
    Message m;
    while (Take(&m)) Deliver(m);
    delivering = wasDelivering;
    {
      std::lock_guard<std::mutex> lock(mutex);
      closed = true;
      Clear();
      ReportDrops(true);
    }
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    Raise(kOnDestroy, none);
    Abort();
  }
};

namespace {

TypeInfoProvider typeInfoProvider = nullptr;

// Runs one member body; a failure that escapes becomes error information and
// DISP_E_EXCEPTION.
template <typename F>
HRESULT Body(F&& f) {
  try {
    return f();
  } catch (const std::exception& e) {
    com::SetError(com::AnsiToWide(e.what()), CLSID_VelmoraX, IID_IVelmoraX);
  } catch (...) {
    com::SetError(u"", CLSID_VelmoraX, IID_IVelmoraX);
  }
  return DISP_E_EXCEPTION;
}

template <typename T, typename F>
HRESULT GetBody(T* out, F&& f) {
  if (!out) return E_POINTER;
  return Body([&] {
    *out = f();
    return S_OK;
  });
}

// Cuts UTF-8 text to at most max bytes without splitting a character.
std::string CutUtf8(std::string s, size_t max) {
  if (s.size() <= max) return s;
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  s.resize(n);
  return s;
}

std::string ToAnsi(BSTR b) { return com::WideToAnsi(com::BstrView(b)); }

// A text field's content as a BSTR.
BSTR TextBstr(const std::string& text) { return com::AllocBstrFromAnsi(text); }

int32_t SnapFrameRate(int32_t v) {
  if (v >= 30) return 30;
  if (v >= 15) return 15;
  if (v >= 10) return 10;
  if (v >= 7) return 7;
  if (v >= 2) return v;
  return 1;
}

int32_t SnapBuffering(int32_t v) {
  if (v < 0) return 0;
  if (v < 1000) return v - v % 100;
  if (v < 5000) return v - v % 1000;
  return 5000;
}

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : v > hi ? hi : v; }

// What an untrusted caller may record to: a drive-letter name whose files
// land inside the drives folder. The recorder reads the name up to a NUL.
bool InsideDrives(const std::string& name) {
  const std::string kept = name.c_str();
  const bool driveLetter = kept.size() >= 2 && kept[1] == ':' && std::isalpha(static_cast<unsigned char>(kept[0]));
  std::string path, reason;
  return driveLetter && platform::LocalPath(kept, &path, &reason);
}

}  // namespace

void SetTypeInfoProvider(TypeInfoProvider provider) { typeInfoProvider = provider; }

// ---- Connection points ---------------------------------------------------------

namespace {

// QueryInterface of an object that answers IUnknown and one interface of its own.
template <typename I>
HRESULT AnswerOwnInterface(I* self, REFIID riid, const IID& own, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == own) {
    *ppv = self;
    self->AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

}  // namespace

// What both of the object's connection points share: they live inside the
// object (its reference count is theirs), name their interface, lead back to
// the object, and list no connections.
template <const IID& kInterface>
class OwnedConnectionPoint : public IConnectionPoint {
 public:
  explicit OwnedConnectionPoint(IConnectionPointContainer* owner) : owner_(owner) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return AnswerOwnInterface<IConnectionPoint>(this, riid, IID_IConnectionPoint, ppv);
  }
  ULONG AddRef() override { return owner_->AddRef(); }
  ULONG Release() override { return owner_->Release(); }
  HRESULT GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = kInterface;
    return S_OK;
  }
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** cpc) override {
    if (!cpc) return E_POINTER;
    *cpc = owner_;
    owner_->AddRef();
    return S_OK;
  }
  HRESULT EnumConnections(IEnumConnections** e) override {
    if (e) *e = nullptr;
    return E_NOTIMPL;
  }

 private:
  IConnectionPointContainer* owner_;
};

class TVelmoraXImpl::EventPoint final : public OwnedConnectionPoint<DIID_IVelmoraXEvents> {
 public:
  explicit EventPoint(TVelmoraXImpl* owner) : OwnedConnectionPoint(owner), owner_(owner) {}
  HRESULT Advise(IUnknown* sink, DWORD* cookie) override {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    IDispatch* events = nullptr;
    if (FAILED(sink->QueryInterface(DIID_IVelmoraXEvents, reinterpret_cast<void**>(&events))) || !events)
      return CONNECT_E_CANNOTCONNECT;
    Delivery& d = *owner_->delivery_;
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.closed) {
      events->Release();
      return CONNECT_E_CANNOTCONNECT;
    }
    for (size_t i = 0; i < d.sinks.size(); ++i) {
      if (!d.sinks[i]) {
        d.sinks[i] = events;
        *cookie = static_cast<DWORD>(i + 1);
        return S_OK;
      }
    }
    events->Release();
    return CONNECT_E_ADVISELIMIT;
  }
  HRESULT Unadvise(DWORD cookie) override {
    IDispatch* sink = nullptr;
    {
      Delivery& d = *owner_->delivery_;
      std::lock_guard<std::mutex> lock(d.mutex);
      if (cookie < 1 || cookie > d.sinks.size() || !d.sinks[cookie - 1]) return CONNECT_E_NOCONNECTION;
      sink = d.sinks[cookie - 1];
      d.sinks[cookie - 1] = nullptr;
    }
    sink->Release();
    return S_OK;
  }

 private:
  TVelmoraXImpl* owner_;
};

class TVelmoraXImpl::NotifyPoint final : public OwnedConnectionPoint<IID_IPropertyNotifySink> {
 public:
  explicit NotifyPoint(TVelmoraXImpl* owner) : OwnedConnectionPoint(owner) {}
  ~NotifyPoint() { ReleaseAll(); }
  HRESULT Advise(IUnknown* sink, DWORD* cookie) override {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    IPropertyNotifySink* s = nullptr;
    if (FAILED(sink->QueryInterface(IID_IPropertyNotifySink, reinterpret_cast<void**>(&s))) || !s)
      return CONNECT_E_CANNOTCONNECT;
    std::lock_guard<std::mutex> lock(mutex_);
    sinks_.push_back({s, ++lastCookie_});
    *cookie = lastCookie_;
    return S_OK;
  }
  HRESULT Unadvise(DWORD cookie) override {
    IPropertyNotifySink* s = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
        if (it->second == cookie) {
          s = it->first;
          sinks_.erase(it);
          break;
        }
      }
    }
    if (!s) return CONNECT_E_NOCONNECTION;
    s->Release();
    return S_OK;
  }
  std::vector<IPropertyNotifySink*> Snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<IPropertyNotifySink*> out;
    for (auto& [s, cookie] : sinks_) {
      s->AddRef();
      out.push_back(s);
    }
    return out;
  }
  void ReleaseAll() {
    std::vector<std::pair<IPropertyNotifySink*, DWORD>> all;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      all.swap(sinks_);
    }
    for (auto& [s, cookie] : all) s->Release();
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<IPropertyNotifySink*, DWORD>> sinks_;
  DWORD lastCookie_ = 0;
};

// ---- Construction and lifetime -------------------------------------------------

TVelmoraXImpl::TVelmoraXImpl(std::unique_ptr<ViewerForm> form)
    : form_(std::move(form)),
      delivery_(std::make_shared<Delivery>()),
      events_(std::make_unique<EventPoint>(this)),
      notify_(std::make_unique<NotifyPoint>(this)),
      font_(CreateFont()) {
  delivery_->apartment = platform::CurrentThreadId();
  delivery_->instanceNumber = form_->InstanceNumber();
  // Gives the apartment thread its message queue now, so a report from an
  // engine thread can always wake it.
  platform::PostThreadMessage(delivery_->apartment, [] {});
  InitializeControl();
}

TVelmoraXImpl::~TVelmoraXImpl() {
  if (font_) font_->Release();
}

TVelmoraXImpl* CreateVelmoraX(std::unique_ptr<ViewerForm> form) { return new TVelmoraXImpl(std::move(form)); }

void TVelmoraXImpl::InitializeControl() {
  FormEvents& e = form_->events;
  auto raiseNone = [this](DISPID id) {
    return [this, id] {
      DISPPARAMS none{nullptr, nullptr, 0, 0};
      RaiseEvent(id, none);
    };
  };
  e.onActivate = raiseNone(kOnActivate);
  e.onClick = raiseNone(kOnClick);
  e.onCreate = raiseNone(kOnCreate);
  e.onDblClick = raiseNone(kOnDblClick);
  e.onDeactivate = raiseNone(kOnDeactivate);
  e.onDestroy = [this] { HandleFormDestroy(); };
  e.onKeyPress = [this](char& key) { ForwardKeyPress(key); };
  e.onPaint = raiseNone(kOnPaint);
  // The lock exists before the closures are handed out; the closures hold
  // the delivery state, not the object, so a late report finds it closed.
  std::weak_ptr<Delivery> weak = delivery_;
  auto closure = [weak](int32_t number, const char* text) {
    if (auto d = weak.lock()) d->Pass(static_cast<uint32_t>(number), text);
  };
  form_->PassMessage().Set(closure);
  form_->Link().passMessage.Set(closure);
  form_->Video().passMessage.Set(closure);
  form_->Audio().passMessage.Set(closure);
}

void TVelmoraXImpl::PassMessage(uint32_t number, const char* text) {
  try {
    delivery_->Pass(number, text);
  } catch (const std::exception& e) {
    com::SetError(com::AnsiToWide(e.what()), CLSID_VelmoraX, IID_IVelmoraX);
  }
}

uint64_t TVelmoraXImpl::DroppedMessages() const {
  std::lock_guard<std::mutex> lock(delivery_->mutex);
  return delivery_->dropped;
}

void TVelmoraXImpl::HandleFormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  try {
    form_->ActiveFormDestroy();
    delivery_->Close();
  } catch (const std::exception& e) {
    delivery_->Abort();
    com::SetError(com::AnsiToWide(e.what()), CLSID_VelmoraX, IID_IVelmoraX);
  }
}

HRESULT TVelmoraXImpl::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IVelmoraX) {
    *ppv = static_cast<IVelmoraX*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    *ppv = static_cast<IConnectionPointContainer*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    *ppv = static_cast<ISupportErrorInfo*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG TVelmoraXImpl::AddRef() { return ++refs_; }

ULONG TVelmoraXImpl::Release() {
  const ULONG n = --refs_;
  if (n != 0) return n;
  // The object is kept alive against sinks that query it while it goes.
  refs_ = 1;
  // Let go inside one of the form's events: the form's dispatch is still
  // under way, so the form goes once that has returned.
  if (platform::CurrentThreadId() == delivery_->apartment && form_->AfterFormEvent([this] { Destroy(); })) return 0;
  Destroy();
  return 0;
}

// Destroys the form, whose destroy event raises OnDestroy, then the object.
void TVelmoraXImpl::Destroy() {
  if (form_->events.onDestroy)
    form_->events.onDestroy();
  else
    form_->ActiveFormDestroy();
  notify_->ReleaseAll();
  form_.reset();
  delete this;
}

HRESULT TVelmoraXImpl::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_IVelmoraX || riid == IID_IDispatch || riid == IID_IConnectionPointContainer ? S_OK
                                                                                                   : S_FALSE;
}

namespace {

// Walks the object's connection points; keeps the object alive while it
// lives, since the points it hands out are the object's own.
class PointEnumerator final : public IEnumConnectionPoints {
 public:
  using Points = std::array<IConnectionPoint*, 2>;
  PointEnumerator(IUnknown* owner, const Points& points, size_t next)
      : owner_(owner), points_(points), next_(next) {
    owner_->AddRef();
  }
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return AnswerOwnInterface<IEnumConnectionPoints>(this, riid, IID_IEnumConnectionPoints, ppv);
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG n = --refs_;
    if (n == 0) {
      owner_->Release();
      delete this;
    }
    return n;
  }
  HRESULT Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override {
    if (!out || (!fetched && count != 1)) return E_POINTER;
    ULONG n = 0;
    for (; n < count && next_ < points_.size(); ++n) {
      out[n] = points_[next_++];
      out[n]->AddRef();
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    const size_t left = points_.size() - next_;
    next_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT Clone(IEnumConnectionPoints** out) override {
    if (!out) return E_POINTER;
    *out = new PointEnumerator(owner_, points_, next_);
    return S_OK;
  }

 private:
  ~PointEnumerator() = default;

  std::atomic<ULONG> refs_{1};
  IUnknown* owner_;
  Points points_;
  size_t next_;
};

}  // namespace

HRESULT TVelmoraXImpl::EnumConnectionPoints(IEnumConnectionPoints** e) {
  if (!e) return E_POINTER;
  *e = new PointEnumerator(static_cast<IVelmoraX*>(this), {events_.get(), notify_.get()}, 0);
  return S_OK;
}

HRESULT TVelmoraXImpl::FindConnectionPoint(REFIID riid, IConnectionPoint** cp) {
  if (!cp) return E_POINTER;
  if (riid == DIID_IVelmoraXEvents)
    *cp = events_.get();
  else if (riid == IID_IPropertyNotifySink)
    *cp = notify_.get();
  else {
    *cp = nullptr;
    return CONNECT_E_NOCONNECTION;
  }
  AddRef();
  return S_OK;
}

void TVelmoraXImpl::RaiseEvent(DISPID id, DISPPARAMS& params) {
  try {
    if (!destroyed_) delivery_->Raise(id, params);
  } catch (const std::exception& e) {
    com::SetError(com::AnsiToWide(e.what()), CLSID_VelmoraX, IID_IVelmoraX);
  }
}

void TVelmoraXImpl::ForwardKeyPress(char& key) {
  int16_t value = static_cast<int16_t>(static_cast<signed char>(key));
  VARIANT arg;
  VariantInit(&arg);
  arg.vt = VT_BYREF | VT_I2;
  arg.piVal = &value;
  DISPPARAMS params{&arg, nullptr, 1, 0};
  RaiseEvent(kOnKeyPress, params);
  key = static_cast<char>(value & 0xFF);
}

// ---- IDispatch -----------------------------------------------------------------

HRESULT TVelmoraXImpl::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = typeInfoProvider ? 1 : 0;
  return S_OK;
}

HRESULT TVelmoraXImpl::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
  if (!ppTInfo) return E_POINTER;
  *ppTInfo = nullptr;
  if (iTInfo != 0 || !typeInfoProvider) return DISP_E_BADINDEX;
  return typeInfoProvider(lcid, ppTInfo);
}

HRESULT TVelmoraXImpl::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!rgszNames || !rgDispId || cNames == 0) return E_INVALIDARG;
  for (UINT i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
  if (!rgszNames[0]) return DISP_E_UNKNOWNNAME;
  const MemberInfo* m = FindMember(std::u16string_view(rgszNames[0]));
  if (!m) return DISP_E_UNKNOWNNAME;
  rgDispId[0] = m->dispid;
  HRESULT hr = S_OK;
  for (UINT i = 1; i < cNames; ++i) {
    const std::u16string_view name = rgszNames[i] ? std::u16string_view(rgszNames[i]) : std::u16string_view();
    for (size_t p = 0; p < m->params.size(); ++p) {
      const std::u16string pname = com::AnsiToWide(m->params[p].name);
      if (name.size() == pname.size() &&
          std::equal(name.begin(), name.end(), pname.begin(), [](char16_t a, char16_t b) {
            auto low = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
            return low(a) == low(b);
          }))
        rgDispId[i] = static_cast<DISPID>(p);
    }
    if (rgDispId[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

namespace {

// Turns the error information a body left into EXCEPINFO, and leaves it in
// place for the caller's GetErrorInfo too.
void FillException(EXCEPINFO* info) {
  if (!info) return;
  *info = EXCEPINFO{};
  info->scode = E_FAIL;
  IErrorInfo* error = nullptr;
  if (GetErrorInfo(0, &error) != S_OK || !error) return;
  error->GetSource(&info->bstrSource);
  error->GetDescription(&info->bstrDescription);
  SetErrorInfo(0, error);
  error->Release();
}

}  // namespace

HRESULT TVelmoraXImpl::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                              VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  const MemberInfo* m = FindMember(dispIdMember);
  if (!m) return DISP_E_MEMBERNOTFOUND;
  if (!pDispParams) return E_INVALIDARG;
  const DISPPARAMS& dp = *pDispParams;
  if (dp.cArgs && !dp.rgvarg) return E_INVALIDARG;
  if (dp.cNamedArgs && !dp.rgdispidNamedArgs) return E_INVALIDARG;
  HRESULT hr;

  auto finish = [&](HRESULT result) {
    if (result == DISP_E_EXCEPTION) FillException(pExcepInfo);
    return result;
  };

  if (m->kind == MemberKind::Method) {
    if (!(wFlags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (dp.cNamedArgs) return DISP_E_NONAMEDARGS;
    UINT expected = 0;
    for (const ParamInfo& p : m->params)
      if (!(p.flags & kParamRetval)) ++expected;
    if (dp.cArgs != expected) return DISP_E_BADPARAMCOUNT;
    VARIANT values[8];
    for (VARIANT& v : values) {
      VariantInit(&v);
      v.llVal = 0;
    }
    struct Cleanup {
      VARIANT* v;
      ~Cleanup() {
        for (int i = 0; i < 8; ++i) VariantClear(&v[i]);
      }
    } cleanup{values};
    // Arguments arrive last first.
    UINT arg = 0;
    for (size_t i = 0; i < m->params.size(); ++i) {
      const ParamInfo& p = m->params[i];
      if (p.flags & kParamRetval) {
        values[i].vt = VT_I4;
        continue;
      }
      const UINT index = dp.cArgs - 1 - arg++;
      VARIANT& given = dp.rgvarg[index];
      if (p.flags & kParamOut) {
        const bool byRefI4 = given.vt == (VT_BYREF | VT_I4);
        const bool byRefVariant = given.vt == (VT_BYREF | VT_VARIANT);
        if (!byRefI4 && !byRefVariant) {
          if (puArgErr) *puArgErr = index;
          return DISP_E_TYPEMISMATCH;
        }
        if (!given.byref) return E_POINTER;
        values[i].vt = VT_I4;
        continue;
      }
      if (FAILED(hr = VariantChangeType(&values[i], &given, 0, p.type))) {
        if (puArgErr) *puArgErr = index;
        return hr;
      }
    }
    hr = m->call(this, values);
    if (FAILED(hr)) return finish(hr);
    arg = 0;
    for (size_t i = 0; i < m->params.size(); ++i) {
      const ParamInfo& p = m->params[i];
      if (p.flags & kParamRetval) {
        if (pVarResult) {
          VariantInit(pVarResult);
          pVarResult->vt = VT_I4;
          pVarResult->lVal = values[i].lVal;
        }
        continue;
      }
      VARIANT& given = dp.rgvarg[dp.cArgs - 1 - arg++];
      if (!(p.flags & kParamOut)) continue;
      if (given.vt == (VT_BYREF | VT_I4)) {
        *given.plVal = values[i].lVal;
      } else {
        VariantClear(given.pvarVal);
        given.pvarVal->vt = VT_I4;
        given.pvarVal->lVal = values[i].lVal;
      }
    }
    return hr;
  }

  if (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    PutThunk put = nullptr;
    if (wFlags & DISPATCH_PROPERTYPUTREF)
      put = m->putref ? m->putref : nullptr;
    if (!put && (wFlags & DISPATCH_PROPERTYPUT)) put = m->put;
    if (!put) return DISP_E_MEMBERNOTFOUND;
    if (dp.cNamedArgs != 1 || dp.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
      return dp.cNamedArgs ? DISP_E_NONAMEDARGS : DISP_E_PARAMNOTFOUND;
    if (dp.cArgs != 1) return DISP_E_BADPARAMCOUNT;
    com::Variant value;
    if (FAILED(hr = VariantChangeType(&value, &dp.rgvarg[0], 0, m->type))) {
      if (puArgErr) *puArgErr = 0;
      return hr;
    }
    return finish(put(this, &value));
  }

  if (!(wFlags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
  if (dp.cNamedArgs) return DISP_E_NONAMEDARGS;
  if (dp.cArgs) return DISP_E_BADPARAMCOUNT;
  com::Variant result;
  hr = m->get(this, m->type, &result);
  if (FAILED(hr)) return finish(hr);
  if (pVarResult) {
    *pVarResult = result;
    VariantInit(&result);
  }
  return hr;
}

// ---- Standard form properties ----------------------------------------------------

template <typename Set>
HRESULT TVelmoraXImpl::StandardPut(DISPID id, Set&& set) {
  return Body([&] {
    std::vector<IPropertyNotifySink*> sinks = notify_->Snapshot();
    bool refused = false;
    for (IPropertyNotifySink* s : sinks)
      if (!refused && s->OnRequestEdit(id) == S_FALSE) refused = true;
    if (!refused) {
      set(form_->Properties());
      form_->ApplyProperties();
      for (IPropertyNotifySink* s : sinks) s->OnChanged(id);
    }
    for (IPropertyNotifySink* s : sinks) s->Release();
    return refused ? S_FALSE : S_OK;
  });
}

#define VELMORA_STANDARD(Name, Type, Id)                                                          \
  HRESULT TVelmoraXImpl::get_##Name(Type* Value) {                                                \
    return GetBody(Value, [&] { return form_->Properties().Name; });                              \
  }                                                                                               \
  HRESULT TVelmoraXImpl::put_##Name(Type Value) {                                                 \
    return StandardPut(Id, [&](FormProperties& p) { p.Name = Value; });                           \
  }

VELMORA_STANDARD(Visible, VARIANT_BOOL, 1)
VELMORA_STANDARD(AutoScroll, VARIANT_BOOL, 2)
VELMORA_STANDARD(AutoSize, VARIANT_BOOL, 3)
VELMORA_STANDARD(BorderWidth, int32_t, 5)
VELMORA_STANDARD(Color, OLE_COLOR, -501)
VELMORA_STANDARD(KeyPreview, VARIANT_BOOL, 6)
VELMORA_STANDARD(PixelsPerInch, int32_t, 7)
VELMORA_STANDARD(Scaled, VARIANT_BOOL, 9)
VELMORA_STANDARD(DropTarget, VARIANT_BOOL, 11)
VELMORA_STANDARD(DoubleBuffered, VARIANT_BOOL, 13)
VELMORA_STANDARD(Enabled, VARIANT_BOOL, -514)
VELMORA_STANDARD(Cursor, int16_t, 15)
#undef VELMORA_STANDARD

HRESULT TVelmoraXImpl::get_Active(VARIANT_BOOL* Value) {
  return GetBody(Value, [&] { return form_->Properties().Active; });
}
HRESULT TVelmoraXImpl::get_VisibleDockClientCount(int32_t* Value) {
  return GetBody(Value, [&] { return form_->Properties().VisibleDockClientCount; });
}
HRESULT TVelmoraXImpl::get_Caption(BSTR* Value) {
  return GetBody(Value, [&] { return com::AllocBstr(form_->Properties().Caption); });
}
HRESULT TVelmoraXImpl::put_Caption(BSTR Value) {
  return StandardPut(-518, [&](FormProperties& p) { p.Caption = std::u16string(com::BstrView(Value)); });
}
HRESULT TVelmoraXImpl::get_HelpFile(BSTR* Value) {
  return GetBody(Value, [&] { return com::AllocBstr(form_->Properties().HelpFile); });
}
HRESULT TVelmoraXImpl::put_HelpFile(BSTR Value) {
  return StandardPut(12, [&](FormProperties& p) { p.HelpFile = std::u16string(com::BstrView(Value)); });
}
HRESULT TVelmoraXImpl::get_Font(IDispatch** Value) {
  return GetBody(Value, [&] {
    font_->AddRef();
    return font_;
  });
}
HRESULT TVelmoraXImpl::put_Font(IDispatch* Value) {
  // A put copies the given font's properties into the form's font.
  FontData data;
  if (Value && !ReadFont(Value, &data)) return DISP_E_TYPEMISMATCH;
  return StandardPut(-512, [&](FormProperties&) {
    if (!Value) return;
    IDispatch* copy = CreateFont(data);
    font_->Release();
    font_ = copy;
  });
}
HRESULT TVelmoraXImpl::putref_Font(IDispatch* Value) {
  if (!Value) return E_POINTER;
  // Only a font is kept: any other object (the control itself) would be
  // held for nothing, or hold the control alive.
  IDispatch* font = nullptr;
  if (FAILED(Value->QueryInterface(IID_IFontDisp, reinterpret_cast<void**>(&font))) || !font)
    return DISP_E_TYPEMISMATCH;
  const HRESULT hr = StandardPut(-512, [&](FormProperties&) { std::swap(font_, font); });
  font->Release();  // the font replaced, or the one refused
  return hr;
}

// ---- Custom members ----------------------------------------------------------------

HRESULT TVelmoraXImpl::Post(int32_t code) {
  // A command lost to a full queue is lost silently.
  form_->Link().PostCommand(code);
  return S_OK;
}

HRESULT TVelmoraXImpl::ReadOnlyPut() {
  return Body([] {
    platform::ShowMessageBox("Don't assign a value to read-only variable", "Inform");
    return S_OK;
  });
}

#define VELMORA_GET(Name, Expr) \
  HRESULT TVelmoraXImpl::get_##Name(int32_t* Value) { return GetBody(Value, [&]() -> int32_t { return Expr; }); }
#define VELMORA_READ_ONLY(Name, Expr) \
  VELMORA_GET(Name, Expr)             \
  HRESULT TVelmoraXImpl::put_##Name(int32_t) { return ReadOnlyPut(); }
#define VELMORA_PUT(Name, Stmt)                                  \
  HRESULT TVelmoraXImpl::put_##Name(int32_t Value) {             \
    return Body([&] {                                            \
      Stmt;                                                      \
      return S_OK;                                               \
    });                                                          \
  }

#define LINK form_->Link()
#define VIDEO form_->Video()
#define AUDIO form_->Audio()

VELMORA_GET(port, LINK.port.load())
VELMORA_PUT(port, LINK.port = static_cast<int16_t>(Value & 0xFFFF))
VELMORA_READ_ONLY(connected, (LINK.vidconnected || LINK.audconnected) ? 1 : 0)
VELMORA_GET(maxfrmrate, VIDEO.maxfrmrate.load())
VELMORA_PUT(maxfrmrate, VIDEO.maxfrmrate = static_cast<uint8_t>(SnapFrameRate(Value)))
VELMORA_GET(maxbitrate, VIDEO.maxbitrate.load())
VELMORA_PUT(maxbitrate, VIDEO.maxbitrate = static_cast<uint16_t>(Value))
VELMORA_GET(intvlintra, VIDEO.intvlintra.load())
VELMORA_PUT(intvlintra, VIDEO.intvlintra = static_cast<uint8_t>(Value))
VELMORA_GET(maxq, VIDEO.maxq.load())
VELMORA_PUT(maxq, VIDEO.maxq = static_cast<uint8_t>(Value))
VELMORA_GET(minq, VIDEO.minq.load())
VELMORA_PUT(minq, VIDEO.minq = static_cast<uint8_t>(Value))
VELMORA_READ_ONLY(curruser, LINK.curruser.load())
VELMORA_READ_ONLY(frmrate, LINK.frmrate.load())
VELMORA_READ_ONLY(avbitrate, LINK.avbitrate.load())
VELMORA_READ_ONLY(audbitrate, LINK.audbitrate.load())
VELMORA_READ_ONLY(record, LINK.recorder->videoRecording.load())
VELMORA_GET(volume, AUDIO.GetPlayVolume())
VELMORA_PUT(volume, AUDIO.SetPlayVolume(Value))
VELMORA_GET(EncMode, VIDEO.EncMode.load())
VELMORA_PUT(EncMode, VIDEO.EncMode = static_cast<uint8_t>(Value))
VELMORA_GET(motionsen, VIDEO.motionsen.load())
VELMORA_PUT(motionsen, VIDEO.motionsen = static_cast<uint16_t>(Value))
VELMORA_READ_ONLY(motionoccur, VIDEO.motionoccur.exchange(0))
VELMORA_GET(vidconnected, LINK.vidconnected.load())
VELMORA_GET(audconnected, LINK.audconnected.load())
VELMORA_GET(idnum, form_->InstanceNumber())
VELMORA_GET(VidEnable, LINK.VidEnable.load())
VELMORA_GET(AudEnable, LINK.AudEnable.load())
VELMORA_GET(biauden, LINK.biauden.load())
VELMORA_GET(AudioModule, LINK.recorder->AudioModule.load())
VELMORA_PUT(AudioModule, LINK.recorder->AudioModule = Value != 0 ? 1 : 0)
VELMORA_GET(lumoid, static_cast<int32_t>((uint32_t{LINK.firmwareVersion.load()} << 16) | LINK.cameraId.load()))
VELMORA_GET(MotionGrid, VIDEO.draw->MotionGrid.load())
VELMORA_PUT(MotionGrid, VIDEO.draw->MotionGrid = Value != 0 ? 1 : 0)
VELMORA_GET(Postproc, VIDEO.Postproc.load())
VELMORA_PUT(Postproc, VIDEO.Postproc = Value)
VELMORA_GET(prerecord, LINK.prerecord.load())
VELMORA_PUT(prerecord, LINK.prerecord = Clamp(Value, 0, CNetManage::kMaxPrerecordMs))
VELMORA_GET(audsen, AUDIO.audsen.load())
VELMORA_PUT(audsen, AUDIO.audsen = Clamp(Value, 0, 60000))
VELMORA_GET(audmode, AUDIO.audmode.load())
VELMORA_PUT(audmode, AUDIO.audmode = Value != 0 ? 1 : 0)
VELMORA_GET(vidchannel, LINK.vidchannel.load())
VELMORA_GET(buffering, static_cast<int32_t>(VIDEO.buffering.load()))
VELMORA_GET(MotionGridMask, static_cast<int32_t>(VIDEO.MotionGridMask.load() & 0x1FFFFFF))
VELMORA_GET(motionbits, static_cast<int32_t>(VIDEO.motionbits.load()))

VELMORA_PUT(buffering, {
  const uint32_t v = static_cast<uint32_t>(SnapBuffering(Value));
  VIDEO.buffering = v;
  VIDEO.playing = 0;
  AUDIO.buffering = v;
  AUDIO.ResetAudio();
})

VELMORA_PUT(MotionGridMask, {
  if (LINK.loginLevel == kLoginAdmin) VIDEO.MotionGridMask = static_cast<uint32_t>(Value) & 0x1FFFFFF;
})

VELMORA_PUT(VidEnable, {
  const int32_t v = Value != 0 ? 1 : 0;
  if (v != LINK.VidEnable) {
    LINK.VidEnable = v;
    VIDEO.VidEnable = v;
    VIDEO.vidEnableChanged = 1;
  }
})

VELMORA_PUT(AudEnable, {
  const int32_t v = Value != 0 ? 1 : 0;
  if (v != LINK.AudEnable) {
    LINK.AudEnable = v;
    AUDIO.playEnabled = static_cast<uint8_t>(v);
    if (v == 0) AUDIO.ResetAudio();
  }
})

VELMORA_PUT(biauden, {
  LINK.biauden = Value;
  if (Value != 0) {
    const int32_t slot = AUDIO.ReadWriteSlot();
    if (slot >= 0) LINK.talkReadSlot = slot;
  }
})

VELMORA_GET(localvideo, VIDEO.localvideo.load() | (VIDEO.localvideoRgb32.load() << 1))
VELMORA_PUT(localvideo, {
  VIDEO.localvideoRgb32 = (Value >> 1) & 1;
  if ((Value & 1) != VIDEO.localvideo) {
    VIDEO.localvideo = Value & 1;
    VIDEO.localvideoChanged = 1;
  }
})

HRESULT TVelmoraXImpl::get_zoom(float* Value) {
  return GetBody(Value, [&] { return VIDEO.zoom.load(); });
}
HRESULT TVelmoraXImpl::put_zoom(float Value) {
  return Body([&] {
    VIDEO.zoom = Value;
    return S_OK;
  });
}

HRESULT TVelmoraXImpl::get_recname(BSTR* Value) {
  return GetBody(Value, [&] { return TextBstr(LINK.recorder->RecordName()); });
}
HRESULT TVelmoraXImpl::put_recname(BSTR Value) {
  return Body([&] {
    const std::string name = CutUtf8(ToAnsi(Value), RecorderPeer::kNameSize - 1);
    // Refused as the pointer members are: a script names no path outside.
    if (Untrusted() && !InsideDrives(name)) return S_OK;
    LINK.recorder->SetRecordName(name);
    return S_OK;
  });
}

HRESULT TVelmoraXImpl::get_message(BSTR* Value) {
  return GetBody(Value, [] { return com::AllocBstr(u""); });
}
HRESULT TVelmoraXImpl::put_message(BSTR) { return ReadOnlyPut(); }

HRESULT TVelmoraXImpl::get_version(BSTR* Value) {
  return GetBody(Value, [&] { return TextBstr(LINK.version); });
}

#define VELMORA_TEXT(Name)                                                                         \
  HRESULT TVelmoraXImpl::get_##Name(BSTR* Value) {                                                 \
    return GetBody(Value, [&] { return TextBstr(LINK.GetText(LINK.Name)); });                     \
  }                                                                                                \
  HRESULT TVelmoraXImpl::put_##Name(BSTR Value) {                                                  \
    return Body([&] {                                                                              \
      LINK.SetText(LINK.Name, CutUtf8(ToAnsi(Value), CNetManage::kTextSize - 1));                  \
      return S_OK;                                                                                 \
    });                                                                                            \
  }
VELMORA_TEXT(ipaddr)
VELMORA_TEXT(username)
VELMORA_TEXT(password)
#undef VELMORA_TEXT

HRESULT TVelmoraXImpl::ConnectWebcam(int32_t* connect) {
  if (!connect) return E_POINTER;
  return Body([&] {
    *connect = 0;
    LINK.loginLevel = 0;
    Post(CmdConnectVideo);
    Post(CmdConnectAudio);
    PassMessage(255, "##########Connecting cmd");
    return S_OK;
  });
}

HRESULT TVelmoraXImpl::DisconnectWebcam() {
  return Body([&] {
    Post(CmdDisconnectAudio);
    Post(CmdDisconnectVideo);
    PassMessage(255, "##########Disconnecting cmd");
    return S_OK;
  });
}

HRESULT TVelmoraXImpl::StartRecording() {
  return Body([&] {
    if (Untrusted() && !InsideDrives(LINK.recorder->RecordName())) return S_OK;
    return Post(CmdStartRecording);
  });
}
HRESULT TVelmoraXImpl::StopRecording() { return Body([&] { return Post(CmdStopRecording); }); }
HRESULT TVelmoraXImpl::VidConnect() {
  return Body([&] {
    LINK.loginLevel = 0;
    return Post(CmdConnectVideo);
  });
}
HRESULT TVelmoraXImpl::AudConnect() { return Body([&] { return Post(CmdConnectAudio); }); }
HRESULT TVelmoraXImpl::AudDisconnect() { return Body([&] { return Post(CmdDisconnectAudio); }); }
HRESULT TVelmoraXImpl::VidDisconnect() { return Body([&] { return Post(CmdDisconnectVideo); }); }

HRESULT TVelmoraXImpl::SetSIOInit(int32_t Ch, int32_t baudrate, int32_t databit, int32_t stopbit, int32_t parity) {
  return Body([&] {
    if (Ch < 0 || Ch > 1) return S_OK;
    LINK.sioBaud[Ch] = baudrate;
    LINK.sioDataBits[Ch] = static_cast<uint8_t>(databit);
    LINK.sioStopBits[Ch] = static_cast<uint8_t>(stopbit);
    LINK.sioParity[Ch] = static_cast<uint8_t>(parity);
    return S_OK;
  });
}

HRESULT TVelmoraXImpl::GetSIOInit(int32_t Ch, int32_t* baudrate, int32_t* databit, int32_t* stopbit,
                                  int32_t* parity) {
  if (!baudrate || !databit || !stopbit || !parity) return E_POINTER;
  return Body([&] {
    *baudrate = *databit = *stopbit = *parity = 0;
    if (Ch < 0 || Ch > 1) return S_OK;
    *baudrate = LINK.sioBaud[Ch];
    *databit = static_cast<int8_t>(LINK.sioDataBits[Ch].load());
    *stopbit = static_cast<int8_t>(LINK.sioStopBits[Ch].load());
    *parity = static_cast<int8_t>(LINK.sioParity[Ch].load());
    return S_OK;
  });
}

HRESULT TVelmoraXImpl::GetSIOData(int32_t Ch, intptr_t buf, int32_t* length) {
  if (!length) return E_POINTER;
  return Body([&] {
    *length = 0;
    if (Ch < 0 || Ch > 1 || buf == 0 || Untrusted()) return S_OK;
    CManage1DBUF& ring = LINK.sioRx[Ch];
    uint32_t n = ring.Count();
    if (n > 254) n = 254;
    if (n > 0) ring.GetBytes(reinterpret_cast<void*>(buf), n);
    *length = static_cast<int32_t>(n);
    return S_OK;
  });
}

HRESULT TVelmoraXImpl::PutSIOData(int32_t Ch, intptr_t buf, int32_t length) {
  return Body([&] {
    if (Ch < 0 || Ch > 1 || buf == 0 || length <= 0 || Untrusted()) return S_OK;
    if (LINK.loginLevel != kLoginAdmin && LINK.sioAllowed == 0) return S_OK;
    // A block that does not fit is refused whole, and the caller is told.
    if (!LINK.sioTx[Ch].PutBytes(reinterpret_cast<const void*>(buf), static_cast<uint32_t>(length)))
      throw std::runtime_error("serial transmit queue full: " + std::to_string(length) + " bytes refused");
    return S_OK;
  });
}

HRESULT TVelmoraXImpl::SetMPEG4Control(int32_t* retval) {
  if (!retval) return E_POINTER;
  return Body([&] {
    *retval = 0;
    if (LINK.loginLevel == kLoginAdmin) Post(CmdSetEncoderFlash);
    return S_OK;
  });
}

HRESULT TVelmoraXImpl::IsAudioModule(int32_t* retval) {
  return GetBody(retval, [&]() -> int32_t { return LINK.recorder->AudioModule.load(); });
}

HRESULT TVelmoraXImpl::GetGPIOValue(int32_t* Value) {
  return GetBody(Value, [&] { return LINK.gpioIn.load(); });
}

HRESULT TVelmoraXImpl::PutGPIOValue(int32_t Value) {
  return Body([&] {
    if (LINK.loginLevel != kLoginAdmin && LINK.gpioAllowed == 0) return S_OK;
    LINK.gpioOut = Value;
    return Post(CmdSendGpio);
  });
}

HRESULT TVelmoraXImpl::SetDecPointer(intptr_t pDec) {
  return Body([&] {
    if (!Untrusted()) VIDEO.decPointer = reinterpret_cast<void*>(pDec);
    return S_OK;
  });
}

HRESULT TVelmoraXImpl::SelVidChannel(int32_t Ch, int32_t Update) {
  return Body([&] {
    if (LINK.loginLevel != kLoginAdmin) return S_OK;
    LINK.channelRequest = Clamp(Ch, 0, 3);
    LINK.channelUpdate = Update != 0 ? 1 : 0;
    return Post(CmdSelectChannel);
  });
}

HRESULT TVelmoraXImpl::SwitchUser(BSTR username, BSTR password) {
  return Body([&] {
    if (LINK.loginLevel == kLoginNone) return S_OK;
    const std::string user = ToAnsi(username), pass = ToAnsi(password);
    if (user.size() >= CNetManage::kTextSize || pass.size() >= CNetManage::kTextSize) return S_OK;
    LINK.SetText(LINK.switchUsername, user);
    LINK.SetText(LINK.switchPassword, pass);
    return Post(CmdSwitchUser);
  });
}

HRESULT TVelmoraXImpl::AdminSet(int32_t flashupdate, int32_t* retval) {
  if (!retval) return E_POINTER;
  return Body([&] {
    *retval = 0;
    if (LINK.loginLevel != kLoginAdmin || LINK.videoState != 100) return S_OK;
    Post(flashupdate != 0 ? CmdSetEncoderFlash : CmdSetEncoderNoFlash);
    *retval = 1;
    return S_OK;
  });
}

#undef LINK
#undef VIDEO
#undef AUDIO
#undef VELMORA_GET
#undef VELMORA_READ_ONLY
#undef VELMORA_PUT

}  // namespace control
