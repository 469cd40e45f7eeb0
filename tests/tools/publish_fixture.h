// Helpers for the publisher's tests: trees on disk, running the real
// program, reading a release back the way the installer does.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace publish_test {

// Relative path (below the tree's top folder) -> contents.
using tree_map = std::map<std::string, std::string>;

// Writes every file of `files` below `top` (made if missing).
void make_tree(const std::string& top, const tree_map& files);
// Every regular file below `top`, relative path -> contents.
tree_map read_tree(const std::string& top);
// The names directly inside `folder`, sorted (hidden ones included).
std::vector<std::string> list_names(const std::string& folder);

struct run_result {
  int status = -1;  // exit status of the program
  std::string out;  // standard output
  std::string err;  // standard error
};
// Runs build/skyvane-publish with `args` (each passed as one argument).
run_result run_publish(const std::vector<std::string>& args);

// The directory file of a release folder (ending in "/"), unzipped.
std::string directory_text(const std::string& release_dir);

// Reads the release's directory file with the installer's own extraction
// and reader; fills sim_info. Returns read_directory_no_scan's result (3 ok).
int engine_read(const std::string& release_dir, const std::string& scratch);

// Installs the current versions of sim_info the way the executor does
// (archive extracted into the file's folder with zip_to_file) into `dest`
// (ending in "/"), for entries whose os_type matches `os` as the installer
// matches it. Returns "" or what went wrong.
std::string install_current(const std::string& release_dir, const std::string& dest, int os);

// ceil(bytes / 1000) of a file's size.
long long kilo_up(const std::string& path);

}  // namespace publish_test
