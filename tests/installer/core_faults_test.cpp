// Faults of the installer core that its logic alone decides: values that
// enter through the preferences and the command line, the server list's
// version name, the spacing of failed attempts, the restart of the streams,
// the check of what is left to do, and the folder that may be renamed.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "engine/IO_UTILS.h"
#include "engine/utils.h"
#include "installer/main.h"
#include "net/http.h"
#include "support/UTL_cmdline.h"
#include "prefs/pref.h"
#include "platform/file.h"
#include "tests/installer/settings_folder.h"
#include "tests/support/temp_dir.h"
#include "support/hl_init.h"
#include "ui/xtim.h"

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

using installer_test::kConfigVar;
using installer_test::kSettingsFolder;

namespace {

class CoreFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    installer_state_reset();
    engine_state_reset();
    http.reset();
    cmdline.clear();
    app_done = 0;
    HL_open_log(dir.path());
    const char* old = std::getenv(kConfigVar);
    old_config_ = old ? old : "";
    testing_support::set_env(kConfigVar, dir / "config");
    temp_path = dir / "tmp/";
    fs::create_directories(temp_path);
  }
  void TearDown() override {
    app_screen = &quiet_;
    http.reset();
    HL_close_log();
    cmdline.clear();
    installer_state_reset();
    engine_state_reset();
    app_done = 0;
    if (old_config_.empty())
      testing_support::unset_env(kConfigVar);
    else
      testing_support::set_env(kConfigVar, old_config_);
  }
  std::string pref_file() { return dir / "config" + kSettingsFolder + "Skyvane Installer.prf"; }
  void frame() {
    xtim.xtim_update();
    APP_update();
  }
  // One manifest entry whose current version has these signatures.
  void entry(const std::string& path, const std::string& want, const std::string& have, int os = 0) {
    file_history_struct h;
    file_version_struct v;
    v.path = path;
    v.sig_want = want;
    v.sig_have = have;
    v.on_disk = want == have ? 1 : 0;
    v.os_type = os;
    h.versions.push_back(v);
    sim_info.files.push_back(h);
  }
  TempDir dir;
  std::string old_config_;
  main_screen quiet_;
};

const std::string kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

TEST_F(CoreFaults, ControlCharactersNeverEnterNorReachThePreferencesFile) {
  // A destination with a line break would write a line of its own that the
  // next run reads as a setting.
  dest_dir_path = "/srv/a\n_rename_folder 0\n/";
  http.ProxyHost = "proxy.one\x1b[2J";
  http.ProxyPort_str = "8080";
  pref.IO_set(11, 1);
  const std::string saved = read_file(pref_file());
  EXPECT_EQ(saved.find("_dest_dir_path"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("_proxy_host"), std::string::npos) << saved;
  EXPECT_NE(saved.find("_rename_folder 1\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("_proxy_port 8080\n"), std::string::npos) << saved;

  // Read side: a stored value with an escape and an override with a line
  // break are refused; the settings keep what they held.
  installer_state_reset();
  http.reset();
  dest_dir_path = "/kept/";
  write_file(pref_file(), "I\n9001 version\n_dest_dir_path /srv/\x1b]0;owned\x07/\n_proxy_host plain.proxy\n");
  cmdline.init_args(3, std::array<const char*, 3>{"x", "--pref:_proxy_host=evil\nhost", "--headless"}.data());
  pref.IO_set(11, 0);
  EXPECT_EQ(dest_dir_path, "/kept/");
  EXPECT_EQ(http.ProxyHost, "");

  // A plain value still enters.
  cmdline.clear();
  pref.IO_set(11, 0);
  EXPECT_EQ(http.ProxyHost, "plain.proxy");
}

TEST_F(CoreFaults, StreamCountIsClampedWhereItEnters) {
  for (const auto& [given, used] : std::vector<std::pair<const char*, int>>{
           {"-1", 0}, {"-2147483648", 0}, {"9", 4}, {"3", 3}, {"0", 0}}) {
    cmdline.clear();
    const std::string opt = std::string("--pref:_stream_count=") + given;
    cmdline.init_args(2, std::array<const char*, 2>{"x", opt.c_str()}.data());
    pref.IO_set(11, 0);
    EXPECT_EQ(stg.stream_count, used) << given;
  }
  write_file(pref_file(), "I\n9001 version\n_stream_count -7\n");
  cmdline.clear();
  pref.IO_set(11, 0);
  EXPECT_EQ(stg.stream_count, 0);
}

TEST_F(CoreFaults, VersionNameMustBeOnePlainFolderName) {
  const std::string head = "I\n820 Version\nSERVERS\n";
  const std::string servers = "SERVER mirror.one\n/pub/\nMain\nENDOFLIST\n";
  for (const char* bad : {"v1\x1b[31mred", "../../etc", "a/b", "..", "v\x7f", "C:x"}) {
    installer_state_reset();
    write_file(dir / "serverlist.txt", head + "BETA " + bad + "\n" + servers);
    EXPECT_EQ(read_server_list(dir / "serverlist.txt"), 2) << printable_text(bad);
    EXPECT_EQ(stg.num_servers, 0);
    EXPECT_EQ(server_path[0], "");
  }
  installer_state_reset();
  write_file(dir / "serverlist.txt", head + "BETA Skyvane 9.50 Beta-2\n" + servers);
  EXPECT_EQ(read_server_list(dir / "serverlist.txt"), 1);
  EXPECT_EQ(stg.num_servers, 1);
  EXPECT_EQ(server_path[0], "/pub/Skyvane 9.50 Beta-2/");
}

TEST_F(CoreFaults, ServerTextIsEscapedBeforeItIsPrinted) {
  EXPECT_EQ(printable_text("v1\x1b[2J\r\nx\\y\x7f"), "v1\\x1b[2J\\x0d\\x0ax\\\\y\\x7f");
  EXPECT_EQ(printable_text("Skyvane 9.00 Beta-17 (fast) 100%"), "Skyvane 9.00 Beta-17 (fast) 100%");
}

TEST_F(CoreFaults, FailedAttemptsAtTheServerListAreSpaced) {
  // The back-off doubles from the base up to 30 times the base.
  retry_backoff_base = 1.0f;
  EXPECT_FLOAT_EQ(retry_delay(1), 1);
  EXPECT_FLOAT_EQ(retry_delay(2), 2);
  EXPECT_FLOAT_EQ(retry_delay(5), 16);
  EXPECT_FLOAT_EQ(retry_delay(6), 30);
  EXPECT_FLOAT_EQ(retry_delay(40), 30);
  float ten = 0;
  for (int n = 1; n < 10; ++n) ten += retry_delay(n);
  EXPECT_GE(ten, 60.0f);  // ten failures in a row take more than a minute

  // Nothing listens at the list host: frames for 0.7 s with a base of
  // 0.05 s allow at most 0.05 + 0.1 + 0.2 + 0.4 -> five attempts; without
  // the back-off every frame would start one.
  retry_backoff_base = 0.05f;
  cmdline.init_args(2, std::array<const char*, 2>{"x", "--server_list_host=127.0.0.1:1"}.data());
  app_screen = &quiet_;
  int frames = 0;
  xtim.xtim_update();
  const float start = xtim.real_time;
  while (xtim.real_time - start < 0.7f) {
    frame();
    ++frames;
    http.wait_for_activity(2);
  }
  EXPECT_GT(frames, 50);
  EXPECT_GE(server_list_failures, 2);
  EXPECT_LE(server_list_failures, 5);
  EXPECT_EQ(stg.num_servers, -1);
}

TEST_F(CoreFaults, RestartEndsTheStreamsTransfersBeforeDeletingTheirArchives) {
  entry("Skyvane/a.dat", std::string(32, 'a'), "NONE");
  entry("Skyvane/b.dat", std::string(32, 'b'), "NONE");
  next.stream[0].phase = next.stream[1].phase = stream_phase::working;
  next.stream[0].entry = 0;
  next.stream[1].entry = 1;
  // Transfers under way in the streams' slots (a connection being made).
  for (int s = 0; s < 2; ++s) {
    std::string dest = stream_archive_path(s);
    write_file(dest, "partial");
    http.net_check(s + 2, "127.0.0.1:1", "/pub/x.zip", dest);
  }
  std::string other = stream_archive_path(3);
  http.net_check(5, "127.0.0.1:1", "/pub/y.zip", other);
  restart_bookkeeping();
  for (int slot = 2; slot < http_class::kSlots; ++slot) EXPECT_EQ(http.down[slot], nullptr) << slot;
  EXPECT_FALSE(fs::exists(stream_archive_path(0)));
  EXPECT_FALSE(fs::exists(stream_archive_path(1)));
}

TEST_F(CoreFaults, CheckCountsAMissingEmptyFileAndDeletionsAsWork) {
  stg.num_servers = 1;
  stg.dir_scan = 3;
  install_name = "v2";
  dest_dir_path = dir / "dest/";
  fs::create_directories(dest_dir_path);
  app_screen = &quiet_;

  entry("Skyvane/there.txt", std::string(32, 'c'), std::string(32, 'c'));
  EXPECT_EQ(work_pending(), 0);
  frame();
  EXPECT_EQ(app_now.line[0], "Your copy of Skyvane is already the latest version.");

  // Only an empty file is missing: nothing to download, still work.
  entry("Skyvane/empty marker.txt", kEmptyMd5, "NONE");
  EXPECT_EQ(work_pending(), 1);
  frame();
  EXPECT_NE(app_now.line[0], "Your copy of Skyvane is already the latest version.");
  EXPECT_EQ(app_now.line[0], "You are about to install 0.0 Meg of files to get v2.");

  // Only a deletion is due.
  sim_info.files.clear();
  entry("Skyvane/old.txt", "GONE", std::string(32, 'd'));
  entry("Skyvane/gone already.txt", "GONE", "NONE");
  EXPECT_EQ(work_pending(), 1);
  frame();
  EXPECT_NE(app_now.line[0], "Your copy of Skyvane is already the latest version.");

  // Files of another system are not work for this one.
  sim_info.files.clear();
  stg.download_os = 3;
  entry("Skyvane/driver.win", std::string(32, 'e'), "NONE", 2);
  EXPECT_EQ(work_pending(), 0);
}

TEST_F(CoreFaults, RefusedDirectoryFileShowsTheFailureOnly) {
  stg.num_servers = 1;
  stg.dir_scan = 2;
  dest_dir_path = dir / "dest/";
  app_screen = &quiet_;
  frame();
  EXPECT_EQ(app_now.status.rfind("I can not find a version of Skyvane on the net!", 0), 0u);
  for (const std::string& l : app_now.line) EXPECT_EQ(l, "");
}

TEST_F(CoreFaults, OnlyAFolderHoldingTheTreeAloneMayBeRenamed) {
  entry("Skyvane/Airfoils/wing.dat", std::string(32, 'a'), "NONE");
  entry("Skyvane/Instructions/guide.txt", std::string(32, 'a'), "NONE");
  entry("Skyvane/Resources/data.bin", std::string(32, 'a'), "NONE");
  entry("Skyvane/Zephyr.linux", std::string(32, 'a'), "NONE", 3);
  dest_dir_path = dir / "sim/";
  for (const char* f : {"Airfoils", "Instructions", "Output/logs", "Resources"})
    fs::create_directories(dest_dir_path + f);
  write_file(dest_dir_path + "Zephyr.linux", "x");
  EXPECT_TRUE(dest_may_be_renamed(false));

  // A home-like folder: the tree's folders and the user's own things.
  fs::create_directories(dest_dir_path + "Documents");
  write_file(dest_dir_path + "Documents/taxes.txt", "mine");
  EXPECT_FALSE(dest_may_be_renamed(false));

  // Not a simulator tree at all.
  dest_dir_path = dir / "plain/";
  fs::create_directories(dest_dir_path + "Photos");
  EXPECT_FALSE(dest_may_be_renamed(false));
  // A folder this install created is the tree alone.
  EXPECT_TRUE(dest_may_be_renamed(true));
}

TEST_F(CoreFaults, DestinationsAreAbsoluteAndNewOnesAskTheirParentForSpace) {
  const std::string cwd = plat::path_make_absolute(fs::current_path().string());
  EXPECT_EQ(absolute_path("some dir/Skyvane/"), cwd + "/some dir/Skyvane/");
  EXPECT_EQ(absolute_path("./a/../b/"), cwd + "/b/");
#ifdef _WIN32
  // A destination given with the system's "\" is written with "/" after
  // its drive prefix, as every path of the program.
  EXPECT_EQ(absolute_path("C:\\some folder\\Skyvane"), "C:\\some folder/Skyvane");
  EXPECT_EQ(absolute_path("C:\\some folder\\Skyvane\\"), "C:\\some folder/Skyvane/");
  EXPECT_EQ(absolute_path("D:\\"), "D:\\");
#else
  EXPECT_EQ(absolute_path("/abs/path/"), "/abs/path/");
#endif

  fs::create_directories(dir / "exists");
  EXPECT_EQ(free_space_folder(dir / "exists/not/yet/Skyvane/"), dir / "exists/");
  EXPECT_EQ(free_space_folder(dir / "exists/"), dir / "exists/");
  // A destination whose every folder is new asks the root, "/" or the
  // drive's "C:\", whose space it will use.
#ifdef _WIN32
  const std::string root = dir.path().substr(0, 3);
  EXPECT_EQ(free_space_folder(root + "skyvane-none-yet/Skyvane/"), root);
#else
  const std::string root = "/";
  EXPECT_EQ(free_space_folder("/skyvane-none-yet/Skyvane/"), root);
#endif
  std::uint64_t free_bytes = 0;
  EXPECT_EQ(plat::disk_free_space(free_space_folder(root + "skyvane-none-yet/Skyvane/"), free_bytes), 0);
}

}  // namespace

TEST_F(CoreFaults, FailedDirectoryFetchesTryEveryServerBeforeAnyAgain) {
  // Four servers of which only the last can serve the directory file: the
  // attempts must reach it before the unattended mode's ten run out, from
  // whichever server the list's draw chose first and whatever the draws.
  for (unsigned seed = 1; seed <= 200; ++seed) {
    installer_state_reset();
    app_seed(seed);
    stg.num_servers = 4;
    stg.sel_server = static_cast<int>(seed % 4);
    bool tried[4] = {};
    tried[stg.sel_server] = true;
    for (int attempt = 1; attempt < 4; ++attempt) {
      directory_fetch_failed();
      ASSERT_GE(stg.sel_server, 0);
      ASSERT_LT(stg.sel_server, 4);
      EXPECT_FALSE(tried[stg.sel_server]) << "seed " << seed << ": server " << stg.sel_server
                                          << " again on attempt " << attempt + 1;
      tried[stg.sel_server] = true;
    }
  }
  // One server: it is the one tried again.
  installer_state_reset();
  stg.num_servers = 1;
  stg.sel_server = 0;
  directory_fetch_failed();
  EXPECT_EQ(stg.sel_server, 0);
}
