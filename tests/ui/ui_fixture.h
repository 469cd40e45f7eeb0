// A renderer that records what the interface draws and feeds it scripted
// input, and a fixture that puts the framework's globals back to their
// start values around each test.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <string>
#include <vector>

#include "ui/butn.h"
#include "ui/colr.h"
#include "ui/hl_mnw.h"
#include "ui/keys.h"
#include "ui/ogle.h"
#include "ui/oglp.h"
#include "ui/xtim.h"

namespace ui_test {

struct Quad {
  int tex;
  OGL_vertex v[4];
  float color[4];
};
struct Fill {
  float x1, y1, x2, y2;
  float color[4];
};

class Recorder : public OGL_backend {
 public:
  void set_color(const float rgba[4]) override {
    for (int k = 0; k < 4; ++k) color[k] = rgba[k];
  }
  void fill_rect(float x1, float y1, float x2, float y2) override {
    fills.push_back({x1, y1, x2, y2, {color[0], color[1], color[2], color[3]}});
  }
  void line(float x1, float y1, float x2, float y2) override { lines.push_back({x1, y1, x2, y2, {color[0], color[1], color[2], color[3]}}); }
  void tex_quad(int tex, const OGL_vertex v[4]) override {
    Quad q{tex, {v[0], v[1], v[2], v[3]}, {color[0], color[1], color[2], color[3]}};
    quads.push_back(q);
  }
  void scissor(int on, int x, int y, int w, int h) override { scissors.push_back({on, x, y, w, h}); }
  void present() override { ++presents; }
  void wait(double seconds) override { waits.push_back(seconds); }
  int poll(std::vector<plat::WinEvent>& out) override {
    // One scripted batch per frame.
    if (script.empty()) return 0;
    const std::vector<plat::WinEvent> batch = script.front();
    script.pop_front();
    out.insert(out.end(), batch.begin(), batch.end());
    return static_cast<int>(batch.size());
  }
  void clear_log() {
    quads.clear();
    fills.clear();
    lines.clear();
    scissors.clear();
  }
  // Glyph quads of the font (the widget image's font area), in drawing
  // order, each given as its whole 14 x 15 cell: v[0] is the cell's
  // lower-left corner on screen and in the texture.
  std::vector<Quad> glyphs() const {
    std::vector<Quad> g;
    for (Quad q : quads) {
      if (q.tex != tex_widgets || q.v[0].t < 400 / 512.0f) continue;
      const int s = static_cast<int>(std::lround(q.v[0].s * 512)), t = static_cast<int>(std::lround(q.v[0].t * 512));
      const int dx = s % 14, dy = (t - 400) % 15;
      q.v[0].x -= dx;
      q.v[0].y -= dy;
      q.v[0].s = (s - dx) / 512.0f;
      q.v[0].t = (t - dy) / 512.0f;
      g.push_back(q);
    }
    return g;
  }

  float color[4] = {1, 1, 1, 1};
  std::vector<Quad> quads;
  std::vector<Fill> fills, lines;
  struct Scissor {
    int on, x, y, w, h;
  };
  std::vector<Scissor> scissors;
  int presents = 0;
  std::vector<double> waits;  // the frame's waits for window events, in seconds
  std::deque<std::vector<plat::WinEvent>> script;
};

// Key and mouse events as the window layer delivers them.
inline plat::WinEvent key(int vkey, int ch = 0, int mods = 0, bool down = true, bool repeat = false) {
  plat::WinEvent e;
  e.type = down ? plat::WinEvent::key_down : plat::WinEvent::key_up;
  e.vkey = vkey;
  e.ch = ch;
  e.mods = mods;
  e.repeat = repeat;
  return e;
}
// Pointer events at window-relative units (y up), converted to client pixels (y down).
inline plat::WinEvent pointer(plat::WinEvent::Type t, float wx, float wy) {
  plat::WinEvent e;
  e.type = t;
  e.x = wx + mnw.win_x;
  e.y = mnw.y_res_now - (wy + mnw.win_y);
  return e;
}

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mnw.reset();
    colr.reset();
    BTN_reset();
    OGLE_reset_field();
    keys.reset();
    stls.help_message.clear();
    stls.win_name.clear();
    return_hit = escape_hit = delete_hit = 0;
    win_started = 1;
    MACIBM_clear_menus(1);
    xtim_class::fake_microsecs = 5000000;
    xtim.reset();
    ogl_be = &rec;
    MACIBM_startwind(0);
  }
  void TearDown() override {
    ogl_be = OGL_null_backend();
    xtim_class::fake_microsecs = -1;
    xtim.reset();
    win_started = 0;
    MACIBM_app_update = nullptr;
  }
  // Starts a frame's worth of input by hand: clears the per-frame flags,
  // places the mouse and, with `click`, presses a button (the frame timer's
  // update then drops the focus as the frame would).
  // With `lift` the button also comes up in the same frame (a whole click:
  // no drag follows).
  void input(float x, float y, bool click = false, bool lift = false) {
    mnw.mouse_clicked = mnw.mouse_lifted = 0;
    mnw.mx = x;
    mnw.my = y;
    if (click) mnw.mouse_clicked = 1;
    if (lift) mnw.mouse_lifted = 1;
    xtim_class::fake_microsecs += 20000;
    xtim.xtim_update();
    BTN_begin_focus_ring();
  }
  // Delivers one key press (and its release) as the window would.
  void press(int vkey, int ch = 0, int mods = 0) {
    keys.handle_key_raw(key(vkey, ch, mods, true));
    keys.handle_key_raw(key(vkey, ch, mods, false));
  }
  // Types text: each character as the key that makes it.
  void type(const std::string& s) {
    for (char c : s) {
      int vk = c;
      if (c >= 'a' && c <= 'z') vk = c - 32;
      if (c == '.') vk = 190;
      if (c == '-') vk = 189;
      if (c == '/') vk = 191;
      if (c == ':') vk = 186;
      press(vk, static_cast<unsigned char>(c));
    }
  }
  Recorder rec;
};

}  // namespace ui_test
