// TLS on Windows: not in this build yet. Every session fails at once with a
// reason that says so, so that an https server is that server's failure and
// the others are asked.
#include "platform/tls.h"

#include <cerrno>

namespace plat {

struct TlsSession::Impl {};

bool tls_available() { return false; }
int tls_add_roots(const std::string&) { return ENOSYS; }
void tls_clear_roots() {}

TlsSession::TlsSession(SocketHandle, const std::string&) : impl_(std::make_unique<Impl>()) {
  failure_ = "TLS is not available in this build";
}
TlsSession::~TlsSession() = default;
TlsIo TlsSession::handshake() { return TlsIo::failed; }
TlsIo TlsSession::read(void*, std::size_t, std::size_t& got) {
  got = 0;
  return TlsIo::failed;
}
TlsIo TlsSession::write(const void*, std::size_t, std::size_t& sent) {
  sent = 0;
  return TlsIo::failed;
}
void TlsSession::close() {}
bool TlsSession::pending() const { return false; }

}  // namespace plat
