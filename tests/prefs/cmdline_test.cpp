#include <gtest/gtest.h>

#include "support/UTL_cmdline.h"
#include "tests/support/temp_dir.h"
#include "support/hl_init.h"

using testing_support::read_file;
using testing_support::TempDir;

namespace {

// Each case parses into a fresh table with the log open in its own folder,
// so the warning and echo lines can be checked.
class CmdlineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cmdline.clear();
    ASSERT_EQ(HL_open_log(dir.path()), 1);
  }
  void TearDown() override {
    HL_close_log();
    cmdline.clear();
    UTL_cmdline_exit_hook = nullptr;
  }
  std::string log() {
    xer.flush();
    return read_file(dir / "Log.txt");
  }
  TempDir dir;
};

TEST_F(CmdlineTest, TextParsingFollowsTokenRules) {
  cmdline.init_win("");
  EXPECT_TRUE(cmdline.options.empty());
  EXPECT_EQ(cmdline.has_option("--a"), 0);

  cmdline.init_win("--a=1 --b\t--a=2  x=y=z =lost --pref:_log_actions=1 --v=has blank");
  EXPECT_EQ(cmdline.get_option("--a"), "2");
  EXPECT_EQ(cmdline.has_option("--b"), 1);
  EXPECT_EQ(cmdline.get_option("--b"), "");
  EXPECT_EQ(cmdline.get_option("x"), "y=z");
  EXPECT_EQ(cmdline.get_option("--pref:_log_actions"), "1");
  EXPECT_EQ(cmdline.get_option("--v"), "has");
  EXPECT_EQ(cmdline.has_option("blank"), 1);
  // A token that begins with "=" stores nothing.
  EXPECT_EQ(cmdline.has_option(""), 0);
  EXPECT_EQ(cmdline.options.count("lost"), 0u);
  // Lookups are exact and case-sensitive.
  EXPECT_EQ(cmdline.has_option("--A"), 0);
  EXPECT_EQ(cmdline.has_option("--"), 0);

  const std::string l = log();
  EXPECT_NE(l.find("WARNING: command line option --a=2included twice.\n"), std::string::npos);
  EXPECT_NE(l.find("     '--a'='1'\n"), std::string::npos);
  EXPECT_NE(l.find("     '--b'\n"), std::string::npos);
}

TEST_F(CmdlineTest, ArgumentVectorKeepsEachArgumentWhole) {
  const char* argv[] = {"skyvane-installer", "--headless", "/home/u/My Games/Sim", "--modified=keep",
                        "--pref:_dest_dir=/a b/c", "second positional", "--x=1=2"};
  cmdline.init_args(7, argv);
  EXPECT_EQ(cmdline.positional(), "/home/u/My Games/Sim");
  EXPECT_EQ(cmdline.has_option("--headless"), 1);
  EXPECT_EQ(cmdline.get_option("--modified"), "keep");
  EXPECT_EQ(cmdline.get_option("--pref:_dest_dir"), "/a b/c");
  EXPECT_EQ(cmdline.get_option("--x"), "1=2");
  // Arguments that are not options never become option names.
  EXPECT_EQ(cmdline.has_option("second positional"), 0);
  EXPECT_EQ(cmdline.has_option("/home/u/My Games/Sim"), 0);
}

int g_exit_status = -1;

TEST_F(CmdlineTest, HelpAndCommandListEndTheProgram) {
  UTL_cmdline_exit_hook = [](int status) { g_exit_status = status; };
  testing::internal::CaptureStdout();
  cmdline.init_win("--help");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(g_exit_status, 0);
  EXPECT_EQ(out.rfind("Usage: Skyvane [options...]", 0), 0u);

  cmdline.clear();
  g_exit_status = -1;
  static std::string listed;
  UTL_cmdline_list_commands = [](const std::string& which) { listed = which; };
  cmdline.init_win("--cmnds=all -h");
  EXPECT_EQ(g_exit_status, 0);
  EXPECT_EQ(listed, "all");
  UTL_cmdline_list_commands = nullptr;
}

TEST(CmdlineDeathTest, HelpExitsWithStatusZero) {
  cmdline.clear();
  EXPECT_EXIT(cmdline.init_win("-h"), ::testing::ExitedWithCode(0), "");
}

}  // namespace
