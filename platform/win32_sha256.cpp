// SHA-256 through the Windows cryptography API (bcrypt).
#include "platform/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>

namespace plat {

namespace {

constexpr ULONG kDigestBytes = 32;

std::string to_hex(const unsigned char* d, unsigned n) {
  static const char kHex[] = "0123456789abcdef";
  std::string s(static_cast<std::size_t>(n) * 2, '0');
  for (unsigned i = 0; i < n; ++i) {
    s[2 * i] = kHex[d[i] >> 4];
    s[2 * i + 1] = kHex[d[i] & 15];
  }
  return s;
}

// The algorithm provider, opened once for the process (its handle may be
// shared by threads).
BCRYPT_ALG_HANDLE provider() {
  static const BCRYPT_ALG_HANDLE alg = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) std::abort();
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

struct Sha256::Impl {
  BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256::Sha256() : impl_(new Impl) { impl_->hash = new_hash(); }

Sha256::~Sha256() { BCryptDestroyHash(impl_->hash); }

void Sha256::add(const void* data, std::size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    const ULONG chunk = n > (1u << 30) ? (1u << 30) : static_cast<ULONG>(n);
    BCryptHashData(impl_->hash, const_cast<PUCHAR>(p), chunk, 0);
    p += chunk;
    n -= chunk;
  }
}

std::string Sha256::hex() {
  unsigned char d[kDigestBytes];
  BCryptFinishHash(impl_->hash, d, kDigestBytes, 0);
  BCryptDestroyHash(impl_->hash);
  impl_->hash = new_hash();
  return to_hex(d, kDigestBytes);
}

std::string sha256_hex(const void* data, std::size_t n) {
  Sha256 s;
  s.add(data, n);
  return s.hex();
}

}  // namespace plat
