// TLS client sessions with the system's Schannel on the socket's handle.
//
// The handshake is a loop of InitializeSecurityContextW calls fed with what
// the socket has brought so far; application data goes through
// EncryptMessage and DecryptMessage. All socket I/O goes through the calls
// of socket.h, so nothing here waits. The server's certificate is checked
// here rather than by Schannel (manual validation): a chain to the system's
// trusted roots or to one of the roots added with tls_add_roots, then the
// system's SSL policy for the host name and the dates.
#include "platform/tls.h"

#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/win32_text.h"

namespace plat {

namespace {

std::mutex roots_mutex;
HCERTSTORE added_roots = nullptr;  // the roots of tls_add_roots; null while none

// A duplicate handle of the added roots (for one session), or null.
HCERTSTORE roots_for_session() {
  std::lock_guard<std::mutex> lock(roots_mutex);
  return added_roots ? CertDuplicateStore(added_roots) : nullptr;
}

std::string hex_status(long status) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lx", static_cast<unsigned long>(status));
  return buf;
}

constexpr DWORD accepted_protocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
const char* const version_failure = "the server offers no TLS version this installer accepts (1.2 or 1.3)";

// Client credentials that offer TLS 1.2 and 1.3 only and leave the
// certificate check to this file. Systems that do not know the newer
// credential structure (it carries TLS 1.3) are given the older one, which
// offers TLS 1.2.
bool acquire_credentials(CredHandle& cred) {
  TimeStamp expiry;
  TLS_PARAMETERS params{};
  params.grbitDisabledProtocols = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT |
                                  SP_PROT_TLS1_1_CLIENT;
  SCH_CREDENTIALS creds{};
  creds.dwVersion = SCH_CREDENTIALS_VERSION;
  creds.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  creds.cTlsParameters = 1;
  creds.pTlsParameters = &params;
  if (AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                &creds, nullptr, nullptr, &cred, &expiry) == SEC_E_OK)
    return true;
  SCHANNEL_CRED old{};
  old.dwVersion = SCHANNEL_CRED_VERSION;
  old.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  old.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &old,
                                   nullptr, nullptr, &cred, &expiry) == SEC_E_OK;
}

// Whether the certificate names the IPv4 address `addr` (network byte
// order) among its subject alternative names, as decoded by the system.
bool names_address(PCCERT_CONTEXT cert, std::uint32_t addr) {
  const CERT_INFO* info = cert->pCertInfo;
  const CERT_EXTENSION* ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (!ext) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
    found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == sizeof addr &&
            std::memcmp(e.IPAddress.pbData, &addr, sizeof addr) == 0;
  }
  LocalFree(names);
  return found;
}

// The reason the server certificate `cert` is refused for `host`, or empty
// when it is accepted. `name` is the host as a wide string (empty for an
// address, checked against `addr` instead).
std::string check_certificate(PCCERT_CONTEXT cert, const std::wstring& name, bool is_address, std::uint32_t addr,
                              HCERTSTORE roots) {
  // The certificates the server sent, and the added roots, are where the
  // chain's issuers are looked for beside the system's stores.
  HCERTSTORE pool = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
  if (!pool) return "the certificate could not be checked";
  CertAddStoreToCollection(pool, cert->hCertStore, 0, 0);
  if (roots) CertAddStoreToCollection(pool, roots, 0, 0);
  char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
  char* usages[] = {server_auth};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // Only what the server sent, the added roots and the local stores build
  // the chain: fetching a missing issuer from the network here would block
  // the frame loop for as long as that fetch takes.
  const BOOL built = CertGetCertificateChain(nullptr, cert, nullptr, pool, &para,
                                             CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain);
  CertCloseStore(pool, 0);
  if (!built || !chain) return "the certificate could not be checked";

  std::string reason;
  DWORD status = chain->TrustStatus.dwErrorStatus & ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                                      CERT_TRUST_IS_OFFLINE_REVOCATION);
  // A chain that ends at an added root is trusted as one that ends at a
  // system root. The root is compared as a whole encoded certificate.
  bool added_root = false;
  if (roots && chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
    PCCERT_CONTEXT same = CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, top, nullptr);
    if (same) {
      added_root = true;
      CertFreeCertificateContext(same);
    }
  }
  if (added_root) status &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
  // The chain's own findings come first (some systems' SSL policy passes a
  // chain that does not reach a root), then the policy's.
  if (status & (CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_NOT_SIGNATURE_VALID |
                CERT_TRUST_IS_CYCLIC | CERT_TRUST_IS_REVOKED)) {
    reason = "certificate is not trusted";
  } else if (status & CERT_TRUST_IS_NOT_TIME_VALID) {
    reason = CertVerifyTimeValidity(nullptr, cert->pCertInfo) < 0 ? "certificate is not valid yet"
                                                                  : "certificate has expired";
  } else if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
    reason = "certificate is not trusted (not for a server)";
  } else if (status != 0) {
    reason = "certificate is not trusted (chain status " + hex_status(static_cast<long>(status)) + ")";
  } else {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = is_address ? nullptr : const_cast<wchar_t*>(name.c_str());
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = added_root ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS result{};
    result.cbSize = sizeof result;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result)) {
      reason = "the certificate could not be checked";
    } else {
      switch (static_cast<unsigned long>(result.dwError)) {
        case 0: break;
        case static_cast<unsigned long>(CERT_E_CN_NO_MATCH): reason = "certificate is for another host"; break;
        case static_cast<unsigned long>(CERT_E_EXPIRED): reason = "certificate has expired"; break;
        case static_cast<unsigned long>(CERT_E_UNTRUSTEDROOT):
        case static_cast<unsigned long>(CERT_E_CHAINING):
        case static_cast<unsigned long>(TRUST_E_CERT_SIGNATURE): reason = "certificate is not trusted"; break;
        default:
          reason = "certificate is not trusted (policy status " + hex_status(static_cast<long>(result.dwError)) + ")";
      }
    }
    if (reason.empty() && is_address && !names_address(cert, addr)) reason = "certificate is for another host";
  }
  CertFreeCertificateChain(chain);
  return reason;
}

}  // namespace

struct TlsSession::Impl {
  SocketHandle sock = bad_socket;
  std::wstring name;  // the host name (SNI and the name check); empty for an address
  bool is_address = false;
  std::uint32_t addr = 0;
  HCERTSTORE roots = nullptr;
  CredHandle cred{};
  bool have_cred = false;
  CtxtHandle ctx{};
  bool have_ctx = false;
  bool established = false;  // the handshake is complete and the certificate accepted
  bool peer_closed = false;
  SecPkgContext_StreamSizes sizes{};
  std::vector<char> in;     // bytes received and not yet consumed
  std::vector<char> out;    // bytes to send (handshake tokens, records)
  std::size_t out_at = 0;   // how many of `out` have gone
  std::size_t taken = 0;    // caller's bytes encrypted into `out` by write()
  std::vector<char> plain;  // decrypted bytes not yet read
  std::size_t plain_at = 0;

  ~Impl() {
    if (have_ctx) DeleteSecurityContext(&ctx);
    if (have_cred) FreeCredentialsHandle(&cred);
    if (roots) CertCloseStore(roots, 0);
  }

  // Sends what waits in `out`. 0 when all has gone, EAGAIN when the socket
  // takes no more now, or the socket's error.
  int flush() {
    while (out_at < out.size()) {
      std::size_t sent = 0;
      const int err = tcp_send(sock, out.data() + out_at, out.size() - out_at, sent);
      if (err != 0) return net_err_is_retry(err) ? EAGAIN : err;
      if (sent == 0) return EAGAIN;
      out_at += sent;
    }
    out.clear();
    out_at = 0;
    return 0;
  }

  // Appends what the socket has now to `in`: 0 with got > 0, 0 with got 0
  // at the peer's end of stream, EAGAIN, or the socket's error.
  int fill(std::size_t& got) {
    got = 0;
    char buf[16384];
    const int err = tcp_recv(sock, buf, sizeof buf, got);
    if (err != 0) return net_err_is_retry(err) ? EAGAIN : err;
    in.insert(in.end(), buf, buf + got);
    return 0;
  }

  // Queues a token that InitializeSecurityContextW made, and frees it.
  void queue(SecBuffer& token) {
    if (token.pvBuffer && token.cbBuffer > 0)
      out.insert(out.end(), static_cast<char*>(token.pvBuffer), static_cast<char*>(token.pvBuffer) + token.cbBuffer);
    if (token.pvBuffer) FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
  }

  // Keeps, of `in`, only what the last call left unread (its extra buffer).
  void keep_extra(const SecBuffer& extra) {
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= in.size())
      in.erase(in.begin(), in.end() - extra.cbBuffer);
    else
      in.clear();
  }

  // One InitializeSecurityContextW call on what `in` holds (nothing on the
  // first call). Its token is queued; `in` keeps what it did not read.
  SECURITY_STATUS step() {
    const DWORD wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                         ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;
    SecBuffer in_bufs[2] = {{static_cast<unsigned long>(in.size()), SECBUFFER_TOKEN, in.data()},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in_bufs};
    SecBuffer out_bufs[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out_bufs};
    ULONG attrs = 0;
    TimeStamp expiry;
    const bool first = !have_ctx;
    SECURITY_STATUS s = InitializeSecurityContextW(
        &cred, first ? nullptr : &ctx,
        first && !name.empty() ? const_cast<wchar_t*>(name.c_str()) : nullptr, wanted, 0, 0,
        first ? nullptr : &in_desc, 0, first ? &ctx : nullptr, &out_desc, &attrs, &expiry);
    if (first && (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED || s == SEC_I_INCOMPLETE_CREDENTIALS)) have_ctx = true;
    if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED) queue(out_bufs[0]);
    else if (out_bufs[0].pvBuffer) FreeContextBuffer(out_bufs[0].pvBuffer);
    if (!first && (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED)) keep_extra(in_bufs[1]);
    return s;
  }

  // Whether `in` holds at least one whole TLS record (5-byte header and the
  // length it announces).
  bool whole_record() const {
    if (in.size() < 5) return false;
    const std::size_t len = (static_cast<unsigned char>(in[3]) << 8) | static_cast<unsigned char>(in[4]);
    return in.size() >= 5 + len;
  }
};

bool tls_available() { return true; }

int tls_add_roots(const std::string& path) {
  std::wstring wpath;
  if (win32::system_path(path, wpath) != 0) return EINVAL;
  HANDLE f = CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return win32::last_errno();
  std::string text;
  char buf[8192];
  DWORD got = 0;
  while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got > 0 && text.size() < (16u << 20)) text.append(buf, got);
  CloseHandle(f);
  HCERTSTORE found = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (!found) return ENOMEM;
  // Each PEM block is handed to the system's decoder in turn.
  static const std::string begin = "-----BEGIN CERTIFICATE-----";
  static const std::string end = "-----END CERTIFICATE-----";
  int added = 0;
  for (std::size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at + begin.size())) {
    const std::size_t stop = text.find(end, at);
    if (stop == std::string::npos) break;
    const std::string block = text.substr(at, stop + end.size() - at);
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr) || size == 0)
      continue;
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                              &size, nullptr, nullptr))
      continue;
    if (CertAddEncodedCertificateToStore(found, X509_ASN_ENCODING, der.data(), size, CERT_STORE_ADD_REPLACE_EXISTING,
                                         nullptr))
      ++added;
  }
  if (added == 0) {
    CertCloseStore(found, 0);
    return EINVAL;
  }
  std::lock_guard<std::mutex> lock(roots_mutex);
  if (!added_roots) {
    added_roots = found;
    return 0;
  }
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(found, nullptr); c; c = CertEnumCertificatesInStore(found, c))
    CertAddCertificateContextToStore(added_roots, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(found, 0);
  return 0;
}

void tls_clear_roots() {
  std::lock_guard<std::mutex> lock(roots_mutex);
  if (added_roots) CertCloseStore(added_roots, 0);
  added_roots = nullptr;
}

TlsSession::TlsSession(SocketHandle h, const std::string& host) : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  s.sock = h;
  // A dotted address is checked against the certificate's addresses and is
  // not sent as a server name; a name is checked and sent.
  s.is_address = parse_ipv4(host, s.addr);
  if (!s.is_address && !win32::widen(host, s.name)) {
    failure_ = "TLS could not be started";
    return;
  }
  s.roots = roots_for_session();
  s.have_cred = acquire_credentials(s.cred);
  if (!s.have_cred) failure_ = "TLS could not be started";
}

TlsSession::~TlsSession() = default;

TlsIo TlsSession::handshake() {
  Impl& s = *impl_;
  if (!failure_.empty()) return TlsIo::failed;
  for (;;) {
    const int sent = s.flush();
    if (sent == EAGAIN) return TlsIo::want_write;
    if (sent != 0) {
      failure_ = "the connection ended during the TLS handshake";
      return TlsIo::failed;
    }
    if (s.established) return TlsIo::done;
    SECURITY_STATUS st = SEC_E_INCOMPLETE_MESSAGE;
    if (!s.have_ctx || !s.in.empty()) st = s.step();
    if (st == SEC_I_INCOMPLETE_CREDENTIALS) continue;  // a client certificate was asked for: go on without
    if (st == SEC_I_CONTINUE_NEEDED) {
      if (!s.in.empty()) {  // what is left may be the next message already
        const int f = s.flush();
        if (f == EAGAIN) return TlsIo::want_write;
        if (f != 0) {
          failure_ = "the connection ended during the TLS handshake";
          return TlsIo::failed;
        }
        continue;
      }
    } else if (st == SEC_E_OK) {
      SecPkgContext_ConnectionInfo info{};
      if (QueryContextAttributesW(&s.ctx, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK ||
          (info.dwProtocol & accepted_protocols) == 0) {
        failure_ = version_failure;
        return TlsIo::failed;
      }
      PCCERT_CONTEXT cert = nullptr;
      if (QueryContextAttributesW(&s.ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK || !cert) {
        failure_ = "the server sent no certificate";
        return TlsIo::failed;
      }
      failure_ = check_certificate(cert, s.name, s.is_address, s.addr, s.roots);
      CertFreeCertificateContext(cert);
      if (!failure_.empty()) return TlsIo::failed;
      if (QueryContextAttributesW(&s.ctx, SECPKG_ATTR_STREAM_SIZES, &s.sizes) != SEC_E_OK) {
        failure_ = "TLS could not be started";
        return TlsIo::failed;
      }
      s.established = true;
      continue;  // the last token (if any) goes out first
    } else if (st != SEC_E_INCOMPLETE_MESSAGE) {
      switch (st) {
        case SEC_E_ALGORITHM_MISMATCH:
        case SEC_E_UNSUPPORTED_FUNCTION: failure_ = version_failure; break;
        case SEC_E_CERT_EXPIRED: failure_ = "certificate has expired"; break;
        case SEC_E_WRONG_PRINCIPAL: failure_ = "certificate is for another host"; break;
        case SEC_E_UNTRUSTED_ROOT: failure_ = "certificate is not trusted"; break;
        default: failure_ = "TLS handshake failed (" + hex_status(st) + ")";
      }
      return TlsIo::failed;
    }
    std::size_t got = 0;
    const int err = s.fill(got);
    if (err == EAGAIN) return TlsIo::want_read;
    if (err != 0 || got == 0) {
      failure_ = "the connection ended during the TLS handshake";
      return TlsIo::failed;
    }
  }
}

TlsIo TlsSession::read(void* buf, std::size_t n, std::size_t& got) {
  Impl& s = *impl_;
  got = 0;
  if (!failure_.empty() || !s.established) return TlsIo::failed;
  for (;;) {
    if (s.plain_at < s.plain.size()) {
      got = std::min(n, s.plain.size() - s.plain_at);
      std::memcpy(buf, s.plain.data() + s.plain_at, got);
      s.plain_at += got;
      if (s.plain_at == s.plain.size()) {
        s.plain.clear();
        s.plain_at = 0;
      }
      return TlsIo::done;
    }
    if (s.peer_closed) return TlsIo::closed;
    if (!s.in.empty()) {
      SecBuffer bufs[4] = {{static_cast<unsigned long>(s.in.size()), SECBUFFER_DATA, s.in.data()},
                           {0, SECBUFFER_EMPTY, nullptr},
                           {0, SECBUFFER_EMPTY, nullptr},
                           {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
      const SECURITY_STATUS st = DecryptMessage(&s.ctx, &desc, 0, nullptr);
      if (st == SEC_E_OK || st == SEC_I_CONTEXT_EXPIRED || st == SEC_I_RENEGOTIATE) {
        // The data and the extra bytes point into `in`: both are copied out
        // before `in` changes.
        std::vector<char> rest;
        for (const SecBuffer& b : bufs) {
          if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0)
            s.plain.insert(s.plain.end(), static_cast<char*>(b.pvBuffer),
                           static_cast<char*>(b.pvBuffer) + b.cbBuffer);
          if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0)
            rest.assign(static_cast<char*>(b.pvBuffer), static_cast<char*>(b.pvBuffer) + b.cbBuffer);
        }
        s.in = std::move(rest);
        if (st == SEC_I_CONTEXT_EXPIRED) {
          s.peer_closed = true;
        } else if (st == SEC_I_RENEGOTIATE) {
          // A handshake message after the handshake (TLS 1.3 session
          // tickets, key updates): the context takes it; a renegotiation
          // proper is not taken.
          const SECURITY_STATUS r = s.step();
          if (r != SEC_E_OK) {
            failure_ = "the server asked for a renegotiation (" + hex_status(r) + ")";
            return TlsIo::failed;
          }
          const int f = s.flush();
          if (f != 0 && f != EAGAIN) {
            failure_ = "the connection was lost";
            return TlsIo::failed;
          }
        }
        continue;
      }
      if (st != SEC_E_INCOMPLETE_MESSAGE) {
        failure_ = "TLS error (" + hex_status(st) + ")";
        return TlsIo::failed;
      }
    }
    std::size_t fresh = 0;
    const int err = s.fill(fresh);
    if (err == EAGAIN) return TlsIo::want_read;
    if (err != 0) {
      failure_ = "the connection was lost";
      return TlsIo::failed;
    }
    // An end of stream without a close notify ends the stream as a close
    // would: the announced length tells a short body.
    if (fresh == 0) {
      s.peer_closed = true;
      s.in.clear();
    }
  }
}

TlsIo TlsSession::write(const void* data, std::size_t n, std::size_t& sent) {
  Impl& s = *impl_;
  sent = 0;
  if (!failure_.empty() || !s.established) return TlsIo::failed;
  if (s.out.empty() && n > 0) {
    // One record of the caller's first bytes; a call after want_write
    // finds it still queued and sends the rest of it.
    const std::size_t take = std::min<std::size_t>(n, s.sizes.cbMaximumMessage);
    s.out.resize(s.sizes.cbHeader + take + s.sizes.cbTrailer);
    s.out_at = 0;
    std::memcpy(s.out.data() + s.sizes.cbHeader, data, take);
    SecBuffer bufs[4] = {
        {s.sizes.cbHeader, SECBUFFER_STREAM_HEADER, s.out.data()},
        {static_cast<unsigned long>(take), SECBUFFER_DATA, s.out.data() + s.sizes.cbHeader},
        {s.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, s.out.data() + s.sizes.cbHeader + take},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
    const SECURITY_STATUS st = EncryptMessage(&s.ctx, 0, &desc, 0);
    if (st != SEC_E_OK) {
      s.out.clear();
      failure_ = "TLS error (" + hex_status(st) + ")";
      return TlsIo::failed;
    }
    s.out.resize(bufs[0].cbBuffer + bufs[1].cbBuffer + bufs[2].cbBuffer);
    s.taken = take;
  }
  const int err = s.flush();
  if (err == EAGAIN) return TlsIo::want_write;
  if (err != 0) {
    failure_ = "the connection was lost";
    return TlsIo::failed;
  }
  sent = s.taken;
  s.taken = 0;
  return TlsIo::done;
}

void TlsSession::close() {
  Impl& s = *impl_;
  if (!failure_.empty() || !s.established || !s.out.empty()) return;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc desc{SECBUFFER_VERSION, 1, &token};
  if (ApplyControlToken(&s.ctx, &desc) != SEC_E_OK) return;
  SecBuffer out_bufs[1] = {{0, SECBUFFER_TOKEN, nullptr}};
  SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out_bufs};
  ULONG attrs = 0;
  TimeStamp expiry;
  const DWORD wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;
  const SECURITY_STATUS st =
      InitializeSecurityContextW(&s.cred, &s.ctx, nullptr, wanted, 0, 0, nullptr, 0, nullptr, &out_desc, &attrs, &expiry);
  if (st == SEC_E_OK || st == SEC_I_CONTINUE_NEEDED) {
    s.queue(out_bufs[0]);
    s.flush();  // one attempt; the peer's answer is not awaited
  } else if (out_bufs[0].pvBuffer) {
    FreeContextBuffer(out_bufs[0].pvBuffer);
  }
}

bool TlsSession::pending() const { return impl_->plain_at < impl_->plain.size() || impl_->whole_record(); }

}  // namespace plat
