// SHA-256 digests (FIPS 180-4), computed by the system's own library:
// OpenSSL's libcrypto on POSIX systems (which uses the processor's SHA
// instructions where there are any), the cryptography API (bcrypt) on
// Windows. The same incremental interface as the MD5 digests, so that a
// file can be hashed block by block while it is read or written.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace plat {

class Sha256 {
 public:
  Sha256();  // ready for the first add()
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Feeds the next n bytes.
  void add(const void* data, std::size_t n);
  // The digest of everything added since construction or the last hex(), as
  // 64 lower-case hexadecimal digits; the object is then ready for a new
  // stream.
  std::string hex();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The digest of one block of memory, as 64 lower-case hexadecimal digits.
std::string sha256_hex(const void* data, std::size_t n);

}  // namespace plat
