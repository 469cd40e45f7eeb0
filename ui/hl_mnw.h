// The window and frame loop: the window and input state `mnw`, window
// numbers, click routing, the tooltip and cursor, and one frame of the
// program (MACIBM_event_proc).
//
// [SECTION] Window and input state.
// [SECTION] Windows: opening, click routing, the pop-up menu slot.
// [SECTION] Events: turning the system's input into the state above.
// [SECTION] The frame.
//
// Everything here is main-thread only and windowless: the frame reaches the
// screen and the input through the renderer `ogl_be` (ui/oglp.h), which the
// window layer (ui/gl_*.cpp) installs and tests replace.
#pragma once

#include <string>
#include <vector>

#include "platform/window.h"

// ------------------------------------------------------ [SECTION] window and input state
class mnw_class {
 public:
  mnw_class() { reset(); }
  // Back to the start values (tests use it between cases).
  void reset();

  int alias_req, alias_act;  // anti-aliasing requested / obtained (0 here)
  int current_con;           // window whose context is presented
  int pixel_format;
  void* window[2];
  void* context[2];
  void* dc[2];
  int sec_mon_inuse, sec_mon_inited;  // second-monitor window: never here
  int top_win_cmnd;   // window number that receives commands
  int top_win_now;    // window number shown
  int top_win_mouse;  // window number under the mouse
  int is_modal;       // 1 while a modal window is open
  float win_x, win_y, win_dx, win_dy;  // origin and size of the current window
  int cursor_type;    // cursor requested this frame: 0/1 arrow, 2 hidden, 3..14 sprites
  int menu_up;        // open menu, -1 when none
  int x_res_now, y_res_now, col_res_now;
  int set_res;        // 1 = change the display mode at start (never done here)
  int tex_res;
  int x_res_req, y_res_req, col_res_req;
  float x_ctr, y_ctr, extra_sx, extra_ty;  // layout centre and margins beyond 1024 x 768
  int set_app_to_monitor;
  float x1_pix, y1_pix, x2_pix, y2_pix;
  float xy_scale_now;  // window pixels per layout unit (g_window_scale once the window is made)
  float mx, my;        // mouse, window-relative units, y up
  int mouse_clicked;   // a button went down this frame
  int mouse_did_click, mouse_double_clicked;
  int mouse_lifted;    // a button went up this frame
  int now_dragging, delay_dragging;
  int mouse_wheel;     // accumulated notches
  int wheel_rest;      // part of a notch turned but not yet counted, 120 a notch
  int key_hit;         // a key went down this frame
  int key_pressed;     // character of the last key press
  float m_move_time, m_down_time;
  int any_key_is_down;
  int lang;
  int track_cpu;
  int typing_message;
  long long opened_us;  // clock reading (xtim_class::microsecs_tot) when the current window opened
};

extern mnw_class mnw;

// Per-frame key flags (set by the key handler, cleared at each frame start).
extern int return_hit, escape_hit, delete_hit;
extern int win_started;          // the first frame has opened the window
extern int g_mon_x_res_now, g_mon_y_res_now;  // monitor size, pixels
// Window pixels per layout unit of the 1024 x 768 layout, chosen for the
// monitor's work area when the window is made (MACIBM_window_scale).
extern float g_window_scale;
// The scale for a work area of work_w x work_h pixels: 1 where the layout
// fits; below 1 where it does not (the whole window and a title bar of
// title_h pixels fit, so the window can be moved); 2 where twice the size
// fits, so that text stays readable on a very large screen.
float MACIBM_window_scale(int work_w, int work_h, int title_h);
extern int OS_mouse_showing;     // the system pointer is visible

// The interface string table: window titles, the alert's button label and
// the help text of the hovered widget.
class stls_class {
 public:
  std::string win_name;
  std::string help_message;
  std::string text[700];
};
extern stls_class stls;

// ----------------------------------------------- [SECTION] windows and click routing
// Window numbers.
enum {
  win_main = 0,       // main installer screen
  win_eula = 1,       // licence agreement
  win_prefs = 2,      // preferences
  win_alert = 995,    // alert
  win_select = 997,   // modified-file question
};

// Makes window n current: title, size, modality, centred origin; drops the
// focus, closes menus and the pop-up list, and forgets this frame's Return,
// Escape and Delete (they were meant for the window that was current).
void MACIBM_startwind(int n);
// The windows that ask the user about one thing (the alert and the
// modified-file question) take no click for question_guard_s after they
// open, and only keys pressed while they are shown: a double click or a
// held key meant for the window before must not answer them unseen.
constexpr double question_guard_s = 0.4;
bool MACIBM_is_question_window(int n);
// Closes the open pop-up list, if any, choosing nothing.
void MACIBM_close_popup();
// Routes a button press; force 1 closes windows 1, 2, 993 and 994.
void MACIBM_handleclick(int force);
// Display-mode change: not done on this system (logged once).
void MACIBM_setres(int set);
// The start-up screen: background, a framed box, the message and an
// optional progress bar (0..1; negative for none); presented at once.
void MACIBM_show_init(const std::string& message, float progress = -1.0f);
// Sets the current colour to opaque white and presents the frame.
void OGL_sbuff();

// The menu table; only the pop-up slot 1519 is used (by the list widget).
struct item_struct {
  std::string name;
  int code = 0;
  char flag = 0;
  short itemx1 = 0, itemy1 = 0, itemx2 = 0, itemy2 = 0;
};
struct menu_struct {
  std::string name;
  int parent = -1;
  short menux1 = 0, menuy1 = 0, menux2 = 0, menuy2 = 0;
  std::vector<item_struct> items;
};
extern std::vector<menu_struct> menu;
constexpr int popup_slot = 1519;
void MACIBM_clear_menus(int all);

// --------------------------------------------------------------- [SECTION] events
// Turns one system event into mnw state, as the window procedure does.
void MACIBM_handle_event(const plat::WinEvent& e);

// ---------------------------------------------------------------- [SECTION] the frame
// One frame: input, timer, the installer's screen (unless a modal window is
// open), tooltip, cursor, pop-up, present.
void MACIBM_event_proc();

// The installer's per-frame update and redraw; set by the installer.
extern void (*MACIBM_app_update)();
// The application's setting that the frame loop never yields the processor
// (non-zero: no wait for events between frames); set by the installer to its
// preference. Null: the loop yields.
extern const int* MACIBM_use_max_cpu;
// Set by the application: true while its update waits for events of its own
// (the network, the extraction) within the frame, so that the frame does not
// also wait for window events, which the network's cannot end.
extern bool (*MACIBM_app_waits)();
// Reports failures queued by worker threads; set by the thread services.
extern void (*MACIBM_report_worker_failures)();
// A kind of texture failed to load since the last frame (scenery, aircraft,
// interface): the frame raises one alert per kind and mutes it.
extern int tex_failed[3];
extern int tex_muted[3];

// Draws the tooltip and cursor for window n (called by the frame).
void mouse_help_per_wind(int n);
// Draws the open pop-up list (called by the frame).
void standard_gui();
