#include <gtest/gtest.h>

#include "tests/ui/ui_fixture.h"

using ui_test::UiTest;

namespace {

// The text field driven frame by frame: keys go through the key handler
// and the focus ring exactly as from the window.
class TextFieldTest : public UiTest {
 protected:
  int frame(bool click = false, float mx = 0, float my = 0) {
    input(mx, my, click, click);
    return BTN_enterstring(50, 100, &text, 10, "name", 200, 0);
  }
  void selection(int& s, int& e) { OGLE_GetSelection(ogle, s, e); }
  std::string text = "hello";
};

TEST_F(TextFieldTest, TabbingInSelectsAllAndTypingReplacesIt) {
  frame();
  press(9, 9);
  frame();
  int s, e;
  selection(s, e);
  EXPECT_EQ(s, 0);
  EXPECT_EQ(e, 5);
  type("x");
  EXPECT_EQ(frame(), 1);
  EXPECT_EQ(text, "x");
}

TEST_F(TextFieldTest, ClickPlacesACaretAtTheClick) {
  frame();
  // "hello": h 7, e 6 -> 10 units in lies inside the "e" cell; a character
  // that starts inside the width counts, so the caret goes after it.
  frame(true, 50 + 10, 104);
  int s, e;
  selection(s, e);
  EXPECT_EQ(s, 2);
  EXPECT_EQ(e, 2);
  type("Z");
  frame();
  EXPECT_EQ(text, "heZllo");
}

TEST_F(TextFieldTest, BackspaceDeleteAndShiftArrowsEditTheSelection) {
  frame();
  frame(true, 50, 104);  // caret at 0
  press(8, 8);           // Backspace at 0: nothing
  EXPECT_EQ(frame(), 0);
  EXPECT_EQ(text, "hello");
  press(46);  // Delete removes the character after the caret
  frame();
  EXPECT_EQ(text, "ello");
  press(39);  // Right: caret 1
  press(39);  // caret 2
  press(37, 0, 1);  // Shift+Left: selection 1..2, start moving
  press(37, 0, 1);  // 0..2
  frame();
  int s, e;
  selection(s, e);
  EXPECT_EQ(s, 0);
  EXPECT_EQ(e, 2);
  press(39, 0, 1);  // Shift+Right moves the start back: 1..2
  press(39, 0, 1);  // 2..2
  press(39, 0, 1);  // crosses the anchor: 2..3, end moving
  frame();
  selection(s, e);
  EXPECT_EQ(s, 2);
  EXPECT_EQ(e, 3);
  press(8, 8);  // Backspace deletes the selection
  frame();
  EXPECT_EQ(text, "elo");
}

TEST_F(TextFieldTest, ShiftLeftPastTheAnchorKeepsExtendingLeft) {
  text = "abcdef";
  frame();
  frame(true, 50 + str_dx("abc"), 104);  // caret after "abc" (3)
  press(39, 0, 1);  // 3..4, end moves
  press(37, 0, 1);  // 3..3
  press(37, 0, 1);  // crosses: 2..3, start moves
  press(37, 0, 1);  // 1..3
  frame();
  int s, e;
  selection(s, e);
  EXPECT_EQ(s, 1);
  EXPECT_EQ(e, 3);
}

TEST_F(TextFieldTest, TypingPastTheMaximumShowsThenCutsInTheSameCall) {
  frame();
  frame(true, 250, 104);  // caret at the end
  type("123456");          // "hello123456": 11 characters, max 10
  rec.clear_log();
  EXPECT_EQ(frame(), 1);
  EXPECT_EQ(text, "hello12345");
  int in_field = 0;  // glyphs of the text (the label lies left of the field)
  for (const auto& q : rec.glyphs()) in_field += q.v[0].x >= 50;
  EXPECT_EQ(in_field, 11);  // the eleventh was drawn before the cut
  int s, e;
  selection(s, e);
  EXPECT_LE(e, 10);
}

TEST_F(TextFieldTest, ControlKeysAreNotTyped) {
  frame();
  frame(true, 250, 104);
  press(36);        // Home types nothing
  press('A', 0, 4);  // Ctrl+A types nothing
  press(112);       // F1 neither
  frame();
  EXPECT_EQ(text, "hello");
}

TEST_F(TextFieldTest, ViewScrollsToKeepTheCaretVisible) {
  text = "";
  input(0, 0);
  BTN_enterstring(50, 100, &text, 100, "n", 40, 1);  // auto-focus, 40 units wide
  type("mmmmmmmm");                                   // 80 units
  input(0, 0);
  BTN_enterstring(50, 100, &text, 100, "n", 40, 1);
  EXPECT_GT(OGLE_dx, 30.0f);
  ASSERT_FALSE(rec.scissors.empty());
  EXPECT_EQ(rec.scissors.front().w, 42);  // clipped to the field
}

// The engine on its own: a two-line text through the field callbacks.
TEST_F(TextFieldTest, EngineLaysOutLinesAndMovesVertically) {
  std::string two = "abc\ndefgh";
  OGLE_input = &two;
  OGLE_x = 0;
  OGLE_y = 100;
  OGLE_entry_dx = 200;
  OGLE_dx = OGLE_dy = 0;
  OGLE_Rec* r = OGLE_Create(OGLE_cbs, nullptr);
  OGLE_Repaginate(r);
  ASSERT_EQ(r->line_starts.size(), 1u);
  EXPECT_EQ(r->line_starts[0], 4);
  EXPECT_EQ(OGLE_CharPosToLine(r, 3), 0);
  EXPECT_EQ(OGLE_CharPosToLine(r, 4), 1);
  OGLE_SetSelection(r, 2, 2);
  OGLE_Key(r, 31, 0);  // Down keeps the x of position 2
  int s, e;
  OGLE_GetSelection(r, s, e);
  EXPECT_EQ(s, 6);
  OGLE_Key(r, 30, 1);  // Shift+Up extends back to line 0
  OGLE_GetSelection(r, s, e);
  EXPECT_EQ(s, 2);
  EXPECT_EQ(e, 6);
  OGLE_Destroy(r);
  OGLE_input = nullptr;
}

}  // namespace
