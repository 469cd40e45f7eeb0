// The server list "serverlist.txt" that the installer fetches from its
// server-list host at "/serverlist.txt":
//
//   I
//   820
//   SERVERS
//   BETA <version the installer installs>
//   FINAL <latest full version>
//   SERVER <host>          three lines per server, at most ten servers
//   <path prefix>          begins and ends with "/"; the installer appends
//   <description>          the version name and "/" to it
//   ENDOFLIST
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pub {

struct server_entry {
  std::string host;    // host name or address, optionally ":port"
  std::string prefix;  // path prefix on that host, "/" ... "/"
  std::string description;
};

struct serverlist_options {
  std::string beta;        // version name on the BETA line (required)
  std::string final_name;  // version name on the FINAL line (the BETA name when empty)
  std::vector<server_entry> servers;
  // Signing: the secret key file (empty: the list is not signed), the days
  // the statement holds (0: no expiry), its serial (0: the time now in
  // seconds, or one above the serial of the statement it replaces when that
  // is higher).
  std::string sign_key;
  int expires_days = 0;
  std::uint64_t serial = 0;
  std::int64_t now = 0;  // seconds since 1970 UTC; 0: the clock's
};

// What signing reports beyond the files written.
struct serverlist_report {
  std::uint64_t serial = 0;
  std::vector<std::string> signed_versions;
  std::vector<std::string> warnings;
};

// The text of the list; false with `err` when an entry cannot be carried
// (no servers, more than ten, a bad host, prefix, description or name).
bool serverlist_text(const serverlist_options& o, std::string& text, std::string& err);

// Writes the list to `path` through a temporary file beside it, so that a
// server never hands out half a list.
// With `o.sign_key`, first writes the signed statement "serverlist.sig"
// beside it, naming the SHA-256 of the list and, for each version the list
// offers, of its "directory.txt" and "directory.sha256", read from the
// releases under the list's folder (that folder + a server's prefix + the
// version name); the BETA version must be there, published with --sign.
bool serverlist_write(const serverlist_options& o, const std::string& path, std::string& err,
                      serverlist_report* report = nullptr);

// Writes a new secret key to `path` (never over an existing file; readable
// by its owner only) and gives its public key as base64.
bool keygen_write(const std::string& path, std::string& public_b64, std::string& err);

// Reads a secret key file: its 32-byte seed.
bool key_read(const std::string& path, std::string& seed, std::string& err);

// Writes `bytes` to `path` through a temporary file beside it and a rename.
bool write_file_atomic(const std::string& path, const std::string& bytes, std::string& err);

}  // namespace pub
