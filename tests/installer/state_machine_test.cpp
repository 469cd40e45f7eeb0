// The main screen's phases, texts and clicks, one frame at a time, with a
// scripted screen in place of the window and no network: every state here
// is one in which APP_update starts no transfer.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/utils.h"
#include "installer/main.h"
#include "net/http.h"
#include "platform/system.h"
#include "support/UTL_cmdline.h"
#include "tests/support/temp_dir.h"
#include "support/hl_init.h"
#include "ui/xtim.h"

namespace fs = std::filesystem;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

// Clicks what the test says, once, and answers the folder question.
class scripted_screen : public main_screen {
 public:
  int click = 0;
  int click_destination_text = 0;
  std::string folder;  // answer of the folder question; empty: cancel
  int install_enabled_seen = -1;

  int destination_box() override { return std::exchange(click_destination_text, 0); }
  int buttons(const app_texts&, int install_enabled) override {
    install_enabled_seen = install_enabled;
    return std::exchange(click, 0);
  }
  int choose_folder(const std::string&, std::string& chosen) override {
    chosen = folder;
    return folder.empty() ? 0 : 1;
  }
  int accept_agreement() override { return 1; }
};

class StateMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    installer_state_reset();
    engine_state_reset();
    http.reset();
    cmdline.clear();
    app_done = 0;
    HL_open_log(dir.path());
    temp_path = dir / "tmp/";
    fs::create_directories(temp_path);
    dest_dir_path = dir / "dest/";
    app_screen = &screen;
  }
  void TearDown() override {
    app_screen = &quiet;
    HL_close_log();
    installer_state_reset();
    engine_state_reset();
    app_done = 0;
  }
  void frame() {
    xtim.xtim_update();
    APP_update();
  }
  TempDir dir;
  scripted_screen screen;
  main_screen quiet;
};

TEST_F(StateMachine, StatusLineFollowsThePhases) {
  stg.num_servers = 0;
  frame();
  EXPECT_EQ(app_now.status, "I could not find any servers to get Skyvane from!");
  EXPECT_EQ(app_now.status_colour, col_warning);

  stg.num_servers = 1;
  stg.dir_scan = 2;
  frame();
  EXPECT_EQ(app_now.status.rfind("I can not find a version of Skyvane on the net!", 0), 0u);
  EXPECT_EQ(screen.install_enabled_seen, 0);

  stg.dir_scan = 3;
  frame();
  EXPECT_EQ(app_now.status.rfind("To make the download a LOT faster", 0), 0u);
  EXPECT_EQ(screen.install_enabled_seen, 1);
  for (const char* f : {"Airfoils", "Instructions", "Old Output", "Resources"}) fs::create_directories(dest_dir_path + f);
  frame();
  EXPECT_EQ(app_now.status.rfind("You have selected an earlier version of Skyvane", 0), 0u);

  next.dir_done = 1;
  frame();
  EXPECT_EQ(app_now.status, "INSTALLATION COMPLETE!");
  EXPECT_EQ(app_now.status_colour, col_success);
  EXPECT_EQ(wrl_i, 21);
}

TEST_F(StateMachine, ReadyLinesCheckTheDiskSpace) {
  stg.num_servers = 1;
  stg.dir_scan = 3;
  install_name = "Skyvane 9.01";
  fs::create_directories(dest_dir_path);
  frame();
  EXPECT_EQ(app_now.line[0], "Your copy of Skyvane is already the latest version.");
  EXPECT_EQ(app_now.line[2], "This is a beta installer.");

  stg.disk_req = 12340;
  frame();
  EXPECT_EQ(app_now.line[0], "You are about to install 12.3 Meg of files to get Skyvane 9.01.");
  EXPECT_EQ(app_now.line[1].rfind("You have ", 0), 0u);
  EXPECT_EQ(app_now.line[2], "You may install at will.");
  EXPECT_EQ(app_now.line_colour[2], col_success);

  stg.disk_req = 1e15f;  // more than any disk
  frame();
  EXPECT_EQ(app_now.line[2], "You don't have enough disk space to install this!");
  EXPECT_EQ(disk_space_avail, 0);
  frame();  // the buttons of the next frame see the answer
  EXPECT_EQ(screen.install_enabled_seen, 0);

  // A destination that does not exist yet is asked through its nearest
  // existing parent: a fresh install gets its disk check too.
  dest_dir_path = dir / "no/such/folder/";
  stg.disk_req = 12340;
  frame();
  EXPECT_EQ(app_now.line[1].rfind("You have ", 0), 0u);
  EXPECT_EQ(app_now.line[2], "You may install at will.");
  stg.disk_req = 1e15f;
  frame();
  EXPECT_EQ(app_now.line[2], "You don't have enough disk space to install this!");
  EXPECT_EQ(disk_space_avail, 0);
}

TEST_F(StateMachine, TransferFailureLinesWinInEveryPhase) {
  stg.num_servers = 1;
  stg.dir_scan = 3;
  stg.got_404 = 1;
  crnt_file_path = "/pub/v1/Skyvane/a.txt.zip";
  frame();
  EXPECT_EQ(app_now.line[0], "I can NOT download the file '/pub/v1/Skyvane/a.txt.zip'!");
  EXPECT_EQ(app_now.line_colour[0], col_failure);

  stg.got_404 = 0;
  stg.step = 2;
  stg.got_failed_install = 1;
  frame();
  EXPECT_EQ(app_now.line[0], "The installation was not completed because an error occurred.");
  stg.got_failed_install = 0;
  frame();
  EXPECT_EQ(app_now.line[0], "INSTALLATION COMPLETE!");
}

TEST_F(StateMachine, DestinationChangeRereadsTheDirectoryAgainstTheNewFolder) {
  stg.num_servers = 1;
  stg.dir_scan = 3;
  stg.step = 2;
  dir_path = dir / "directory.txt";
  write_file(dir_path, "I\n900\nINSTALLER\nDIR Skyvane/\nFILE 0 0 1 5 5 0123456789abcdef0123456789abcdef a.txt\n");
  net_dir_path_zip = temp_path + "directory.txt.zip";  // formed: the frame does not form it again

  // Cancelled: nothing changes.
  screen.click = btn_destination;
  frame();
  EXPECT_EQ(stg.step, 2);
  EXPECT_EQ(dest_dir_path, dir / "dest/");

  // A plain folder gets a "Skyvane/" sub-folder; the directory is read again.
  screen.folder = dir / "games";
  screen.click = btn_destination;
  frame();
  EXPECT_EQ(dest_dir_path, dir / "games/Skyvane/");
  EXPECT_EQ(stg.step, 0);
  EXPECT_EQ(stg.dir_scan, 1);
  frame();  // the next frame reads it
  EXPECT_EQ(stg.dir_scan, 3);
  EXPECT_FLOAT_EQ(stg.disk_req, 5);

  // While installing the destination cannot change.
  stg.step = 1;
  screen.click_destination_text = 1;
  screen.folder = dir / "elsewhere/";
  sim_info.files.clear();
  frame();
  EXPECT_EQ(dest_dir_path, dir / "games/Skyvane/");
}

TEST_F(StateMachine, QuitDeletesTheStreamsPartialDownloads) {
  stg.num_servers = 1;
  stg.dir_scan = 3;
  sim_info.files.resize(3);
  for (auto& h : sim_info.files) h.versions.resize(1);
  next.stream[0].phase = next.stream[1].phase = stream_phase::working;
  next.stream[0].entry = 1;
  next.stream[1].entry = 5;  // past the end: nothing of it to delete
  write_file(stream_archive_path(0), "partial");
  write_file(stream_archive_path(1), "kept");
  screen.click = btn_quit;
  stg.step = 0;  // ready: the executor does not run in this frame
  frame();
  EXPECT_EQ(app_done, 1);
  EXPECT_EQ(stg.step, 2);
  EXPECT_FALSE(fs::exists(stream_archive_path(0)));
  EXPECT_TRUE(fs::exists(stream_archive_path(1)));
}

}  // namespace

namespace {

TEST(DiscSearch, MarkerFileAndMountTable) {
  TempDir disc;
  installer_state_reset();
  EXPECT_EQ(check_dvd(disc.path()), 0);
  write_file(disc / "dvd_version.txt", "I\n901\nDVD\n");
  EXPECT_EQ(check_dvd(disc.path()), 0);
  write_file(disc / "dvd_version.txt", "I\r\n900 disc one\r\nDVD\r\n");
  EXPECT_EQ(check_dvd(disc.path()), 1);
  EXPECT_EQ(dvd_path, disc.path());
  installer_state_reset();

  const auto roots = plat::disc_roots_from_mounts(
      "/dev/sda1 / ext4 rw 0 0\n"
      "/dev/sr0 /media/pilot/SKYVANE\\040DISC iso9660 ro,nosuid 0 0\n"
      "/dev/sr1 /mnt/dvd udf ro 0 0\n"
      "tmpfs /tmp tmpfs rw 0 0\n");
  ASSERT_EQ(roots.size(), 2u);
  EXPECT_EQ(roots[0], "/media/pilot/SKYVANE DISC/");
  EXPECT_EQ(roots[1], "/mnt/dvd/");
}

}  // namespace
