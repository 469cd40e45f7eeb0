#include <gtest/gtest.h>

#include <cstdlib>

#include "support/UTL_cmdline.h"
#include "tests/support/temp_dir.h"
#include "support/exce.h"
#include "support/alert.h"
#include "support/hl_init.h"

using testing_support::read_file;
using testing_support::TempDir;

namespace {

// Alerts without a window: they go to standard error and the log; a fatal
// one ends the process with a failure status.
class AlertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cmdline.clear();
    ogl_inited = 0;
    in_alert = 0;
    ASSERT_EQ(HL_open_log(dir.path()), 1);
  }
  void TearDown() override {
    HL_close_log();
    cmdline.clear();
    alert_drawer = nullptr;
  }
  std::string log() {
    xer.flush();
    return read_file(dir / "Log.txt");
  }
  TempDir dir;
};

TEST_F(AlertTest, MessageGoesToStandardErrorAndLog) {
  testing::internal::CaptureStderr();
  __MACIBM_alert(0, "first", "second", "", "fourth", t_alert, "utils", 177);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Aerodeck Message\nfirst\n\nsecond\n\n\n\nfourth\n"), std::string::npos);
  EXPECT_NE(log().find("first\nsecond\n\nfourth\n(utils line 177)\n"), std::string::npos);
  EXPECT_EQ(in_alert, 0);
}

TEST_F(AlertTest, EmptyAlertShowsNothingButIsLogged) {
  testing::internal::CaptureStderr();
  __MACIBM_alert(0, "", "", "", "", t_alert, "utils", 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_NE(log().find("(utils line 1)\n"), std::string::npos);
}

TEST_F(AlertTest, LanguageChoiceIsNotLogged) {
  testing::internal::CaptureStderr();
  __MACIBM_alert(0, "pick", "", "", "", t_lang, "hl_init", 5);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(log().find("pick"), std::string::npos);
}

TEST_F(AlertTest, DrawerIsUsedOnceTheWindowIsUp) {
  static int drawn = 0;
  static std::string where;
  alert_drawer = [](int, const std::string lines[4], int type, const std::string& w) {
    ++drawn;
    where = w + lines[0];
  };
  ogl_inited = 1;
  __MACIBM_alert(0, "shown", "", "", "", t_alert, "oglp", 9);
  ogl_inited = 0;
  EXPECT_EQ(drawn, 1);
  EXPECT_EQ(where, "(oglp line 9)shown");
}

TEST_F(AlertTest, LongTextIsCutForTheMessageBox) {
  testing::internal::CaptureStderr();
  __MACIBM_alert(0, std::string(3000, 'x'), "", "", "", t_alert, "x", 1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.size(), std::string("Aerodeck Message\n").size() + 2000 + 1);
}

using AlertDeathTest = AlertTest;

TEST_F(AlertDeathTest, FatalAlertEndsTheProcessAndLogs) {
  EXPECT_EXIT(__MACIBM_alert(0, "fatal one", "", "", "", t_exit, "xmap", 122), ::testing::ExitedWithCode(1),
              "fatal one");
#ifndef _WIN32  // a Windows death test runs in a new process, with a log of its own
  EXPECT_NE(log().find("fatal one\n\n\n\n(xmap line 122)\n"), std::string::npos);
#endif
}

TEST_F(AlertDeathTest, FpsTestLogsOnlyAndFatalExitsWithOne) {
  cmdline.init_win("--fps_test");
  testing::internal::CaptureStderr();
  __MACIBM_alert(0, "quiet", "", "", "", t_alert, "utils", 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_NE(log().find("quiet\n\n\n\n(utils line 3)\n"), std::string::npos);
  EXPECT_EXIT(__MACIBM_alert(0, "bye", "", "", "", t_exit, "utils", 4), ::testing::ExitedWithCode(1), "");
}

TEST_F(AlertDeathTest, AlertInsideAlertEndsTheProgram) {
  alert_drawer = [](int, const std::string[4], int, const std::string&) {
    __MACIBM_alert(0, "inner", "", "", "", t_alert, "inner", 2);
  };
  ogl_inited = 1;
  EXPECT_EXIT(__MACIBM_alert(0, "outer", "", "", "", t_alert, "outer", 1), ::testing::ExitedWithCode(1), "inner");
  ogl_inited = 0;
}

// What the window cannot show reaches the system's message box as well as
// the log (the box's test stand-in writes it to a file): an alert before
// the window is up, and an alert raised inside another alert.
TEST_F(AlertDeathTest, FailuresTheWindowCannotShowReachTheMessageBox) {
  // A death test on Windows runs this body again in a new process, with a
  // folder of its own: the file named by the first run is kept.
  const char* named = std::getenv("SKYVANE_MESSAGE_BOX_FILE");
  const std::string box = named && *named ? std::string(named) : dir / "box.txt";
#ifdef _WIN32
  ASSERT_EQ(_putenv_s("SKYVANE_MESSAGE_BOX_FILE", box.c_str()), 0);
#else
  ASSERT_EQ(setenv("SKYVANE_MESSAGE_BOX_FILE", box.c_str(), 1), 0);
#endif
  testing::internal::CaptureStderr();
  __MACIBM_alert(0, "no window yet", "second", "", "", t_alert, "utils", 5);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(read_file(box).rfind("Aerodeck Message\nno window yet\n\nsecond\n\n\n\n\n", 0), 0u) << read_file(box);
  alert_drawer = [](int, const std::string[4], int, const std::string&) {
    __MACIBM_alert(0, "inner", "", "", "", t_alert, "inner", 2);
  };
  ogl_inited = 1;
  EXPECT_EXIT(__MACIBM_alert(0, "outer", "", "", "", t_alert, "outer", 1), ::testing::ExitedWithCode(1), "inner");
  ogl_inited = 0;
#ifdef _WIN32
  _putenv_s("SKYVANE_MESSAGE_BOX_FILE", "");
#else
  unsetenv("SKYVANE_MESSAGE_BOX_FILE");
#endif
  EXPECT_NE(read_file(box).find("Aerodeck Message\ninner\n"), std::string::npos) << read_file(box);
}

TEST_F(AlertTest, ReportShowsTheRecord) {
  exce_class e("r1", "r2", "r3", "r4", "HL_THREAD", 42, t_alert);
  exce_class copy(e);
  testing::internal::CaptureStderr();
  copy.Report();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("r1\n\nr2\n\nr3\n\nr4"), std::string::npos);
  EXPECT_NE(log().find("(HL_THREAD line 42)"), std::string::npos);
  copy.MakeFatal();
  EXPECT_EQ(copy.quit_, t_exit);
}

}  // namespace
