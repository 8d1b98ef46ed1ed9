#include "platform/socket.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "tests/support/loopback.h"
#include "tests/support/process_counts.h"

using platform::ClientSocket;
using testing_support::LoopbackServer;
using testing_support::PumpFor;
using testing_support::PumpUntil;
using testing_support::DescriptorCount;
using testing_support::ThreadCount;

namespace {

// Records every event of one socket in order.
struct Recorder {
  std::vector<std::string> events;
  std::vector<uint8_t> received;
  int readSize = 80000;
  bool closeOnError = true;

  void Attach(ClientSocket& s) {
    platform::SocketHandlers h;
    h.onConnect = [this](ClientSocket&) { events.push_back("connect"); };
    h.onDisconnect = [this](ClientSocket&) { events.push_back("disconnect"); };
    h.onRead = [this](ClientSocket& sock) {
      events.push_back("read");
      std::vector<uint8_t> buf(static_cast<size_t>(readSize));
      int n = sock.ReceiveBuf(buf.data(), readSize);
      if (n > 0) received.insert(received.end(), buf.begin(), buf.begin() + n);
    };
    h.onError = [this](ClientSocket& sock, int& code) {
      events.push_back("error(" + std::to_string(code) + ")");
      code = 0;
      if (closeOnError) sock.Close();
    };
    s.SetHandlers(h);
  }
  bool Has(const std::string& e) const {
    for (auto& x : events)
      if (x == e) return true;
    return false;
  }
};

ClientSocket* OpenTo(ClientSocket& s, int port) {
  s.SetHost("127.0.0.1");
  s.SetPort(port);
  s.Open();
  return &s;
}

// A socket connected to a loopback peer, with its events recorded.
class ConnectedSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    r.Attach(s);
    OpenTo(s, server.port());
    peer = server.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(PumpUntil([&] { return s.Connected(); }));
  }
  LoopbackServer server;
  ClientSocket s;
  Recorder r;
  int peer = -1;
};

TEST(ClientSocket, ConnectsAndEventRunsOnlyWhenPumped) {
  LoopbackServer server;
  ClientSocket s;
  Recorder r;
  r.Attach(s);
  OpenTo(s, server.port());
  EXPECT_TRUE(r.events.empty()) << "connect must not run inside Open";
  ASSERT_GE(server.Accept(), 0);
  platform::RealSleep(20);
  EXPECT_TRUE(r.events.empty()) << "events wait for the pump";
  ASSERT_TRUE(PumpUntil([&] { return r.Has("connect"); }));
  EXPECT_TRUE(s.Connected());
}

TEST(ClientSocket, RefusedPortReportsErrorNotConnect) {
  ClientSocket s;
  Recorder r;
  r.Attach(s);
  OpenTo(s, testing_support::UnusedPort());
  ASSERT_TRUE(PumpUntil([&] { return !r.events.empty(); }));
  EXPECT_EQ(r.events, std::vector<std::string>{"error(10061)"});
  EXPECT_FALSE(s.Connected());
  PumpFor(20);
  EXPECT_EQ(r.events.size(), 1u);
}

// A name is looked up off the opening thread: a failed lookup is an error
// event, a found one goes on to connect ("127.1" needs the resolver).
TEST(ClientSocket, HostNamesAreLookedUpAndAFailedLookupIsAnErrorEvent) {
  ClientSocket s;
  Recorder r;
  r.Attach(s);
  s.SetHost("no-such-host.invalid");
  s.SetPort(700);
  s.Open();
  ASSERT_TRUE(PumpUntil([&] { return !r.events.empty(); }));
  EXPECT_EQ(r.events, std::vector<std::string>{"error(11001)"});
  EXPECT_FALSE(s.Connected());
  LoopbackServer server;
  s.SetHost("127.1");
  s.SetPort(server.port());
  s.Open();
  EXPECT_TRUE(PumpUntil([&] { return r.Has("connect"); }));
  EXPECT_GE(server.Accept(), 0);
}

// A name's addresses are tried in turn, the first refusing (::1, which a
// stock hosts file gives first for localhost, then 127.0.0.2): one connect
// event. With none listening, one error event: the last attempt's.
TEST(ClientSocket, EveryAddressOfANameIsTriedInTurn) {
  LoopbackServer server;  // on 127.0.0.1 only
  platform::SetHostLookup([](const std::string&) { return std::vector<std::string>{"::1", "127.0.0.2", "127.0.0.1"}; });
  ClientSocket s;
  Recorder r;
  r.Attach(s);
  s.SetHost("camera.example");
  for (const int port : {server.port(), testing_support::UnusedPort()}) {
    s.Close();
    s.SetPort(port);
    s.Open();
    EXPECT_TRUE(PumpUntil([&] { return r.events.size() >= (port == server.port() ? 1u : 3u); }));
  }
  PumpFor(20);
  platform::SetHostLookup(nullptr);
  EXPECT_EQ(r.events, (std::vector<std::string>{"connect", "disconnect", "error(10061)"}));
}

// A SYN nobody answers fails the attempt by the socket's own deadline, with
// one 10060, not after the kernel's minutes of retries.
TEST(ClientSocket, AnUnansweredConnectTimesOut) {
  LoopbackServer silent;
  silent.Silence();
  platform::SetConnectTimeout(200);
  ClientSocket s;
  Recorder r;
  r.Attach(s);
  OpenTo(s, silent.port());
  EXPECT_TRUE(PumpUntil([&] { return !r.events.empty(); }));
  PumpFor(20);
  platform::SetConnectTimeout(0);
  EXPECT_EQ(r.events, std::vector<std::string>{"error(10060)"});
}

// [silent, refused, camera]: the refusal starts the camera's attempt at once
// beside the pending one, so it connects when the first 2 s hold runs out,
// not a second hold later.
TEST(ClientSocket, AFailureBesideAPendingAttemptStartsTheNextAtOnce) {
  LoopbackServer camera;
  LoopbackServer silent(0x7F000002, camera.port());  // 127.0.0.2
  silent.Silence();
  platform::SetHostLookup(
      [](const std::string&) { return std::vector<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.1"}; });
  ClientSocket s;
  Recorder r;
  r.Attach(s);
  s.SetHost("camera.example");
  s.SetPort(camera.port());
  s.Open();
  EXPECT_TRUE(PumpUntil([&] { return !r.events.empty(); }, 3500));
  platform::SetHostLookup(nullptr);
  EXPECT_EQ(r.events, std::vector<std::string>{"connect"});
}

TEST_F(ConnectedSocket, PeerCloseDeliversDataThenDisconnect) {
  r.readSize = 1000;  // several read events for the data
  std::vector<uint8_t> data(5000);
  std::iota(data.begin(), data.end(), 0);
  LoopbackServer::SendAll(peer, data.data(), data.size());
  ::shutdown(peer, SHUT_WR);
  ASSERT_TRUE(PumpUntil([&] { return r.Has("disconnect"); }));
  EXPECT_EQ(r.received, data);
  EXPECT_EQ(r.events.back(), "disconnect");
  EXPECT_GE(std::count(r.events.begin(), r.events.end(), "read"), 5);
  EXPECT_FALSE(s.Connected());
}

TEST_F(ConnectedSocket, SingleByteIsReadable) {
  uint8_t one = 0x5A;
  LoopbackServer::SendAll(peer, &one, 1);
  ASSERT_TRUE(PumpUntil([&] { return !r.received.empty(); }));
  EXPECT_EQ(r.received, std::vector<uint8_t>{0x5A});
}

TEST_F(ConnectedSocket, LocalCloseRaisesDisconnectAtOnceAndNothingAfter) {
  const char msg[] = "pending";
  LoopbackServer::SendAll(peer, msg, sizeof(msg));
  platform::RealSleep(20);
  s.Close();
  EXPECT_EQ(r.events, (std::vector<std::string>{"connect", "disconnect"}));
  PumpFor(30);
  EXPECT_EQ(r.events.size(), 2u) << "no stale read after close";
  EXPECT_EQ(s.SendBuf(msg, sizeof(msg)), 0);
  char buf[8];
  EXPECT_EQ(s.ReceiveBuf(buf, sizeof(buf)), -1);
}

TEST_F(ConnectedSocket, ReopenDropsEventsOfTheEarlierConnection) {
  LoopbackServer::SendAll(peer, "old", 3);
  platform::RealSleep(20);
  // The pump polls first (queueing the read of the first connection) and then
  // runs this message, which closes and reopens before that read is reached.
  platform::PostThreadMessage(platform::CurrentThreadId(), [&] {
    s.Close();
    r.events.clear();
    s.Open();
  });
  platform::PumpMessages();
  ASSERT_GE(server.Accept(), 0);
  ASSERT_TRUE(PumpUntil([&] { return s.Connected(); }));
  PumpFor(20);
  EXPECT_EQ(r.events, std::vector<std::string>{"connect"});
  EXPECT_TRUE(r.received.empty());
}

TEST_F(ConnectedSocket, ResetReportsConnectionReset) {
  server.Forget(peer);
  LoopbackServer::Reset(peer);
  ASSERT_TRUE(PumpUntil([&] { return r.events.size() >= 2; }));
  EXPECT_EQ(r.events[1], "error(10054)");
  EXPECT_FALSE(s.Connected());
}

TEST_F(ConnectedSocket, MessageSplitInManyWritesArrivesWhole) {
  std::vector<uint8_t> msg(60012);
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<uint8_t>(i * 7 + 3);
  std::thread writer([&] {
    for (size_t off = 0; off < msg.size(); off += 997) {
      LoopbackServer::SendAll(peer, msg.data() + off, std::min<size_t>(997, msg.size() - off));
      if (off % (997 * 10) == 0) platform::RealSleep(1);
    }
  });
  ASSERT_TRUE(PumpUntil([&] { return r.received.size() >= msg.size(); }));
  writer.join();
  EXPECT_EQ(r.received, msg);
}

TEST_F(ConnectedSocket, SendLargerThanKernelBufferArrivesWholeAndIsNeverTorn) {
  std::vector<uint8_t> big(16 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i ^ (i >> 8));
  ASSERT_EQ(s.SendBuf(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
  ASSERT_GT(s.PendingSendBytes(), 0) << "16 MB should not fit the kernel buffers at once";
  const uint8_t small[4] = {1, 2, 3, 4};
  EXPECT_EQ(s.SendBuf(small, 4), 0) << "nothing is taken while a remainder waits";

  std::vector<uint8_t> got;
  std::thread reader([&] { LoopbackServer::RecvAll(peer, got, big.size(), 10000); });
  ASSERT_TRUE(PumpUntil([&] { return s.PendingSendBytes() == 0; }, 20000));
  reader.join();
  EXPECT_TRUE(got == big);
  EXPECT_EQ(s.SendBuf(small, 4), 4);
}

TEST(ClientSocket, SendOnNeverOpenedSocketReturnsZero) {
  ClientSocket never;
  EXPECT_EQ(never.SendBuf("x", 1), 0);
}

TEST_F(ConnectedSocket, SendOnResetSocketReturnsZeroWithoutSignal) {
  server.Forget(peer);
  LoopbackServer::Reset(peer);
  platform::RealSleep(20);
  // Writing into a reset connection must not raise SIGPIPE.
  std::vector<uint8_t> data(100000, 1);
  for (int i = 0; i < 5; ++i) s.SendBuf(data.data(), static_cast<int>(data.size()));
  PumpUntil([&] { return !s.Connected(); });
  EXPECT_EQ(s.SendBuf(data.data(), 10), 0);
}

TEST(ClientSocket, UnhandledErrorCodeGoesToMessageBox) {
  std::vector<std::string> boxes;
  auto previous = platform::SetMessageBoxSink(
      [&](const std::string& text, const std::string& title) { boxes.push_back(title + ":" + text); });
  ClientSocket s;
  platform::SocketHandlers h;
  h.onError = [](ClientSocket&, int&) {};  // leaves the code set
  s.SetHandlers(h);
  OpenTo(s, testing_support::UnusedPort());
  PumpUntil([&] { return !boxes.empty(); });
  platform::SetMessageBoxSink(previous);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].find("10061"), std::string::npos);
}

TEST(ClientSocket, ThousandOpenCloseCyclesLeakNothing) {
  LoopbackServer server;
  const size_t fdsBefore = DescriptorCount();
  const size_t threadsBefore = ThreadCount();
  {
    ClientSocket s;
    Recorder r;
    r.Attach(s);
    for (int i = 0; i < 1000; ++i) {
      OpenTo(s, server.port());
      int peer = server.Accept();
      ASSERT_GE(peer, 0);
      ASSERT_TRUE(PumpUntil([&] { return s.Connected(); }));
      s.Close();
      server.Forget(peer);
      ::close(peer);
    }
    PumpFor(10);
    EXPECT_EQ(std::count(r.events.begin(), r.events.end(), "connect"), 1000);
    EXPECT_EQ(std::count(r.events.begin(), r.events.end(), "disconnect"), 1000);
  }
  EXPECT_EQ(DescriptorCount(), fdsBefore);
  EXPECT_EQ(ThreadCount(), threadsBefore);
}

TEST(ClientSocket, WinsockCodes) {
  EXPECT_EQ(platform::WinsockErrorCode(ECONNREFUSED), 10061);
  EXPECT_EQ(platform::WinsockErrorCode(ETIMEDOUT), 10060);
  EXPECT_EQ(platform::WinsockErrorCode(ECONNRESET), 10054);
  EXPECT_EQ(platform::WinsockErrorCode(EHOSTUNREACH), 10065);
}

TEST(ClientSocket, EventsRunOnTheOpeningThreadOnly) {
  LoopbackServer server;
  ClientSocket s;
  std::atomic<platform::ThreadId> ranOn{0};
  platform::SocketHandlers h;
  h.onConnect = [&](ClientSocket&) { ranOn = platform::CurrentThreadId(); };
  s.SetHandlers(h);
  platform::ThreadId opener = 0;
  std::atomic<bool> stop{false};
  std::thread owner([&] {
    opener = platform::CurrentThreadId();
    OpenTo(s, server.port());
    while (!stop) {
      platform::PumpMessages();
      platform::RealSleep(1);
    }
  });
  ASSERT_GE(server.Accept(), 0);
  for (int i = 0; i < 50 && ranOn == 0; ++i) {
    platform::PumpMessages();  // this thread's pump must not run it
    platform::RealSleep(5);
  }
  stop = true;
  owner.join();
  EXPECT_EQ(ranOn.load(), opener);
}

// A host may close the socket on one thread and open it again on another;
// the new connection's events then belong to the new opener.
TEST(ClientSocket, ReopenedOnAnotherThreadConnectsThere) {
  LoopbackServer server;
  ClientSocket s;
  std::atomic<platform::ThreadId> ranOn{0};
  platform::SocketHandlers h;
  h.onConnect = [&](ClientSocket&) { ranOn = platform::CurrentThreadId(); };
  s.SetHandlers(h);
  OpenTo(s, server.port());
  ASSERT_GE(server.Accept(), 0);
  ASSERT_TRUE(PumpUntil([&] { return ranOn != 0; }));
  s.Close();
  ranOn = 0;

  platform::ThreadId opener = 0;
  bool connected = false;
  std::thread second([&] {
    opener = platform::CurrentThreadId();
    OpenTo(s, server.port());
    connected = PumpUntil([&] { return ranOn != 0; });
    s.Close();
  });
  ASSERT_GE(server.Accept(), 0);
  second.join();
  EXPECT_TRUE(connected);
  EXPECT_EQ(ranOn.load(), opener);
}

}  // namespace
