// [SECTION] options and inputs: checks, the rules, the previous directory file
// [SECTION] the tree: listing and name checks
// [SECTION] packing: one archive per file, on worker threads
// [SECTION] warnings about what installers will make of the release
// [SECTION] self-check: the installer's reader and every archive read back
// [SECTION] publish_release: the whole run, temporary folder to final place
#include "tools/publish/release.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "engine/IO_UTILS.h"
#include "engine/utils.h"
#include "engine/release_sig.h"
#include "platform/file.h"
#include "tools/publish/archive.h"
#include "tools/publish/interrupt.h"
#include "tools/publish/names.h"
#include "tools/publish/rules.h"

namespace pub {

namespace fs = std::filesystem;

namespace {

// Names that the network installer skips when it reads the directory file.
const char* const kNetSkipped[] = {"900 red terrain", "Earth Orbit Textures"};

bool net_skipped(const std::string& name) {
  for (const char* s : kNetSkipped)
    if (name.find(s) != std::string::npos) return true;
  return false;
}

// Paths longer than this cannot be installed anywhere: the installer refuses
// to open paths of 500 characters or more, and the destination comes first.
constexpr std::size_t kMaxPath = 480;
constexpr std::size_t kWarnPath = 400;

std::string random_tag() {
  std::random_device rd;
  char buf[24];
  std::snprintf(buf, sizeof buf, "%08x%08x", static_cast<unsigned>(rd()), static_cast<unsigned>(rd()));
  return buf;
}

std::string with_slash(std::string s) {
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}

// A path as the installer's own functions take it: absolute, "/" between
// folders (a Windows drive prefix keeps its "\").
std::string engine_path(const fs::path& p) { return plat::path_make_absolute(p.string()); }

// Runs `work(i)` for i in [0, n) on `jobs` threads; stops handing out work
// after the first failure (or an interrupt) and returns the first error.
template <typename Work>
bool run_parallel(std::size_t n, int jobs, Work work, std::string& err) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex m;
  std::string first_err;
  auto worker = [&] {
    for (;;) {
      if (failed.load() || interrupted()) return;
      std::size_t i = next.fetch_add(1);
      if (i >= n) return;
      std::string e;
      if (!work(i, e)) {
        std::lock_guard<std::mutex> lock(m);
        if (!failed.exchange(true)) first_err = e;
        return;
      }
    }
  };
  int count = std::max(1, std::min<int>(jobs, static_cast<int>(std::min<std::size_t>(n, 64))));
  std::vector<std::thread> threads;
  for (int k = 1; k < count; ++k) threads.emplace_back(worker);
  worker();
  for (auto& t : threads) t.join();
  if (failed) {
    err = first_err;
    return false;
  }
  if (interrupted()) {
    err = "interrupted";
    return false;
  }
  return true;
}

// ------------------------------------------------------ [SECTION] the tree

struct tree_file {
  std::string rel;   // below the top folder, "/" between folders
  std::string path;  // manifest path: top folder + "/" + rel
  std::uint64_t bytes = 0;
  int os_type = 0;
  int use_type = 0;
  packed result;
};

// Lists the regular files below `root`; refuses links, special files and
// names the release cannot carry, collecting up to a screenful of problems.
bool list_tree(const fs::path& root, const std::string& top, std::vector<tree_file>& files, std::string& err) {
  std::vector<std::string> problems;
  auto problem = [&](const std::string& what) {
    if (problems.size() < 20) problems.push_back(what);
  };
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
  if (ec) {
    err = "cannot list " + root.string() + ": " + ec.message();
    return false;
  }
  for (; it != end; it.increment(ec)) {
    if (ec) break;
    const fs::directory_entry& e = *it;
    std::string rel = e.path().lexically_relative(root).generic_string();
    std::string name = e.path().filename().string();
    std::error_code sec;
    fs::file_status st = e.symlink_status(sec);
    if (sec) {
      problem(shown(rel) + ": cannot read its type: " + sec.message());
      continue;
    }
    if (fs::is_symlink(st)) {
      problem(shown(rel) + " is a symbolic link; a release holds only regular files and folders");
      continue;
    }
    if (fs::is_directory(st)) {
      std::string p = component_problem(name);
      if (!p.empty()) {
        problem("the folder " + shown(rel) + " cannot be published: " + p);
        it.disable_recursion_pending();
      }
      continue;
    }
    if (!fs::is_regular_file(st)) {
      problem(shown(rel) + " is not a regular file (a device, pipe or socket)");
      continue;
    }
    std::string p = leading_name_problem(name);
    if (p.empty() && is_extraction_leftover(name))
      p = "it looks like a half-written file that the installer leaves beside its target while it extracts, and "
          "installers remove such files";
    if (!p.empty()) {
      problem("the file " + shown(rel) + " cannot be published: " + p);
      continue;
    }
    tree_file f;
    f.rel = rel;
    f.path = top + "/" + rel;
    f.bytes = e.file_size(sec);
    if (sec) {
      problem(shown(rel) + ": cannot read its size: " + sec.message());
      continue;
    }
    if (f.path.size() > kMaxPath) {
      problem(shown(rel) + ": the path is " + std::to_string(f.path.size()) +
              " characters long; the installer cannot open paths that long");
      continue;
    }
    if (!manifest_path_is_safe(f.path)) {
      problem(shown(rel) + ": the installer would refuse this path");
      continue;
    }
    files.push_back(std::move(f));
  }
  if (ec) {
    err = "cannot list " + root.string() + ": " + ec.message();
    return false;
  }
  // A file's archive is its name + ".zip": a folder of that name beside it
  // would need the same place on the server.
  std::set<std::string> folder_paths;
  for (const tree_file& f : files)
    for (std::size_t s = f.path.find('/'); s != std::string::npos; s = f.path.find('/', s + 1))
      folder_paths.insert(f.path.substr(0, s));
  for (const tree_file& f : files)
    if (folder_paths.count(f.path + ".zip"))
      problem("the file " + shown(f.rel) + " would be published as " + shown(f.rel + ".zip") +
              ", which is also a folder of the tree");
  if (!problems.empty()) {
    err = "the tree " + root.string() + " holds names or files that cannot be published:";
    for (const std::string& p : problems) err += "\n  " + p;
    return false;
  }
  if (files.empty()) {
    err = "the tree " + root.string() + " holds no files";
    return false;
  }
  std::sort(files.begin(), files.end(), [](const tree_file& a, const tree_file& b) { return path_less(a.path, b.path); });
  return true;
}

// Names that some installers could not hold, once the rules have given each
// file its system: paths that differ only in letter case (one file where
// names ignore case, as on Windows and macOS), and, for files that Windows
// installs (system 0 or 2), names Windows cannot hold (every folder and file
// name of the path). Collects up to a screenful of problems.
bool check_installable_names(const std::vector<tree_file>& files, std::string& err) {
  std::vector<std::string> problems;
  auto problem = [&](const std::string& what) {
    if (problems.size() < 20) problems.push_back(what);
  };
  std::map<std::string, std::string> folded;
  std::set<std::string> told;
  for (const tree_file& f : files) {
    std::string low = f.path;
    for (char& c : low) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto [it, fresh] = folded.emplace(low, f.path);
    if (!fresh)
      problem(shown(it->second) + " and " + shown(f.path) +
              " differ only in case: on Windows and macOS they are the same file, and one would be lost");
    if (f.os_type != 0 && f.os_type != 2) continue;
    std::size_t start = 0;
    while (start <= f.rel.size()) {
      const std::size_t slash = f.rel.find('/', start);
      const bool last = slash == std::string::npos;
      const std::string part = f.rel.substr(start, last ? std::string::npos : slash - start);
      const std::string p = plat::windows_name_problem(part);
      const std::string where = last ? f.rel : f.rel.substr(0, slash);
      if (!p.empty() && told.insert(where).second)
        problem(std::string(last ? "the file " : "the folder ") + shown(where) + " cannot be published: " + p +
                " (Windows installs it; a rule giving it to another system only allows it)");
      if (last) break;
      start = slash + 1;
    }
  }
  if (problems.empty()) return true;
  err = "the tree holds names that installers cannot hold:";
  for (const std::string& p : problems) err += "\n  " + p;
  return false;
}

// -------------------------------------------- [SECTION] warnings about the release

void collect_warnings(const std::vector<tree_file>& files, const manifest* prev, const std::vector<rule>& rules, std::vector<std::string>& warnings) {
  // Names that the network installer leaves out.
  for (const tree_file& f : files)
    for (const char* s : kNetSkipped)
      if (name_of(f.path).find(s) != std::string::npos) {
        warnings.push_back(shown(f.path) + " will not be installed over the network: the installer skips file names holding \"" +
                           s + "\"");
        break;
      }
  // Long paths leave little room for the destination folder.
  for (const tree_file& f : files)
    if (f.path.size() > kWarnPath)
      warnings.push_back(shown(f.path) + " is " + std::to_string(f.path.size()) +
                         " characters long; installs into deep destination folders will fail on it");
  // A path that was a file and is now a folder (or the other way round): an
  // update from the previous release must delete one before making the other.
  if (prev) {
    std::set<std::string> now_files, now_folders;
    for (const tree_file& f : files) {
      now_files.insert(f.path);
      for (std::size_t s = f.path.find('/'); s != std::string::npos; s = f.path.find('/', s + 1))
        now_folders.insert(f.path.substr(0, s));
    }
    for (const history& h : prev->files) {
      if (h.versions.back().sig == "GONE") continue;
      if (now_folders.count(h.path))
        warnings.push_back(shown(h.path) + " was a file and is now a folder; installers updating from the previous release may fail on it");
      for (std::size_t s = h.path.find('/'); s != std::string::npos; s = h.path.find('/', s + 1))
        if (now_files.count(h.path.substr(0, s)) && !now_folders.count(h.path.substr(0, s))) {
          warnings.push_back(shown(h.path.substr(0, s)) +
                             " was a folder and is now a file; installers updating from the previous release may fail on it");
          break;
        }
    }
  }
  for (const rule& r : rules)
    if (r.matches == 0)
      warnings.push_back("the rule on line " + std::to_string(r.line) + " (" + shown(r.pattern) + ") decides no file");
}

// --------------------------------------------------------------- [SECTION] self-check

// What the installer's reader must produce from the manifest: the same
// histories, less the names the network installer skips.
std::vector<const history*> expected_for_installer(const manifest& m) {
  std::vector<const history*> out;
  for (const history& h : m.files)
    if (!net_skipped(name_of(h.path))) out.push_back(&h);
  return out;
}

std::string describe(const std::string& path, std::size_t k) {
  return shown(path) + " version " + std::to_string(k + 1);
}

// Reads the written directory.txt.zip back the way the installer does: the
// installer's extraction, then its reader; compares with `m`.
bool check_with_installer_reader(const std::string& dir_zip, const manifest& m, std::string& err) {
  std::error_code ec;
  fs::path scratch = fs::temp_directory_path(ec) / (".skyvane-publish-check-" + random_tag());
  if (ec || !fs::create_directory(scratch, ec) || ec) {
    err = "cannot make a scratch folder to check the directory file";
    return false;
  }
  struct cleanup {
    fs::path p;
    ~cleanup() {
      std::error_code e;
      fs::remove_all(p, e);
    }
  } guard{scratch};

  int rc = zip_to_file(dir_zip, with_slash(engine_path(scratch)));
  if (rc != 0) {
    err = "the installer cannot extract " + dir_zip + ": " + error_str(rc);
    return false;
  }
  std::string text_path = engine_path(scratch / "directory.txt");
  int read = read_directory_no_scan(text_path, "Checking the published directory file...");
  if (read != 3) {
    err = "the installer's reader rejects the directory file (result " + std::to_string(read) + ")";
    engine_state_reset();
    return false;
  }
  std::vector<const history*> want = expected_for_installer(m);
  bool ok = true;
  if (sim_info.files.size() != want.size()) {
    err = "the installer reads " + std::to_string(sim_info.files.size()) + " paths, " + std::to_string(want.size()) +
          " were written";
    ok = false;
  }
  for (std::size_t i = 0; ok && i < want.size(); ++i) {
    const history& h = *want[i];
    const auto& got = sim_info.files[i].versions;
    if (got.size() != h.versions.size()) {
      err = "the installer reads " + std::to_string(got.size()) + " versions of " + shown(h.path) + ", " +
            std::to_string(h.versions.size()) + " were written";
      ok = false;
      break;
    }
    for (std::size_t k = 0; k < got.size(); ++k) {
      const version& v = h.versions[k];
      const file_version_struct& g = got[k];
      if (g.path != h.path) {
        err = "the installer reads the path " + shown(g.path) + " where " + shown(h.path) + " was written";
      } else if (g.use_type != v.use_type || g.os_type != v.os_type || g.version_num != v.version_num ||
                 g.down_size != v.down_size || g.disk_size != v.disk_size ||
                 g.sig_want != v.sig) {
        err = "the installer reads other fields for " + describe(h.path, k) + " than were written";
      } else {
        continue;
      }
      ok = false;
      break;
    }
  }
  engine_state_reset();
  return ok;
}

// ------------------------------------------------------- [SECTION] options and inputs

bool read_whole(const std::string& path, std::string& out, std::string& err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err = "cannot read " + path;
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

}  // namespace

bool load_manifest(const std::string& path, manifest& out, std::string& err) {
  std::string text;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    err = "the previous directory file " + path + " does not exist";
    return false;
  }
  bool zipped = path.size() >= 4 && path.compare(path.size() - 4, 4, ".zip") == 0;
  std::string why;
  if (zipped ? !read_member(path, "directory.txt", text, why) : !read_whole(path, text, why)) {
    err = "the previous directory file " + path + " does not read: " + why;
    return false;
  }
  if (!manifest_parse(text, out, why)) {
    err = "the previous directory file " + path + " does not read: " + why;
    return false;
  }
  return true;
}

// ------------------------------------------------------------ [SECTION] publish_release

bool publish_release(const release_options& o, release_report& report, std::string& err) {
  report = release_report{};
  std::string p;
  if (!(p = version_name_problem(o.version_name)).empty()) {
    err = "the version name " + shown(o.version_name) + " is not usable: " + p;
    return false;
  }
  if (!(p = prefix_problem(o.prefix)).empty()) {
    err = "the path prefix " + shown(o.prefix) + " is not usable: " + p;
    return false;
  }
  std::error_code ec;
  if (o.tree.empty() || !fs::is_directory(o.tree, ec)) {
    err = "the tree " + shown(o.tree) + " is not a folder";
    return false;
  }
  fs::path root = fs::absolute(o.tree, ec).lexically_normal();
  if (root.filename().empty()) root = root.parent_path();
  std::string top = root.filename().string();
  if (top == "directory.txt.zip") p = "the release's directory file has that name";
  if (top.empty() || !p.empty() || !(p = leading_name_problem(top)).empty()) {
    err = "the tree's folder name " + shown(top) + " cannot be the installation's top folder: " +
          (p.empty() ? "it has none" : p);
    return false;
  }
  if (o.out_root.empty()) {
    err = "no output folder given";
    return false;
  }

  std::vector<rule> rules;
  if (!o.rules.empty() && !rules_load(o.rules, rules, err)) return false;

  manifest prev;
  bool have_prev = !o.previous.empty();
  if (have_prev) {
    if (!load_manifest(o.previous, prev, err)) return false;
    for (const history& h : prev.files)
      if (h.path.compare(0, top.size() + 1, top + "/") != 0) {
        err = "the previous directory file " + o.previous + " lists " + shown(h.path) +
              ", which is not below this tree's top folder " + shown(top) +
              " (both would be installed to the same place)";
        return false;
      }
  }
  report.version_num = o.version_num >= 0 ? o.version_num : (have_prev ? manifest_top_version(prev) + 1 : 1);

  // Where the release goes, and the temporary folder beside it.
  fs::path base = fs::path(o.out_root) / o.prefix.substr(1);
  {
    // Publishing into the tree itself would publish earlier releases as files.
    std::string b = fs::weakly_canonical(base, ec).generic_string() + "/";
    std::string t = fs::weakly_canonical(root, ec).generic_string() + "/";
    if (b.compare(0, t.size(), t) == 0) {
      err = "the output folder " + base.string() + " lies inside the tree " + root.string();
      return false;
    }
  }
  std::vector<tree_file> files;
  if (!list_tree(root, top, files, err)) return false;
  for (tree_file& f : files) rules_apply(rules, f.rel, f.os_type, f.use_type);
  if (!check_installable_names(files, err)) return false;
  if (o.after_listing) o.after_listing();

  fs::create_directories(base, ec);
  if (ec || !fs::is_directory(base)) {
    err = "cannot make the output folder " + base.string();
    return false;
  }
  fs::path final_dir = base / o.version_name;
  if (fs::exists(fs::symlink_status(final_dir, ec)) && !o.replace) {
    err = "a release named " + shown(o.version_name) + " already exists at " + final_dir.string() +
          " (give --replace to replace it)";
    return false;
  }
  fs::path tmp = base / (".publish-" + random_tag());
  if (!fs::create_directory(tmp, ec) || ec) {
    err = "cannot make the temporary folder " + tmp.string();
    return false;
  }
  struct remover {
    fs::path p;
    bool keep = false;
    ~remover() {
      if (keep) return;
      std::error_code e;
      fs::remove_all(p, e);
    }
  } tmp_guard{tmp};
  std::string tmp_s = with_slash(engine_path(tmp));

  // Folders first, then the archives on worker threads.
  std::set<std::string> folders;
  for (const tree_file& f : files) folders.insert(folder_of(f.path));
  for (const std::string& f : folders) {
    fs::create_directories(tmp_s + f, ec);
    if (ec) {
      err = "cannot make " + tmp_s + f + ": " + ec.message();
      return false;
    }
  }
  int jobs = o.jobs > 0 ? o.jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (!run_parallel(
          files.size(), jobs,
          [&](std::size_t i, std::string& e) {
            tree_file& f = files[i];
            return pack_file(engine_path(root / f.rel), tmp_s + f.path + ".zip", name_of(f.path), f.bytes, f.result, e);
          },
          err))
    return false;

  std::vector<current_file> now;
  now.reserve(files.size());
  for (const tree_file& f : files) {
    now.push_back(current_file{f.path, f.result.md5, thousands_up(f.result.zip_bytes), thousands_up(f.bytes),
                               f.os_type, f.use_type});
    report.file_bytes += f.bytes;
    report.zip_bytes += f.result.zip_bytes;
  }
  report.files = static_cast<int>(files.size());
  manifest m = manifest_merge(have_prev ? &prev : nullptr, now, report.version_num, report.counts);
  collect_warnings(files, have_prev ? &prev : nullptr, rules, report.warnings);

  std::string text = manifest_text(m);
  std::string dir_zip = tmp_s + "directory.txt.zip";
  // A signed release carries the SHA-256 of every file beside the directory
  // file, whose bytes stay what an unsigned publication writes.
  std::string hashes;
  if (o.sign) {
    std::map<std::string, const std::string*> sha_of;
    for (const tree_file& f : files) sha_of[f.path] = &f.result.sha256;
    std::vector<rsig::file_hash> list;
    for (const history& h : m.files) {
      auto it = sha_of.find(h.path);
      if (it != sha_of.end()) list.push_back(rsig::file_hash{*it->second, h.path});
    }
    hashes = rsig::file_list_text(list);
  }
  if (!(o.sign ? pack_members({{"directory.txt", text}, {rsig::kFileListMember, hashes}}, dir_zip, err)
               : pack_bytes(text, dir_zip, "directory.txt", err)))
    return false;

  // Self-check: our own strict reading and the installer's reader of the
  // directory file, then every archive unpacked and hashed.
  {
    std::string back, why;
    manifest again;
    if (!read_member(dir_zip, "directory.txt", back, why) || back != text || !manifest_parse(back, again, why)) {
      err = "self-check: the directory file does not read back: " + why;
      return false;
    }
    std::vector<rsig::file_hash> list_back;
    if (o.sign && (!read_member(dir_zip, rsig::kFileListMember, back, why) || back != hashes ||
                   !rsig::file_list_parse(back, list_back, why) || list_back.size() != files.size())) {
      err = "self-check: the list of file digests does not read back: " + why;
      return false;
    }
    for (std::size_t i = 0; i < m.files.size(); ++i)
      if (again.files.size() != m.files.size() || again.files[i].path != m.files[i].path ||
          again.files[i].versions != m.files[i].versions) {
        err = "self-check: the directory file reads back differently at " + shown(m.files[i].path);
        return false;
      }
  }
  if (!check_with_installer_reader(dir_zip, m, err)) {
    err = "self-check: " + err;
    return false;
  }
  if (!run_parallel(
          files.size(), jobs,
          [&](std::size_t i, std::string& e) {
            const tree_file& f = files[i];
            std::string zip = tmp_s + f.path + ".zip";
            if (!check_archive(zip, name_of(f.path), f.result.md5, f.bytes, e)) return false;
            std::error_code zec;
            if (thousands_up(fs::file_size(zip, zec)) != thousands_up(f.result.zip_bytes) || zec) {
              e = zip + " changed size after it was written";
              return false;
            }
            return true;
          },
          err)) {
    err = "self-check: " + err;
    return false;
  }
  if (interrupted()) {
    err = "interrupted";
    return false;
  }

  // Into place. An existing release (with --replace) is moved aside first and
  // removed once the new one is in place; put back if that fails.
  fs::path old = base / (".publish-old-" + random_tag());
  bool moved_old = false;
  if (fs::exists(fs::symlink_status(final_dir, ec))) {
    if (!o.replace) {
      err = "a release named " + shown(o.version_name) + " appeared at " + final_dir.string() + " meanwhile";
      return false;
    }
    fs::rename(final_dir, old, ec);
    if (ec) {
      err = "cannot move the old release " + final_dir.string() + " aside: " + ec.message();
      return false;
    }
    moved_old = true;
  }
  fs::rename(tmp, final_dir, ec);
  if (ec) {
    std::error_code e2;
    if (moved_old) fs::rename(old, final_dir, e2);
    err = "cannot move the release into place at " + final_dir.string() + ": " + ec.message();
    return false;
  }
  tmp_guard.keep = true;
  if (moved_old) fs::remove_all(old, ec);
  report.release_dir = with_slash(engine_path(final_dir));
  return true;
}

}  // namespace pub
