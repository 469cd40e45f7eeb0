// The zip archives of a release: one archive per file whose single member is
// the file, named by its last component (the installer extracts it into the
// file's folder), and the check that reads an archive back and hashes its
// member.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pub {

// What packing one file produced.
struct packed {
  std::string md5;           // of the file's contents, 32 lower-case hex digits
  std::string sha256;        // of the same, 64 lower-case hex digits
  std::uint64_t file_bytes = 0;
  std::uint64_t zip_bytes = 0;  // size of the archive file
};

// Writes `zip_path` holding `src` as its one member named `member`, hashing
// the contents on the way. The member is deflated, or stored when deflating
// does not make it smaller. `expected_bytes` is the size the file had when
// the tree was listed: a file that changes size while it is read is an
// error (the release would not match the tree). Returns false with `err`.
bool pack_file(const std::string& src, const std::string& zip_path, const std::string& member,
               std::uint64_t expected_bytes, packed& out, std::string& err);

// Writes `zip_path` holding `bytes` as its one member named `member`.
bool pack_bytes(const std::string& bytes, const std::string& zip_path, const std::string& member, std::string& err);

// Writes `zip_path` holding the members given (name, contents), in order.
bool pack_members(const std::vector<std::pair<std::string, std::string>>& members, const std::string& zip_path,
                  std::string& err);

// Checks that `zip_path` holds exactly one member, named `member`, whose
// contents (CRC checked by the reader) have the MD5 `md5` and `file_bytes`
// bytes. Returns false with `err` saying what differs.
bool check_archive(const std::string& zip_path, const std::string& member, const std::string& md5,
                   std::uint64_t file_bytes, std::string& err);

// Reads the member `member` of `zip_path` (which may hold others) whole into `out` (at most
// `limit` bytes). Returns false with `err`.
bool read_member(const std::string& zip_path, const std::string& member, std::string& out, std::string& err,
                 std::uint64_t limit = 512u << 20);

// MD5 of a block of bytes as 32 lower-case hex digits.
std::string md5_of(const std::string& bytes);

}  // namespace pub
