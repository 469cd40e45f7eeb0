#include "ui/hl_mnw.h"

#include <algorithm>
#include <cmath>

#include "platform/system.h"
#include "ui/butn.h"
#include "ui/colr.h"
#include "support/alert.h"
#include "support/hl_init.h"
#include "ui/keys.h"
#include "ui/oglp.h"
#include "ui/xtim.h"

mnw_class mnw;
float g_window_scale = 1.0f;

float MACIBM_window_scale(int work_w, int work_h, int title_h) {
  if (work_w <= 0 || work_h <= 0) return 1.0f;
  if (work_w >= 2 * 1024 && work_h >= 2 * 768 + title_h) return 2.0f;
  if (work_w >= 1024 && work_h >= 768) return 1.0f;
  const float s = std::min(work_w / 1024.0f, (work_h - title_h) / 768.0f);
  return std::max(0.25f, s);
}

int return_hit = 0, escape_hit = 0, delete_hit = 0;
int win_started = 0;
int g_mon_x_res_now = 0, g_mon_y_res_now = 0;
int OS_mouse_showing = 1;
stls_class stls;
std::vector<menu_struct> menu;
void (*MACIBM_app_update)() = nullptr;
const int* MACIBM_use_max_cpu = nullptr;
bool (*MACIBM_app_waits)() = nullptr;
void (*MACIBM_report_worker_failures)() = nullptr;
int tex_failed[3] = {0, 0, 0};
int tex_muted[3] = {0, 0, 0};

namespace {

int round_half_away(float v) { return static_cast<int>(std::lround(v)); }

struct WindowSpec {
  int n;
  int title_line;  // string-table line of the title; -1 for a fixed title
  const char* title;
  float dx, dy;
};
const WindowSpec kWindows[] = {
    {1, -1, "EULA", 500, 300},  {2, -1, "Prefs", 600, 380}, {993, -1, "Livery", 561, 474},
    {994, 612, "", 600, 300},   {995, 600, "", 420, 250},   {996, 601, "", 300, 166},
    {997, 601, "", 700, 146},   {998, 613, "", 561, 474},   {999, 76, "", 330, 474},
};

const WindowSpec* spec_of(int n) {
  for (const WindowSpec& w : kWindows)
    if (w.n == n) return &w;
  return nullptr;
}

// The cursor sprite cell (column, row) of cursor types 3 to 14.
bool cursor_cell(int type, int& col, int& row) {
  static const int kCells[12][2] = {{0, 1}, {1, 1}, {0, 0}, {1, 0}, {2, 1}, {3, 1},
                                    {2, 0}, {3, 0}, {4, 1}, {4, 0}, {-1, 1}, {-1, 0}};
  if (type < 3 || type > 14) return false;
  col = kCells[type - 3][0];
  row = kCells[type - 3][1];
  if (mnw.now_dragging && (type == 11 || type == 12)) col = 5;
  return true;
}

void draw_cursor() {
  int col, row;
  if (!cursor_cell(mnw.cursor_type, col, row)) return;
  const float s = (200 + 32 * col) / 512.f, t = (293 + 32 * row) / 512.f, ds = 30 / 512.f;
  const float cx = mnw.mx + 2, cy = mnw.my - 4;
  OGL_2dquad(tex_widgets, 49, 1.0f, cx - 15, cy - 15, s, t, cx + 15, cy - 15, s + ds, t, cx + 15, cy + 15, s + ds,
             t + ds, cx - 15, cy + 15, s, t + ds);
}

bool in_popup_item(const item_struct& it) {
  return mnw.mx >= it.itemx1 && mnw.mx <= it.itemx2 && mnw.my >= it.itemy1 && mnw.my <= it.itemy2;
}

}  // namespace

void mnw_class::reset() {
  alias_req = alias_act = current_con = pixel_format = 0;
  window[0] = window[1] = context[0] = context[1] = dc[0] = dc[1] = nullptr;
  sec_mon_inuse = sec_mon_inited = 0;
  top_win_cmnd = top_win_now = top_win_mouse = 0;
  is_modal = 0;
  win_x = win_y = 0;
  win_dx = 1024;
  win_dy = 768;
  cursor_type = 0;
  menu_up = -1;
  x_res_now = 1024;
  y_res_now = 768;
  col_res_now = 32;
  set_res = 0;
  tex_res = 5;
  x_res_req = 1024;
  y_res_req = 768;
  col_res_req = 32;
  x_ctr = 512;
  y_ctr = 384;
  extra_sx = extra_ty = 0;
  set_app_to_monitor = 0;
  x1_pix = y1_pix = 0;
  x2_pix = 1024;
  y2_pix = 768;
  xy_scale_now = 1.0f;
  wheel_rest = 0;
  mx = my = 0;
  mouse_clicked = mouse_did_click = mouse_double_clicked = mouse_lifted = 0;
  now_dragging = delay_dragging = 0;
  mouse_wheel = 0;
  key_hit = key_pressed = 0;
  m_move_time = m_down_time = 0;
  any_key_is_down = 0;
  lang = 0;
  track_cpu = 0;
  typing_message = 0;
  opened_us = 0;
}

// ---------------------------------------------------------------------- windows

void MACIBM_clear_menus(int) {
  menu.assign(1520, menu_struct{});
  mnw.menu_up = -1;
}

bool MACIBM_is_question_window(int n) { return n == win_alert || n == win_select; }

void MACIBM_close_popup() {
  active_popup_code = 0;
  mnw.menu_up = -1;
}

namespace {

// Centres the current window (win_dx x win_dy) in the client area.
void place_window() {
  // Layout units: the projection scales them to the window's pixels.
  mnw.win_x = std::max(0.0f, static_cast<float>(std::trunc(round_half_away((mnw.x_res_now - mnw.win_dx) / 2))));
  mnw.win_y = std::max(0.0f, static_cast<float>(std::trunc(round_half_away((mnw.y_res_now - mnw.win_dy) / 2))));
}

}  // namespace

void MACIBM_startwind(int n) {
  mouse_help_per_wind(n);
  OGL_viewport(2);
  mnw.win_dx = static_cast<float>(mnw.x_res_now);
  mnw.win_dy = static_cast<float>(mnw.y_res_now);
  mnw.is_modal = 0;
  if (const WindowSpec* w = spec_of(n)) {
    stls.win_name = w->title_line >= 0 ? stls.text[w->title_line] : w->title;
    mnw.win_dx = w->dx;
    mnw.win_dy = w->dy;
    mnw.is_modal = 1;
  }
  BTN_unfocus_any();
  // A pop-up list belongs to the window it was opened in.
  MACIBM_close_popup();
  select_popup_code = 0;
  mnw.top_win_now = mnw.top_win_cmnd = n;
  xtim_class::current_window = n;
  place_window();
  mnw.now_dragging = mnw.mouse_clicked = mnw.mouse_wheel = 0;
  return_hit = escape_hit = delete_hit = 0;
  mnw.opened_us = xtim_class::microsecs_tot();
  if (menu.size() > popup_slot) {
    menu_struct& p = menu[popup_slot];
    p.menux1 = p.menuy1 = p.menux2 = p.menuy2 = -1;
  }
}

void MACIBM_handleclick(int force) {
  // An open pop-up list takes the press first, in whatever window it is
  // open: an item is chosen, anywhere else closes the list. Either way the
  // press is used up, so that it does not also act on what lies under it.
  if (!force && mnw.menu_up == popup_slot && menu.size() > popup_slot) {
    const menu_struct& p = menu[popup_slot];
    for (size_t i = 0; i < p.items.size(); ++i) {
      const item_struct& it = p.items[i];
      if (it.name.empty() || it.name[0] == '-' || it.name[0] == '=') continue;
      if (in_popup_item(it)) {
        popup_menu_select = static_cast<int>(i);
        select_popup_code = active_popup_code;
        break;
      }
    }
    MACIBM_close_popup();
    mnw.mouse_clicked = 0;
    return;
  }
  const int n = mnw.top_win_now;
  if (mnw.is_modal && n != 0 && (n < 995 || n > 999)) {
    const bool in_y = mnw.my >= mnw.win_dy - 20 && mnw.my <= mnw.win_dy;
    const bool in_box = in_y && ((mnw.mx >= 0 && mnw.mx <= 25) || (mnw.mx >= mnw.win_dx - 25 && mnw.mx <= mnw.win_dx));
    if (in_box || force) {
      BTN_zap_boxes(1);
      OGL_sbuff();
      return_hit = 0;
      MACIBM_startwind(0);
    }
    return;
  }
}

void MACIBM_setres(int set) {
  mnw.x_res_now = mnw.x_res_req;
  mnw.y_res_now = mnw.y_res_req;
  mnw.col_res_now = mnw.col_res_req;
  if (mnw.set_app_to_monitor && g_mon_x_res_now > 0 && g_mon_y_res_now > 0) {
    mnw.x_res_req = mnw.x_res_now = g_mon_x_res_now - 40;
    mnw.y_res_req = mnw.y_res_now = g_mon_y_res_now - 60;
  }
  // The display mode is never changed here: the window opens on the
  // monitor's current mode, and there is nothing to restore at the end.
  static int logged = 0;
  if (set && !logged) {
    xer << "Display-mode changes are not made on this system; the window opens at " << mnw.x_res_now << " x "
        << mnw.y_res_now << " on the current mode";
    if (g_mon_x_res_now > 0) xer << " (monitor " << g_mon_x_res_now << " x " << g_mon_y_res_now << ")";
    xer << ".\n";
    logged = 1;
  }
}

void OGL_sbuff() {
  colr.set_index(0, 1.0f);
  ogl_be->present();
}

// ---------------------------------------------------------------------- events

void MACIBM_handle_event(const plat::WinEvent& e) {
  using E = plat::WinEvent;
  switch (e.type) {
    case E::close: app_done = 1; break;
    case E::refresh:
      // Only the picture is redrawn: the focus, a selection, an open
      // pop-up and the frame's input stay as the user left them.
      ogl_be->invalidate();
      OGL_viewport(2);
      place_window();
      break;
    case E::key_down:
      keys.handle_key_raw(e);
      mnw.key_hit = 1;
      mnw.any_key_is_down = 1;
      break;
    case E::key_up:
      mnw.any_key_is_down = 0;
      keys.handle_key_raw(e);
      break;
    case E::mouse_move:
    case E::button_down:
    case E::button_up:
    case E::wheel: {
      // Window pixels back to layout units (the window may be scaled).
      mnw.mx = static_cast<float>(e.x) / mnw.xy_scale_now;
      mnw.my = static_cast<float>(mnw.y_res_now - e.y / mnw.xy_scale_now);
      mnw.top_win_mouse = mnw.top_win_cmnd;
      mnw.mx -= mnw.win_x;
      mnw.my -= mnw.win_y;
      if (e.type == E::button_down && e.button <= 1) {
        mnw.mouse_clicked = 1;
        MACIBM_handleclick(0);
      } else if (e.type == E::button_up && e.button <= 1) {
        mnw.mouse_lifted = 1;
      } else if (e.type == E::wheel) {
        // A touchpad turns the wheel in fractions of a notch: the rest is
        // kept for the next event, so that small movements add up.
        mnw.wheel_rest += e.wheel_delta;
        mnw.mouse_wheel += mnw.wheel_rest / 120;
        mnw.wheel_rest %= 120;
      }
      break;
    }
    default: break;
  }
}

// ---------------------------------------------------------------------- the frame

void mouse_help_per_wind(int n) {
  if (!stls.help_message.empty() && xtim.real_time - mnw.m_move_time > 1.0f) {
    const std::string& msg = stls.help_message;
    const float h = std::clamp(20.0f + 10.0f * static_cast<float>(msg.size() / 50), 60.0f, 300.0f);
    const float left = std::clamp(mnw.mx - 415, 10 - mnw.win_x, mnw.x_res_now - 10 - mnw.win_x - 400);
    const float bottom = std::clamp(mnw.my + 15, 10 - mnw.win_y, mnw.y_res_now - 20 - mnw.win_y - h);
    BTN_frame2(14, left - 10, bottom - 10, 420, h + 20, "");
    OGL_string(47, left + 3, bottom + h - 10, msg, 394, charset_prop, 0);
  }
  stls.help_message.clear();
  if (xtim.real_time - mnw.m_move_time > 10.0f && n == 0) mnw.cursor_type = 2;
  if (n >= 993 && n <= 999) mnw.cursor_type = 0;
  const int want_show = mnw.cursor_type <= 1;
  if (want_show != OS_mouse_showing) {
    ogl_be->show_cursor(want_show);
    OS_mouse_showing = want_show;
  }
  draw_cursor();
}

void standard_gui() {
  if (mnw.menu_up != popup_slot || menu.size() <= popup_slot) return;
  const menu_struct& p = menu[popup_slot];
  OGL_fillrect(36, 1.0f, p.menux1, p.menuy1, p.menux2 - p.menux1, p.menuy2 - p.menuy1);
  OGL_line(35, 1.0f, p.menux1, p.menuy1, p.menux2, p.menuy1);
  OGL_line(35, 1.0f, p.menux2, p.menuy1, p.menux2, p.menuy2);
  OGL_line(37, 1.0f, p.menux1, p.menuy2, p.menux2, p.menuy2);
  OGL_line(37, 1.0f, p.menux1, p.menuy1, p.menux1, p.menuy2);
  for (const item_struct& it : p.items) {
    if (in_popup_item(it)) OGL_fillrect(42, 1.0f, it.itemx1, it.itemy1, it.itemx2 - it.itemx1, it.itemy2 - it.itemy1);
    OGL_string(38, (it.itemx1 + it.itemx2) * 0.5f, it.itemy1 + 3, it.name, 0, charset_prop, 1);
  }
}

void MACIBM_event_proc() {
  return_hit = escape_hit = delete_hit = 0;
  mnw.mouse_clicked = mnw.mouse_lifted = mnw.key_hit = 0;
  if (mnw.top_win_now == -1) mnw.top_win_now = 0;
  if (!win_started) {
    win_started = 1;
    MACIBM_startwind(mnw.top_win_now);
  }

  int wait = MACIBM_use_max_cpu && *MACIBM_use_max_cpu ? 0 : 1;
  if (mnw.top_win_now == win_alert) wait = 10;
  else if (!mnw.is_modal && MACIBM_app_waits && MACIBM_app_waits()) wait = 0;

  std::vector<plat::WinEvent> events;
  ogl_be->poll(events);
  if (events.empty() && wait > 0) {
    ogl_be->wait(wait * 0.016);
    ogl_be->poll(events);
  }
  for (const plat::WinEvent& e : events) MACIBM_handle_event(e);
  // An interrupt or a termination request is a quit wherever the user is:
  // modal windows end their loops when app_done is set.
  if (plat::quit_signal()) app_done = 1;
  // A question takes no press made before the user could have read it
  // (the second press of a double click on the question before).
  if (mnw.mouse_clicked && MACIBM_is_question_window(mnw.top_win_now) &&
      xtim_class::microsecs_tot() - mnw.opened_us < static_cast<long long>(question_guard_s * 1e6))
    mnw.mouse_clicked = 0;

  if (mnw.top_win_now == 0) {
    if (MACIBM_report_worker_failures) MACIBM_report_worker_failures();
    static const int kLine[3] = {1544, 1545, 1546};
    static const char* const kFirst[3] = {"Some scenery textures could not be loaded.",
                                          "Some textures for the aircraft you selected could not be loaded.",
                                          "Some textures could not be loaded."};
    static const char* const kSecond[3] = {
        "This may be an installation problem or you may have a damaged add-on scenery package.",
        "This may be an installation problem or you may have a damaged add-on aircraft package.",
        "This may be an installation problem.  Run the installer/updater again to get these missing textures."};
    for (int k = 0; k < 3; ++k) {
      if (!tex_failed[k] || tex_muted[k]) continue;
      tex_failed[k] = 0;
      tex_muted[k] = 1;
      __MACIBM_alert(0, kFirst[k], kSecond[k], "Please see the log.txt file for a detailed list of missing files.", "",
                     t_alert, "hl_mnw", kLine[k]);
    }
  }

  xtim.xtim_update();
  keys.run_repeat_keys();
  mnw.cursor_type = 0;
  BTN_begin_focus_ring();
  if (!mnw.is_modal) {
    if (MACIBM_app_update) MACIBM_app_update();
    xtim.first_miss_cycle = 0;
  }
  mouse_help_per_wind(mnw.top_win_now);
  standard_gui();
  OGL_sbuff();
  ++xtim.total_frames;
}

void MACIBM_show_init(const std::string& message, float progress) {
  OGL_plot_back_col();
  const float w = 400, h = 90;
  const float x = (mnw.x_res_now - w) / 2 - mnw.win_x, y = (mnw.y_res_now - h) / 2 - mnw.win_y;
  BTN_frame2(15, x, y, w, h, "Skyvane");
  OGL_string(43, x + w / 2, y + 42, message, 0, charset_prop, 1);
  if (progress >= 0) {
    BTN_frame1(4, x + w / 2, y + 20, 300, 0);
    const float p = std::clamp(progress, 0.0f, 1.0f);
    if (p > 0) BTN_frame1(5, x + 50 + 150 * p, y + 20, 300 * p, 0);
  }
  OGL_sbuff();
}
