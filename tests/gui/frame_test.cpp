// The renderer's frame economy in a real window (Xvfb, Mesa's software
// renderer): a frame equal to the one on screen is neither drawn nor
// presented, yet the window keeps showing it; any change, an exposure or a
// screenshot hook makes the next frame drawn. The cheaper ways of drawing the
// background (a clear for the flat colour, a copy for the picture) give the
// same pixels as the quads they replace.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "platform/window.h"
#include "tests/gui_installer/x_screen.h"
#include "ui/art.h"
#include "ui/butn.h"
#include "ui/colr.h"
#include "ui/gl_backend.h"
#include "support/hl_init.h"
#include "ui/gl_init.h"
#include "ui/hl_mnw.h"
#include "ui/oglp.h"

namespace {

std::function<void()> screen;
void run_screen() {
  if (screen) screen();
}

// The frame as it was drawn, read back just before it was presented.
bool want_capture = false;
std::vector<std::uint8_t> captured;

class FrameWindow : public ::testing::Environment {
 public:
  void SetUp() override {
    // Keep the GL driver's libraries mapped after the window closes, so
    // that the leak checker can name them (its suppressions cover driver
    // allocations only).
    for (const char* lib : {"libGLX_mesa.so.0", "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", "libglapi.so.0"})
      dlopen(lib, RTLD_NOW | RTLD_NODELETE);
    const char* argv[] = {"gui_frame_tests"};
    MACIBM_init(1, argv);
    ASSERT_EQ(ogl_inited, 1);
    ASSERT_TRUE(plat::window_is_open());
    MACIBM_app_update = run_screen;
    MACIBM_event_proc();  // the first frame opens window 0
  }
  void TearDown() override {
    ogl_gl.before_present = nullptr;
    MACIBM_app_update = nullptr;
    MACIBM_finishup(0);
  }
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new FrameWindow);

// One frame of `draw`, read back as drawn.
std::vector<std::uint8_t> drawn_frame(const std::function<void()>& draw) {
  screen = draw;
  ogl_gl.before_present = [] {
    if (want_capture) ogl_gl.read_pixels(0, 0, 1024, 768, captured);
  };
  want_capture = true;
  MACIBM_event_proc();
  want_capture = false;
  ogl_gl.before_present = nullptr;
  return captured;
}

// The window as the X server shows it, after a short settle.
std::vector<std::uint8_t> window_pixels() {
  static unsigned long win = xscreen::find_window(static_cast<int>(getpid()), 10);
  std::vector<std::uint8_t> rgb;
  EXPECT_NE(win, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(xscreen::grab(win, rgb));
  return rgb;
}

size_t differing_pixels(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size()) return a.size() + b.size();
  size_t n = 0;
  for (size_t i = 0; i + 2 < a.size(); i += 3) n += a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2];
  return n;
}

void panel_screen(int colour) {
  OGL_plot_back_col();
  OGL_fillrect(colour, 1.0f, 100, 100, 300, 200);
  OGL_string(46, 120, 250, "Nothing changes on this panel", 0, charset_prop, 0);
}

TEST(FrameEconomy, AnUnchangedFrameIsLeftOnScreenAndAChangedOneIsDrawn) {
  screen = [] { panel_screen(12); };
  MACIBM_event_proc();  // drawn: it differs from whatever was shown before
  const std::uint64_t drawn0 = ogl_gl.frames_drawn(), skipped0 = ogl_gl.frames_skipped();
  for (int i = 0; i < 5; ++i) MACIBM_event_proc();
  EXPECT_EQ(ogl_gl.frames_drawn(), drawn0);
  EXPECT_EQ(ogl_gl.frames_skipped(), skipped0 + 5);

  // The window still shows the panel: black where it was drawn, the
  // background colour elsewhere.
  std::vector<std::uint8_t> shown = window_pixels();
  ASSERT_EQ(shown.size(), 1024u * 768 * 3);
  auto px = [&](int x, int y) {
    const size_t i = (static_cast<size_t>(y) * 1024 + x) * 3;
    return std::vector<int>{shown[i], shown[i + 1], shown[i + 2]};
  };
  EXPECT_EQ(px(200, 150), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(px(600, 600), (std::vector<int>{86, 67, 51}));  // colour 34

  // One colour changed: drawn and shown.
  screen = [] { panel_screen(69); };
  MACIBM_event_proc();
  EXPECT_EQ(ogl_gl.frames_drawn(), drawn0 + 1);
  shown = window_pixels();
  EXPECT_EQ(px(200, 150), (std::vector<int>{255, 0, 0}));

  // The window lost its picture: the same frame is drawn again, once.
  ogl_be->invalidate();
  MACIBM_event_proc();
  EXPECT_EQ(ogl_gl.frames_drawn(), drawn0 + 2);
  MACIBM_event_proc();
  EXPECT_EQ(ogl_gl.frames_drawn(), drawn0 + 2);

  // An exposure of the window does the same.
  plat::WinEvent refresh{};
  refresh.type = plat::WinEvent::refresh;
  MACIBM_handle_event(refresh);
  MACIBM_event_proc();
  EXPECT_GE(ogl_gl.frames_drawn(), drawn0 + 3);
  MACIBM_event_proc();
  const std::uint64_t settled = ogl_gl.frames_drawn();
  MACIBM_event_proc();
  EXPECT_EQ(ogl_gl.frames_drawn(), settled);

  // A screenshot hook sees every frame drawn.
  ogl_gl.before_present = [] {};
  MACIBM_event_proc();
  EXPECT_EQ(ogl_gl.frames_drawn(), settled + 1);
  ogl_gl.before_present = nullptr;
}

// A frame that differs only in a moving element (a caret, a progress line)
// is drawn every time it moves.
TEST(FrameEconomy, AMovingElementIsDrawnEveryTimeItMoves) {
  int x = 0;
  screen = [&] {
    panel_screen(12);
    OGL_fillrect(38, 1.0f, 500 + static_cast<float>(x), 400, 4, 20);
  };
  MACIBM_event_proc();
  const std::uint64_t drawn0 = ogl_gl.frames_drawn();
  for (int i = 1; i <= 4; ++i) {
    x = i;
    MACIBM_event_proc();
  }
  EXPECT_EQ(ogl_gl.frames_drawn(), drawn0 + 4);
  const std::vector<std::uint8_t> shown = window_pixels();
  ASSERT_EQ(shown.size(), 1024u * 768 * 3);
  const size_t at = (static_cast<size_t>(405) * 1024 + 505) * 3;  // inside the bar at its last place
  EXPECT_EQ(shown[at], 255);
  const size_t before = (static_cast<size_t>(405) * 1024 + 501) * 3;  // where it started, now uncovered
  EXPECT_EQ(shown[before], 86);
}

// The flat background is cleared rather than filled, and the background
// picture copied rather than shaded: both must look exactly like the quads.
TEST(FrameEconomy, ClearedAndCopiedBackgroundsLookLikeTheirQuads) {
  const std::vector<std::uint8_t> cleared = drawn_frame([] { OGL_plot_back_col(); });
  const std::vector<std::uint8_t> filled = drawn_frame([] { OGL_fillrect(34, 1.0f, 0, 0, 1024, 768); });
  ASSERT_EQ(cleared.size(), 1024u * 768 * 3);
  EXPECT_EQ(differing_pixels(cleared, filled), 0u);

  // The picture with its corners from the lower left (copied), and the same
  // corners from the upper left (shaded as a quad).
  const std::uint64_t copies0 = ogl_gl.pictures_copied();
  const std::vector<std::uint8_t> copied = drawn_frame([] {
    OGL_plot_back_col();
    OGL_2dquad(tex_background, 0, 1, 0, 0, 0, 0, 1024, 0, 1, 0, 1024, 768, 1, 1, 0, 768, 0, 1);
  });
  const std::vector<std::uint8_t> shaded = drawn_frame([] {
    OGL_plot_back_col();
    OGL_2dquad(tex_background, 0, 1, 0, 768, 0, 1, 0, 0, 0, 0, 1024, 0, 1, 0, 1024, 768, 1, 1);
  });
  EXPECT_EQ(ogl_gl.pictures_copied(), copies0 + 1);
  EXPECT_EQ(differing_pixels(copied, shaded), 0u);
  EXPECT_GT(differing_pixels(copied, cleared), 100000u);  // the picture is really there

  // A part of the picture at an offset, and one under a clip.
  const std::vector<std::uint8_t> part_copied = drawn_frame([] {
    OGL_plot_back_col();
    OGL_scissors(0, 0, 400, 250);
    OGL_2dquad(tex_background, 0, 1, 200, 100, 0.25f, 0.5f, 456, 100, 0.5f, 0.5f, 456, 292, 0.5f, 0.75f, 200, 292,
               0.25f, 0.75f);
    OGL_scissors_end();
  });
  const std::vector<std::uint8_t> part_shaded = drawn_frame([] {
    OGL_plot_back_col();
    OGL_scissors(0, 0, 400, 250);
    OGL_2dquad(tex_background, 0, 1, 200, 292, 0.25f, 0.75f, 200, 100, 0.25f, 0.5f, 456, 100, 0.5f, 0.5f, 456, 292,
               0.5f, 0.75f);
    OGL_scissors_end();
  });
  EXPECT_EQ(ogl_gl.pictures_copied(), copies0 + 2);
  EXPECT_EQ(differing_pixels(part_copied, part_shaded), 0u);
  EXPECT_GT(differing_pixels(part_copied, cleared), 10000u);
}

// A frame that changes in one place is drawn only there, over the last
// frame kept in the back buffer; the result must equal the whole frame
// drawn from scratch, wherever the change is and whatever lies under it
// (the picture, a clipped panel, blended text, a line crossing tiles).
TEST(FrameEconomy, AFrameDrawnInPartEqualsTheWholeFrame) {
  if (!ogl_gl.back_buffer_kept()) GTEST_SKIP() << "this driver exchanges its buffers: frames are always drawn whole";
  auto busy = [](int step) {
    return [step] {
      OGL_plot_back_col();
      OGL_2dquad(tex_background, 0, 1, 0, 0, 0, 0, 1024, 0, 1, 0, 1024, 768, 1, 1, 0, 768, 0, 1);
      OGL_scissors(90, 90, 320, 120);
      OGL_fillrect(12, 0.5f, 100, 100 + static_cast<float>(step), 300, 200);
      OGL_scissors_end();
      OGL_string(46, 144, 560, "Received " + std::to_string(step * 1111) + " kilobytes", 0, charset_prop, 0);
      OGL_string(38, 700, 300, "A line that never changes", 0, charset_prop, 0);
      OGL_line(69, 1.0f, 10, 10 + static_cast<float>(step) * 7, 1000, 700);
    };
  };
  drawn_frame(busy(0));
  for (int step = 1; step <= 3; ++step) {
    const std::uint64_t parts = ogl_gl.frames_in_part();
    const std::vector<std::uint8_t> in_part = drawn_frame(busy(step));
    EXPECT_EQ(ogl_gl.frames_in_part(), parts + 1);
    ogl_be->invalidate();  // the next frame is drawn whole
    const std::vector<std::uint8_t> whole = drawn_frame(busy(step));
    EXPECT_EQ(ogl_gl.frames_in_part(), parts + 1);
    ASSERT_EQ(in_part.size(), 1024u * 768 * 3);
    EXPECT_EQ(differing_pixels(in_part, whole), 0u) << "step " << step;
  }
  // And what the window shows is that frame too.
  const std::vector<std::uint8_t> last = drawn_frame(busy(7));
  EXPECT_EQ(differing_pixels(window_pixels(), last), 0u);
}

}  // namespace
