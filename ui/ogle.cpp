#include "ui/ogle.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "ui/butn.h"
#include "ui/colr.h"
#include "ui/hl_mnw.h"
#include "ui/oglp.h"
#include "ui/utf8.h"

// ================================================================= the engine

namespace {

struct Text {
  const char* b;
  const char* e;
  int len() const { return static_cast<int>(e - b); }
};

Text text_of(OGLE_Rec* r) {
  Text t{nullptr, nullptr};
  r->callbacks.GetText_f(r, t.b, t.e);
  if (!t.b) t.b = t.e = "";
  return t;
}

int line_count(OGLE_Rec* r) { return static_cast<int>(r->line_starts.size()) + 1; }

void line_range(OGLE_Rec* r, int i, int& lb, int& le) {
  const int len = text_of(r).len();
  lb = i == 0 ? 0 : r->line_starts[i - 1];
  le = i < static_cast<int>(r->line_starts.size()) ? r->line_starts[i] : len;
}

void logical(OGLE_Rec* r, float& l, float& b, float& rt, float& t) { r->callbacks.GetLogicalBounds_f(r, l, b, rt, t); }

// x of position pos (on its line), in the callbacks' coordinates.
float pos_x(OGLE_Rec* r, int pos, int* line_out = nullptr) {
  const Text t = text_of(r);
  const int line = OGLE_CharPosToLine(r, pos);
  int lb, le;
  line_range(r, line, lb, le);
  float l, b, rt, tp;
  logical(r, l, b, rt, tp);
  if (line_out) *line_out = line;
  return l + r->callbacks.MeasureString_f(r, t.b + lb, t.b + pos);
}

void clamp_sel(OGLE_Rec* r) {
  const int len = text_of(r).len();
  r->sel_start = std::clamp(r->sel_start, 0, len);
  r->sel_end = std::clamp(r->sel_end, 0, len);
  if (r->sel_start > r->sel_end) {
    std::swap(r->sel_start, r->sel_end);
    r->active_side = 1 - r->active_side;
  }
}

int& active_end(OGLE_Rec* r) { return r->active_side ? r->sel_end : r->sel_start; }

void replace(OGLE_Rec* r, int start, int end, const char* nb, const char* ne) {
  r->callbacks.ReplaceText_f(r, start, end, nb, ne);
  const int line = OGLE_CharPosToLine(r, start);
  OGLE_RepaginateInternal(r, std::max(0, line - 1), 0);
}

}  // namespace

OGLE_Rec* OGLE_Create(const OGLE_Callbacks& callbacks, void* ref) {
  return new OGLE_Rec{callbacks, ref, {}, 0, 0, 1, -1.0f};
}

void OGLE_Destroy(OGLE_Rec* rec) { delete rec; }

int OGLE_LineLengthInternal(OGLE_Rec* r, const char* begin, const char* end, float width) {
  const char* p = begin;
  while (p < end && *p == ' ') ++p;
  bool took_word = false;
  while (p < end) {
    if (*p == '\r' || *p == '\n') return static_cast<int>(p + 1 - begin);
    const char* w = r->callbacks.WordBreak_f(r, p, end);
    if (w <= p) w = p + 1;
    if (took_word && r->callbacks.MeasureString_f(r, begin, w) > width) break;
    const char* q = w;
    while (q < end && *q == ' ') ++q;
    p = q;
    took_word = true;
  }
  return static_cast<int>(p - begin);
}

void OGLE_RepaginateInternal(OGLE_Rec* r, int first_line, int) {
  const Text t = text_of(r);
  first_line = std::clamp(first_line, 0, static_cast<int>(r->line_starts.size()));
  r->line_starts.resize(first_line);
  float l, b, rt, tp;
  logical(r, l, b, rt, tp);
  const float width = rt - l;
  int pos = first_line == 0 ? 0 : r->line_starts.back();
  pos = std::min(pos, t.len());
  while (true) {
    const int n = OGLE_LineLengthInternal(r, t.b + pos, t.e, width);
    if (n <= 0 || pos + n >= t.len()) {
      // A text ending in a line break has an empty last line.
      if (pos + n >= t.len() && n > 0 && (t.b[t.len() - 1] == '\n' || t.b[t.len() - 1] == '\r'))
        r->line_starts.push_back(t.len());
      break;
    }
    pos += n;
    r->line_starts.push_back(pos);
  }
  r->callbacks.SetLogicalHeight_f(r, line_count(r) * r->callbacks.GetLineHeight_f(r));
}

void OGLE_Repaginate(OGLE_Rec* r) { OGLE_RepaginateInternal(r, 0, 0); }

int OGLE_CharPosToLine(OGLE_Rec* r, int pos) {
  int line = 0;
  for (int s : r->line_starts) {
    if (pos < s) break;
    ++line;
  }
  return line;
}

int OGLE_CoordToCharPos(OGLE_Rec* r, float x, float y) {
  const Text t = text_of(r);
  float l, b, rt, tp;
  logical(r, l, b, rt, tp);
  const float lh = r->callbacks.GetLineHeight_f(r);
  const int line = std::clamp(static_cast<int>(std::floor((tp - y) / lh)), 0, line_count(r) - 1);
  int lb, le;
  line_range(r, line, lb, le);
  int stop = le;
  if (stop > lb && (t.b[stop - 1] == '\n' || t.b[stop - 1] == '\r')) --stop;  // not past the line break
  if (x <= l) return lb;
  return lb + r->callbacks.FitStringFwd_f(r, t.b + lb, t.b + stop, x - l);
}

void OGLE_GetSelection(OGLE_Rec* r, int& start, int& end) {
  start = r->sel_start;
  end = r->sel_end;
}

void OGLE_SetSelection(OGLE_Rec* r, int start, int end) {
  r->sel_start = start;
  r->sel_end = end;
  r->active_side = 1;
  clamp_sel(r);
}

void OGLE_RevealSelection(OGLE_Rec* r) {
  float vl, vb, vr, vt, l, b, rt, tp;
  r->callbacks.GetVisibleBounds_f(r, vl, vb, vr, vt);
  logical(r, l, b, rt, tp);
  int line = 0;
  const float x = pos_x(r, active_end(r), &line);
  const float lh = r->callbacks.GetLineHeight_f(r);
  float sx = vl - l, sy = tp - vt;  // the scroll offset now
  if (x < vl) sx -= vl - x;
  else if (x > vr - 1) sx += x - (vr - 1);
  // No more is scrolled than shows the line's end at the right edge: once
  // a long text is replaced by a short one, it shows from its start.
  {
    const Text t = text_of(r);
    int lb, le;
    line_range(r, line, lb, le);
    const float line_w = r->callbacks.MeasureString_f(r, t.b + lb, t.b + le);
    sx = std::min(sx, std::max(0.0f, line_w - (vr - 1 - vl)));
  }
  const float line_top = tp - line * lh, line_bottom = line_top - lh;
  if (line_top > vt) sy -= line_top - vt;
  else if (line_bottom < vb) sy += vb - line_bottom;
  sx = std::max(0.0f, sx);
  sy = std::max(0.0f, sy);
  r->callbacks.ScrollTo_f(r, sx, sy);
}

void OGLE_Key(OGLE_Rec* r, int ch, int shift) {
  const Text t = text_of(r);
  const int len = t.len();
  if (ch != 30 && ch != 31) r->horizontal_gap = -1;
  const bool has_sel = r->sel_start != r->sel_end;
  switch (ch) {
    case 8:  // Backspace
      if (has_sel) {
        replace(r, r->sel_start, r->sel_end, nullptr, nullptr);
        r->sel_end = r->sel_start;
      } else if (r->sel_start > 0) {
        const int from = utf8_prev(t.b, len, r->sel_start);
        replace(r, from, r->sel_start, nullptr, nullptr);
        r->sel_start = r->sel_end = from;
      }
      break;
    case 127:  // Delete: the character after the caret
      if (has_sel) {
        replace(r, r->sel_start, r->sel_end, nullptr, nullptr);
        r->sel_end = r->sel_start;
      } else if (r->sel_start < len) {
        replace(r, r->sel_start, utf8_after(t.b, len, r->sel_start), nullptr, nullptr);
      }
      break;
    case 28:  // Left
    case 29:  // Right
    {
      auto step = [&](int pos) {
        if (ch == 28) return pos > 0 ? utf8_prev(t.b, len, pos) : 0;
        return pos < len ? utf8_after(t.b, len, pos) : len;
      };
      if (shift) {
        active_end(r) = step(active_end(r));
      } else if (has_sel) {
        r->sel_start = r->sel_end = ch == 28 ? r->sel_start : r->sel_end;
      } else {
        r->sel_start = r->sel_end = step(r->sel_start);
      }
      if (!shift) r->active_side = 1;
      clamp_sel(r);
      break;
    }
    case OGLE_home:
    case OGLE_end: {
      // The start or end (before its line break) of the active end's line.
      const int line = OGLE_CharPosToLine(r, active_end(r));
      int lb, le;
      line_range(r, line, lb, le);
      if (le > lb && (t.b[le - 1] == '\n' || t.b[le - 1] == '\r')) --le;
      const int pos = ch == OGLE_home ? lb : le;
      if (shift) {
        active_end(r) = pos;
      } else {
        r->sel_start = r->sel_end = pos;
        r->active_side = 1;
      }
      clamp_sel(r);
      break;
    }
    case 30:  // Up
    case 31:  // Down
    {
      int line = 0;
      const float x = pos_x(r, active_end(r), &line);
      if (r->horizontal_gap < 0) r->horizontal_gap = x;
      const int target = line + (ch == 30 ? -1 : 1);
      int pos;
      if (target < 0) pos = 0;
      else if (target >= line_count(r)) pos = len;
      else {
        float l, b, rt, tp;
        logical(r, l, b, rt, tp);
        const float lh = r->callbacks.GetLineHeight_f(r);
        pos = OGLE_CoordToCharPos(r, r->horizontal_gap, tp - (target + 0.5f) * lh);
      }
      if (shift) active_end(r) = pos;
      else {
        r->sel_start = r->sel_end = pos;
        r->active_side = 1;
      }
      clamp_sel(r);
      break;
    }
    default: {
      // A typed character is a Latin-1 code; the text holds it in UTF-8.
      if (ch < 32 || ch > 255 || ch == 127) break;  // control characters are not text
      std::string one;
      utf8_append(one, static_cast<unsigned>(ch));
      OGLE_Insert(r, one.data(), one.data() + one.size());
      return;
    }
  }
  clamp_sel(r);
  OGLE_RevealSelection(r);
}

void OGLE_Insert(OGLE_Rec* r, const char* begin, const char* end) {
  r->horizontal_gap = -1;
  clamp_sel(r);
  const int at = r->sel_start;
  replace(r, r->sel_start, r->sel_end, begin, end);
  r->sel_start = r->sel_end = at + static_cast<int>(end - begin);
  r->active_side = 1;
  clamp_sel(r);
  OGLE_RevealSelection(r);
}

void OGLE_Click(OGLE_Rec* r, float x, float y, int extend) {
  r->horizontal_gap = -1;
  const int pos = OGLE_CoordToCharPos(r, x, y);
  if (extend) {
    if (pos < r->sel_start) {
      r->sel_start = pos;
      r->active_side = 0;
    } else {
      r->sel_end = pos;
      r->active_side = 1;
    }
  } else {
    r->sel_start = r->sel_end = pos;
    r->active_side = 1;
  }
  clamp_sel(r);
  OGLE_RevealSelection(r);
}

void OGLE_Drag(OGLE_Rec* r, float x, float y) {
  r->horizontal_gap = -1;
  active_end(r) = OGLE_CoordToCharPos(r, x, y);
  clamp_sel(r);
  OGLE_RevealSelection(r);
}

void OGLE_Draw(OGLE_Rec* r, int show_selection) {
  const Text t = text_of(r);
  float vl, vb, vr, vt, l, b, rt, tp;
  r->callbacks.GetVisibleBounds_f(r, vl, vb, vr, vt);
  logical(r, l, b, rt, tp);
  const float lh = r->callbacks.GetLineHeight_f(r);
  const int lines = line_count(r);
  for (int i = 0; i < lines; ++i) {
    const float top = tp - i * lh, bottom = top - lh;
    if (bottom >= vt || top <= vb) continue;
    int lb, le;
    line_range(r, i, lb, le);
    int shown_end = le;
    if (shown_end > lb && (t.b[shown_end - 1] == '\n' || t.b[shown_end - 1] == '\r')) --shown_end;
    if (show_selection) {
      if (r->sel_start == r->sel_end) {
        const int p = r->sel_start;
        const bool on_line = p >= lb && (p < le || i == lines - 1 || p == shown_end);
        if (on_line && OGLE_CharPosToLine(r, p) == i) {
          const float x = l + r->callbacks.MeasureString_f(r, t.b + lb, t.b + p);
          r->callbacks.DrawSelection_f(r, x, bottom, x, top);
        }
      } else {
        const int s = std::max(r->sel_start, lb), e = std::min(r->sel_end, shown_end);
        if (s < e) {
          const float x1 = l + r->callbacks.MeasureString_f(r, t.b + lb, t.b + s);
          const float x2 = l + r->callbacks.MeasureString_f(r, t.b + lb, t.b + e);
          r->callbacks.DrawSelection_f(r, x1, bottom, x2, top);
        }
      }
    }
    r->callbacks.DrawString_f(r, t.b + lb, t.b + shown_end, l, bottom);
  }
}

// ============================================================== the text field

OGLE_Rec* ogle = nullptr;
float OGLE_x = 0, OGLE_y = 0, OGLE_entry_dx = 0, OGLE_dx = 0, OGLE_dy = 0;
std::string* OGLE_input = nullptr;
int OGLE_edit = 0;
int focused_field_id = 0;
int drag_field_id = 0;

namespace {

constexpr float kFieldLineWidth = 1 << 20;  // wider than any text a field holds

void f_visible(OGLE_Rec*, float& l, float& b, float& r, float& t) {
  l = OGLE_x;
  b = OGLE_y + hilite_y1;
  r = OGLE_x + OGLE_entry_dx;
  t = b + hilite_dy;
}
void f_logical(OGLE_Rec* rec, float& l, float& b, float& r, float& t) {
  f_visible(rec, l, b, r, t);
  l -= OGLE_dx;
  r -= OGLE_dx;
  b += OGLE_dy;
  t += OGLE_dy;
  // The field is one line however long its text (a path of hundreds of
  // characters): it scrolls, it never wraps. A wrapped text would send End
  // to the end of its first part and the next keys into the middle of it.
  r = l + kFieldLineWidth;
}
void f_height(OGLE_Rec*, float) {}
void f_scroll(OGLE_Rec*, float x, float y) {
  OGLE_dx = x;
  OGLE_dy = y;
}
void f_text(OGLE_Rec*, const char*& b, const char*& e) {
  if (!OGLE_input) {
    b = e = "";
    return;
  }
  b = OGLE_input->data();
  e = b + OGLE_input->size();
}
void f_replace(OGLE_Rec*, int start, int end, const char* nb, const char* ne) {
  if (!OGLE_input) return;
  const int len = static_cast<int>(OGLE_input->size());
  start = std::clamp(start, 0, len);
  end = std::clamp(end, start, len);
  OGLE_input->replace(start, end - start, nb ? std::string(nb, ne) : std::string());
  OGLE_edit = 1;
}
float f_line_height(OGLE_Rec*) { return hilite_dy; }
// The field shows what it holds (charset 101): widths are those of the
// glyphs drawn, one per UTF-8 character.
int char_adv(const char*& p, const char* e) { return chr_dx_shown(OGL_shown_code(utf8_next(p, e))); }
float f_measure(OGLE_Rec*, const char* b, const char* e) {
  int w = 0;
  while (b < e) w += char_adv(b, e);
  return static_cast<float>(w);
}
int f_fit_fwd(OGLE_Rec*, const char* b, const char* e, float width) {
  const char* p = b;
  while (p < e && width > 0) width -= char_adv(p, e);
  return static_cast<int>(p - b);
}
int f_fit_rev(OGLE_Rec*, const char* b, const char* e, float width) {
  const int len = static_cast<int>(e - b);
  int pos = len;
  while (pos > 0 && width > 0) {
    const int prev = utf8_prev(b, len, pos);
    const char* p = b + prev;
    width -= char_adv(p, e);
    pos = prev;
  }
  return len - pos;
}
void f_draw(OGLE_Rec*, const char* b, const char* e, float x, float y) {
  OGL_string(45, x, y - hilite_y1, std::string(b, e), 0, charset_shown, 0);
}
void f_selection(OGLE_Rec*, float l, float b, float r, float t) {
  if (r <= l) OGL_line(45, colr.pulse_alpha, l, b, l, t);
  else OGL_fillrect(8, 1.0f, l, b, r - l, t - b);
}
const char* f_word(OGLE_Rec*, const char* b, const char* e) {
  const char* p = b;
  while (p < e && (std::isalnum(static_cast<unsigned char>(*p)) || static_cast<unsigned char>(*p) >= 128)) ++p;
  return p == b ? b + 1 : p;
}

// The selected text of the bound field.
std::string selected_text() {
  int s, e;
  OGLE_GetSelection(ogle, s, e);
  if (!OGLE_input || s >= e) return std::string();
  return OGLE_input->substr(s, e - s);
}

// One queued key of the focused field: the line keys and the Ctrl keys are
// the field's own, the rest goes to the engine.
void field_key(int ch, int key, int flags) {
  const int shift = flags & 1;
  if (flags & 4) {  // Ctrl: commands, never text
    switch (key) {
      case 'A': OGLE_SetSelection(ogle, 0, OGLE_input ? static_cast<int>(OGLE_input->size()) : 0); break;
      case 'C':
        if (const std::string sel = selected_text(); !sel.empty()) ogl_be->clipboard_set(sel);
        break;
      case 'X':
        if (const std::string sel = selected_text(); !sel.empty()) {
          ogl_be->clipboard_set(sel);
          OGLE_Key(ogle, 8, 0);
        }
        break;
      case 'V': {
        // The field holds one line: of a pasted text of several lines the
        // first line that holds anything is taken (a copied line's own line
        // end, or the lines after it, would otherwise be glued onto it);
        // a tab becomes a blank, other control characters are left out.
        std::string text;
        const std::string pasted = ogl_be->clipboard_get();
        for (size_t i = 0; i < pasted.size(); ++i) {
          const char c = pasted[i];
          if (c == '\r' || c == '\n') {
            if (!text.empty()) break;
            continue;
          }
          if (c == '\t') text += ' ';
          else if (static_cast<unsigned char>(c) >= 32 && c != 127) text += c;
        }
        if (!text.empty()) OGLE_Insert(ogle, text.data(), text.data() + text.size());
        break;
      }
      default:
        if (key == 36 || key == 35) OGLE_Key(ogle, key == 36 ? OGLE_home : OGLE_end, shift);
        else if (key >= 33 && key <= 40) OGLE_Key(ogle, ch, shift);  // Ctrl+arrows move as arrows
        break;
    }
    return;
  }
  if (key == 36) ch = OGLE_home;
  else if (key == 35) ch = OGLE_end;
  OGLE_Key(ogle, ch, shift);
}

}  // namespace

const OGLE_Callbacks OGLE_cbs = {f_visible, f_logical, f_height,  f_scroll, f_text,      f_replace, f_line_height,
                                 f_measure, f_fit_fwd, f_fit_rev, f_draw,   f_selection, f_word};

int BTN_enterstring(float x, float y, std::string* text, int max_length, const std::string& label, float width,
                    int auto_focus) {
  std::string left, second, help;
  BTN_expand_label(label, left, second, help);
  const int who = BTN_identity(x, y);
  if (!ogle) ogle = OGLE_Create(OGLE_cbs, nullptr);
  // The field takes the mouse over the whole box it draws (frame style 9,
  // width + 10 wide and 20 tall, centred at x + width / 2 - 2, y + 3).
  const bool over = mnw.menu_up == -1 && mnw.mx >= x - 7 && mnw.mx <= x + width + 3 && mnw.my >= y - 7 &&
                    mnw.my <= y + 13;
  const bool clicked = over && mnw.mouse_clicked;
  // A drag belongs to the field it started in until the button comes up.
  if (clicked) drag_field_id = who;
  else if (!mnw.now_dragging) drag_field_id = 0;
  if (over && !help.empty()) stls.help_message = help;
  BTN_register_focus(who, allow_delete | allow_nav | allow_letters | allow_digits | allow_sign | allow_print);
  if (clicked || (auto_focus && focus_id == 0)) focus_id = who;

  int changed = 0;
  const bool focused = focus_id == who;
  if (focused) {
    OGLE_x = x;
    OGLE_y = y;
    OGLE_entry_dx = std::round(width);
    OGLE_input = text;
    OGLE_edit = 0;
    if (focused_field_id != who) {
      focused_field_id = who;
      OGLE_dx = OGLE_dy = 0;
      OGLE_Repaginate(ogle);
      if (!clicked) OGLE_SetSelection(ogle, 0, static_cast<int>(text->size()));
    } else {
      OGLE_Repaginate(ogle);
    }
    const int len = static_cast<int>(text->size());
    ogle->sel_start = std::clamp(ogle->sel_start, 0, len);
    ogle->sel_end = std::clamp(ogle->sel_end, 0, len);
    if (clicked) OGLE_Click(ogle, mnw.mx, mnw.my, 0);
    else if (mnw.now_dragging && drag_field_id == who) OGLE_Drag(ogle, mnw.mx, mnw.my);
    BTN_take_keys(who, field_key);
    changed = OGLE_edit;
  } else if (focused_field_id == who) {
    focused_field_id = 0;  // focus went elsewhere: the next focus starts afresh
    OGLE_input = nullptr;
  }

  BTN_frame1(9, x + width / 2 - 2, y + 3, width + 10, 0);
  BTN_util_draw_label(x - 12, y, 0, left, 0);
  BTN_util_draw_label(x + width + 6, y, 2, second, 0);
  OGL_scissors(x - 1, y - 3, width + 2, 11);
  if (focused) OGLE_Draw(ogle, 1);
  else OGL_string(45, x, y, *text, 0, charset_shown, 0);
  OGL_scissors_end();
  if (focused) BTN_focus_mark(x - 7, y - 7, x + width + 3, y + 13);

  if (changed && max_length >= 0 && static_cast<int>(text->size()) > max_length) {
    // The limit counts bytes; the cut falls between whole characters.
    const int len = static_cast<int>(text->size());
    int cut = 0;
    while (cut < len) {
      const int next = utf8_after(text->data(), len, cut);
      if (next > max_length) break;
      cut = next;
    }
    text->resize(cut);
    OGLE_Repaginate(ogle);
    ogle->sel_start = std::min(ogle->sel_start, cut);
    ogle->sel_end = std::min(ogle->sel_end, cut);
  }
  return changed;
}

void OGLE_reset_field() {
  focused_field_id = 0;
  drag_field_id = 0;
  OGLE_input = nullptr;
  OGLE_dx = OGLE_dy = 0;
  OGLE_edit = 0;
  if (ogle) {
    ogle->sel_start = ogle->sel_end = 0;
    ogle->line_starts.clear();
  }
}
