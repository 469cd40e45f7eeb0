// The parts of the system seam that are the same on every system: they read
// texts and numbers the system handed over, and call nothing of it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/md5.h"
#include "platform/socket.h"
#include "platform/system.h"

namespace plat {

std::string digest_hex(const unsigned char* d, std::size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string s(n * 2, '0');
  for (std::size_t i = 0; i < n; ++i) {
    s[2 * i] = kHex[d[i] >> 4];
    s[2 * i + 1] = kHex[d[i] & 15];
  }
  return s;
}

bool net_err_is_disconnect(int err) {
  switch (err) {
    case ECONNREFUSED:
    case ECONNRESET:
    case ECONNABORTED:
    case ENOTCONN:
    case ETIMEDOUT:
    case ENETRESET:
#ifdef ESHUTDOWN
    case ESHUTDOWN:
#endif
    case EPIPE:
      return true;
    default:
      return false;
  }
}

namespace {

// A mount table writes blanks and other bytes of a folder name as "\" and
// three octal digits ("\040").
std::string unescape_mount_path(const std::string& p) {
  std::string out;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (p[i] == '\\' && i + 3 < p.size() && p[i + 1] >= '0' && p[i + 1] <= '7') {
      out += static_cast<char>(std::strtol(p.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      out += p[i];
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> disc_roots_from_mounts(const std::string& mounts) {
  std::vector<std::string> roots;
  std::istringstream in(mounts);
  std::string device, mount_point, fs_type, rest;
  while (in >> device >> mount_point >> fs_type && std::getline(in, rest)) {
    if (fs_type != "iso9660" && fs_type != "udf") continue;
    std::string root = unescape_mount_path(mount_point);
    if (root.empty() || root.back() != '/') root += '/';
    roots.push_back(root);
  }
  return roots;
}

// The tests' stand-in for the message box: the title and text appended to
// the file the environment names. False when none is named.
bool message_box_to_file(const std::string& title, const std::string& text) {
  const char* file = std::getenv("SKYVANE_MESSAGE_BOX_FILE");
  if (!file || !*file) return false;
  if (FILE* f = std::fopen(file, "ab")) {
    std::fprintf(f, "%s\n%s\n", title.c_str(), text.c_str());
    std::fclose(f);
  }
  return true;
}

}  // namespace plat
