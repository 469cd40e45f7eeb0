// TLS client sessions over the non-blocking sockets of platform/socket.h.
//
// Nothing here waits: each call does what the socket allows now and says
// whether it must be called again once the socket can be read or written.
// The server's certificate is checked against the system's trusted roots
// (and the roots added with tls_add_roots) and against the host name; the
// host name also goes out as SNI. TLS 1.2 and 1.3 only.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/socket.h"

namespace plat {

// What one step of a session did.
enum class TlsIo {
  done,        // the step finished (handshake complete; bytes read or written)
  want_read,   // call again once the socket can be read
  want_write,  // call again once the socket can be written
  closed,      // the peer ended the session (close notify or end of stream)
  failed,      // the session failed; failure() says why
};

// Whether this build can make TLS connections at all.
bool tls_available();

// Adds the certificates of the PEM file `path` to the trusted roots of the
// sessions made from now on. 0 or an errno value (ENOENT, EINVAL for a file
// that holds no certificate).
int tls_add_roots(const std::string& path);
// Back to the system's roots alone (for the tests).
void tls_clear_roots();

class TlsSession {
 public:
  // A client session on the connected socket `h` (not owned) for `host`.
  TlsSession(SocketHandle h, const std::string& host);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  TlsIo handshake();
  // Up to n bytes of the peer's data; `got` is how many.
  TlsIo read(void* buf, std::size_t n, std::size_t& got);
  // Up to n bytes; `sent` is how many were taken. After want_read or
  // want_write, call again with the same first bytes (the buffer may move).
  TlsIo write(const void* data, std::size_t n, std::size_t& sent);
  // Sends this side's close notify if the socket takes it now.
  void close();
  // Bytes received and decrypted but not yet read: the socket may stay
  // quiet while these wait.
  bool pending() const;
  // Why the session failed, in words for the report ("certificate has
  // expired", "certificate is for another host", "certificate is not
  // trusted", ...); empty while it has not.
  const std::string& failure() const { return failure_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string failure_;
};

}  // namespace plat
