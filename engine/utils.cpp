// The manifest reader, the disk examination, the selection of files and the
// interface seams of the engine.
//
// [SECTION] Globals and reset.
// [SECTION] Reader: read_directory and its line parser.
// [SECTION] Disk examination.
// [SECTION] Selection: choose_files.
// [SECTION] Seams: select_alert, dir_progress_bar.
// [SECTION] Executor: make_dirs, grab_files, extract_and_delete_file.
#include "engine/utils.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <system_error>
#include <map>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <string_view>
#include <unordered_map>

#include "engine/IO_UTILS.h"
#include "engine/release_sig.h"
#include "engine/xmap.h"
#include "engine/run_state.h"
#include "net/http.h"
#include "platform/sha256.h"
#include "platform/file.h"
#include "platform/system.h"
#include "support/alert.h"
#include "support/hl_init.h"
#include "support/text.h"
#include "ui/xtim.h"

// --------------------------------------------------------- [SECTION] globals and reset

sim_info_struct sim_info;
std::set<std::string> deleted_files;
int this_install_has_exes = 0;
int examine_threads = 0;

int (*select_alert_hook)(const std::string&, int) = nullptr;
int select_alert_default = sel_keep;
void (*dir_progress_hook)(float, float, float, int, const std::string&, const std::string&) = nullptr;

namespace {

// FILE lines read since the program started; progress is drawn every 500.
long g_file_lines_read = 0;

// The phase whose first progress call was logged (windowless runs), -1 none.
int g_progress_logged_phase = -1;

// The web page where a newer installer can be had.
const char* const kDownloadPage = "https://www.skyvane.example/demo.html";

}  // namespace

void mtext::assign(std::string_view s) {
  // The fixed texts of the model need no block.
  static constexpr const char* kFixed[] = {"", "NONE", "GONE"};
  for (const char* f : kFixed) {
    if (s == f) {
      p_ = f;
      n_ = static_cast<std::uint32_t>(s.size());
      owned_ = false;
      return;
    }
  }
  if (s.size() >= UINT32_MAX) throw std::length_error("mtext: text too long");
  char* copy = new char[s.size() + 1];
  std::memcpy(copy, s.data(), s.size());
  copy[s.size()] = 0;
  p_ = copy;
  n_ = static_cast<std::uint32_t>(s.size());
  owned_ = true;
}

std::string file_hashes_path;

void engine_state_reset() {
  sim_info.files.clear();
  sim_info.text_blocks.clear();
  sim_info.sha256.clear();
  file_hashes_path.clear();
  deleted_files.clear();
  this_install_has_exes = 0;
  examine_threads = 0;
  select_alert_hook = nullptr;
  select_alert_default = sel_keep;
  dir_progress_hook = nullptr;
}

// ----------------------------------------------------------------- [SECTION] reader

int path_has_no_file(const std::string& path) { return !path.empty() && path.back() == '/' ? 1 : 0; }

int manifest_path_is_safe(const std::string& path) { return relative_path_is_safe(path); }

void new_format(const std::string& file) {
  __MACIBM_alert(0,
                 "OK I am checking the Velmora servers and I am finding file formats that are newer than I can "
                 "understand!",
                 "In other words, you need to get a new installer!",
                 "Please download the newest installer from the download section of www.skyvane.example.", file,
                 t_alert, "utils", 141);
  if (ogl_inited) plat::open_url(kDownloadPage);  // never a browser without a window
  stg.step = 2;
  app_done = 1;
}

namespace {

// Does the FILE line's name hold one of the parts that a network install
// never fetches?
bool excluded_from_net(std::string_view name) {
  return name.find("900 red terrain") != std::string::npos ||
         name.find("Earth Orbit Textures") != std::string::npos;
}

void examine_disk(const std::string& title);

// The path for the user and the log: control characters as \xHH, so that
// an escape sequence in a hostile file cannot act on the terminal.
std::string shown_path(std::string_view path) { return printable_text(path, false); }

// One table look-up a byte in the reader's scanning loops.
enum : unsigned char { kBlank = 1, kEnd = 2, kCtl = 4, kOdd = 8, kMark = 16, kDot = 32, kDotDot = 64 };
constexpr std::array<unsigned char, 256> kClass = [] {
  std::array<unsigned char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = kCtl;  // control characters
  t[0x7f] = kCtl;
  t[' '] |= kBlank;
  t['\t'] |= kBlank;
  t['\n'] |= kEnd;
  t['\r'] |= kEnd;
  t[0] |= kEnd;
  t['\\'] |= kOdd;  // folder and drive characters elsewhere: the path must be checked
  t[':'] |= kOdd;
  t['9'] |= kMark;  // first characters of the parts a network install skips
  t['E'] |= kMark;
  t['.'] |= kDot;
  return t;
}();

// The body of the directory file, walked in place with a cursor of its own:
// one forward pass, with the items read as in xmap_class (blank = space or
// tab; line end = NUL, LF or CR; line break = a run of both).
struct dir_cursor {
  const unsigned char* p;
  const unsigned char* const begin;
  const unsigned char* const end;

  static bool is_stop(unsigned char c) { return (kClass[c] & (kBlank | kEnd)) != 0; }
  void skip_blanks() {
    while (p < end && (kClass[*p] & kBlank)) ++p;
  }
  void skip_line_break() {
    while (p < end && is_stop(*p)) ++p;
  }
  void to_line_end() {
    while (p < end && !(kClass[*p] & kEnd)) ++p;
  }
  // After blanks: the keyword followed by a blank.
  bool keyword(const char* w, std::size_t n) {
    skip_blanks();
    if (static_cast<std::size_t>(end - p) <= n || std::memcmp(p, w, n) != 0) return false;
    if (p[n] != ' ' && p[n] != '\t') return false;
    p += n;
    return true;
  }
  int read_int() {
    skip_blanks();
    bool negative = false;
    if (p < end && *p == '-') {
      negative = true;
      ++p;
    }
    if (p < end && *p == '+') ++p;
    std::uint32_t v = 0;  // wraps instead of overflowing on malformed input
    while (p < end && !is_stop(*p)) v = v * 10u + static_cast<std::uint32_t>(static_cast<int>(*p++) - '0');
    return static_cast<int>(negative ? 0u - v : v);
  }
  // A size, as an integer but in 64 bits: sizes of terabytes keep their value.
  std::int64_t read_size() {
    skip_blanks();
    bool negative = false;
    if (p < end && *p == '-') {
      negative = true;
      ++p;
    }
    if (p < end && *p == '+') ++p;
    std::uint64_t v = 0;  // wraps instead of overflowing on malformed input
    while (p < end && !is_stop(*p)) v = v * 10u + static_cast<std::uint64_t>(static_cast<int>(*p++) - '0');
    return static_cast<std::int64_t>(negative ? 0u - v : v);
  }
  std::string_view word() {
    skip_blanks();
    const unsigned char* s = p;
    while (p < end && !is_stop(*p)) ++p;
    return std::string_view(reinterpret_cast<const char*>(s), static_cast<std::size_t>(p - s));
  }
  // The rest of the line after blanks; `classes` gets the classes of all
  // its bytes, or-ed, and kDotDot when two dots follow each other.
  std::string_view rest_of_line(unsigned& classes) {
    skip_blanks();
    const unsigned char* s = p;
    unsigned acc = 0;
    unsigned dot = 0;  // kDot when the byte before was a dot
    for (; p < end; ++p) {
      const unsigned c = kClass[*p];
      if (c & kEnd) break;
      acc |= c | ((c & dot) << 1);
      dot = c & kDot;
    }
    classes = acc;
    return std::string_view(reinterpret_cast<const char*>(s), static_cast<std::size_t>(p - s));
  }
};

// The text table: paths and signatures are written one after the other
// into blocks that never move, each text ended by a NUL, so that the model
// holds no heap block per text. The first block takes about the size of
// the body (the texts of a FILE line are about as long as the line), the
// next ones half of what the table holds already (at least 1 MiB, or a
// longer text's size). A block of several large pages starts its texts on
// a large page and is laid on large pages: far fewer page faults while it
// is filled and freed (the bytes skipped before are never touched).
struct text_table {
  static constexpr std::size_t kBlock = 1u << 20;
  const std::size_t large = plat::large_page_size();
  const std::size_t body;       // bytes of the directory file's body
  std::size_t table_bytes = 0;  // the sizes of the blocks so far
  char* block_at = nullptr;
  std::size_t block_left = 0;

  explicit text_table(std::size_t body_bytes) : body(body_bytes) {}

  char* space(std::size_t n) {
    if (block_left < n) {
      std::size_t size = std::max({kBlock, n, table_bytes == 0 ? body + body / 8 : table_bytes / 2});
      const bool on_large = large != 0 && size >= 4 * large;
      if (on_large) size += large;
      sim_info.text_blocks.emplace_back(new char[size]);
      table_bytes += size;
      block_at = sim_info.text_blocks.back().get();
      block_left = size;
      if (on_large) {
        const std::size_t skip = (large - reinterpret_cast<std::uintptr_t>(block_at) % large) % large;
        block_at += skip;
        block_left -= skip;
        plat::advise_large_pages(block_at, block_left);
      }
    }
    char* const at = block_at;
    block_at += n;
    block_left -= n;
    return at;
  }
  mtext copy(std::string_view t) {
    char* const at = space(t.size() + 1);
    std::memcpy(at, t.data(), t.size());
    at[t.size()] = 0;
    return mtext::borrowed(at, t.size());
  }
  // folder + name, as one text of the table.
  mtext join(std::string_view folder, std::string_view name) {
    const std::size_t n = folder.size() + name.size();
    char* const at = space(n + 1);
    std::memcpy(at, folder.data(), folder.size());
    std::memcpy(at + folder.size(), name.data(), name.size());
    at[n] = 0;
    return mtext::borrowed(at, n);
  }
};

// Whether folder + name (with the classes of their bytes) may lead out of
// the destination. The full check only for a path that may fail it: empty,
// absolute, with a folder or drive character of another system, or with "..".
bool path_leaves(std::string_view folder, std::string_view name, unsigned classes) {
  const std::size_t path_size = folder.size() + name.size();
  const char first = folder.empty() ? (name.empty() ? 0 : name.front()) : folder.front();
  const bool dot_dot =
      (classes & kDotDot) || (!folder.empty() && !name.empty() && folder.back() == '.' && name.front() == '.');
  const bool doubtful = (classes & kOdd) || path_size == 0 || first == '/' || dot_dot;
  return doubtful && !relative_path_is_safe(std::string(folder).append(name));
}

// The path of a FILE line: the previous accepted line's (the last entry of
// the table) when it is the same, so that the versions of a path share one
// copy; else a new entry with the path in the table. False for a path
// without a file (a FILE line without a name, or with a folder's).
bool entry_path(text_table& table, std::string_view folder, std::string_view name, mtext& path) {
  const std::size_t path_size = folder.size() + name.size();
  if (!sim_info.files.empty()) {
    const mtext& last = sim_info.files.back().versions.back().path;
    // The names differ more often than the folders: they are compared first.
    if (last.size() == path_size && std::memcmp(last.data() + folder.size(), name.data(), name.size()) == 0 &&
        std::memcmp(last.data(), folder.data(), folder.size()) == 0) {
      path = last;
      return true;
    }
  }
  // path_has_no_file on the path put together (never empty here).
  if ((name.empty() ? folder.back() : name.back()) == '/') return false;
  path = table.join(folder, name);
  sim_info.files.emplace_back();
  return true;
}

// The release paths this system would install (current version not GONE,
// for this system) that it cannot hold: two whose names differ only in
// letter case where names ignore case (one would overwrite the other), and
// names Windows reserves where its rules hold. "" when there are none, else
// the reason in words, naming the paths.
std::string names_this_system_cannot_hold() {
  const bool fold = plat::names_ignore_case();
  const bool windows = plat::names_follow_windows_rules();
  if (!fold && !windows) return "";
  std::map<std::string, std::string> folded;  // lower-case path -> path, files and their folders
  for (const file_history_struct& h : sim_info.files) {
    if (h.versions.empty()) continue;
    const file_version_struct& v = h.versions.back();
    if (v.sig_want == "GONE" || !os_match(v)) continue;
    const std::string path = v.path;
    if (windows) {
      // Every component below the top folder, which is not installed.
      std::size_t start = path.find('/');
      while (start != std::string::npos) {
        const std::size_t end = path.find('/', start + 1);
        const std::string part = path.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        const std::string problem = plat::windows_name_problem(part);
        if (!problem.empty())
          return "Windows cannot hold the name \"" + shown_path(part) + "\" of " + shown_path(path) + " (" + problem + ").";
        start = end;
      }
    }
    if (fold) {
      std::string low = path;
      for (char& c : low) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
      const auto [it, fresh] = folded.emplace(low, path);
      if (!fresh && it->second != path)
        return "the release lists " + shown_path(it->second) + " and " + shown_path(path) +
               ", which differ only in letter case; this system's file names ignore case, so it cannot hold both.";
      // Its folders: a file whose name is a folder's but for case is the same place.
      for (std::size_t s = low.find('/'); s != std::string::npos; s = low.find('/', s + 1)) {
        const auto [f, added] = folded.emplace(low.substr(0, s), path.substr(0, s));
        if (!added && f->second != path.substr(0, s))
          return "the release lists " + shown_path(f->second) + " and " + shown_path(path) +
                 ", whose names differ only in letter case; this system's file names ignore case, so it cannot hold both.";
      }
    }
  }
  return "";
}

// An empty directory file came from a server (an archive with an empty
// member): it is refused like any other bad directory file (true). One that
// is not there at all is the program's own fault (false).
bool refused_empty(const std::string& file) {
  plat::PathKind kind = plat::PathKind::none;
  std::uint64_t size = 0;
  if (plat::path_stat(app_path + file, kind, size) != 0 || kind != plat::PathKind::file || size != 0) return false;
  __MACIBM_alert(0, "The directory file is empty!", "I cannot install from it. The file is:", file, "", t_alert,
                 "utils", 628);
  xer << "read_directory: refused the empty directory file " << file << "\n";
  return true;
}

// Refuses the directory file whole for a FILE line whose path has no file
// (no name, or a folder's), as one with a path leading out of the
// destination is: a bad directory file is its server's failure. Returns 2.
int refuse_path_without_file(const std::string& file, std::string_view folder, std::string_view name) {
  sim_info.files.clear();
  sim_info.text_blocks.clear();
  const std::string shown = shown_path(std::string(folder).append(name));
  __MACIBM_alert(0, "I am reading the directory text file and found a path that has no file!",
                 "This is impossible to download or delete! I cannot install from it. It is:", shown, file, t_alert,
                 "utils", 659);
  xer << "read_directory: refused the path without a file " << shown << " in " << file << "\n";
  return 2;
}

// Refuses the release (true, the model emptied) when this system cannot
// hold its names (names_this_system_cannot_hold), before anything is written.
bool refused_unholdable(const std::string& file) {
  const std::string why = names_this_system_cannot_hold();
  if (why.empty()) return false;
  sim_info.files.clear();
  sim_info.text_blocks.clear();
  __MACIBM_alert(0, "I cannot install this version on this system: " + why,
                 "Nothing was installed. The directory file is:", file, "", t_alert, "utils", 680);
  xer << "read_directory: refused " << file << ": " << why << "\n";
  return true;
}

// Reads the per-file SHA-256 list into sim_info.sha256: every current version
// that is not GONE must be listed. False (logged) when it is not so.
bool read_file_hashes(const std::string& path) {
  std::string text;
  {
    xmap_class map(path);
    if (!map.mBegin) {
      xer << "read_directory: the list of file digests " << path << " cannot be read.\n";
      return false;
    }
    text.assign(reinterpret_cast<const char*>(map.mBegin), static_cast<std::size_t>(map.size()));
  }
  std::vector<rsig::file_hash> list;
  std::string why;
  if (!rsig::file_list_parse(text, list, why)) {
    xer << "read_directory: " << why << " (" << path << ").\n";
    return false;
  }
  std::unordered_map<std::string_view, const std::string*> by_path;
  by_path.reserve(list.size());
  for (const rsig::file_hash& f : list) by_path[f.path] = &f.sha256;
  sim_info.sha256.assign(sim_info.files.size(), std::string());
  for (std::size_t i = 0; i < sim_info.files.size(); ++i) {
    const file_version_struct& v = sim_info.files[i].versions.back();
    if (v.sig_want == "GONE") continue;
    const auto it = by_path.find(v.path.view());
    if (it == by_path.end()) {
      xer << "read_directory: the list of file digests does not list " << v.path << ".\n";
      return false;
    }
    sim_info.sha256[i] = *it->second;
  }
  return true;
}

// Reads the directory file into sim_info; with `scan` the disk is examined
// too. The body is walked in place on the mapping.
int read_directory_impl(const std::string& file, const std::string& title, bool scan) {
  deleted_files.clear();
  g_progress_logged_phase = -1;
  stg.down_req = 0;
  stg.disk_req = 0;
  sim_info.files.clear();
  sim_info.text_blocks.clear();
  sim_info.sha256.clear();

  xmap_class map(file);
  if (!map.mBegin) {
    if (refused_empty(file)) return 2;
    __MACIBM_alert(0, "I tried to read a directory file that does not exist!", "The file is:", file, "", t_exit,
                   "utils", 628);
  }
  static const int versions[] = {840, 900, 0};
  if (map.check_file(xmap_text, versions, "INSTALLER", nullptr) == 0) {
    if (is_net) new_format(file);
    return 2;
  }

  dir_cursor in{map.mCrt, map.mBegin, map.mEnd};
  text_table table(static_cast<std::size_t>(in.end - in.p));
  // The current folder (DIR line): a view of the mapping, which outlives
  // the loop. A path is folder + name; it is put together only in the
  // table, or where it is refused.
  std::string_view folder = "";
  unsigned folder_classes = 0;
  // A first guess at the number of paths (a FILE line takes some 60 bytes),
  // so that the table grows rarely; laid on large pages like the text table.
  sim_info.files.reserve(std::min<std::size_t>(static_cast<std::size_t>(in.end - in.begin) / 64, 1u << 20));
  if (table.large != 0 && sim_info.files.capacity() * sizeof(file_history_struct) >= 4 * table.large)
    plat::advise_large_pages(sim_info.files.data(), sim_info.files.capacity() * sizeof(file_history_struct));

  while (in.p < in.end) {
    if (in.keyword("DIR", 3)) {
      folder = in.rest_of_line(folder_classes);
      in.skip_line_break();
      continue;
    }
    if (!in.keyword("FILE", 4)) {
      in.to_line_end();
      in.skip_line_break();
      continue;
    }
    const int use_type = std::clamp(in.read_int(), 0, 4);
    const int os_type = std::clamp(in.read_int(), 0, 6);
    const int version_num = in.read_int();
    const std::int64_t down_size = in.read_size();
    const std::int64_t disk_size = in.read_size();
    const std::string_view sig = in.word();
    unsigned name_classes = 0;
    const std::string_view name = in.rest_of_line(name_classes);
    in.skip_line_break();

    if (is_net && (name_classes & kMark) && excluded_from_net(name)) continue;

    const bool leaves = path_leaves(folder, name, folder_classes | name_classes);
    if (leaves || ((folder_classes | name_classes) & kCtl)) {
      // A path that would lead out of the destination, or that holds a
      // control character: the whole file is refused, so that nothing of it
      // is fetched, examined or deleted.
      sim_info.files.clear();
      const std::string path = std::string(folder).append(name);
      __MACIBM_alert(0,
                     leaves ? "The directory file lists a path that would lead outside the installation folder!"
                            : "The directory file lists a path with a control character in it!",
                     "I cannot install from it. The path is:", shown_path(path), file, t_alert, "utils", 650);
      xer << "read_directory: refused unsafe path " << shown_path(path) << " in " << file << "\n";
      sim_info.text_blocks.clear();
      return 2;
    }
    mtext path;
    if (!entry_path(table, folder, name, path)) return refuse_path_without_file(file, folder, name);
    // The version is made in place: no copy of it is moved into the table.
    file_version_struct& v = sim_info.files.back().versions.emplace_back();
    v.use_type = use_type;
    v.os_type = os_type;
    v.version_num = version_num;
    v.down_size = down_size;
    v.disk_size = disk_size;
    v.path = std::move(path);
    v.sig_want = sig == "GONE" ? mtext("GONE") : table.copy(sig);

    if (g_file_lines_read++ % 500 == 0) {
      dir_progress_bar(0, static_cast<float>(in.p - in.begin), static_cast<float>(in.end - in.begin), 0, title,
                       std::string(name));
    }
  }

  if (!file_hashes_path.empty() && !read_file_hashes(file_hashes_path)) {
    sim_info.files.clear();
    sim_info.text_blocks.clear();
    sim_info.sha256.clear();
    return 2;
  }
  if (scan) {
    if (refused_unholdable(file)) return 2;
    examine_disk(title);
  }
  return 3;
}

}  // namespace

int read_directory(const std::string& file, const std::string& title) {
  return read_directory_impl(file, title, true);
}

int read_directory_no_scan(const std::string& file, const std::string& title) {
  return read_directory_impl(file, title, false);
}

// ------------------------------------------------------------ [SECTION] disk examination

int os_match(const file_version_struct& v) {
  return v.os_type == stg.download_os || v.os_type == 0 || (v.os_type == 6 && stg.download_os == 3) ? 1 : 0;
}

std::int64_t listed_bytes_limit(std::int64_t thousands) {
  return (std::max<std::int64_t>(0, thousands) + 1) * 1000;
}

std::string local_path_of(const std::string& manifest_path) {
  std::string p = manifest_path;
  trim_dest_folder(p);
  return dest_dir_path + p;
}

std::string local_folder_of(const std::string& local_path) {
  if (local_path.size() <= 3) return local_path;
  const std::size_t slash = local_path.find_last_of('/');
  if (slash == std::string::npos) return local_path;
  return local_path.substr(0, slash + 1);
}

int file_signature(const std::string& local, std::string& sig, bool empty_listed) {
  return file_digest(local, sig, empty_listed, false);
}

int file_digest(const std::string& local, std::string& sig, bool empty_listed, bool sha256, bool* missing) {
  bool none = false;
  const int err = sha256 ? calc_file_sha256(local, sig, none) : calc_file_md5(local, sig, none);
  if (missing) *missing = none;
  if (err == 0 || !empty_listed) return err;
  // An empty file counts as no file (a file cut short, to be fetched) unless
  // the release lists this path as empty: then it is that file. Without this
  // a release with an empty file would fetch it at every update and never be
  // up to date, nor could it ever delete one.
  plat::PathKind kind = plat::PathKind::none;
  std::uint64_t size = 0;
  if (plat::path_stat(local, kind, size) == 0 && kind == plat::PathKind::file && size == 0) {
    sig = sha256 ? plat::sha256_hex("", 0) : md5_hex("", 0);
    return 0;
  }
  return err;
}

bool lists_empty_file(const file_history_struct& h) {
  static const std::string empty_md5 = md5_hex("", 0);
  for (const file_version_struct& v : h.versions)
    if (v.sig_want == empty_md5) return true;
  return false;
}

std::string wanted_digest(std::size_t entry) {
  if (entry < sim_info.sha256.size()) return sim_info.sha256[entry];
  return std::string(sim_info.files[entry].versions.back().sig_want);
}

namespace {

// Hashes the current version of entry i: sig_have and on_disk. Touches only
// that entry, so that workers can run it for different entries at once.
void examine_entry(std::size_t i) {
  file_history_struct& h = sim_info.files[i];
  if (h.versions.empty()) return;
  file_version_struct& v = h.versions.back();
  std::string sig = "NONE";
  const std::string local = local_path_of(v.path);
  bool missing = false;
  if (i < sim_info.sha256.size() && !sim_info.sha256[i].empty()) {
    // A signed release: the file is the release's when its SHA-256 is the
    // listed one (MD5 is not asked). Only a file that differs is hashed with
    // MD5 too, to tell an older copy of the release from one the user
    // changed; one whose MD5 alone agrees is not the release's file, and is
    // fetched again as if it were missing.
    std::string sha;
    if (file_digest(local, sha, lists_empty_file(h), true, &missing) == 0) {
      if (sha == sim_info.sha256[i]) {
        sig = std::string(v.sig_want);
      } else if (file_signature(local, sig, lists_empty_file(h)) == 0 && v.sig_want == sig) {
        sig = "NONE";
      }
    }
  } else {
    file_digest(local, sig, lists_empty_file(h), false, &missing);
  }
  // Known missing: choose_files and the fetch need not look at the path again
  // (two failed path walks a file of a fresh install).
  v.absent = missing ? 1 : 0;
  v.sig_have = sig;
  v.on_disk = v.sig_have == v.sig_want ? 1 : 0;
}

// The number of hashing threads for n entries: one per processor, at most
// two (a single disk gains nothing from more readers), none for fewer than
// two entries.
unsigned examine_worker_count(std::size_t n) {
  if (n < 2) return 0;
  unsigned want = static_cast<unsigned>(std::max(0, examine_threads));
  if (want == 0) want = std::min(2u, std::max(1u, std::thread::hardware_concurrency()));
  return static_cast<unsigned>(std::min<std::size_t>(want, n));
}

void examine_disk(const std::string& title) {
  const std::size_t n = sim_info.files.size();
  const std::size_t every = std::max<std::size_t>(1, n / 200);
  const auto progress = [&](std::size_t i) {
    if (i % every != 0) return;
    const file_history_struct& h = sim_info.files[i];
    const std::string local = h.versions.empty() ? std::string() : local_path_of(h.versions.back().path);
    dir_progress_bar(0, static_cast<float>(i), static_cast<float>(n), 1, title, local);
  };

  const unsigned workers = examine_worker_count(n);
  if (workers <= 1) {
    for (std::size_t i = 0; i < n; ++i) {
      progress(i);
      examine_entry(i);
    }
  } else {
    // The workers take entries in order from one counter and hash them; this
    // thread only draws the progress box (the frame stays live however long
    // the hashing takes), for every entry a worker has taken, in order.
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> finished{0};
    std::mutex m;
    std::condition_variable cv;
    const auto work = [&] {
      for (;;) {
        const std::size_t i = next.fetch_add(1);
        if (i >= n) break;
        examine_entry(i);
        if (finished.fetch_add(1) + 1 == n || i % every == 0) {
          std::lock_guard<std::mutex> lock(m);
          cv.notify_one();
        }
      }
    };
    std::vector<std::thread> pool;
    pool.reserve(workers);
    for (unsigned t = 0; t < workers; ++t) pool.emplace_back(work);
    std::size_t shown = 0;  // entries whose progress was drawn
    for (;;) {
      const std::size_t taken = std::min(next.load(), n);
      while (shown < taken) progress(shown++);
      if (finished.load() == n) break;
      std::unique_lock<std::mutex> lock(m);
      cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return finished.load() == n; });
    }
    for (std::thread& t : pool) t.join();
    while (shown < n) progress(shown++);
  }

  // The totals, in the order of the file (sums of floats depend on it).
  // Whether this install brings system files is this examination's alone.
  this_install_has_exes = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const file_history_struct& h = sim_info.files[i];
    if (h.versions.empty()) continue;
    const file_version_struct& v = h.versions.back();
    if (v.sig_want != "GONE" && v.on_disk == 0 && os_match(v)) {
      stg.down_req += v.down_size;
      stg.disk_req += v.disk_size;
      if (v.os_type == 1 || v.os_type == 2 || v.os_type == 3) this_install_has_exes = 1;
    }
  }
}

}  // namespace

// ------------------------------------------------------------------ [SECTION] selection

namespace {

// The entries by the local path of their current version, made by
// make_dirs and choose_files for the files and folders in a release's way.
std::map<std::string, int> g_by_local;
// Folders at the place of a file the release installs, to be removed before
// it is fetched (a folder that became a file again); made by choose_files.
std::set<std::string> g_clear_folders;
// Folders below the destination that are known to be folders (not links),
// each with its final "/"; emptied by make_dirs.
std::set<std::string> g_ready_folders;
// The release files whose fetch may find a kept part or its description
// beside them: those make_dirs saw kept in their folders, and those this run
// has begun to keep. For any other file there is nothing to take up or
// delete, and its fetch starts without looking (four failed look-ups a file
// on a fresh install). Emptied by make_dirs.
std::set<std::string> g_kept_seen;

void index_release() {
  g_by_local.clear();
  for (std::size_t i = 0; i < sim_info.files.size(); ++i)
    if (!sim_info.files[i].versions.empty())
      g_by_local[local_path_of(sim_info.files[i].versions.back().path)] = static_cast<int>(i);
}

// A release file as a version of the release left it (or absent): not
// changed by the user.
bool unchanged_by_user(const file_history_struct& h) {
  const file_version_struct& v = h.versions.back();
  if (v.sig_have.empty() || v.sig_have == "NONE") return true;
  return std::any_of(h.versions.begin(), h.versions.end(),
                     [&](const file_version_struct& o) { return o.sig_want == v.sig_have; });
}

// Whether `folder` (no final "/") holds nothing the user made: only files
// that the release no longer has and nobody changed, half-written files of
// interrupted extractions, and folders holding the same.
bool holds_only_dropped_files(const std::string& folder) {
  std::vector<plat::DirEntry> entries;
  if (plat::dir_list(app_path + folder, entries) != 0) return false;
  for (const plat::DirEntry& e : entries) {
    const std::string p = folder + "/" + e.name;
    plat::PathKind kind = plat::PathKind::none;
    std::uint64_t size = 0;
    if (plat::path_stat(app_path + p, kind, size) != 0) return false;
    if (kind == plat::PathKind::folder) {
      if (!holds_only_dropped_files(p)) return false;
      continue;
    }
    if (kind != plat::PathKind::file) return false;  // a link or a special file is the user's
    const auto it = g_by_local.find(p);
    if (it == g_by_local.end()) {
      if (is_extraction_leftover(e.name)) continue;
      return false;
    }
    const file_history_struct& h = sim_info.files[static_cast<std::size_t>(it->second)];
    if (h.versions.back().sig_want != "GONE" || !unchanged_by_user(h)) return false;
  }
  return true;
}

}  // namespace

int choose_files() {
  index_release();
  g_clear_folders.clear();
  std::vector<std::string> replace_all;  // folders whose modified files are all replaced
  std::vector<std::string> keep_all;     // folders whose modified files are all kept
  const auto listed = [](const std::vector<std::string>& list, const std::string& f) {
    return std::find(list.begin(), list.end(), f) != list.end();
  };

  for (file_history_struct& h : sim_info.files) {
    if (h.versions.empty()) continue;
    file_version_struct& v = h.versions.back();
    if (!os_match(v)) {
      v.want_to_grab_it = 0;
      v.want_to_nuke_it = 0;
      continue;
    }
    const std::string local = local_path_of(v.path);
    const std::string folder = local_folder_of(local);
    const bool gone = v.sig_want == "GONE";
    const bool present = v.sig_have != "NONE";
    const bool same = present && v.sig_have == v.sig_want;

    bool relevant;
    if (!present) {
      relevant = !gone;
    } else if (same) {
      relevant = false;
    } else if (std::any_of(h.versions.begin(), h.versions.end(),
                           [&](const file_version_struct& o) { return o.sig_want == v.sig_have; })) {
      relevant = true;  // an older copy the user never changed
    } else if (listed(replace_all, folder)) {
      relevant = true;
    } else if (listed(keep_all, folder)) {
      relevant = false;
    } else {
      xer << "File: " << local << "  sig_want=" << v.sig_want << "  sig_have=" << v.sig_have << "\n";
      switch (select_alert(local, gone ? 1 : 0)) {
        case sel_replace: relevant = true; break;
        case sel_replace_all:
          relevant = true;
          replace_all.push_back(folder);
          break;
        case sel_keep_all:
          relevant = false;
          keep_all.push_back(folder);
          break;
        case sel_cancel: return 0;
        default: relevant = false; break;  // 2, or anything unexpected: keep the user's file
      }
    }
    v.want_to_grab_it = relevant && !gone ? 1 : 0;
    v.want_to_nuke_it = relevant && gone ? 1 : 0;

    // A folder where the release now has a file (the file became a folder
    // in an earlier release): it goes when it holds nothing the user made;
    // otherwise the user is asked, as for a changed file.
    plat::PathKind kind = plat::PathKind::none;
    std::uint64_t size = 0;
    if (v.want_to_grab_it && !v.absent && plat::path_stat(app_path + local, kind, size) == 0 &&
        kind == plat::PathKind::folder) {
      if (holds_only_dropped_files(local)) {
        g_clear_folders.insert(local);
        continue;
      }
      xer << "Folder in the place of a file: " << local << "/ holds files that are not the release's\n";
      switch (select_alert(local + "/", 1)) {
        case sel_replace:
        case sel_replace_all: g_clear_folders.insert(local); break;
        case sel_cancel: return 0;
        default: v.want_to_grab_it = 0; break;  // the user's folder stays; the file is not installed
      }
    }
  }
  return 1;
}

// ---------------------------------------------------------------------- [SECTION] seams

int select_alert(const std::string& local_path, int is_gone) {
  if (select_alert_hook) return select_alert_hook(local_path, is_gone);
  const int answer = select_alert_default;
  xer << (is_gone ? "I am about to DELETE: " : "I am about to install: ") << local_path
      << (is_gone ? " because we no longer use this file, but it appears you have modified it."
                  : " but it appears you have modified this file.")
      << " Answered without a window: " << answer << "\n";
  return answer;
}

int select_alert_default_from(const std::string& value) {
  if (value == "keep") select_alert_default = sel_keep;
  else if (value == "replace") select_alert_default = sel_replace;
  else if (value == "cancel") select_alert_default = sel_cancel;
  else return 0;
  return 1;
}

std::string dir_progress_phase_text(int phase) {
  return phase == 0 ? "Currently SCANNING the directory text file." : "Currently EXAMINING the hard disk.";
}

float dir_progress_fraction(float lo, float cur, float hi) {
  if (lo == hi) return 0.52f;
  const float f = 0.04f + 0.96f * (cur - lo) / (hi - lo);
  return std::clamp(f, 0.04f, 1.0f);
}

void dir_progress_bar(float lo, float cur, float hi, int phase, const std::string& title,
                      const std::string& detail) {
  if (dir_progress_hook) {
    dir_progress_hook(lo, cur, hi, phase, title, detail);
    return;
  }
  // Without a window: one log line at the start of each phase is enough.
  if (phase != g_progress_logged_phase) {
    g_progress_logged_phase = phase;
    xer << dir_progress_phase_text(phase) << " " << title << "\n";
  }
}

// ----------------------------------------------------------- [SECTION] executor

next_class next;

void stream_record::take(int i) {
  entry = i;
  phase = stream_phase::working;
  forget();
}

void stream_record::forget() {
  sink.reset();
  for (fetch_failures& f : failures) f = fetch_failures{};
  bad_archives = 0;
  whole_archive = false;
  resumed_at = 0;
}

int next_class::active_streams() const {
  int count = 0;
  for (const stream_record& r : stream) count += r.active() ? 1 : 0;
  return count;
}

void restart_bookkeeping() {
  // Every transfer of the streams ends first: one left running would go on
  // writing into the archive deleted below, and the next install's stream
  // would take it over as its own.
  for (int slot = 2; slot < http_class::kSlots; ++slot) http.down[slot].reset();
  // Then the extractions fed by them.
  end_extractions();
  // The servers need not keep connections for an install that has ended.
  http.close_kept();
  // The partial downloads of the active streams are the stream archives in
  // the temporary folder: that is where the executor writes them.
  for (int s = 0; s < 4; ++s) {
    if (next.stream[s].active() && next.stream[s].entry < static_cast<int>(sim_info.files.size()))
      delete_file(stream_archive_path(s));
  }
  next.next_index = 0;
  const int start_count = install_type == 0 ? 2 : 1;
  for (int s = 0; s < 4; ++s) {
    next.stream[s].take(0);
    next.stream[s].phase = s < start_count ? stream_phase::waiting : stream_phase::idle;
  }
  next.star_time = xtim.real_time;
  next.file_down = next.comp_down = next.totl_disk = 0;
}

std::string stream_archive_path(int s) { return temp_path + std::to_string(s) + ".zip"; }

void next_stream_rule(int s) {
  float elapsed = xtim.real_time - next.star_time;
  if (!(elapsed > 1)) elapsed = 1;
  const float rate = static_cast<float>((next.file_down + static_cast<double>(next.comp_down)) / elapsed);

  int target = 2;
  if (rate > 50) target = 4;
  if (rate > 100) target = 6;
  if (rate > 150) target = 8;
  if (rate > 200) target = 9;
  if (stg.stream_count != 0) target = stg.stream_count;
  if (install_type != 0) target = 1;

  const int count = next.active_streams();
  if (target > count) {
    for (stream_record& r : next.stream) {
      if (!r.active()) {
        r.phase = stream_phase::waiting;
        break;
      }
    }
  }
  next.stream[s].phase = target < count ? stream_phase::idle : stream_phase::waiting;
}

namespace {

// Entries handed to a stream in this install (one flag per entry).
std::vector<char> g_handed;

// Failed extractions (unreadable archive, wrong contents) of an entry in
// this install; an entry that keeps arriving bad is given up after this many.
constexpr int kMaxSignatureMismatches = 5;

// After a failed fetch the same server is not asked for the same file again
// before retry_delay(failures) has passed (1 s doubling to 30 s), so a file
// missing everywhere costs a few requests a minute instead of hundreds a
// second; an entry that failed this many times on every server ends the
// install.
constexpr int kFailuresPerServer = 6;

double now_seconds() { return static_cast<double>(xtim_class::microsecs_tot()) * 1e-6; }

// The server to ask for the stream's entry now: the one the failover rule
// drew if it may be asked, else the one that failed least among those that
// may be; -1 while every server waits out its delay or gave up on this entry.
int server_for(const stream_record& r) {
  const double now = now_seconds();
  int best = -1;
  int best_count = kFailuresPerServer;
  for (int j = 0; j < stg.num_servers; ++j) {
    const int k = (stg.sel_server + j) % stg.num_servers;
    const fetch_failures& f = r.failures[k];
    if (f.count == 0) return k;
    if (f.count >= kFailuresPerServer || f.next_try > now) continue;
    if (j == 0) return k;
    if (f.count < best_count) {
      best = k;
      best_count = f.count;
    }
  }
  return best;
}

// Records a failed fetch of the stream's entry from server `k`; true when
// the entry has now failed kFailuresPerServer times on every server.
bool note_fetch_failure(stream_record& r, int k, const std::string& reason) {
  fetch_failures& f = r.failures[k];
  ++f.count;
  f.reason = reason;
  f.next_try = now_seconds() + retry_delay(f.count);
  for (int j = 0; j < stg.num_servers; ++j)
    if (r.failures[j].count < kFailuresPerServer) return false;
  return true;
}

// Why a transfer failed, in words, from what the pool recorded.
std::string transfer_failure_text(const net_failure& f) {
  if (!f.reason.empty()) return f.reason;  // a certificate, the proxy, redirects
  if (f.http_status >= 300) return "the server answered with HTTP status " + std::to_string(f.http_status);
  if (f.timed_out) return "the transfer timed out (no data, or too little, for too long)";
  if (f.http_status > 0) return "the answer was cut short or refused (HTTP status " + std::to_string(f.http_status) + ")";
  return "the connection failed or ended before an answer";
}

// The last component of a path, a final "/" or "\" not counting.
std::string last_component(const std::string& path) {
  std::string p = path;
  if (!p.empty() && (p.back() == '/' || p.back() == '\\')) p.pop_back();
  const size_t cut = p.find_last_of("/\\");
  return cut == std::string::npos ? p : p.substr(cut + 1);
}

// The first symbolic link on the way from the destination down to the
// folder of `local` (the destination itself not counting: the user chose
// it), without its final "/"; "" when there is none. Folders found to be
// folders are remembered.
std::string link_on_the_way(const std::string& local) {
  const std::string folder = local_folder_of(local);
  if (folder.size() <= dest_dir_path.size() || folder.compare(0, dest_dir_path.size(), dest_dir_path) != 0) return "";
  for (std::size_t at = dest_dir_path.size(); at < folder.size();) {
    const std::size_t slash = folder.find('/', at);
    if (slash == std::string::npos) break;
    const std::string part = folder.substr(0, slash + 1);
    at = slash + 1;
    if (g_ready_folders.count(part)) continue;
    plat::PathKind kind = plat::PathKind::none;
    std::uint64_t size = 0;
    if (plat::path_stat(app_path + part.substr(0, part.size() - 1), kind, size) != 0) return "";
    if (kind == plat::PathKind::link) return part.substr(0, part.size() - 1);
    if (kind != plat::PathKind::folder) return "";
    g_ready_folders.insert(part);
  }
  return "";
}

// Ends the install as failed at a symbolic link below the destination: the
// installer never writes or deletes through a link it did not make (it may
// lead anywhere).
int stopped_at_link(const std::string& link, const std::string& local) {
  stg.got_failed_install = 1;
  xer << "Stopped at the symbolic link " << link << " on the way to " << local << "\n";
  __MACIBM_alert(0, "I will not write or delete anything through the symbolic link " + link + ".",
                 "It was not made by the installer and may lead out of the installation folder. Remove it, or "
                 "install into another folder.",
                 "File: " + local, "", t_alert, "utils", __LINE__);
  return stg.got_failed_install;
}

// Ends the install as failed: something that is not a folder stands where
// the folder `path` must be.
int stopped_at(const std::string& path, const std::string& local, int err) {
  stg.got_failed_install = 1;
  xer << "Cannot make the folder " << path << " for " << local << ": " << error_str(err) << "\n";
  __MACIBM_alert(0, "The installer cannot make a folder for a file of this version.", "Error: " + error_str(err),
                 "Folder: " + path, "File: " + local, t_alert, "utils", __LINE__);
  return stg.got_failed_install;
}

// Removes a file or a folder with everything in it, never following a link
// (a link is removed itself). 0 or the first failure.
int remove_tree(const std::string& path) {
  plat::PathKind kind = plat::PathKind::none;
  std::uint64_t size = 0;
  if (plat::path_stat(app_path + path, kind, size) != 0 || kind == plat::PathKind::none) return 0;
  if (kind != plat::PathKind::folder) return plat::path_remove_file(app_path + path);
  std::vector<plat::DirEntry> entries;
  if (const int e = plat::dir_list(app_path + path, entries); e != 0) return e;
  for (const plat::DirEntry& e : entries)
    if (const int r = remove_tree(path + "/" + e.name); r != 0) return r;
  return plat::path_remove_dir(app_path + path);
}

// Makes the way for the file of entry `local` before it is fetched: every
// folder from the destination down to the file's exists and is a folder. A
// missing folder is made; a file of the release that this version deletes,
// standing where a folder must now be (a file became a folder), is deleted
// first; a symbolic link stops the install. A folder at the file's own
// place that the release replaces (choose_files) is removed. 0, or the
// install has failed (the alert says why).
int make_way(const std::string& local) {
  const std::string folder = local_folder_of(local);
  if (folder.size() > dest_dir_path.size() && folder.compare(0, dest_dir_path.size(), dest_dir_path) == 0 &&
      !g_ready_folders.count(folder)) {
    for (std::size_t at = dest_dir_path.size(); at < folder.size();) {
      const std::size_t slash = folder.find('/', at);
      if (slash == std::string::npos) break;
      const std::string part = folder.substr(0, slash);
      at = slash + 1;
      if (g_ready_folders.count(part + "/")) continue;
      plat::PathKind kind = plat::PathKind::none;
      std::uint64_t size = 0;
      if (plat::path_stat(app_path + part, kind, size) != 0) kind = plat::PathKind::none;
      if (kind == plat::PathKind::link) return stopped_at_link(part, local);
      if (kind == plat::PathKind::file) {
        const auto it = g_by_local.find(part);
        const file_version_struct* gone =
            it == g_by_local.end() ? nullptr : &sim_info.files[static_cast<std::size_t>(it->second)].versions.back();
        if (!gone || !gone->want_to_nuke_it) return stopped_at(part, local, ENOTDIR);
        unlock_file(part);
        const int err = delete_file(part);
        if (stg.log_actions)
          xer << "now we want to nuke a file: DELETING  file " << part << ", with result=" << err
              << " (a folder takes its place).\n";
        if (err != 0) return stopped_at(part, local, err);
        kind = plat::PathKind::none;
      }
      if (kind == plat::PathKind::none) {
        const int err = make_folder(part);
        if (show_make_dir_err(err)) return stopped_at(part, local, err);
      } else if (kind != plat::PathKind::folder) {
        return stopped_at(part, local, ENOTDIR);
      }
      g_ready_folders.insert(part + "/");
    }
  }
  if (g_clear_folders.count(local)) {
    g_clear_folders.erase(local);
    const int err = remove_tree(local);
    if (stg.log_actions)
      xer << "now we want to nuke a folder: DELETING  folder " << local << "/, with result=" << err
          << " (a file takes its place).\n";
    if (err != 0) return stopped_at(local, local, err);
  }
  return 0;
}

}  // namespace

void make_dir_error(const std::string& path, int code) {
  __MACIBM_alert(0,
                 "I am unable to install or update Skyvane. An error occurred while creating new folders. Make sure "
                 "you are installing to a directory that you have access to!",
                 "Error: " + error_str(code), "Install Location: " + dest_dir_path, "Install Path:" + path, t_alert,
                 "utils", 177);
}

void end_extractions() {
  for (stream_record& r : next.stream) {
    r.sink.reset();  // stops the work and removes what it wrote
    if (r.phase == stream_phase::extracting) r.phase = stream_phase::working;
  }
}

namespace {

// Deletes the parts of large downloads kept in `folder` by an earlier run
// for files the release no longer has: no run would take them up. Those of
// files it has are judged when their fetch starts.
void remove_unwanted_kept_downloads(const std::string& folder) {
  std::vector<plat::DirEntry> entries;
  if (plat::dir_list(app_path + folder, entries) != 0) return;
  for (const plat::DirEntry& e : entries) {
    if (e.is_folder || e.name.size() < 2 || e.name[0] != '.') continue;
    std::string target;
    for (const char* suffix :
         {".download", ".download-info", ".download-prev", ".download-data", ".download-data-prev"}) {
      const std::size_t n = std::strlen(suffix);
      if (e.name.size() > n + 1 && e.name.compare(e.name.size() - n, n, suffix) == 0)
        target = folder + e.name.substr(1, e.name.size() - n - 1);
    }
    if (target.empty() || g_by_local.count(folder + e.name)) continue;  // a release file of that name is the release's
    const auto it = g_by_local.find(target);
    if (it != g_by_local.end() && sim_info.files[static_cast<std::size_t>(it->second)].versions.back().sig_want != "GONE") {
      g_kept_seen.insert(target);  // judged when its fetch starts
      continue;
    }
    if (plat::path_remove_file(app_path + folder + e.name) == 0)
      xer << "Removed " << folder << e.name << ", kept for a file the release no longer has.\n";
  }
}

}  // namespace

void make_dirs() {
  index_release();
  g_ready_folders.clear();
  g_kept_seen.clear();
  end_extractions();
  for (stream_record& r : next.stream) r.forget();
  g_handed.assign(sim_info.files.size(), 0);
  // The destination and every folder above it that is missing.
  std::string failed_at;
  if (const int err = make_folder_chain(dest_dir_path, false, &failed_at); err != 0) make_dir_error(failed_at, err);

  // Every folder the release needs, parents before children.
  std::set<std::string> folders;
  for (const file_history_struct& h : sim_info.files) {
    const file_version_struct& v = h.versions.back();
    if (v.sig_want == "GONE" || !os_match(v)) continue;
    std::string rel = v.path;
    trim_dest_folder(rel);
    for (size_t cut = rel.rfind('/'); cut != std::string::npos && cut > 0; cut = rel.rfind('/')) {
      rel.resize(cut);
      folders.insert(rel);
    }
  }
  // Nothing is made below a symbolic link (the executor stops there and
  // says so).
  const auto below_link = [](const std::string& folder) { return !link_on_the_way(folder + "/x").empty(); };
  for (const std::string& f : folders) {
    if (below_link(dest_dir_path + f)) continue;
    const int err = make_folder(dest_dir_path + f);
    if (show_make_dir_err(err)) {
      make_dir_error(dest_dir_path + f, err);
      break;
    }
  }
  // Where files are extracted, and in the folders of files this version
  // deletes (folders it may no longer have), what an interrupted run left
  // half-written goes; a file the release lists is never taken for one.
  std::set<std::string> dropped;
  for (const file_history_struct& h : sim_info.files) {
    const file_version_struct& v = h.versions.back();
    if (v.sig_want != "GONE") continue;
    std::string rel = v.path;
    trim_dest_folder(rel);
    for (size_t cut = rel.rfind('/'); cut != std::string::npos && cut > 0; cut = rel.rfind('/')) {
      rel.resize(cut);
      if (!folders.count(rel)) dropped.insert(rel);
    }
  }
  const auto release_file = [](const std::string& path) { return g_by_local.count(path) != 0; };
  remove_extraction_leftovers(dest_dir_path, release_file);
  remove_unwanted_kept_downloads(dest_dir_path);
  for (const std::set<std::string>* list : {&folders, &dropped})
    for (const std::string& f : *list)
      if (!below_link(dest_dir_path + f)) {
        remove_extraction_leftovers(dest_dir_path + f + "/", release_file);
        remove_unwanted_kept_downloads(dest_dir_path + f + "/");
      }

  static const char* const kFixed[] = {"Output",           "Output/FMS plans",  "Output/logbooks",       "Output/movies",
                                       "Output/situations", "Resources",         "Resources/preferences"};
  for (const char* f : kFixed) {
    if (below_link(dest_dir_path + f)) continue;
    const int err = make_folder(dest_dir_path + f);
    if (show_make_dir_err(err)) make_dir_error(dest_dir_path + f, err);
  }
}

bool archive_fault(int err) {
  return err == err_zip_open || err == err_zip_read || err == err_zip_wrong_contents || err == EFBIG ||
         err == err_zip_member_missing || err == err_zip_unsafe_name || err < 0;  // err < 0: the reader's codes
}

int extraction_outcome(int err, const std::string& archive, const std::string& dest_file, bool checked,
                       bool on_server) {
  if (err != 0 && err != err_zip_needs_file && !(checked && archive_fault(err))) {
    stg.got_failed_install = 1;
    __MACIBM_alert(0, "The installer cannot extract a file.", "Error: " + error_str(err),
                   (on_server ? "Archive on the server: " : "Compressed File: ") + archive, "Destination: " + dest_file,
                   t_alert, "utils", 390);
  }
  if (stg.log_actions) xer << "EXPANDING file " << dest_file << ", with result=" << err << ".\n";
  return err;
}

int extract_and_delete_file(const std::string& archive, const std::string& dest_file, const std::string& want_sig,
                            std::uint64_t max_bytes) {
  unlock_file(dest_file);
  std::string folder = dest_file;
  if (folder.size() > 3) {
    const size_t cut = folder.rfind('/');
    if (cut != std::string::npos) folder.resize(cut + 1);
  }
  const int err = want_sig.empty() ? zip_to_file(archive, folder)
                                   : zip_to_file(archive, folder, last_component(dest_file), want_sig, nullptr, max_bytes);
  extraction_outcome(err, archive, dest_file, !want_sig.empty());
  if (install_type == 0) {
    const int del = delete_file(archive);
    if (stg.log_actions) xer << "DELETING  file " << archive << ", with result=" << del << ".\n";
  }
  return err;
}

namespace {

// What one stream's step came to (grab_files turns it into the executor's).
enum class stream_step {
  moved,   // it took an entry, started or ended a transfer, received bytes or finished its entry
  stayed,  // it waits: on the network, its extraction, or a server's retry delay
  failed,  // the install has ended as failed (the user was told why)
};

// Ends the install as failed: the stream's entry could not be fetched from
// any server. The alert names the file and the last reason each server gave.
stream_step give_up_fetching(const stream_record& r, const std::string& source, const std::string& local) {
  stg.got_failed_install = 1;
  std::string reasons;
  for (int k = 0; k < stg.num_servers; ++k) {
    const fetch_failures& f = r.failures[k];
    if (f.count == 0) continue;
    xer << "Gave up on " << local << ": " << server_name[k] << " failed " << f.count << " times, last: " << f.reason
        << "\n";
    if (reasons.find(f.reason) == std::string::npos) reasons += (reasons.empty() ? "" : "; ") + f.reason;
  }
  __MACIBM_alert(0, "I can NOT download the file '" + source + "'!",
                 "Every server failed " + std::to_string(kFailuresPerServer) + " times: " + reasons,
                 "Destination: " + local, "", t_alert, "utils", __LINE__);
  return stream_step::failed;
}

// The stream keeps its entry for another attempt, from another server
// drawn at random with a bias to the top of the list.
void fetch_again_elsewhere(stream_record& r) {
  stg.got_404 = 1;
  next.next_index = std::min(next.next_index, r.entry);
  stg.sel_server = std::max(0, draw_server_skewed(stg.num_servers));
  r.phase = stream_phase::working;
}

// A fetch of the stream's entry failed (the transfer, or the archive it
// brought): the next attempt goes to another server, unless the cause lies
// on this machine (`local_error`, no server can mend that) or every server
// has failed too often.
stream_step on_fetch_failed(stream_record& r, const std::string& source, const std::string& local,
                            const std::string& reason) {
  if (note_fetch_failure(r, r.server, reason)) return give_up_fetching(r, source, local);
  fetch_again_elsewhere(r);
  return stream_step::moved;
}

// The stream's next entry, one no other stream has been handed.
void take_next_entry(stream_record& r, int n) {
  // A failed transfer lowers next_index to its entry while its stream
  // keeps it; entries already handed out are passed over, so that no
  // entry is fetched by two streams at once or counted twice.
  while (next.next_index < n && g_handed[next.next_index]) ++next.next_index;
  r.take(next.next_index);
  if (next.next_index < n) g_handed[next.next_index] = 1;
  next.next_index = std::clamp(next.next_index + 1, 0, n);
}

// Deletes the file the release no longer has. False (the install failed)
// when it is there and cannot go: the tree would not be the release's.
bool nuke_entry(const std::string& local) {
  stg.crnt_file_stat = 0;
  if (const std::string link = link_on_the_way(local); !link.empty()) {
    stopped_at_link(link, local);
    return false;
  }
  plat::PathKind kind = plat::PathKind::none;
  std::uint64_t size = 0;
  plat::path_stat(app_path + local, kind, size);
  // A folder in its place: the file went already, to make way for it.
  if (kind != plat::PathKind::folder) unlock_file(local);
  const int err = kind == plat::PathKind::folder ? 0 : delete_file(local);
  if (stg.log_actions) xer << "now we want to nuke a file: DELETING  file " << local << ", with result=" << err << ".\n";
  // Gone already: missing, or its folder became a file of this version.
  if (err != 0 && err != ENOENT && err != ENOTDIR) {
    stg.got_failed_install = 1;
    xer << "Could not delete " << local << ": " << error_str(err) << "\n";
    __MACIBM_alert(0, "The installer cannot delete a file that this version no longer has.", "Error: " + error_str(err),
                   "File: " + local, "", t_alert, "utils", __LINE__);
    return false;
  }
  for (std::string folder = local_folder_of(local); folder.size() > dest_dir_path.size();) {
    deleted_files.insert(folder);
    folder.pop_back();
    const size_t cut = folder.rfind('/');
    if (cut == std::string::npos) break;
    folder.resize(cut + 1);
  }
  return true;
}

// The hidden files a large download keeps beside its target, so that a later
// run can continue it: the raw bytes received, and what they are.
std::string kept_part_of(const std::string& local) {
  const std::size_t cut = local.rfind('/');
  return local.substr(0, cut + 1) + "." + local.substr(cut + 1) + ".download";
}

// A new extraction of the stream's entry: keeps its raw bytes for a later
// run, and takes up what an earlier run kept when its description matches
// this file of this release (path, digest) and its part is not longer than
// the archive; otherwise what was kept is deleted.
void take_up_kept_download(stream_record& r, const file_version_struct& v, const std::string& local,
                           transfer_options& options) {
  const std::string part = kept_part_of(local), info = part + "-info", previous = part + "-prev";
  const std::string data = part + "-data", previous_data = data + "-prev";
  // A release file of one of these names is the release's: nothing is kept.
  for (const std::string* name : {&part, &info, &previous, &data, &previous_data})
    if (g_by_local.count(*name)) return;
  r.sink->keep_raw(part, info, v.path, data);
  if (!g_kept_seen.count(local)) {
    // Nothing was kept for it before this run, nor by an earlier fetch in
    // this one: nothing to take up or delete. A body large enough to be
    // kept by this fetch is looked for by the next one.
    if (listed_bytes_limit(v.down_size) >= member_sink::kKeepMin) g_kept_seen.insert(local);
    return;
  }
  std::string text;
  plat::File f;
  if (plat::file_open_read(app_path + info, f) == 0) {
    char buf[4096];
    std::size_t got = 0;
    if (plat::file_read(f, buf, sizeof buf, got) == 0) text.assign(buf, got);
    plat::file_close(f);
  }
  std::map<std::string, std::string> fields;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t sp = line.find(' ');
    if (sp != std::string::npos) fields[line.substr(0, sp)] = line.substr(sp + 1);
  }
  plat::PathKind kind = plat::PathKind::none;
  std::uint64_t size = 0;
  const bool have_part = plat::path_stat(app_path + part, kind, size) == 0 && kind == plat::PathKind::file;
  // A stored member's bytes follow the part (its header) in the data file.
  const bool split = fields.count("data-from") != 0;
  std::uint64_t data_size = 0;
  const bool have_data = plat::path_stat(app_path + data, kind, data_size) == 0 && kind == plat::PathKind::file;
  const std::int64_t length = std::atoll(fields["length"].c_str());
  const std::int64_t kept = static_cast<std::int64_t>(size + (split ? data_size : 0));
  const bool matches = text.rfind("Skyvane partial download 1\n", 0) == 0 && fields["path"] == v.path &&
                       fields["signature"] == wanted_digest(static_cast<std::size_t>(r.entry)) &&
                       !fields["validator"].empty() && have_part && size > 0 && kept < length &&
                       (!split || (have_data && fields["data-from"] == std::to_string(size)));
  if (!split && have_data) plat::path_remove_file(app_path + data);  // no description names it
  if (matches && plat::path_rename(app_path + part, app_path + previous) == 0 &&
      (!split || plat::path_rename(app_path + data, app_path + previous_data) == 0)) {
    r.resumed_at = kept;
    r.sink->preload(previous, kept, length, fields["validator"], split ? previous_data : std::string());
    options.continue_from(r.resumed_at, fields["validator"]);
    xer << "Continuing " << local << " from byte " << kept << ", kept by an earlier run.\n";
    return;
  }
  if (!text.empty() || have_part || have_data)
    xer << "Deleted the kept part of " << local << ": it is not this release's file.\n";
  for (const std::string* name : {&info, &part, &previous, &data, &previous_data})
    plat::path_remove_file(app_path + *name);
}

// Starts the fetch of the stream's entry when no transfer runs for it: a
// server that may be asked now, the size limit, and the extraction the body
// goes to (unless the archive must be extracted from a file). False while
// no server may be asked (the stream waits).
bool start_fetch(int s, const file_version_struct& v, const std::string& local) {
  stream_record& r = next.stream[s];
  const int k = server_for(r);
  if (k < 0) return false;
  r.server = k;
  // Sizes are listed in thousands of bytes, rounded: one more thousand
  // covers the rounding. A body past it is not the archive listed.
  transfer_options options;
  options.max_bytes = listed_bytes_limit(v.down_size);
  r.resumed_at = 0;
  if (r.sink && r.sink->resumable() && !r.whole_archive) {
    // A transfer of this archive was cut: the rest is asked for, from this
    // server or another, and goes on into the same extraction. The digest
    // check at its end judges the joined bytes.
    r.resumed_at = r.sink->received();
    options.sink = r.sink.get();
    options.continue_from(r.resumed_at, r.sink->validator_value());
    xer << "Continuing " << local << " from byte " << r.resumed_at << " (" << server_name[k] << ").\n";
  } else if (!r.whole_archive) {
    r.sink.reset();
    // A file made read-only is made writable, so that the new one can take
    // its place; none is there when the examination found the name unused.
    if (!v.absent) unlock_file(local);
    const auto disk_limit = static_cast<std::uint64_t>(listed_bytes_limit(v.disk_size));
    r.sink = std::make_unique<member_sink>(local, wanted_digest(static_cast<std::size_t>(r.entry)), disk_limit,
                                           stream_archive_path(s));
    options.sink = r.sink.get();
    take_up_kept_download(r, v, local, options);
  } else {
    r.sink.reset();
  }
  http.prepare(s + 2, std::move(options));
  return true;
}

// The share of the running transfer received, for the progress line: -0.01
// while the length is unknown.
float received_share(const down_class* d) {
  if (!d || d->mIncomingLength == 0) return 0;
  if (d->mIncomingLength == -1) return -0.01f;
  // A continued body counts the bytes that came before it.
  const std::int64_t whole = d->mBodyOffset + d->mIncomingLength;
  return static_cast<float>((d->mBodyOffset + d->mReceivedPayload) * 100 / whole) * 0.01f;
}

// Every byte of the stream's archive has arrived: the file takes its name
// only with the contents the release lists. Sets `installed`, or leaves the
// stream on its entry to fetch it again (a stale mirror, a damaged or a wrong
// archive: from another server, a few times at most).
stream_step on_archive_arrived(int s, const file_version_struct& v, const std::string& source,
                               const std::string& local, bool& installed) {
  stream_record& r = next.stream[s];
  const std::string archive = stream_archive_path(s);
  stg.got_404 = 0;
  const auto limit = static_cast<std::uint64_t>(listed_bytes_limit(v.disk_size));
  int err = 0;
  if (member_sink* sink = r.sink.get()) {
    const bool arrived_now = r.phase != stream_phase::extracting;
    if (arrived_now) {
      sink->finish();
      r.phase = stream_phase::extracting;
    }
    // The stream holds its entry until the extraction ends.
    if (!sink->done()) return arrived_now ? stream_step::moved : stream_step::stayed;
    err = sink->result();
    const bool spooled = sink->spooled();
    if (!sink->log_text().empty()) xer << sink->log_text();
    r.sink.reset();
    r.phase = stream_phase::working;
    err = spooled ? extract_and_delete_file(archive, local, wanted_digest(static_cast<std::size_t>(r.entry)), limit)
                  : extraction_outcome(err, server_name[r.server] + source, local, true, true);
  } else {
    err = extract_and_delete_file(archive, local, wanted_digest(static_cast<std::size_t>(r.entry)), limit);
  }
  if (err == err_zip_needs_file) {
    // Fetched again at once into a file, from the same server.
    xer << "The archive for " << local << " is fetched again to be extracted from a file.\n";
    r.whole_archive = true;
    return stream_step::moved;
  }
  if (err == 0) {
    stg.crnt_file_rat = 1;
    installed = true;
    return stream_step::moved;
  }
  if (!archive_fault(err)) return stream_step::failed;
  if (++r.bad_archives >= kMaxSignatureMismatches) {
    stg.got_failed_install = 1;
    __MACIBM_alert(0, "The installer cannot extract a file.",
                   "Error: the file arrived " + std::to_string(kMaxSignatureMismatches) +
                       " times damaged or with the wrong contents (" + error_str(err) + ")",
                   "Archive on the server: " + server_name[r.server] + source, "Destination: " + local, t_alert,
                   "utils", 400);
    return stream_step::failed;
  }
  if (note_fetch_failure(r, r.server, "the archive is damaged or wrong (" + error_str(err) + ")"))
    return give_up_fetching(r, source, local);
  xer << "Bad archive for " << local << " (" << error_str(err) << "); fetching it again from another server.\n";
  fetch_again_elsewhere(r);
  return stream_step::moved;
}

// After a failed transfer: its extraction is kept when the next attempt can
// ask for the rest (the transfer was cut, by the network or the server,
// after some bytes of a body that named a validator); otherwise it goes. An
// attempt that brought bytes does not count towards giving the file up:
// a line that drops every few minutes still delivers a large file.
void keep_for_resume(stream_record& r, const net_failure& f) {
  const bool cut = f.local_error == 0 && !f.too_large && (f.http_status == 0 || (f.http_status >= 200 && f.http_status <= 299));
  if (!r.sink || !cut || !r.sink->resumable()) {
    r.sink.reset();
    return;
  }
  if (r.sink->received() > r.resumed_at) r.failures[r.server].count = 0;
}

// One poll of the stream's transfer, or the end of its extraction.
stream_step fetch_entry(int s, file_version_struct& v, const std::string& source, const std::string& local,
                        bool& installed) {
  stream_record& r = next.stream[s];
  const down_class* before = http.down[s + 2].get();
  const std::int64_t received_before = before ? before->mReceivedPayload : -1;
  std::string archive = stream_archive_path(s);
  const int result =
      r.phase == stream_phase::extracting ? 1 : http.net_check(s + 2, server_name[r.server], source, archive);
  if (result == 0) {
    const down_class* d = http.down[s + 2].get();
    stg.crnt_file_rat = received_share(d);
    next.file_down += stg.crnt_file_rat * v.down_size;
    const bool moved = !before || !d || d->mReceivedPayload != received_before;
    return moved ? stream_step::moved : stream_step::stayed;
  }
  if (result == 1) return on_archive_arrived(s, v, source, local, installed);
  const net_failure f = http.failure(s + 2);
  keep_for_resume(r, f);
  if (f.local_error != 0) {
    // The download could not be stored here: no server can mend that.
    stg.got_failed_install = 1;
    xer << "The download of " << source << " could not be stored: " << error_str(f.local_error) << "\n";
    __MACIBM_alert(0, "The installer cannot store a downloaded file.", "Error: " + error_str(f.local_error),
                   "Download: " + archive, "Source: " + source, t_alert, "utils", __LINE__);
    return stream_step::failed;
  }
  return on_fetch_failed(r, source, local, transfer_failure_text(f));
}

// One step of stream s (see executor_step).
stream_step step_stream(int s) {
  stream_record& r = next.stream[s];
  const int n = static_cast<int>(sim_info.files.size());
  bool moved = false;
  if (r.phase == stream_phase::waiting) {
    take_next_entry(r, n);
    moved = true;
  }
  if (r.entry >= n) return moved ? stream_step::moved : stream_step::stayed;

  file_version_struct& v = sim_info.files[r.entry].versions.back();
  const std::string local = local_path_of(v.path);
  const bool fetching = is_net && v.want_to_grab_it && !v.want_to_nuke_it;
  if (fetching && r.phase != stream_phase::extracting && !http.down[s + 2]) {
    // The way to the file is made first (folders, a file or a folder in
    // its way, a link stops the install). A new transfer goes to a server
    // that may be asked for this file now; while none may, the stream waits
    // (the frame goes on).
    if (make_way(local) != 0) return stream_step::failed;
    if (!start_fetch(s, v, local)) return moved ? stream_step::moved : stream_step::stayed;
  }
  const int server = fetching ? r.server : stg.sel_server;
  const std::string source = is_net ? server_path[server] + v.path + ".zip"
                                    : dvd_path + install_name + "/" + v.path + ".zip";
  crnt_file_path = source;
  crnt_file_name = last_component(source);
  if (path_has_no_file(v.path))
    __MACIBM_alert(0, "I am working through the list and found a path that has no file!",
                   "This is impossible to download or delete!", "It is:", v.path, t_exit, "utils", 461);

  bool installed = false;
  stream_step step = stream_step::moved;
  if (v.want_to_nuke_it) {
    if (!nuke_entry(local)) return stream_step::failed;
  } else if (v.want_to_grab_it && is_net) {
    stg.crnt_file_stat = 1;
    step = fetch_entry(s, v, source, local, installed);
    if (step == stream_step::failed) return step;
    if (!installed) return moved ? stream_step::moved : step;
  } else if (v.want_to_grab_it) {
    stg.crnt_file_stat = 1;
    if (s != 0)
      __MACIBM_alert(0, "Trying to do a DVD install with multiple streams!",
                     "The shark with the laser on his head is getting very dizzy!", "", "", t_exit, "utils", 498);
    extract_and_delete_file(source, local);
    stg.crnt_file_rat = 1;
    installed = true;
  } else {
    stg.crnt_file_stat = v.on_disk ? 2 : 3;
  }
  if (installed) {
    v.on_disk = 1;
    next.comp_down += v.down_size;
    next.totl_disk += v.disk_size;
  }
  next_stream_rule(s);  // the entry is finished
  return stream_step::moved;
}

// Every stream has run out of entries: the install ends, as done only when
// every file chosen to fetch is in place. Folders emptied by deletions go,
// and the destination may take the version's name.
executor_step finish_install() {
  for (const auto& h : sim_info.files) {
    const file_version_struct& v = h.versions.back();
    if (v.want_to_grab_it && !v.on_disk) {
      stg.got_failed_install = 1;
      xer << "The install ended with " << v.path << " not in place.\n";
      __MACIBM_alert(0, "The installer did not install every file.", "Missing: " + std::string(v.path), "", "",
                     t_alert, "utils", __LINE__);
      return executor_step::failed;
    }
  }
  next.dir_done = 1;
  for (auto it = deleted_files.rbegin(); it != deleted_files.rend(); ++it) {
    std::vector<std::string> names;
    std::vector<int> kinds;
    remove_extraction_leftovers(*it, [](const std::string& path) { return g_by_local.count(path) != 0; });
    if (opensave_getitems(*it, 0, names, kinds) == 0) {
      const int err = delete_file(*it);
      if (stg.log_actions) xer << "cleanup: DELETING  file " << *it << ", with result=" << err << ".\n";
    }
  }
  if (this_install_has_exes && stg.rename_folder && version_name_usable(install_name) &&
      install_name != no_install_name) {
    std::string parent = dest_dir_path;
    parent.pop_back();
    const size_t cut = parent.rfind('/');
    if (cut != std::string::npos) {
      const std::string last = dest_dir_path.substr(cut + 1);
      parent.resize(cut + 1);
      // Never onto anything that exists already (a rename would replace an
      // empty folder).
      plat::PathKind kind = plat::PathKind::none;
      std::uint64_t size = 0;
      const bool taken = plat::path_stat(app_path + parent + install_name, kind, size) == 0 &&
                         kind != plat::PathKind::none;
      if (taken && last != install_name + "/")
        xer << "Not renamed to " << parent << install_name << ": that name exists already.\n";
      else if (last != install_name + "/" && rename_file(parent, last, install_name) == 0)
        dest_dir_path = parent + install_name + "/";
    }
  }
  return executor_step::done;
}

}  // namespace

executor_step grab_files() {
  const int n = static_cast<int>(sim_info.files.size());
  if (g_handed.size() != sim_info.files.size()) g_handed.assign(sim_info.files.size(), 0);
  next.file_down = 0;

  bool moved = false;
  for (int s = 0; s < 4; ++s) {
    if (!next.stream[s].active()) continue;
    const stream_step step = step_stream(s);
    if (step == stream_step::failed) return executor_step::failed;
    moved = moved || step == stream_step::moved;
  }
  for (const stream_record& r : next.stream) {
    if (r.active() && r.entry < n) {
      if (stg.got_failed_install) return executor_step::failed;
      return moved ? executor_step::progressed : executor_step::idle;
    }
  }
  return finish_install();
}
