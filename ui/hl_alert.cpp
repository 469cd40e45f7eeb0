#include "ui/hl_alert.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/system.h"
#include "prefs/UTL_cmdline.h"
#include "ui/exce.h"
#include "ui/butn.h"
#include "ui/hl_init.h"
#include "ui/hl_mnw.h"
#include "ui/oglp.h"

int in_alert = 0;
void (*alert_drawer)(int, const std::string[4], int, const std::string&) = nullptr;
int (*alert_post_from_worker)(const std::string[4], int, const char*, int) = nullptr;

namespace {

// Ends the process after a fatal alert: the shutdown that writes no
// preferences, then an immediate exit with a failure status.
[[noreturn]] void end_after_fatal(int code) {
  MACIBM_finishup(0);
  app_done = 1;
  std::cout.flush();
  std::fflush(nullptr);
  std::_Exit(code);
}

// The message-box fallback: the joined text, at most 2000 bytes, on standard
// error under the box's title.
void show_fallback(const std::string lines[4]) {
  std::string text = lines[0] + "\n\n" + lines[1] + "\n\n" + lines[2] + "\n\n" + lines[3];
  if (text.size() > 2000) text.resize(2000);
  std::cerr << "Aerodeck Message\n" << text << "\n" << std::flush;
}

}  // namespace

void __MACIBM_alert(int return_window, const std::string& line1, const std::string& line2,
                    const std::string& line3, const std::string& line4, int type, const char* file, int line) {
  const std::string lines[4] = {line1, line2, line3, line4};

  if (alert_post_from_worker && alert_post_from_worker(lines, type, file, line)) return;

  const std::string where = std::string("(") + (file ? file : "") + " line " + std::to_string(line) + ")";

  if (cmdline.has_option("--fps_test")) {
    for (const std::string& l : lines) xer << l << "\n";
    xer << where << "\n";
    xer.flush();
    if (type == t_exit) end_after_fatal(1);
    return;
  }

  const int recursive = in_alert;
  in_alert = 1;

  const bool all_empty = line1.empty() && line2.empty() && line3.empty() && line4.empty();
  if (!ogl_inited || recursive || !alert_drawer) {
    if (!all_empty || recursive) show_fallback(lines);
  } else if (!all_empty) {
    alert_drawer(return_window, lines, type, where);
  }

  if (type == t_alert || type == t_exit || recursive) {
    xer << "This is the dump_mem_stats call from the following code: "
           "if(type==t_exit || type == t_alert || recursive_error)\n";
    xer << "Memory resident: " << plat::memory_resident_bytes() / 1024 << " kB\n";
    for (const std::string& l : lines) xer << l << "\n";
    xer << where << "\n";
    xer.flush();
  }
  if (type == t_exit || recursive) {
    if (type == t_exit) std::cerr << where << "\n" << std::flush;
    end_after_fatal(1);
  }
  in_alert = 0;
}

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
    if (BTN_action(mnw.win_dx / 2, 18, 0, 0, 0, button, "") || return_hit) {
      return_hit = 0;
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
