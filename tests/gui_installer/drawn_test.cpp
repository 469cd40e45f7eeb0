// The installer's drawn screens in a real window of this process (Xvfb,
// Mesa's software renderer): states the program reaches only briefly or
// on machines unlike the test machine (a full disk, several servers, the
// progress box while the directory is read). Frames are read back,
// checked and saved as PNG for a person to look at.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "engine/utils.h"
#include "installer/main.h"
#include "installer/main_screen.h"
#include "platform/window.h"
#include "prefs/sub_wins.h"
#include "tests/gui/png.h"
#include "tests/support/temp_dir.h"
#include "ui/gl_backend.h"
#include "support/hl_init.h"
#include "ui/gl_init.h"
#include "ui/hl_mnw.h"
#include "ui/oglp.h"

namespace {

std::vector<std::uint8_t> frame;  // the last frame read back before it was presented
bool want_frame = false;

struct Window : ::testing::Environment {
  void SetUp() override {
    // Keep the GL driver mapped after the window closes, so that the leak
    // checker can name it.
    for (const char* lib : {"libGLX_mesa.so.0", "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", "libglapi.so.0"})
      dlopen(lib, RTLD_NOW | RTLD_NODELETE);
    const char* argv[] = {"gui_installer_drawn_tests"};
    MACIBM_init(1, argv);
    ASSERT_EQ(ogl_inited, 1);
    ogl_gl.before_present = [] {
      if (want_frame) ogl_gl.read_pixels(0, 0, 1024, 768, frame);
    };
    MACIBM_event_proc();
  }
  void TearDown() override {
    ogl_gl.before_present = nullptr;
    MACIBM_app_update = nullptr;
    MACIBM_finishup(0);
  }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new Window);

void save(const std::string& name) {
  const char* dir = std::getenv("SKYVANE_SCREENSHOT_DIR");
  EXPECT_TRUE(gui_test::write_png(std::string(dir ? dir : ".") + "/" + name, 1024, 768, frame)) << name;
}

const std::uint8_t* px(int x, int y) { return &frame[(static_cast<size_t>(y) * 1024 + x) * 3]; }

// Saturation of a pixel: how far it is from grey.
int colourfulness(int x, int y) {
  const std::uint8_t* p = px(x, y);
  const int hi = std::max({p[0], p[1], p[2]}), lo = std::min({p[0], p[1], p[2]});
  return hi - lo;
}

int ink(int x, int y, int w, int h) {
  int n = 0;
  for (int j = y; j < y + h; ++j)
    for (int i = x; i < x + w; ++i) {
      const std::uint8_t* p = px(i, j);
      n += (p[0] + p[1] + p[2]) / 3 < 110;
    }
  return n;
}

// Runs one frame of the installer with a click at (x, y), or none.
void installer_frame(float x = -1, float y = -1) {
  if (x >= 0) {
    plat::WinEvent move;
    move.type = plat::WinEvent::mouse_move;
    move.x = x;
    move.y = 768 - y;
    plat::window_inject(move);
    plat::WinEvent down = move;
    down.type = plat::WinEvent::button_down;
    plat::window_inject(down);
    plat::WinEvent up = move;
    up.type = plat::WinEvent::button_up;
    plat::window_inject(up);
  }
  MACIBM_event_proc();
}

TEST(DrawnScreens, NotEnoughRoomGreysTheInstallButton) {
  testing_support::TempDir tmp;
  installer_state_reset();
  dest_dir_path = tmp / "";
  temp_path = tmp / "";
  stg.num_servers = 3;
  server_desc[0] = "North America (primary)";
  server_desc[1] = "Europe";
  server_desc[2] = "Asia and Pacific";
  stg.sel_server = 1;
  stg.dir_scan = 3;
  install_name = "Skyvane 9.01";
  stg.disk_req = 9e12f;  // thousands of bytes: far beyond any disk
  stg.down_req = 734003;
  drawn_screen screen;
  main_screen* const before = app_screen;
  app_screen = &screen;
  MACIBM_app_update = APP_update;

  installer_frame();
  want_frame = true;
  installer_frame();
  want_frame = false;
  save("installer_not_enough_space.png");
  EXPECT_EQ(app_now.line[2], "You don't have enough disk space to install this!");
  // The install button is greyed; the store button keeps its colour.
  EXPECT_LT(colourfulness(450 + 41, 78 + 11), 40);
  EXPECT_GT(colourfulness(700 + 58, 78 + 11), 60);
  // Three server buttons with their names.
  for (int i = 0; i < 3; ++i) EXPECT_GT(ink(150, 574 - 20 * i, 120, 12), 20) << i;

  // A click on the greyed button does nothing; one on a server picks it.
  installer_frame(450 + 41, 78 + 11);
  installer_frame();
  EXPECT_EQ(stg.step, 0);
  EXPECT_EQ(mnw.top_win_now, win_main);
  installer_frame(142, 578 - 40 + 3);
  EXPECT_EQ(stg.sel_server, 2);

  MACIBM_app_update = nullptr;
  app_screen = before;
  installer_state_reset();
}

// The destination is shown as it is held: a folder name with an accented
// letter and a tilde shows both, each with room of its own.
TEST(DrawnScreens, ADestinationWithAnAccentAndATildeShowsThem) {
  testing_support::TempDir tmp;
  installer_state_reset();
  temp_path = tmp / "";
  stg.num_servers = 1;
  server_desc[0] = "Europe";
  stg.dir_scan = 3;
  install_name = "Skyvane 9.01";
  drawn_screen screen;
  main_screen* const before = app_screen;
  app_screen = &screen;
  MACIBM_app_update = APP_update;
  auto line_ink = [](const std::string& path) {
    dest_dir_path = path;
    installer_frame();
    want_frame = true;
    installer_frame();
    want_frame = false;
    return ink(140, 78, 300, 17);
  };
  const int plain = line_ink("/home/pilot/Fluge/backup/");
  const int marked = line_ink("/home/pilot/Fl\xc3\xbcge/~backup/");  // "ü" in UTF-8, and "~"
  save("installer_destination_accent_tilde.png");
  // The diaeresis and the tilde add ink; nothing goes missing.
  EXPECT_GE(marked, plain + 6) << "plain " << plain << ", with the accent and tilde " << marked;
  // Every character has room: the line is wider by the tilde's advance.
  EXPECT_EQ(str_dx_shown("/home/pilot/Fl\xc3\xbcge/~backup/"),
            str_dx_shown("/home/pilot/Fluge/backup/") + chr_dx_shown('~') + chr_dx_shown(252) - chr_dx_shown('u'));
  MACIBM_app_update = nullptr;
  app_screen = before;
  installer_state_reset();
}

TEST(DrawnScreens, ProgressBoxWhileTheDirectoryIsRead) {
  want_frame = true;
  drawn_dir_progress_bar(0, 30, 100, 1, "Scanning directory text file to see if you already have Skyvane installed...",
                         "Resources/shared data/beacon list.txt");
  want_frame = false;
  ASSERT_EQ(frame.size(), 1024u * 768 * 3);
  save("installer_progress_box.png");
  // Title, phase and detail lines are written on the box's dark panel:
  // count the light pixels of the text there.
  int light = 0;
  for (int y = 350; y < 405; ++y)
    for (int x = 286; x < 738; ++x) light += (px(x, y)[0] + px(x, y)[1] + px(x, y)[2]) / 3 > 150;
  EXPECT_GT(light, 300);
}

}  // namespace
