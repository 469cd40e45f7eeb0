// Text fields as a person drives them through the frame loop: keys arrive
// in batches (one poll per frame) and the focus moves between them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/key_join.h"
#include "tests/ui/ui_fixture.h"

using ui_test::key;
using ui_test::pointer;
using ui_test::UiTest;
using E = plat::WinEvent;

namespace {

// Two fields laid out as on the preferences screen: the host field takes
// the focus by itself, the port field lies 20 units below it.
class FieldFrames : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    self = this;
    MACIBM_app_update = [] {
      BTN_enterstring(85, 40, &self->host, 65, "-proxy host", 455, 1);
      BTN_enterstring(85, 20, &self->port, 65, "-proxy port", 455, 1);
    };
  }
  void TearDown() override {
    UiTest::TearDown();
    self = nullptr;
  }
  void frame(std::vector<E> events = {}) {
    rec.script.push_back(std::move(events));
    MACIBM_event_proc();
  }
  // The key press and release events that type character c.
  static std::vector<E> typed(char c) {
    int vk = c >= 'a' && c <= 'z' ? c - 32 : c;
    return {key(vk, static_cast<unsigned char>(c)), key(vk, static_cast<unsigned char>(c), 0, false)};
  }

 public:
  std::string host = "proxy.example.org", port;
  static FieldFrames* self;
};
FieldFrames* FieldFrames::self = nullptr;

TEST_F(FieldFrames, KeysLeftForAFieldThatLostTheFocusDoNotJamTheQueue) {
  frame();
  ASSERT_EQ(focus_id, BTN_identity(85, 40));
  // One poll: a key goes down in the host field, Tab moves the focus to the
  // port field, Return is pressed, and the key comes up in the port field.
  frame({key('Q', 'q'), key(9, 9), key(9, 9, 0, false), key(13, 13), key(13, 13, 0, false),
         key('Q', 'q', 0, false)});
  EXPECT_EQ(focus_id, BTN_identity(85, 20));
  // Then forty characters, each in its own frame: every one arrives.
  std::string want;
  for (int i = 0; i < 40; ++i) {
    const char c = static_cast<char>('a' + i % 26);
    want += c;
    frame(typed(c));
  }
  EXPECT_EQ(port, want);
  EXPECT_EQ(host, "proxy.example.org");  // the key left for the host field was discarded
  EXPECT_EQ(ctr_slot, 0);
}

// A text far longer than its field (a deep folder path) stays one line:
// End goes to its very end and shows it, the next key is typed there; once
// it is replaced by a short text, that text is shown from its first letter.
TEST_F(FieldFrames, ALongTextScrollsToItsEndAndAShortOneShowsFromItsStart) {
  host.clear();
  for (int i = 0; host.size() < 379; ++i) host += "/folder " + std::to_string(i);
  host.resize(379);
  const std::string before = host;
  // A field that holds a long path, as the folder chooser's does (2047 bytes).
  MACIBM_app_update = [] { BTN_enterstring(85, 40, &self->host, 2047, "-Path:", 455, 1); };
  frame();
  ASSERT_EQ(focus_id, BTN_identity(85, 40));
  frame({key(35, 0), key(35, 0, 0, false)});  // End
  EXPECT_EQ(ogle->sel_start, 379);
  EXPECT_EQ(ogle->sel_end, 379);
  const float width = str_dx_shown(host);
  EXPECT_GE(OGLE_dx, width - 455 - 1) << "the end of the text is not in view";
  EXPECT_LE(OGLE_dx, width);
  frame(typed('z'));
  EXPECT_EQ(host, before + "z");
  frame({key('A', 0, 4), key('A', 0, 4, false)});  // Ctrl+A
  frame(typed('q'));
  EXPECT_EQ(host, "q");
  EXPECT_EQ(OGLE_dx, 0) << "the first letter is scrolled out of view";
}

TEST_F(FieldFrames, AKeyQueuedBeforeAWindowOpensIsNotTypedWhenTheFieldReturns) {
  frame();
  // A key arrives for the host field, then a window is opened before the
  // field runs again (the focus is dropped with it).
  keys.handle_key_raw(key('Z', 'z'));
  MACIBM_startwind(0);
  frame();
  ASSERT_EQ(focus_id, BTN_identity(85, 40));
  frame(typed('k'));
  EXPECT_EQ(host, "k");  // all selected on focus, replaced by "k" alone
}

TEST_F(FieldFrames, AClickAnywhereInTheDrawnBoxFocusesTheField) {
  frame();
  ASSERT_EQ(focus_id, BTN_identity(85, 40));  // the host field took the focus by itself
  // The port field's box runs from y 13 to 33: a click in its lower half.
  frame({pointer(E::button_down, 85 + 40, 14), pointer(E::button_up, 85 + 40, 14)});
  EXPECT_EQ(focus_id, BTN_identity(85, 20));
  frame(typed('8'));
  EXPECT_EQ(port, "8");
  EXPECT_EQ(host, "proxy.example.org");
  // The box's left edge, 7 units before the text, counts too.
  frame({pointer(E::button_down, 85 - 6, 44), pointer(E::button_up, 85 - 6, 44)});
  EXPECT_EQ(focus_id, BTN_identity(85, 40));
}

TEST_F(FieldFrames, ADragThatStartedInAFieldSelectsWhereverThePointerGoes) {
  frame();
  frame({pointer(E::button_down, 85 - 3, 43)});  // caret before "proxy"
  ASSERT_EQ(focus_id, BTN_identity(85, 40));
  // Held, the pointer leaves the field far to the right and below it.
  frame({pointer(E::mouse_move, 700, 5)});
  int s, e;
  OGLE_GetSelection(ogle, s, e);
  EXPECT_EQ(s, 0);
  EXPECT_EQ(e, static_cast<int>(host.size()));
  // Once the button is up, moving the pointer selects nothing more.
  frame({pointer(E::button_up, 700, 5)});
  frame({pointer(E::mouse_move, 85 + 20, 43)});
  OGLE_GetSelection(ogle, s, e);
  EXPECT_EQ(e, static_cast<int>(host.size()));
  // A drag that started outside every field selects nothing.
  frame({pointer(E::button_down, 85 + 20, 43), pointer(E::button_up, 85 + 20, 43)});  // a caret in "proxy"
  int caret, caret_end;
  OGLE_GetSelection(ogle, caret, caret_end);
  ASSERT_EQ(caret, caret_end);
  frame({pointer(E::button_down, 300, 200)});
  frame({pointer(E::mouse_move, 85 + 60, 43)});
  EXPECT_EQ(focus_id, BTN_identity(85, 40));  // nothing else focusable: it comes back by itself
  OGLE_GetSelection(ogle, s, e);
  EXPECT_EQ(s, caret);
  EXPECT_EQ(e, caret);
}

TEST_F(FieldFrames, ListAndNumberFieldsTakeClicksOverTheirWholeBoxes) {
  MACIBM_app_update = nullptr;
  int idx = 0;
  input(200, 310 + 3 - 9, true);  // low in the list box (its 20-unit height)
  BTN_textlist(200, 310, &idx, "Macintosh-Windows-Linux", "OS:");
  EXPECT_EQ(active_popup_code, 200 + 310 * 1024);
  active_popup_code = 0;
  mnw.menu_up = -1;
  int v = 5;
  input(100 - 6, 100 + 12, true);  // left of the first digit, inside the sunken box
  BTN_int_range(100, 100, &v, 2, 0, 99, "n");
  EXPECT_EQ(focus_id, BTN_identity(100, 100));
  EXPECT_EQ(hot_digit, 0);
}

// Presses and releases a key with the given modifiers (1 Shift, 4 Ctrl).
std::vector<E> chord(int vk, int mods, int ch = 0) { return {key(vk, ch, mods), key(vk, ch, mods, false)}; }

TEST_F(FieldFrames, HomeAndEndMoveTheCaretAndShiftExtends) {
  frame();  // the host field is focused with its whole text selected
  frame(chord(36, 0));  // Home: a caret at the start, nothing replaced
  frame(typed('x'));
  EXPECT_EQ(host, "xproxy.example.org");
  frame(chord(35, 0));  // End
  frame(typed('y'));
  EXPECT_EQ(host, "xproxy.example.orgy");
  frame(chord(36, 1));  // Shift+Home selects back to the start
  int s, e;
  OGLE_GetSelection(ogle, s, e);
  EXPECT_EQ(s, 0);
  EXPECT_EQ(e, static_cast<int>(host.size()));
  frame(chord(39, 0));                // Right collapses to the end
  frame(chord(37, 0));                // one to the left, before "y"
  frame(chord(35, 1));                // Shift+End selects "y"
  frame(typed('z'));
  EXPECT_EQ(host, "xproxy.example.orgz");
}

TEST_F(FieldFrames, CtrlKeysSelectAllCopyCutAndPasteThroughTheClipboard) {
  frame();
  frame(chord(36, 0));       // a caret at the start
  frame(chord('A', 4));      // Ctrl+A selects everything
  frame(chord('C', 4));      // Ctrl+C copies it
  EXPECT_EQ(rec.clipboard_get(), "proxy.example.org");
  EXPECT_EQ(host, "proxy.example.org");  // no letter was typed
  // Into the port field: paste, then cut what was pasted.
  frame({pointer(E::button_down, 85 + 40, 20), pointer(E::button_up, 85 + 40, 20)});
  ASSERT_EQ(focus_id, BTN_identity(85, 20));
  frame(chord('V', 4));
  EXPECT_EQ(port, "proxy.example.org");
  frame(chord('A', 4));
  frame(chord('X', 4));
  EXPECT_EQ(port, "");
  EXPECT_EQ(rec.clipboard_get(), "proxy.example.org");
  // A pasted text of several lines gives its first line that holds
  // anything (the lines are not glued together); it replaces the selection.
  rec.clipboard_set("80\r\n81\t");
  frame(chord('V', 4));
  EXPECT_EQ(port, "80");
  frame(chord('A', 4));
  rec.clipboard_set("\r\n8\t0\n81");
  frame(chord('V', 4));
  EXPECT_EQ(port, "8 0");
}

// AltGr comes as Ctrl+Alt with the character it typed: the character is
// typed, and no Ctrl command (paste, select all) runs.
TEST_F(FieldFrames, AltGrTypesItsCharacterAndRunsNoCtrlShortcut) {
  frame();
  frame(chord(35, 0));  // End of the host
  rec.clipboard_set("pasted");
  frame(chord('Q', 6, '@'));
  frame(chord('V', 6, '|'));
  frame(chord('A', 6, 230));  // a Latin-1 letter
  EXPECT_EQ(host, "proxy.example.org@|\xc3\xa6");
  // Ctrl+Alt with no character is still a command key, as before.
  frame(chord('A', 4));
  frame(typed('x'));
  EXPECT_EQ(host, "x");
}

// The same keys as the window system reports them: a key, then the
// character it typed as a report of its own, joined by the window layer.
// AltGr arrives as a key held with Ctrl and Alt followed by its character;
// were the key passed on before its character, the field would run the Ctrl
// shortcut of the letter (AltGr+V pasting, AltGr+X cutting the selection)
// and type the character after it.
TEST_F(FieldFrames, AltGrReportedAsAKeyThenItsCharacterTypesOnlyTheCharacter) {
  // One poll: Ctrl and Alt go down, the key, its character, all up.
  auto altgr = [](int vk, int ch) {
    std::deque<E> q;
    plat::KeyJoin join(q);
    E e = key(17, 0, 4);
    e.scan = 0x1D;
    join.key(e, false);
    e = key(18, 0, 6);
    e.scan = 0x38;
    e.extended = 1;
    join.key(e, false);
    join.key(key(vk, 0, 6), true);
    join.character(ch);
    join.key(key(vk, 0, 6, false), true);
    e = key(18, 0, 4, false);
    e.scan = 0x38;
    e.extended = 1;
    join.key(e, false);
    e = key(17, 0, 0, false);
    e.scan = 0x1D;
    join.key(e, false);
    join.flush();
    return std::vector<E>(q.begin(), q.end());
  };
  frame();
  frame(chord(35, 0));  // End of the host
  rec.clipboard_set("pasted");
  frame(altgr('V', '@'));
  frame(altgr('Q', '|'));
  frame(altgr('A', 230));  // a Latin-1 letter
  EXPECT_EQ(host, "proxy.example.org@|\xc3\xa6");
  EXPECT_EQ(rec.clipboard_get(), "pasted");
  // With the last three characters selected, AltGr+X types its character
  // over them; Ctrl+X would cut them.
  for (int i = 0; i < 3; ++i) frame(chord(37, 1));  // Shift+Left
  frame(altgr('X', '#'));
  EXPECT_EQ(host, "proxy.example.org#");
  EXPECT_EQ(rec.clipboard_get(), "pasted");

  // Ctrl+Alt with a letter that types nothing stays the letter's command:
  // the key waits for a character that does not come and goes at the poll's
  // end. Ctrl+A selects everything, the next letter replaces it.
  std::deque<E> q;
  plat::KeyJoin join(q);
  join.key(key('A', 0, 6), true);
  join.key(key('A', 0, 6, false), true);
  join.flush();
  frame(std::vector<E>(q.begin(), q.end()));
  frame(typed('x'));
  EXPECT_EQ(host, "x");
  // And a plain Ctrl shortcut beside them: Ctrl+A, Ctrl+C copies.
  q.clear();
  join.key(key('A', 0, 4), true);
  join.key(key('C', 0, 4), true);
  join.flush();
  frame(std::vector<E>(q.begin(), q.end()));
  EXPECT_EQ(rec.clipboard_get(), "x");
}

TEST_F(FieldFrames, AccentedLettersAreStoredAsUtf8AndEditedWhole) {
  frame();
  frame(chord(36, 0));  // a caret at the start of the host
  frame(chord(35, 0));  // and at its end
  frame({key('U', 252), key('U', 252, 0, false)});  // "ü" from the keyboard (Latin-1 252)
  frame({key(192, '~'), key(192, '~', 0, false)});
  EXPECT_EQ(host, "proxy.example.org\xc3\xbc~");
  frame(chord(37, 0));  // Left over "~"
  frame(chord(37, 0));  // and over "ü" as one character
  frame(typed('x'));
  EXPECT_EQ(host, "proxy.example.orgx\xc3\xbc~");
  frame(chord(46, 0, 127));  // Delete takes the whole "ü"
  EXPECT_EQ(host, "proxy.example.orgx~");
  // The field shows every character it holds.
  host = "\"~\xc3\xbc{}\"";
  rec.clear_log();
  frame();
  int in_field = 0;
  for (const auto& q : rec.glyphs()) in_field += q.v[0].x >= 85 && q.v[0].y > 30;
  EXPECT_EQ(in_field, 6);
}

TEST_F(FieldFrames, TheLengthLimitNeverCutsACharacterInTwo) {
  MACIBM_app_update = [] { BTN_enterstring(85, 40, &self->host, 4, "-name", 200, 1); };
  host.clear();
  frame();
  frame(typed('a'));
  frame(typed('b'));
  frame(typed('c'));
  frame({key('U', 252), key('U', 252, 0, false)});  // "ü" takes two bytes: only one is left
  EXPECT_EQ(host, "abc");
  frame(chord(8, 0, 8));  // Backspace
  frame({key('U', 252), key('U', 252, 0, false)});
  EXPECT_EQ(host, "ab\xc3\xbc");
}

}  // namespace
