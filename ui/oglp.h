// Drawing: the 2-D coordinate system, filled rectangles, lines, clipping,
// textured quads, the bitmap text renderer with its width table, word
// wrapping and justification, and the number renderer.
//
// [SECTION] Backend: the few drawing and input operations a renderer must
//           provide. The GL renderer implements them over OpenGL 2.1; the
//           default one draws nothing, and tests record the calls.
// [SECTION] Coordinates and state.
// [SECTION] Primitives.
// [SECTION] Text.
//
// All coordinates given to the primitives are window-relative interface
// units (origin at the lower left of the current window, y up); the
// primitives add the window origin (mnw.win_x, mnw.win_y) before calling the
// backend, which therefore sees client coordinates.
#pragma once

#include <string>
#include <vector>

#include "platform/window.h"

// -------------------------------------------------------------- [SECTION] backend
struct OGL_vertex {
  float x, y;  // client coordinates, units
  float s, t;  // texture coordinates, 0..1
};

// Texture numbers of the images built into the program.
enum OGL_texture {
  tex_second_font = 387,  // second font image (charset 103), 512 x 512
  tex_widgets = 388,      // widget image: font, widget and cursor sprites, palette; 512 x 512
  tex_interface = 389,    // interface image: picture buttons, icons, logo; 1010 x 764 in 1024 x 1024
  tex_background = 390,   // background picture of the main screen, 1024 x 768
  tex_background2 = 391,  // second background picture, 1024 x 768 (loaded, never drawn)
};

class OGL_backend {
 public:
  virtual ~OGL_backend() = default;
  // The 2-D projection: one unit per pixel over a client area of w x h, origin bottom-left.
  virtual void viewport(int w, int h) {}
  // Clears the whole client area to (r, g, b).
  virtual void clear(float r, float g, float b) {}
  // The current colour, already resolved by the colour rule.
  virtual void set_color(const float rgba[4]) {}
  virtual void fill_rect(float x1, float y1, float x2, float y2) {}
  virtual void line(float x1, float y1, float x2, float y2) {}
  // One textured quad, corners in the given order.
  virtual void tex_quad(int tex, const OGL_vertex v[4]) {}
  // A glyph of the font: like tex_quad, but its texels are either fully
  // transparent or fully opaque, so a renderer may test instead of blend.
  virtual void glyph_quad(int tex, const OGL_vertex v[4]) { tex_quad(tex, v); }
  // Clipping to the pixel rectangle (x, y, w, h) when `on`, else none.
  virtual void scissor(int on, int x, int y, int w, int h) {}
  // Shows the finished frame.
  virtual void present() {}
  // The window lost its picture (exposed, resized): the next frame is
  // presented even when it equals the last one.
  virtual void invalidate() {}
  // Ends any primitive in progress, discards pending errors and restores
  // the normal 2-D state (before an alert takes over the screen).
  virtual void reset_state() {}
  // Input: appends the events that arrived since the last call.
  virtual int poll(std::vector<plat::WinEvent>& out) { return 0; }
  // Blocks until input arrives or `seconds` pass.
  virtual void wait(double seconds) {}
  virtual void show_cursor(int show) {}
  // The clipboard, as UTF-8 text. Without a window system the program keeps
  // its own, so that cutting and pasting between fields still works.
  virtual std::string clipboard_get() { return clipboard_; }
  virtual void clipboard_set(const std::string& text) { clipboard_ = text; }

 private:
  std::string clipboard_;
};

// The renderer in use; never null (a renderer that draws nothing until the
// window layer installs its own).
extern OGL_backend* ogl_be;
OGL_backend* OGL_null_backend();

// ---------------------------------------------------- [SECTION] coordinates and state
class oglp_class {
 public:
  float font_size = 1.0f;  // glyph quads grow by this factor when it is above 1
};
extern oglp_class oglp;

// Scale 1, the layout margins beyond 1024 x 768, and (once a window is open)
// the 2-D projection over the client area. The argument is ignored.
void OGL_pix_specs(int ignored);
// Mode 2 (2-D) is the only mode: projection and viewport over the client area.
void OGL_viewport(int mode, float a = 0, float b = 0, float c = 0, float d = 0, float e = 0, float f = 0,
                  float g = 0, float h = 0, float i = 0, float j = 0, float k = 0, int l = 0);
// Blending back to source alpha / one minus source alpha.
void OGL_nrml_colors();

// ----------------------------------------------------------- [SECTION] primitives
void OGL_fillrect(int i, float alpha, float x, float y, float dx, float dy);
void OGL_line(int i, float alpha, float x1, float y1, float x2, float y2);
void OGL_scissors(float x, float y, float dx, float dy);
void OGL_scissors_end();
// The whole client area in colour 34, opaque.
void OGL_plot_back_col();
void OGL_2dquad(int tex, int i, float alpha, float x1, float y1, float s1, float t1, float x2, float y2, float s2,
                float t2, float x3, float y3, float s3, float t3, float x4, float y4, float s4, float t4, int a = 0,
                int b = 0);

// ----------------------------------------------------------------- [SECTION] text
// Charsets: 100 proportional (width table), 102 fixed advance 10, both from
// the widget image's 14 x 15 cells; 103 fixed advance 15 from the second
// font image's 13 x 13 cells.
// 101 is the proportional font for text shown as it is held (what a text
// field holds, a path): the text is read as UTF-8 and drawn with the font's
// Latin-1 glyphs, a character the width table gives no room (double quote,
// braces, tilde, accented letters) gets its glyph and an advance of its own,
// and a character the font lacks is drawn as one replacement glyph. The
// program's own texts keep charset 100 and its width table.
enum { charset_prop = 100, charset_shown = 101, charset_fixed = 102, charset_big = 103 };

// Prepares text drawing: colour i at alpha 1; fills the font texture, the
// cell width and height and returns the fixed advance (0 = proportional).
// Any other charset is a fatal error.
int OGL_strtex(int charset, int i, int& tex, int& cw, int& ch);

// Proportional advance of c, in units.
int chr_dx(unsigned char c);
// Sum of chr_dx over s.
int str_dx(const std::string& s);

// Text shown as held (charset 101): the glyph codes that s is drawn with,
// one byte per character (UTF-8 decoded; 127 for a character without a
// glyph; line breaks and tabs kept).
std::string OGL_shown_codes(const std::string& s);
// The glyph code of code point cp in charset 101.
unsigned char OGL_shown_code(unsigned cp);
// Advance of glyph code c in charset 101: the width table's, or for a
// character it gives no room the glyph's ink width plus one column.
int chr_dx_shown(unsigned char c);
// Width of s drawn in charset 101.
int str_dx_shown(const std::string& s);
// s for charset 101 in at most `width` units: s itself when it fits, else
// "..." and as much of its end as fits, cut between whole characters (the
// end of a path is the part that tells folders apart).
std::string OGL_shown_tail(const std::string& s, int width);

// One line at client position (x, y) (window origin already added); just 1
// centres on x, 2 ends at x, anything else starts at x.
void str_one_line(int i, float x, float y, const std::string& s, int charset, int just);

// Wrapped text at window-relative (x, y). A width of 0 or less, or 9999 or
// more, draws one line. Returns the window-relative y at which a following
// line would go (10 units below the last line drawn).
float OGL_string(int i, float x, float y, const std::string& s, float width, int charset, int just);

// A number with `decimals` decimals in at least `digits` digits' worth of
// room; charset 102 draws glyphs directly without building a string.
void OGL_number(int i, float x, float y, float value, int digits, int decimals, int charset);

// Texel rectangle of character c's cell in the widget image (lower-left corner).
void OGL_font_cell(unsigned char c, int& s, int& t);
