// skyvane-publish: turns a folder tree into a release on the server layout
// the installer reads, and writes the server list.
//
//   skyvane-publish release --tree DIR --version NAME --out DIR [options]
//   skyvane-publish serverlist --out FILE --beta NAME [--final NAME]
//                   --server HOST PREFIX DESCRIPTION [--server ...]
//                   [--sign KEYFILE [--expires DAYS] [--serial N]]
//   skyvane-publish keygen --out KEYFILE
//
// Exit status: 0 done, 1 failed (nothing was left half-written), 2 bad usage.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/interrupt.h"
#include "tools/publish/release.h"
#include "tools/publish/serverlist.h"

namespace {

const char kUsage[] =
    "Usage:\n"
    "  skyvane-publish release --tree DIR --version NAME --out DIR [--prefix /PATH/]\n"
    "                  [--previous FILE] [--rules FILE] [--version-number N] [--jobs N] [--replace]\n"
    "                  [--sign KEYFILE]\n"
    "  skyvane-publish serverlist --out FILE --beta NAME [--final NAME]\n"
    "                  --server HOST PREFIX DESCRIPTION [--server HOST PREFIX DESCRIPTION ...]\n"
    "                  [--sign KEYFILE [--expires DAYS] [--serial N]]\n"
    "  skyvane-publish keygen --out KEYFILE\n"
    "\n"
    "release: publishes the tree DIR (its folder name is the installation's top folder) as\n"
    "  OUT + PREFIX + NAME + \"/\": \"directory.txt.zip\" and one zip archive per file.\n"
    "  --prefix      path prefix on the server, beginning and ending with \"/\" (default \"/\")\n"
    "  --previous    the previous release's directory.txt or directory.txt.zip: its history is\n"
    "                carried over, changed files get a new version, removed files a GONE one\n"
    "  --rules       file of rules \"os=N [use=N] PATTERN\" giving os_type and use_type by glob\n"
    "                pattern below the top folder (*, ?, [..], **; without \"/\" the pattern\n"
    "                matches the file name anywhere; the last matching rule wins; default 0)\n"
    "  --version-number  number written on this release's new versions (default: one above\n"
    "                the previous file's highest, or 1)\n"
    "  --jobs        worker threads (default: one per processor)\n"
    "  --replace     replace an existing release of the same name\n"
    "  --sign        a signed release: the directory archive also lists the SHA-256 of every file\n"
    "serverlist: writes the server list (FILE, or FILE/serverlist.txt when FILE is a folder).\n"
    "  HOST is a host name or address with an optional \":PORT\"; PREFIX the release's path\n"
    "  prefix on it (the installer appends the version name); DESCRIPTION one line.\n"
    "  --sign        also write the signed statement serverlist.sig beside the list, naming the\n"
    "                SHA-256 of the list and of each offered release (read from the releases\n"
    "                under the list's folder, published with --sign)\n"
    "  --expires     days until installers refuse the statement (default: it does not expire)\n"
    "  --serial      the statement's serial (default: the time now in seconds)\n"
    "keygen: writes a new secret key to KEYFILE (readable by its owner only, never over an\n"
    "  existing file) and prints its public key, base64, on standard output.\n";

int usage(const std::string& why) {
  std::fprintf(stderr, "skyvane-publish: %s\n\n%s", why.c_str(), kUsage);
  return 2;
}

int fail(const std::string& err) {
  std::fprintf(stderr, "skyvane-publish: error: %s\n", err.c_str());
  return 1;
}

// Takes the value of "--name VALUE" or "--name=VALUE" at args[i].
bool take(const std::vector<std::string>& args, std::size_t& i, const std::string& name, std::string& value,
          bool& missing) {
  const std::string& a = args[i];
  if (a == name) {
    if (i + 1 >= args.size()) {
      missing = true;
      return true;
    }
    value = args[++i];
    return true;
  }
  if (a.compare(0, name.size() + 1, name + "=") == 0) {
    value = a.substr(name.size() + 1);
    return true;
  }
  return false;
}

bool parse_count(const std::string& text, int& out) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  out = std::stoi(text);
  return true;
}

std::string megabytes(std::uint64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

int run_release(const std::vector<std::string>& args) {
  pub::release_options o;
  std::string version_number, jobs, key;
  for (std::size_t i = 0; i < args.size(); ++i) {
    bool missing = false;
    if (take(args, i, "--tree", o.tree, missing) || take(args, i, "--version", o.version_name, missing) ||
        take(args, i, "--out", o.out_root, missing) || take(args, i, "--prefix", o.prefix, missing) ||
        take(args, i, "--previous", o.previous, missing) || take(args, i, "--rules", o.rules, missing) ||
        take(args, i, "--version-number", version_number, missing) || take(args, i, "--jobs", jobs, missing) ||
        take(args, i, "--sign", key, missing)) {
      if (missing) return usage(args[i] + " needs a value");
      continue;
    }
    if (args[i] == "--replace") {
      o.replace = true;
      continue;
    }
    return usage("unknown argument \"" + args[i] + "\"");
  }
  if (o.tree.empty() || o.version_name.empty() || o.out_root.empty())
    return usage("release needs --tree, --version and --out");
  if (!version_number.empty() && !parse_count(version_number, o.version_num))
    return usage("--version-number takes a whole number");
  if (!jobs.empty() && (!parse_count(jobs, o.jobs) || o.jobs < 1)) return usage("--jobs takes a number from 1 up");

  pub::release_report r;
  std::string err;
  if (!key.empty()) {
    // The key signs the statement beside the server list; it is read here so
    // that a wrong key file is found before the work.
    std::string seed;
    if (!pub::key_read(key, seed, err)) return fail(err);
    o.sign = true;
  }
  if (!pub::publish_release(o, r, err)) return fail(err);
  for (const std::string& w : r.warnings) std::fprintf(stderr, "skyvane-publish: warning: %s\n", w.c_str());
  std::printf("Published \"%s\" (release number %d) in %s\n", o.version_name.c_str(), r.version_num,
              r.release_dir.c_str());
  std::printf("  %d files, %s, in %s of archives\n", r.files, megabytes(r.file_bytes).c_str(),
              megabytes(r.zip_bytes).c_str());
  std::printf("  %d added, %d changed, %d unchanged, %d removed\n", r.counts.added, r.counts.changed,
              r.counts.unchanged, r.counts.gone);
  return 0;
}

int run_serverlist(const std::vector<std::string>& args) {
  pub::serverlist_options o;
  std::string out, expires, serial;
  for (std::size_t i = 0; i < args.size(); ++i) {
    bool missing = false;
    if (take(args, i, "--out", out, missing) || take(args, i, "--beta", o.beta, missing) ||
        take(args, i, "--final", o.final_name, missing) || take(args, i, "--sign", o.sign_key, missing) ||
        take(args, i, "--expires", expires, missing) || take(args, i, "--serial", serial, missing)) {
      if (missing) return usage(args[i] + " needs a value");
      continue;
    }
    if (args[i] == "--server") {
      if (i + 3 >= args.size()) return usage("--server needs HOST PREFIX DESCRIPTION");
      o.servers.push_back(pub::server_entry{args[i + 1], args[i + 2], args[i + 3]});
      i += 3;
      continue;
    }
    return usage("unknown argument \"" + args[i] + "\"");
  }
  if (out.empty() || o.beta.empty()) return usage("serverlist needs --out and --beta");
  if ((!expires.empty() || !serial.empty()) && o.sign_key.empty()) return usage("--expires and --serial need --sign");
  if (!expires.empty() && (!parse_count(expires, o.expires_days) || o.expires_days < 1 || o.expires_days > 36500))
    return usage("--expires takes a number of days from 1 to 36500");
  if (!serial.empty()) {
    if (serial.size() > 18 || serial.find_first_not_of("0123456789") != std::string::npos || serial == "0")
      return usage("--serial takes a whole number above 0");
    o.serial = std::stoull(serial);
  }
  std::error_code ec;
  if (std::filesystem::is_directory(out, ec)) out = (std::filesystem::path(out) / "serverlist.txt").string();
  std::string err;
  pub::serverlist_report r;
  if (!pub::serverlist_write(o, out, err, &r)) return fail(err);
  for (const std::string& w : r.warnings) std::fprintf(stderr, "skyvane-publish: warning: %s\n", w.c_str());
  std::printf("Wrote %s: version \"%s\", %zu server%s\n", out.c_str(), o.beta.c_str(), o.servers.size(),
              o.servers.size() == 1 ? "" : "s");
  if (!o.sign_key.empty())
    std::printf("Signed it: serial %llu, %zu version%s\n", static_cast<unsigned long long>(r.serial),
                r.signed_versions.size(), r.signed_versions.size() == 1 ? "" : "s");
  return 0;
}

int run_keygen(const std::vector<std::string>& args) {
  std::string out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    bool missing = false;
    if (take(args, i, "--out", out, missing)) {
      if (missing) return usage(args[i] + " needs a value");
      continue;
    }
    return usage("unknown argument \"" + args[i] + "\"");
  }
  if (out.empty()) return usage("keygen needs --out KEYFILE");
  std::string pk, err;
  if (!pub::keygen_write(out, pk, err)) return fail(err);
  std::printf("%s\n", pk.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  pub::catch_interrupts();
  std::string mode = args[0];
  args.erase(args.begin());
  if (mode == "release") return run_release(args);
  if (mode == "serverlist") return run_serverlist(args);
  if (mode == "keygen") return run_keygen(args);
  return usage("unknown command \"" + mode + "\" (release, serverlist or keygen)");
}
