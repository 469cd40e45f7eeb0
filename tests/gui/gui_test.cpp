// The interface in a real window: GLFW, an OpenGL 2.1 context on Mesa's
// software renderer under Xvfb, real X input sent with xdotool. Each test
// draws a screen through the framework's frame loop, reads the frame back
// and checks pixels; screenshots go to $SKYVANE_SCREENSHOT_DIR (PNG).
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/window.h"
#include "tests/gui/png.h"
#include "ui/art.h"
#include "ui/butn.h"
#include "ui/colr.h"
#include "ui/gl_backend.h"
#include "support/alert.h"
#include "support/hl_init.h"
#include "ui/gl_init.h"
#include "ui/hl_mnw.h"
#include "ui/ogle.h"
#include "ui/oglp.h"

namespace {

struct Pixel {
  int r, g, b;
};

// The last frame captured just before it was presented.
struct Capture {
  bool wanted = false;
  std::vector<std::uint8_t> rgb;
  Pixel at(int x, int y) const {  // client pixels, origin bottom-left
    const size_t i = (static_cast<size_t>(y) * 1024 + x) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }
  // Pixels in the rectangle whose brightness is below `dark` (ink).
  int dark_pixels(int x, int y, int w, int h, int dark = 110) const {
    int n = 0;
    for (int j = y; j < y + h; ++j)
      for (int i = x; i < x + w; ++i) {
        const Pixel p = at(i, j);
        n += (p.r + p.g + p.b) / 3 < dark;
      }
    return n;
  }
} capture;

std::function<void()> screen;  // what the frame draws

void run_screen() {
  if (screen) screen();
}

// Runs frames until `done` holds or `seconds` pass; true when it held.
bool frames_until(const std::function<bool()>& done, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    MACIBM_event_proc();
    if (done()) return true;
  }
  return false;
}

// One frame whose pixels are kept.
void capture_frame() {
  capture.wanted = true;
  MACIBM_event_proc();
  capture.wanted = false;
}

void save(const std::string& name) {
  const char* dir = std::getenv("SKYVANE_SCREENSHOT_DIR");
  const std::string path = std::string(dir ? dir : ".") + "/" + name;
  EXPECT_TRUE(gui_test::write_png(path, 1024, 768, capture.rgb)) << path;
}

int xdotool(const std::string& args) {
  const std::string cmd = "xdotool " + args + " >/dev/null 2>&1";
  return std::system(cmd.c_str());
}

// Screen pixels (origin top-left) of a point given in window units.
std::string at_screen(float x, float y) {
  return std::to_string(static_cast<int>(x)) + " " + std::to_string(static_cast<int>(768 - y));
}

class Window : public ::testing::Environment {
 public:
  void SetUp() override {
    // Keep the GL driver's libraries mapped after the window closes, so
    // that the leak checker can name them (its suppressions cover driver
    // allocations only).
    for (const char* lib : {"libGLX_mesa.so.0", "swrast_dri.so", "libglapi.so.0"}) {
      std::string path = lib;
      if (path == "swrast_dri.so") path = "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so";
      dlopen(path.c_str(), RTLD_NOW | RTLD_NODELETE);
    }
    const char* argv[] = {"gui_tests"};
    MACIBM_init(1, argv);
    ASSERT_EQ(ogl_inited, 1);
    ASSERT_TRUE(plat::window_is_open());
    MACIBM_app_update = run_screen;
    ogl_gl.before_present = [] {
      if (capture.wanted) ogl_gl.read_pixels(0, 0, 1024, 768, capture.rgb);
    };
    MACIBM_event_proc();  // the first frame opens window 0
  }
  void TearDown() override {
    ogl_gl.before_present = nullptr;
    MACIBM_app_update = nullptr;
    MACIBM_finishup(0);
  }
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new Window);

void quad(int tex, float x, float y, float w, float h, float s, float t, float ts) {
  OGL_2dquad(tex, 0, 1, x, y, s / ts, t / ts, x + w, y, (s + w) / ts, t / ts, x + w, y + h, (s + w) / ts,
             (t + h) / ts, x, y + h, s / ts, (t + h) / ts);
}

// ------------------------------------------------------------- the widget screen

struct WidgetScreen {
  int unticked = 0, ticked = 1, lang = 0, os = 1, streams = 3;
  float ratio = 2.5f;
  std::string host = "proxy.example.org";

  void draw() {
    quad(tex_background, 0, 0, 1024, 768, 0, 0, 1024);  // 1024 x 768 texture: t 0..1 over 768 rows
    quad(tex_interface, 0, 595, art_logo.w, art_logo.h, art_logo.s, art_logo.t, 1024);
    for (int i = art_busy_first; i < art_busy_first + 8; ++i)
      quad(tex_interface, 140 + (i - art_busy_first) * 70.0f, 600, 64, 64, (i % 8) * 64.0f, (i / 8) * 64.0f + 66, 1024);
    BTN_frame2(20, 135, 680, 790, 60, "");
    OGL_string(46, 154, 715, "NET: Skyvane 9.00 Beta-17", 0, charset_prop, 0);
    OGL_string(1, 154, 700, "A warning line in colour 1.", 0, charset_prop, 0);
    OGL_string(13, 154, 688, "INSTALLATION COMPLETE!", 0, charset_prop, 0);

    // Picture buttons, normal looks on one row, hover and pressed below.
    const art_button buttons[] = {art_btn_destination, art_btn_install, art_btn_store,
                                  art_btn_quit,        art_btn_decline, art_btn_accept};
    float x = 10;
    for (const art_button& b : buttons) {
      for (int state = 0; state < 3; ++state)
        quad(tex_interface, x, 78 - state * 30.0f, b.w, b.h, b.s, b.t - state * (b.h + 1.0f), 1024);
      x += b.w + 12;
    }

    BTN_frame2(13, 20, 130, 500, 440, "");
    BTN_action(100, 540, 0, 0, 0, "Preferences", "");
    BTN_action(260, 540, 120, 1, 2, "Lit button", "a sublabel");
    BTN_bool(60, 505, &unticked, "|an unticked box", 0);
    BTN_bool(60, 480, &ticked, "|a ticked box", 0);
    BTN_is_int(60, 450, &lang, 0, "|English");
    BTN_is_int(60, 430, &lang, 1, "|French");
    BTN_textlist(300, 450, &os, "Macintosh-Windows-Linux", "System:");
    BTN_int_range(150, 390, &streams, 3, 0, 999, "Streams:");
    BTN_flt_range(350, 390, &ratio, 4, 1, -99, 99, "Ratio:");
    BTN_enterstring(130, 350, &host, 65, "-proxy host", 300, 0);
    BTN_frame1(4, 270, 300, 400, 0);
    BTN_frame1(5, 170, 300, 200, 0);
    OGL_string(45, 40, 260,
               "Wrapped text: the quick brown fox jumps over the lazy dog, 0123456789 times, while "
               "the installer keeps every file you changed yourself.",
               440, charset_prop, 0);
    OGL_string(45, 270, 200, "Centred text", 0, charset_prop, 1);
    OGL_fillrect(8, 1, 40, 150, 60, 20);
    OGL_line(1, 1, 120, 150, 220, 170);

    BTN_frame2(11, 560, 300, 420, 240, "Window with a title");
    BTN_frame2(14, 580, 330, 380, 60, "");
    OGL_string(47, 590, 370, "A tooltip: help text in colour 47 on the tooltip box.", 360, charset_prop, 0);
    BTN_frame2(16, 580, 420, 380, 70, "");
    OGL_string(43, 770, 460, "An untitled panel (style 16).", 0, charset_prop, 1);
  }
};

TEST(GuiScreen, EveryWidgetIsDrawnLegibly) {
  WidgetScreen ws;
  screen = [&] { ws.draw(); };
  capture_frame();
  save("widgets.png");
  ASSERT_EQ(capture.rgb.size(), 1024u * 768 * 3);

  // The background picture shows where nothing else is drawn.
  const art_image bg = art_background_image(0);
  const Pixel p = capture.at(1000, 20);
  const std::uint8_t* want = bg.at(1000, 20);
  EXPECT_NEAR(p.r, want[2], 3);
  EXPECT_NEAR(p.g, want[1], 3);
  EXPECT_NEAR(p.b, want[0], 3);

  // Colour 8 fill and the colour-1 line.
  const Pixel fill = capture.at(70, 160);
  EXPECT_EQ(fill.r, 255);
  EXPECT_NEAR(fill.g, 204, 1);
  EXPECT_NEAR(fill.b, 51, 1);

  // The picture buttons: the install button's face is green, the quit
  // button's red, and each carries its label (light pixels inside).
  const Pixel install = capture.at(10 + 126 + 12 + 5, 78 + 4);
  EXPECT_GT(install.g, install.r + 40);
  const float quit_x = 10 + 126 + 12 + 83 + 12 + 116 + 12;
  const Pixel quit = capture.at(static_cast<int>(quit_x) + 4, 78 + 4);
  EXPECT_GT(quit.r, quit.g + 60);

  // The ticked box shows its mark; the unticked one is empty inside.
  EXPECT_GT(capture.dark_pixels(55, 480 + 3 - 3, 10, 7), 8);
  EXPECT_EQ(capture.dark_pixels(56, 505 + 3 - 2, 6, 5), 0);
  // The chosen option button carries its dot, the other does not.
  EXPECT_GT(capture.dark_pixels(58, 451, 5, 5), 10);
  EXPECT_EQ(capture.dark_pixels(58, 431, 5, 5), 0);
  // Labels are ink on the panel: "Preferences" on its button.
  EXPECT_GT(capture.dark_pixels(100 - 20, 540 - 6, 40, 10, 90), 20);
  // The list shows "Windows" (light text on the list box).
  // The text field shows its text.
  EXPECT_GT(capture.dark_pixels(130, 348, 80, 10, 90), 30);
  // The tooltip box is dark with light green text.
  int green = 0;
  for (int x = 590; x < 900; ++x)
    for (int y = 364; y < 376; ++y) {
      const Pixel t = capture.at(x, y);
      green += t.g > 180 && t.r > 120 && t.r < 215 && t.b < 160;
    }
  EXPECT_GT(green, 100);
}

TEST(GuiScreen, StartupScreenAndBackgroundColour) {
  screen = [] { MACIBM_show_init("Starting application.", 0.5f); };
  capture_frame();
  save("startup.png");
  const Pixel corner = capture.at(3, 3);  // colour 34
  EXPECT_NEAR(corner.r, 86, 1);
  EXPECT_NEAR(corner.g, 67, 1);
  EXPECT_NEAR(corner.b, 51, 1);
  EXPECT_GT(capture.dark_pixels(412, 418, 200, 12, 100), 50);  // the message
}

// --------------------------------------------------------------------- real input

TEST(GuiInput, ClickTypeAndTabThroughXInput) {
  ASSERT_EQ(xdotool("--version"), 0) << "xdotool is needed for this test";
  int box = 0, number = 5;
  std::string name;
  screen = [&] {
    OGL_plot_back_col();
    BTN_frame2(13, 200, 450, 400, 200, "");
    BTN_bool(300, 600, &box, "|tick me", 0);
    BTN_enterstring(300, 560, &name, 20, "-name", 200, 0);
    BTN_int_range(300, 520, &number, 2, 0, 99, "number");
  };
  frames_until([] { return false; }, 0.1);
  // A click on the check box.
  ASSERT_EQ(xdotool("mousemove --sync " + at_screen(300, 604) + " click 1"), 0);
  EXPECT_TRUE(frames_until([&] { return box == 1; }, 5.0));
  // A click into the text field, then typed text.
  ASSERT_EQ(xdotool("mousemove --sync " + at_screen(320, 564) + " click 1"), 0);
  EXPECT_TRUE(frames_until([&] { return focus_id == BTN_identity(300, 560); }, 5.0));
  ASSERT_EQ(xdotool("type --delay 20 'Ab3 x'"), 0);
  EXPECT_TRUE(frames_until([&] { return name == "Ab3 x"; }, 5.0)) << "typed: '" << name << "'";
  // Tab moves the focus to the number field, where a digit replaces the first digit.
  ASSERT_EQ(xdotool("key Tab"), 0);
  EXPECT_TRUE(frames_until([&] { return focus_id == BTN_identity(300, 520); }, 5.0));
  ASSERT_EQ(xdotool("key 4"), 0);
  EXPECT_TRUE(frames_until([&] { return number == 45; }, 5.0)) << number;
  capture_frame();
  save("input.png");
  EXPECT_GT(capture.dark_pixels(300, 558, 40, 10, 90), 15);  // the typed text shows
}

// Two fields as on the preferences screen: the host field takes the focus
// by itself; the port field's box lies just below it.
struct ProxyFields {
  std::string host = "proxy.example.org", port;
  void draw() {
    OGL_plot_back_col();
    BTN_frame2(13, 40, 20, 700, 80, "");
    BTN_enterstring(85, 70, &host, 65, "-proxy host", 455, 1);
    BTN_enterstring(85, 50, &port, 65, "-proxy port", 455, 1);
  }
};

// Runs an xdotool command in the background while frames go on, so that
// its events arrive over many polls as a person's would.
void xdotool_async(const std::string& args) {
  const std::string cmd = "xdotool " + args + " >/dev/null 2>&1 &";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
}

TEST(GuiInput, KeysFocusMovesAndClicksInTheLowerHalfOfAField) {
  ASSERT_EQ(xdotool("--version"), 0) << "xdotool is needed for this test";
  ProxyFields f;
  screen = [&] { f.draw(); };
  MACIBM_startwind(0);  // a fresh screen: no focus left from another test
  frames_until([] { return false; }, 0.1);
  ASSERT_EQ(focus_id, BTN_identity(85, 70));
  // While no frame runs, a key goes down in the host field, Tab and Return
  // follow and the key comes up: the next poll takes them all at once.
  ASSERT_EQ(xdotool("keydown q key Tab key Return keyup q"), 0);
  EXPECT_TRUE(frames_until([&] { return focus_id == BTN_identity(85, 50); }, 5.0));
  // Then 64 characters typed into the port field, as many as the key
  // queue holds: every one arrives.
  const std::string many = "abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz01";
  xdotool_async("type --delay 15 " + many);
  EXPECT_TRUE(frames_until([&] { return f.port == many; }, 15.0)) << "port: '" << f.port << "'";
  EXPECT_EQ(f.host, "proxy.example.org");
  // A click in the lower half of the port box (the box runs from y 43 to
  // 63) focuses it with a caret; the next key does not replace the host.
  f.port.clear();
  ASSERT_EQ(xdotool("mousemove --sync " + at_screen(85 + 100, 45) + " click 1"), 0);
  frames_until([] { return false; }, 0.3);
  ASSERT_EQ(focus_id, BTN_identity(85, 50));
  ASSERT_EQ(xdotool("type 8080"), 0);
  EXPECT_TRUE(frames_until([&] { return f.port == "8080"; }, 5.0)) << "port: '" << f.port << "'";
  EXPECT_EQ(f.host, "proxy.example.org");
  capture_frame();
  save("fields.png");
  EXPECT_GT(capture.dark_pixels(85, 47, 30, 10, 90), 10);  // "8080" shows in the port field
}

TEST(GuiInput, EditingKeysDragSelectionAndTheClipboard) {
  ASSERT_EQ(xdotool("--version"), 0) << "xdotool is needed for this test";
  ProxyFields f;
  screen = [&] { f.draw(); };
  MACIBM_startwind(0);  // a fresh screen: no focus left from another test
  frames_until([] { return false; }, 0.1);
  ASSERT_EQ(focus_id, BTN_identity(85, 70));
  // Home, then a character: inserted at the start, not replacing the host.
  ASSERT_EQ(xdotool("key Home"), 0);
  frames_until([] { return false; }, 0.2);
  ASSERT_EQ(xdotool("type w"), 0);
  EXPECT_TRUE(frames_until([&] { return f.host == "wproxy.example.org"; }, 5.0)) << f.host;
  // End and Shift+Home select the line; Ctrl+C copies it.
  ASSERT_EQ(xdotool("key End shift+Home ctrl+c"), 0);
  frames_until([] { return false; }, 0.3);
  // Into the port field: Ctrl+V pastes, Ctrl+A and Ctrl+X cut it again.
  ASSERT_EQ(xdotool("mousemove --sync " + at_screen(85 + 100, 52) + " click 1"), 0);
  frames_until([] { return false; }, 0.2);
  ASSERT_EQ(xdotool("key ctrl+v"), 0);
  EXPECT_TRUE(frames_until([&] { return f.port == "wproxy.example.org"; }, 5.0)) << "port: '" << f.port << "'";
  ASSERT_EQ(xdotool("key ctrl+a ctrl+x"), 0);
  EXPECT_TRUE(frames_until([&] { return f.port.empty(); }, 5.0)) << "port: '" << f.port << "'";
  EXPECT_EQ(plat::window_clipboard_get(), "wproxy.example.org");
  // A drag from the start of the host field to far below and right of it,
  // held, selects the whole host; typing then replaces it.
  ASSERT_EQ(xdotool("mousemove --sync " + at_screen(85 - 4, 72) + " mousedown 1"), 0);
  frames_until([] { return false; }, 0.2);
  ASSERT_EQ(xdotool("mousemove --sync " + at_screen(700, 8)), 0);
  frames_until([] { return false; }, 0.3);
  int s = -1, e = -1;
  OGLE_GetSelection(ogle, s, e);
  ASSERT_EQ(xdotool("mouseup 1"), 0);
  frames_until([] { return false; }, 0.2);
  EXPECT_EQ(focus_id, BTN_identity(85, 70));
  EXPECT_EQ(s, 0);
  EXPECT_EQ(e, static_cast<int>(f.host.size()));
}

TEST(GuiInput, TypedAccentedLetterAndTildeShowInTheField) {
  ASSERT_EQ(xdotool("--version"), 0) << "xdotool is needed for this test";
  std::string typed, plain = "Fluge1";
  screen = [&] {
    OGL_plot_back_col();
    BTN_frame2(13, 40, 20, 700, 80, "");
    BTN_enterstring(85, 70, &typed, 65, "-typed", 300, 1);
    BTN_enterstring(85, 50, &plain, 65, "-plain", 300, 0);
  };
  MACIBM_startwind(0);
  frames_until([] { return false; }, 0.1);
  ASSERT_EQ(focus_id, BTN_identity(85, 70));
  // In the background while frames run: xdotool lends "ü" a key only for
  // as long as it types it, so the window must read the key meanwhile.
  xdotool_async("type --delay 120 'Fl\xc3\xbcge~1'");
  EXPECT_TRUE(frames_until([&] { return typed == "Fl\xc3\xbcge~1"; }, 5.0)) << "typed: '" << typed << "'";
  MACIBM_startwind(0);  // no caret in the picture
  capture_frame();
  save("field_accent_tilde.png");
  const int with_marks = capture.dark_pixels(85, 64, 60, 16, 90), without = capture.dark_pixels(85, 44, 60, 16, 90);
  EXPECT_GE(with_marks, without + 6) << "the diaeresis and the tilde do not show";
}

// ------------------------------------------------------------------- the alert

TEST(GuiAlert, AlertIsDrawnInWindow995AndReturnClosesIt) {
  screen = [] { OGL_plot_back_col(); };
  int frames = 0;
  ogl_gl.before_present = [&] {
    if (mnw.top_win_now != win_alert) return;
    if (++frames == 2) {
      ogl_gl.read_pixels(0, 0, 1024, 768, capture.rgb);
      // Real input: Return, sent once the alert is on screen.
      xdotool("key Return");
    }
    if (frames > 200) plat::window_inject([] {  // never hang the suite
      plat::WinEvent e;
      e.type = plat::WinEvent::key_down;
      e.vkey = 13;
      return e;
    }());
  };
  __MACIBM_alert(0, "The installer cannot extract a file.", "Error: No space left on device.",
                 "Compressed File: Aerodeck/Resources/a.zip", "Destination: /home/pilot/Aerodeck/a", t_alert,
                 "utils", 390);
  ogl_gl.before_present = [] {
    if (capture.wanted) ogl_gl.read_pixels(0, 0, 1024, 768, capture.rgb);
  };
  EXPECT_LT(frames, 200) << "Return did not reach the alert";
  EXPECT_EQ(mnw.top_win_now, 0);
  ASSERT_EQ(capture.rgb.size(), 1024u * 768 * 3);
  save("alert.png");
  // Outside the alert: colour 34. The alert: 420 x 250 at (302, 259).
  const Pixel out = capture.at(100, 100);
  EXPECT_NEAR(out.r, 86, 1);
  // Text lines in colour 43 around y 259 + 205 and 259 + 85.
  EXPECT_GT(capture.dark_pixels(302 + 60, 259 + 200, 300, 12, 100), 60);
  EXPECT_GT(capture.dark_pixels(302 + 60, 259 + 80, 300, 12, 100), 60);
  // The OK button at the bottom centre.
  EXPECT_GT(capture.dark_pixels(302 + 200, 259 + 12, 20, 10, 100), 5);
}

}  // namespace
