// Windows implementation of platform/socket.h on Winsock 2.
//
// Winsock reports its own codes (WSAE...); they are folded here, once, into
// the errno values the code above expects, so that "would block" reads
// EAGAIN, a connection under way EINPROGRESS and a refusal ECONNREFUSED as
// they do on POSIX.
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/fault.h"
#include "platform/win32_text.h"

namespace plat {

namespace {

// Winsock is started once for the process, before the first socket.
int start_winsock() {
  static int result = [] {
    WSADATA data{};
    const int rc = WSAStartup(MAKEWORD(2, 2), &data);
    return rc;
  }();
  return result;
}

int errno_from_wsa(int code) {
  switch (code) {
    case WSAEWOULDBLOCK: return EAGAIN;
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEALREADY: return EALREADY;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAECONNRESET: return ECONNRESET;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAENOTCONN: return ENOTCONN;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAESHUTDOWN: return EPIPE;
    case WSAEISCONN: return EISCONN;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    case WSAENETDOWN: return ENETDOWN;
    case WSAENETRESET: return ENETRESET;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAEAFNOSUPPORT: return EAFNOSUPPORT;
    case WSAEINTR: return EINTR;
    case WSAENOBUFS: return ENOBUFS;
    case WSAEMFILE: return EMFILE;
    case WSAEACCES: return EACCES;
    case WSAEINVAL: return EINVAL;
    case WSAEFAULT: return EFAULT;
    case WSAENOTSOCK: return ENOTSOCK;
    case WSAEMSGSIZE: return EMSGSIZE;
    case WSANOTINITIALISED: return ENETDOWN;
    case WSA_NOT_ENOUGH_MEMORY: return ENOMEM;
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
    case WSATRY_AGAIN:
    case WSANO_RECOVERY: return EHOSTUNREACH;
    default: return EIO;
  }
}

int last_socket_error() { return errno_from_wsa(WSAGetLastError()); }

SOCKET sock_of(SocketHandle h) { return static_cast<SOCKET>(h); }

}  // namespace

int tcp_open(std::uint16_t local_port, SocketHandle& out) {
  out = bad_socket;
  if (const int rc = start_winsock()) return errno_from_wsa(rc);
  // Not inherited by programs this one starts (the POSIX close-on-exec).
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return last_socket_error();

  const BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);  // best effort

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(local_port);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int err = last_socket_error();
    ::closesocket(s);
    return err;
  }
  u_long nonblocking = 1;
  if (::ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
    // A blocking socket would stall the frame loop: refuse it.
    const int err = last_socket_error();
    ::closesocket(s);
    return err;
  }
  out = static_cast<SocketHandle>(s);
  return 0;
}

void tcp_close(SocketHandle h) {
  if (h == bad_socket) return;
  ::closesocket(sock_of(h));
}

int tcp_connect(SocketHandle h, std::uint32_t addr, std::uint16_t port) {
  if (const int err = fault_check(Op::connect)) return err;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = addr;
  peer.sin_port = htons(port);
  if (::connect(sock_of(h), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
  const int code = WSAGetLastError();
  // A non-blocking connect that goes on in the background says "would block".
  if (code == WSAEWOULDBLOCK) return EINPROGRESS;
  return errno_from_wsa(code);
}

void tcp_wait_any(const SocketWait* sockets, std::size_t n, int timeout_ms, WakeHandle wake) {
  if (timeout_ms <= 0) return;
  // select() rather than WSAPoll: WSAPoll does not report a refused
  // connection on every Windows version. A failed connection shows in the
  // exception set.
  fd_set rd, wr, ex;
  FD_ZERO(&rd);
  FD_ZERO(&wr);
  FD_ZERO(&ex);
  std::size_t count = 0;
  for (std::size_t i = 0; i < n && count < 16; ++i) {
    if (sockets[i].handle == bad_socket) continue;
    const SOCKET s = sock_of(sockets[i].handle);
    if (sockets[i].for_write) FD_SET(s, &wr);
    else FD_SET(s, &rd);
    FD_SET(s, &ex);
    ++count;
  }
  const HANDLE woken = wake == bad_wake ? nullptr : reinterpret_cast<HANDLE>(wake);
  if (count == 0) {
    if (woken) ::WaitForSingleObject(woken, static_cast<DWORD>(timeout_ms));
    return;
  }
  timeval tv{};
  if (!woken) {
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    ::select(0, &rd, &wr, &ex, &tv);
    return;
  }
  // The sockets and the wake event together: the sockets signal one event
  // object of this thread's (WSAEventSelect) and both are waited on. The
  // sockets are tied to it first and looked at once without waiting after,
  // so that nothing that became ready in between is missed.
  thread_local const WSAEVENT sockets_event = ::WSACreateEvent();
  for (std::size_t i = 0; i < n; ++i) {
    if (sockets[i].handle == bad_socket) continue;
    ::WSAEventSelect(sock_of(sockets[i].handle), sockets_event,
                     sockets[i].for_write ? FD_WRITE | FD_CONNECT | FD_CLOSE : FD_READ | FD_CLOSE);
  }
  if (::select(0, &rd, &wr, &ex, &tv) == 0) {
    const HANDLE both[2] = {sockets_event, woken};
    ::WaitForMultipleObjects(2, both, FALSE, static_cast<DWORD>(timeout_ms));
  }
  // Untied again (the sockets stay non-blocking), the event made ready for
  // the next wait.
  for (std::size_t i = 0; i < n; ++i)
    if (sockets[i].handle != bad_socket) ::WSAEventSelect(sock_of(sockets[i].handle), nullptr, 0);
  ::WSAResetEvent(sockets_event);
}

int wake_open(WakeHandle& out) {
  out = bad_wake;
  // Auto-reset: the wait that it ends takes the signal.
  const HANDLE h = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!h) return EIO;
  out = reinterpret_cast<WakeHandle>(h);
  return 0;
}

void wake_signal(WakeHandle h) {
  if (h != bad_wake) ::SetEvent(reinterpret_cast<HANDLE>(h));
}

void wake_close(WakeHandle h) {
  if (h != bad_wake) ::CloseHandle(reinterpret_cast<HANDLE>(h));
}

int tcp_poll_connect(SocketHandle h, ConnectPoll& out) {
  const SOCKET s = sock_of(h);
  fd_set wr, ex;
  FD_ZERO(&wr);
  FD_ZERO(&ex);
  FD_SET(s, &wr);
  FD_SET(s, &ex);
  timeval zero{};
  const int n = ::select(0, nullptr, &wr, &ex, &zero);
  if (n < 0) return last_socket_error();
  if (n == 0) {
    out = ConnectPoll::pending;
    return 0;
  }
  int so_error = 0;
  int len = sizeof so_error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0) return last_socket_error();
  const bool ok = so_error == 0 && FD_ISSET(s, &wr) && !FD_ISSET(s, &ex);
  out = ok ? ConnectPoll::connected : ConnectPoll::failed;
  return 0;
}

int tcp_send(SocketHandle h, const void* data, std::size_t n, std::size_t& sent) {
  sent = 0;
  if (const int err = fault_check(Op::send)) return err;
  const int ask = n > (1u << 30) ? (1 << 30) : static_cast<int>(n);
  const int r = ::send(sock_of(h), static_cast<const char*>(data), ask, 0);  // Windows raises no SIGPIPE
  if (r == SOCKET_ERROR) return last_socket_error();
  sent = static_cast<std::size_t>(r);
  return 0;
}

int tcp_recv(SocketHandle h, void* buf, std::size_t n, std::size_t& got) {
  got = 0;
  if (const int err = fault_check(Op::recv)) return err;
  const int ask = n > (1u << 30) ? (1 << 30) : static_cast<int>(n);
  const int r = ::recv(sock_of(h), static_cast<char*>(buf), ask, 0);
  if (r == SOCKET_ERROR) return last_socket_error();
  got = static_cast<std::size_t>(r);
  return 0;
}

int tcp_shutdown_send(SocketHandle h) {
  if (::shutdown(sock_of(h), SD_SEND) != 0) return last_socket_error();
  return 0;
}

bool parse_ipv4(const std::string& text, std::uint32_t& addr) {
  // Strict: four decimal parts of 1 to 3 digits, each 0..255, no leading
  // zeros, nothing else (the same text POSIX inet_pton takes).
  unsigned char parts[4];
  std::size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const std::size_t start = i;
    unsigned value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    const std::size_t digits = i - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    if (i < text.size() && text[i] >= '0' && text[i] <= '9') return false;
    parts[part] = static_cast<unsigned char>(value);
  }
  if (i != text.size()) return false;
  std::uint32_t a = 0;
  std::memcpy(&a, parts, 4);  // network byte order: the first part first in memory
  addr = a;
  return true;
}

int resolve_host(const std::string& name, std::uint32_t& addr) {
  addr = 0;
  if (const int err = fault_check(Op::resolve)) return err;
  if (const int rc = start_winsock()) return errno_from_wsa(rc);
  std::wstring w;
  if (!win32::widen(name, w)) return EINVAL;
  ADDRINFOW hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* list = nullptr;
  const int rc = ::GetAddrInfoW(w.c_str(), nullptr, &hints, &list);
  if (rc != 0) return rc == WSA_NOT_ENOUGH_MEMORY || rc == EAI_MEMORY ? ENOMEM : EHOSTUNREACH;
  int result = EHOSTUNREACH;
  for (const ADDRINFOW* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || !ai->ai_addr) continue;
    addr = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
    result = 0;
    break;
  }
  ::FreeAddrInfoW(list);
  return result;
}

bool net_err_is_retry(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS || err == EALREADY || err == EINTR;
}

}  // namespace plat
