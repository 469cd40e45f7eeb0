// POSIX implementation of platform/socket.h.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fault.h"

namespace plat {

int tcp_open(std::uint16_t local_port, SocketHandle& out) {
  out = bad_socket;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return errno;

  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // best effort

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(local_port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int err = errno;
    ::close(fd);
    return err;
  }

  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    // A blocking socket would stall the frame loop: refuse it.
    const int err = errno;
    ::close(fd);
    return err;
  }
  out = fd;
  return 0;
}

void tcp_close(SocketHandle h) {
  if (h == bad_socket) return;
  ::close(static_cast<int>(h));
}

int tcp_connect(SocketHandle h, std::uint32_t addr, std::uint16_t port) {
  if (const int err = fault_check(Op::connect)) return err;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = addr;
  peer.sin_port = htons(port);
  if (::connect(static_cast<int>(h), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
  return errno;
}

void tcp_wait_any(const SocketWait* sockets, std::size_t n, int timeout_ms, WakeHandle wake) {
  if (timeout_ms <= 0) return;
  pollfd fds[17];
  std::size_t count = 0;
  for (std::size_t i = 0; i < n && count < 16; ++i) {
    if (sockets[i].handle == bad_socket) continue;
    fds[count].fd = static_cast<int>(sockets[i].handle);
    fds[count].events = sockets[i].for_write ? POLLOUT : POLLIN;
    fds[count].revents = 0;
    ++count;
  }
  if (wake != bad_wake) {
    fds[count].fd = static_cast<int>(wake);
    fds[count].events = POLLIN;
    fds[count].revents = 0;
    ++count;
  }
  if (count == 0) return;
  const int ready = ::poll(fds, count, timeout_ms);  // an interrupted wait simply ends early
  if (ready > 0 && wake != bad_wake && (fds[count - 1].revents & POLLIN)) {
    std::uint64_t signals = 0;
    [[maybe_unused]] const ssize_t got = ::read(static_cast<int>(wake), &signals, sizeof signals);
  }
}

int wake_open(WakeHandle& out) {
  out = bad_wake;
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return errno;
  out = fd;
  return 0;
}

void wake_signal(WakeHandle h) {
  if (h == bad_wake) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t put = ::write(static_cast<int>(h), &one, sizeof one);  // full: already signalled
}

void wake_close(WakeHandle h) {
  if (h != bad_wake) ::close(static_cast<int>(h));
}

int tcp_poll_connect(SocketHandle h, ConnectPoll& out) {
  // poll() rather than select(): it has no limit on the handle's value.
  pollfd p{};
  p.fd = static_cast<int>(h);
  p.events = POLLOUT;
  const int n = ::poll(&p, 1, 0);
  if (n < 0) {
    if (errno == EINTR) {
      out = ConnectPoll::pending;
      return 0;
    }
    return errno;
  }
  if (n == 0) {
    out = ConnectPoll::pending;
    return 0;
  }
  // Writable or flagged: the connection has settled one way or the other.
  // A refused connection also shows as writable here, so the socket's own
  // error says which.
  int so_error = 0;
  socklen_t len = sizeof so_error;
  if (::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) return errno;
  const bool ok = so_error == 0 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP | POLLNVAL));
  out = ok ? ConnectPoll::connected : ConnectPoll::failed;
  return 0;
}

int tcp_send(SocketHandle h, const void* data, std::size_t n, std::size_t& sent) {
  sent = 0;
  if (const int err = fault_check(Op::send)) return err;
  const ssize_t r = ::send(static_cast<int>(h), data, n, MSG_NOSIGNAL);
  if (r < 0) return errno;
  sent = static_cast<std::size_t>(r);
  return 0;
}

int tcp_recv(SocketHandle h, void* buf, std::size_t n, std::size_t& got) {
  got = 0;
  if (const int err = fault_check(Op::recv)) return err;
  const ssize_t r = ::recv(static_cast<int>(h), buf, n, 0);
  if (r < 0) return errno;
  got = static_cast<std::size_t>(r);
  return 0;
}

int tcp_shutdown_send(SocketHandle h) {
  if (::shutdown(static_cast<int>(h), SHUT_WR) != 0) return errno;
  return 0;
}

bool parse_ipv4(const std::string& text, std::uint32_t& addr) {
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  addr = a.s_addr;
  return true;
}

int resolve_host(const std::string& name, std::uint32_t& addr) {
  addr = 0;
  if (const int err = fault_check(Op::resolve)) return err;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    if (rc == EAI_SYSTEM && errno != 0) return errno;
    return rc == EAI_MEMORY ? ENOMEM : EHOSTUNREACH;
  }
  int result = EHOSTUNREACH;
  for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || !ai->ai_addr) continue;
    addr = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
    result = 0;
    break;
  }
  ::freeaddrinfo(list);
  return result;
}

bool net_err_is_retry(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS || err == EALREADY || err == EINTR;
}

}  // namespace plat
