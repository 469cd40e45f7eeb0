// MD5 digests (RFC 1321), computed by the system's own library: OpenSSL's
// libcrypto on POSIX systems, the cryptography API (bcrypt) on Windows.
// One incremental interface, so that a file can be hashed while it is read
// or written, block by block, without a second pass.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace plat {

class Md5 {
 public:
  Md5();  // ready for the first add()
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  // Feeds the next n bytes.
  void add(const void* data, std::size_t n);
  // The digest of everything added since construction or the last reset, as
  // 32 lower-case hexadecimal digits; the object is then ready for a new
  // stream (as if just made).
  std::string hex();
  // Forgets everything added.
  void reset();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The digest of one block of memory, as 32 lower-case hexadecimal digits.
std::string md5_hex(const void* data, std::size_t n);

// The bytes of a digest as lower-case hexadecimal digits, two a byte.
std::string digest_hex(const unsigned char* d, std::size_t n);

}  // namespace plat
