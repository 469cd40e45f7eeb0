// The Windows installer's window under Wine, on Xvfb: the same program as
// the unattended Windows tests, driven with real clicks sent by xdotool.
//
// The program runs in a Wine desktop of its own (explorer /desktop), which
// takes the place of a window manager: Wine gives its windows the input
// focus there. The program logs where its client area lies on that desktop
// (below its title bar); window units map to screen pixels from there.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "tests/installer/e2e_fixture.h"

#include <X11/Xlib.h>  // last: its macros would clash with the headers above

namespace fs = std::filesystem;
using testing_support::read_file;

namespace e2e {
namespace {

// The window's placement as the program logged it: the client area's top
// left, the frame around it and the work area's top left, in screen pixels.
struct Placement {
  int x = 0, y = 0, left = 0, top = 0, right = 0, bottom = 0, work_x = 0, work_y = 0;
  bool found = false;
};
Placement placement_in(const std::string& log) {
  Placement p;
  const size_t at = log.find("Window at ");
  if (at != std::string::npos)
    p.found = std::sscanf(log.c_str() + at,
                          "Window at %d, %d (frame left %d, top %d, right %d, bottom %d); work area from %d, %d.",
                          &p.x, &p.y, &p.left, &p.top, &p.right, &p.bottom, &p.work_x, &p.work_y) == 8;
  return p;
}

Placement g_window;  // the window of the running test

// A click at (x, y) in window units (origin at the lower left, y up).
void click(float x, float y) {
  const std::string at = std::to_string(g_window.x + static_cast<int>(x)) + " " +
                         std::to_string(g_window.y + static_cast<int>(768 - y));
  std::system(("xdotool mousemove " + at + " >/dev/null 2>&1").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::system("xdotool mousedown 1 >/dev/null 2>&1");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  std::system("xdotool mouseup 1 >/dev/null 2>&1");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// Keys sent to the window with the input focus.
void type(const std::string& text) {
  std::system(("xdotool type --delay 60 '" + text + "' >/dev/null 2>&1").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}
void key(const std::string& name) {
  std::system(("xdotool key " + name + " >/dev/null 2>&1").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}
// A key pressed while AltGr (the layout's third-level key) is held, at a
// person's pace: the modifier down first, the key, then the modifier up.
// Wine on X finds a key's character from the modifiers of the last key
// event it has read from X; keys that follow too closely (a loaded machine
// drawing slowly reads several at once) would lend theirs to this one.
void altgr(const std::string& name) {
  std::system("xdotool keydown ISO_Level3_Shift >/dev/null 2>&1");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  key(name);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::system("xdotool keyup ISO_Level3_Shift >/dev/null 2>&1");
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
}

constexpr float kEulaX = 262, kEulaY = 234;  // the agreement window, 500 x 300
constexpr float kFolderX = 231, kFolderY = 147;  // the folder chooser, 561 x 474
constexpr float kPrefsX = 212, kPrefsY = 194;  // the preferences, 600 x 380

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
    if (restore_layout) std::system("setxkbmap -layout us >/dev/null 2>&1");
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
  bool restore_layout = false;
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
  // The whole window, title bar included, is on the desktop: the system
  // places a window by its client area, below and right of its frame.
  g_window = placement_in(log());
  ASSERT_TRUE(g_window.found) << log();
  EXPECT_GT(g_window.top, 0) << "no title bar: " << log();
  EXPECT_GE(g_window.y - g_window.top, g_window.work_y) << log();
  EXPECT_GE(g_window.x - g_window.left, g_window.work_x) << log();

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

// A folder typed in the chooser with Windows' "\\" is kept in the program's
// form ("\\" after the drive letter, "/" elsewhere), and PARENT FOLDER at
// a drive's root lists the drives.
TEST_F(WindowsWindowE2E, TheChoosersTypedPathAndTheDrives) {
  const fs::path on_c = fs::path(SKYVANE_WINEPREFIX) / "drive_c" / drive_folder;
  fs::create_directories(on_c / "pick/inner");
  proc = start({"explorer", "/desktop=skyvane-test,1280x1024", windows_path(exe), "--server_list_host=127.0.0.1:1",
                "C:\\" + drive_folder + "\\Skyvane"});
  ASSERT_TRUE(wait_log("Screen: ", 90)) << log();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  g_window = placement_in(log());
  ASSERT_TRUE(g_window.found) << log();

  click(10 + 63, 78 + 11);  // the destination: the chooser opens
  click(kFolderX + 200, kFolderY + 70 + 4);  // its path field
  key("--repeat 400 BackSpace");
  type("C:\\" + drive_folder + "\\pick\\inner");
  click(kFolderX + 380, kFolderY + 25);  // OK
  ASSERT_TRUE(wait_log("Folder chosen: ", 15)) << log();
  EXPECT_NE(log().find("Folder chosen: C:\\" + drive_folder + "/pick/inner/\n"), std::string::npos) << log();

  // Again, from the chosen folder up to the drive's root, then the drives;
  // the first of them opens (drive C in Wine's list is before Z).
  click(10 + 63, 78 + 11);
  for (int i = 0; i < 4; ++i) click(kFolderX + 90, kFolderY + 105);  // PARENT FOLDER
  click(kFolderX + 100, kFolderY + 360 + 4);  // the first row: drive C
  click(kFolderX + 380, kFolderY + 25);  // OK
  ASSERT_TRUE(wait_log("Folder chosen: C:\\\n", 15)) << log();

  click(960 + 25, 78 + 11);  // QUIT
  for (int i = 0; i < 300 && proc->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(proc->running());
}

// On many layouts the right Alt key (AltGr) types characters of its own;
// Windows reports it as Ctrl+Alt. The character must reach the focused
// field, and the key must not act as the Ctrl shortcut of its letter. The
// layout here types "@" with AltGr+V, "&" with AltGr+C and "#" with AltGr+X:
// taken as Ctrl+V, Ctrl+C and Ctrl+X they would paste, copy and cut. The
// plain Ctrl shortcuts still work beside them. (Ctrl+Alt pressed as two keys
// types nothing under Wine on X, which knows no such stand-in for AltGr;
// there the key stays the Ctrl+Alt command of its letter.)
TEST_F(WindowsWindowE2E, AltGrTypesItsCharacterInAFieldBesideTheCtrlShortcuts) {
  // The X server goes back to its first keyboard layout when its last
  // client leaves: a connection is held while the layout is in use. Wine
  // reads the layout when a program starts.
  Display* held = XOpenDisplay(nullptr);
  ASSERT_NE(held, nullptr);
  std::unique_ptr<Display, int (*)(Display*)> hold(held, XCloseDisplay);
  ASSERT_EQ(std::system("setxkbmap -layout hu >/dev/null 2>&1"), 0) << "no keyboard layout with AltGr characters";
  restore_layout = true;
  proc = start({"explorer", "/desktop=skyvane-test,1280x1024", windows_path(exe), "--server_list_host=127.0.0.1:1",
                "C:\\" + drive_folder + "\\Skyvane"});
  ASSERT_TRUE(wait_log("Screen: ", 90)) << log();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  g_window = placement_in(log());
  ASSERT_TRUE(g_window.found) << log();

  click(50, 750);  // the preferences
  click(kPrefsX + 200, kPrefsY + 40 + 4);  // the proxy host field
  // Ctrl+A, Ctrl+C: "clip" goes to the clipboard; Ctrl+A and BackSpace
  // empty the field.
  type("clip");
  key("ctrl+a");
  key("ctrl+c");
  key("ctrl+a");
  key("BackSpace");
  type("user");
  altgr("v");  // @
  type("proxy");
  altgr("c");  // &
  altgr("x");  // #
  type("lan");
  key("ctrl+v");  // the clipboard: "clip"
  click(kPrefsX + 10, kPrefsY + 370);  // the close box
  std::this_thread::sleep_for(std::chrono::seconds(1));
  click(960 + 25, 78 + 11);  // QUIT
  for (int i = 0; i < 300 && proc->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_FALSE(proc->running());

  std::string prefs;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::path(SKYVANE_WINEPREFIX) / "drive_c/users", ec))
    if (fs::exists(e.path() / "AppData/Roaming/Skyvane/Skyvane Installer.prf"))
      prefs = read_file((e.path() / "AppData/Roaming/Skyvane/Skyvane Installer.prf").string());
  EXPECT_NE(prefs.find("_proxy_host user@proxy&#lanclip\n"), std::string::npos) << prefs << "\n" << log();
}

// A start-up that finds no OpenGL (an X server without GLX, so that Wine
// has no pixel format to give) cannot show its failure in the window: it
// reaches the system's message box (its test stand-in writes a file) as
// well as the log, and the program ends with a failure.
TEST_F(WindowsWindowE2E, AStartWithoutOpenGLReachesTheMessageBox) {
  const std::string box = work / "message box.txt";
  testing_support::set_env("SKYVANE_MESSAGE_BOX_FILE", windows_path(box));
  const std::string wine_run = program;
  program = "xvfb-run";
  proc = start({"-a", "-s", "-screen 0 1280x1024x24 -extension GLX", wine_run, windows_path(exe),
                "C:\\" + drive_folder + "\\Skyvane"});
  program = wine_run;
  for (int i = 0; i < 900 && proc->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  testing_support::unset_env("SKYVANE_MESSAGE_BOX_FILE");
  ASSERT_FALSE(proc->running()) << log();
  EXPECT_EQ(proc->wait_exit(), 1) << log();
  EXPECT_NE(log().find("The window could not be made"), std::string::npos) << log();
  const std::string shown = read_file(box);
  EXPECT_EQ(shown.rfind("Aerodeck Message\nI could not set up the graphics", 0), 0u) << shown << "\n" << log();
}

}  // namespace
}  // namespace e2e
