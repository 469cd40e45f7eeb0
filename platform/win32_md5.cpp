// MD5 through the Windows cryptography API (bcrypt).
#include "platform/md5.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>

namespace plat {

namespace {

constexpr ULONG kDigestBytes = 16;

// The algorithm provider, opened once for the process (its handle may be
// shared by threads).
BCRYPT_ALG_HANDLE provider() {
  static const BCRYPT_ALG_HANDLE alg = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    // Without it no digest can be made at all; every later signature
    // would be wrong, so this is not a recoverable state.
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_MD5_ALGORITHM, nullptr, 0))) std::abort();
    return h;
  }();
  return alg;
}

BCRYPT_HASH_HANDLE new_hash() {
  BCRYPT_HASH_HANDLE h = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(provider(), &h, nullptr, 0, nullptr, 0, 0))) std::abort();
  return h;
}

}  // namespace

struct Md5::Impl {
  BCRYPT_HASH_HANDLE hash = nullptr;
};

Md5::Md5() : impl_(new Impl) { impl_->hash = new_hash(); }

Md5::~Md5() { BCryptDestroyHash(impl_->hash); }

void Md5::add(const void* data, std::size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    const ULONG chunk = n > (1u << 30) ? (1u << 30) : static_cast<ULONG>(n);
    BCryptHashData(impl_->hash, const_cast<PUCHAR>(p), chunk, 0);
    p += chunk;
    n -= chunk;
  }
}

std::string Md5::hex() {
  unsigned char d[kDigestBytes];
  BCryptFinishHash(impl_->hash, d, kDigestBytes, 0);
  // A finished hash object cannot take more data: a new one starts the
  // next stream.
  BCryptDestroyHash(impl_->hash);
  impl_->hash = new_hash();
  return digest_hex(d, kDigestBytes);
}

void Md5::reset() {
  BCryptDestroyHash(impl_->hash);
  impl_->hash = new_hash();
}

std::string md5_hex(const void* data, std::size_t n) {
  Md5 m;
  m.add(data, n);
  return m.hex();
}

}  // namespace plat
