#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include "engine/IO_UTILS.h"
#include "installer/main.h"
#include "net/http.h"
#include "support/UTL_cmdline.h"
#include "platform/fault.h"
#include "prefs/pref.h"
#include "tests/installer/settings_folder.h"
#include "tests/support/temp_dir.h"
#include "support/hl_init.h"

using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

using installer_test::kConfigVar;
using installer_test::kSettingsFolder;

namespace {

// The preferences file lives in $XDG_CONFIG_HOME/skyvane/; each case points
// that at its own folder.
class Prefs : public ::testing::Test {
 protected:
  void SetUp() override {
    old_config_ = std::getenv(kConfigVar) ? std::getenv(kConfigVar) : "";
    testing_support::set_env(kConfigVar, dir.path() + "config");
    installer_state_reset();
    http.reset();
    cmdline.clear();
    HL_open_log(dir.path());
  }
  void TearDown() override {
    HL_close_log();
    cmdline.clear();
    http.reset();
    installer_state_reset();
    if (old_config_.empty())
      testing_support::unset_env(kConfigVar);
    else
      testing_support::set_env(kConfigVar, old_config_);
  }
  std::string file() { return dir.path() + "config" + kSettingsFolder + "Skyvane Installer.prf"; }
  TempDir dir;
  std::string old_config_;
};

TEST_F(Prefs, StartValuesWriteEightLines) {
  pref.IO_set(11, 1);
  EXPECT_EQ(read_file(file()),
            "I\n9001 version\n_use_max_cpu 0\n_rename_folder 1\n_stream_count 0\n_log_actions 0\n"
            "_always_ask_dir 0\n_proxy_port_int 0\n");
}

// The highest serial of a signed statement seen per server-list host
// survives the run: an older statement is refused by the next run too.
TEST_F(Prefs, ReleaseSerialsPerHostRoundTrip) {
  release_serials["127.0.0.1:8080"] = 1796000123;
  release_serials["lists.example.org"] = 7;
  release_serials["never.example.org"] = 0;  // refused before any was seen: nothing to keep
  pref.IO_set(11, 1);
  const std::string text = read_file(file());
  EXPECT_NE(text.find("_release_serial_127.0.0.1:8080 1796000123\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("never.example.org"), std::string::npos) << text;
  release_serials.clear();
  pref.IO_set(11, 0);
  EXPECT_EQ(release_serials["127.0.0.1:8080"], 1796000123u);
  EXPECT_EQ(release_serials["lists.example.org"], 7u);
  // A value that is not a number is ignored, not read as 0 or as a prefix.
  write_file(file(), "I\n9001 version\n_release_serial_h 12x\n_release_serial_g 99\n");
  release_serials.clear();
  pref.IO_set(11, 0);
  EXPECT_EQ(release_serials.count("h"), 0u);
  EXPECT_EQ(release_serials["g"], 99u);
  release_serials.clear();
}

// The keep-alive preference: read from the file or the command line, saved
// only when off.
TEST_F(Prefs, KeepAliveIsReadFromFileAndCommandLineAndSavedOnlyWhenOff) {
  pref.IO_set(11, 1);
  EXPECT_EQ(read_file(file()).find("_keep_alive"), std::string::npos);
  cmdline.init_win("--pref:_keep_alive=0");
  pref.IO_set(11, 0);
  EXPECT_EQ(http.keep_alive, 0);
  pref.IO_set(11, 1);
  EXPECT_NE(read_file(file()).find("\n_keep_alive 0\n"), std::string::npos) << read_file(file());
  cmdline.clear();
  http.keep_alive = 1;
  pref.IO_set(11, 0);
  EXPECT_EQ(http.keep_alive, 0);  // from the file
  write_file(file(), "I\n9001 version\n_keep_alive 7\n");
  pref.IO_set(11, 0);
  EXPECT_EQ(http.keep_alive, 1);
}

// The bandwidth cap: from the command line or the file, in thousands of
// bytes a second, handed to the pool in bytes a second, saved only when
// set; a value out of range is brought into 0..999999.
TEST_F(Prefs, MaxRateReachesThePoolAndIsSavedOnlyWhenSet) {
  pref.IO_set(11, 1);
  EXPECT_EQ(read_file(file()).find("_max_rate"), std::string::npos);
  cmdline.init_win("--pref:_max_rate=2000");
  pref.IO_set(11, 0);
  EXPECT_EQ(stg.max_rate, 2000);
  EXPECT_EQ(http.max_rate, 2000000.0);
  pref.IO_set(11, 1);
  EXPECT_NE(read_file(file()).find("\n_max_rate 2000\n"), std::string::npos) << read_file(file());
  cmdline.clear();
  stg.max_rate = 0;
  http.max_rate = 0;
  pref.IO_set(11, 0);
  EXPECT_EQ(http.max_rate, 2000000.0);  // from the file
  write_file(file(), "I\n9001 version\n_max_rate -5\n");
  pref.IO_set(11, 0);
  EXPECT_EQ(stg.max_rate, 0);
  EXPECT_EQ(http.max_rate, 0.0);
  write_file(file(), "I\n9001 version\n_max_rate 5000000\n");
  pref.IO_set(11, 0);
  EXPECT_EQ(stg.max_rate, 999999);
}

TEST_F(Prefs, RoundTripKeepsEverySettingAndBlanksInPaths) {
  stg.use_max_cpu = 1;
  stg.rename_folder = 0;
  stg.stream_count = 3;
  stg.log_actions = 1;
  stg.always_ask_dir = 1;
  dest_dir_path = "/home/pilot/My Sims/Skyvane 9/";
  http.ProxyHost = "proxy.local";
  http.ProxyPort_str = "8080";
  http.ProxyPort_int = 8080;
  pref.IO_set(11, 1);

  installer_state_reset();
  http.reset();
  pref.IO_set(11, 0);
  EXPECT_EQ(stg.use_max_cpu, 1);
  EXPECT_EQ(stg.rename_folder, 0);
  EXPECT_EQ(stg.stream_count, 3);
  EXPECT_EQ(stg.log_actions, 1);
  EXPECT_EQ(stg.always_ask_dir, 1);
  EXPECT_EQ(dest_dir_path, "/home/pilot/My Sims/Skyvane 9/");
  EXPECT_EQ(http.ProxyHost, "proxy.local");
  EXPECT_EQ(http.ProxyPort_str, "8080");
  EXPECT_EQ(http.ProxyPort_int, 8080);
}

TEST_F(Prefs, LineEndsBlanksAndRepeatedTags) {
  write_file(file(), "I junk\r\n9001 version\r\n\r\n  _stream_count\t 3\r\n_log_actions 1\r_dest_dir_path /a b/c \n"
                     "_log_actions 0x\n_rename_folder\n");
  pref.IO_set(11, 0);
  EXPECT_EQ(stg.stream_count, 3);
  EXPECT_EQ(stg.log_actions, 0);  // the later value wins; "0x" reads as 0
  EXPECT_EQ(dest_dir_path, "/a b/c /");  // trailing blank kept, final "/" added
  EXPECT_EQ(stg.rename_folder, 0);  // an empty value reads as 0
}

TEST_F(Prefs, ForeignOrOldFileIsIgnored) {
  write_file(file(), "I\n9000 version\n_stream_count 3\n");
  pref.IO_set(11, 0);
  EXPECT_EQ(stg.stream_count, 0);
  write_file(file(), "X\n9001 version\n_stream_count 3\n");
  pref.IO_set(11, 0);
  EXPECT_EQ(stg.stream_count, 0);
}

TEST_F(Prefs, CommandLineOverridesWinAndAreSaved) {
  cmdline.init_win("--pref:_stream_count=3 --pref:_proxy_host=cmd.proxy");
  pref.IO_set(11, 0);  // no file at all
  EXPECT_EQ(stg.stream_count, 3);
  EXPECT_EQ(http.ProxyHost, "cmd.proxy");
  write_file(file(), "I\n9001 version\n_stream_count 1\n");
  pref.IO_set(11, 0);
  EXPECT_EQ(stg.stream_count, 3);
  pref.IO_set(11, 1);
  EXPECT_NE(read_file(file()).find("_stream_count 3\n"), std::string::npos);
}

// An empty destination, from the command line or from an empty line of the
// file, is no destination: the default one stays (the program once ended on
// it, an empty text being no folder path).
TEST_F(Prefs, AnEmptyDestinationLeavesTheDefault) {
  dest_dir_path = "/home/pilot/Skyvane/";
  write_file(file(), "I\n9001 version\n_dest_dir_path \n_proxy_host relay.tarnvale\n");
  pref.IO_set(11, 0);
  EXPECT_EQ(dest_dir_path, "/home/pilot/Skyvane/");
  EXPECT_EQ(http.ProxyHost, "relay.tarnvale");
  cmdline.init_win("--pref:_dest_dir_path=");
  pref.IO_set(11, 0);
  EXPECT_EQ(dest_dir_path, "/home/pilot/Skyvane/");
}

}  // namespace

namespace {

TEST_F(Prefs, AFailedSaveKeepsTheOldFile) {
  stg.stream_count = 2;
  pref.IO_set(11, 1);
  const std::string before = read_file(file());
  ASSERT_NE(before.find("_stream_count 2\n"), std::string::npos);

  // The disk fills up while the new file is written: the old one stays whole.
  stg.stream_count = 3;
  plat::fault_arm(plat::Op::rename, ENOSPC);
  pref.IO_set(11, 1);
  plat::fault_clear();
  EXPECT_EQ(read_file(file()), before);
  EXPECT_FALSE(testing_support::exists(file() + ".new"));
  xer.flush();
  EXPECT_NE(read_file(dir / "Log.txt").find("Could not save the preferences"), std::string::npos);

  pref.IO_set(11, 1);
  EXPECT_NE(read_file(file()).find("_stream_count 3\n"), std::string::npos);
}

}  // namespace
