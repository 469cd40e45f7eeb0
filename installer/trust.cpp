#include "installer/trust.h"

#include <chrono>

#include "installer/main.h"
#include "platform/file.h"
#include "platform/sha256.h"
#include "support/UTL_cmdline.h"
#include "prefs/pref.h"
#include "support/hl_init.h"
#include "support/text.h"

#ifndef SKYVANE_RELEASE_KEYS
#define SKYVANE_RELEASE_KEYS ""
#endif

rsig::statement trust_statement;

namespace {

std::vector<std::string> g_keys;

std::int64_t now_utc() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool trust_read_file(const std::string& path, std::string& out, std::size_t limit) {
  out.clear();
  plat::File f;
  if (plat::file_open_read(path, f) != 0) return false;
  char buf[16384];
  for (;;) {
    std::size_t got = 0;
    if (plat::file_read(f, buf, sizeof buf, got) != 0) return false;
    if (got == 0) break;
    if (out.size() + got > limit) return false;
    out.append(buf, got);
  }
  return true;
}

bool trust_init(std::string& err) {
  g_keys.clear();
  const std::string built = SKYVANE_RELEASE_KEYS;
  for (std::size_t at = 0; at <= built.size();) {
    std::size_t comma = built.find(',', at);
    if (comma == std::string::npos) comma = built.size();
    const std::string b64 = built.substr(at, comma - at);
    std::string k;
    if (!b64.empty()) {
      if (!rsig::key_parse_public(b64, k)) {
        err = "The build's release key '" + b64 + "' is not an Ed25519 public key in base64.";
        return false;
      }
      g_keys.push_back(k);
    }
    at = comma + 1;
  }
  for (const std::string& b64 : cmdline.get_all("--release_key")) {
    std::string k;
    if (!rsig::key_parse_public(b64, k)) {
      err = "--release_key='" + printable_text(b64) + "' is not an Ed25519 public key in base64.";
      return false;
    }
    g_keys.push_back(k);
  }
  if (g_keys.empty())
    xer << "Releases are not checked: this installer trusts no publisher's key.\n";
  else
    xer << "Releases are checked: this installer trusts " << g_keys.size() << " publisher key"
        << (g_keys.size() == 1 ? "" : "s") << ".\n";
  return true;
}

bool trust_required() { return !g_keys.empty(); }

const std::vector<std::string>& trusted_keys() { return g_keys; }

std::string trust_check_list(const std::string& statement_path, const std::string& list_path,
                             const std::string& host) {
  std::string text, list;
  rsig::statement st;
  if (!trust_read_file(statement_path, text, rsig::kStatementMax))
    return rsig::refusal_text(rsig::verdict::not_signed, st);
  if (!trust_read_file(list_path, list, 1u << 20)) return rsig::refusal_text(rsig::verdict::list_changed, st);
  std::uint64_t& seen = release_serials[host];
  const rsig::verdict v = rsig::statement_check(text, list, g_keys, now_utc(), seen, st);
  if (v != rsig::verdict::ok) {
    xer << "Server list: refused (" << rsig::refusal_text(v, st) << ")";
    if (v == rsig::verdict::older) xer << " serial " << st.serial << " after " << seen;
    xer << ".\n";
    return rsig::refusal_text(v, st);
  }
  seen = st.serial;
  trust_statement = st;
  xer << "Server list: signed, serial " << st.serial;
  if (st.has_expiry) xer << ", expires " << rsig::utc_text(st.expires);
  xer << ".\n";
  return "";
}

std::string trust_check_directory(const std::string& version, const std::string& dir_path,
                                  const std::string& list_path, const std::string& server) {
  const std::string refused = "The directory file from " + printable_text(server) + " is not the one the publisher signed.";
  const rsig::signed_version* v = trust_statement.find(version);
  std::string dir, list;
  const char* why = nullptr;
  if (!v)
    why = "the statement names no such version";
  else if (!trust_read_file(dir_path, dir, std::size_t(1) << 31))
    why = "the directory file cannot be read";
  else if (plat::sha256_hex(dir.data(), dir.size()) != v->directory_sha256)
    why = "directory.txt differs";
  else if (list_path.empty() || !trust_read_file(list_path, list, std::size_t(1) << 31))
    why = "the list of file digests is missing";
  else if (plat::sha256_hex(list.data(), list.size()) != v->files_sha256)
    why = "the list of file digests differs";
  if (!why) return "";
  xer << "Directory file: from " << printable_text(server) << " for '" << printable_text(version) << "': " << why
      << "; refused.\n";
  return refused;
}

void trust_reset() {
  g_keys.clear();
  trust_statement = rsig::statement{};
}
