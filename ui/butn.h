// Widgets and keyboard focus: immediate-mode buttons, check boxes, option
// buttons, lists, number fields (and, in ui/ogle.h, the text field), the
// sprite frames they are drawn with, and the focus ring that routes keys.
//
// [SECTION] Labels.
// [SECTION] Frames and boxes (drawing only).
// [SECTION] Widgets: each call draws, reads this frame's input from mnw,
//           updates the caller's value and returns 1 when the user acted.
// [SECTION] Focus ring and key queue.
//
// A button's frame-by-frame behaviour:
//   frame  mouse                         result
//   n      pointer inside, no press      0 (drawn; lit overlay only if `lit`)
//   n      press inside (edges count)    1; a mode-1 unlit button first shows its
//                                        pressed look and presents the frame
//   n      press inside, pop-up open     0 (menus take the mouse)
#pragma once

#include <string>
#include <vector>

// -------------------------------------------------------------------- [SECTION] labels
// Splits "text|second{Xhelp" at the last "|" and the last "{".
void BTN_expand_label(const std::string& label, std::string& text, std::string& second, std::string& help);

// Draws one label part at (x, y): just 0 ends at x, 1 centres (never
// split), 2 starts at x. Texts over 12 characters not starting with "-" are
// split in two near the middle. Colour 80 when lit, else 43.
void BTN_util_draw_label(float x, float y, int just, const std::string& text, int lit);

// ------------------------------------------------------------- [SECTION] frames and boxes
void BTN_frame1(int style, float x, float y, float width, int flag);
void BTN_frame2(int style, float x, float y, float dx, float dy, const std::string& title);
void BTN_fillwin(int closable, int inner);
void BTN_subwin(float pad, int style, float x, float y, float dx, float dy, const std::string& title, float& next_x,
                float& next_y);
void BTN_zap_boxes(int pressed);
void BTN_util_draw_boxed_button(float x, float y, float width);

// -------------------------------------------------------------------- [SECTION] widgets
int BTN_action(float x, float y, float width, int lit, int mode, const std::string& label, const std::string& sublabel);
int BTN_bool(float x, float y, int* value, const std::string& label, int kind);
// An option button; it is not in the focus ring by itself: a group of them
// is one control, which its caller registers (BTN_focus_press, arrows).
int BTN_is_int(float x, float y, int* var, int value, const std::string& label);
int BTN_textlist(float x, float y, int* index, const std::string& items, const std::string& label);
int BTN_int_range(float x, float y, int* value, int digits, int min, int max, const std::string& label);
int BTN_flt_range(float x, float y, float* value, int digits, int decimals, float min, float max,
                  const std::string& label);

// Pop-up list state.
extern int active_popup_code;  // list whose pop-up is open, 0 = none
extern int select_popup_code;  // list whose pop-up was just chosen from
extern int popup_menu_select;  // the chosen item

// --------------------------------------------------------- [SECTION] focus ring and key queue
constexpr int focus_depth = 64;

struct focus_info_t {
  int who_am_i;     // identity: round(x) * 8192 + round(y)
  int* char_slot;   // queue of characters
  int* vkey_slot;   // queue of key codes
  int* flag_slot;   // queue of flags (1 Shift, 2 Alt, 4 Ctrl, 8 fresh press, 16 release)
  int* id_slot;     // focus identity at delivery; 0 once used
  int* ctr_slot;    // entries queued
  int depth;        // capacity: 64
  int allow_keys;   // bits of the keys the widget takes
};

// allow_keys bits.
enum {
  allow_tab = 0x1,
  allow_return = 0x2,
  allow_delete = 0x4,   // Backspace and Delete
  allow_escape = 0x8,
  allow_nav = 0x10,     // key codes 33 to 40
  allow_letters = 0x20,
  allow_digits = 0x40,
  allow_sign = 0x80,    // "+" and "-"
  allow_print = 0x100,  // other printable characters
  allow_other = 0x200,  // control characters and codes 128 and above
};

extern std::vector<focus_info_t> focus_ring;
extern int focus_id;    // focused widget, 0 = none
extern int wind_focus;
extern int hot_digit;   // selected digit of the focused number field
extern int char_slot[focus_depth], vkey_slot[focus_depth], flag_slot[focus_depth], id_slot[focus_depth];
extern int ctr_slot;
extern float hilite_y1, hilite_dy;

// A widget's identity from its window-relative position.
int BTN_identity(float x, float y);
// Adds a widget to this frame's ring.
void BTN_register_focus(int who, int allow_keys);
void BTN_begin_focus_ring();
void BTN_unfocus_any();
// Drops the focus because a mouse button went down (the frame timer calls
// it); remembers which widget had it so that a click on a focused number
// field adjusts its digit rather than only focusing it.
void BTN_drop_focus_for_click();
extern int focus_before_click;
// Offers one key event to the focused widget; 1 when consumed. Tab and
// Shift+Tab move the focus through the ring in reading order (top to bottom,
// then left to right), from nothing to the first or the last control.
int BTN_dispatch_to_focus(int ch, int key, int flags);
// Removes from the key queue the entries already taken and every entry
// queued for a widget other than `keep` (one that has lost the focus),
// closing the gaps, so that the counter counts only keys still waiting.
// Without it a key left behind by a field that lost the focus would hold
// its slot for the rest of the run and the queue would fill for good.
void BTN_prune_keys(int keep);
// Calls f(char, key, flags) for each queued press for widget `who` and
// clears the entries (releases are cleared without a call). The caller has
// the focus, so whatever else is queued belongs to a widget that lost it
// and is discarded.
template <class F>
void BTN_take_keys(int who, F&& f) {
  for (int k = 0; k < ctr_slot && k < focus_depth; ++k) {
    if (id_slot[k] != who) continue;
    id_slot[k] = 0;
    if (!(flag_slot[k] & 16)) f(char_slot[k], vkey_slot[k], flag_slot[k]);
  }
  BTN_prune_keys(who);
}

// A control in the focus ring that Return or Space presses (buttons, check
// boxes, picture buttons): registers `who`, draws the focus mark around the
// box (x1, y1)-(x2, y2) while it has the focus, and returns 1 when Return or
// Space was pressed on it since the last frame.
int BTN_focus_press(int who, float x1, float y1, float x2, float y2);
// The focus mark: a two-unit outline in the colour of the focused number
// field's digit, drawn just outside the box.
void BTN_focus_mark(float x1, float y1, float x2, float y2);

// Resets widgets, focus and pop-up state (tests).
void BTN_reset();
