// Test helpers: a loopback TCP listener with blocking helpers, and a pump
// that runs the calling thread's messages until a condition holds.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/message_queue.h"

namespace testing_support {

inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    platform::PumpMessages();
    platform::RealSleep(1);
  }
  return true;
}

inline void PumpFor(int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    platform::PumpMessages();
    platform::RealSleep(1);
  }
}

class LoopbackServer {
 public:
  // On 127.0.0.1 and a free port unless told otherwise.
  explicit LoopbackServer(uint32_t host = INADDR_LOOPBACK, int port = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(host);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::listen(fd_, 64);
    socklen_t len = sizeof(addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackServer() {
    for (int c : clients_) ::close(c);
    if (fd_ >= 0) ::close(fd_);
  }
  int port() const { return port_; }

  // The next connection, or -1 after timeoutMs.
  int Accept(int timeoutMs = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) clients_.push_back(c);
    return c;
  }

  static bool SendAll(int fd, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
      ssize_t s = ::send(fd, p, n, MSG_NOSIGNAL);
      if (s <= 0) return false;
      p += s;
      n -= static_cast<size_t>(s);
    }
    return true;
  }

  // Reads exactly n bytes or fails after timeoutMs of silence.
  static bool RecvAll(int fd, std::vector<uint8_t>& out, size_t n, int timeoutMs = 5000) {
    out.resize(n);
    size_t got = 0;
    while (got < n) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) return false;
      ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }

  // Closes with RST instead of FIN.
  static void Reset(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    ::close(fd);
  }

  // Answers no SYN from now on, as a camera switched off behind a router:
  // its backlog of one is held by a connection nobody accepts.
  void Silence() {
    ::listen(fd_, 0);
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    ::connect(filler, reinterpret_cast<sockaddr*>(&addr), len);
    pollfd p{filler, POLLOUT, 0};
    ::poll(&p, 1, 5000);
    clients_.push_back(filler);
  }

  void Forget(int fd) {
    for (auto& c : clients_)
      if (c == fd) c = -1;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> clients_;
};

// A port on which nothing listens.
inline int UnusedPort() {
  LoopbackServer probe;
  return probe.port();
}

}  // namespace testing_support
