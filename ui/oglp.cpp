#include "ui/oglp.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "ui/art.h"
#include "ui/colr.h"
#include "support/alert.h"
#include "ui/hl_mnw.h"
#include "ui/utf8.h"

oglp_class oglp;

namespace {

OGL_backend g_null_backend;

// Proportional advances of the 256 character codes (charset 100).
struct WidthTable {
  unsigned char w[256] = {};
  constexpr WidthTable() {
    auto set = [this](const char* chars, unsigned char adv) {
      for (const char* p = chars; *p; ++p) w[static_cast<unsigned char>(*p)] = adv;
    };
    set(",.", 2);
    set(" '/:;I\\`ijl|", 3);
    w[251] = 3;
    set("!()-J[]frst", 4);
    set("c", 5);
    set("#$*0123456789?EFLPSTZ^_aekvxyz", 6);
    for (int c : {191, 193, 201, 205, 209, 211, 218, 225, 233, 237, 241, 243, 250}) w[c] = 6;
    set("+<=>BCKRVXYbdghnopqu", 7);
    set("&ADGHNU", 8);
    set("@OQw", 9);
    set("Mm", 10);
    set("%W", 11);
  }
};
constexpr WidthTable kWidths;

// Font area of the widget image: cells of 14 x 15 texels, 36 to a row,
// starting at row 400, for the codes 32 to 255.
constexpr int kFontCols = 36, kFontTop = 400;

int round_half_away(float v) { return static_cast<int>(std::lround(v)); }

bool is_break(char c) { return c == ' ' || c == '-' || c == '/'; }

// The part of each 14 x 15 cell of the widget image's font that holds ink
// (columns x0..x1, rows y0..y1, exclusive ends). Glyph quads cover only
// that part: the rest of the cell is transparent, so the picture is the
// same, and the software renderer shades a third of the pixels.
struct InkBox {
  unsigned char x0, y0, x1, y1;
};
const InkBox* ink_boxes() {
  static const std::vector<InkBox> boxes = [] {
    std::vector<InkBox> b(256, InkBox{0, 0, 14, 15});
    for (int c = 0; c < 256; ++c) {
      std::uint16_t rows[15];
      art_glyph_mask(static_cast<unsigned char>(c), rows);
      int x0 = 14, x1 = 0, y0 = 15, y1 = 0;
      for (int r = 0; r < 15; ++r)
        for (int x = 0; x < 14; ++x)
          if (rows[r] >> x & 1) {
            x0 = std::min(x0, x);
            x1 = std::max(x1, x + 1);
            y0 = std::min(y0, r);
            y1 = std::max(y1, r + 1);
          }
      if (x1 > x0) b[c] = InkBox{static_cast<unsigned char>(x0), static_cast<unsigned char>(y0),
                                static_cast<unsigned char>(x1), static_cast<unsigned char>(y1)};
    }
    return b;
  }();
  return boxes.data();
}

// One glyph: the cell (cw x ch texels at s, t) drawn with its lower-left
// corner at (x, y); for the widget image's font only the inked part.
void glyph_quad(int tex, unsigned char c, float x, float y, float cw, float ch, int s, int t, float tex_size) {
  float x0 = 0, y0 = 0, x1 = cw, y1 = ch;
  if (tex == tex_widgets) {
    const InkBox& b = ink_boxes()[c];
    x0 = b.x0;
    y0 = b.y0;
    x1 = b.x1;
    y1 = b.y1;
  }
  const float k = oglp.font_size > 1.0f ? oglp.font_size : 1.0f;
  const float s1 = (s + x0) / tex_size, t1 = (t + y0) / tex_size, s2 = (s + x1) / tex_size, t2 = (t + y1) / tex_size;
  const float qx0 = x + x0 * k, qy0 = y + y0 * k, qx1 = x + x1 * k, qy1 = y + y1 * k;
  const OGL_vertex v[4] = {{qx0, qy0, s1, t1}, {qx1, qy0, s2, t1}, {qx1, qy1, s2, t2}, {qx0, qy1, s1, t2}};
  ogl_be->glyph_quad(tex, v);
}

// Cell of c in the font of `charset`.
void cell_of(int charset, unsigned char c, int& s, int& t) {
  if (charset == charset_big) {
    s = (c % 40) * 13;
    t = (c / 40) * 13;
    return;
  }
  OGL_font_cell(c, s, t);
}

}  // namespace

OGL_backend* ogl_be = &g_null_backend;
OGL_backend* OGL_null_backend() { return &g_null_backend; }

// ------------------------------------------------------------------ coordinates

void OGL_pix_specs(int) {
  mnw.xy_scale_now = g_window_scale;
  mnw.x_ctr = mnw.x_res_now / 2.0f;
  mnw.y_ctr = 384.0f;
  mnw.extra_sx = win_started ? std::max(0.0f, (mnw.x_res_now - 1024) / 2.0f) : 0.0f;
  mnw.extra_ty = std::max(0.0f, static_cast<float>(mnw.y_res_now - 768));
  mnw.x1_pix = 0;
  mnw.y1_pix = 0;
  mnw.x2_pix = static_cast<float>(mnw.x_res_now);
  mnw.y2_pix = static_cast<float>(mnw.y_res_now);
  if (win_started) ogl_be->viewport(mnw.x_res_now, mnw.y_res_now);
}

void OGL_viewport(int, float, float, float, float, float, float, float, float, float, float, float, int) {
  ogl_be->viewport(mnw.x_res_now, mnw.y_res_now);
}

void OGL_nrml_colors() {
  // The renderer keeps source-alpha blending at all times; nothing to restore.
}

// ------------------------------------------------------------------- primitives

void OGL_fillrect(int i, float alpha, float x, float y, float dx, float dy) {
  colr.set_index(i, alpha);
  const float x1 = x + mnw.win_x, y1 = y + mnw.win_y;
  ogl_be->fill_rect(x1, y1, x1 + dx, y1 + dy);
}

void OGL_line(int i, float alpha, float x1, float y1, float x2, float y2) {
  colr.set_index(i, alpha);
  ogl_be->line(x1 + mnw.win_x + 0.5f, y1 + mnw.win_y + 0.5f, x2 + mnw.win_x + 0.5f, y2 + mnw.win_y + 0.5f);
}

void OGL_scissors(float x, float y, float dx, float dy) {
  const float sc = mnw.xy_scale_now;
  ogl_be->scissor(1, round_half_away((x + mnw.win_x) * sc), round_half_away((y + mnw.win_y) * sc),
                  std::max(0, round_half_away(dx * sc)), std::max(0, round_half_away(dy * sc)));
}

void OGL_scissors_end() { ogl_be->scissor(0, 0, 0, 0, 0); }

// An opaque background is a clear of the client area, which a renderer does
// far faster than shading a window-sized quad; the picture is the same.
void OGL_plot_back_col() {
  float c[4];
  colr.resolve(34, 1.0f, c);
  ogl_be->set_color(c);
  if (c[3] >= 1.0f) {
    ogl_be->clear(c[0], c[1], c[2]);
    return;
  }
  ogl_be->fill_rect(0, 0, static_cast<float>(mnw.x_res_now), static_cast<float>(mnw.y_res_now));
}

void OGL_2dquad(int tex, int i, float alpha, float x1, float y1, float s1, float t1, float x2, float y2, float s2,
                float t2, float x3, float y3, float s3, float t3, float x4, float y4, float s4, float t4, int, int) {
  colr.set_index(i, alpha);
  const float ox = mnw.win_x, oy = mnw.win_y;
  const OGL_vertex v[4] = {
      {x1 + ox, y1 + oy, s1, t1}, {x2 + ox, y2 + oy, s2, t2}, {x3 + ox, y3 + oy, s3, t3}, {x4 + ox, y4 + oy, s4, t4}};
  ogl_be->tex_quad(tex, v);
}

// ------------------------------------------------------------------------- text

int chr_dx(unsigned char c) { return kWidths.w[c]; }

int str_dx(const std::string& s) {
  int w = 0;
  for (unsigned char c : s) w += kWidths.w[c];
  return w;
}

namespace {

// Advances of charset 101, and which codes have a glyph there.
struct ShownTable {
  unsigned char adv[256];
  bool has[256];
};
const ShownTable& shown_table() {
  static const ShownTable table = [] {
    ShownTable t{};
    for (int c = 0; c < 256; ++c) {
      const int ink = art_glyph_ink_width(static_cast<unsigned char>(c));
      const int w = kWidths.w[c];
      t.has[c] = c >= 32 && c != 127 && (ink > 0 || c == ' ' || c == 160);
      t.adv[c] = static_cast<unsigned char>(w > 0 ? w : c == 160 ? 3 : ink > 0 ? ink + 1 : 0);
    }
    t.adv[127] = static_cast<unsigned char>(art_glyph_ink_width(127) + 1);
    return t;
  }();
  return table;
}

}  // namespace

unsigned char OGL_shown_code(unsigned cp) {
  if (cp == '\n' || cp == '\r' || cp == '\t') return static_cast<unsigned char>(cp);
  return static_cast<unsigned char>(cp < 256 && shown_table().has[cp] ? cp : 127);
}

std::string OGL_shown_codes(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  const char* p = s.data();
  const char* const end = p + s.size();
  while (p < end) out += static_cast<char>(OGL_shown_code(utf8_next(p, end)));
  return out;
}

int chr_dx_shown(unsigned char c) { return shown_table().adv[c]; }

std::string OGL_shown_tail(const std::string& s, int width) {
  if (str_dx_shown(s) <= width) return s;
  const int len = static_cast<int>(s.size());
  int from = 0, w = str_dx_shown("...");
  // Characters from the end while they fit.
  for (int pos = len; pos > 0;) {
    const int prev = utf8_prev(s.data(), len, pos);
    const char* p = s.data() + prev;
    const int adv = chr_dx_shown(OGL_shown_code(utf8_next(p, s.data() + len)));
    if (w + adv > width) break;
    w += adv;
    pos = from = prev;
  }
  if (from == 0) from = len;
  return "..." + s.substr(from);
}

int str_dx_shown(const std::string& s) {
  int w = 0;
  for (unsigned char c : OGL_shown_codes(s)) w += chr_dx_shown(c);
  return w;
}

void OGL_font_cell(unsigned char c, int& s, int& t) {
  const int idx = c < 32 ? 0 : c - 32;
  s = (idx % kFontCols) * 14;
  t = kFontTop + (idx / kFontCols) * 15;
}

int OGL_strtex(int charset, int i, int& tex, int& cw, int& ch) {
  colr.set_index(i, 1.0f);
  switch (charset) {
    case charset_prop:
    case charset_shown: tex = tex_widgets; cw = 14; ch = 15; return 0;
    case charset_fixed: tex = tex_widgets; cw = 14; ch = 15; return 10;
    case charset_big: tex = tex_second_font; cw = 13; ch = 13; return 15;
    default:
      tex = tex_widgets;
      cw = 14;
      ch = 15;
      __MACIBM_alert(0, "String proc with bad charset!", "", "", "", t_exit, "oglp", 493);
      return 0;
  }
}

namespace {

// One line of glyph codes (already converted for charset 101).
void one_line_codes(int i, float x, float y, const std::string& s, int charset, int just) {
  int tex, cw, ch;
  const int fixed = OGL_strtex(charset, i, tex, cw, ch);
  const bool shown = charset == charset_shown;
  auto adv = [&](unsigned char c) { return fixed ? fixed : shown ? chr_dx_shown(c) : kWidths.w[c]; };
  // Justification measures with the proportional table (also for a fixed
  // font); text shown as held measures as it is drawn.
  int width = 0;
  for (unsigned char c : s) width += shown ? chr_dx_shown(c) : kWidths.w[c];
  if (just == 1) x -= width * 0.5f;
  else if (just == 2) x -= static_cast<float>(width);
  const float qy = static_cast<float>(round_half_away(y) - 4);
  for (unsigned char c : s) {
    if (c == '\r' || c == '\n' || c == '\t') continue;
    // Blanks and characters that take no room have no ink: no quad.
    if (c == ' ' || c == 160 || adv(c) == 0 || (!shown && kWidths.w[c] == 0)) {
      x += adv(c);
      continue;
    }
    int cs, ct;
    cell_of(charset, c, cs, ct);
    glyph_quad(tex, c, static_cast<float>(round_half_away(x)), qy, static_cast<float>(cw), static_cast<float>(ch), cs,
               ct, 512.0f);
    x += adv(c);
  }
}

}  // namespace

void str_one_line(int i, float x, float y, const std::string& s, int charset, int just) {
  one_line_codes(i, x, y, charset == charset_shown ? OGL_shown_codes(s) : s, charset, just);
}

float OGL_string(int i, float x, float y, const std::string& text, float width, int charset, int just) {
  const bool shown = charset == charset_shown;
  const std::string converted = shown ? OGL_shown_codes(text) : std::string();
  const std::string& s = shown ? converted : text;
  const float cx = static_cast<float>(round_half_away(x + mnw.win_x));
  float cy = static_cast<float>(round_half_away(y + mnw.win_y - 2));
  if (width <= 0 || width >= 9999) {
    one_line_codes(i, cx, cy, s, charset, just);
    return cy - 10 - mnw.win_y + 2;
  }
  int tex, cw, ch;
  const int fixed = OGL_strtex(charset, i, tex, cw, ch);
  std::string line;
  float pen = cx;
  const size_t n = s.size();
  for (size_t k = 0; k < n; ++k) {
    const char c = s[k];
    line += c;
    const unsigned char u = static_cast<unsigned char>(c);
    pen += fixed ? fixed : shown ? chr_dx_shown(u) : kWidths.w[u];
    if (c == '\n' || k + 1 == n) {
      one_line_codes(i, cx, cy, line, charset, just);
      cy -= 10;
      line.clear();
      pen = cx;
    } else if (is_break(c)) {
      size_t m = 0;
      while (k + 1 + m < n && !is_break(s[k + 1 + m])) ++m;
      if (pen + 6.0f * m > cx + width) {
        one_line_codes(i, cx, cy, line, charset, just);
        cy -= 10;
        line.clear();
        pen = cx;
      }
    }
  }
  return cy - mnw.win_y + 2;
}

void OGL_number(int i, float x, float y, float value, int digits, int decimals, int charset) {
  if (charset != charset_fixed) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", std::max(0, decimals), static_cast<double>(value));
    OGL_string(i, x, y, buf, 0, charset, 0);
    return;
  }
  int tex, cw, ch;
  OGL_strtex(charset, i, tex, cw, ch);
  // At most ten digits are drawn; larger magnitudes show as all nines.
  const double scaled = std::min(std::fabs(static_cast<double>(value)) * std::pow(10.0, decimals), 9999999999.0);
  long long n = std::isfinite(scaled) ? std::llround(scaled) : 0;
  int count = 1;
  for (long long lim = 9; count < 10 && n > lim; lim = lim * 10 + 9) ++count;
  count = std::max(count, decimals + 1);
  float px = static_cast<float>(round_half_away(x + mnw.win_x));
  const float py = static_cast<float>(round_half_away(y + mnw.win_y - 2) - 4);
  auto glyph = [&](unsigned char c) {
    int cs, ct;
    OGL_font_cell(c, cs, ct);
    glyph_quad(tex, c, px, py, static_cast<float>(cw), static_cast<float>(ch), cs, ct, 512.0f);
    px += 10;
  };
  if (value < 0 && n != 0) glyph('-');
  long long div = 1;
  for (int k = 1; k < count; ++k) div *= 10;
  for (int k = 0; k < count; ++k) {
    if (k == count - decimals && decimals > 0) glyph('.');
    glyph(static_cast<unsigned char>('0' + (n / div) % 10));
    div /= 10;
    if (div == 0) div = 1;
  }
  (void)digits;
}
