// The rules file: which operating system (os_type) and category (use_type)
// each published file gets, chosen by glob patterns.
//
// One rule a line; blank lines and lines starting with "#" are comments:
//
//     os=<0..6> [use=<0..4>] <pattern>
//
// The pattern is the rest of the line (inner blanks kept, blanks at its ends
// dropped). It is matched against the file's path below the top folder, with
// "/" between folders:
//   *    any run of characters within one folder or file name
//   ?    one character other than "/"
//   [..] one character of a set ("[abc]", "[a-z]", "[!0-9]" for the others)
//   **   as a whole component: any number of folders, none included
// A pattern without "/" is matched against the file name alone, wherever the
// file lies ("*.exe"). When several rules match, the last one wins. A file
// that no rule matches gets os_type 0 (every system) and use_type 0.
#pragma once

#include <string>
#include <vector>

namespace pub {

struct rule {
  std::string pattern;
  int os_type = 0;
  int use_type = 0;
  int line = 0;     // line in the rules file, for messages
  int matches = 0;  // files it decided (after later rules had their say)
};

// Parses the text of a rules file. On a malformed line returns false with
// `err` naming the line.
bool rules_parse(const std::string& text, std::vector<rule>& out, std::string& err);

// Reads and parses a rules file.
bool rules_load(const std::string& path, std::vector<rule>& out, std::string& err);

// Whether `text` matches the glob `pattern` (syntax above; "/" only matched
// by "/" and by "**").
bool glob_match(const std::string& pattern, const std::string& text);

// The os_type and use_type of the file at `rel_path` (below the top folder),
// counting the match on the rule that decided it.
void rules_apply(std::vector<rule>& rules, const std::string& rel_path, int& os_type, int& use_type);

}  // namespace pub
