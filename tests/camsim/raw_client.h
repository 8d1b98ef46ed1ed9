// A blocking raw-socket viewer for the simulator's own tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

#include "tools/camsim/wire.h"

namespace camsim_test {

class RawClient {
 public:
  RawClient() = default;
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  ~RawClient() { Close(); }

  // 0 on success, else the errno of the failed connect (ETIMEDOUT when it
  // stayed pending for timeoutMs).
  int Connect(uint16_t port, int timeoutMs = 2000) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS)
      return errno;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return ETIMEDOUT;
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    return err;
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }

  bool Send(const std::vector<uint8_t>& b) {
    size_t at = 0;
    while (at < b.size()) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, 2000) <= 0) return false;
      ssize_t s = ::send(fd_, b.data() + at, b.size() - at, MSG_NOSIGNAL);
      if (s < 0 && errno != EAGAIN) return false;
      if (s > 0) at += static_cast<size_t>(s);
    }
    return true;
  }

  // Bytes received by one recv(), empty on timeout; `closed` on EOF/error.
  std::vector<uint8_t> RecvSome(int timeoutMs, bool* closed = nullptr, int* error = nullptr) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return {};
    uint8_t buf[65536];
    ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
    if (r <= 0) {
      if (closed) *closed = true;
      if (error) *error = r < 0 ? errno : 0;
      return {};
    }
    return {buf, buf + r};
  }

  // Exactly n bytes, or nullopt after timeoutMs without progress.
  std::optional<std::vector<uint8_t>> RecvExact(size_t n, int timeoutMs = 2000) {
    while (buffered_.size() < n) {
      bool closed = false;
      auto more = RecvSome(timeoutMs, &closed);
      if (more.empty()) return std::nullopt;
      buffered_.insert(buffered_.end(), more.begin(), more.end());
    }
    std::vector<uint8_t> out(buffered_.begin(), buffered_.begin() + static_cast<long>(n));
    buffered_.erase(buffered_.begin(), buffered_.begin() + static_cast<long>(n));
    return out;
  }

  // One whole message (header + payload).
  std::optional<std::vector<uint8_t>> ReadMessage(int timeoutMs = 2000) {
    auto h = RecvExact(camsim::wire::kHeaderSize, timeoutMs);
    if (!h) return std::nullopt;
    size_t len = camsim::wire::ReadLength(h->data());
    if (len == 0) return h;
    auto p = RecvExact(len, timeoutMs);
    if (!p) return std::nullopt;
    h->insert(h->end(), p->begin(), p->end());
    return h;
  }

  // The next message of the given type/subtype, skipping others.
  std::optional<std::vector<uint8_t>> ReadUntil(uint8_t type, uint8_t subtype,
                                                int timeoutMs = 2000) {
    for (int i = 0; i < 10000; ++i) {
      auto m = ReadMessage(timeoutMs);
      if (!m) return std::nullopt;
      if ((*m)[0] == type && (*m)[1] == subtype) return m;
    }
    return std::nullopt;
  }

 private:
  int fd_ = -1;
  std::vector<uint8_t> buffered_;
};

}  // namespace camsim_test
