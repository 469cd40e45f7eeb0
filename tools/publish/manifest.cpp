#include "tools/publish/manifest.h"

#include <algorithm>
#include <climits>
#include <map>

namespace pub {

// ---------------------------------------------------------------- [SECTION] helpers

long long thousands_up(std::uint64_t bytes) { return static_cast<long long>((bytes + 999) / 1000); }

bool is_md5_hex(const std::string& sig) {
  if (sig.size() != 32) return false;
  for (char c : sig)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string name_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool path_less(const std::string& a, const std::string& b) {
  std::string fa = folder_of(a), fb = folder_of(b);
  if (fa != fb) return fa < fb;
  return name_of(a) < name_of(b);
}

int manifest_top_version(const manifest& m) {
  int top = 0;
  for (const history& h : m.files)
    for (const version& v : h.versions) top = std::max(top, v.version_num);
  return top;
}

// ----------------------------------------------------------------- [SECTION] writer

std::string manifest_text(const manifest& m) {
  std::string out = "I\n900\nINSTALLER\n";
  std::string folder;
  bool have_folder = false;
  for (const history& h : m.files) {
    std::string f = folder_of(h.path);
    if (!have_folder || f != folder) {
      out += "DIR " + f + "\n";
      folder = f;
      have_folder = true;
    }
    std::string name = name_of(h.path);
    for (const version& v : h.versions) {
      out += "FILE " + std::to_string(v.use_type) + " " + std::to_string(v.os_type) + " " +
             std::to_string(v.version_num) + " " + std::to_string(v.down_size) + " " +
             std::to_string(v.disk_size) + " " + v.sig + " " + name + "\n";
    }
  }
  return out;
}

// ----------------------------------------------------------------- [SECTION] reader

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_line_end(char c) { return c == '\0' || c == '\n' || c == '\r'; }

struct cursor {
  const std::string& s;
  std::size_t i = 0;
  int line = 1;

  bool at_end() const { return i >= s.size(); }
  void skip_blanks() {
    while (i < s.size() && is_blank(s[i])) ++i;
  }
  // The line break: any run of line-end characters and blanks.
  void skip_line_break() {
    while (i < s.size() && (is_line_end(s[i]) || is_blank(s[i]))) {
      if (s[i] == '\n' || (s[i] == '\r' && (i + 1 >= s.size() || s[i + 1] != '\n'))) ++line;
      ++i;
    }
  }
  std::string word() {
    skip_blanks();
    std::size_t b = i;
    while (i < s.size() && !is_blank(s[i]) && !is_line_end(s[i])) ++i;
    return s.substr(b, i - b);
  }
  std::string rest_of_line() {
    skip_blanks();
    std::size_t b = i;
    while (i < s.size() && !is_line_end(s[i])) ++i;
    return s.substr(b, i - b);
  }
  void skip_line() {
    while (i < s.size() && !is_line_end(s[i])) ++i;
    skip_line_break();
  }
  // The keyword followed by a blank, after optional blanks.
  bool keyword(const char* kw) {
    std::size_t save = i;
    skip_blanks();
    std::size_t n = std::char_traits<char>::length(kw);
    if (s.compare(i, n, kw) == 0 && i + n < s.size() && is_blank(s[i + n])) {
      i += n;
      return true;
    }
    i = save;
    return false;
  }
};

bool parse_int(const std::string& w, long long lo, long long hi, long long& out) {
  if (w.empty() || w.size() > 12) return false;
  std::size_t k = w[0] == '-' ? 1 : 0;
  if (k == w.size()) return false;
  long long v = 0;
  for (; k < w.size(); ++k) {
    if (w[k] < '0' || w[k] > '9') return false;
    v = v * 10 + (w[k] - '0');
  }
  if (w[0] == '-') v = -v;
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

bool manifest_parse(const std::string& text, manifest& out, std::string& err) {
  out.files.clear();
  cursor c{text};
  auto fail = [&](int line, const std::string& why) {
    err = "line " + std::to_string(line) + ": " + why;
    return false;
  };
  // Header: "I" or "A", the version 840 or 900, "INSTALLER".
  if (text.empty() || (text[0] != 'I' && text[0] != 'A'))
    return fail(1, "it does not start with the line \"I\": this is not a directory file");
  c.skip_line();
  int version_line = c.line;
  long long format = 0;
  if (!parse_int(c.word(), 0, LLONG_MAX / 10, format) || (format != 840 && format != 900))
    return fail(version_line, "the format version must be 840 or 900");
  c.skip_line();
  int kw_line = c.line;
  c.skip_blanks();
  if (text.compare(c.i, 9, "INSTALLER") != 0 ||
      (c.i + 9 < text.size() && !is_blank(text[c.i + 9]) && !is_line_end(text[c.i + 9])))
    return fail(kw_line, "the third line must be \"INSTALLER\"");
  c.skip_line();

  std::map<std::string, std::size_t> index;
  std::string folder;
  bool have_folder = false;
  while (!c.at_end()) {
    int line = c.line;
    if (c.keyword("DIR")) {
      folder = c.rest_of_line();
      if (folder.empty() || folder.back() != '/') return fail(line, "a DIR line names a folder ending in \"/\"");
      have_folder = true;
      c.skip_line_break();
      continue;
    }
    if (!c.keyword("FILE")) {
      c.skip_line();
      continue;
    }
    long long nums[5];
    static const char* const names[5] = {"use_type", "os_type", "version number", "download size", "disk size"};
    static const long long hi[5] = {4, 6, INT_MAX, LLONG_MAX / 1000, LLONG_MAX / 1000};
    static const long long lo[5] = {0, 0, INT_MIN, 0, 0};
    for (int k = 0; k < 5; ++k) {
      std::string w = c.word();
      if (!parse_int(w, lo[k], hi[k], nums[k]))
        return fail(line, std::string("the ") + names[k] + " \"" + w + "\" is not a number in range");
    }
    version v;
    v.use_type = static_cast<int>(nums[0]);
    v.os_type = static_cast<int>(nums[1]);
    v.version_num = static_cast<int>(nums[2]);
    v.down_size = nums[3];
    v.disk_size = nums[4];
    v.sig = c.word();
    if (v.sig != "GONE" && !is_md5_hex(v.sig))
      return fail(line, "the signature \"" + v.sig + "\" is neither 32 lower-case hex digits nor GONE");
    std::string name = c.rest_of_line();
    c.skip_line_break();
    if (!have_folder) return fail(line, "a FILE line comes before any DIR line");
    if (name.empty()) return fail(line, "a FILE line has no file name");
    std::string path = folder + name;
    auto it = index.find(path);
    if (it == index.end()) {
      index.emplace(path, out.files.size());
      out.files.push_back(history{path, {v}});
    } else {
      out.files[it->second].versions.push_back(v);
    }
  }
  return true;
}

// ------------------------------------------------------------------ [SECTION] merge

manifest manifest_merge(const manifest* prev, const std::vector<current_file>& now, int version_num,
                        merge_counts& counts) {
  counts = merge_counts{};
  std::map<std::string, history> all;
  if (prev)
    for (const history& h : prev->files) {
      history& slot = all[h.path];
      slot.path = h.path;
      slot.versions.insert(slot.versions.end(), h.versions.begin(), h.versions.end());
    }

  std::map<std::string, const current_file*> present;
  for (const current_file& f : now) present[f.path] = &f;

  for (const current_file& f : now) {
    version v;
    v.use_type = f.use_type;
    v.os_type = f.os_type;
    v.version_num = version_num;
    v.down_size = f.down_size;
    v.disk_size = f.disk_size;
    v.sig = f.sig;
    auto it = all.find(f.path);
    if (it == all.end()) {
      all[f.path] = history{f.path, {v}};
      ++counts.added;
      continue;
    }
    version& last = it->second.versions.back();
    if (last.sig == f.sig) {
      // Same contents: this release's archive and types, the old version number.
      last.use_type = f.use_type;
      last.os_type = f.os_type;
      last.down_size = f.down_size;
      last.disk_size = f.disk_size;
      ++counts.unchanged;
    } else {
      if (last.sig == "GONE")
        ++counts.added;
      else
        ++counts.changed;
      it->second.versions.push_back(v);
    }
  }

  for (auto& [path, h] : all) {
    if (present.count(path)) continue;
    const version& last = h.versions.back();
    if (last.sig == "GONE") continue;
    version g;
    g.use_type = last.use_type;
    g.os_type = last.os_type;
    g.version_num = version_num;
    g.sig = "GONE";
    h.versions.push_back(g);
    ++counts.gone;
  }

  manifest out;
  out.files.reserve(all.size());
  for (auto& [path, h] : all) out.files.push_back(std::move(h));
  std::sort(out.files.begin(), out.files.end(),
            [](const history& a, const history& b) { return path_less(a.path, b.path); });
  return out;
}

}  // namespace pub
