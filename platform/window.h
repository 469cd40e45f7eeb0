// The program's one window with its OpenGL 2.1 compatibility context, and
// the input that reaches it.
//
// Input is handed upwards as plain events in the vocabulary the interface
// code was written for: keys carry the Windows virtual-key code, the set-1
// scan code and the character the key typed, so the key tables above this
// seam are the same on every system. Events are collected by
// window_poll(); window_wait() blocks until input arrives or the time runs
// out. window_inject() queues an event as if the system had sent it.
#pragma once

#include <string>
#include <vector>

namespace plat {

struct WinEvent {
  enum Type {
    none,
    key_down,     // a key went down (or auto-repeated: `repeat`)
    key_up,       // a key went up
    mouse_move,   // the pointer moved to (x, y)
    button_down,  // a mouse button went down at (x, y)
    button_up,    // a mouse button went up at (x, y)
    wheel,        // the wheel turned by `wheel_delta`
    close,        // the user asked to close the window
    refresh,      // the window must be redrawn (exposed)
  };
  Type type = none;
  int vkey = 0;      // Windows virtual-key code of the key
  int scan = 0;      // set-1 scan code (0x2A left Shift, 0x3A Caps Lock, ...)
  int extended = 0;  // 1 for the extended keys (right Ctrl and Alt, Num Lock, the grey keys)
  int repeat = 0;    // 1 for an auto-repeated key_down
  int ch = 0;        // character the key typed (Latin-1), 0 when it typed none
  int mods = 0;      // held modifiers: 1 Shift, 2 Alt, 4 Ctrl
  double x = 0, y = 0;  // pointer in client pixels, origin top-left, y down
  int button = 0;    // 0 left, 1 right, 2 middle
  int wheel_delta = 0;  // wheel turn: 120 per notch, positive away from the user
};

// Size of the monitor the window opens on, in pixels; 0 x 0 when unknown
// (no display yet). Does not need an open window.
void monitor_size(int& width, int& height);

// Size of the primary monitor's work area (the screen less the task bar and
// docks), in pixels; the monitor's size when the system does not tell, 0 x 0
// when unknown.
void monitor_work_area(int& width, int& height);

// Opens the window with a client area of width x height pixels, titled
// `title`, with a frame (title bar) or without, and makes its OpenGL 2.1
// compatibility context current. Returns 0 or an error code (the reason is
// also written to `why`). Only one window exists at a time.
int window_open(int width, int height, const char* title, bool framed, std::string& why);

// Where the open window lies, as the system reports it: the top left of its
// client area and the frame's widths around it (the title bar is `top`),
// and the top left of the primary monitor's work area, all in screen
// pixels (y down). The whole window is on the screen when x - left >= work_x
// and y - top >= work_y. All 0 when no window is open.
struct WindowPlacement {
  int x = 0, y = 0, left = 0, top = 0, right = 0, bottom = 0, work_x = 0, work_y = 0;
};
WindowPlacement window_placement();

// Closes the window and its context; nothing when none is open.
void window_close();

// 1 while a window is open.
int window_is_open();

// Turns vertical synchronisation on (1) or off (0); returns 1 when the
// driver accepted the request.
int window_swap_interval(int interval);

// Presents the back buffer.
void window_swap();

// Appends every event that arrived since the last call to `out`. Returns
// the number appended.
int window_poll(std::vector<WinEvent>& out);

// Blocks until input arrives or `seconds` have passed.
void window_wait(double seconds);

// Queues an event as if the system had delivered it (tests, and the
// unattended mode).
void window_inject(const WinEvent& e);

// The address of an OpenGL function of the open window's context, for the
// functions beyond OpenGL 1.1 (which is all that some systems' GL library
// exports); null when the driver lacks it or no window is open.
void* window_gl_proc(const char* name);

// Shows (1) or hides (0) the system pointer over the window.
void window_show_cursor(int show);

// The system clipboard, as UTF-8 text. Reading gives an empty string when
// the clipboard holds no text or no window is open; writing without a
// window does nothing.
std::string window_clipboard_get();
void window_clipboard_set(const std::string& text);

}  // namespace plat
