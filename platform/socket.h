// Non-blocking TCP client socket whose events run on the thread that opened
// it, and only when that thread pumps its messages (see message_queue.h).
//
// Event order: connect or error(code) after Open; read while unread bytes
// remain; disconnect only after the last byte was read, or error(code) on a
// reset. Closing a connected socket locally raises disconnect at once, inside
// Close. No event of an earlier connection arrives after Close or Open.
//
// Error codes are the Winsock numbers the system reports: 10061 refused,
// 10060 timed out, 10054 reset, 10065 host unreachable, 11001 host not found,
// 11002 no answer from the name server.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// Raised by Open when no connection attempt can even be started.
class SocketError : public std::runtime_error {
 public:
  SocketError(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

constexpr int kWsaEConnReset = 10054;
constexpr int kWsaETimedOut = 10060;
constexpr int kWsaEConnRefused = 10061;
constexpr int kWsaEHostUnreach = 10065;
constexpr int kWsaHostNotFound = 11001;
constexpr int kWsaTryAgain = 11002;

// The Winsock number for a POSIX errno value.
int WinsockErrorCode(int posixErrno);

// Where host names are looked up: the system's resolver, or, for a test, a
// function giving the numeric addresses in the order to try (none: the name
// is not found). An empty function puts the resolver back.
using HostLookup = std::function<std::vector<std::string>(const std::string& name)>;
void SetHostLookup(HostLookup lookup);

// How long one connect attempt may stay unanswered before it fails with
// 10060: the first SYN and two retries (3 + 6 + 12 s), as the sockets the
// link was written for give up. A test may shorten it; 0 puts it back.
constexpr int kConnectTimeoutMs = 21000;
void SetConnectTimeout(int ms);

class ClientSocket;

struct SocketHandlers {
  std::function<void(ClientSocket&)> onConnect;
  std::function<void(ClientSocket&)> onDisconnect;
  std::function<void(ClientSocket&)> onRead;
  // The handler may set code to 0 to say it dealt with the error; a code
  // left non-zero is shown in a message box.
  std::function<void(ClientSocket&, int& code)> onError;
};

class ClientSocket {
 public:
  static constexpr int kLookupTimeoutMs = 20000;

  ClientSocket();
  ~ClientSocket();
  ClientSocket(const ClientSocket&) = delete;
  ClientSocket& operator=(const ClientSocket&) = delete;

  void SetHandlers(SocketHandlers handlers);
  void SetHost(const std::string& host);
  std::string Host() const;
  void SetPort(int port);
  int Port() const;

  // Starts connecting; the outcome arrives as the connect or error event.
  // A host name is looked up off the calling thread: a name that does not
  // resolve is an error event (11001), and so is a lookup still unanswered
  // after kLookupTimeoutMs (11002). Its addresses are tried in turn (a failed
  // attempt moves on at once, an unanswered one after about 2 s), each for
  // at most kConnectTimeoutMs (then 10060): one connect event for the
  // address that connected, or one error event with the latest attempt's
  // code when none did. A connected socket stays as it is; an attempt still
  // pending is dropped and started again. Throws SocketError when no attempt
  // can be started (no host, a bad port, no socket).
  void Open();
  void Close();
  bool Connected() const;

  // Takes all n bytes or none (returns n or 0). A remainder the kernel does
  // not take at once is queued and sent when the socket becomes writable;
  // while such a remainder waits, further sends take nothing. Safe on a
  // closed socket.
  int SendBuf(const void* data, int n);
  // Bytes received (0 when none wait), or -1 when the socket is not connected
  // or failed.
  int ReceiveBuf(void* data, int n);
  // Bytes queued but not yet handed to the kernel.
  int PendingSendBytes() const;
  bool SetReceiveBufferSize(int bytes);

  struct Core;

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace platform
