// SHA-256 through OpenSSL's EVP interface.
#include "platform/sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace plat {

namespace {

std::string to_hex(const unsigned char* d, unsigned n) {
  static const char kHex[] = "0123456789abcdef";
  std::string s(static_cast<std::size_t>(n) * 2, '0');
  for (unsigned i = 0; i < n; ++i) {
    s[2 * i] = kHex[d[i] >> 4];
    s[2 * i + 1] = kHex[d[i] & 15];
  }
  return s;
}

}  // namespace

struct Sha256::Impl {
  EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : impl_(new Impl) {
  impl_->ctx = EVP_MD_CTX_new();
  // Without a context no digest can be made at all; every later check would
  // be wrong, so this is not a recoverable state.
  if (!impl_->ctx || EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) != 1) std::abort();
}

Sha256::~Sha256() { EVP_MD_CTX_free(impl_->ctx); }

void Sha256::add(const void* data, std::size_t n) {
  if (n) EVP_DigestUpdate(impl_->ctx, data, n);
}

std::string Sha256::hex() {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_DigestFinal_ex(impl_->ctx, d, &len);
  EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr);
  return to_hex(d, len);
}

std::string sha256_hex(const void* data, std::size_t n) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(data, n, d, &len, EVP_sha256(), nullptr);
  return to_hex(d, len);
}

}  // namespace plat
