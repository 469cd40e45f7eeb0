#include "ui/hl_alert.h"

#include "support/hl_init.h"
#include "ui/butn.h"
#include "ui/hl_mnw.h"
#include "ui/oglp.h"

void MACIBM_draw_alert(int return_window, const std::string lines[4], int type, const std::string& where) {
  ogl_be->reset_state();
  OGL_nrml_colors();
  const float saved_mx = mnw.mx, saved_my = mnw.my;
  MACIBM_startwind(win_alert);
  if (type == t_lang) stls.win_name = "Language/";
  const std::string button = type == t_lang ? "Accept" : stls.text[602].empty() ? "OK" : stls.text[602];
  while (mnw.top_win_now == win_alert) {
    OGL_plot_back_col();
    BTN_fillwin(1, 21);
    BTN_frame2(13, 10, 35, mnw.win_dx - 20, mnw.win_dy - 28 - 35, "");
    if (type == t_lang) {
      BTN_is_int(mnw.win_dx / 2 - 25, 180, &mnw.lang, 0, "|English");
      BTN_is_int(mnw.win_dx / 2 - 25, 160, &mnw.lang, 1, "|French");
    } else {
      const float ys[4] = {205, 165, 125, 85};
      for (int k = 0; k < 4; ++k) OGL_string(43, mnw.win_dx / 2, ys[k], lines[k], 0.9f * mnw.win_dx, charset_prop, 1);
      if (type == t_exit) OGL_string(43, mnw.win_dx / 2, 45, where, 0.9f * mnw.win_dx, charset_prop, 1);
    }
    if (BTN_action(mnw.win_dx / 2, 18, 0, 0, 0, button, "") || return_hit || escape_hit) {
      return_hit = escape_hit = 0;
      if (type == t_exit) break;
      MACIBM_startwind(return_window);
      mnw.mx = saved_mx;
      mnw.my = saved_my;
    }
    // A window closed while the alert is up ends the alert too, so that
    // the program can shut down instead of waiting on a window nobody sees.
    if (app_done) {
      if (mnw.top_win_now == win_alert && type != t_exit) MACIBM_startwind(return_window);
      break;
    }
    if (mnw.top_win_now == win_alert) MACIBM_event_proc();
  }
}

void HL_use_drawn_alerts() { alert_drawer = MACIBM_draw_alert; }
