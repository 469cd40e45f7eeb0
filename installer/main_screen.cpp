// The installer's screens in its window.
//
// [SECTION] the main screen    logo, servers, boxes, buttons, information and progress bar
// [SECTION] questions          the modified-file question and the progress box
// [SECTION] folder browser     the modal chooser of the destination folder
#include "installer/main_screen.h"

#include <algorithm>
#include <cmath>

#include "engine/IO_UTILS.h"
#include "engine/utils.h"
#include "platform/file.h"
#include "platform/system.h"
#include "prefs/sub_wins.h"
#include "ui/art.h"
#include "ui/butn.h"
#include "support/hl_init.h"
#include "ui/hl_mnw.h"
#include "ui/ogle.h"
#include "ui/oglp.h"

namespace {

// The background picture: 1024 x 768 texels at the bottom of a 1024 x 1024 texture.
void background_picture() {
  OGL_2dquad(tex_background, 0, 1, 0, 0, 0, 0, 1024, 0, 1, 0, 1024, 768, 1, 0.75f, 0, 768, 0, 0.75f);
}

void picture(float x, float y, const art_button& b) {
  interface_rect(x, y, static_cast<float>(b.s), static_cast<float>(b.t), static_cast<float>(b.w),
                 static_cast<float>(b.h), 0, 0);
}

int picture_button(float x, float y, const art_button& b) {
  return interface_rect(x, y, static_cast<float>(b.s), static_cast<float>(b.t), static_cast<float>(b.w),
                        static_cast<float>(b.h), 1, 0);
}

float round_half_away(float v) { return v < 0 ? -std::floor(-v + 0.5f) : std::floor(v + 0.5f); }

}  // namespace

// ------------------------------------------------------------ [SECTION] the main screen

bar_frame snap_bar(float x1, float x2) {
  return {round_half_away((x1 + x2) / 4) * 2, round_half_away((x2 - x1) / 4) * 4};
}

void drawn_screen::background() {
  OGL_plot_back_col();
  background_picture();
}

int drawn_screen::destination_box() {
  OGL_string(col_text, 134, 112,
             "Click on the 'DESTINATION' button below to choose the copy of Skyvane you wish to update, or choose the "
             "destination you wish to install a new copy of Skyvane to!",
             880, charset_prop, 0);
  BTN_frame1(9, 285, 89, 300, 0);
  // A long destination is shown by its end, the part that tells folders
  // apart; a path is drawn as it is held (every character visible).
  OGL_string(col_text, 142, 86, OGL_shown_tail(dest_dir_path, 286), 0, charset_shown, 0);
  return mnw.mouse_clicked && mnw.mx >= 135 && mnw.mx <= 435 && mnw.my >= 79 && mnw.my <= 99 ? 1 : 0;
}

void drawn_screen::servers_and_prefs() {
  picture(0, 595, art_logo);
  interface_icon(29, 608, wrl_i);
  if (BTN_action(50, 750, 0, 0, 0, "preferences", "")) handle_prefs();
  // A server's name comes from the server list: it is drawn as it is, on
  // one line, every character shown ("|" and "{" would cut a widget label).
  const int shown = std::min(stg.num_servers, 10);
  for (int i = 0; i < shown; ++i) {
    const float y = 578 - 20.0f * i;
    BTN_is_int(142, y, &stg.sel_server, i, "");
    OGL_string(43, 154, y, server_desc[i], 0, charset_shown, 0);
  }
  // The server choice is one control of the focus ring: Up and Down choose
  // the server above or below.
  if (shown > 0) {
    const int who = BTN_identity(142, 578);
    BTN_register_focus(who, allow_nav | allow_print);
    if (focus_id == who) {
      BTN_take_keys(who, [&](int, int key, int) {
        if (key == 38 && stg.sel_server > 0) --stg.sel_server;
        else if (key == 40 && stg.sel_server < shown - 1) ++stg.sel_server;
      });
      const float y = 578 - 20.0f * std::clamp(stg.sel_server, 0, shown - 1);
      BTN_focus_mark(133, y - 6, 160 + str_dx(server_desc[std::clamp(stg.sel_server, 0, shown - 1)]), y + 12);
    }
  }
  if (servers_left_out > 0)
    OGL_string(43, 154, 578 - 20.0f * shown,
               "(" + std::to_string(servers_left_out) + " more servers in the list; only the first ten are used)", 0,
               charset_prop, 0);
}

int drawn_screen::buttons(const app_texts& t, int install_enabled) {
  // Boxes of this style carry no title of their own: the titles are written
  // inside their top edge.
  BTN_frame2(20, 135, 600, 790, 72, "");
  if (install_name != no_install_name) OGL_string(43, 144, 655, "NET: " + install_name, 0, charset_prop, 0);
  // A status text too long for one line is raised so that both of its
  // lines stay inside the source box.
  const float status_width = 760;
  OGL_string(t.status_colour, 154, str_dx(t.status) > status_width ? 622 : 615, t.status, status_width,
             charset_prop, 0);
  BTN_frame2(20, 935, 600, 80, 72, "");
  OGL_string(43, 975, 655, "Download", 0, charset_prop, 1);
  std::string size;
  set_size_str(stg.down_req, &size);
  OGL_string(col_text, 954, 635, size, 0, charset_prop, 0);

  int clicked = 0;
  if (stg.step == 0 || stg.step == 2)
    if (picture_button(10, 78, art_btn_destination)) clicked |= btn_destination;
  if (stg.step == 0) {
    if (install_enabled) {
      if (picture_button(450, 78, art_btn_install)) clicked |= btn_install;
    } else {
      interface_rect_greyed(450, 78, art_btn_install.s, art_btn_install.t, art_btn_install.w, art_btn_install.h);
    }
  }
  if (picture_button(700, 78, art_btn_store)) clicked |= btn_store;
  if (picture_button(960, 78, art_btn_quit)) clicked |= btn_quit;
  // Return with nothing focused presses the default button, INSTALL.
  if (return_hit && focus_id == 0 && stg.step == 0 && install_enabled) {
    return_hit = 0;
    clicked |= btn_install;
  }
  return clicked;
}

void drawn_screen::info(const app_texts& t) {
  // What the screen says goes to the log whenever it changes (the progress
  // lines excepted), so that a run can be followed afterwards.
  static std::string said[4];
  const std::string* now[4] = {&t.status, &t.line[0], &t.line[1], &t.line[2]};
  bool logged = false;
  // The free space moves with every file written anywhere on the disk: its
  // line is logged when it appears and when the disk check's verdict below
  // it changes, not at each tenth of a gigabyte.
  static const std::string kFree = "You have ";
  const bool only_free_space_moved = said[2].rfind(kFree, 0) == 0 && t.line[1].rfind(kFree, 0) == 0 &&
                                     said[3] == t.line[2];
  for (int i = 0; i < 4; ++i) {
    if (*now[i] == said[i] || (stg.step == 1 && i > 0)) continue;
    if (i == 2 && only_free_space_moved) continue;
    said[i] = *now[i];
    if (!now[i]->empty()) xer << "Screen: " << *now[i] << "\n";
    logged = true;
  }
  if (logged) xer.flush();
  BTN_frame2(20, 135, 32, 880, 40, "");
  const float ys[3] = {58, 48, 38};
  for (int i = 0; i < 3; ++i)
    if (!t.line[i].empty()) OGL_string(t.line_colour[i], 144, ys[i], t.line[i], 0, charset_prop, 0);
  const bar_frame outer = snap_bar(base_x1, base_x2);
  BTN_frame1(4, outer.centre, 15, outer.width, 0);
  if (stg.step == 1 && totl_inst_rat > 0.02f) {
    const bar_frame fill = snap_bar(base_x1, base_x1 + totl_inst_rat * (base_x2 - base_x1));
    BTN_frame1(5, fill.centre, 15, fill.width, 0);
  }
}

int drawn_screen::accept_agreement() { return handle_EULA(); }

int drawn_screen::choose_folder(const std::string& initial, std::string& chosen) {
  const int r = GetFilePathFromUser(2,
                                    "Pick a folder to install Skyvane to! Be sure to pick your existing folder if "
                                    "you already have one!",
                                    "This is my Skyvane destination", 1, initial, chosen);
  if (r) xer << "Folder chosen: " << chosen << "\n";
  xer.flush();
  return r;
}

// ------------------------------------------------------------ [SECTION] questions

int drawn_select_alert(const std::string& local_path, int is_gone) {
  xer << (is_gone ? "Asking about deleting " : "Asking about replacing ") << local_path << "\n";
  xer.flush();
  MACIBM_startwind(win_select);
  int answer = sel_cancel;
  while (mnw.top_win_now == win_select && !app_done) {
    OGL_plot_back_col();
    BTN_fillwin(0, 21);
    const float width = mnw.win_dx - 40;
    OGL_string(43, 20, 100, is_gone ? "I am about to DELETE:" : "I am about to install:", width, charset_prop, 0);
    // One line: a long path is shown by its end, the file's name.
    OGL_string(43, 20, 90, OGL_shown_tail(local_path, static_cast<int>(width)), 0, charset_shown, 0);
    OGL_string(43, 20, 80,
               is_gone ? "because we no longer use this file, but it appears you have modified it. What to do?"
                       : "but it appears you have modified this file. What to do?",
               width, charset_prop, 0);
    int clicked = 0;
    if (BTN_action(96, 53, 160, 0, 0, is_gone ? "DELETE THE OLD FILE" : "OVERWRITE THE OLD FILE", ""))
      clicked = sel_replace;
    if (BTN_action(96, 28, 160, 0, 0, "KEEP THE OLD FILE", "")) clicked = sel_keep;
    if (BTN_action(308, 53, 260, 0, 0,
                   is_gone ? "DELETE EVERY OLD FILE IN THIS DIRECTORY" : "OVERWRITE EVERY OLD FILE IN THIS DIRECTORY",
                   ""))
      clicked = sel_replace_all;
    if (BTN_action(308, 28, 260, 0, 0, "KEEP EVERY OLD FILE IN THIS DIRECTORY", "")) clicked = sel_keep_all;
    // Escape answers as CANCEL does.
    if (BTN_action(584, 28, 200, 0, 0, "CANCEL THE WHOLE INSTALLATION!", "") || escape_hit) clicked = sel_cancel;
    if (clicked) {
      answer = clicked;
      break;
    }
    MACIBM_event_proc();
  }
  MACIBM_startwind(win_main);
  return answer;
}

void drawn_dir_progress_bar(float lo, float cur, float hi, int phase, const std::string& title,
                            const std::string& detail) {
  if (!ogl_inited) return;
  OGL_plot_back_col();
  background_picture();
  const float box_x = 262, box_y = 290, box_w = 500, box_h = 160;
  BTN_frame2(15, box_x, box_y, box_w, box_h, "Skyvane");
  // The texts' colour is a light one: they sit on a dark panel.
  OGL_fillrect(34, 1, box_x + 14, box_y + 46, box_w - 28, 76);
  const float y = box_y + 106;
  OGL_string(49, box_x + 24, y, title, 452, charset_prop, 0);
  OGL_string(49, box_x + 24, y - 20, dir_progress_phase_text(phase), 452, charset_prop, 0);
  OGL_string(49, box_x + 24, y - 40, detail, 452, charset_prop, 0);
  const float bar_w = 452, bar_x1 = box_x + 24, bar_y = box_y + 24;
  BTN_frame1(4, bar_x1 + bar_w / 2, bar_y, bar_w, 0);
  const float f = dir_progress_fraction(lo, cur, hi);
  const bar_frame fill = snap_bar(bar_x1, bar_x1 + f * bar_w);
  BTN_frame1(5, fill.centre, bar_y, fill.width, 0);
  OGL_sbuff();
}

void install_drawn_hooks() {
  select_alert_hook = drawn_select_alert;
  dir_progress_hook = drawn_dir_progress_bar;
}

// ------------------------------------------------------------ [SECTION] folder browser

namespace {

// The top of the folder tree that holds `path`: a drive root ("C:\") when
// the path starts with a drive prefix, else "/".
std::string folder_root(const std::string& path) {
  const bool drive = path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/') &&
                     ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return drive ? path.substr(0, 3) : "/";
}

}  // namespace

std::string parent_folder(const std::string& path) {
  const std::string root = folder_root(path);
  if (path.size() <= root.size()) return root;
  const size_t end = path.back() == '/' ? path.size() - 1 : path.size();
  const size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos || slash + 1 < root.size()) return root;
  return path.substr(0, slash + 1);
}

std::string as_folder_path(const std::string& in) {
  std::string p = plat::path_in_program_form(in);
  while (!p.empty() && p.back() == ' ') p.pop_back();
  if (p.empty()) return p;
  if (p[0] == '~' && (p.size() == 1 || p[1] == '/')) p = plat::home_dir() + p.substr(1);
  if (p.back() != '/' && p != folder_root(p)) p += '/';
  return p;
}

int folder_listable(const std::string& path) {
  if (!plat::path_is_absolute(path)) return 0;
  std::vector<plat::DirEntry> entries;
  return plat::dir_list(path, entries) == 0 ? 1 : 0;
}

void folder_browser::open_drives() {
  path.clear();
  typed.clear();
  first_row = 0;
  selected = -1;
  subfolders = plat::drive_roots();
}

void folder_browser::open(const std::string& folder) {
  std::string p = as_folder_path(folder);
  if (!plat::path_is_absolute(p)) p = as_folder_path(plat::home_dir());
  while (p != folder_root(p) && !folder_listable(p)) p = parent_folder(p);
  path = p;
  typed = p;
  first_row = 0;
  selected = -1;
  subfolders.clear();
  std::vector<std::string> names;
  std::vector<int> is_folder;
  opensave_getitems(path, 0, names, is_folder);
  for (size_t i = 0; i < names.size(); ++i)
    if (is_folder[i]) subfolders.push_back(names[i]);
}

bool folder_browser::enter(const std::string& name) {
  if (path.empty()) {
    // The drives: a name is a root of one.
    if (std::find(subfolders.begin(), subfolders.end(), name) == subfolders.end() || !folder_listable(name))
      return false;
    open(name);
    return true;
  }
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return false;
  if (!folder_listable(path + name + "/")) return false;
  open(path + name + "/");
  return true;
}

bool folder_browser::up() {
  if (path.empty()) return false;
  if (path == folder_root(path)) {
    // Above a drive's root lie the drives; "/" has nothing above it.
    if (plat::drive_roots().empty()) return false;
    open_drives();
    return true;
  }
  open(parent_folder(path));
  return true;
}

bool folder_browser::go_typed() {
  const std::string p = as_folder_path(typed);
  if (!folder_listable(p)) return false;
  open(p);
  return true;
}

namespace {
constexpr float kListX = 20, kListY = 130, kListW = 521, kListH = 250, kRowH = 16;
constexpr int kRows = static_cast<int>(kListH / kRowH) - 1;
std::string browser_note;  // why OK or the path field did nothing
}  // namespace

int draw_folder_browser(folder_browser& b, const std::string& prompt) {
  OGL_plot_back_col();
  BTN_fillwin(0, 21);
  OGL_string(38, mnw.win_dx / 2, mnw.win_dy - 15, "Choose a folder", 0, charset_prop, 1);
  OGL_string(43, 20, mnw.win_dy - 40, prompt, mnw.win_dx - 40, charset_prop, 0);
  OGL_string(43, 20, kListY + kListH + 16, "Folder:", 0, charset_prop, 0);
  OGL_string(43, 20 + str_dx("Folder: "), kListY + kListH + 16,
             b.path.empty() ? "(the drives)" : OGL_shown_tail(b.path, 440), 0, charset_shown, 0);

  BTN_frame2(16, kListX, kListY, kListW, kListH, "");
  const int count = static_cast<int>(b.subfolders.size());
  if (mnw.mouse_wheel != 0 && mnw.mx >= kListX && mnw.mx <= kListX + kListW) {
    b.first_row -= mnw.mouse_wheel * 3;
    mnw.mouse_wheel = 0;
  }
  // The list is one control of the focus ring: Up and Down choose a
  // sub-folder, Page Up and Page Down a page away, Home and End the first
  // and the last; Return enters the chosen one.
  std::string entered_name;
  {
    const int who = BTN_identity(kListX, kListY + kListH);
    BTN_register_focus(who, allow_nav | allow_return);
    if (focus_id == who) {
      BTN_take_keys(who, [&](int, int key, int) {
        if (count == 0) return;
        const int at = b.selected < 0 ? b.first_row - 1 : b.selected;
        switch (key) {
          case 38: b.selected = std::max(0, at - 1); break;
          case 40: b.selected = std::min(count - 1, at + 1); break;
          case 33: b.selected = std::max(0, at - kRows); break;
          case 34: b.selected = std::min(count - 1, std::max(0, at) + kRows); break;
          case 36: b.selected = 0; break;
          case 35: b.selected = count - 1; break;
          case 13:
            if (b.selected >= 0 && b.selected < count) entered_name = b.subfolders[b.selected];
            break;
          default: break;
        }
        // The chosen row stays in view.
        if (b.selected >= 0) b.first_row = std::clamp(b.first_row, b.selected - kRows + 1, b.selected);
      });
      BTN_focus_mark(kListX + 2, kListY + 2, kListX + kListW - 2, kListY + kListH - 2);
    }
  }
  b.first_row = std::clamp(b.first_row, 0, std::max(0, count - kRows));
  if (count == 0) OGL_string(45, kListX + 10, kListY + kListH - 20, "(no sub-folders)", 0, charset_prop, 0);
  std::string clicked_name;
  for (int r = 0; r < kRows && b.first_row + r < count; ++r) {
    const std::string& name = b.subfolders[b.first_row + r];
    const float y = kListY + kListH - 20 - r * kRowH;
    const bool over = mnw.mx >= kListX && mnw.mx <= kListX + kListW && mnw.my >= y - 4 && mnw.my < y - 4 + kRowH;
    if (over || b.first_row + r == b.selected) OGL_fillrect(8, 0.35f, kListX + 4, y - 4, kListW - 8, kRowH);
    OGL_string(46, kListX + 10, y, b.path.empty() ? name : name + "/", 0, charset_shown, 0);
    // A single click enters a folder: the second press of a double click
    // lands on the folder's own list and must not enter one more.
    if (over && mnw.mouse_clicked && !mnw.mouse_double_clicked) clicked_name = name;
  }
  if (count > kRows) {
    const std::string more = std::to_string(b.first_row + 1) + "-" +
                             std::to_string(std::min(count, b.first_row + kRows)) + " of " + std::to_string(count) +
                             " (scroll for more)";
    OGL_string(45, kListX + kListW - 10, kListY + 6, more, 0, charset_prop, 2);
  }
  if (BTN_action(90, 105, 140, 0, 0, "-PARENT FOLDER", "")) {
    b.up();
    browser_note.clear();
  }
  if (BTN_action(250, 105, 120, 0, 0, "-PAGE UP", "")) b.first_row -= kRows;
  if (BTN_action(390, 105, 120, 0, 0, "-PAGE DOWN", "")) b.first_row += kRows;
  // Return in the path field goes to the folder typed, as GO does.
  const bool path_return = focus_id == BTN_identity(60, 70) && return_hit;
  if (path_return) return_hit = 0;
  BTN_enterstring(60, 70, &b.typed, 2047, "-Path:", 400, 0);
  if (BTN_action(500, 75, 60, 0, 0, "-GO", "") || path_return) {
    browser_note = b.go_typed() ? "" : "That is not a folder I can open.";
  }
  if (!browser_note.empty()) OGL_string(1, 20, 48, browser_note, 0, charset_prop, 0);

  int result = -1;
  if (BTN_action(380, 25, 100, 0, 0, "-OK", "") || return_hit) {
    // A path typed but not opened is what the user means to pick.
    const std::string typed = as_folder_path(b.typed);
    if ((typed == b.path && !b.path.empty()) || b.go_typed()) {
      result = 1;
    } else {
      browser_note = "That is not a folder I can open.";
    }
  }
  if (BTN_action(490, 25, 100, 0, 0, "-CANCEL", "") || escape_hit) result = 0;
  if (clicked_name.empty()) clicked_name = entered_name;
  if (!clicked_name.empty() && result < 0) {
    if (b.enter(clicked_name))
      browser_note.clear();
    else
      browser_note = "I can not open the folder " + clicked_name + ".";
  }
  return result;
}

int GetFilePathFromUser(int kind, const std::string& prompt, const std::string&, int, const std::string& initial,
                        std::string& result) {
  if (kind != 2 || !ogl_inited) return 0;
  folder_browser b;
  b.open(initial.empty() ? plat::home_dir() : initial);
  browser_note.clear();
  const int back_to = mnw.top_win_now;
  MACIBM_startwind(win_folder);
  int answer = 0;
  for (;;) {
    const int r = draw_folder_browser(b, prompt);
    if (r >= 0) {
      answer = r;
      break;
    }
    if (mnw.top_win_now != win_folder || app_done) break;
    MACIBM_event_proc();
  }
  MACIBM_startwind(back_to < 0 ? win_main : back_to);
  if (answer != 1 || b.path.size() >= 2048) return 0;
  result = b.path;
  return 1;
}
