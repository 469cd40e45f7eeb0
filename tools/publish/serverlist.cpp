#include "tools/publish/serverlist.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <cerrno>
#include <chrono>
#include <random>
#include <set>
#include <sstream>

#include "engine/release_sig.h"
#include "platform/file.h"
#include "platform/sha256.h"
#include "tools/publish/archive.h"
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

namespace {

bool read_whole(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return !in.bad();
}

// The serial of the statement at `path`, unchecked (0 when there is none).
std::uint64_t previous_serial(const std::string& path) {
  std::string text;
  if (!read_whole(path, text)) return 0;
  const std::size_t at = text.find("\nSERIAL ");
  if (at == std::string::npos) return 0;
  return std::strtoull(text.c_str() + at + 8, nullptr, 10);
}

// The digests of one published version's directory file and per-file list.
bool version_digests(const fs::path& root, const serverlist_options& o, const std::string& name,
                     rsig::signed_version& out, bool& found, std::string& err) {
  found = false;
  std::set<std::string> prefixes;
  for (const server_entry& s : o.servers) prefixes.insert(s.prefix);
  for (const std::string& prefix : prefixes) {
    const fs::path zip = root / prefix.substr(1) / name / "directory.txt.zip";
    std::error_code ec;
    if (!fs::is_regular_file(zip, ec)) continue;
    std::string dir, list, why;
    if (!read_member(zip.string(), "directory.txt", dir, why)) {
      err = "the release " + shown(name) + " at " + zip.string() + " does not read: " + why;
      return false;
    }
    if (!read_member(zip.string(), rsig::kFileListMember, list, why)) {
      err = "the release " + shown(name) + " at " + zip.string() +
            " has no list of file digests: publish it again with --sign";
      return false;
    }
    rsig::signed_version v{name, plat::sha256_hex(dir.data(), dir.size()), plat::sha256_hex(list.data(), list.size())};
    if (found && (v.directory_sha256 != out.directory_sha256 || v.files_sha256 != out.files_sha256)) {
      err = "the release " + shown(name) + " differs between the prefixes of the servers";
      return false;
    }
    out = v;
    found = true;
  }
  return true;
}

}  // namespace

bool key_read(const std::string& path, std::string& seed, std::string& err) {
  std::string text;
  if (!read_whole(path, text)) {
    err = "cannot read the key file " + path;
    return false;
  }
  std::string why;
  if (!rsig::secret_key_parse(text, seed, why)) {
    err = "the key file " + path + " is " + why;
    return false;
  }
  return true;
}

bool keygen_write(const std::string& path, std::string& public_b64, std::string& err) {
  std::string seed, pk;
  if (!rsig::key_generate(seed, pk)) {
    err = "cannot make a key";
    return false;
  }
  plat::File f;
  const int e = plat::file_create_private(path, f);
  if (e != 0) {
    err = e == EEXIST ? path + " exists already; a key file is never overwritten"
                      : "cannot create " + path + ": " + plat::error_text(e);
    return false;
  }
  const std::string text = rsig::secret_key_text(seed);
  const int w = plat::file_write(f, text.data(), text.size());
  const int c = plat::file_close(f);
  if (w != 0 || c != 0) {
    plat::path_remove_file(path);
    err = "cannot write " + path;
    return false;
  }
  public_b64 = rsig::b64_encode(pk);
  return true;
}

bool serverlist_write(const serverlist_options& o, const std::string& path, std::string& err,
                      serverlist_report* report) {
  std::string text;
  if (!serverlist_text(o, text, err)) return false;
  if (!o.sign_key.empty()) {
    std::string seed;
    if (!key_read(o.sign_key, seed, err)) return false;
    const fs::path root = fs::path(path).parent_path().empty() ? fs::path(".") : fs::path(path).parent_path();
    const std::int64_t now = o.now != 0 ? o.now
                                        : std::chrono::duration_cast<std::chrono::seconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count();
    rsig::statement st;
    const std::string sig_path = (root / rsig::kStatementName).string();
    st.serial = o.serial != 0 ? o.serial : std::max<std::uint64_t>(static_cast<std::uint64_t>(now), previous_serial(sig_path) + 1);
    if (o.expires_days > 0) {
      st.has_expiry = true;
      st.expires = now + static_cast<std::int64_t>(o.expires_days) * 86400;
    }
    st.serverlist_sha256 = plat::sha256_hex(text.data(), text.size());
    std::vector<std::string> names{o.beta};
    if (!o.final_name.empty() && o.final_name != o.beta) names.push_back(o.final_name);
    for (std::size_t k = 0; k < names.size(); ++k) {
      rsig::signed_version v;
      bool found = false;
      if (!version_digests(root, o, names[k], v, found, err)) return false;
      if (!found) {
        if (k == 0) {
          err = "the release " + shown(names[k]) + " is not under " + root.string() +
                " at any server's prefix; publish it there first (with --sign)";
          return false;
        }
        if (report) report->warnings.push_back("the FINAL release " + shown(names[k]) + " is not under " +
                                               root.string() + "; the statement does not name it");
        continue;
      }
      st.versions.push_back(v);
      if (report) report->signed_versions.push_back(names[k]);
    }
    if (!write_file_atomic(sig_path, rsig::statement_text(st, seed), err)) return false;
    if (report) report->serial = st.serial;
  }
  return write_file_atomic(path, text, err);
}

}  // namespace pub
