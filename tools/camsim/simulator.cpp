// CameraSimulator: one poll loop owns the listeners and every connection.
// Public calls change state under the mutex and wake the loop; only the loop
// opens and closes sockets, so no fd is ever closed under a poll().
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "tools/camsim/camsim.h"
#include "tools/camsim/media.h"
#include "tools/camsim/wire.h"

namespace camsim {

namespace {

using Us = std::chrono::microseconds;

constexpr int kListenBacklog = 64;
constexpr size_t kReadChunk = 65536;
constexpr Ms kFinLinger{1000};
constexpr Ms kIdleWake{200};
constexpr Ms kThrottleTick{10};
constexpr int kMaxFramesPerService = 10000;

int Idx(Channel c) { return c == Channel::Video ? 1 : 0; }

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void ResetFd(int& fd) {
  if (fd < 0) return;
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  CloseFd(fd);
}

bool MakeAddress(const std::string& host, uint16_t port, sockaddr_in& a) {
  a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  return ::inet_pton(AF_INET, host.c_str(), &a.sin_addr) == 1;
}

struct Conn {
  ConnectionInfo info;
  int fd = -1;
  bool closing = false;        // to be reaped at the end of this pass
  bool peerClosed = false;
  bool finRequested = false;
  bool resetRequested = false;
  bool finSent = false;
  Clock::time_point finDeadline;

  wire::Bytes out;
  size_t outHead = 0;
  Clock::time_point nextSplitSend;
  wire::Bytes in;
  double readAllowance = 0;
  Clock::time_point lastRefill;

  struct PendingReply {
    Clock::time_point due;
    wire::Bytes bytes;
    std::optional<uint8_t> level;  // the login level the reply grants
  };
  std::deque<PendingReply> delayed;

  // Stream schedule: frame i is due at t0 + i * period.
  bool everStarted = false;
  Clock::time_point t0;
  uint64_t tick = 0;
  uint64_t pictureIndex = 0;
  uint32_t tsOffset = 0;
  std::optional<Clock::time_point> stallUntil;
  bool stallCatchUp = false;
  int burst = 0;
  AudioCursor audio;
  uint8_t channelBits = 0;
  std::optional<uint32_t> lastTalkSequence;

  size_t Pending() const { return out.size() - outHead; }
};

}  // namespace

const char* KindName(InboundKind k) {
  switch (k) {
    case InboundKind::ConnectionOpened: return "ConnectionOpened";
    case InboundKind::ConnectionClosed: return "ConnectionClosed";
    case InboundKind::LoginRequest: return "LoginRequest";
    case InboundKind::SwitchUserRequest: return "SwitchUserRequest";
    case InboundKind::StartVideo: return "StartVideo";
    case InboundKind::StopVideo: return "StopVideo";
    case InboundKind::StartAudio: return "StartAudio";
    case InboundKind::StopAudio: return "StopAudio";
    case InboundKind::EncoderParams: return "EncoderParams";
    case InboundKind::SelectChannel: return "SelectChannel";
    case InboundKind::GpioOutput: return "GpioOutput";
    case InboundKind::SioPut: return "SioPut";
    case InboundKind::TalkFrame: return "TalkFrame";
    case InboundKind::Unknown: return "Unknown";
    case InboundKind::OverlongLength: return "OverlongLength";
    case InboundKind::ReplySent: return "ReplySent";
  }
  return "?";
}

struct CameraSimulator::Impl {
  SimConfig cfg;
  mutable std::mutex mu;
  std::condition_variable cv;
  std::thread thread;
  bool stopRequested = false;
  bool running = false;
  std::string error;
  uint16_t port = 0;
  int wakeFd = -1;

  int listenFd[2] = {-1, -1};
  ConnectPolicy policy[2] = {ConnectPolicy::Refuse, ConnectPolicy::Refuse};
  ConnectPolicy wantedPolicy[2];
  int fillerFd[2] = {-1, -1};
  // A bound socket that never listens: it keeps a refusing or stopped
  // channel's port ours, so no other program's connection takes it meanwhile.
  int holdFd[2] = {-1, -1};
  std::vector<uint16_t> fillerPorts;

  std::vector<std::unique_ptr<Conn>> conns;
  std::map<int, ConnectionInfo> closedInfo;
  int nextId = 1;

  VideoClip videoClip;
  AudioClip audioClip;

  std::deque<LogEntry> log;
  uint64_t nextSeq = 0;
  std::vector<LogEntry> toObserve;
  std::function<void(const LogEntry&)> observer;

  uint8_t motionFlag = 0;
  uint32_t motionBits = 0;
  size_t readRate = 0;
  bool readPaused = false;
  bool splitWrites = false;
  Ms splitGap{2};

  explicit Impl(SimConfig c) : cfg(std::move(c)) {
    wantedPolicy[0] = cfg.audioPolicy;
    wantedPolicy[1] = cfg.videoPolicy;
  }
  ~Impl() { ReleasePorts(); }

  // ---------------------------------------------------------------- log --
  void Append(LogEntry e) {
    e.seq = nextSeq++;
    if (observer) toObserve.push_back(e);
    log.push_back(std::move(e));
    while (log.size() > cfg.maxLogEntries && !log.empty()) log.pop_front();
  }

  LogEntry Event(const Conn& c, InboundKind kind) {
    LogEntry e;
    e.time = Clock::now();
    e.connection = c.info.id;
    e.channel = c.info.channel;
    e.kind = kind;
    return e;
  }

  void Wake() {
    if (wakeFd < 0) return;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wakeFd, &one, sizeof one);
  }

  // ---------------------------------------------------------- listeners --
  // backlog < 0: bind only (a port hold).
  int OpenListener(uint16_t p, int backlog) {
    sockaddr_in a;
    if (!MakeAddress(cfg.address, p, a)) {
      error = "bad address " + cfg.address;
      return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (cfg.receiveBufferBytes > 0)
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &cfg.receiveBufferBytes,
                   sizeof cfg.receiveBufferBytes);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (backlog >= 0 && ::listen(fd, backlog) != 0)) {
      error = "cannot listen on " + cfg.address + ":" + std::to_string(p) + ": " +
              std::strerror(errno);
      ::close(fd);
      return -1;
    }
    return fd;
  }

  bool HoldPort(int ch) {
    if (holdFd[ch] < 0) holdFd[ch] = OpenListener(ChannelPort(ch), -1);
    return holdFd[ch] >= 0;
  }

  void ReleasePorts() {
    for (int& fd : holdFd) CloseFd(fd);
  }

  uint16_t ChannelPort(int ch) const { return static_cast<uint16_t>(port + ch); }

  // Blackhole: a backlog of 0 with our own connection filling the only
  // place, so the kernel drops every further SYN.
  void OpenFiller(int ch) {
    sockaddr_in a;
    MakeAddress(cfg.address, ChannelPort(ch), a);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    fillerPorts.push_back(ntohs(local.sin_port));
    fillerFd[ch] = fd;
  }

  bool ApplyPolicy(int ch, ConnectPolicy want) {
    CloseFd(fillerFd[ch]);
    if (want == ConnectPolicy::Refuse) {
      // A listener and a hold cannot share the port: close, then hold.
      const bool wasListening = listenFd[ch] >= 0;
      CloseFd(listenFd[ch]);
      if (!HoldPort(ch) && !wasListening) return false;
    } else {
      int backlog = want == ConnectPolicy::Blackhole ? 0 : kListenBacklog;
      if (listenFd[ch] < 0) {
        listenFd[ch] = OpenListener(ChannelPort(ch), backlog);
        if (listenFd[ch] < 0) return false;
        CloseFd(holdFd[ch]);
      } else {
        if (want == ConnectPolicy::Blackhole) AcceptAll(ch);
        ::listen(listenFd[ch], backlog);
      }
      if (want == ConnectPolicy::Blackhole) OpenFiller(ch);
    }
    policy[ch] = want;
    return true;
  }

  bool OpenListeners() {
    uint16_t base = static_cast<uint16_t>(cfg.port & 0xFFFE);
    if (port != 0) base = port;  // a restart keeps its port
    for (int attempt = 0; attempt < 64; ++attempt) {
      uint16_t p = base;
      if (p == 0) {
        int probe = OpenListener(0, 1);
        if (probe < 0) return false;
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(probe);
        p = static_cast<uint16_t>(ntohs(a.sin_port) & 0xFFFE);
        if (p == 0) continue;
      }
      port = p;
      error.clear();
      bool ok = ApplyPolicy(0, wantedPolicy[0]) && ApplyPolicy(1, wantedPolicy[1]);
      if (ok) return true;
      CloseListeners();
      ReleasePorts();
      port = 0;
      if (base != 0) return false;
    }
    if (error.empty()) error = "no free even port pair";
    return false;
  }

  // The ports stay held until the simulator goes, so a restart gets them back.
  void CloseListeners() {
    for (int ch = 0; ch < 2; ++ch) {
      CloseFd(fillerFd[ch]);
      const bool wasListening = listenFd[ch] >= 0;
      CloseFd(listenFd[ch]);
      if (wasListening) HoldPort(ch);
      policy[ch] = ConnectPolicy::Refuse;
    }
  }

  // --------------------------------------------------------- connections --
  Conn* Find(int id) {
    for (auto& c : conns)
      if (c->info.id == id) return c.get();
    return nullptr;
  }

  std::vector<Conn*> Select(const Target& t) {
    std::vector<Conn*> out;
    for (auto& c : conns) {
      if (c->closing || c->finRequested || c->info.channel != t.channel) continue;
      if (t.connection != kAllConnections && c->info.id != t.connection) continue;
      out.push_back(c.get());
    }
    return out;
  }

  void AcceptAll(int ch) {
    for (;;) {
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      int fd = ::accept4(listenFd[ch], reinterpret_cast<sockaddr*>(&peer), &len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      uint16_t peerPort = ntohs(peer.sin_port);
      auto filler = std::find(fillerPorts.begin(), fillerPorts.end(), peerPort);
      if (filler != fillerPorts.end()) {  // our own blackhole filler
        fillerPorts.erase(filler);
        ::close(fd);
        continue;
      }
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      auto c = std::make_unique<Conn>();
      c->fd = fd;
      c->info.id = nextId++;
      c->info.channel = ch == 1 ? Channel::Video : Channel::Audio;
      c->info.open = true;
      c->lastRefill = Clock::now();
      Append(Event(*c, InboundKind::ConnectionOpened));
      if (policy[ch] == ConnectPolicy::AcceptAndClose) {
        c->closing = true;
      } else if (policy[ch] == ConnectPolicy::AcceptAndReset) {
        ResetFd(c->fd);
        c->closing = true;
      }
      conns.push_back(std::move(c));
    }
  }

  void Enqueue(Conn& c, const wire::Bytes& b) {
    if (c.outHead > (1u << 20) && c.outHead * 2 > c.out.size()) {
      c.out.erase(c.out.begin(), c.out.begin() + static_cast<long>(c.outHead));
      c.outHead = 0;
    }
    c.out.insert(c.out.end(), b.begin(), b.end());
  }

  int SendTo(const Target& t, const wire::Bytes& b) {
    auto targets = Select(t);
    for (Conn* c : targets) Enqueue(*c, b);
    if (!targets.empty()) Wake();
    return static_cast<int>(targets.size());
  }

  void Flush(Conn& c, Clock::time_point now) {
    if (c.fd < 0 || c.closing) return;
    while (c.Pending() > 0) {
      size_t n = c.Pending();
      if (splitWrites) {
        if (now < c.nextSplitSend) return;
        n = 1;
      }
      ssize_t s = ::send(c.fd, c.out.data() + c.outHead, n, MSG_NOSIGNAL);
      if (s < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
          if (splitWrites) c.nextSplitSend = now + splitGap;
          return;
        }
        c.peerClosed = true;
        c.closing = true;
        return;
      }
      c.outHead += static_cast<size_t>(s);
      c.info.bytesSent += static_cast<uint64_t>(s);
      if (splitWrites) {
        c.nextSplitSend = now + splitGap;
        return;
      }
    }
    c.out.clear();
    c.outHead = 0;
    if (c.finRequested && !c.finSent) {
      ::shutdown(c.fd, SHUT_WR);
      c.finSent = true;
      c.finDeadline = now + kFinLinger;
    }
  }

  void Read(Conn& c, Clock::time_point now) {
    if (c.fd < 0 || c.closing || readPaused) return;
    size_t budget = SIZE_MAX;
    if (readRate > 0) {
      double dt = std::chrono::duration<double>(now - c.lastRefill).count();
      c.lastRefill = now;
      c.readAllowance = std::min(c.readAllowance + dt * static_cast<double>(readRate),
                                 static_cast<double>(std::max<size_t>(readRate / 10, 1)));
      if (c.readAllowance < 1) return;
      budget = static_cast<size_t>(c.readAllowance);
    }
    uint8_t buf[kReadChunk];
    for (int i = 0; i < 16 && budget > 0; ++i) {
      ssize_t r = ::recv(c.fd, buf, std::min(sizeof buf, budget), 0);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        c.peerClosed = !c.finSent;
        c.closing = true;
        break;
      }
      if (r < 0) break;
      auto n = static_cast<size_t>(r);
      if (readRate > 0) c.readAllowance -= static_cast<double>(n);
      budget -= n;
      c.info.bytesReceived += n;
      c.in.insert(c.in.end(), buf, buf + n);
    }
    Parse(c, now);
  }

  // ------------------------------------------------------------ inbound --
  void Parse(Conn& c, Clock::time_point now) {
    size_t at = 0;
    while (c.in.size() - at >= wire::kHeaderSize) {
      const uint8_t* h = c.in.data() + at;
      size_t len = wire::ReadLength(h);
      if (len > wire::kMaxPayload) {
        LogEntry e = Event(c, InboundKind::OverlongLength);
        e.bytes.assign(h, h + wire::kHeaderSize);
        e.problem = "length " + std::to_string(len) + " above 60000; input dropped";
        Append(std::move(e));
        at = c.in.size();
        break;
      }
      if (c.in.size() - at < wire::kHeaderSize + len) break;
      LogEntry e = Event(c, InboundKind::Unknown);
      wire::CheckInbound(h, wire::kHeaderSize + len, c.info.channel, e);
      at += wire::kHeaderSize + len;
      Handle(c, e, now);
      Append(std::move(e));
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(at));
  }

  static void AddProblem(LogEntry& e, const std::string& p) {
    if (!e.problem.empty()) e.problem += "; ";
    e.problem += p;
  }

  LoginAnswer AnswerFor(const LogEntry& e) const {
    if (cfg.login.accounts.empty()) return cfg.login.answer;
    for (const Account& a : cfg.login.accounts)
      if (a.user == e.user && a.password == e.password) return a.answer;
    LoginAnswer refused;
    refused.outcome = LoginOutcome::Refused;
    refused.refusalReason = 0x10;
    return refused;
  }

  uint8_t CodecByte() const {
    return cfg.login.fields.audioCodec.value_or(audioClip.codecByte());
  }

  // Login replies leave from Service, after the request has been logged;
  // the level counts from then on. The delay runs from the request's logged
  // time, which a slow pass can put well after the pass began.
  void Reply(Conn& c, const LogEntry& request, wire::Bytes reply, std::optional<uint8_t> level) {
    c.delayed.push_back({request.time + cfg.login.replyDelay, std::move(reply), level});
  }

  static uint8_t LevelOf(const LoginAnswer& a) {
    switch (a.outcome) {
      case LoginOutcome::Administrator: return 0x20;
      case LoginOutcome::User: return 0x30;
      case LoginOutcome::Refused: return 0x10;
      case LoginOutcome::ShortReply: return a.shortReplyLevel;
      case LoginOutcome::OtherLevel: return a.otherLevel;
      case LoginOutcome::Unanswered: return 0;
    }
    return 0;
  }

  void HandleLogin(Conn& c, const LogEntry& e) {
    LoginAnswer a = AnswerFor(e);
    if (a.outcome == LoginOutcome::Unanswered) return;
    bool isSwitch = e.kind == InboundKind::SwitchUserRequest;
    uint8_t level = LevelOf(a);
    if (isSwitch && cfg.login.switchReply == SwitchReply::None) return;
    // A refused switch leaves the earlier login standing.
    std::optional<uint8_t> grants;
    if (!isSwitch || level == 0x20 || level == 0x30) grants = level;
    if (isSwitch && cfg.login.switchReply == SwitchReply::AudioLoginReply)
      Reply(c, e, wire::AudioLoginReply(a), grants);
    else
      Reply(c, e, wire::LoginReply(a, cfg.login.fields, CodecByte()), grants);
  }

  void StartStream(Conn& c, Clock::time_point now) {
    if (c.info.streaming) return;
    if (!c.everStarted) {
      c.everStarted = true;
      c.t0 = now;
      c.tick = 0;
    } else {
      c.tick = std::max(c.tick, IndexAt(c, now));
    }
    c.info.streaming = true;
  }

  void Handle(Conn& c, LogEntry& e, Clock::time_point now) {
    switch (e.kind) {
      case InboundKind::LoginRequest:
      case InboundKind::SwitchUserRequest:
        if (c.info.channel == Channel::Video) HandleLogin(c, e);
        break;
      case InboundKind::StartVideo:
        if (c.info.channel != Channel::Video) break;
        if (c.info.loginLevel != 0x20 && c.info.loginLevel != 0x30) {
          AddProblem(e, "video start without a successful login reply");
          break;
        }
        StartStream(c, now);
        break;
      case InboundKind::StartAudio:
        if (c.info.channel == Channel::Audio) StartStream(c, now);
        break;
      case InboundKind::StopVideo:
      case InboundKind::StopAudio:
        if ((e.kind == InboundKind::StopVideo) == (c.info.channel == Channel::Video))
          c.info.streaming = false;
        break;
      case InboundKind::GpioOutput:
        Enqueue(c, wire::GpioInput(e.value));
        break;
      case InboundKind::SioPut:
        if (e.sioPort <= 1 && !e.sioData.empty())
          Enqueue(c, wire::SioData(e.sioPort, e.sioData.data(), e.sioData.size()));
        break;
      case InboundKind::SelectChannel:
        c.channelBits = e.value & 3;
        break;
      case InboundKind::TalkFrame:
        // The link's pass that stops the audio may still send one slot
        // after the stop, so only talk before any start is wrong.
        if (!c.everStarted) AddProblem(e, "talk frame before the audio start");
        ++c.info.talkFrames;
        if (c.lastTalkSequence && e.talkSequence != *c.lastTalkSequence + 1) {
          ++c.info.talkSequenceErrors;
          AddProblem(e, "talk sequence " + std::to_string(e.talkSequence) + " after " +
                            std::to_string(*c.lastTalkSequence));
        }
        c.lastTalkSequence = e.talkSequence;
        break;
      default:
        break;
    }
  }

  // ------------------------------------------------------------ streams --
  int Fps() const { return std::clamp(cfg.video.fps, 1, 30); }

  Us Due(const Conn& c, uint64_t i) const {
    if (c.info.channel == Channel::Video)
      return Us(static_cast<int64_t>(i * 1000000 / static_cast<uint64_t>(Fps())));
    return Us(static_cast<int64_t>(i * 30000));
  }

  uint64_t IndexAt(const Conn& c, Clock::time_point now) const {
    auto us = std::chrono::duration_cast<Us>(now - c.t0).count();
    if (us <= 0) return 0;
    auto u = static_cast<uint64_t>(us);
    return c.info.channel == Channel::Video ? u * static_cast<uint64_t>(Fps()) / 1000000
                                            : u / 30000;
  }

  uint8_t LoggedInViewers() const {
    int n = 0;
    for (auto& c : conns)
      if (c->info.channel == Channel::Video && !c->closing &&
          (c->info.loginLevel == 0x20 || c->info.loginLevel == 0x30))
        ++n;
    return static_cast<uint8_t>(std::min(n, 63));
  }

  void SendStreamFrame(Conn& c) {
    uint64_t i = c.tick++;
    wire::Bytes frame;
    uint32_t ts;
    if (c.info.channel == Channel::Video) {
      if (!cfg.video.enabled) return;
      ts = cfg.video.firstTimestamp +
           static_cast<uint32_t>(i * 30 / static_cast<uint64_t>(Fps())) + c.tsOffset;
      const VideoPicture& p = videoClip.at(c.pictureIndex++);
      uint32_t tag = (motionBits & 0x1FFFFFF) | static_cast<uint32_t>(c.channelBits) << 28;
      frame = wire::VideoFrame(p.frameType, LoggedInViewers(), motionFlag, ts, tag,
                               p.payload.data(), p.payload.size());
    } else {
      ts = cfg.audio.firstTimestamp + static_cast<uint32_t>(i) + c.tsOffset;
      frame = audioClip.NextFrame(c.audio, ts);
      if (frame.empty()) return;
    }
    if (c.Pending() > cfg.maxQueuedBytes) {
      ++c.info.framesSkipped;
      return;
    }
    Enqueue(c, frame);
    ++c.info.framesSent;
    c.info.lastTimestamp = ts;
  }

  void ServiceStream(Conn& c, Clock::time_point now) {
    if (!c.info.streaming) return;
    if (c.stallUntil) {
      if (now < *c.stallUntil) return;
      if (!c.stallCatchUp) c.tick = std::max(c.tick, IndexAt(c, now));
      c.stallUntil.reset();
    }
    int guard = 0;
    for (; c.burst > 0 && guard < kMaxFramesPerService; --c.burst, ++guard) SendStreamFrame(c);
    while (c.t0 + Due(c, c.tick) <= now && guard++ < kMaxFramesPerService) SendStreamFrame(c);
  }

  // ---------------------------------------------------------------- loop --
  Clock::time_point NextWake(const Conn& c, Clock::time_point now) const {
    Clock::time_point t = now + kIdleWake;
    if (c.info.streaming) {
      if (c.burst > 0) return now;
      t = std::min(t, c.stallUntil ? *c.stallUntil : c.t0 + Due(c, c.tick));
    }
    if (!c.delayed.empty()) t = std::min(t, c.delayed.front().due);
    if (splitWrites && c.Pending() > 0) t = std::min(t, c.nextSplitSend);
    if (readRate > 0) t = std::min(t, now + kThrottleTick);
    if (c.finSent) t = std::min(t, c.finDeadline);
    return t;
  }

  void Service(Clock::time_point now) {
    for (auto& cp : conns) {
      Conn& c = *cp;
      if (c.closing) continue;
      if (c.resetRequested) {
        ResetFd(c.fd);
        c.closing = true;
        continue;
      }
      while (!c.delayed.empty() && c.delayed.front().due <= now) {
        LogEntry e = Event(c, InboundKind::ReplySent);
        e.bytes = std::move(c.delayed.front().bytes);
        e.value = e.bytes[2];
        if (c.delayed.front().level) c.info.loginLevel = *c.delayed.front().level;
        c.delayed.pop_front();
        Enqueue(c, e.bytes);
        Append(std::move(e));
      }
      if (!c.finRequested) ServiceStream(c, now);
      Flush(c, now);
      if (c.finSent && now >= c.finDeadline) c.closing = true;
    }
  }

  void Reap() {
    for (auto it = conns.begin(); it != conns.end();) {
      Conn& c = **it;
      if (!c.closing) {
        ++it;
        continue;
      }
      if (c.fd >= 0) {
        // Unread input would turn close() into a reset.
        uint8_t buf[4096];
        for (int i = 0; i < 64 && ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT) > 0; ++i) {
        }
        ::shutdown(c.fd, SHUT_RDWR);
        CloseFd(c.fd);
      }
      c.info.open = false;
      c.info.streaming = false;
      LogEntry e = Event(c, InboundKind::ConnectionClosed);
      e.closedByPeer = c.peerClosed;
      Append(std::move(e));
      closedInfo[c.info.id] = c.info;
      it = conns.erase(it);
    }
  }

  void ApplyWantedPolicies() {
    bool changed = false;
    for (int ch = 0; ch < 2; ++ch)
      if (policy[ch] != wantedPolicy[ch]) changed |= ApplyPolicy(ch, wantedPolicy[ch]);
    if (changed) cv.notify_all();
  }

  void Loop() {
    std::vector<pollfd> pfds;
    std::vector<int> owner;  // -1 wake, -2/-3 listener audio/video, else conn id
    std::unique_lock lock(mu);
    while (!stopRequested) {
      ApplyWantedPolicies();
      Clock::time_point now = Clock::now();
      Clock::time_point wake = now + kIdleWake;
      pfds.clear();
      owner.clear();
      pfds.push_back({wakeFd, POLLIN, 0});
      owner.push_back(-1);
      for (int ch = 0; ch < 2; ++ch) {
        if (listenFd[ch] >= 0 && policy[ch] != ConnectPolicy::Blackhole) {
          pfds.push_back({listenFd[ch], POLLIN, 0});
          owner.push_back(-2 - ch);
        }
      }
      for (auto& c : conns) {
        short ev = 0;
        // A throttled reader reads on its own clock, a paused one not at all.
        if (!readPaused && readRate == 0) ev |= POLLIN;
        if (c->Pending() > 0 && !splitWrites) ev |= POLLOUT;
        pfds.push_back({c->fd, ev, 0});
        owner.push_back(c->info.id);
        wake = std::min(wake, NextWake(*c, now));
      }
      auto waitUs = std::max<int64_t>(0, std::chrono::duration_cast<Us>(wake - now).count());
      timespec ts{static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
      lock.unlock();
      ::ppoll(pfds.data(), pfds.size(), &ts, nullptr);
      lock.lock();
      if (stopRequested) break;
      now = Clock::now();
      for (size_t i = 0; i < pfds.size(); ++i) {
        if (pfds[i].revents == 0) continue;
        if (owner[i] == -1) {
          uint64_t v;
          [[maybe_unused]] ssize_t r = ::read(wakeFd, &v, sizeof v);
        } else if (owner[i] <= -2) {
          AcceptAll(-2 - owner[i]);
        } else if (Conn* c = Find(owner[i])) {
          if ((pfds[i].revents & (POLLERR | POLLHUP)) && (pfds[i].events & POLLIN) == 0) {
            c->peerClosed = !c->finSent;
            c->closing = true;
          } else {
            Read(*c, now);
          }
        }
      }
      if (readRate > 0)
        for (auto& c : conns) Read(*c, now);
      Service(now);
      Reap();
      cv.notify_all();
      if (!toObserve.empty()) {
        auto batch = std::move(toObserve);
        toObserve.clear();
        auto obs = observer;
        lock.unlock();
        for (const LogEntry& e : batch) obs(e);
        lock.lock();
      }
    }
    for (auto& c : conns) c->closing = true;
    Reap();
    CloseListeners();
    running = false;
    cv.notify_all();
    if (!toObserve.empty()) {
      auto batch = std::move(toObserve);
      toObserve.clear();
      auto obs = observer;
      lock.unlock();
      for (const LogEntry& e : batch) obs(e);
    }
  }

  template <typename F>
  int ForTargets(const Target& t, F f) {
    std::lock_guard lock(mu);
    auto targets = Select(t);
    for (Conn* c : targets) f(*c);
    Wake();
    return static_cast<int>(targets.size());
  }

  template <typename Pred>
  bool WaitUntil(Ms timeout, Pred pred) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, timeout, [&] { return pred(); });
  }
};

// ------------------------------------------------------------- public API --

CameraSimulator::CameraSimulator(SimConfig config)
    : impl_(std::make_unique<Impl>(std::move(config))) {}

CameraSimulator::~CameraSimulator() { Stop(); }

bool CameraSimulator::Start() {
  std::unique_lock lock(impl_->mu);
  Impl& s = *impl_;
  if (s.running) return true;
  s.error.clear();
  if (!s.videoClip.Load(s.cfg.video.framesPath, s.error) ||
      !s.audioClip.Load(s.cfg.audio, s.error))
    return false;
  if (!s.OpenListeners()) return false;
  s.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (s.wakeFd < 0) {
    s.error = "eventfd failed";
    s.CloseListeners();
    return false;
  }
  s.stopRequested = false;
  s.running = true;
  s.thread = std::thread([this] { impl_->Loop(); });
  return true;
}

void CameraSimulator::Stop() {
  {
    std::lock_guard lock(impl_->mu);
    impl_->stopRequested = true;
    impl_->Wake();
  }
  if (impl_->thread.joinable()) impl_->thread.join();
  std::lock_guard lock(impl_->mu);
  CloseFd(impl_->wakeFd);
  impl_->running = false;
}

bool CameraSimulator::Restart(Ms down) {
  Stop();
  if (down.count() > 0) std::this_thread::sleep_for(down);
  return Start();
}

bool CameraSimulator::running() const {
  std::lock_guard lock(impl_->mu);
  return impl_->running;
}

std::string CameraSimulator::error() const {
  std::lock_guard lock(impl_->mu);
  return impl_->error;
}

uint16_t CameraSimulator::port() const {
  std::lock_guard lock(impl_->mu);
  return impl_->port;
}

void CameraSimulator::SetLogin(const LoginConfig& login) {
  std::lock_guard lock(impl_->mu);
  impl_->cfg.login = login;
}

void CameraSimulator::SetLoginAnswer(const LoginAnswer& answer) {
  std::lock_guard lock(impl_->mu);
  impl_->cfg.login.answer = answer;
}

void CameraSimulator::SetConnectPolicy(Channel channel, ConnectPolicy policy) {
  std::unique_lock lock(impl_->mu);
  const int ch = Idx(channel);
  impl_->wantedPolicy[ch] = policy;
  impl_->Wake();
  // Callers connect right after this: the listener must be in its new state.
  if (std::this_thread::get_id() == impl_->thread.get_id()) return;
  impl_->cv.wait_for(lock, std::chrono::seconds(2), [&] {
    return !impl_->running || impl_->policy[ch] == policy || impl_->wantedPolicy[ch] != policy;
  });
}

int CameraSimulator::SendCameraText(std::string_view text, Target t) {
  std::lock_guard lock(impl_->mu);
  return impl_->SendTo(t, wire::CameraText(text));
}

int CameraSimulator::SendSerialData(uint8_t port, const std::vector<uint8_t>& data, Target t) {
  std::lock_guard lock(impl_->mu);
  return impl_->SendTo(t, wire::SioData(port, data.data(), data.size()));
}

int CameraSimulator::SendDigitalInput(uint8_t value, Target t) {
  std::lock_guard lock(impl_->mu);
  return impl_->SendTo(t, wire::GpioInput(value));
}

int CameraSimulator::SendMotionMask(uint32_t mask, Target t) {
  std::lock_guard lock(impl_->mu);
  return impl_->SendTo(t, wire::MotionMaskUpdate(mask));
}

int CameraSimulator::SendValue(int32_t value, Target t) {
  std::lock_guard lock(impl_->mu);
  return impl_->SendTo(t, wire::ValueReport(value));
}

int CameraSimulator::SendEncoderMode(uint8_t mode, Target t) {
  std::lock_guard lock(impl_->mu);
  return impl_->SendTo(t, wire::EncModeUpdate(mode));
}

int CameraSimulator::SendAudioLoginReply(const LoginAnswer& answer, Target t) {
  std::lock_guard lock(impl_->mu);
  return impl_->SendTo(t, wire::AudioLoginReply(answer));
}

int CameraSimulator::SendRaw(const std::vector<uint8_t>& bytes, Target t) {
  std::lock_guard lock(impl_->mu);
  return impl_->SendTo(t, bytes);
}

void CameraSimulator::SetMotion(uint8_t flag, uint32_t cellBits) {
  std::lock_guard lock(impl_->mu);
  impl_->motionFlag = flag;
  impl_->motionBits = cellBits;
}

int CameraSimulator::SendOverlongLength(uint16_t length, size_t trailing, Target t) {
  wire::Bytes m = wire::Message(0x01, 0x01, 0);
  wire::PutBe16(&m[4], std::max<uint16_t>(length, wire::kMaxPayload + 1));
  m[6] = wire::kMarker[0];
  m[7] = wire::kMarker[1];
  m.resize(m.size() + trailing, 0xFF);
  std::lock_guard lock(impl_->mu);
  return impl_->SendTo(t, m);
}

int CameraSimulator::SendUnknownType(uint8_t type, bool withMarker, Target t) {
  wire::Bytes m = wire::Message(type, 0x00);
  if (withMarker) {
    m[6] = wire::kMarker[0];
    m[7] = wire::kMarker[1];
  }
  std::lock_guard lock(impl_->mu);
  return impl_->SendTo(t, m);
}

int CameraSimulator::Flood(size_t totalBytes, size_t messageBytes, Target t) {
  messageBytes = std::clamp(messageBytes, wire::kHeaderSize, wire::kHeaderSize + wire::kMaxPayload);
  wire::Bytes one = wire::Message(0x01, 0x06, messageBytes - wire::kHeaderSize);
  wire::Bytes all;
  all.reserve(totalBytes + messageBytes);
  while (all.size() < totalBytes) all.insert(all.end(), one.begin(), one.end());
  std::lock_guard lock(impl_->mu);
  return impl_->SendTo(t, all);
}

int CameraSimulator::Stall(Ms duration, bool catchUp, Target t) {
  auto until = Clock::now() + duration;
  return impl_->ForTargets(t, [&](Conn& c) {
    c.stallUntil = until;
    c.stallCatchUp = catchUp;
  });
}

int CameraSimulator::Burst(int frames, Target t) {
  return impl_->ForTargets(t, [&](Conn& c) { c.burst += std::max(frames, 0); });
}

int CameraSimulator::JumpTimestamps(int32_t delta, Target t) {
  return impl_->ForTargets(t, [&](Conn& c) { c.tsOffset += static_cast<uint32_t>(delta); });
}

int CameraSimulator::Close(CloseKind kind, Target t) {
  return impl_->ForTargets(t, [&](Conn& c) {
    if (kind == CloseKind::Reset) {
      c.resetRequested = true;
    } else {
      c.finRequested = true;
    }
  });
}

void CameraSimulator::SetReading(size_t bytesPerSecond, bool paused) {
  std::lock_guard lock(impl_->mu);
  impl_->readRate = bytesPerSecond;
  impl_->readPaused = paused;
  for (auto& c : impl_->conns) {
    c->readAllowance = 0;
    c->lastRefill = Clock::now();
  }
  impl_->Wake();
}

void CameraSimulator::SetSplitWrites(bool on, Ms gap) {
  std::lock_guard lock(impl_->mu);
  impl_->splitWrites = on;
  impl_->splitGap = gap;
  impl_->Wake();
}

std::vector<LogEntry> CameraSimulator::Log() const {
  std::lock_guard lock(impl_->mu);
  return {impl_->log.begin(), impl_->log.end()};
}

std::vector<LogEntry> CameraSimulator::Log(InboundKind kind) const {
  std::lock_guard lock(impl_->mu);
  std::vector<LogEntry> out;
  for (const LogEntry& e : impl_->log)
    if (e.kind == kind) out.push_back(e);
  return out;
}

uint64_t CameraSimulator::LogMark() const {
  std::lock_guard lock(impl_->mu);
  return impl_->nextSeq;
}

void CameraSimulator::ClearLog() {
  std::lock_guard lock(impl_->mu);
  impl_->log.clear();
}

size_t CameraSimulator::Count(InboundKind kind, uint64_t since) const {
  std::lock_guard lock(impl_->mu);
  return static_cast<size_t>(std::count_if(impl_->log.begin(), impl_->log.end(), [&](const LogEntry& e) {
    return e.kind == kind && e.seq >= since;
  }));
}

std::vector<ConnectionInfo> CameraSimulator::Connections() const {
  std::lock_guard lock(impl_->mu);
  std::map<int, ConnectionInfo> all = impl_->closedInfo;
  for (auto& c : impl_->conns) all[c->info.id] = c->info;
  std::vector<ConnectionInfo> out;
  for (auto& [id, info] : all) out.push_back(info);
  return out;
}

std::optional<ConnectionInfo> CameraSimulator::Connection(int id) const {
  std::lock_guard lock(impl_->mu);
  if (Conn* c = impl_->Find(id)) return c->info;
  auto it = impl_->closedInfo.find(id);
  if (it != impl_->closedInfo.end()) return it->second;
  return std::nullopt;
}

void CameraSimulator::SetObserver(std::function<void(const LogEntry&)> observer) {
  std::lock_guard lock(impl_->mu);
  impl_->observer = std::move(observer);
}

std::optional<LogEntry> CameraSimulator::WaitForInbound(InboundKind kind, Ms timeout,
                                                        uint64_t since) {
  std::optional<LogEntry> found;
  impl_->WaitUntil(timeout, [&] {
    for (const LogEntry& e : impl_->log)
      if (e.kind == kind && e.seq >= since) {
        found = e;
        return true;
      }
    return false;
  });
  return found;
}

bool CameraSimulator::WaitForCount(InboundKind kind, size_t count, Ms timeout, uint64_t since) {
  return impl_->WaitUntil(timeout, [&] {
    size_t n = 0;
    for (const LogEntry& e : impl_->log)
      if (e.kind == kind && e.seq >= since) ++n;
    return n >= count;
  });
}

bool CameraSimulator::WaitForLog(const std::function<bool(const std::vector<LogEntry>&)>& done,
                                 Ms timeout) {
  return impl_->WaitUntil(timeout, [&] {
    return done(std::vector<LogEntry>(impl_->log.begin(), impl_->log.end()));
  });
}

std::optional<int> CameraSimulator::WaitForConnection(Channel channel, Ms timeout) {
  std::optional<int> id;
  impl_->WaitUntil(timeout, [&] {
    for (auto it = impl_->conns.rbegin(); it != impl_->conns.rend(); ++it)
      if ((*it)->info.channel == channel && !(*it)->closing) {
        id = (*it)->info.id;
        return true;
      }
    return false;
  });
  return id;
}

bool CameraSimulator::WaitForClosed(int connection, Ms timeout) {
  return impl_->WaitUntil(timeout, [&] { return impl_->closedInfo.count(connection) > 0; });
}

bool CameraSimulator::WaitForFramesSent(uint64_t frames, Ms timeout, Target t) {
  return impl_->WaitUntil(timeout, [&] {
    for (auto& c : impl_->conns)
      if (c->info.channel == t.channel &&
          (t.connection == kAllConnections || c->info.id == t.connection) &&
          c->info.framesSent >= frames)
        return true;
    return false;
  });
}

}  // namespace camsim
