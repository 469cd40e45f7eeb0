// TLS client sessions with OpenSSL's libssl on the socket's descriptor.
#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace plat {

namespace {

std::mutex ctx_mutex;
SSL_CTX* shared_ctx = nullptr;  // made on first use; the added roots live in its store

// The context of new sessions (one reference for the caller), or null.
SSL_CTX* context() {
  std::lock_guard<std::mutex> lock(ctx_mutex);
  if (!shared_ctx) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return nullptr;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(ctx);
    // A server that drops the connection without a close notify ends the
    // stream as a close would: the announced length tells a short body.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    shared_ctx = ctx;
  }
  SSL_CTX_up_ref(shared_ctx);
  return shared_ctx;
}

// What the socket brought and OpenSSL has not read yet. A receive takes up to
// a buffer of several records at once, so a large body costs one receive per
// buffer rather than two per record (its header, then the rest); OpenSSL's
// own read-ahead would do the same but hide whether a whole record waits.
struct ReadBuffer {
  SocketHandle sock = bad_socket;
  std::vector<char> bytes;
  std::size_t at = 0;   // the first byte not yet given to OpenSSL
  std::size_t end = 0;  // one past the last byte received

  // Whether a whole record (its 5-byte header and the length it gives)
  // waits here, which OpenSSL can read without the socket.
  bool whole_record() const {
    if (end - at < 5) return false;
    const auto len = static_cast<std::size_t>((static_cast<unsigned char>(bytes[at + 3]) << 8) |
                                              static_cast<unsigned char>(bytes[at + 4]));
    return end - at >= 5 + len;
  }
};

constexpr std::size_t kReadBufferSize = 128 * 1024;

// The socket under a session is reached through the calls of socket.h, as
// plain connections are: sends never raise SIGPIPE, and tests can make a
// send or receive fail.
int bio_write(BIO* b, const char* data, int n) {
  BIO_clear_retry_flags(b);
  const SocketHandle h = static_cast<const ReadBuffer*>(BIO_get_data(b))->sock;
  std::size_t sent = 0;
  const int err = tcp_send(h, data, n > 0 ? static_cast<std::size_t>(n) : 0, sent);
  if (err == 0) return static_cast<int>(sent);
  if (net_err_is_retry(err)) {
    BIO_set_retry_write(b);
    return -1;
  }
  errno = err;
  return -1;
}

int bio_read(BIO* b, char* buf, int n) {
  BIO_clear_retry_flags(b);
  auto* rb = static_cast<ReadBuffer*>(BIO_get_data(b));
  if (n <= 0) return 0;
  if (rb->at == rb->end) {
    if (rb->bytes.empty()) rb->bytes.resize(kReadBufferSize);
    std::size_t got = 0;
    const int err = tcp_recv(rb->sock, rb->bytes.data(), rb->bytes.size(), got);
    if (err != 0) {
      if (net_err_is_retry(err)) {
        BIO_set_retry_read(b);
      } else {
        errno = err;
      }
      return -1;
    }
    if (got == 0) return 0;  // the peer's orderly release
    rb->at = 0;
    rb->end = got;
  }
  const std::size_t take = std::min(static_cast<std::size_t>(n), rb->end - rb->at);
  std::memcpy(buf, rb->bytes.data() + rb->at, take);
  rb->at += take;
  return static_cast<int>(take);
}

long bio_ctrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int bio_create(BIO* b) {
  BIO_set_init(b, 1);
  return 1;
}

BIO_METHOD* socket_method() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "platform socket");
    if (m) {
      BIO_meth_set_write(m, bio_write);
      BIO_meth_set_read(m, bio_read);
      BIO_meth_set_ctrl(m, bio_ctrl);
      BIO_meth_set_create(m, bio_create);
    }
    return m;
  }();
  return method;
}

std::string verify_reason(long v) {
  switch (v) {
    case X509_V_ERR_CERT_HAS_EXPIRED: return "certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID: return "certificate is not valid yet";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return "certificate is for another host";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED: return "certificate is not trusted";
    default: return std::string("certificate is not trusted (") + X509_verify_cert_error_string(v) + ")";
  }
}

}  // namespace

struct TlsSession::Impl {
  SSL* ssl = nullptr;
  ReadBuffer received;  // the BIO's; outlives `ssl`, which is freed first
};

bool tls_available() { return true; }

int tls_add_roots(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return errno != 0 ? errno : ENOENT;
  std::fclose(f);
  SSL_CTX* ctx = context();
  if (!ctx) return ENOMEM;
  ERR_clear_error();
  const int ok = SSL_CTX_load_verify_locations(ctx, path.c_str(), nullptr);
  ERR_clear_error();
  SSL_CTX_free(ctx);
  return ok == 1 ? 0 : EINVAL;
}

void tls_clear_roots() {
  std::lock_guard<std::mutex> lock(ctx_mutex);
  if (shared_ctx) SSL_CTX_free(shared_ctx);
  shared_ctx = nullptr;
}

TlsSession::TlsSession(SocketHandle h, const std::string& host) : impl_(std::make_unique<Impl>()) {
  SSL_CTX* ctx = context();
  if (ctx) impl_->ssl = SSL_new(ctx);
  if (ctx) SSL_CTX_free(ctx);  // the session holds its own reference
  SSL* ssl = impl_->ssl;
  BIO* bio = ssl && socket_method() ? BIO_new(socket_method()) : nullptr;
  if (!bio) {
    failure_ = "TLS could not be started";
    return;
  }
  impl_->received.sock = h;
  BIO_set_data(bio, &impl_->received);
  SSL_set_bio(ssl, bio, bio);  // the session owns it
  // A dotted address is checked against the certificate's addresses and is
  // not sent as a server name; a name is checked and sent.
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SSL_set1_host(ssl, host.c_str());
    SSL_set_tlsext_host_name(ssl, host.c_str());
  }
  ERR_clear_error();
  SSL_set_connect_state(ssl);
}

TlsSession::~TlsSession() {
  if (impl_->ssl) SSL_free(impl_->ssl);
}

namespace {

// The outcome of an SSL call that returned `r`.
TlsIo judge(SSL* ssl, int r, std::string& failure, bool handshaking) {
  const int e = SSL_get_error(ssl, r);
  switch (e) {
    case SSL_ERROR_WANT_READ: return TlsIo::want_read;
    case SSL_ERROR_WANT_WRITE: return TlsIo::want_write;
    case SSL_ERROR_ZERO_RETURN: return TlsIo::closed;
    default: break;
  }
  const unsigned long err = ERR_peek_error();
  if (handshaking) {
    const long v = SSL_get_verify_result(ssl);
    if (v != X509_V_OK) {
      failure = verify_reason(v);
    } else if (ERR_GET_LIB(err) == ERR_LIB_SSL &&
               (ERR_GET_REASON(err) == SSL_R_UNSUPPORTED_PROTOCOL ||
                ERR_GET_REASON(err) == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION ||
                ERR_GET_REASON(err) == SSL_R_WRONG_VERSION_NUMBER ||
                ERR_GET_REASON(err) == SSL_R_NO_PROTOCOLS_AVAILABLE)) {
      failure = "the server offers no TLS version this installer accepts (1.2 or 1.3)";
    } else if (e == SSL_ERROR_SYSCALL && err == 0) {
      failure = "the connection ended during the TLS handshake";
    } else {
      const char* why = err ? ERR_reason_error_string(err) : nullptr;
      failure = std::string("TLS handshake failed") + (why ? std::string(" (") + why + ")" : std::string());
    }
  } else if (e == SSL_ERROR_SYSCALL && err == 0) {
    failure = "the connection was lost";
  } else {
    const char* why = err ? ERR_reason_error_string(err) : nullptr;
    failure = std::string("TLS error") + (why ? std::string(" (") + why + ")" : std::string());
  }
  ERR_clear_error();
  return TlsIo::failed;
}

}  // namespace

TlsIo TlsSession::handshake() {
  if (!impl_->ssl || !failure_.empty()) return TlsIo::failed;
  ERR_clear_error();
  const int r = SSL_do_handshake(impl_->ssl);
  if (r == 1) return TlsIo::done;
  const TlsIo io = judge(impl_->ssl, r, failure_, true);
  if (io == TlsIo::closed) {
    failure_ = "the connection ended during the TLS handshake";
    return TlsIo::failed;
  }
  return io;
}

TlsIo TlsSession::read(void* buf, std::size_t n, std::size_t& got) {
  got = 0;
  if (!impl_->ssl || !failure_.empty()) return TlsIo::failed;
  ERR_clear_error();
  const int r = SSL_read_ex(impl_->ssl, buf, n, &got);
  if (r == 1) return TlsIo::done;
  got = 0;
  return judge(impl_->ssl, r, failure_, false);
}

TlsIo TlsSession::write(const void* data, std::size_t n, std::size_t& sent) {
  sent = 0;
  if (!impl_->ssl || !failure_.empty()) return TlsIo::failed;
  ERR_clear_error();
  const int r = SSL_write_ex(impl_->ssl, data, n, &sent);
  if (r == 1) return TlsIo::done;
  sent = 0;
  return judge(impl_->ssl, r, failure_, false);
}

void TlsSession::close() {
  if (!impl_->ssl || !failure_.empty()) return;
  ERR_clear_error();
  SSL_shutdown(impl_->ssl);  // one attempt; the peer's answer is not awaited
  ERR_clear_error();
}

bool TlsSession::pending() const {
  return impl_->ssl && (SSL_pending(impl_->ssl) > 0 || impl_->received.whole_record());
}

}  // namespace plat
