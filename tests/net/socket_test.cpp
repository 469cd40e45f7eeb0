// The non-blocking socket against listeners made by the test itself on
// loopback, and with single system calls made to fail.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "net/PCSBSocket.h"
#include "platform/fault.h"
#include "tests/servers/servers.h"

namespace {

using namespace std::chrono_literals;

std::uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

// A listening socket on 127.0.0.1 with an ephemeral port.
class Listener {
 public:
  explicit Listener(int backlog = 8) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, backlog);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { close(fd_); }
  std::uint16_t port() const { return port_; }
  int accept_one() { return accept(fd_, nullptr, nullptr); }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// Polls until the socket leaves pcsbstatus_Connecting (at most 5 s).
PCSB_Status settle(PCSBSocket& s) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  PCSB_Status st = s.GetStatus();
  while (st == pcsbstatus_Connecting && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
    st = s.GetStatus();
  }
  return st;
}

// A connected pair: `client` (the class under test) and the accepted `peer`.
struct Pair {
  Listener listener;
  PCSBSocket client{0, false};
  int peer = -1;
  Pair() {
    client.Connect(loopback(), listener.port());
    peer = listener.accept_one();
  }
  ~Pair() {
    if (peer >= 0) close(peer);
  }
  // Closes the peer with a reset instead of an orderly release.
  void reset_peer() {
    linger l{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(peer);
    peer = -1;
  }
};

class SocketTest : public ::testing::Test {
 protected:
  void TearDown() override { plat::fault_clear(); }
};

TEST_F(SocketTest, NewSocketIsReady) {
  PCSBSocket s(0, false);
  EXPECT_EQ(s.GetStatus(), pcsbstatus_Ready);
  EXPECT_EQ(s.GetOSError(), 0);
  EXPECT_FALSE(s.ReceivedRelease());
  EXPECT_TRUE(PCSBSocket::StartupNetworking(false));

  PCSBSocket server(0, true);  // listening sockets are not offered
  EXPECT_EQ(server.GetStatus(), pcsbstatus_Error);
  EXPECT_EQ(server.GetOSError(), EOPNOTSUPP);
}

TEST_F(SocketTest, ExchangesDataAndSeesThePeersRelease) {
  Pair p;
  ASSERT_GE(p.peer, 0);
  ASSERT_EQ(settle(p.client), pcsbstatus_Connected);

  char buf[64];
  EXPECT_EQ(p.client.ReadData(buf, sizeof buf), 0);  // nothing there yet, no waiting

  EXPECT_EQ(p.client.http_WriteData("ping", 4), 4);
  ASSERT_EQ(recv(p.peer, buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");

  ASSERT_EQ(send(p.peer, "pong!", 5, 0), 5);
  std::string got;
  for (int i = 0; i < 1000 && got.size() < 5; ++i) {
    const std::int32_t n = p.client.ReadData(buf, sizeof buf);
    ASSERT_GE(n, 0);
    got.append(buf, static_cast<std::size_t>(n));
    if (n == 0) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(got, "pong!");

  // The orderly release: reads give 0, the flag turns on, the status stays.
  close(p.peer);
  p.peer = -1;
  std::int32_t n = 1;
  for (int i = 0; i < 1000 && !p.client.ReceivedRelease(); ++i) {
    n = p.client.ReadData(buf, sizeof buf);
    if (!p.client.ReceivedRelease()) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(p.client.ReceivedRelease());
  EXPECT_EQ(p.client.GetStatus(), pcsbstatus_Connected);
  EXPECT_EQ(p.client.ReadData(buf, sizeof buf), 0);

  p.client.Disconnect();
  EXPECT_EQ(p.client.GetStatus(), pcsbstatus_Disconnected);
}

TEST_F(SocketTest, RefusedConnectionEndsDisconnectedWithoutCode) {
  const int port = testservers::free_port("127.0.0.1");
  ASSERT_GT(port, 0);
  PCSBSocket s(0, false);
  s.Connect(loopback(), static_cast<std::uint16_t>(port));
  EXPECT_EQ(settle(s), pcsbstatus_Disconnected);
  EXPECT_EQ(s.GetOSError(), 0);
}

TEST_F(SocketTest, PendingConnectionAnswersConnectingAtOnce) {
  // A listener whose accept queue is full drops further handshakes, so a
  // connection stays pending for a while.
  Listener full(0);
  std::vector<std::unique_ptr<PCSBSocket>> sockets;
  bool seen_pending = false;
  for (int i = 0; i < 8 && !seen_pending; ++i) {
    sockets.push_back(std::make_unique<PCSBSocket>(0, false));
    sockets.back()->Connect(loopback(), full.port());
    std::this_thread::sleep_for(20ms);
    seen_pending = sockets.back()->GetStatus() == pcsbstatus_Connecting;
  }
  EXPECT_TRUE(seen_pending);
}

TEST_F(SocketTest, ResetEndsTheConnectionWithoutSigpipe) {
  Pair p;
  ASSERT_EQ(settle(p.client), pcsbstatus_Connected);
  p.reset_peer();
  // Keep writing: a send on a reset connection must fail with -1 and must
  // not raise SIGPIPE (which would end this test program).
  std::int32_t n = 0;
  for (int i = 0; i < 200 && n >= 0; ++i) {
    n = p.client.http_WriteData("data", 4);
    if (n >= 0) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(n, -1);
  EXPECT_EQ(p.client.GetStatus(), pcsbstatus_Disconnected);
  EXPECT_EQ(p.client.GetOSError(), 0);
}

TEST_F(SocketTest, ReadAfterResetReportsDisconnected) {
  Pair p;
  ASSERT_EQ(settle(p.client), pcsbstatus_Connected);
  p.reset_peer();
  char buf[16];
  std::int32_t n = 0;
  for (int i = 0; i < 1000 && n == 0; ++i) {
    n = p.client.ReadData(buf, sizeof buf);
    if (n == 0) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(n, -1);
  EXPECT_EQ(p.client.GetStatus(), pcsbstatus_Disconnected);
}

TEST_F(SocketTest, FailedCallsFoldIntoTheStatus) {
  char buf[16];
  {  // an unlisted code: Error, with the code
    Pair p;
    ASSERT_EQ(settle(p.client), pcsbstatus_Connected);
    plat::fault_arm(plat::Op::send, EACCES);
    EXPECT_EQ(p.client.http_WriteData("x", 1), -1);
    EXPECT_EQ(p.client.GetStatus(), pcsbstatus_Error);
    EXPECT_EQ(p.client.GetOSError(), EACCES);
    p.client.Disconnect();  // Error is kept
    EXPECT_EQ(p.client.GetStatus(), pcsbstatus_Error);
    EXPECT_EQ(p.client.ReadData(buf, sizeof buf), -1);
  }
  {  // would-block is "nothing yet"; a listed code ends the connection
    Pair p;
    ASSERT_EQ(settle(p.client), pcsbstatus_Connected);
    plat::fault_arm(plat::Op::recv, EAGAIN);
    EXPECT_EQ(p.client.ReadData(buf, sizeof buf), 0);
    EXPECT_EQ(p.client.GetStatus(), pcsbstatus_Connected);
    plat::fault_arm(plat::Op::send, EWOULDBLOCK);
    EXPECT_EQ(p.client.http_WriteData("x", 1), 0);
    plat::fault_arm(plat::Op::recv, ETIMEDOUT);
    EXPECT_EQ(p.client.ReadData(buf, sizeof buf), -1);
    EXPECT_EQ(p.client.GetStatus(), pcsbstatus_Disconnected);
    EXPECT_EQ(p.client.GetOSError(), 0);
  }
  {
    Pair p;
    ASSERT_EQ(settle(p.client), pcsbstatus_Connected);
    plat::fault_arm(plat::Op::recv, EIO);
    EXPECT_EQ(p.client.ReadData(buf, sizeof buf), -1);
    EXPECT_EQ(p.client.GetStatus(), pcsbstatus_Error);
    EXPECT_EQ(p.client.GetOSError(), EIO);
  }
  {
    Pair p;
    ASSERT_EQ(settle(p.client), pcsbstatus_Connected);
    plat::fault_arm(plat::Op::send, EPIPE);
    EXPECT_EQ(p.client.http_WriteData("x", 1), -1);
    EXPECT_EQ(p.client.GetStatus(), pcsbstatus_Disconnected);
  }
}

TEST_F(SocketTest, FailedConnectCalls) {
  Listener l;
  PCSBSocket refused(0, false);
  plat::fault_arm(plat::Op::connect, ECONNREFUSED);
  refused.Connect(loopback(), l.port());
  EXPECT_EQ(refused.GetStatus(), pcsbstatus_Disconnected);
  EXPECT_EQ(refused.GetOSError(), 0);

  PCSBSocket denied(0, false);
  plat::fault_arm(plat::Op::connect, ENETUNREACH);
  denied.Connect(loopback(), l.port());
  EXPECT_EQ(denied.GetStatus(), pcsbstatus_Error);
  EXPECT_EQ(denied.GetOSError(), ENETUNREACH);
}

TEST_F(SocketTest, LookupAddress) {
  // A dotted quad never reaches the resolver, even when the resolver fails.
  plat::fault_arm(plat::Op::resolve, EHOSTUNREACH, 0, true);
  EXPECT_EQ(PCSBSocket::LookupAddress("127.0.0.1"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(PCSBSocket::LookupAddress("10.1.2.3"), htonl(0x0A010203));
  EXPECT_EQ(PCSBSocket::LookupAddress("localhost"), 0u);
  plat::fault_clear();

  EXPECT_EQ(PCSBSocket::LookupAddress("localhost"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(PCSBSocket::LookupAddress("no-such-host.invalid"), 0u);
  EXPECT_EQ(PCSBSocket::LookupAddress(""), 0u);
  EXPECT_EQ(PCSBSocket::LookupAddress(nullptr), 0u);
}

}  // namespace
