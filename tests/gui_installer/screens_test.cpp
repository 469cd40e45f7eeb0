// The installer's screens without a window: the folder browser's listing
// and navigation, the picture buttons' texels and clicks, the preferences
// screen's passes, the proxy port text and the progress bar's frames. The
// frames are drawn through a renderer that records what it is given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "installer/main.h"
#include "installer/main_screen.h"
#include "net/http.h"
#include "prefs/sub_wins.h"
#include "tests/support/temp_dir.h"
#include "ui/butn.h"
#include "support/hl_init.h"
#include "ui/hl_mnw.h"
#include "ui/oglp.h"

namespace fs = std::filesystem;
using testing_support::TempDir;
using testing_support::write_file;
using testing_support::read_file;

namespace {

// Records the textured quads of a frame.
struct recorder : OGL_backend {
  struct quad {
    int tex;
    OGL_vertex v[4];
  };
  std::vector<quad> quads;
  void tex_quad(int tex, const OGL_vertex v[4]) override { quads.push_back({tex, {v[0], v[1], v[2], v[3]}}); }
};

class Screens : public ::testing::Test {
 protected:
  void SetUp() override {
    ogl_be = &rec;
    mnw.reset();
    mnw.x_res_now = 1024;
    mnw.y_res_now = 768;
    mnw.win_x = mnw.win_y = 0;
    BTN_reset();
    installer_state_reset();
  }
  void TearDown() override { ogl_be = OGL_null_backend(); }
  void press_at(float x, float y) {
    mnw.mx = x;
    mnw.my = y;
    mnw.mouse_clicked = 1;
  }
  recorder rec;
};

TEST_F(Screens, IconTexelsAndPictureButtonLooks) {
  float s, t;
  interface_icon_texels(9, s, t);
  EXPECT_EQ(s, 64);
  EXPECT_EQ(t, 130);
  interface_icon_texels(23, s, t);
  EXPECT_EQ(s, 448);
  EXPECT_EQ(t, 194);

  // Icon 9 at (29, 608): the quad covers 64 x 64 units and texels (64, 130)-(128, 194) of the 1024 image.
  mnw.mx = mnw.my = -100;
  EXPECT_EQ(interface_icon(29, 608, 9), 0);
  ASSERT_EQ(rec.quads.size(), 1u);
  const auto& q = rec.quads[0];
  EXPECT_EQ(q.tex, tex_interface);
  EXPECT_FLOAT_EQ(q.v[0].x, 29);
  EXPECT_FLOAT_EQ(q.v[0].y, 608);
  EXPECT_FLOAT_EQ(q.v[2].x, 93);
  EXPECT_FLOAT_EQ(q.v[2].y, 672);
  EXPECT_FLOAT_EQ(q.v[0].s, 64 / 1024.0f);
  EXPECT_FLOAT_EQ(q.v[0].t, 130 / 1024.0f);
  EXPECT_FLOAT_EQ(q.v[2].s, 128 / 1024.0f);
  EXPECT_FLOAT_EQ(q.v[2].t, 194 / 1024.0f);

  // Hover moves the image down by h + 1, pressing by 2 (h + 1); the click
  // counts on the edges and not a unit beyond.
  rec.quads.clear();
  mnw.mx = 450;
  mnw.my = 78;
  EXPECT_EQ(interface_rect(450, 78, 740, 320, 83, 22, 1, 0), 0);
  mnw.now_dragging = 1;
  mnw.mouse_clicked = 1;
  EXPECT_EQ(interface_rect(450, 78, 740, 320, 83, 22, 1, 0), 1);
  ASSERT_EQ(rec.quads.size(), 2u);
  EXPECT_FLOAT_EQ(rec.quads[0].v[0].t, (320 - 23) / 1024.0f);
  EXPECT_FLOAT_EQ(rec.quads[1].v[0].t, (320 - 46) / 1024.0f);
  mnw.mx = 533;
  EXPECT_EQ(interface_rect(450, 78, 740, 320, 83, 22, 0, 0), 1);
  mnw.mx = 534;
  EXPECT_EQ(interface_rect(450, 78, 740, 320, 83, 22, 0, 0), 0);
}

TEST_F(Screens, ProxyPortText) {
  EXPECT_EQ(proxy_port_from_text("8080", 0), 8080);
  EXPECT_EQ(proxy_port_from_text("", 8080), 8080);
  EXPECT_EQ(proxy_port_from_text("-12", 0), -12);
  EXPECT_EQ(proxy_port_from_text("+12", 0), 12);
  EXPECT_EQ(proxy_port_from_text("80a", 0), -1);
  EXPECT_EQ(proxy_port_from_text("1234567890", 0), -1);  // ten digits
  EXPECT_EQ(proxy_port_from_text("123456789", 0), 123456789);
  EXPECT_EQ(proxy_port_from_text("-", 5), -1);
  EXPECT_EQ(proxy_port_from_text("8-0", 5), -1);  // a sign after the first character is no number
}

// The cap field beside the stream count: what it holds reaches the pool
// in the same pass, in bytes a second.
TEST_F(Screens, TheCapFieldReachesThePool) {
  MACIBM_startwind(win_prefs);
  mnw.mx = mnw.my = -100;
  stg.max_rate = 1500;
  draw_prefs();
  EXPECT_EQ(stg.max_rate, 1500);
  EXPECT_EQ(http.max_rate, 1500000.0);
  stg.max_rate = 0;
  draw_prefs();
  EXPECT_EQ(http.max_rate, 0.0);
}

TEST_F(Screens, PreferencesPasses) {
  MACIBM_startwind(win_prefs);
  stg.download_os = 2;
  stg.stream_count = 0;
  mnw.mx = mnw.my = -100;
  draw_prefs();
  EXPECT_EQ(stg.download_os, 2);
  EXPECT_EQ(stg.stream_count, 0);

  // Ticking the manual streams box shows the number field at once, at 1.
  press_at(30, 150 + 3);
  draw_prefs();
  EXPECT_EQ(stg.stream_count, 1);
  mnw.mouse_clicked = 0;
  draw_prefs();
  EXPECT_EQ(stg.stream_count, 1);
  // Unticking sets it back to automatic in the same pass.
  press_at(30, 150 + 3);
  draw_prefs();
  EXPECT_EQ(stg.stream_count, 0);

  // Other boxes flip their settings.
  const int rename = stg.rename_folder;
  press_at(30, 230 + 3);
  draw_prefs();
  EXPECT_EQ(stg.rename_folder, !rename);

  // The port text is converted every pass; an emptied field keeps the number.
  mnw.mouse_clicked = 0;
  http.ProxyPort_str = "3128";
  draw_prefs();
  EXPECT_EQ(http.ProxyPort_int, 3128);
  http.ProxyPort_str.clear();
  draw_prefs();
  EXPECT_EQ(http.ProxyPort_int, 3128);
  MACIBM_startwind(win_main);
}

TEST_F(Screens, AgreementButtons) {
  agreed = 0;
  MACIBM_startwind(win_eula);
  press_at(300 + 10, 10 + 10);  // decline
  draw_EULA();
  EXPECT_EQ(agreed, 0);
  EXPECT_EQ(mnw.top_win_now, win_main);
  MACIBM_startwind(win_eula);
  press_at(400 + 10, 10 + 10);  // accept
  draw_EULA();
  EXPECT_EQ(agreed, 1);
  EXPECT_EQ(mnw.top_win_now, win_main);
  EXPECT_EQ(handle_EULA(), 1);  // asked once a run
  agreed = 0;
}

// Glyph quads of the font (the widget image's font area) drawn since the
// recorder was last cleared.
// Each is given as its whole 14 x 15 cell, so that v[0].y is the same for
// every glyph of a line.
std::vector<recorder::quad> glyph_quads(const recorder& r) {
  std::vector<recorder::quad> g;
  for (recorder::quad q : r.quads) {
    if (q.tex != tex_widgets || q.v[0].t < 400 / 512.0f) continue;
    const int t = static_cast<int>(std::lround(q.v[0].t * 512));
    q.v[0].y -= (t - 400) % 15;
    g.push_back(q);
  }
  return g;
}

// Server names come from the server list: they are shown as they are, every
// character, on one line, not read as widget labels ("|" and "{" there
// would cut them), and a list longer than the ten servers used says so.
TEST_F(Screens, ServerNamesAreShownWholeOnOneLine) {
  drawn_screen screen;
  mnw.mx = mnw.my = -100;
  struct Case {
    std::string name;
    size_t glyphs;
  } cases[] = {
      {"Tilde~Only", 10},
      {"Quote \"q\" {brace}", 15},
      {"caf\xc3\xa9", 4},
      {"Harbour Hills Mirror|East", 23},
  };
  for (const Case& c : cases) {
    stg.num_servers = 1;
    server_desc[0] = c.name;
    rec.quads.clear();
    screen.servers_and_prefs();
    std::vector<recorder::quad> g;
    for (const auto& q : glyph_quads(rec))
      if (q.v[0].x > 150 && q.v[0].y > 560 && q.v[0].y < 595) g.push_back(q);
    EXPECT_EQ(g.size(), c.glyphs) << c.name;
    for (const auto& q : g) EXPECT_FLOAT_EQ(q.v[0].y, g.front().v[0].y) << c.name << ": not on one line";
  }

  // Twelve servers in the list: the ten used are listed and a line below
  // them tells of the two more.
  TempDir tmp;
  std::string list = "I\n820 Version\nSERVERS\nBETA v1\n";
  for (int i = 0; i < 12; ++i)
    list += "SERVER 127.0.0.1:" + std::to_string(8000 + i) + "\n/pub/\nServer " + std::to_string(i) + "\n";
  list += "ENDOFLIST\n";
  write_file(tmp / "serverlist.txt", list);
  ASSERT_EQ(read_server_list(tmp / "serverlist.txt"), 1);
  EXPECT_EQ(stg.num_servers, 10);
  rec.quads.clear();
  screen.servers_and_prefs();
  int below = 0;
  for (const auto& q : glyph_quads(rec)) below += q.v[0].y < 578 - 20 * 9 - 8 && q.v[0].y > 300;
  EXPECT_GT(below, 5) << "nothing says that two servers of the list are not shown";
}

namespace {
// A renderer that ends the run after the first frame of a modal loop.
struct one_frame : recorder {
  int poll(std::vector<plat::WinEvent>&) override {
    app_done = 1;
    return 0;
  }
};
}  // namespace

// The modified-file question with a long path: the path keeps to its own
// line, ending with the file name, clear of the third line and the buttons.
TEST_F(Screens, ModifiedFileQuestionKeepsALongPathOnItsLine) {
  one_frame r;
  ogl_be = &r;
  std::string path = "/home/pilot";
  for (int i = 0; path.size() < 300; ++i) path += "/Harbour Hills scenery " + std::to_string(i);
  path += "/Kestrel 2.craft";
  app_done = 0;
  drawn_select_alert(path, 0);
  app_done = 0;
  ogl_be = &rec;
  // The question window (700 x 146) lies at (162, 311) of the 1024 x 768
  // area; a glyph's cell starts 6 units below its line: the path's line
  // (90) at 84, the third line (80) at 74, the buttons' labels at 44 and 19.
  int in_gap = 0, on_path_line = 0;
  for (const auto& q : glyph_quads(r)) {
    const float y = q.v[0].y - 311;
    in_gap += y > 48 && y < 70;
    on_path_line += y >= 80 && y < 90;
  }
  EXPECT_EQ(in_gap, 0) << "the path runs over the third line or the buttons";
  EXPECT_GT(on_path_line, 40);
}

TEST(Licence, TheBuiltInTextWrapsWithinTheWindowWithoutLosingAWord) {
  const std::string& text = licence_text();
  ASSERT_GT(text.size(), 500u);
  EXPECT_NE(text.find("Skyvane"), std::string::npos);
  // The program's texts draw double quotes, braces and tildes as nothing.
  EXPECT_EQ(text.find_first_of("\"{}~"), std::string::npos);
  const std::vector<std::string> lines = licence_lines(446);
  EXPECT_GT(lines.size(), 20u);  // longer than the window: it scrolls
  std::string words_in, words_out;
  for (char c : text) words_in += c == '\n' || c == '\r' ? ' ' : c;
  for (const std::string& l : lines) {
    EXPECT_LE(str_dx(l), 446) << l;
    words_out += l + " ";
  }
  auto squeeze = [](const std::string& s) {
    std::string o;
    for (char c : s)
      if (c != ' ') o += c;
    return o;
  };
  EXPECT_EQ(squeeze(words_in), squeeze(words_out));
}

TEST_F(Screens, AgreementShowsTheLicenceAndScrollsWithWheelAndKeys) {
  agreed = 0;
  MACIBM_startwind(win_eula);
  licence_scroll = 0;
  auto glyphs = [&] {
    int n = 0;
    for (const auto& q : rec.quads) n += q.tex == tex_widgets && q.v[0].t >= 400 / 512.0f;
    return n;
  };
  auto pass = [&] {
    rec.quads.clear();
    mnw.mouse_clicked = 0;
    BTN_begin_focus_ring();
    draw_EULA();
  };
  pass();
  EXPECT_GT(glyphs(), 800);  // twenty lines of licence
  EXPECT_EQ(focus_id, BTN_identity(20, 258));  // the text takes the keys
  const int lines = static_cast<int>(licence_lines(446).size());
  mnw.mouse_wheel = -2;  // two notches towards the user: six lines on
  pass();
  EXPECT_EQ(licence_scroll, 6);
  EXPECT_EQ(mnw.mouse_wheel, 0);
  EXPECT_EQ(BTN_dispatch_to_focus(31, 40, 8), 1);  // Down
  pass();
  EXPECT_EQ(licence_scroll, 7);
  BTN_dispatch_to_focus(30, 38, 8);  // Up
  BTN_dispatch_to_focus(30, 38, 8);
  pass();
  EXPECT_EQ(licence_scroll, 5);
  BTN_dispatch_to_focus(0, 35, 8);  // End: the last line at the bottom
  pass();
  EXPECT_EQ(licence_scroll, lines - 20);
  mnw.mouse_wheel = -5;  // no further than the end
  pass();
  EXPECT_EQ(licence_scroll, lines - 20);
  mnw.mouse_wheel = 100;  // nor before the start
  pass();
  EXPECT_EQ(licence_scroll, 0);
  EXPECT_EQ(agreed, 0);
  EXPECT_EQ(mnw.top_win_now, win_eula);  // scrolling neither accepts nor closes
  MACIBM_startwind(win_main);
}

TEST_F(Screens, ProgressBarFramesFallOnWholePixels) {
  const bar_frame outer = snap_bar(132, 1016);
  EXPECT_EQ(outer.centre, 574);
  EXPECT_EQ(outer.width, 884);
  const bar_frame part = snap_bar(132, 132 + 0.5f * 884);
  EXPECT_EQ(static_cast<int>(part.centre) % 2, 0);
  EXPECT_EQ(static_cast<int>(part.width) % 4, 0);
  EXPECT_NEAR(part.width, 442, 2);
}

TEST(FolderBrowser, ListingAndNavigation) {
  TempDir tmp;
  const std::string root = tmp / "";
  fs::create_directories(root + "b folder/inner");
  fs::create_directories(root + "A folder");
  fs::create_directories(root + ".hidden");
  write_file(root + "a file.txt", "x");

  folder_browser b;
  b.open(root);
  EXPECT_EQ(b.path, root);
  EXPECT_EQ(b.typed, root);
  // Folders only, hidden ones left out, sorted without regard to case.
  EXPECT_EQ(b.subfolders, (std::vector<std::string>{"A folder", "b folder"}));

  EXPECT_TRUE(b.enter("b folder"));
  EXPECT_EQ(b.path, root + "b folder/");
  EXPECT_EQ(b.subfolders, (std::vector<std::string>{"inner"}));
  EXPECT_FALSE(b.enter("missing"));
  EXPECT_FALSE(b.enter("../.."));
  EXPECT_EQ(b.path, root + "b folder/");
  EXPECT_TRUE(b.up());
  EXPECT_EQ(b.path, root);

  // A folder that does not exist yet opens its nearest existing parent.
  b.open(root + "b folder/not yet/deeper/");
  EXPECT_EQ(b.path, root + "b folder/");

  // The path field: a folder opens it, anything else changes nothing.
  b.typed = root + "A folder";
  EXPECT_TRUE(b.go_typed());
  EXPECT_EQ(b.path, root + "A folder/");
  b.typed = root + "a file.txt";
  EXPECT_FALSE(b.go_typed());
  b.typed = "relative/path";
  EXPECT_FALSE(b.go_typed());
  EXPECT_EQ(b.path, root + "A folder/");

#ifdef _WIN32
  // Above a drive's root lie the drives; entering one opens its root, and
  // OK on the drives themselves picks nothing.
  const std::string drive = root.substr(0, 3);  // "C:\"
  b.open(drive);
  EXPECT_EQ(b.path, drive);
  EXPECT_TRUE(b.up());
  EXPECT_EQ(b.path, "");
  EXPECT_NE(std::find(b.subfolders.begin(), b.subfolders.end(), "C:\\"), b.subfolders.end());
  EXPECT_FALSE(b.up());
  EXPECT_FALSE(b.enter("no such drive"));
  EXPECT_FALSE(b.go_typed());
  EXPECT_TRUE(b.enter("C:\\"));
  EXPECT_EQ(b.path, "C:\\");
  EXPECT_FALSE(b.subfolders.empty());
#else
  // The root has no parent.
  b.open("/");
  EXPECT_EQ(b.path, "/");
  EXPECT_FALSE(b.up());
  EXPECT_EQ(b.path, "/");
#endif
}

// A path typed with the system's "\" is kept in the program's form: on
// Windows no "\" is left beside "/" (but the drive prefix's), so that the
// parent, the folders below and the chosen destination are right; on
// POSIX "\" is a character of the folder's name.
TEST(FolderBrowser, TypedPathsTakeTheProgramsForm) {
  TempDir tmp;
  const std::string root = tmp / "";
#ifdef _WIN32
  fs::create_directories(root + "Games/Skyvane/inner");
  std::string typed = root + "Games\\Skyvane";
  for (size_t i = 3; i < typed.size(); ++i)
    if (typed[i] == '/') typed[i] = '\\';
  const std::string folder = root + "Games/Skyvane/";
#else
  fs::create_directories(root + "Games\\Skyvane/inner");
  const std::string typed = root + "Games\\Skyvane";
  const std::string folder = root + "Games\\Skyvane/";
#endif
  folder_browser b;
  b.open(root);
  b.typed = typed;
  ASSERT_TRUE(b.go_typed());
  EXPECT_EQ(b.path, folder);
  EXPECT_EQ(b.subfolders, (std::vector<std::string>{"inner"}));
  EXPECT_TRUE(b.enter("inner"));
  EXPECT_EQ(b.path, folder + "inner/");
  EXPECT_TRUE(b.up());
  EXPECT_EQ(b.path, folder);
  EXPECT_TRUE(b.up());
#ifdef _WIN32
  EXPECT_EQ(b.path, root + "Games/");
  // The chooser's first folder, as the preferences may hold it.
  b.open(typed + "\\inner\\");
  EXPECT_EQ(b.path, folder + "inner/");
  EXPECT_EQ(as_folder_path("c:/Games"), "c:\\Games/");
#else
  EXPECT_EQ(b.path, root);
#endif
}

TEST(FolderBrowser, PathHelpers) {
  EXPECT_EQ(parent_folder("/a/b/c/"), "/a/b/");
  EXPECT_EQ(parent_folder("/a/"), "/");
  EXPECT_EQ(parent_folder("/"), "/");
  EXPECT_EQ(as_folder_path("/a/b"), "/a/b/");
  EXPECT_EQ(as_folder_path("/a/b/  "), "/a/b/");
  EXPECT_EQ(as_folder_path(""), "");
#ifdef _WIN32
  EXPECT_EQ(parent_folder("C:\\a/b/"), "C:\\a/");
  EXPECT_EQ(parent_folder("C:\\a/"), "C:\\");
  EXPECT_EQ(parent_folder("C:\\"), "C:\\");
  testing_support::set_env("USERPROFILE", "C:\\Users/pilot");
  EXPECT_EQ(as_folder_path("~/Games"), "C:\\Users/pilot/Games/");
#else
  testing_support::set_env("HOME", "/home/pilot");
  EXPECT_EQ(as_folder_path("~/Games"), "/home/pilot/Games/");
#endif
  EXPECT_EQ(as_folder_path("~pilot"), "~pilot/");
  // Without a window the chooser answers "cancelled".
  std::string result = "unchanged";
  EXPECT_EQ(GetFilePathFromUser(2, "prompt", "", 1, "/", result), 0);
  EXPECT_EQ(result, "unchanged");
}

}  // namespace

namespace {

// The information box goes to the log as it changes; the free-space line
// is logged when it appears and when the disk check below it changes, not
// each time the free space moves by a tenth.
TEST_F(Screens, TheFreeSpaceLineIsLoggedWhenItMatters) {
  TempDir tmp;
  ASSERT_EQ(HL_open_log(tmp.path()), 1);
  drawn_screen screen;
  app_texts t;
  t.status = "ready";
  t.line[0] = "You are about to install 0.7 Meg of files to get v1.";
  t.line[2] = "You may install at will.";
  for (int tenth = 0; tenth < 5; ++tenth) {
    t.line[1] = "You have 78." + std::to_string(tenth) + " Gig of drive space available for the selected directory.";
    screen.info(t);
  }
  t.line[1] = "You have 0.1 Meg of drive space available for the selected directory.";
  t.line[2] = "You don't have enough disk space to install this!";
  screen.info(t);
  HL_close_log();
  const std::string log = read_file(tmp / "Log.txt");
  size_t lines = 0;
  for (size_t at = log.find("Screen: You have "); at != std::string::npos; at = log.find("Screen: You have ", at + 1))
    ++lines;
  EXPECT_EQ(lines, 2u) << log;
  EXPECT_NE(log.find("Screen: You have 78.0 Gig"), std::string::npos) << log;
  EXPECT_NE(log.find("Screen: You have 0.1 Meg"), std::string::npos) << log;
}

}  // namespace
