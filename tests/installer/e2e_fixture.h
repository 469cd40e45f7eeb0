// The real installer program against real servers on loopback.
//
// Each test publishes releases with the release publisher, serves them from
// nginx, and runs the built installer in its unattended mode with a private
// HOME, configuration folder and temporary folder. The program is copied into
// the test's folder first, so that its log ("Log.txt", written beside the
// program) belongs to this test alone.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/servers/servers.h"
#include "tests/support/temp_dir.h"

namespace e2e {

// relative path below the top folder -> contents
using tree_map = std::map<std::string, std::string>;

// Compares two trees and says, briefly, which files differ.
::testing::AssertionResult trees_equal(const tree_map& got, const tree_map& want);
#define EXPECT_TREE_EQ(got, want) EXPECT_TRUE(::e2e::trees_equal((got), (want)))

struct run_result {
  int status = -1;                // exit status; -1 killed or not started
  std::vector<std::string> out;   // standard output, line by line
  bool printed(const std::string& text) const;
};

// How often nginx was asked for paths ending in `suffix` + ".zip".
int requests_for(const testservers::NginxServer& s, const std::string& suffix);
// Requests of file archives (not of the directory file) in an nginx access log.
int archive_requests(const testservers::NginxServer& s);
// A Linux path as Wine's drive Z: shows it to a Windows program.
std::string windows_path(const std::string& linux_path);

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes `tree` under work/<name>/<top>/ (removing what was there) and
  // publishes it as version `version` below www/ with the path prefix
  // "/pub/", carrying over the previous release's history when given.
  // Files named "*.linux" get os 3, "*.win" os 2, "*.mac" os 1.
  void publish(const tree_map& tree, const std::string& version, const std::string& previous_version = "",
               const std::string& top = "Skyvane");
  // When set, publish() signs the releases with this key file (--sign).
  std::string sign_key;
  // The directory file of a published version.
  std::string directory_of(const std::string& version) const;
  // Adds files to a published version by hand, as a careless or hostile
  // publisher would (names the publisher refuses included): for each, an
  // archive holding it under its own name and a FILE line of system `os`
  // appended to the directory file.
  void add_to_release(const std::string& version, const tree_map& files, int os = 0,
                      const std::string& top = "Skyvane");

  // Writes www/serverlist.txt naming `version` and the given servers
  // ("host:port" each, all with the prefix "/pub/").
  void server_list(const std::string& version, const std::vector<std::string>& hosts);

  // Starts nginx serving www/ (or `root`) on `address`.
  testservers::NginxServer& serve(const std::string& address = "127.0.0.1", const std::string& root = "",
                                  const std::string& extra = "");

  // Runs the installer with these arguments (the server-list host is added
  // unless one is given) and waits for it to end (at most `timeout_s`).
  run_result run(std::vector<std::string> args, int timeout_s = 120);
  // Starts it without waiting.
  std::unique_ptr<testservers::ChildProcess> start(std::vector<std::string> args);

  // The files below `folder` (relative path -> contents).
  static tree_map read_tree(const std::string& folder);
  // What a tree installs for Linux: the files not meant for other systems.
  static tree_map linux_part(const tree_map& tree);

  std::string log() const;  // the installer's log of its last run

  // Kept downloads: the published archive of the release file called
  // `name` (below www/pub/, "" when none); the bytes of the archive kept
  // for Resources/scenery/`name` in dest, in its part file and, for a
  // stored member, its data file (0 when none); every part file, data file
  // and description left below dest.
  std::string archive_of(const std::string& name) const;
  std::int64_t part_size(const std::string& name) const;
  std::vector<std::string> kept_files() const;

  // Starts the installer with its standard error joined to its standard
  // output, so that the refusals it prints there can be read.
  std::unique_ptr<testservers::ChildProcess> start_joined(std::vector<std::string> args) {
    bool has_host = false;
    for (const std::string& a : args) has_host |= a.rfind("--server_list_host=", 0) == 0;
    if (!has_host) args.push_back("--server_list_host=" + list_host);
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", program};
    argv.insert(argv.end(), args.begin(), args.end());
    auto p = std::make_unique<testservers::ChildProcess>();
    EXPECT_TRUE(p->start(argv, true));
    return p;
  }
  run_result finish(testservers::ChildProcess& p, int timeout_s) {
    run_result r;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    std::string line;
    while (std::chrono::steady_clock::now() < until) {
      if (p.read_line(line, 200)) {
        r.out.push_back(line);
        continue;
      }
      if (!p.running()) break;
    }
    while (p.read_line(line, 50)) r.out.push_back(line);
    if (p.running()) {
      ADD_FAILURE() << "the installer did not end within " << timeout_s << " s";
      p.stop();
      return r;
    }
    r.status = p.wait_exit();
    return r;
  }
  run_result run_joined(std::vector<std::string> args, int timeout_s = 60) {
    auto p = start_joined(std::move(args));
    return finish(*p, timeout_s);
  }
  static std::string joined(const run_result& r) {
    std::string all;
    for (const std::string& l : r.out) all += l + "\n";
    return all;
  }
  // Writes a zip archive holding `members` (name -> contents) with python3.
  void write_zip(const std::string& path, const std::map<std::string, std::string>& members) {
    const std::string src = work / "zip-src/";
    std::filesystem::remove_all(src);
    std::string script = "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n";
    int i = 0;
    for (const auto& [name, bytes] : members) {
      const std::string file = src + std::to_string(i++);
      testing_support::write_file(file, bytes);
      script += "z.write(" + std::string("'") + file + "', '" + name + "')\n";
    }
    script += "z.close()\n";
    testing_support::write_file(work / "zip.py", script);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    testservers::ChildProcess p;
    ASSERT_TRUE(p.start({"python3", work / "zip.py", path}, true));
    std::string line;
    while (p.read_line(line, 10000)) {
    }
    ASSERT_EQ(p.wait_exit(), 0);
  }


  testing_support::TempDir work;
  // The process's own HOME, XDG_CONFIG_HOME and TMPDIR, put back after each
  // test, so the next test's folders are made where the process's are (this
  // test's folder is about to go).
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_env;
  std::string www, home, dest, program;
  std::string list_host;  // where the server list is served
  std::vector<std::unique_ptr<testservers::NginxServer>> servers;
};

}  // namespace e2e
