#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/temp_dir.h"
#include "tests/ui/ui_fixture.h"
#include "ui/cmnd.h"
#include "ui/hl_alert.h"
#include "support/hl_init.h"

using ui_test::key;
using ui_test::pointer;
using ui_test::Recorder;
using ui_test::UiTest;
using E = plat::WinEvent;

namespace {

using KeysTest = UiTest;

TEST(KeyTable, ModifiersAndKeylessCodesBecomeZeroAndPunctuationMoves) {
  EXPECT_EQ(keys_class::map_key(16), 0);
  EXPECT_EQ(keys_class::map_key(2), 0);
  EXPECT_EQ(keys_class::map_key(150), 0);
  EXPECT_EQ(keys_class::map_key(65), 65);
  EXPECT_EQ(keys_class::map_key(13), 13);
  EXPECT_EQ(keys_class::map_key(186), 181);
  EXPECT_EQ(keys_class::map_key(192), 186);
  EXPECT_EQ(keys_class::map_key(219), 179);
  EXPECT_EQ(keys_class::map_key(223), 186);
}

TEST_F(KeysTest, LockKeysProduceNoEventAndModifiersOnlyToggle) {
  E caps = key(20);
  caps.scan = 0x3A;
  E num = key(144);
  num.scan = 0x45;
  num.extended = 1;
  keys.handle_key_raw(caps);
  keys.handle_key_raw(num);
  EXPECT_EQ(keys.global_vkey_hit, 0);
  E shift = key(16);
  shift.scan = 0x2A;
  keys.handle_key_raw(shift);
  EXPECT_EQ(keys.ShiftToggle, 1);
  shift.type = E::key_up;
  keys.handle_key_raw(shift);
  EXPECT_EQ(keys.ShiftToggle, 0);
  E ctrl = key(17);
  ctrl.scan = 0x1D;
  keys.handle_key_raw(ctrl);
  EXPECT_EQ(keys.ControlToggle, 1);
}

TEST_F(KeysTest, FlagsAndBindings) {
  keys.key_bindings.push_back({65, 4, 0, 0});  // Ctrl+A
  const int before = cmnd.presses;
  keys.handle_key_raw(key('A', 0, 4));
  EXPECT_EQ(keys.global_vkey_hit, 65);
  EXPECT_EQ(keys.global_flag_hit, 4);
  EXPECT_EQ(cmnd.presses, before + 1);
  keys.handle_key_raw(key('A', 0, 4, true, true));  // auto-repeat: no fresh press
  EXPECT_EQ(cmnd.presses, before + 1);
  keys.run_repeat_keys();  // the held command repeats once per frame instead
  EXPECT_EQ(cmnd.presses, before + 2);
  keys.handle_key_raw(key('A', 0, 4, false));
  EXPECT_EQ(keys.key_bindings.back().hold, 0);
  keys.handle_key_raw(key(27, 0));
  EXPECT_EQ(escape_hit, 1);
  keys.handle_key_raw(key(46, 0));
  EXPECT_EQ(delete_hit, 1);
}

TEST_F(KeysTest, TheAlertTakesNoKeysThroughTheFocusRing) {
  int v = 1;
  input(0, 0);
  BTN_int_range(100, 100, &v, 1, 0, 9, "");
  press(9, 9);
  ASSERT_NE(focus_id, 0);
  mnw.top_win_now = win_alert;
  EXPECT_EQ(BTN_dispatch_to_focus('5', '5', 8), 0);
  keys.handle_key_raw(key(13, 0));
  EXPECT_EQ(return_hit, 1);  // Return reaches the alert's own check
}

TEST_F(KeysTest, PulseColoursFollowTheClock) {
  for (int k = 0; k < 5; ++k) {
    input(0, 0);
    const float p = colr.pulse_alpha;
    EXPECT_GE(p, 0.4f);
    EXPECT_LE(p, 1.0f);
    EXPECT_FLOAT_EQ(colr.col_rgb[80][0], p);
    EXPECT_FLOAT_EQ(colr.col_rgb[80][1], 0.3f * p);
    EXPECT_FLOAT_EQ(colr.col_rgb[82][1], 0.8f * p);
  }
}

TEST(Commands, LookupAndPaths) {
  EXPECT_EQ(cmnd.get_cmnd_by_name("sim/operation/none"), 0);
  EXPECT_EQ(cmnd.get_cmnd_by_name("nope"), -1);
  EXPECT_EQ(cmnd.get_cmnd_desc(0), "Do nothing at all!");
  std::vector<std::string> parts;
  cmnd.get_cmds_in_path("sim/", parts);
  EXPECT_EQ(parts, std::vector<std::string>{"operation"});
}

// ------------------------------------------------------------------ the frame

class FrameTest : public UiTest {
 protected:
  void frame(std::vector<E> events) {
    rec.script.push_back(std::move(events));
    MACIBM_event_proc();
  }
};

TEST_F(FrameTest, MouseIsWindowRelativeWithYUpAndWheelTruncates) {
  MACIBM_startwind(2);  // 600 x 380, centred at (212, 194)
  E move;
  move.type = E::mouse_move;
  move.x = 212 + 30;
  move.y = 768 - (194 + 40);
  E half;
  half.type = E::wheel;
  half.wheel_delta = 60;
  half.x = move.x;
  half.y = move.y;
  E back;
  back.type = E::wheel;
  back.wheel_delta = -240;
  back.x = move.x;
  back.y = move.y;
  frame({move, half, back});
  EXPECT_FLOAT_EQ(mnw.mx, 30);
  EXPECT_FLOAT_EQ(mnw.my, 40);
  // The half notch is kept, not dropped: half a notch forward and two back
  // are one and a half back, one counted and the half kept for the next.
  EXPECT_EQ(mnw.mouse_wheel, -1);
  EXPECT_EQ(mnw.wheel_rest, -60);
}

TEST_F(FrameTest, CloseBoxAndReturnCloseModalScreensButNotTheAlert) {
  MACIBM_startwind(1);
  frame({pointer(E::button_down, 3, 298)});  // top-left 25 x 20 corner of the 500 x 300 window
  EXPECT_EQ(mnw.top_win_now, 0);
  MACIBM_startwind(2);
  frame({pointer(E::button_down, 30, 298)});  // just outside the box
  EXPECT_EQ(mnw.top_win_now, 2);
  frame({key(13, 0)});  // Return closes the preferences (their default is the close box)
  EXPECT_EQ(mnw.top_win_now, 0);
  // The agreement has no default: Return alone neither accepts nor
  // declines; Escape closes it as its close box does.
  MACIBM_startwind(1);
  frame({key(13, 0), key(13, 0, 0, false)});
  EXPECT_EQ(mnw.top_win_now, 1);
  frame({key(27, 0), key(27, 0, 0, false)});
  EXPECT_EQ(mnw.top_win_now, 0);
  MACIBM_startwind(2);
  frame({key(27, 0)});  // Escape closes the preferences
  EXPECT_EQ(mnw.top_win_now, 0);
  MACIBM_startwind(995);
  frame({pointer(E::button_down, 3, 248)});
  EXPECT_EQ(mnw.top_win_now, 995);
}

TEST_F(FrameTest, FrameRunsTheScreenOnlyWhenNoModalWindowIsOpen) {
  static int updates = 0;
  updates = 0;
  MACIBM_app_update = [] { ++updates; };
  frame({});
  EXPECT_EQ(updates, 1);
  EXPECT_EQ(rec.presents, 1);
  MACIBM_startwind(1);
  frame({});
  EXPECT_EQ(updates, 1);
  E close;
  close.type = E::close;
  app_done = 0;
  frame({close});
  EXPECT_EQ(app_done, 1);
  app_done = 0;
}

// A frame with no input waits for window events, which arriving network
// data cannot end; while the application says that its update waits for
// its own events (an install: the sockets, the extraction), the frame only
// looks for input and the update's own wait paces the loop.
TEST_F(FrameTest, TheFrameDoesNotWaitForWindowEventsWhileTheApplicationWaits) {
  static bool installing = false;
  MACIBM_app_waits = [] { return installing; };
  installing = false;
  frame({});
  EXPECT_EQ(rec.waits.size(), 1u);
  installing = true;
  frame({});
  frame({});
  EXPECT_EQ(rec.waits.size(), 1u) << "waited for window events while installing";
  // A modal window takes the input and the application's update does not
  // run: its frames wait as before.
  MACIBM_startwind(1);
  frame({});
  EXPECT_EQ(rec.waits.size(), 2u);
  MACIBM_app_waits = nullptr;
}

TEST_F(FrameTest, ClicksAndDoubleClicksAreTimed) {
  frame({pointer(E::button_down, 10, 10)});
  EXPECT_EQ(mnw.now_dragging, 1);
  EXPECT_EQ(mnw.mouse_double_clicked, 0);
  xtim_class::fake_microsecs += 100000;
  frame({pointer(E::button_up, 10, 10)});
  EXPECT_EQ(mnw.mouse_did_click, 1);
  EXPECT_EQ(mnw.now_dragging, 0);
  xtim_class::fake_microsecs += 100000;
  frame({pointer(E::button_down, 10, 10)});  // 0.2 s after the first press
  EXPECT_EQ(mnw.mouse_double_clicked, 1);
  xtim_class::fake_microsecs += 300000;
  frame({});
  EXPECT_EQ(mnw.delay_dragging, 1);  // held 0.3 s
  frame({pointer(E::button_up, 10, 10)});
  EXPECT_EQ(mnw.delay_dragging, 0);
  xtim_class::fake_microsecs += 300000;
  frame({pointer(E::button_down, 10, 10)});  // 0.3 s after: not a double click
  EXPECT_EQ(mnw.mouse_double_clicked, 0);
}

TEST_F(FrameTest, TooltipShowsAfterTheMouseRestsOneSecond) {
  auto screen = [] {
    int v = 0;
    BTN_bool(100, 100, &v, "|box{?Explains the box.", 0);
  };
  MACIBM_app_update = screen;
  frame({pointer(E::mouse_move, 100, 100)});
  const size_t quads_before = rec.quads.size();
  rec.clear_log();
  xtim_class::fake_microsecs += 1100000;
  frame({});
  // The tooltip box (style 14) and its text in colour 47.
  bool green_text = false;
  for (const auto& q : rec.glyphs()) green_text = green_text || q.color[1] == colr.col_rgb[47][1];
  EXPECT_TRUE(green_text);
  EXPECT_GT(rec.quads.size(), quads_before);
}

// The drawn alert, run in window 995 with its own frames.
TEST_F(FrameTest, DrawnAlertShowsItsLinesAndReturnClosesIt) {
  testing_support::TempDir dir;
  HL_open_log(dir.path());
  ogl_inited = 1;
  HL_use_drawn_alerts();
  stls.text[602] = "OK";
  rec.script.push_back({});
  rec.script.push_back({key(13, 0)});
  __MACIBM_alert(0, "Something happened.", "", "", "", t_alert, "utils", 7);
  ogl_inited = 0;
  alert_drawer = nullptr;
  HL_close_log();
  EXPECT_EQ(mnw.top_win_now, 0);
  EXPECT_GE(rec.presents, 1);
  // "Something happened." centred at x 210 of the alert, which sits at 302.
  const float width = str_dx("Something happened.");
  bool found = false;
  for (const auto& q : rec.glyphs()) found = found || q.v[0].x == std::round(302 + 210 - width / 2);
  EXPECT_TRUE(found);
  EXPECT_NE(testing_support::read_file(dir / "Log.txt").find("Something happened.\n"), std::string::npos);
}

// An alert raised by the frame that saw a Return is not dismissed by that
// same Return before it was ever drawn, nor by the auto-repeat of a Return
// held from before: only a fresh press made while it is shown.
TEST_F(FrameTest, OnlyAFreshReturnMadeWhileTheAlertIsShownDismissesIt) {
  ogl_inited = 1;
  HL_use_drawn_alerts();
  static int presents_during = -1;
  static Recorder* seen;
  seen = &rec;
  presents_during = -1;
  MACIBM_app_update = [] {
    if (!return_hit) return;
    const int before = seen->presents;
    __MACIBM_alert(0, "Raised by a Return.", "", "", "", t_alert, "utils", 9);
    presents_during = seen->presents - before;
  };
  E close;
  close.type = E::close;
  app_done = 0;
  // One batch of input a frame (a frame that finds none waits and takes
  // the next batch too: the pointer moves in between).
  const E move = pointer(E::mouse_move, 5, 5);
  rec.script.push_back({key(13, 0)});  // raises the alert
  rec.script.push_back({move});
  rec.script.push_back({key(13, 0, 0, true, true)});  // the held key repeating
  rec.script.push_back({move});
  rec.script.push_back({key(13, 0)});  // pressed again: dismisses
  rec.script.push_back({close});       // never reached while the rule holds
  MACIBM_event_proc();
  EXPECT_EQ(app_done, 0);
  EXPECT_EQ(rec.script.size(), 1u) << "the alert was dismissed before it was seen";
  EXPECT_GE(presents_during, 4);
  EXPECT_EQ(mnw.top_win_now, 0);
  rec.script.clear();
  app_done = 0;
  ogl_inited = 0;
  alert_drawer = nullptr;
}

TEST_F(FrameTest, ClosingTheWindowEndsAnAlert) {
  ogl_inited = 1;
  HL_use_drawn_alerts();
  E close;
  close.type = E::close;
  rec.script.push_back({close});
  app_done = 0;
  __MACIBM_alert(0, "Waiting.", "", "", "", t_alert, "utils", 8);
  EXPECT_EQ(app_done, 1);
  EXPECT_EQ(mnw.top_win_now, 0);
  app_done = 0;
  ogl_inited = 0;
  alert_drawer = nullptr;
}

using FrameDeathTest = FrameTest;
TEST_F(FrameDeathTest, FatalDrawnAlertEndsAfterItsButton) {
  ogl_inited = 1;
  HL_use_drawn_alerts();
  rec.script.push_back({key(13, 0)});
  EXPECT_EXIT(__MACIBM_alert(0, "Fatal.", "", "", "", t_exit, "xmap", 3), ::testing::ExitedWithCode(1), "");
  ogl_inited = 0;
  alert_drawer = nullptr;
}

}  // namespace

namespace {

// The window's scale for the monitor's work area: 1 where the layout fits,
// a fraction that fits the window and its title bar where it does not, 2
// where twice the size fits; pointer positions go back to layout units
// through it, and a touchpad's fractions of a wheel notch add up.
TEST(WindowScale, FitsTheWorkAreaAndMapsThePointerBack) {
  EXPECT_FLOAT_EQ(MACIBM_window_scale(1280, 1024, 32), 1.0f);
  EXPECT_FLOAT_EQ(MACIBM_window_scale(1024, 768, 32), 1.0f);
  EXPECT_FLOAT_EQ(MACIBM_window_scale(0, 0, 32), 1.0f);
  EXPECT_FLOAT_EQ(MACIBM_window_scale(800, 600, 32), (600 - 32) / 768.0f);
  EXPECT_FLOAT_EQ(MACIBM_window_scale(1366, 728, 32), (728 - 32) / 768.0f);  // a laptop less its task bar
  EXPECT_FLOAT_EQ(MACIBM_window_scale(3840, 2160, 32), 2.0f);
  EXPECT_FLOAT_EQ(MACIBM_window_scale(2048, 1536, 32), 1.0f);  // twice the size and a title bar do not fit

  mnw.reset();
  mnw.x_res_now = 1024;
  mnw.y_res_now = 768;
  mnw.win_x = mnw.win_y = 0;
  plat::WinEvent e;
  e.type = plat::WinEvent::mouse_move;
  for (float s : {0.5f, 2.0f}) {
    mnw.xy_scale_now = s;
    e.x = 450 * s;
    e.y = (768 - 78) * s;
    MACIBM_handle_event(e);
    EXPECT_FLOAT_EQ(mnw.mx, 450) << s;
    EXPECT_FLOAT_EQ(mnw.my, 78) << s;
  }
  mnw.xy_scale_now = 1;
  e.type = plat::WinEvent::wheel;
  mnw.mouse_wheel = 0;
  for (int k = 0; k < 3; ++k) {
    e.wheel_delta = 40;  // a third of a notch
    MACIBM_handle_event(e);
  }
  EXPECT_EQ(mnw.mouse_wheel, 1);
  for (int k = 0; k < 6; ++k) {
    e.wheel_delta = -20;
    MACIBM_handle_event(e);
  }
  EXPECT_EQ(mnw.mouse_wheel, 0);
  mnw.reset();
}

}  // namespace
