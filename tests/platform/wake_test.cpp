// The wait on sockets and on the wake event together: a signal from another
// thread ends the wait at once, whether sockets are waited on or not; a
// signal given before the wait ends it at once; a signal is used up by the
// wait it ends; data on a socket still ends the wait with the event in it.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/socket.h"

namespace {

using clock_type = std::chrono::steady_clock;

long long ms_since(clock_type::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t).count();
}

#ifdef _WIN32
using raw_socket = SOCKET;
void close_raw(raw_socket s) { closesocket(s); }
#else
using raw_socket = int;
void close_raw(raw_socket s) { close(s); }
#endif

// A connected pair on loopback: `client` made through the platform layer,
// `peer` accepted from a listener the test makes itself.
struct pair_on_loopback {
  plat::SocketHandle client = plat::bad_socket;
  raw_socket listener{}, peer{};
  bool ok = false;
  pair_on_loopback() {
    if (plat::tcp_open(0, client) != 0) return;  // also starts Winsock on Windows
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0) return;
#ifdef _WIN32
    int len = sizeof a;
#else
    socklen_t len = sizeof a;
#endif
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    const int r = plat::tcp_connect(client, htonl(INADDR_LOOPBACK), ntohs(a.sin_port));
    if (r != 0 && r != EINPROGRESS && r != EAGAIN) return;
    peer = accept(listener, nullptr, nullptr);
    for (int i = 0; i < 500; ++i) {
      plat::ConnectPoll p = plat::ConnectPoll::pending;
      if (plat::tcp_poll_connect(client, p) != 0 || p == plat::ConnectPoll::failed) return;
      if (p == plat::ConnectPoll::connected) {
        ok = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~pair_on_loopback() {
    plat::tcp_close(client);
    close_raw(peer);
    close_raw(listener);
  }
};

TEST(WakeTest, ASignalEndsTheWaitOnSocketsAndIsUsedUp) {
  plat::WakeHandle wake = plat::bad_wake;
  ASSERT_EQ(plat::wake_open(wake), 0);
  pair_on_loopback pair;
  ASSERT_TRUE(pair.ok);
  const plat::SocketWait quiet{pair.client, false};  // nothing to read yet

  for (const std::size_t sockets : {std::size_t{0}, std::size_t{1}}) {
    SCOPED_TRACE(sockets ? "with a socket" : "the event alone");
    // Signalled before the wait: it ends at once. A time-out of a minute
    // stands for "never" here: each wait below is ended by an event.
    plat::wake_signal(wake);
    auto t = clock_type::now();
    plat::tcp_wait_any(&quiet, sockets, 60000, wake);
    EXPECT_LT(ms_since(t), 20000);

    // Used up: the next wait runs to its time-out.
    t = clock_type::now();
    plat::tcp_wait_any(&quiet, sockets, 80, wake);
    EXPECT_GE(ms_since(t), 60);

    // Signalled by another thread while the wait runs: one wait, ended by it.
    std::atomic<bool> signalled{false};
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      signalled = true;
      plat::wake_signal(wake);
    });
    int waits = 0;
    t = clock_type::now();
    while (!signalled.load()) {
      plat::tcp_wait_any(&quiet, sockets, 60000, wake);
      ++waits;
    }
    other.join();
    EXPECT_EQ(waits, 1);
    EXPECT_LT(ms_since(t), 20000);
  }

  // Data on the socket ends a wait that has the event in it too, and the
  // socket is left as it was (non-blocking, its data readable).
  ASSERT_EQ(send(pair.peer, "x", 1, 0), 1);
  const auto t = clock_type::now();
  plat::tcp_wait_any(&quiet, 1, 60000, wake);
  EXPECT_LT(ms_since(t), 20000);
  char c = 0;
  std::size_t got = 0;
  EXPECT_EQ(plat::tcp_recv(pair.client, &c, 1, got), 0);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(c, 'x');
  EXPECT_EQ(plat::tcp_recv(pair.client, &c, 1, got), EAGAIN);
  plat::wake_close(wake);
}

}  // namespace
