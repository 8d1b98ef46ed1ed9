// ClientSocket on POSIX non-blocking TCP. The owning thread's message pump
// polls each socket once (poll() with no wait) and queues its events as
// messages; each message checks that it still belongs to the current
// connection before it calls a handler. A host name is looked up on a helper
// thread of its own, so a slow resolver never holds up the owning thread,
// and its addresses are tried in the resolver's order: a failed attempt
// moves on at once, one that stays unanswered for kAttemptHold lets the
// next start beside it, and the first to connect wins. Each attempt keeps
// its own deadline, so an unanswered SYN fails after kConnectTimeoutMs rather
// than after the kernel's own minutes of retries.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "platform/message_queue.h"
#include "platform/socket.h"

namespace platform {

int WinsockErrorCode(int e) {
  switch (e) {
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return kWsaEConnReset;
    case EPIPE: return kWsaEConnReset;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ETIMEDOUT: return kWsaETimedOut;
    case ECONNREFUSED: return kWsaEConnRefused;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return kWsaEHostUnreach;
    default: return 10000 + e;
  }
}

enum class SocketState { Idle, Resolving, Connecting, Connected };

constexpr auto kAttemptHold = std::chrono::milliseconds(2000);

struct Address {
  sockaddr_storage addr{};
  socklen_t len = 0;
};

// One name lookup. The helper thread that runs it keeps its own reference,
// so a lookup outlives an attempt that was dropped meanwhile.
struct Lookup {
  std::mutex mutex;
  bool done = false;
  int error = 0;  // Winsock code; 0 when the name was found
  std::vector<Address> addresses;
};

namespace {

std::mutex hostLookupMutex;
HostLookup hostLookup;  // a test's; empty: the system's resolver
std::atomic<int> connectTimeoutMs{kConnectTimeoutMs};

}  // namespace

// One connect under way and when it gives up.
struct Attempt {
  int fd = -1;
  std::chrono::steady_clock::time_point deadline;
};

struct ClientSocket::Core : EventSource, std::enable_shared_from_this<ClientSocket::Core> {
  mutable std::mutex mutex;
  ClientSocket* owner = nullptr;  // null once the socket object is gone
  SocketHandlers handlers;
  std::string host;
  int port = 0;
  int fd = -1;  // once connected
  SocketState state = SocketState::Idle;
  uint64_t generation = 0;  // bumped by every Open and Close
  // While Connecting: the addresses in the order to try, the sockets
  // connecting now, and the errno of the latest attempt that failed.
  std::vector<Address> addresses;
  size_t nextAddress = 0;
  std::vector<Attempt> attempts;
  int lastError = 0;
  std::chrono::steady_clock::time_point nextAttemptAt;
  bool readPending = false;
  std::vector<uint8_t> pending;  // accepted bytes the kernel has not taken yet
  size_t pendingOffset = 0;
  ThreadId ownerThread = 0;
  bool registered = false;
  std::shared_ptr<Lookup> lookup;  // while Resolving
  std::chrono::steady_clock::time_point lookupDeadline;

  void Poll() override;

  // Everything below runs with mutex held.
  void CloseFd() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    for (const Attempt& a : attempts) ::close(a.fd);
    attempts.clear();
    addresses.clear();
    state = SocketState::Idle;
    lookup.reset();
    readPending = false;
    pending.clear();
    pendingOffset = 0;
  }
  void FlushPending();
  // Starts connecting to the addresses in turn. 0, or the errno of the last
  // socket that could not be made when no attempt is under way.
  int BeginConnect(std::vector<Address> list);
  int StartAttempt(const Address& a);
  int AttemptNext();
  void PollAttempts();
  void Won(size_t i);
  void StartLookup(const std::string& name, int port);
  void PollLookup();
  void Fail(int posixErrno) {
    PostError(WinsockErrorCode(posixErrno));
    CloseFd();
  }

  void PostConnect();
  void PostRead();
  void PostDisconnect();
  void PostError(int code);
  void Post(void (*dispatch)(const std::shared_ptr<Core>&, uint64_t, int), int code = 0);

  static void DispatchConnect(const std::shared_ptr<Core>& core, uint64_t gen, int);
  static void DispatchRead(const std::shared_ptr<Core>& core, uint64_t gen, int);
  static void DispatchDisconnect(const std::shared_ptr<Core>& core, uint64_t gen, int);
  static void DispatchError(const std::shared_ptr<Core>& core, uint64_t gen, int code);
};

void ClientSocket::Core::Post(void (*dispatch)(const std::shared_ptr<Core>&, uint64_t, int), int code) {
  std::shared_ptr<Core> self = shared_from_this();
  uint64_t gen = generation;
  PostThreadMessage(ownerThread, [self, gen, code, dispatch] { dispatch(self, gen, code); });
}

void ClientSocket::Core::PostConnect() { Post(&DispatchConnect); }
void ClientSocket::Core::PostRead() {
  readPending = true;
  Post(&DispatchRead);
}
void ClientSocket::Core::PostDisconnect() { Post(&DispatchDisconnect); }
void ClientSocket::Core::PostError(int code) { Post(&DispatchError, code); }

void ClientSocket::Core::FlushPending() {
  while (fd >= 0 && pendingOffset < pending.size()) {
    ssize_t sent = ::send(fd, pending.data() + pendingOffset, pending.size() - pendingOffset,
                          MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      pendingOffset += static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    Fail(sent < 0 ? errno : EPIPE);
    return;
  }
  pending.clear();
  pendingOffset = 0;
}

void ClientSocket::Core::Poll() {
  std::lock_guard<std::mutex> lock(mutex);
  if (state == SocketState::Resolving) {
    PollLookup();
    return;
  }
  if (state == SocketState::Connecting) {
    PollAttempts();
    return;
  }
  if (fd < 0) return;
  short want = POLLIN | POLLRDHUP;
  if (pendingOffset < pending.size()) want |= POLLOUT;
  pollfd p{fd, want, 0};
  if (::poll(&p, 1, 0) <= 0) return;
  if (p.revents & POLLOUT) FlushPending();
  if (fd < 0) return;
  if (p.revents & POLLERR) {
    int err = 0;
    socklen_t len = sizeof(err);
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    Fail(err != 0 ? err : ECONNRESET);
    return;
  }
  if (!(p.revents & (POLLIN | POLLHUP | POLLRDHUP)) || readPending) return;
  int waiting = 0;
  if (::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0) {
    PostRead();
    return;
  }
  // Nothing left to read: find out whether the peer closed or reset.
  char probe;
  ssize_t got = ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got > 0) {
    PostRead();
  } else if (got == 0) {
    PostDisconnect();
    CloseFd();
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    Fail(errno);
  }
}

namespace {

// Runs a handler outside the lock when its event still belongs to the
// current connection of a live socket.
template <typename Check, typename Call>
void DispatchIf(const std::shared_ptr<ClientSocket::Core>& core, uint64_t gen, Check check, Call call) {
  ClientSocket* socket;
  {
    std::lock_guard<std::mutex> lock(core->mutex);
    if (core->owner == nullptr || core->generation != gen || !check(*core)) return;
    socket = core->owner;
  }
  call(*socket);
}

}  // namespace

void ClientSocket::Core::DispatchConnect(const std::shared_ptr<Core>& core, uint64_t gen, int) {
  DispatchIf(
      core, gen, [](Core& c) { return c.state == SocketState::Connected; },
      [&](ClientSocket& s) {
        if (core->handlers.onConnect) core->handlers.onConnect(s);
      });
}

void ClientSocket::Core::DispatchRead(const std::shared_ptr<Core>& core, uint64_t gen, int) {
  DispatchIf(
      core, gen,
      [](Core& c) {
        c.readPending = false;
        return c.state == SocketState::Connected;
      },
      [&](ClientSocket& s) {
        if (core->handlers.onRead) core->handlers.onRead(s);
      });
}

void ClientSocket::Core::DispatchDisconnect(const std::shared_ptr<Core>& core, uint64_t gen, int) {
  DispatchIf(
      core, gen, [](Core&) { return true; },
      [&](ClientSocket& s) {
        if (core->handlers.onDisconnect) core->handlers.onDisconnect(s);
      });
}

void ClientSocket::Core::DispatchError(const std::shared_ptr<Core>& core, uint64_t gen, int code) {
  DispatchIf(
      core, gen, [](Core&) { return true; },
      [&](ClientSocket& s) {
        int left = code;
        if (core->handlers.onError) core->handlers.onError(s, left);
        if (left != 0) ShowMessageBox("Windows socket error: " + std::to_string(left), "Error");
      });
}

ClientSocket::ClientSocket() : core_(std::make_shared<Core>()) { core_->owner = this; }

ClientSocket::~ClientSocket() {
  ThreadId ownerThread;
  bool registered;
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    ownerThread = core_->ownerThread;
    registered = core_->registered;
  }
  // Unregister first, without the lock, so a poll in progress can finish.
  if (registered) RemoveEventSource(ownerThread, core_.get());
  std::lock_guard<std::mutex> lock(core_->mutex);
  core_->owner = nullptr;
  ++core_->generation;
  core_->CloseFd();
}

void ClientSocket::SetHandlers(SocketHandlers handlers) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  core_->handlers = std::move(handlers);
}

void ClientSocket::SetHost(const std::string& host) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  core_->host = host;
}

std::string ClientSocket::Host() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->host;
}

void ClientSocket::SetPort(int port) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  core_->port = port;
}

int ClientSocket::Port() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->port;
}

namespace {

bool NumericAddress(const std::string& host, int port, Address& out) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) != 1) return false;
  std::memcpy(&out.addr, &v4, sizeof(v4));
  out.len = sizeof(v4);
  return true;
}

// Every address of a getaddrinfo answer, in its order.
void AppendAddresses(const addrinfo* found, std::vector<Address>& out) {
  for (const addrinfo* a = found; a; a = a->ai_next) {
    if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
    Address one;
    std::memcpy(&one.addr, a->ai_addr, a->ai_addrlen);
    one.len = a->ai_addrlen;
    out.push_back(one);
  }
}

// A test's numeric answers, with the port.
std::vector<Address> ParseAddresses(const std::vector<std::string>& numeric, int port) {
  std::vector<Address> out;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  for (const std::string& text : numeric) {
    addrinfo* found = nullptr;
    if (::getaddrinfo(text.c_str(), std::to_string(port).c_str(), &hints, &found) == 0) AppendAddresses(found, out);
    if (found) ::freeaddrinfo(found);
  }
  return out;
}

// Names under the reserved top-level domain "invalid" (RFC 6761) never
// resolve; they fail at once, without asking a name server.
bool ReservedInvalid(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  if (!name.empty() && name.back() == '.') name.pop_back();
  constexpr std::string_view kSuffix = ".invalid";
  return name == "invalid" || (name.size() > kSuffix.size() && name.ends_with(kSuffix));
}

void LookUp(const std::string& name, int port, const HostLookup& test, Lookup& out) {
  int error = kWsaHostNotFound;
  std::vector<Address> addresses;
  if (test) {
    addresses = ParseAddresses(test(name), port);
  } else if (!ReservedInvalid(name)) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc == 0) AppendAddresses(found, addresses);
    if (rc == EAI_AGAIN) error = kWsaTryAgain;
    if (found) ::freeaddrinfo(found);
  }
  if (!addresses.empty()) error = 0;
  std::lock_guard<std::mutex> lock(out.mutex);
  out.done = true;
  out.error = error;
  out.addresses = std::move(addresses);
}

}  // namespace

int ClientSocket::Core::BeginConnect(std::vector<Address> list) {
  addresses = std::move(list);
  nextAddress = 0;
  lastError = 0;
  state = SocketState::Connecting;
  return AttemptNext();
}

// One attempt: under way, or failed at once (lastError). The errno of a
// socket that could not be made, else 0.
int ClientSocket::Core::StartAttempt(const Address& a) {
  const int made = ::socket(a.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (made < 0) {
    lastError = errno;
    return lastError;
  }
  int one = 1;
  ::setsockopt(made, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (::connect(made, reinterpret_cast<const sockaddr*>(&a.addr), a.len) != 0 && errno != EINPROGRESS) {
    lastError = errno;
    ::close(made);
    return 0;
  }
  const auto now = std::chrono::steady_clock::now();
  attempts.push_back({made, now + std::chrono::milliseconds(connectTimeoutMs.load())});
  nextAttemptAt = now + kAttemptHold;
  return 0;
}

// Starts the next address that takes an attempt; the errno of the last
// socket that could not be made when none did.
int ClientSocket::Core::AttemptNext() {
  int noSocket = 0;
  while (nextAddress < addresses.size()) {
    const size_t before = attempts.size();
    noSocket = StartAttempt(addresses[nextAddress++]);
    if (attempts.size() > before) return 0;
  }
  return noSocket;
}

namespace {

// 0 once connected, the errno of a failed attempt (ETIMEDOUT past its
// deadline), or -1 while it is still under way.
int Outcome(const Attempt& a, std::chrono::steady_clock::time_point now) {
  pollfd p{a.fd, POLLOUT, 0};
  if (::poll(&p, 1, 0) <= 0) return now >= a.deadline ? ETIMEDOUT : -1;
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(a.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  return err;
}

}  // namespace

void ClientSocket::Core::Won(size_t i) {
  fd = attempts[i].fd;
  attempts.erase(attempts.begin() + static_cast<std::ptrdiff_t>(i));
  for (const Attempt& other : attempts) ::close(other.fd);
  attempts.clear();
  addresses.clear();
  state = SocketState::Connected;
  PostConnect();
}

// The first attempt to connect wins and the others are dropped. Each one
// that fails gives way to the next address at once, even beside attempts
// still pending; a slow one lets the next start after the hold. With
// nothing left to try, the latest failure is the error event.
void ClientSocket::Core::PollAttempts() {
  const auto now = std::chrono::steady_clock::now();
  int failed = 0;
  for (size_t i = 0; i < attempts.size();) {
    const int err = Outcome(attempts[i], now);
    if (err < 0) {
      ++i;
      continue;
    }
    if (err == 0) {
      Won(i);
      return;
    }
    ::close(attempts[i].fd);
    attempts.erase(attempts.begin() + static_cast<std::ptrdiff_t>(i));
    lastError = err;
    ++failed;
  }
  if (failed == 0 && now >= nextAttemptAt) failed = 1;
  for (; failed > 0; --failed) AttemptNext();
  if (attempts.empty()) Fail(lastError);
}

void ClientSocket::Core::StartLookup(const std::string& name, int port) {
  auto job = std::make_shared<Lookup>();
  HostLookup test;
  {
    std::lock_guard<std::mutex> lock(hostLookupMutex);
    test = hostLookup;
  }
  try {
    std::thread([job, name, port, test] { LookUp(name, port, test, *job); }).detach();
  } catch (const std::system_error& e) {
    throw SocketError(std::string("lookup: ") + e.what(), kWsaHostNotFound);
  }
  lookup = std::move(job);
  lookupDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLookupTimeoutMs);
  state = SocketState::Resolving;
}

// The lookup's outcome, once it has one, becomes the connect attempt or
// the error event.
void ClientSocket::Core::PollLookup() {
  int error = kWsaTryAgain;
  std::vector<Address> found;
  {
    std::lock_guard<std::mutex> lock(lookup->mutex);
    if (!lookup->done && std::chrono::steady_clock::now() < lookupDeadline) return;
    if (lookup->done) {
      error = lookup->error;
      found = std::move(lookup->addresses);
    }
  }
  lookup.reset();
  if (error == 0) {
    BeginConnect(std::move(found));  // what fails is reported by the next poll
    return;
  }
  PostError(error);
  CloseFd();
}

void SetHostLookup(HostLookup lookup) {
  std::lock_guard<std::mutex> lock(hostLookupMutex);
  hostLookup = std::move(lookup);
}

void SetConnectTimeout(int ms) { connectTimeoutMs = ms > 0 ? ms : kConnectTimeoutMs; }

void ClientSocket::Open() {
  std::string host;
  int port;
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (core_->state == SocketState::Connected) return;
    host = core_->host;
    port = core_->port;
  }
  if (host.empty() || port < 0 || port > 65535) throw SocketError("Host not found: " + host, kWsaHostNotFound);
  Address address;
  const bool numeric = NumericAddress(host, port, address);

  bool needRegister = false;
  bool unregister = false;
  ThreadId previousOwner = 0;
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (core_->state == SocketState::Connected) return;
    ++core_->generation;
    core_->CloseFd();
    if (!numeric) {
      core_->StartLookup(host, port);
    } else if (int err = core_->BeginConnect({address}); err != 0) {
      core_->CloseFd();
      throw SocketError(std::string("socket: ") + std::strerror(err), WinsockErrorCode(err));
    }
    // Events go to the thread that opens, each time it opens.
    const ThreadId me = CurrentThreadId();
    if (!core_->registered || core_->ownerThread != me) {
      previousOwner = core_->registered ? core_->ownerThread : 0;
      unregister = core_->registered;
      core_->registered = true;
      core_->ownerThread = me;
      needRegister = true;
    }
  }
  if (unregister) RemoveEventSource(previousOwner, core_.get());
  if (needRegister) AddEventSource(core_.get());
}

void ClientSocket::Close() {
  bool wasConnected;
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    wasConnected = core_->state == SocketState::Connected;
    ++core_->generation;
    core_->CloseFd();
  }
  if (wasConnected) {
    SocketHandlers handlers;
    {
      std::lock_guard<std::mutex> lock(core_->mutex);
      handlers = core_->handlers;
    }
    if (handlers.onDisconnect) handlers.onDisconnect(*this);
  }
}

bool ClientSocket::Connected() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->state == SocketState::Connected;
}

int ClientSocket::SendBuf(const void* data, int n) {
  if (n <= 0 || data == nullptr) return 0;
  std::lock_guard<std::mutex> lock(core_->mutex);
  if (core_->state != SocketState::Connected) return 0;
  core_->FlushPending();
  if (core_->state != SocketState::Connected || !core_->pending.empty()) return 0;
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < static_cast<size_t>(n)) {
    ssize_t sent = ::send(core_->fd, bytes + done, static_cast<size_t>(n) - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    core_->Fail(sent < 0 ? errno : EPIPE);
    return 0;
  }
  if (done == 0) return 0;
  core_->pending.assign(bytes + done, bytes + n);
  core_->pendingOffset = 0;
  return n;
}

int ClientSocket::ReceiveBuf(void* data, int n) {
  if (n <= 0 || data == nullptr) return 0;
  std::lock_guard<std::mutex> lock(core_->mutex);
  if (core_->state != SocketState::Connected) return -1;
  for (;;) {
    ssize_t got = ::recv(core_->fd, data, static_cast<size_t>(n), MSG_DONTWAIT);
    if (got >= 0) return static_cast<int>(got);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    core_->Fail(errno);
    return -1;
  }
}

int ClientSocket::PendingSendBytes() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return static_cast<int>(core_->pending.size() - core_->pendingOffset);
}

bool ClientSocket::SetReceiveBufferSize(int bytes) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  if (core_->fd < 0) return false;
  return ::setsockopt(core_->fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) == 0;
}

}  // namespace platform
