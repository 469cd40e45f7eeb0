#include "ui/butn.h"

#include <algorithm>
#include <cmath>

#include "ui/art.h"
#include "ui/colr.h"
#include "support/alert.h"
#include "ui/hl_mnw.h"
#include "ui/oglp.h"

std::vector<focus_info_t> focus_ring;
int focus_id = 0;
int wind_focus = 0;
int hot_digit = 0;
int char_slot[focus_depth], vkey_slot[focus_depth], flag_slot[focus_depth], id_slot[focus_depth];
int ctr_slot = 0;
float hilite_y1 = -2.0f, hilite_dy = 11.0f;
int active_popup_code = 0, select_popup_code = 0, popup_menu_select = 0;
int focus_before_click = 0;

namespace {

int round_half_away(float v) { return static_cast<int>(std::lround(v)); }
constexpr float kTex = 512.0f;

// A quad of the widget image: screen rectangle (window-relative) and texel rectangle.
void sprite(int colour, float x1, float y1, float x2, float y2, float s1, float t1, float s2, float t2) {
  if (x2 <= x1 || y2 <= y1) return;
  OGL_2dquad(tex_widgets, colour, 1.0f, x1, y1, s1 / kTex, t1 / kTex, x2, y1, s2 / kTex, t1 / kTex, x2, y2, s2 / kTex,
             t2 / kTex, x1, y2, s1 / kTex, t2 / kTex);
}

bool menu_open() { return mnw.menu_up != -1; }

bool inside(float x1, float x2, float y1, float y2) {
  return mnw.mx >= x1 && mnw.mx <= x2 && mnw.my >= y1 && mnw.my <= y2;
}

int popup_creep = 0;  // rows the open pop-up has crept to stay on screen

}  // namespace

// ---------------------------------------------------------------------- labels

void BTN_expand_label(const std::string& label, std::string& text, std::string& second, std::string& help) {
  const size_t bar = label.rfind('|');
  const size_t brace = label.rfind('{');
  const size_t text_end = bar != std::string::npos ? bar : brace != std::string::npos ? brace : label.size();
  text = label.substr(0, text_end);
  second.clear();
  help.clear();
  if (bar != std::string::npos) {
    const size_t end = (brace != std::string::npos && brace > bar) ? brace : label.size();
    second = label.substr(bar + 1, end - bar - 1);
  }
  if (brace != std::string::npos && brace + 2 <= label.size()) help = label.substr(brace + 2);
}

void BTN_util_draw_label(float x, float y, int just, const std::string& text, int lit) {
  if (text.empty()) return;
  const int colour = lit ? 80 : 43;
  const int ogl_just = just == 0 ? 2 : just == 1 ? 1 : 0;
  if (text[0] == '-') {
    OGL_string(colour, x, y, text.substr(1), 0, charset_prop, ogl_just);
    return;
  }
  if (just != 1 && text.size() > 12) {
    const int mid = static_cast<int>(text.size()) / 2;
    int best = -1;
    for (int k = 1; k + 1 < static_cast<int>(text.size()); ++k) {
      const char c = text[k];
      if (c != ' ' && c != '-' && c != '/') continue;
      if (best < 0 || std::abs(k - mid) < std::abs(best - mid)) best = k;
    }
    if (best > 0) {
      const std::string first = text.substr(0, text[best] == ' ' ? best : best + 1);
      const std::string rest = text.substr(best + 1);
      OGL_string(colour, x, y + 5, first, 0, charset_prop, ogl_just);
      OGL_string(colour, x, y - 5, rest, 0, charset_prop, ogl_just);
      return;
    }
  }
  OGL_string(colour, x, y, text, 0, charset_prop, ogl_just);
}

// ------------------------------------------------------------- frames and boxes

void BTN_frame1(int style, float x, float y, float width, int) {
  if (style < 0 || style > 10) {
    __MACIBM_alert(0, "Bad BTN_frame1 call!", "", "", "", t_exit, "butn", 374);
    return;
  }
  const art_frame1_cell c = art_frame1(style);
  x = static_cast<float>(round_half_away(x));
  const float w = static_cast<float>(2 * round_half_away(width / 2));
  const float cap = std::min(static_cast<float>(c.cap), w / 2);
  const float x1 = x - w / 2, x2 = x + w / 2, y1 = y - c.h / 2.0f, y2 = y1 + c.h;
  sprite(0, x1, y1, x1 + cap, y2, c.s, c.t, c.s + cap, c.t + c.h);
  sprite(0, x1 + cap, y1, x2 - cap, y2, c.s + c.cap, c.t, c.s + c.w - c.cap, c.t + c.h);
  sprite(0, x2 - cap, y1, x2, y2, c.s + c.w - cap, c.t, c.s + c.w, c.t + c.h);
}

void BTN_frame2(int style, float x, float y, float dx, float dy, const std::string& title) {
  if (style < 11 || style > 20) {
    __MACIBM_alert(0, "Bad BTN_frame2 call!", "", "", "", t_exit, "butn", 438);
    return;
  }
  const art_frame2_cell c = art_frame2(style);
  const float l = std::min<float>(c.left, dx / 2), r = std::min<float>(c.right, dx / 2);
  const float b = std::min<float>(c.bottom, dy / 2), t = std::min<float>(c.top, dy - b);
  const float xs[4] = {x, x + l, x + dx - r, x + dx};
  const float ys[4] = {y, y + b, y + dy - t, y + dy};
  const float ss[4] = {float(c.s), float(c.s + c.left), float(c.s + c.w - c.right), float(c.s + c.w)};
  const float ts[4] = {float(c.t), float(c.t + c.bottom), float(c.t + c.h - c.top), float(c.t + c.h)};
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) sprite(0, xs[i], ys[j], xs[i + 1], ys[j + 1], ss[i], ts[j], ss[i + 1], ts[j + 1]);
  if ((style == 11 || style == 15) && !title.empty())
    OGL_string(38, x + dx / 2, y + dy - 15, title, 0, charset_prop, 1);
  if (style == 11 && (mnw.top_win_now < 995 || mnw.top_win_now > 999)) BTN_zap_boxes(0);
}

void BTN_fillwin(int closable, int inner) {
  BTN_frame2(closable == 1 ? 11 : 12, 0, 0, mnw.win_dx, mnw.win_dy, stls.win_name);
  if (inner == 1) BTN_frame1(1, mnw.win_dx / 2, mnw.win_dy - 50, mnw.win_dx, 0);
  else if (inner != 21) BTN_frame2(inner, 10, 10, mnw.win_dx - 20, mnw.win_dy - 40, "");
}

void BTN_subwin(float pad, int style, float x, float y, float dx, float dy, const std::string& title, float& next_x,
                float& next_y) {
  if (x < 0) x = 10;
  if (y < 0) y = 10;
  if (dx < 0) dx = mnw.win_dx - 10 - x;
  if (dy < 0) dy = mnw.win_dy - 28 - y - pad;
  BTN_frame2(style, x, y, dx, dy, title);
  if (!title.empty() && style != 11 && style != 15) OGL_string(43, x + 8, y + dy - 12, title, 0, charset_prop, 0);
  next_x = x + dx + 10;
  next_y = y + dy + 10;
}

void BTN_zap_boxes(int pressed) {
  int s, t;
  art_close_cell(pressed, s, t);
  const float cy = mnw.win_dy - 10;
  for (float cx : {16.0f, mnw.win_dx - 16}) sprite(0, cx - 9, cy - 9, cx + 9, cy + 9, s, t, s + 18, t + 18);
}

void BTN_util_draw_boxed_button(float x, float y, float width) { BTN_frame1(6, x, y, width, 0); }

// ---------------------------------------------------------------------- widgets

int BTN_action(float x, float y, float width, int lit, int mode, const std::string& label, const std::string& sublabel) {
  std::string text, second, help;
  BTN_expand_label(label, text, second, help);
  if (width <= 0) width = static_cast<float>(str_dx(text) + 21);
  BTN_frame1(2, x, y, width, 0);
  if (lit) BTN_frame1(3, x, y, width, 0);
  BTN_util_draw_label(x, y - 3, 1, text, mode == 2 && lit);
  if (!sublabel.empty() && sublabel != "-") OGL_string(45, x + width / 2 + 10, y + 7, sublabel, 500, charset_prop, 0);
  if (BTN_focus_press(BTN_identity(x, y), x - width / 2, y - 10, x + width / 2, y + 10) && !menu_open()) return 1;
  if (menu_open()) return 0;
  const bool over = inside(x - width / 2, x + width / 2, y - 10, y + 10);
  if (over && !help.empty()) stls.help_message = help;
  if (!over || !mnw.mouse_clicked) return 0;
  if (lit || mode == 0) return 1;
  BTN_frame1(3, x, y, width, 0);
  BTN_util_draw_label(x, y - 3, 1, text, 1);
  OGL_sbuff();
  return 1;
}

namespace {

int bool_box(float x, float y, int* value, const std::string& label, int kind, bool focusable) {
  std::string text, second, help;
  BTN_expand_label(label, text, second, help);
  int s, t;
  art_bool_cell(kind ? 1 : 0, *value != 0, s, t);
  sprite(0, x - 9, y + 3 - 9, x + 9, y + 3 + 9, s, t, s + 18, t + 18);
  BTN_util_draw_label(x - 12, y, 0, text, 0);
  BTN_util_draw_label(x + 12, y, 2, second, 0);
  if (focusable && BTN_focus_press(BTN_identity(x, y), x - 9, y - 6, x + 9, y + 12) && !menu_open()) {
    *value = *value ? 0 : 1;
    return 1;
  }
  if (menu_open() || !inside(x - 8, x + 8, y - 4, y + 12)) return 0;
  if (!help.empty()) stls.help_message = help;
  if (!mnw.mouse_clicked) return 0;
  *value = *value ? 0 : 1;
  return 1;
}

}  // namespace

int BTN_bool(float x, float y, int* value, const std::string& label, int kind) {
  return bool_box(x, y, value, label, kind, true);
}

int BTN_is_int(float x, float y, int* var, int value, const std::string& label) {
  int on = *var == value;
  const int acted = bool_box(x, y, &on, label, 1, false);
  if (acted && on) *var = value;
  return acted;
}

int BTN_textlist(float x, float y, int* index, const std::string& items, const std::string& label) {
  std::string text, second, help;
  BTN_expand_label(label, text, second, help);
  if (items.find('|') != std::string::npos) {
    __MACIBM_alert(0, "Found | char in text string!", items, "", label, t_exit, "butn", 824);
    return 0;
  }
  std::vector<std::string> entries(1);
  for (char c : items) {
    if (c != '-') {
      entries.back() += c;
      continue;
    }
    entries.emplace_back();
    if (entries.size() >= 300) {
      __MACIBM_alert(0, "BTN_text_list overflow!", "", "", "", t_exit, "butn", 828);
      return 0;
    }
  }
  const int n = static_cast<int>(entries.size());
  *index = std::clamp(*index, 0, n - 1);
  int widest = 0;
  for (const std::string& e : entries) widest = std::max(widest, str_dx(e));
  const float w = static_cast<float>(widest);
  BTN_frame1(10, x + 5, y + 3, w + 28, 0);
  BTN_util_draw_label(x - w / 2 - 5, y, 0, text, 0);
  BTN_util_draw_label(x + w / 2 + 25, y, 2, second, 0);
  const int code = round_half_away(x + y * 1024);

  // In the focus ring: Up and Down choose the entry before or after;
  // Return or Space opens the list.
  const int who = BTN_identity(x, y);
  BTN_register_focus(who, allow_nav | allow_return | allow_print);
  int stepped = 0;
  if (focus_id == who) {
    BTN_focus_mark(x - w / 2 - 15, y - 7, x + w / 2 + 19, y + 13);
    BTN_take_keys(who, [&](int ch, int key, int) {
      if (active_popup_code == code) return;
      if (key == 38 && *index > 0) --*index, stepped = 1;
      else if (key == 40 && *index < n - 1) ++*index, stepped = 1;
      else if (key == 13 || ch == ' ') active_popup_code = code, popup_creep = 0;
    });
  }

  // The whole list box takes the click: its 20-unit height, and from left
  // of the box to the end of its arrow cap.
  if (!menu_open() && active_popup_code != code && inside(x - w / 2 - 15, x + w / 2 + 19, y + 3 - 10, y + 3 + 10)) {
    if (!help.empty()) stls.help_message = help;
    if (mnw.mouse_clicked) {
      active_popup_code = code;
      popup_creep = 0;
    }
  }
  if (select_popup_code == code) {
    *index = std::clamp(popup_menu_select, 0, n - 1);
    select_popup_code = 0;
    return 1;
  }
  if (active_popup_code == code && menu.size() > popup_slot) {
    menu_struct& p = menu[popup_slot];
    mnw.menu_up = popup_slot;
    const int shown = std::clamp(*index + popup_creep, 0, n - 1);
    const float x1 = x - w / 2 - 2, x2 = x + w / 2 + 4;
    const float y1 = y - (n - shown) * 12, y2 = y1 + n * 12 + 12;
    if (y2 > mnw.win_dy && shown > 0) --popup_creep;
    else if (y1 < 0 && shown < n - 1) ++popup_creep;
    p.menux1 = static_cast<short>(x1);
    p.menux2 = static_cast<short>(x2);
    p.menuy1 = static_cast<short>(y1);
    p.menuy2 = static_cast<short>(y2);
    p.items.assign(n, item_struct{});
    for (int i = 0; i < n; ++i) {
      item_struct& it = p.items[i];
      it.name = entries[i].empty() ? " " : entries[i];
      it.itemx1 = static_cast<short>(x1);
      it.itemx2 = static_cast<short>(x2);
      it.itemy1 = static_cast<short>(y - (i - shown) * 12 - 3);
      it.itemy2 = static_cast<short>(it.itemy1 + 12);
    }
    return 0;
  }
  OGL_string(38, x, y, entries[*index], 0, charset_prop, 1);
  return stepped;
}

int BTN_flt_range(float x, float y, float* value, int digits, int decimals, float min, float max,
                  const std::string& label) {
  std::string text, second, help;
  BTN_expand_label(label, text, second, help);
  digits = std::clamp(digits, 1, 11);
  decimals = std::clamp(decimals, 0, digits - 1);
  const int who = BTN_identity(x, y);
  BTN_register_focus(who, allow_nav | allow_digits | allow_sign);

  BTN_util_draw_boxed_button(x + 5 * digits - 1, y + 3, 10.0f * digits + 15);
  BTN_util_draw_label(x - 12, y, 0, text, 0);
  BTN_util_draw_label(x + 10 * digits + 12, y, 2, second, 0);

  const float before = *value;
  double v = *value;
  // The whole sunken box takes the mouse; a point beside the digits counts
  // for the nearest digit.
  const bool over = !menu_open() && inside(x - 8.5f, x + 10.0f * digits + 6.5f, y - 8, y + 13);
  bool just_focused = false;
  if (over) {
    if (!help.empty()) stls.help_message = help;
    if (mnw.mouse_clicked) {
      just_focused = focus_before_click != who;
      focus_id = who;
      hot_digit = std::clamp(static_cast<int>(std::floor((mnw.mx - x) / 10)), 0, digits - 1);
    }
  }
  auto place = [&](int i) { return std::pow(10.0, digits - decimals - 1 - i); };
  if (focus_id == who) {
    hot_digit = std::clamp(hot_digit, 0, digits - 1);
    BTN_take_keys(who, [&](int ch, int key, int) {
      if (key == 37) hot_digit = (hot_digit + digits - 1) % digits;
      else if (key == 39) hot_digit = (hot_digit + 1) % digits;
      else if (key == 38) v += place(hot_digit);
      else if (key == 40) v -= place(hot_digit);
      else if (ch >= '0' && ch <= '9') {
        const double scale = std::pow(10.0, decimals);
        const long long whole = std::llround(std::fabs(v) * scale);
        const long long p = std::llround(std::pow(10.0, digits - 1 - hot_digit));
        const long long next = whole - (whole / p) % 10 * p + (ch - '0') * p;
        v = (v < 0 ? -1.0 : 1.0) * static_cast<double>(next) / scale;
        hot_digit = (hot_digit + 1) % digits;
      } else if (ch == '+') {
        if (max >= 0) v = std::fabs(v);  // a field that cannot be positive ignores "+"
      } else if (ch == '-') {
        if (min < 0) v = -std::fabs(v);  // a field that cannot be negative ignores "-"
      }
    });
  }
  if (over && !just_focused) {
    const float place_y = y + 3;
    mnw.cursor_type = mnw.my > place_y ? 13 : 14;
    if (mnw.mouse_clicked) {
      const int cell = std::clamp(static_cast<int>(std::floor((mnw.mx - x) / 10)), 0, digits - 1);
      v += (mnw.my > place_y ? 1 : -1) * place(cell);
    }
  }
  const double scale = std::pow(10.0, decimals);
  v = std::clamp(v, static_cast<double>(min), static_cast<double>(max));
  v = std::round(v * scale) / scale;  // std::round rounds halves away from zero
  *value = static_cast<float>(v);

  if (focus_id == who)
    OGL_fillrect(8, 1.0f, x + hot_digit * 10 + 2, y + hilite_y1, 9, hilite_dy);
  OGL_number(45, x + 3, y, *value, digits, decimals, charset_fixed);
  return *value != before;
}

int BTN_int_range(float x, float y, int* value, int digits, int min, int max, const std::string& label) {
  float f = static_cast<float>(*value);
  const int acted = BTN_flt_range(x, y, &f, digits, 0, static_cast<float>(min), static_cast<float>(max), label);
  *value = static_cast<int>(std::lround(f));
  return acted;
}

// -------------------------------------------------------------- focus ring and keys

int BTN_identity(float x, float y) { return round_half_away(x) * 8192 + round_half_away(y); }

void BTN_focus_mark(float x1, float y1, float x2, float y2) {
  for (float d : {1.0f, 2.0f}) {
    const float a = x1 - d, b = y1 - d, c = x2 + d, e = y2 + d;
    OGL_line(8, 1.0f, a, b, c, b);
    OGL_line(8, 1.0f, c, b, c, e);
    OGL_line(8, 1.0f, c, e, a, e);
    OGL_line(8, 1.0f, a, e, a, b);
  }
}

int BTN_focus_press(int who, float x1, float y1, float x2, float y2) {
  BTN_register_focus(who, allow_return | allow_print);
  if (focus_id != who) return 0;
  BTN_focus_mark(x1, y1, x2, y2);
  int pressed = 0;
  BTN_take_keys(who, [&](int ch, int key, int) {
    if (key == 13 || ch == ' ') pressed = 1;
  });
  return pressed;
}

void BTN_register_focus(int who, int allow_keys) {
  focus_ring.push_back({who, char_slot, vkey_slot, flag_slot, id_slot, &ctr_slot, focus_depth, allow_keys});
}

void BTN_begin_focus_ring() {
  focus_ring.clear();
  wind_focus = 0;
}

void BTN_unfocus_any() {
  focus_id = 0;
  BTN_prune_keys(0);  // a window was opened: keys typed for the last one are void
}

void BTN_drop_focus_for_click() {
  focus_before_click = focus_id;
  focus_id = 0;
}

namespace {

int key_bit(int ch, int key) {
  switch (key) {
    case 8: case 46: return allow_delete;
    case 9: return allow_tab;
    case 13: return allow_return;
    case 27: return allow_escape;
    default: break;
  }
  if (key >= 33 && key <= 40) return allow_nav;
  // A letter key that typed no character (held with Ctrl) is still a letter:
  // fields take Ctrl+A, Ctrl+C, Ctrl+X and Ctrl+V.
  if (key >= 'A' && key <= 'Z' && ch < 32) return allow_letters;
  if (ch == '+' || ch == '-') return allow_sign;
  if (ch >= '0' && ch <= '9') return allow_digits;
  if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z')) return allow_letters;
  if (ch >= 32 && ch < 127) return allow_print;
  // Latin-1 letters and signs are typed text like their ASCII kin, so that
  // a field takes an accented letter; the C1 controls stay "other".
  if (ch >= 192 && ch <= 255 && ch != 215 && ch != 247) return allow_letters;
  if (ch >= 160 && ch <= 255) return allow_print;
  return allow_other;
}

int ring_index(int who) {
  for (size_t i = 0; i < focus_ring.size(); ++i)
    if (focus_ring[i].who_am_i == who) return static_cast<int>(i);
  return -1;
}

// The ring's identities in reading order: rows from the top down (controls
// whose heights differ by less than 8 units share a row), each row from the
// left. An identity holds the control's position (BTN_identity).
std::vector<int> reading_order() {
  struct place {
    int who, x, y;
  };
  std::vector<place> p;
  for (const focus_info_t& f : focus_ring) {
    const int x = f.who_am_i >= 0 ? f.who_am_i / 8192 : 0;
    const int y = f.who_am_i - x * 8192;
    p.push_back({f.who_am_i, x, y});
  }
  std::stable_sort(p.begin(), p.end(), [](const place& a, const place& b) { return a.y > b.y; });
  for (size_t i = 1, row = 0; i < p.size(); ++i) {
    if (p[row].y - p[i].y < 8) p[i].y = p[row].y;
    else row = i;
  }
  std::stable_sort(p.begin(), p.end(), [](const place& a, const place& b) { return a.y != b.y ? a.y > b.y : a.x < b.x; });
  std::vector<int> order;
  for (const place& q : p) order.push_back(q.who);
  return order;
}

}  // namespace

int BTN_dispatch_to_focus(int ch, int key, int flags) {
  const bool tab_press = key == 9 && !(flags & 16);
  // The alert takes no keys through the ring (a field of the window under
  // it keeps none): Tab only moves the focus mark onto its button, and
  // Return and Escape reach the alert's own checks.
  if (mnw.top_win_now == win_alert && key != 9) return 0;
  if (focus_id != 0 && ring_index(focus_id) < 0) focus_id = 0;
  if (focus_id == 0) {
    if (tab_press && !focus_ring.empty()) {
      const std::vector<int> order = reading_order();
      focus_id = (flags & 1) ? order.back() : order.front();
      BTN_prune_keys(focus_id);
      return 1;
    }
    return 0;
  }
  const int at = ring_index(focus_id);
  const focus_info_t& f = focus_ring[at];
  if (key == 9 && !(f.allow_keys & allow_tab)) {
    if (!tab_press) return 1;
    const std::vector<int> order = reading_order();
    const int n = static_cast<int>(order.size());
    const int pos = static_cast<int>(std::find(order.begin(), order.end(), focus_id) - order.begin());
    const int next = (flags & 1) ? (pos + n - 1) % n : (pos + 1) % n;
    focus_id = order[next];
    BTN_prune_keys(focus_id);
    return 1;
  }
  if (!(f.allow_keys & key_bit(ch, key))) return 0;
  BTN_prune_keys(focus_id);  // keys left for a widget that lost the focus go
  if (*f.ctr_slot >= f.depth) return 1;  // queue full: the key is dropped
  const int k = (*f.ctr_slot)++;
  f.char_slot[k] = ch;
  f.vkey_slot[k] = key;
  f.flag_slot[k] = flags;
  f.id_slot[k] = focus_id;
  return 1;
}

void BTN_prune_keys(int keep) {
  int n = 0;
  const int used = std::min(ctr_slot, focus_depth);
  for (int k = 0; k < used; ++k) {
    if (id_slot[k] == 0 || id_slot[k] != keep) continue;
    char_slot[n] = char_slot[k];
    vkey_slot[n] = vkey_slot[k];
    flag_slot[n] = flag_slot[k];
    id_slot[n] = id_slot[k];
    ++n;
  }
  for (int k = n; k < used; ++k) id_slot[k] = 0;
  ctr_slot = n;
}

void BTN_reset() {
  focus_ring.clear();
  focus_id = wind_focus = hot_digit = 0;
  ctr_slot = 0;
  focus_before_click = 0;
  active_popup_code = select_popup_code = popup_menu_select = 0;
  popup_creep = 0;
}
