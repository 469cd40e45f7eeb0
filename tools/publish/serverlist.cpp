#include "tools/publish/serverlist.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "tools/publish/names.h"

namespace pub {

namespace fs = std::filesystem;

bool serverlist_text(const serverlist_options& o, std::string& text, std::string& err) {
  std::string p = version_name_problem(o.beta);
  if (!p.empty()) {
    err = "the BETA version name " + shown(o.beta) + " is not usable: " + p;
    return false;
  }
  std::string final_name = o.final_name.empty() ? o.beta : o.final_name;
  p = version_name_problem(final_name);
  if (!p.empty()) {
    err = "the FINAL version name " + shown(final_name) + " is not usable: " + p;
    return false;
  }
  if (o.servers.empty()) {
    err = "a server list needs at least one server";
    return false;
  }
  if (o.servers.size() > 10) {
    err = "a server list holds at most ten servers (the installer ignores the rest), " +
          std::to_string(o.servers.size()) + " were given";
    return false;
  }
  text = "I\n820\nSERVERS\nBETA " + o.beta + "\nFINAL " + final_name + "\n";
  for (std::size_t k = 0; k < o.servers.size(); ++k) {
    const server_entry& s = o.servers[k];
    std::string which = "server " + std::to_string(k + 1) + ": ";
    if (!(p = host_problem(s.host)).empty()) {
      err = which + "host " + shown(s.host) + ": " + p;
      return false;
    }
    if (!(p = prefix_problem(s.prefix)).empty()) {
      err = which + "path prefix " + shown(s.prefix) + ": " + p;
      return false;
    }
    if (!(p = description_problem(s.description)).empty()) {
      err = which + "description " + shown(s.description) + ": " + p;
      return false;
    }
    text += "SERVER " + s.host + "\n" + s.prefix + "\n" + s.description + "\n";
  }
  text += "ENDOFLIST\n";
  return true;
}

bool write_file_atomic(const std::string& path, const std::string& bytes, std::string& err) {
  std::random_device rd;
  char tag[16];
  std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(rd()));
  std::string tmp = path + ".tmp-" + tag;
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ec;
      fs::remove(tmp, ec);
      err = "cannot write " + tmp;
      return false;
    }
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  if (ec) {
    fs::remove(tmp, ec);
    err = "cannot move the new file into place at " + path;
    return false;
  }
  return true;
}

bool serverlist_write(const serverlist_options& o, const std::string& path, std::string& err) {
  std::string text;
  if (!serverlist_text(o, text, err)) return false;
  return write_file_atomic(path, text, err);
}

}  // namespace pub
