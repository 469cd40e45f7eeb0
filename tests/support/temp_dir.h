// Helpers shared by the tests: a temporary folder that removes itself, and
// whole-file reads and writes.
#pragma once

#include <string>

namespace testing_support {

// A fresh folder under the system's temporary folder, removed with all its
// contents when the object goes away. path() ends in "/".
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + rel
  std::string operator/(const std::string& rel) const { return path_ + rel; }

 private:
  std::string path_;
};

// Writes `bytes` to `path`, creating its parent folders.
void write_file(const std::string& path, const std::string& bytes);
// The whole contents of `path`; empty when it cannot be read.
std::string read_file(const std::string& path);
bool exists(const std::string& path);
// `n` bytes that do not compress (so that an archive is as large as what it
// holds), the same for the same seed.
std::string noise(std::size_t n, unsigned seed);

// Sets or removes an environment variable of the test process (the C
// library's and the system's copy alike).
void set_env(const std::string& name, const std::string& value);
void unset_env(const std::string& name);

}  // namespace testing_support
