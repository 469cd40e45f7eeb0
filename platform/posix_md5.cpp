// MD5 through OpenSSL's EVP interface.
#include "platform/md5.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace plat {

struct Md5::Impl {
  EVP_MD_CTX* ctx = nullptr;
};

Md5::Md5() : impl_(new Impl) {
  impl_->ctx = EVP_MD_CTX_new();
  // Without a context no digest can be made at all; every later signature
  // would be wrong, so this is not a recoverable state.
  if (!impl_->ctx || EVP_DigestInit_ex(impl_->ctx, EVP_md5(), nullptr) != 1) std::abort();
}

Md5::~Md5() { EVP_MD_CTX_free(impl_->ctx); }

void Md5::add(const void* data, std::size_t n) {
  if (n) EVP_DigestUpdate(impl_->ctx, data, n);
}

std::string Md5::hex() {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_DigestFinal_ex(impl_->ctx, d, &len);
  EVP_DigestInit_ex(impl_->ctx, EVP_md5(), nullptr);
  return digest_hex(d, len);
}

void Md5::reset() { EVP_DigestInit_ex(impl_->ctx, EVP_md5(), nullptr); }

std::string md5_hex(const void* data, std::size_t n) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(data, n, d, &len, EVP_md5(), nullptr);
  return digest_hex(d, len);
}

}  // namespace plat
