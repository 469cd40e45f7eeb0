// A published release served by nginx on loopback and fetched with the
// installer's own transfer code, exactly the requests the installer makes:
// the server list, the directory file, and every file's archive, each then
// extracted with the installer's extraction and compared with the tree.
// Names here are the awkward ones the publisher lets through.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "engine/IO_UTILS.h"
#include "engine/utils.h"
#include "engine/run_state.h"
#include "net/http.h"
#include "tests/servers/servers.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/publish_fixture.h"
#include "tools/publish/release.h"
#include "tools/publish/serverlist.h"

namespace fs = std::filesystem;
using namespace publish_test;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

// Polls slot `slot` until the transfer ends (10 s at most): 1 done, 2 failed.
int fetch(int slot, const std::string& host, const std::string& path, std::string dest) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    int r = http.net_check(slot, host, path, dest);
    if (r != 0) return r;
    if (std::chrono::steady_clock::now() > until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

TEST(PublishServedTest, InstallerTransfersFetchEveryArchiveOfAwkwardNames) {
  run_state_reset();
  engine_state_reset();
  http.reset();
  TempDir dir;
  tree_map tree = {
      {"Craft/Kestrel 2/a+b & c's (1) [x] {y} ~z;=,@!$.txt", "punctuation"},
      {"Scenery Packs/Harbour Hills/\xc3\xa9t\xc3\xa9 sc\xc3\xa8ne.dds", "utf-8"},
      {"Resources/trailing blank ", "trailing"},
      {"Resources/ leading blank folder/x.dat", "folder with a leading blank"},
      {"Output/empty.txt", ""},
      {"Skyvane.exe", std::string(100000, 'x')},
  };
  make_tree(dir / "Skyvane", tree);
  pub::release_options o;
  o.tree = dir / "Skyvane";
  o.version_name = "Demo 1.0 (beta)";
  o.out_root = dir / "www";
  o.prefix = "/pub/sky vane/";
  // Windows cannot hold a name ending in a blank: that file is for Linux.
  write_file(dir / "rules.txt", "os=3 Resources/trailing blank*\n");
  o.rules = dir / "rules.txt";
  pub::release_report rep;
  std::string err;
  ASSERT_TRUE(pub::publish_release(o, rep, err)) << err;

  testservers::NginxServer server(dir / "www");
  ASSERT_TRUE(server.ok()) << server.failure();
  pub::serverlist_options sl;
  sl.beta = o.version_name;
  sl.servers = {{server.host(), o.prefix, "Loopback"}};
  ASSERT_TRUE(pub::serverlist_write(sl, dir / "www/serverlist.txt", err)) << err;

  ASSERT_EQ(fetch(0, server.host(), "/serverlist.txt", dir / "serverlist.txt"), 1);
  EXPECT_EQ(read_file(dir / "serverlist.txt"), read_file(dir / "www/serverlist.txt"));

  // What the installer derives from the list: prefix + version + "/".
  std::string server_path = o.prefix + o.version_name + "/";
  fs::create_directories(dir / "tmp");
  ASSERT_EQ(fetch(1, server.host(), server_path + "directory.txt.zip", dir / "tmp/directory.txt.zip"), 1);
  ASSERT_EQ(zip_to_file(dir / "tmp/directory.txt.zip", dir / "tmp/"), 0);
  ASSERT_EQ(read_directory_no_scan(dir / "tmp/directory.txt", "test"), 3);
  ASSERT_EQ(sim_info.files.size(), tree.size());

  dest_dir_path = dir / "dest/";
  int stream = 0;
  for (const file_history_struct& h : sim_info.files) {
    const file_version_struct& v = h.versions.back();
    std::string archive = dir / ("tmp/" + std::to_string(stream) + ".zip");
    ASSERT_EQ(fetch(2 + stream, server.host(), server_path + v.path + ".zip", archive), 1) << v.path;
    EXPECT_EQ(read_file(archive), read_file(rep.release_dir + v.path + ".zip")) << v.path;
    std::string local = local_path_of(v.path);
    fs::create_directories(local_folder_of(local));
    ASSERT_EQ(zip_to_file(archive, local_folder_of(local)), 0) << v.path;
    stream = (stream + 1) % 4;
  }
  EXPECT_EQ(read_tree(dir / "dest"), tree);
  http.reset();
  engine_state_reset();
  run_state_reset();
}
