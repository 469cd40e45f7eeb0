#include "tools/publish/rules.h"

#include <fstream>
#include <sstream>

namespace pub {

namespace {

// Matches one component (no "/") against a pattern component.
bool match_component(const char* p, const char* pe, const char* t, const char* te) {
  // Iterative wildcard match with one back-tracking point for the last "*".
  const char* star_p = nullptr;
  const char* star_t = nullptr;
  while (t < te) {
    if (p < pe && *p == '*') {
      star_p = ++p;
      star_t = t;
      continue;
    }
    if (p < pe && *p == '[') {
      const char* q = p + 1;
      bool negate = false;
      if (q < pe && (*q == '!' || *q == '^')) {
        negate = true;
        ++q;
      }
      bool hit = false;
      const char* close = q;
      // A "]" right after "[" or "[!" belongs to the set.
      if (close < pe && *close == ']') ++close;
      while (close < pe && *close != ']') ++close;
      if (close < pe) {
        for (const char* r = q; r < close; ++r) {
          if (r + 2 < close && r[1] == '-') {
            if (static_cast<unsigned char>(*t) >= static_cast<unsigned char>(r[0]) &&
                static_cast<unsigned char>(*t) <= static_cast<unsigned char>(r[2]))
              hit = true;
            r += 2;
          } else if (*r == *t) {
            hit = true;
          }
        }
        if (hit != negate) {
          p = close + 1;
          ++t;
          continue;
        }
      } else if (*t == '[') {  // an unclosed "[" is an ordinary character
        ++p;
        ++t;
        continue;
      }
    } else if (p < pe && (*p == '?' || *p == *t)) {
      ++p;
      ++t;
      continue;
    }
    if (!star_p) return false;
    p = star_p;
    t = ++star_t;
  }
  while (p < pe && *p == '*') ++p;
  return p == pe;
}

std::vector<std::string> split_slash(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = s.find('/', start);
    out.push_back(s.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) return out;
    start = slash + 1;
  }
}

bool match_parts(const std::vector<std::string>& pat, std::size_t pi, const std::vector<std::string>& txt,
                 std::size_t ti) {
  if (pi == pat.size()) return ti == txt.size();
  if (pat[pi] == "**") {
    for (std::size_t k = ti; k <= txt.size(); ++k)
      if (match_parts(pat, pi + 1, txt, k)) return true;
    return false;
  }
  if (ti == txt.size()) return false;
  const std::string& p = pat[pi];
  const std::string& t = txt[ti];
  if (!match_component(p.data(), p.data() + p.size(), t.data(), t.data() + t.size())) return false;
  return match_parts(pat, pi + 1, txt, ti + 1);
}

std::string trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  std::size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Reads "key=<digits>" at the front of `rest`; returns false when the line
// does not start with `key`=.
bool take_number(std::string& rest, const std::string& key, int& value, bool& bad) {
  if (rest.compare(0, key.size() + 1, key + "=") != 0) return false;
  std::size_t i = key.size() + 1;
  std::size_t j = i;
  while (j < rest.size() && rest[j] >= '0' && rest[j] <= '9') ++j;
  if (j == i || j - i > 3 || (j < rest.size() && rest[j] != ' ' && rest[j] != '\t')) {
    bad = true;
    return true;
  }
  value = std::stoi(rest.substr(i, j - i));
  rest = trim(rest.substr(j));
  return true;
}

}  // namespace

bool glob_match(const std::string& pattern, const std::string& text) {
  return match_parts(split_slash(pattern), 0, split_slash(text), 0);
}

bool rules_parse(const std::string& text, std::vector<rule>& out, std::string& err) {
  out.clear();
  std::istringstream in(text);
  std::string raw;
  int line_no = 0;
  while (std::getline(in, raw)) {
    ++line_no;
    std::string line = trim(raw);
    if (line.empty() || line[0] == '#') continue;
    std::string where = "line " + std::to_string(line_no) + ": ";
    rule r;
    r.line = line_no;
    bool bad = false;
    if (!take_number(line, "os", r.os_type, bad) || bad) {
      err = where + "a rule starts with \"os=N\" (N from 0 to 6), then optionally \"use=N\", then a pattern";
      return false;
    }
    if (r.os_type > 6) {
      err = where + "os_type " + std::to_string(r.os_type) + " is out of range (0 to 6)";
      return false;
    }
    if (take_number(line, "use", r.use_type, bad)) {
      if (bad) {
        err = where + "\"use=\" takes a number from 0 to 4";
        return false;
      }
      if (r.use_type > 4) {
        err = where + "use_type " + std::to_string(r.use_type) + " is out of range (0 to 4)";
        return false;
      }
    }
    if (line.empty()) {
      err = where + "the rule has no pattern";
      return false;
    }
    if (line[0] == '/') {
      err = where + "patterns are relative to the top folder and do not begin with \"/\"";
      return false;
    }
    r.pattern = line;
    out.push_back(r);
  }
  return true;
}

bool rules_load(const std::string& path, std::vector<rule>& out, std::string& err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err = "cannot read the rules file " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!rules_parse(text.str(), out, err)) {
    err = "rules file " + path + ", " + err;
    return false;
  }
  return true;
}

void rules_apply(std::vector<rule>& rules, const std::string& rel_path, int& os_type, int& use_type) {
  os_type = 0;
  use_type = 0;
  std::size_t slash = rel_path.rfind('/');
  std::string name = slash == std::string::npos ? rel_path : rel_path.substr(slash + 1);
  for (auto it = rules.rbegin(); it != rules.rend(); ++it) {
    bool hit = it->pattern.find('/') == std::string::npos ? glob_match(it->pattern, name)
                                                            : glob_match(it->pattern, rel_path);
    if (hit) {
      os_type = it->os_type;
      use_type = it->use_type;
      ++it->matches;
      return;
    }
  }
}

}  // namespace pub
