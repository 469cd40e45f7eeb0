#include <gtest/gtest.h>

#include "tests/ui/ui_fixture.h"

using ui_test::UiTest;

namespace {

using WidgetTest = UiTest;

TEST(Labels, ExpandSplitsAtTheLastBarAndBrace) {
  std::string t, s, h;
  BTN_expand_label("left|right{Xhelp me", t, s, h);
  EXPECT_EQ(t, "left");
  EXPECT_EQ(s, "right");
  EXPECT_EQ(h, "help me");
  BTN_expand_label("|English", t, s, h);
  EXPECT_EQ(t, "");
  EXPECT_EQ(s, "English");
  EXPECT_EQ(h, "");
  BTN_expand_label("only{?tip", t, s, h);
  EXPECT_EQ(t, "only");
  EXPECT_EQ(s, "");
  EXPECT_EQ(h, "tip");
  BTN_expand_label("a|b|c", t, s, h);
  EXPECT_EQ(t, "a|b");
  EXPECT_EQ(s, "c");
}

// Baseline rows of the glyphs drawn, one entry per distinct row.
std::vector<float> rows_of(const ui_test::Recorder& r) {
  std::vector<float> ys;
  for (const auto& q : r.glyphs())
    if (std::find(ys.begin(), ys.end(), q.v[0].y) == ys.end()) ys.push_back(q.v[0].y);
  return ys;
}

TEST_F(WidgetTest, LongLabelsSplitNearTheMiddleUnlessMarked) {
  BTN_util_draw_label(100, 100, 2, "proxy host name", 0);  // 15 characters, space at 5 and 10
  EXPECT_EQ(rows_of(rec), (std::vector<float>{99, 89}));  // 5 above and 5 below the line
  rec.clear_log();
  BTN_util_draw_label(100, 100, 2, "-proxy host name", 0);  // "-": one line, without the "-"
  EXPECT_EQ(rows_of(rec).size(), 1u);
  EXPECT_EQ(rec.glyphs().size(), 13u);  // blanks draw no quad
  rec.clear_log();
  BTN_util_draw_label(100, 100, 1, "proxy host name", 0);  // centred: never split
  EXPECT_EQ(rows_of(rec).size(), 1u);
  rec.clear_log();
  BTN_util_draw_label(100, 100, 2, "twelve chars", 0);  // 12: not split
  EXPECT_EQ(rows_of(rec).size(), 1u);
  rec.clear_log();
  BTN_util_draw_label(100, 100, 0, "abc", 1);  // right-aligned, lit colour 80
  ASSERT_FALSE(rec.glyphs().empty());
  EXPECT_FLOAT_EQ(rec.glyphs().front().v[0].x, 100 - str_dx("abc"));
  EXPECT_FLOAT_EQ(rec.glyphs().front().color[0], colr.col_rgb[80][0]);
}

TEST_F(WidgetTest, ButtonHitsIncludeTheEdges) {
  const float x = 200, y = 100, w = 80;
  struct {
    float mx, my;
    int hit;
  } cases[] = {{160, 100, 1}, {240, 100, 1}, {200, 90, 1}, {200, 110, 1}, {159.5f, 100, 0}, {240.5f, 100, 0},
               {200, 89.5f, 0}, {200, 110.5f, 0}};
  for (const auto& c : cases) {
    input(c.mx, c.my, true);
    EXPECT_EQ(BTN_action(x, y, w, 0, 0, "Go", ""), c.hit) << c.mx << "," << c.my;
  }
  input(200, 100, false);  // no press: no action
  EXPECT_EQ(BTN_action(x, y, w, 0, 0, "Go", ""), 0);
}

TEST_F(WidgetTest, ZeroWidthButtonFitsItsLabelAndModeOnePresentsThePress) {
  const float w = str_dx("Install") + 21.0f;
  input(100 + w / 2, 50, true);
  EXPECT_EQ(BTN_action(100, 50, 0, 0, 1, "Install", ""), 1);
  EXPECT_EQ(rec.presents, 1);  // the pressed look is shown at once
  input(100 + w / 2 + 1, 50, true);
  EXPECT_EQ(BTN_action(100, 50, 0, 0, 1, "Install", ""), 0);
}

TEST_F(WidgetTest, OpenPopupTakesTheMouseFromWidgets) {
  mnw.menu_up = popup_slot;
  input(100, 100, true);
  int v = 0;
  EXPECT_EQ(BTN_action(100, 100, 50, 0, 0, "Go", ""), 0);
  EXPECT_EQ(BTN_bool(100, 100, &v, "x", 0), 0);
  EXPECT_EQ(v, 0);
}

TEST_F(WidgetTest, CheckBoxFlipsAndOptionButtonSetsItsValue) {
  int v = 0;
  input(108, 112, true);  // corner of the hit area
  EXPECT_EQ(BTN_bool(100, 100, &v, "|tick{?explains", 0), 1);
  EXPECT_EQ(v, 1);
  input(100, 95, true);  // below y - 4
  EXPECT_EQ(BTN_bool(100, 100, &v, "|tick", 0), 0);
  input(100, 100, false);
  BTN_bool(100, 100, &v, "|tick{?explains", 0);
  EXPECT_EQ(stls.help_message, "explains");
  int lang = 0;
  input(50, 160, true);
  EXPECT_EQ(BTN_is_int(50, 160, &lang, 1, "|French"), 1);
  EXPECT_EQ(lang, 1);
  input(50, 160, true);  // pressing the marked one unmarks it but keeps the value
  BTN_is_int(50, 160, &lang, 1, "|French");
  EXPECT_EQ(lang, 1);
}

TEST_F(WidgetTest, ListOpensItsPopupAndTakesTheChosenItem) {
  int idx = 1;  // "Windows"
  input(0, 0);
  BTN_textlist(200, 310, &idx, "Macintosh-Windows-Linux", "OS:");
  EXPECT_EQ(active_popup_code, 0);
  input(200, 313, true);  // on the list box
  BTN_textlist(200, 310, &idx, "Macintosh-Windows-Linux", "OS:");
  EXPECT_EQ(active_popup_code, 200 + 310 * 1024);
  input(200, 313);
  BTN_textlist(200, 310, &idx, "Macintosh-Windows-Linux", "OS:");
  EXPECT_EQ(mnw.menu_up, popup_slot);
  ASSERT_EQ(menu[popup_slot].items.size(), 3u);
  EXPECT_EQ(menu[popup_slot].items[1].itemy1, 310 - 3);  // the selected item sits on the box
  const item_struct& linux_item = menu[popup_slot].items[2];
  // The click goes through the frame's click routing.
  mnw.mx = (linux_item.itemx1 + linux_item.itemx2) / 2.0f;
  mnw.my = linux_item.itemy1 + 5.0f;
  MACIBM_handleclick(0);
  EXPECT_EQ(mnw.menu_up, -1);
  input(0, 0);
  EXPECT_EQ(BTN_textlist(200, 310, &idx, "Macintosh-Windows-Linux", "OS:"), 1);
  EXPECT_EQ(idx, 2);
  // An index past the end is pulled back onto the last entry.
  idx = 3;
  input(0, 0);
  BTN_textlist(200, 310, &idx, "Macintosh-Windows-Linux", "OS:");
  EXPECT_EQ(idx, 2);
}

using WidgetDeathTest = WidgetTest;
TEST_F(WidgetDeathTest, BadFramesAndListsAreFatal) {
  EXPECT_EXIT(BTN_frame1(11, 0, 0, 10, 0), ::testing::ExitedWithCode(1), "Bad BTN_frame1 call!");
  EXPECT_EXIT(BTN_frame2(10, 0, 0, 10, 10, ""), ::testing::ExitedWithCode(1), "Bad BTN_frame2 call!");
  int i = 0;
  EXPECT_EXIT(BTN_textlist(0, 0, &i, "a|b", "l"), ::testing::ExitedWithCode(1), "Found \\| char");
  std::string many;
  for (int k = 0; k < 300; ++k) many += "x-";
  EXPECT_EXIT(BTN_textlist(0, 0, &i, many, "l"), ::testing::ExitedWithCode(1), "BTN_text_list overflow!");
}

// ---------------------------------------------------------------- focus ring

TEST_F(WidgetTest, TabCyclesTheRingAndShiftTabWraps) {
  int a = 1, b = 2;
  std::string s = "text";
  auto draw = [&]() {
    BTN_int_range(100, 200, &a, 3, 0, 999, "a");
    BTN_enterstring(100, 150, &s, 20, "s", 200, 0);
    BTN_int_range(100, 100, &b, 3, 0, 999, "b");
  };
  input(0, 0);
  draw();
  EXPECT_EQ(focus_id, 0);
  press(9, 9);  // Tab: first entry
  EXPECT_EQ(focus_id, BTN_identity(100, 200));
  press(9, 9);
  EXPECT_EQ(focus_id, BTN_identity(100, 150));
  press(9, 9, 1);  // Shift+Tab back
  EXPECT_EQ(focus_id, BTN_identity(100, 200));
  press(9, 9, 1);  // and wraps to the last
  EXPECT_EQ(focus_id, BTN_identity(100, 100));
  // A focused widget that is no longer drawn loses the focus.
  input(0, 0);
  BTN_int_range(100, 200, &a, 3, 0, 999, "a");
  EXPECT_EQ(BTN_dispatch_to_focus('5', '5', 8), 0);  // (100, 100) is not in this frame's ring
  EXPECT_EQ(focus_id, 0);
}

TEST_F(WidgetTest, UnacceptedKeysGoOnToTheGlobalFlags) {
  int v = 5;
  input(0, 0);
  BTN_int_range(100, 100, &v, 2, 0, 99, "");
  press(9, 9);
  ASSERT_NE(focus_id, 0);
  press(13, 13);  // Return: a number field does not take it
  EXPECT_EQ(return_hit, 1);
  press('A', 'a');  // letters neither
  EXPECT_EQ(mnw.key_pressed, 'a');
  EXPECT_EQ(ctr_slot, 0);
  press('7', '7');
  EXPECT_EQ(ctr_slot, 2);  // press and release queued for the field
}

// ---------------------------------------------------------------- number field

class NumberFieldTest : public UiTest {
 protected:
  int frame(int* v, int digits, int min, int max) {
    input(mnw.mx, mnw.my);
    return BTN_int_range(100, 100, v, digits, min, max, "n");
  }
};

TEST_F(NumberFieldTest, TypedDigitsReplaceTheHotDigitAndWrap) {
  int v = 120;
  frame(&v, 3, 0, 999);
  press(9, 9);  // focus
  hot_digit = 1;
  press('5', '5');
  EXPECT_EQ(frame(&v, 3, 0, 999), 1);
  EXPECT_EQ(v, 150);
  EXPECT_EQ(hot_digit, 2);
  press('7', '7');
  frame(&v, 3, 0, 999);
  EXPECT_EQ(v, 157);
  EXPECT_EQ(hot_digit, 0);
  press(96 + 9);  // keypad 9 types a digit too
  frame(&v, 3, 0, 999);
  EXPECT_EQ(v, 957);
}

TEST_F(NumberFieldTest, ArrowsMoveAndStepTheHotDigit) {
  int v = 10;
  frame(&v, 2, 0, 99);
  press(9, 9);
  press(37);  // Left from digit 0 wraps to the last
  frame(&v, 2, 0, 99);
  EXPECT_EQ(hot_digit, 1);
  press(38);  // Up adds the place value (1)
  press(38);
  frame(&v, 2, 0, 99);
  EXPECT_EQ(v, 12);
  press(39);  // Right wraps to the first; Down subtracts 10
  press(40);
  frame(&v, 2, 0, 99);
  EXPECT_EQ(v, 2);
  press(40);  // below min: clamped in the same frame
  EXPECT_EQ(frame(&v, 2, 0, 99), 1);
  EXPECT_EQ(v, 0);
}

TEST_F(NumberFieldTest, SignKeysOnlyActWhereTheRangeAllowsTheSign) {
  int v = 5;
  frame(&v, 2, 0, 9);
  press(9, 9);
  press(189, '-');
  frame(&v, 2, 0, 9);
  EXPECT_EQ(v, 5);  // min 0: "-" ignored
  int w = 4;
  frame(&w, 2, -9, 9);
  press(189, '-');
  frame(&w, 2, -9, 9);
  EXPECT_EQ(w, -4);
  press(187, '+', 1);
  frame(&w, 2, -9, 9);
  EXPECT_EQ(w, 4);
  int z = -4;
  frame(&z, 2, -9, -1);
  press(187, '+', 1);
  frame(&z, 2, -9, -1);
  EXPECT_EQ(z, -4);  // max below 0: "+" ignored
}

TEST_F(NumberFieldTest, ValuesTypedBeyondMaxAreClampedInTheSameFrame) {
  int v = 100;
  frame(&v, 3, 0, 150);
  press(9, 9);
  press('9', '9');
  EXPECT_EQ(frame(&v, 3, 0, 150), 1);
  EXPECT_EQ(v, 150);
}

TEST_F(NumberFieldTest, ClicksFocusThenStepTheDigitUnderThePointer) {
  int v = 55;
  mnw.mx = 105;  // digit 0 (tens)
  mnw.my = 108;  // upper half
  input(105, 108, true);
  EXPECT_EQ(BTN_int_range(100, 100, &v, 2, 0, 99, "n"), 0);  // first click only focuses
  EXPECT_EQ(focus_id, BTN_identity(100, 100));
  EXPECT_EQ(hot_digit, 0);
  input(115, 108, true);  // focused: upper half of the ones digit adds 1
  EXPECT_EQ(BTN_int_range(100, 100, &v, 2, 0, 99, "n"), 1);
  EXPECT_EQ(v, 56);
  EXPECT_EQ(mnw.cursor_type, 13);
  input(105, 95, true);  // lower half of the tens digit subtracts 10
  BTN_int_range(100, 100, &v, 2, 0, 99, "n");
  EXPECT_EQ(v, 46);
  EXPECT_EQ(mnw.cursor_type, 14);
  // The focused digit is highlighted in colour 8.
  ASSERT_FALSE(rec.fills.empty());
  EXPECT_FLOAT_EQ(rec.fills.back().x1, 100 + 2);
  EXPECT_FLOAT_EQ(rec.fills.back().y1, 100 + hilite_y1);
}

TEST_F(NumberFieldTest, DecimalsRoundHalvesAwayFromZero) {
  float f = 1.25f;
  input(0, 0);
  BTN_flt_range(100, 100, &f, 3, 1, -10, 10, "f");
  EXPECT_FLOAT_EQ(f, 1.3f);
  f = -1.25f;
  input(0, 0);
  BTN_flt_range(100, 100, &f, 3, 1, -10, 10, "f");
  EXPECT_FLOAT_EQ(f, -1.3f);
}

}  // namespace
