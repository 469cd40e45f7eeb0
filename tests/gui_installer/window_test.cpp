// The installer in its window: the real program under Xvfb against nginx on
// loopback, driven by clicks and keys sent with xdotool at the places the
// screens draw their buttons. Screenshots of every screen are saved.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/gui_installer/x_screen.h"
#include "tests/installer/e2e_fixture.h"

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::write_file;

namespace e2e {
namespace {

tree_map release_a() {
  return {
      {"Foil Sections/Section 0012.wing", "section"},
      {"Instructions/Manual.txt", "read me first\n"},
      {"Output/logbooks/readme.txt", "logbooks"},
      {"Resources/shared data/beacon list.txt", std::string(300000, 'n')},
      {"Resources/add-ons/driver.linux", "linux driver"},
      {"Resources/add-ons/driver.win", "windows driver"},
      {"Skyvane.linux", std::string(200000, 'x')},
  };
}

tree_map release_b() {
  tree_map b = release_a();
  b["Foil Sections/Section 0012.wing"] = "section, revised";
  b["Foil Sections/Section 2412.wing"] = "new section";
  return b;
}

// Window-relative places of the modal windows (centred in 1024 x 768).
constexpr float kEulaX = 262, kEulaY = 234;      // 500 x 300
constexpr float kPrefsX = 212, kPrefsY = 194;    // 600 x 380
constexpr float kSelectX = 162, kSelectY = 311;  // 700 x 146
constexpr float kFolderX = 231, kFolderY = 147;  // 561 x 474

class InstallerWindow : public InstallerTest {
 protected:
  // The fixture points HOME, XDG_CONFIG_HOME and TMPDIR into its folder:
  // put them back for the next test of this program.
  void TearDown() override {
    if (proc && proc->running()) proc->stop();
    InstallerTest::TearDown();
    for (auto& [name, value] : saved_env) {
      if (value.empty())
        unsetenv(name.c_str());
      else
        setenv(name.c_str(), value.c_str(), 1);
    }
  }
  std::vector<std::pair<std::string, std::string>> saved_env = [] {
    std::vector<std::pair<std::string, std::string>> v;
    for (const char* n : {"HOME", "XDG_CONFIG_HOME", "TMPDIR"}) {
      const char* x = std::getenv(n);
      v.emplace_back(n, x ? x : "");
    }
    return v;
  }();
  // Starts the program in its window and waits for the window.
  void open(std::vector<std::string> args) {
    args.push_back("--pref:_rename_folder=0");
#if defined(__SANITIZE_ADDRESS__)
    // The GL driver is unloaded when the window closes; its allocations
    // kept for the life of the process would then be reported without a
    // module name. Preloaded, it stays mapped and its leaks are suppressed
    // by name (lsan.supp).
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asan_before = asan ? asan : "";
    setenv("LD_PRELOAD",
           "/usr/lib/x86_64-linux-gnu/libglapi.so.0:/usr/lib/x86_64-linux-gnu/libGLX_mesa.so.0:"
           "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so",
           1);
    setenv("ASAN_OPTIONS", (asan_before + (asan_before.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
    proc = start(args);
    unsetenv("LD_PRELOAD");
    if (asan_before.empty())
      unsetenv("ASAN_OPTIONS");
    else
      setenv("ASAN_OPTIONS", asan_before.c_str(), 1);
#else
    proc = start(args);
#endif
    win = xscreen::find_window(proc->pid(), 30);
    ASSERT_NE(win, 0u) << "no window appeared";
  }
  // Waits until the log holds `text` (the screen logs what it shows).
  bool wait_log(const std::string& text, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      if (log().find(text) != std::string::npos) return true;
      if (!proc->running()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  void shot(const std::string& name, std::vector<std::uint8_t>* keep = nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // a few frames drawn
    EXPECT_TRUE(xscreen::screenshot(win, name, keep)) << name;
  }
  // Clicks install, then accept in the agreement window.
  void install_and_accept(const std::string& eula_shot) {
    xscreen::click(win, 450 + 41, 78 + 11);
    std::vector<std::uint8_t> top;
    shot(eula_shot, &top);
    // The licence is there, and the wheel and the keys scroll it.
    const int text_x = static_cast<int>(kEulaX) + 20, text_y = static_cast<int>(kEulaY) + 60;
    EXPECT_GT(xscreen::dark_pixels(top, text_x, text_y, 440, 200), 1500) << "no licence text";
    xscreen::wheel(win, kEulaX + 250, kEulaY + 150, 4);
    std::vector<std::uint8_t> scrolled;
    shot("scrolled_" + eula_shot, &scrolled);
    EXPECT_NE(top, scrolled) << "the wheel did not scroll the licence";
    xscreen::key(win, "Home");
    std::vector<std::uint8_t> back;
    shot("home_" + eula_shot, &back);
    EXPECT_EQ(top, back) << "Home did not go back to the start of the licence";
    xscreen::click(win, kEulaX + 400 + 29, kEulaY + 10 + 11);
  }
  // Clicks quit and expects the program to end well.
  void quit() {
    xscreen::click(win, 960 + 25, 78 + 11);
    for (int i = 0; i < 100 && proc->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_FALSE(proc->running()) << "quit did not end the program";
    EXPECT_EQ(proc->wait_exit(), 0) << log();
  }
  std::string prefs_file() const { return read_file(home + "/.config/skyvane/Skyvane Installer.prf"); }

  std::unique_ptr<testservers::ChildProcess> proc;
  unsigned long win = 0;
};

using testing_support::noise;

TEST_F(InstallerWindow, InstallByClickingInstallAndAcceptingTheAgreement) {
  // A slow server and large files keep the install running long enough to
  // see its progress.
  tree_map release = release_a();
  release["Resources/big one.dat"] = noise(1500000, 1);
  release["Resources/big two.dat"] = noise(1500000, 2);
  publish(release, "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve("127.0.0.1", "", "limit_rate 400k;");
  server_list("Skyvane 9.01", {web.host()});

  open({dest});
  ASSERT_TRUE(wait_log("Screen: You are about to install", 60)) << log();
  std::vector<std::uint8_t> ready;
  shot("installer_main_ready.png", &ready);
  // The status line and the information box hold text; the install button is lit.
  EXPECT_GT(xscreen::dark_pixels(ready, 150, 605, 600, 20), 100);
  EXPECT_GT(xscreen::dark_pixels(ready, 140, 35, 600, 30), 100);

  install_and_accept("installer_agreement.png");
  ASSERT_TRUE(wait_log("Screen: OK I am installing this now...", 30)) << log();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  std::vector<std::uint8_t> installing;
  shot("installer_installing.png", &installing);
  // The filled part of the progress bar looks unlike its empty part.
  auto px = [&](int x, int y) { return &installing[(static_cast<size_t>(y) * 1024 + x) * 3]; };
  const std::uint8_t *filled = px(140, 15), *empty = px(1005, 15);
  EXPECT_GT(std::abs(filled[0] - empty[0]) + std::abs(filled[1] - empty[1]) + std::abs(filled[2] - empty[2]), 60);
  ASSERT_TRUE(wait_log("Screen: INSTALLATION COMPLETE!", 120)) << log();
  shot("installer_complete.png");
  EXPECT_TREE_EQ(read_tree(dest), linux_part(release));
  quit();
}

TEST_F(InstallerWindow, ModifiedFileQuestionAnsweredByClicking) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});
  ASSERT_EQ(run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}).status, 0) << log();
  // The user changed two files that the next release changes or keeps.
  write_file(dest + "Foil Sections/Section 0012.wing", "my own section");
  write_file(dest + "Instructions/Manual.txt", "my notes");
  publish(release_b(), "Skyvane 9.02", "Skyvane 9.01");
  server_list("Skyvane 9.02", {web.host()});

  open({dest});
  ASSERT_TRUE(wait_log("Screen: You are about to install", 60)) << log();
  install_and_accept("installer_agreement_again.png");
  // The question about the changed wing section: overwrite it.
  ASSERT_TRUE(wait_log("Asking about replacing " + dest + "Foil Sections/Section 0012.wing", 30)) << log();
  std::vector<std::uint8_t> question;
  shot("installer_modified_file_question.png", &question);
  EXPECT_GT(xscreen::dark_pixels(question, kSelectX + 20, kSelectY + 75, 400, 35, 90), 100);
  xscreen::click(win, kSelectX + 96, kSelectY + 53);
  // Then the manual: keep it.
  ASSERT_TRUE(wait_log("Asking about replacing " + dest + "Instructions/Manual.txt", 30)) << log();
  shot("installer_modified_file_question_2.png");
  xscreen::click(win, kSelectX + 96, kSelectY + 28);
  ASSERT_TRUE(wait_log("Screen: INSTALLATION COMPLETE!", 120)) << log();
  shot("installer_update_complete.png");
  EXPECT_EQ(read_file(dest + "Foil Sections/Section 0012.wing"), "section, revised");
  EXPECT_EQ(read_file(dest + "Instructions/Manual.txt"), "my notes");
  EXPECT_EQ(read_file(dest + "Foil Sections/Section 2412.wing"), "new section");
  quit();
}

TEST_F(InstallerWindow, PreferencesAndFolderBrowser) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});
  fs::create_directories(work / "pick/alpha");
  fs::create_directories(work / "pick/beta");
  fs::create_directories(work / "pick/.hidden");

  open({dest});
  ASSERT_TRUE(wait_log("Screen: You are about to install", 60)) << log();

  // Preferences: tick the manual streams box, type a proxy port, close.
  xscreen::click(win, 50, 750);
  shot("installer_preferences.png");
  xscreen::click(win, kPrefsX + 30, kPrefsY + 150 + 3);
  xscreen::click(win, kPrefsX + 200, kPrefsY + 20 + 4);
  xscreen::type(win, "8080");
  shot("installer_preferences_changed.png");
  xscreen::click(win, kPrefsX + 10, kPrefsY + 370);  // the close box
  shot("installer_after_preferences.png");

  // The folder browser: type the folder, open it, go into "beta", OK.
  xscreen::click(win, 10 + 63, 78 + 11);
  shot("installer_folder_browser.png");
  xscreen::click(win, kFolderX + 200, kFolderY + 70 + 4);
  xscreen::key(win, "--repeat 400 BackSpace");
  xscreen::type(win, work / "pick");
  xscreen::click(win, kFolderX + 500, kFolderY + 75);  // GO
  shot("installer_folder_browser_pick.png");
  xscreen::click(win, kFolderX + 100, kFolderY + 360 - 16 + 4);  // the second row: beta
  shot("installer_folder_browser_beta.png");
  xscreen::click(win, kFolderX + 380, kFolderY + 25);  // OK
  ASSERT_TRUE(wait_log("Folder chosen: " + (work / "pick/beta/"), 10)) << log();
  shot("installer_new_destination.png");

  quit();
  const std::string prefs = prefs_file();
  EXPECT_NE(prefs.find("_stream_count"), std::string::npos) << prefs;
  EXPECT_NE(prefs.find(work / "pick/beta/Skyvane/"), std::string::npos) << prefs;
  EXPECT_NE(prefs.find("8080"), std::string::npos) << prefs;
}

// A double click on a question's button answers that question only: the
// second press must not answer the next question, asked at once about
// another file the user changed, before the user has seen it.
TEST_F(InstallerWindow, ADoubleClickAnswersOneModifiedFileQuestionOnly) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});
  ASSERT_EQ(run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}).status, 0) << log();
  write_file(dest + "Foil Sections/Section 0012.wing", "my own section");
  write_file(dest + "Instructions/Manual.txt", "my notes");
  write_file(dest + "Output/logbooks/readme.txt", "my logbook");
  publish(release_b(), "Skyvane 9.02", "Skyvane 9.01");
  server_list("Skyvane 9.02", {web.host()});

  open({dest});
  ASSERT_TRUE(wait_log("Screen: You are about to install", 60)) << log();
  install_and_accept("installer_agreement_double.png");
  ASSERT_TRUE(wait_log("Asking about replacing " + dest + "Foil Sections/Section 0012.wing", 30)) << log();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the question has been seen
  xscreen::double_click(win, kSelectX + 96, kSelectY + 53);   // OVERWRITE THE OLD FILE, twice
  ASSERT_TRUE(wait_log("Asking about replacing " + dest + "Instructions/Manual.txt", 30)) << log();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  shot("installer_question_after_double_click.png");
  // The second question is still open and its file untouched.
  EXPECT_EQ(log().find("Asking about replacing " + dest + "Output/logbooks/readme.txt"), std::string::npos) << log();
  EXPECT_EQ(read_file(dest + "Instructions/Manual.txt"), "my notes");
  xscreen::click(win, kSelectX + 96, kSelectY + 28);  // KEEP THE OLD FILE
  ASSERT_TRUE(wait_log("Asking about replacing " + dest + "Output/logbooks/readme.txt", 30)) << log();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  xscreen::click(win, kSelectX + 96, kSelectY + 28);
  ASSERT_TRUE(wait_log("Screen: INSTALLATION COMPLETE!", 120)) << log();
  EXPECT_EQ(read_file(dest + "Foil Sections/Section 0012.wing"), "section, revised");
  EXPECT_EQ(read_file(dest + "Instructions/Manual.txt"), "my notes");
  EXPECT_EQ(read_file(dest + "Output/logbooks/readme.txt"), "my logbook");
  quit();
}

// The Operating System list of the preferences: its pop-up takes a choice,
// closes on Escape and on a click elsewhere, leaves the check boxes usable,
// and is closed when the preferences open again. Linux chosen there is what
// the install then fetches.
TEST_F(InstallerWindow, OperatingSystemListOfThePreferences) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});

  open({dest, "--download_os=2"});
  ASSERT_TRUE(wait_log("Screen: You are about to install", 60)) << log();
  xscreen::click(win, 50, 750);  // preferences
  // Below the list box, where the pop-up of "Windows" shows "Linux".
  const int px = static_cast<int>(kPrefsX) + 165, py = static_cast<int>(kPrefsY) + 288;
  auto region = [&](const std::vector<std::uint8_t>& rgb) {
    std::vector<std::uint8_t> r;
    for (int y = py; y < py + 14; ++y)
      for (int x = px; x < px + 70; ++x)
        for (int c = 0; c < 3; ++c) r.push_back(rgb[(static_cast<size_t>(y) * 1024 + x) * 3 + c]);
    return r;
  };
  std::vector<std::uint8_t> closed, open_list, after;
  shot("installer_os_list_closed.png", &closed);
  xscreen::click(win, kPrefsX + 200, kPrefsY + 313);
  shot("installer_os_list_open.png", &open_list);
  ASSERT_NE(region(closed), region(open_list)) << "the pop-up did not open";
  xscreen::key(win, "Escape");
  shot("installer_os_list_escape.png", &after);
  EXPECT_EQ(region(closed), region(after)) << "Escape did not close the pop-up";

  xscreen::click(win, kPrefsX + 200, kPrefsY + 313);
  xscreen::click(win, kPrefsX + 450, kPrefsY + 330);  // elsewhere
  shot("installer_os_list_click_elsewhere.png", &after);
  EXPECT_EQ(region(closed), region(after)) << "a click elsewhere did not close the pop-up";
  xscreen::click(win, kPrefsX + 30, kPrefsY + 265 + 3);  // full speed: a check box still takes clicks

  xscreen::click(win, kPrefsX + 200, kPrefsY + 313);
  xscreen::click(win, kPrefsX + 200, kPrefsY + 301);  // Linux
  shot("installer_os_list_linux.png", &after);
  EXPECT_EQ(region(closed), region(after)) << "choosing did not close the pop-up";
  xscreen::click(win, kPrefsX + 200, kPrefsY + 313);  // open once more, then close the preferences
  xscreen::click(win, kPrefsX + 10, kPrefsY + 370);
  xscreen::click(win, 50, 750);
  shot("installer_os_list_reopened.png", &after);
  EXPECT_EQ(region(closed), region(after)) << "the pop-up is open again in the reopened preferences";
  xscreen::click(win, kPrefsX + 10, kPrefsY + 370);

  install_and_accept("installer_agreement_linux.png");
  ASSERT_TRUE(wait_log("Screen: INSTALLATION COMPLETE!", 120)) << log();
  EXPECT_TRUE(fs::exists(dest + "Resources/add-ons/driver.linux"));
  EXPECT_FALSE(fs::exists(dest + "Resources/add-ons/driver.win"));
  quit();
  EXPECT_NE(prefs_file().find("_use_max_cpu 1"), std::string::npos) << prefs_file();
}

// A redraw asked by the system (another window uncovering this one) keeps
// the keyboard focus where the user put it: the next keys still go to the
// proxy port, not over the proxy host.
TEST_F(InstallerWindow, AnExposureKeepsTheFocusInItsField) {
  // The proxy is on loopback, where nothing answers on the ports typed.
  open({dest, "--server_list_host=127.0.0.1:1", "--pref:_proxy_host=127.0.0.1"});
  ASSERT_TRUE(wait_log("Screen: ", 30)) << log();
  xscreen::click(win, 50, 750);  // preferences
  xscreen::click(win, kPrefsX + 200, kPrefsY + 20 + 4);  // the proxy port
  xscreen::type(win, "1");
  ASSERT_TRUE(xscreen::expose(win));
  xscreen::type(win, "9");
  shot("installer_preferences_after_exposure.png");
  xscreen::click(win, kPrefsX + 10, kPrefsY + 370);
  quit();
  const std::string prefs = prefs_file();
  EXPECT_NE(prefs.find("_proxy_port 19\n"), std::string::npos) << prefs;
  EXPECT_NE(prefs.find("_proxy_host 127.0.0.1\n"), std::string::npos) << prefs;
}

// A key that types a character with AltGr (the third level of a layout's
// key) types it into the focused field and runs no Ctrl shortcut; the Ctrl
// shortcuts still work beside it. The layout types "@" with AltGr+V, "&"
// with AltGr+C and "#" with AltGr+X.
TEST_F(InstallerWindow, AltGrTypesItsCharacterInAFieldBesideTheCtrlShortcuts) {
  // The X server goes back to its first keyboard layout when its last
  // client leaves: a connection is held while the layout is in use.
  Display* held = XOpenDisplay(nullptr);
  ASSERT_NE(held, nullptr);
  std::unique_ptr<Display, int (*)(Display*)> hold(held, XCloseDisplay);
  ASSERT_EQ(std::system("setxkbmap -layout hu >/dev/null 2>&1"), 0) << "no keyboard layout with AltGr characters";
  struct Restore {
    ~Restore() { std::system("setxkbmap -layout us >/dev/null 2>&1"); }
  } restore;
  open({dest, "--server_list_host=127.0.0.1:1"});
  ASSERT_TRUE(wait_log("Screen: ", 30)) << log();
  xscreen::click(win, 50, 750);  // preferences
  xscreen::click(win, kPrefsX + 200, kPrefsY + 40 + 4);  // the proxy host
  xscreen::type(win, "clip");
  xscreen::key(win, "ctrl+a ctrl+c ctrl+a BackSpace");
  xscreen::type(win, "user");
  xscreen::key(win, "ISO_Level3_Shift+v");
  xscreen::type(win, "proxy");
  xscreen::key(win, "ISO_Level3_Shift+c ISO_Level3_Shift+x");
  xscreen::type(win, "lan");
  xscreen::key(win, "ctrl+v");
  xscreen::click(win, kPrefsX + 10, kPrefsY + 370);
  quit();
  const std::string prefs = prefs_file();
  EXPECT_NE(prefs.find("_proxy_host user@proxy&#lanclip\n"), std::string::npos) << prefs;
}

// A termination request or an interrupt ends the run while a modal window
// is open, as it does on the main screen.
TEST_F(InstallerWindow, ASignalEndsTheRunWhileAModalWindowIsOpen) {
  for (const int sig : {SIGTERM, SIGINT}) {
    open({dest, "--server_list_host=127.0.0.1:1"});
    ASSERT_TRUE(wait_log("Screen: ", 30)) << log();
    xscreen::click(win, 50, 750);  // preferences
    shot("installer_preferences_before_signal.png");
    ASSERT_EQ(::kill(proc->pid(), sig), 0);
    for (int i = 0; i < 100 && proc->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_FALSE(proc->running()) << "signal " << sig << " did not end the program";
    EXPECT_EQ(proc->wait_exit(), 128 + sig) << log();
    EXPECT_NE(log().find("Signal " + std::to_string(sig) + " received"), std::string::npos) << log();
  }
}

// Declining the licence leaves the disk as it was: no destination folder,
// no folder tree, and no status line that takes them for an earlier install.
TEST_F(InstallerWindow, DecliningTheLicenceMakesNothingOnDisk) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});

  open({dest});
  ASSERT_TRUE(wait_log("Screen: You are about to install", 60)) << log();
  xscreen::click(win, 450 + 41, 78 + 11);  // install
  shot("installer_agreement_to_decline.png");
  xscreen::click(win, kEulaX + 300 + 42, kEulaY + 10 + 11);  // decline
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  shot("installer_declined.png");
  EXPECT_FALSE(fs::exists(work / "dest")) << "declining left folders on disk";
  EXPECT_EQ(log().find("Screen: You have selected an earlier version"), std::string::npos) << log();
  quit();
  EXPECT_FALSE(fs::exists(work / "dest"));
}

// Without an answer from the server-list host the window says what is
// going on, attempt by attempt, and says so when it has given up.
TEST_F(InstallerWindow, NoNetworkIsToldAttemptByAttemptThenGivenUp) {
  open({dest, "--server_list_host=127.0.0.1:1", "--retry_backoff=0.05"});
  ASSERT_TRUE(wait_log("Screen: No answer from 127.0.0.1:1 yet", 20)) << log();
  shot("installer_no_answer_yet.png");
  ASSERT_TRUE(wait_log("Screen: I gave up looking for servers", 60)) << log();
  shot("installer_no_servers_given_up.png");
  quit();
}

// A destination that cannot be made (a file stands where a folder should
// be) is reported in the folder alert with its reason, not in the log only.
TEST_F(InstallerWindow, ADestinationThatCannotBeMadeIsReportedInAnAlert) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});
  write_file(work / "a file", "not a folder");
  const std::string blocked = work / "a file/Skyvane/";
  open({blocked});
  ASSERT_TRUE(wait_log("Screen: You are about to install", 60)) << log();
  install_and_accept("installer_agreement_blocked.png");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  shot("installer_destination_alert.png");
  xscreen::key(win, "Return");  // dismisses the alert
  ASSERT_TRUE(wait_log("Screen: The installation was not completed", 20)) << log();
  const std::string l = log();
  const size_t alert = l.find("An error occurred while creating new folders");
  ASSERT_NE(alert, std::string::npos) << l;
  EXPECT_NE(l.find("Error: Not a directory", alert), std::string::npos) << l;
  // Quit: the install did not complete (exit status 2).
  xscreen::click(win, 960 + 25, 78 + 11);
  for (int i = 0; i < 100 && proc->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_FALSE(proc->running());
  EXPECT_EQ(proc->wait_exit(), 2);
}

// A double click on a folder of the chooser enters that folder, one level
// down, not a sub-folder of it lying under the pointer once it opened.
TEST_F(InstallerWindow, ADoubleClickInTheFolderChooserGoesOneLevelDown) {
  open({dest, "--server_list_host=127.0.0.1:1"});
  fs::create_directories(work / "pick/alpha");
  fs::create_directories(work / "pick/beta/one");
  fs::create_directories(work / "pick/beta/two");
  ASSERT_TRUE(wait_log("Screen: ", 30)) << log();
  xscreen::click(win, 10 + 63, 78 + 11);  // destination
  xscreen::click(win, kFolderX + 200, kFolderY + 70 + 4);
  xscreen::key(win, "--repeat 400 BackSpace");
  xscreen::type(win, work / "pick");
  xscreen::click(win, kFolderX + 500, kFolderY + 75);  // GO
  xscreen::double_click(win, kFolderX + 100, kFolderY + 360 - 16 + 4);  // the second row: beta
  shot("installer_folder_browser_double_click.png");
  xscreen::click(win, kFolderX + 380, kFolderY + 25);  // OK
  ASSERT_TRUE(wait_log("Folder chosen: ", 10)) << log();
  EXPECT_NE(log().find("Folder chosen: " + (work / "pick/beta/") + "\n"), std::string::npos) << log();
  quit();
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

class NoDisplay : public InstallerTest {
 protected:
  void TearDown() override {
    InstallerTest::TearDown();
    if (!display_.empty()) setenv("DISPLAY", display_.c_str(), 1);
  }
  std::string display_ = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
};

// A crash while the window and its graphics are being set up (a faulty
// graphics driver, say) still leaves a crash report beside the program.
TEST_F(NoDisplay, ACrashWhileTheWindowIsMadeLeavesACrashReport) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  const std::string preload = SKYVANE_CRASH_PRELOAD;
  setenv("LD_PRELOAD", preload.c_str(), 1);
#if defined(__SANITIZE_ADDRESS__)
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asan_before = asan ? asan : "";
  setenv("ASAN_OPTIONS", (asan_before + (asan_before.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
#endif
  const run_result r = run({dest, "--server_list_host=127.0.0.1:1"}, 60);
  unsetenv("LD_PRELOAD");
#if defined(__SANITIZE_ADDRESS__)
  if (asan_before.empty())
    unsetenv("ASAN_OPTIONS");
  else
    setenv("ASAN_OPTIONS", asan_before.c_str(), 1);
#endif
  EXPECT_NE(r.status, 0);
  ASSERT_TRUE(fs::exists(work / "crash_log.txt")) << "no crash report; log:\n" << log();
  EXPECT_NE(read_file(work / "crash_log.txt").find("SIGSEGV"), std::string::npos) << read_file(work / "crash_log.txt");
}

TEST_F(NoDisplay, WithoutADisplayTheProgramRunsUnattended) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  const run_result r = run({dest});
  EXPECT_EQ(r.status, 0) << log();
  EXPECT_TRUE(r.printed("You are about to install")) << log();
  EXPECT_FALSE(fs::exists(dest));  // checked only
}

// A headless run never starts the window system, even with a display at
// hand: no graphics driver is loaded (the vendor library behind the GL
// dispatch, and its shader compiler). The dynamic loader's own record of
// the libraries it opened tells; a run with the window loads them at once.
TEST_F(NoDisplay, AHeadlessRunLoadsNoGraphicsDriverEvenWithADisplay) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});
  const std::string record = work / "loader";
  ASSERT_NE(std::getenv("DISPLAY"), nullptr);
  setenv("LD_DEBUG", "files", 1);
  setenv("LD_DEBUG_OUTPUT", record.c_str(), 1);
  const run_result r = run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
  unsetenv("LD_DEBUG");
  unsetenv("LD_DEBUG_OUTPUT");
  EXPECT_EQ(r.status, 0) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(release_a()));
  std::string opened;
  for (const auto& e : fs::directory_iterator(work.path()))
    if (e.path().filename().string().rfind("loader", 0) == 0) opened += read_file(e.path().string());
  ASSERT_NE(opened.find("libc.so"), std::string::npos) << "no record of the libraries opened";
  for (const char* driver : {"libGLX_", "libEGL_", "_dri.so", "libgallium", "libLLVM", "libvulkan"})
    EXPECT_EQ(opened.find(driver), std::string::npos) << driver << " loaded by a headless run";
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// Pixels of the focus mark's colour (the amber of a focused number field's
// digit) in a rectangle of window units.
int mark_pixels(const std::vector<std::uint8_t>& rgb, int x, int y, int w, int h) {
  int n = 0;
  for (int j = std::max(0, y); j < std::min(768, y + h); ++j)
    for (int i = std::max(0, x); i < std::min(1024, x + w); ++i) {
      const std::uint8_t* p = &rgb[(static_cast<size_t>(j) * 1024 + i) * 3];
      n += p[0] > 230 && std::abs(p[1] - 204) < 25 && p[2] < 100;
    }
  return n;
}
// Pixels that differ between two pictures of the window.
int differing(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  int n = 0;
  for (size_t i = 0; i + 2 < a.size() && i + 2 < b.size(); i += 3)
    n += a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2];
  return n;
}

class KeyboardWindow : public InstallerWindow {
 protected:
  // Presses a key and takes a picture once the next frames are drawn.
  std::vector<std::uint8_t> key_shot(const std::string& key, const std::string& name) {
    xscreen::key(win, key);
    std::vector<std::uint8_t> rgb;
    shot(name, &rgb);
    return rgb;
  }
};

// The whole install with the keyboard alone: Tab and Shift+Tab move a
// visible focus mark, Return presses, Escape closes the preferences, the
// folder chooser and the agreement; Return on the agreement with nothing
// chosen neither accepts nor declines.
TEST_F(KeyboardWindow, AWholeInstallByTheKeyboardAlone) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});
  fs::create_directories(work / "pick/alpha");

  open({dest});
  ASSERT_TRUE(wait_log("Screen: You are about to install", 60)) << log();
  std::vector<std::uint8_t> ready;
  shot("keys_main_ready.png", &ready);
  // (The background picture holds a few pixels of the mark's colour.)
  const int prefs_base = mark_pixels(ready, 0, 725, 120, 43), servers_base = mark_pixels(ready, 125, 565, 400, 30);

  // Tab: the first control in reading order, the preferences button.
  auto first = key_shot("Tab", "keys_main_focus_preferences.png");
  EXPECT_GT(mark_pixels(first, 0, 725, 120, 43), prefs_base + 40) << "no focus mark on the preferences button";
  // Tab again: the server choice.
  auto servers = key_shot("Tab", "keys_main_focus_servers.png");
  EXPECT_GT(mark_pixels(servers, 125, 565, 400, 30), servers_base + 40) << "no focus mark on the server choice";
  EXPECT_EQ(mark_pixels(servers, 0, 725, 120, 43), prefs_base);

  // Shift+Tab back to the preferences; Return opens them, Tab marks a
  // control there, Escape closes them.
  key_shot("shift+Tab", "keys_main_focus_back.png");
  auto prefs = key_shot("Return", "keys_preferences.png");
  EXPECT_GT(differing(prefs, ready), 20000) << "Return did not open the preferences";
  EXPECT_GT(mark_pixels(prefs, kPrefsX, kPrefsY, 600, 380), 40) << "no focus mark on the proxy field";
  auto prefs_focus = key_shot("Tab", "keys_preferences_focus.png");
  EXPECT_GT(mark_pixels(prefs_focus, kPrefsX, kPrefsY, 600, 380), 40) << "no focus mark in the preferences";
  EXPECT_NE(prefs_focus, prefs) << "Tab did not move the focus in the preferences";
  auto closed = key_shot("Escape", "keys_preferences_closed.png");
  EXPECT_LT(differing(closed, ready), 50) << "Escape did not close the preferences";

  // Shift+Tab from nothing: the last control, QUIT; three back: DESTINATION.
  auto last = key_shot("shift+Tab", "keys_main_focus_quit.png");
  EXPECT_GT(mark_pixels(last, 950, 70, 74, 40), mark_pixels(ready, 950, 70, 74, 40) + 20)
      << "Shift+Tab did not reach QUIT";
  xscreen::key(win, "shift+Tab shift+Tab shift+Tab");
  auto chooser = key_shot("Return", "keys_folder_chooser.png");
  EXPECT_GT(differing(chooser, ready), 20000) << "Return did not open the folder chooser";
  // The list takes the arrows; Return in the path field goes to the folder typed.
  auto list = key_shot("Tab", "keys_folder_chooser_list.png");
  EXPECT_GT(mark_pixels(list, kFolderX + 15, kFolderY + 125, 530, 260),
            mark_pixels(chooser, kFolderX + 15, kFolderY + 125, 530, 260) + 40)
      << "no focus mark on the list";
  xscreen::key(win, "Tab Tab Tab Tab");  // PARENT FOLDER, PAGE UP, PAGE DOWN, the path field
  xscreen::key(win, "ctrl+a");
  xscreen::type(win, work / "pick");
  auto went = key_shot("Return", "keys_folder_chooser_typed.png");
  EXPECT_NE(went, list);
  auto cancelled = key_shot("Escape", "keys_folder_chooser_cancelled.png");
  EXPECT_LT(differing(cancelled, ready), 50) << "Escape did not cancel the chooser";
  EXPECT_EQ(log().find("Folder chosen:"), std::string::npos) << log();

  // Return with nothing focused: INSTALL, the default button.
  std::vector<std::uint8_t> eula = key_shot("Return", "keys_agreement.png");
  EXPECT_GT(differing(eula, ready), 20000) << "Return did not press INSTALL";
  // Return on the agreement with nothing chosen does neither.
  auto after_return = key_shot("Return", "keys_agreement_return.png");
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_LT(differing(after_return, eula), 50) << "Return closed the agreement";
  EXPECT_FALSE(fs::exists(work / "dest")) << "Return accepted the agreement";
  // Escape closes it, declined.
  auto declined = key_shot("Escape", "keys_agreement_escape.png");
  EXPECT_LT(differing(declined, ready), 50) << "Escape did not close the agreement";
  EXPECT_FALSE(fs::exists(work / "dest"));

  // Again, then Tab to DECLINE and to ACCEPT, with a mark on each.
  key_shot("Return", "keys_agreement_again.png");
  auto decline = key_shot("Tab", "keys_agreement_focus_decline.png");
  EXPECT_GT(mark_pixels(decline, kEulaX + 295, kEulaY + 5, 95, 32), mark_pixels(eula, kEulaX + 295, kEulaY + 5, 95, 32) + 20)
      << "Tab did not reach DECLINE";
  auto accept = key_shot("Tab", "keys_agreement_focus_accept.png");
  EXPECT_GT(mark_pixels(accept, kEulaX + 395, kEulaY + 5, 70, 32), mark_pixels(eula, kEulaX + 395, kEulaY + 5, 70, 32) + 20)
      << "Tab did not reach ACCEPT";
  xscreen::key(win, "Return");
  ASSERT_TRUE(wait_log("Screen: INSTALLATION COMPLETE!", 120)) << log();
  shot("keys_complete.png");
  EXPECT_TREE_EQ(read_tree(dest), linux_part(release_a()));

  // QUIT, the last control, by Shift+Tab and Space.
  xscreen::key(win, "shift+Tab");
  xscreen::key(win, "space");
  for (int i = 0; i < 100 && proc->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_FALSE(proc->running()) << "QUIT by the keyboard did not end the program";
  EXPECT_EQ(proc->wait_exit(), 0) << log();
}

// The modified-file question and the alert by the keyboard: Tab marks a
// button, Escape answers CANCEL / dismisses the alert.
TEST_F(KeyboardWindow, EscapeCancelsTheQuestionAndDismissesTheAlert) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});
  ASSERT_EQ(run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}).status, 0) << log();
  write_file(dest + "Foil Sections/Section 0012.wing", "my own section");
  publish(release_b(), "Skyvane 9.02", "Skyvane 9.01");
  server_list("Skyvane 9.02", {web.host()});

  open({dest});
  ASSERT_TRUE(wait_log("Screen: You are about to install", 60)) << log();
  xscreen::key(win, "Return");
  xscreen::key(win, "Tab Tab");
  xscreen::key(win, "Return");
  ASSERT_TRUE(wait_log("Asking about replacing " + dest + "Foil Sections/Section 0012.wing", 30)) << log();
  std::vector<std::uint8_t> question;
  shot("keys_question.png", &question);
  auto focused = key_shot("Tab", "keys_question_focus.png");
  EXPECT_GT(mark_pixels(focused, kSelectX, kSelectY, 700, 146), mark_pixels(question, kSelectX, kSelectY, 700, 146) + 40)
      << "no focus mark in the question";
  xscreen::key(win, "Escape");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(proc->running());
  EXPECT_EQ(read_file(dest + "Foil Sections/Section 0012.wing"), "my own section");
  EXPECT_FALSE(fs::exists(dest + "Foil Sections/Section 2412.wing")) << "Escape did not cancel the install";
  proc->stop();

  // An alert: a destination that cannot be made.
  write_file(work / "a file", "not a folder");
  const std::string blocked = work / "a file/Skyvane/";
  open({blocked});
  ASSERT_TRUE(wait_log("Screen: You are about to install", 60)) << log();
  xscreen::key(win, "Return");
  xscreen::key(win, "Tab Tab");
  xscreen::key(win, "Return");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  std::vector<std::uint8_t> alert;
  shot("keys_alert.png", &alert);
  auto alert_focus = key_shot("Tab", "keys_alert_focus.png");
  EXPECT_GT(mark_pixels(alert_focus, 0, 0, 1024, 768), mark_pixels(alert, 0, 0, 1024, 768) + 20)
      << "no focus mark in the alert";
  xscreen::key(win, "Escape");
  ASSERT_TRUE(wait_log("Screen: The installation was not completed", 20)) << log();
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// The window on a screen of another size (the test is run on its own Xvfb
// screen, named by SKYVANE_TEST_SCREEN, "WIDTHxHEIGHT"): on 800 x 600 it is
// scaled to fit, whole and with its bottom buttons on the screen; on a 4K
// screen it is drawn at scale 2. Clicks land where the controls are seen.
class ScaledWindow : public InstallerWindow {
 protected:
  void SetUp() override {
    const char* s = std::getenv("SKYVANE_TEST_SCREEN");
    if (!s || std::sscanf(s, "%dx%d", &screen_w, &screen_h) != 2) GTEST_SKIP() << "not on a screen of its own size";
    InstallerWindow::SetUp();
  }
  // Window units (y up) to the window's pixels, and a click there.
  void click_scaled(float x, float y) {
    const std::string w = std::to_string(win);
    const std::string at = std::to_string(static_cast<int>(x * scale)) + " " +
                           std::to_string(static_cast<int>((768 - y) * scale));
    std::system(("xdotool mousemove --window " + w + " " + at + " >/dev/null 2>&1").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    std::system(("xdotool click --window " + w + " 1 >/dev/null 2>&1").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  // Place and size of the window on the screen, and its picture (rows top first).
  bool geometry(int& x, int& y, int& w, int& h, std::vector<std::uint8_t>* rgb = nullptr) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return false;
    XWindowAttributes a;
    Window child;
    const bool ok = XGetWindowAttributes(d, win, &a) &&
                    XTranslateCoordinates(d, win, DefaultRootWindow(d), 0, 0, &x, &y, &child);
    w = a.width;
    h = a.height;
    if (ok && rgb) {
      XImage* img = XGetImage(d, win, 0, 0, w, h, AllPlanes, ZPixmap);
      if (img) {
        rgb->assign(static_cast<size_t>(w) * h * 3, 0);
        for (int j = 0; j < h; ++j)
          for (int i = 0; i < w; ++i) {
            const unsigned long p = XGetPixel(img, i, j);
            std::uint8_t* o = &(*rgb)[(static_cast<size_t>(j) * w + i) * 3];
            o[0] = (p >> 16) & 0xff;
            o[1] = (p >> 8) & 0xff;
            o[2] = p & 0xff;
          }
        XDestroyImage(img);
      }
    }
    XCloseDisplay(d);
    return ok;
  }
  int screen_w = 0, screen_h = 0;
  float scale = 1;
};

TEST_F(ScaledWindow, TheWholeWindowIsOnTheScreenAndAClickThroughInstallWorks) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});
  open({dest});
  ASSERT_TRUE(wait_log("Screen: You are about to install", 60)) << log();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int x = 0, y = 0, w = 0, h = 0;
  std::vector<std::uint8_t> rgb;
  ASSERT_TRUE(geometry(x, y, w, h, &rgb));
  const std::string name = "scaled_" + std::to_string(screen_w) + "x" + std::to_string(screen_h) + ".png";
  const char* dir = std::getenv("SKYVANE_SCREENSHOT_DIR");
  // PNG rows go bottom first in the helper: flip.
  std::vector<std::uint8_t> flipped(rgb.size());
  for (int j = 0; j < h; ++j)
    std::copy_n(&rgb[static_cast<size_t>(h - 1 - j) * w * 3], static_cast<size_t>(w) * 3,
                &flipped[static_cast<size_t>(j) * w * 3]);
  EXPECT_TRUE(gui_test::write_png(std::string(dir ? dir : ".") + "/" + name, w, h, flipped));
  // The whole window on the screen, at the expected scale.
  EXPECT_GE(x, 0);
  EXPECT_GE(y, 0);
  EXPECT_LE(x + w, screen_w);
  EXPECT_LE(y + h, screen_h);
  scale = static_cast<float>(w) / 1024;
  if (screen_w >= 2048 + 32 && screen_h >= 1536 + 32) {
    EXPECT_EQ(w, 2048);
    EXPECT_EQ(h, 1536);
  } else {
    EXPECT_LT(w, 1024);
    EXPECT_NEAR(static_cast<float>(h) / 768, scale, 0.01f);
  }
  EXPECT_NE(log().find("drawn at scale"), std::string::npos);
  // The bottom buttons are drawn: the QUIT button's picture is not one colour.
  auto colours_at = [&](float ux, float uy, float uw, float uh) {
    std::vector<int> seen;
    for (int j = static_cast<int>((768 - uy - uh) * scale); j < static_cast<int>((768 - uy) * scale); ++j)
      for (int i = static_cast<int>(ux * scale); i < static_cast<int>((ux + uw) * scale); ++i) {
        if (i < 0 || j < 0 || i >= w || j >= h) continue;
        const std::uint8_t* p = &rgb[(static_cast<size_t>(j) * w + i) * 3];
        const int c = p[0] << 16 | p[1] << 8 | p[2];
        if (std::find(seen.begin(), seen.end(), c) == seen.end()) seen.push_back(c);
      }
    return seen.size();
  };
  EXPECT_GT(colours_at(960, 78, 50, 22), 5u) << "the QUIT button is not in the picture";
  EXPECT_GT(colours_at(450, 78, 82, 22), 5u) << "the INSTALL button is not in the picture";

  // Click-through install at the places the controls are seen.
  click_scaled(450 + 41, 78 + 11);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  click_scaled(kEulaX + 400 + 29, kEulaY + 10 + 11);
  ASSERT_TRUE(wait_log("Screen: INSTALLATION COMPLETE!", 120)) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(release_a()));
  click_scaled(960 + 25, 78 + 11);
  for (int i = 0; i < 100 && proc->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_FALSE(proc->running()) << "QUIT did not end the program";
  EXPECT_EQ(proc->wait_exit(), 0) << log();
}

}  // namespace
}  // namespace e2e
