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
};

// The text of the list; false with `err` when an entry cannot be carried
// (no servers, more than ten, a bad host, prefix, description or name).
bool serverlist_text(const serverlist_options& o, std::string& text, std::string& err);

// Writes the list to `path` through a temporary file beside it, so that a
// server never hands out half a list.
bool serverlist_write(const serverlist_options& o, const std::string& path, std::string& err);

// Writes `bytes` to `path` through a temporary file beside it and a rename.
bool write_file_atomic(const std::string& path, const std::string& bytes, std::string& err);

}  // namespace pub
