// IPv4 TCP client sockets that never block, and host-name lookup.
//
// Every call that can fail returns 0 or the system's error number (an errno
// value on POSIX; a Windows build translates its socket codes to the same
// values) and asks plat::fault_check first, so that tests can make one
// connect, send, receive or lookup fail for real. Nothing here waits except
// resolve_host, which asks the system resolver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

// A socket handle; bad_socket when there is none.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle bad_socket = -1;

// Creates an IPv4 stream socket with TCP_NODELAY, bound to the wildcard
// address and `local_port` (0: any), in non-blocking mode. On failure `out`
// stays bad_socket.
int tcp_open(std::uint16_t local_port, SocketHandle& out);

// One socket to wait on, and what to wait for.
struct SocketWait {
  SocketHandle handle = bad_socket;
  bool for_write = false;  // wait until it can be written (connecting, request unsent)
};
// An event that another thread signals to end a wait on sockets early: the
// sink of a transfer that has room again, or has finished its work. Any
// thread may signal it; one thread waits on it.
using WakeHandle = std::intptr_t;
inline constexpr WakeHandle bad_wake = -1;
// Makes one. 0 or the failure (`out` stays bad_wake).
int wake_open(WakeHandle& out);
// Signals it: the wait under way, or the next one, ends at once.
void wake_signal(WakeHandle h);
void wake_close(WakeHandle h);

// Waits until one of the sockets can be read (or written, as asked), has
// failed or been closed by the peer, `wake` (when given) is signalled, or
// `timeout_ms` has passed. A signal is used up by the wait it ends. Returns
// at once when there is nothing to wait on. Used between frames so that a
// waiting program wakes as soon as data arrives or a sink has room.
void tcp_wait_any(const SocketWait* sockets, std::size_t n, int timeout_ms, WakeHandle wake = bad_wake);

// Closes the handle (without shutting the connection down first). A
// bad_socket is left alone.
void tcp_close(SocketHandle h);

// Starts connecting to `addr` (IPv4, network byte order) and `port` (host
// order). 0 when the connection is up at once; EINPROGRESS while it goes on
// in the background; any other value is the failure.      (Op::connect)
int tcp_connect(SocketHandle h, std::uint32_t addr, std::uint16_t port);

// Outcome of a connection started by tcp_connect, polled without waiting.
enum class ConnectPoll {
  pending,    // not settled yet
  connected,  // the connection is up
  failed,     // refused, unreachable or otherwise not made
};
// Polls a connection in progress. Returns 0 and sets `out`, or the error
// of the poll itself.
int tcp_poll_connect(SocketHandle h, ConnectPoll& out);

// Sends up to n bytes without waiting and without raising SIGPIPE; `sent`
// is the number the system took. Would-block is EAGAIN.      (Op::send)
int tcp_send(SocketHandle h, const void* data, std::size_t n, std::size_t& sent);

// Receives up to n bytes without waiting; `got` 0 with result 0 is the
// peer's orderly release. Nothing available is EAGAIN.       (Op::recv)
int tcp_recv(SocketHandle h, void* buf, std::size_t n, std::size_t& got);

// Shuts down the sending direction (this side's release).
int tcp_shutdown_send(SocketHandle h);

// Reads a strict dotted quad ("a.b.c.d", each 0..255) into an IPv4 address
// in network byte order. No resolver is asked. False when `text` is not one.
bool parse_ipv4(const std::string& text, std::uint32_t& addr);

// Asks the system resolver for the first IPv4 address of `name`, in network
// byte order. May block for as long as the resolver takes.   (Op::resolve)
int resolve_host(const std::string& name, std::uint32_t& addr);

// Whether `err` means that the connection is over: refused, reset, aborted,
// not connected, timed out, shut down or a broken pipe.
bool net_err_is_disconnect(int err);
// Whether `err` only means "nothing yet; try again later".
bool net_err_is_retry(int err);

}  // namespace plat
