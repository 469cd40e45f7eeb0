#include "tests/tools/publish_fixture.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "engine/IO_UTILS.h"
#include "engine/utils.h"
#include "installer/main.h"
#include "tools/publish/archive.h"

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::write_file;

namespace publish_test {

void make_tree(const std::string& top, const tree_map& files) {
  fs::create_directories(top);
  for (const auto& [rel, bytes] : files) write_file(top + "/" + rel, bytes);
}

tree_map read_tree(const std::string& top) {
  tree_map out;
  for (auto& e : fs::recursive_directory_iterator(top))
    if (e.is_regular_file()) out[e.path().lexically_relative(top).generic_string()] = read_file(e.path().string());
  return out;
}

std::vector<std::string> list_names(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(folder, ec)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

namespace {

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

}  // namespace

run_result run_publish(const std::vector<std::string>& args) {
  testing_support::TempDir io;
  std::string cmd = shell_quote(SKYVANE_PUBLISH_EXE);
  for (const std::string& a : args) cmd += " " + shell_quote(a);
  cmd += " >" + shell_quote(io / "out") + " 2>" + shell_quote(io / "err");
  int raw = std::system(cmd.c_str());
  run_result r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = read_file(io / "out");
  r.err = read_file(io / "err");
  return r;
}

std::string directory_text(const std::string& release_dir) {
  std::string text, err;
  pub::read_member(release_dir + "directory.txt.zip", "directory.txt", text, err);
  return text;
}

int engine_read(const std::string& release_dir, const std::string& scratch) {
  fs::create_directories(scratch);
  if (zip_to_file(release_dir + "directory.txt.zip", scratch) != 0) return -1;
  return read_directory_no_scan(scratch + "directory.txt", "test");
}

std::string install_current(const std::string& release_dir, const std::string& dest, int os) {
  stg.download_os = os;
  dest_dir_path = dest;
  for (const file_history_struct& h : sim_info.files) {
    const file_version_struct& v = h.versions.back();
    if (v.sig_want == "GONE" || !os_match(v)) continue;
    std::string local = local_path_of(v.path);
    std::string folder = local_folder_of(local);
    fs::create_directories(folder);
    int rc = zip_to_file(release_dir + v.path + ".zip", folder);
    if (rc != 0) return "cannot extract " + v.path + ": " + error_str(rc);
    std::string md5 = pub::md5_of(read_file(local));
    if (md5 != v.sig_want) return v.path + " installs with MD5 " + md5 + ", directory says " + v.sig_want;
    if (kilo_up(local) != v.disk_size) return v.path + ": disk size differs";
    if (kilo_up(release_dir + v.path + ".zip") != v.down_size)
      return v.path + ": download size differs";
  }
  return "";
}

long long kilo_up(const std::string& path) {
  return static_cast<long long>((fs::file_size(path) + 999) / 1000);
}

}  // namespace publish_test
