// Builds real zip archives for the tests with minizip's writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace engine_test {

struct ZipMember {
  std::string name;          // as stored; folders end in "/"
  std::string data;          // contents (empty for folders)
  std::uint32_t unix_mode = 0;  // stored in the upper 16 bits of the external attributes when set
  bool bad_crc = false;      // store the data with a wrong checksum
  bool stored = false;       // store the data as it is (no compression)
};

// Writes the members, in order, to a new archive at `path`. Returns false
// when the writer failed.
bool make_zip(const std::string& path, const std::vector<ZipMember>& members);

}  // namespace engine_test
