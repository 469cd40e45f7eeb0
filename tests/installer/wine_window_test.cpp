// The Windows installer's window under Wine, on Xvfb: the same program as
// the unattended Windows tests, driven with real clicks sent by xdotool.
//
// The program runs in a Wine desktop of its own (explorer /desktop), which
// takes the place of a window manager: Wine gives its windows the input
// focus there, and the window's client area starts at the screen's top
// left corner, so window units map to screen pixels (x, 768 - y).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "tests/installer/e2e_fixture.h"

namespace fs = std::filesystem;
using testing_support::read_file;

namespace e2e {
namespace {

// A click at (x, y) in window units (origin at the lower left, y up).
void click(float x, float y) {
  const std::string at = std::to_string(static_cast<int>(x)) + " " + std::to_string(static_cast<int>(768 - y));
  std::system(("xdotool mousemove " + at + " >/dev/null 2>&1").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::system("xdotool mousedown 1 >/dev/null 2>&1");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  std::system("xdotool mouseup 1 >/dev/null 2>&1");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

constexpr float kEulaX = 262, kEulaY = 234;  // the agreement window, 500 x 300

class WindowsWindowE2E : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    exe = work / "skyvane-installer.exe";
    fs::copy_file(SKYVANE_WIN_INSTALLER_EXE, exe, fs::copy_options::overwrite_existing);
    program = SKYVANE_WINE_RUN;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(SKYVANE_WINEPREFIX) / "drive_c/users", ec)) {
      fs::remove_all(e.path() / "AppData/Roaming/Skyvane", ec);
      fs::remove_all(e.path() / "Temp/skyvane", ec);
    }
    std::random_device rd;
    drive_folder = "Skyvane window " + std::to_string(rd() % 1000000);
    // The wrapper keeps the display for this program.
    testing_support::set_env("SKYVANE_WINE_WINDOW", "1");
  }
  void TearDown() override {
    testing_support::unset_env("SKYVANE_WINE_WINDOW");
    std::error_code ec;
    fs::remove_all(fs::path(SKYVANE_WINEPREFIX) / "drive_c" / drive_folder, ec);
    InstallerTest::TearDown();
  }
  bool wait_log(const std::string& text, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      if (log().find(text) != std::string::npos) return true;
      if (!proc->running()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }

  std::unique_ptr<testservers::ChildProcess> proc;
  std::string exe, drive_folder;
};

TEST_F(WindowsWindowE2E, InstallAcceptAndQuitWithTheMouse) {
  tree_map tree = {{"Instructions/Manual.txt", "read me first\r\n"},
                   {"Resources/add-ons/driver.win", "windows driver"},
                   {"Resources/add-ons/driver.linux", "linux driver"},
                   {"Craft/Kestrel 2/Kestrel 2.craft", std::string(200000, 'c')}};
  publish(tree, "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});

  proc = start({"explorer", "/desktop=skyvane-test,1280x1024", windows_path(exe), "--pref:_rename_folder=0",
                "C:\\" + drive_folder + "\\Skyvane"});
  ASSERT_TRUE(wait_log("Screen: You are about to install", 90)) << log();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the window drawn and shown

  click(450 + 41, 78 + 11);  // INSTALL
  std::this_thread::sleep_for(std::chrono::seconds(1));
  click(kEulaX + 400 + 29, kEulaY + 10 + 11);  // ACCEPT
  ASSERT_TRUE(wait_log("Screen: INSTALLATION COMPLETE!", 90)) << log();

  const fs::path installed = fs::path(SKYVANE_WINEPREFIX) / "drive_c" / drive_folder / "Skyvane";
  EXPECT_EQ(read_file((installed / "Resources/add-ons/driver.win").string()), "windows driver");
  EXPECT_EQ(read_file((installed / "Instructions/Manual.txt").string()), "read me first\r\n");
  EXPECT_EQ(read_file((installed / "Craft/Kestrel 2/Kestrel 2.craft").string()), std::string(200000, 'c'));
  EXPECT_FALSE(fs::exists(installed / "Resources/add-ons/driver.linux"));

  click(960 + 25, 78 + 11);  // QUIT
  for (int i = 0; i < 300 && proc->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_FALSE(proc->running()) << "quit did not end the program";
  EXPECT_EQ(proc->wait_exit(), 0) << log();
  EXPECT_NE(log().find("Clean exit from threads."), std::string::npos) << log();
}

}  // namespace
}  // namespace e2e
