// The X display the window tests run on (Xvfb): finding the installer's
// window, clicking and typing into it with xdotool, and screenshots of it
// read back with Xlib and written as PNG.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/gui/png.h"

namespace xscreen {

inline std::string run_out(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

// The id of the visible window of process `pid`, waiting at most `seconds`; 0 when none.
inline unsigned long find_window(int pid, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    const std::string out = run_out("xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null");
    if (!out.empty()) return std::strtoul(out.c_str(), nullptr, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return 0;
}

// Clicks at (x, y) in window units of the 1024 x 768 client area (origin
// at the lower left, y up).
inline void click(unsigned long win, float x, float y) {
  const std::string w = std::to_string(win);
  const std::string at = std::to_string(static_cast<int>(x)) + " " + std::to_string(static_cast<int>(768 - y));
  std::system(("xdotool mousemove --window " + w + " " + at + " >/dev/null 2>&1").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  std::system(("xdotool click --window " + w + " 1 >/dev/null 2>&1").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
}

// Two presses of the left button at (x, y), `gap_ms` apart: a double click.
inline void double_click(unsigned long win, float x, float y, int gap_ms = 80) {
  const std::string w = std::to_string(win);
  const std::string at = std::to_string(static_cast<int>(x)) + " " + std::to_string(static_cast<int>(768 - y));
  std::system(("xdotool mousemove --window " + w + " " + at + " >/dev/null 2>&1").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  std::system(("xdotool click --window " + w + " --repeat 2 --delay " + std::to_string(gap_ms) + " 1 >/dev/null 2>&1")
                  .c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
}

// Lays a window of another client over the whole of `win` for a moment and
// takes it away: the server then asks `win` to redraw what it uncovers (an
// exposure), as a dialog of another program closing over it would.
inline bool expose(unsigned long win) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  XWindowAttributes a;
  Window child;
  int x = 0, y = 0;
  if (!XGetWindowAttributes(d, static_cast<Window>(win), &a) ||
      !XTranslateCoordinates(d, static_cast<Window>(win), a.root, 0, 0, &x, &y, &child)) {
    XCloseDisplay(d);
    return false;
  }
  XSetWindowAttributes sa;
  sa.override_redirect = True;
  sa.background_pixel = BlackPixel(d, DefaultScreen(d));
  const Window cover = XCreateWindow(d, a.root, x, y, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height),
                                     0, CopyFromParent, InputOutput, CopyFromParent,
                                     CWOverrideRedirect | CWBackPixel, &sa);
  XMapRaised(d, cover);
  XSync(d, False);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  XDestroyWindow(d, cover);
  XSync(d, False);
  XCloseDisplay(d);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return true;
}

// Turns the wheel `notches` times over (x, y): towards the user (down)
// when positive.
inline void wheel(unsigned long win, float x, float y, int notches) {
  const std::string w = std::to_string(win);
  const std::string at = std::to_string(static_cast<int>(x)) + " " + std::to_string(static_cast<int>(768 - y));
  std::system(("xdotool mousemove --window " + w + " " + at + " >/dev/null 2>&1").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const std::string button = notches > 0 ? "5" : "4";
  for (int i = 0; i < (notches > 0 ? notches : -notches); ++i) {
    std::system(("xdotool click --window " + w + " " + button + " >/dev/null 2>&1").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
}

inline void type(unsigned long win, const std::string& text) {
  std::system(("xdotool type --delay 60 --window " + std::to_string(win) + " '" + text + "' >/dev/null 2>&1").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

inline void key(unsigned long win, const std::string& name) {
  std::system(("xdotool key --window " + std::to_string(win) + " " + name + " >/dev/null 2>&1").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

// The window's 1024 x 768 client area, RGB rows bottom first.
inline bool grab(unsigned long win, std::vector<std::uint8_t>& rgb) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  XImage* img = XGetImage(d, static_cast<Window>(win), 0, 0, 1024, 768, AllPlanes, ZPixmap);
  if (!img) {
    XCloseDisplay(d);
    return false;
  }
  rgb.assign(1024 * 768 * 3, 0);
  for (int y = 0; y < 768; ++y)
    for (int x = 0; x < 1024; ++x) {
      const unsigned long p = XGetPixel(img, x, 767 - y);
      std::uint8_t* o = &rgb[(static_cast<size_t>(y) * 1024 + x) * 3];
      o[0] = static_cast<std::uint8_t>((p >> 16) & 0xff);
      o[1] = static_cast<std::uint8_t>((p >> 8) & 0xff);
      o[2] = static_cast<std::uint8_t>(p & 0xff);
    }
  XDestroyImage(img);
  XCloseDisplay(d);
  return true;
}

// Pixels in a rectangle (window units) darker than `dark`: ink of text.
inline int dark_pixels(const std::vector<std::uint8_t>& rgb, int x, int y, int w, int h, int dark = 110) {
  int n = 0;
  for (int j = y; j < y + h; ++j)
    for (int i = x; i < x + w; ++i) {
      const std::uint8_t* p = &rgb[(static_cast<size_t>(j) * 1024 + i) * 3];
      n += (p[0] + p[1] + p[2]) / 3 < dark;
    }
  return n;
}

inline bool screenshot(unsigned long win, const std::string& name, std::vector<std::uint8_t>* keep = nullptr) {
  std::vector<std::uint8_t> rgb;
  if (!grab(win, rgb)) return false;
  const char* dir = std::getenv("SKYVANE_SCREENSHOT_DIR");
  const bool ok = gui_test::write_png(std::string(dir ? dir : ".") + "/" + name, 1024, 768, rgb);
  if (keep) *keep = std::move(rgb);
  return ok;
}

}  // namespace xscreen
