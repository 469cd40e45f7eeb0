// The interface images, drawn by code: bevelled frames, sprites, picture
// buttons with their labels in the interface font, icons, the logo and the
// backgrounds. Everything is a plain pixel array; nothing here touches GL.
#include "ui/art.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "ui/oglp.h"

namespace {

struct RGBA {
  float r, g, b, a;
};

RGBA mix(RGBA p, RGBA q, float f) {
  return {p.r + (q.r - p.r) * f, p.g + (q.g - p.g) * f, p.b + (q.b - p.b) * f, p.a + (q.a - p.a) * f};
}
RGBA shade(RGBA p, float f) { return {std::min(1.f, p.r * f), std::min(1.f, p.g * f), std::min(1.f, p.b * f), p.a}; }

art_image blank(int w, int h) {
  art_image im;
  im.w = w;
  im.h = h;
  im.px.assign(static_cast<size_t>(w) * h * 4, 0);
  return im;
}

std::uint8_t to_byte(float v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.f, 1.f) * 255.f)); }

void put(art_image& im, int x, int y, RGBA c) {
  if (x < 0 || y < 0 || x >= im.w || y >= im.h) return;
  std::uint8_t* p = im.at(x, y);
  p[0] = to_byte(c.b);
  p[1] = to_byte(c.g);
  p[2] = to_byte(c.r);
  p[3] = to_byte(c.a);
}

// Blends c over the pixel (for text and marks drawn onto art).
void blend(art_image& im, int x, int y, RGBA c) {
  if (x < 0 || y < 0 || x >= im.w || y >= im.h) return;
  std::uint8_t* p = im.at(x, y);
  const float a = c.a, ia = 1 - a;
  p[0] = to_byte(c.b * a + p[0] / 255.f * ia);
  p[1] = to_byte(c.g * a + p[1] / 255.f * ia);
  p[2] = to_byte(c.r * a + p[2] / 255.f * ia);
  p[3] = to_byte(a + p[3] / 255.f * ia);
}

// A vertical gradient from `bottom` to `top`.
void gradient(art_image& im, int x, int y, int w, int h, RGBA bottom, RGBA top) {
  for (int j = 0; j < h; ++j) {
    const RGBA c = mix(bottom, top, h > 1 ? j / float(h - 1) : 0.f);
    for (int i = 0; i < w; ++i) put(im, x + i, y + j, c);
  }
}

// A bevelled box: `face` with a light top-left and dark bottom-right edge
// (reversed when sunken), `edge` pixels wide, and a 1-pixel outline.
void bevel(art_image& im, int x, int y, int w, int h, RGBA face, bool sunken, int edge = 2, bool outline = true) {
  gradient(im, x, y, w, h, shade(face, sunken ? 1.05f : 0.88f), shade(face, sunken ? 0.95f : 1.1f));
  const RGBA light = shade(face, 1.35f), dark = shade(face, 0.6f);
  const RGBA tl = sunken ? dark : light, br = sunken ? light : dark;
  for (int e = 0; e < edge; ++e) {
    for (int i = x + e; i < x + w - e; ++i) {
      put(im, i, y + h - 1 - e, tl);
      put(im, i, y + e, br);
    }
    for (int j = y + e; j < y + h - e; ++j) {
      put(im, x + e, j, tl);
      put(im, x + w - 1 - e, j, br);
    }
  }
  if (!outline) return;
  const RGBA line = {0.12f, 0.08f, 0.05f, 1};
  for (int i = x; i < x + w; ++i) {
    put(im, i, y, line);
    put(im, i, y + h - 1, line);
  }
  for (int j = y; j < y + h; ++j) {
    put(im, x, j, line);
    put(im, x + w - 1, j, line);
  }
}

// Text in the interface font with its baseline at y, scaled by `scale`.
int text_width(const std::string& s) { return str_dx(s); }
void text(art_image& im, int x, int y, const std::string& s, RGBA c, int scale = 1) {
  for (unsigned char ch : s) {
    std::uint16_t rows[15];
    art_glyph_mask(ch, rows);
    for (int r = 0; r < 15; ++r)
      for (int col = 0; col < 14; ++col)
        if (rows[r] >> col & 1)
          for (int sy = 0; sy < scale; ++sy)
            for (int sx = 0; sx < scale; ++sx) blend(im, x + col * scale + sx, y + (r - 4) * scale + sy, c);
    x += chr_dx(ch) * scale;
  }
}

void disc(art_image& im, float cx, float cy, float rad, RGBA c) {
  for (int j = int(cy - rad - 1); j <= int(cy + rad + 1); ++j)
    for (int i = int(cx - rad - 1); i <= int(cx + rad + 1); ++i) {
      const float d = std::hypot(i + 0.5f - cx, j + 0.5f - cy);
      const float cover = std::clamp(rad - d + 0.5f, 0.f, 1.f);
      if (cover > 0) blend(im, i, j, {c.r, c.g, c.b, c.a * cover});
    }
}

void ring(art_image& im, float cx, float cy, float rad, float width, RGBA c) {
  for (int j = int(cy - rad - 2); j <= int(cy + rad + 2); ++j)
    for (int i = int(cx - rad - 2); i <= int(cx + rad + 2); ++i) {
      const float d = std::fabs(std::hypot(i + 0.5f - cx, j + 0.5f - cy) - rad);
      const float cover = std::clamp(width / 2 - d + 0.5f, 0.f, 1.f);
      if (cover > 0) blend(im, i, j, {c.r, c.g, c.b, c.a * cover});
    }
}

void thick_line(art_image& im, float x1, float y1, float x2, float y2, float width, RGBA c) {
  const int steps = int(std::hypot(x2 - x1, y2 - y1) * 2) + 1;
  for (int k = 0; k <= steps; ++k) {
    const float f = k / float(steps);
    disc(im, x1 + (x2 - x1) * f, y1 + (y2 - y1) * f, width / 2, {c.r, c.g, c.b, c.a * 0.5f});
  }
}

constexpr RGBA kWindowFace{0.87f, 0.83f, 0.75f, 1};
constexpr RGBA kTitleBar{0.30f, 0.22f, 0.15f, 1};
constexpr RGBA kInk{0.16f, 0.11f, 0.07f, 1};

// ------------------------------------------------------------------ widget image

// Frame-1 sprites: 48 x 20 cells at (0, 24 * style + 2), caps 8 wide.
void draw_frame1(art_image& im, int style) {
  const art_frame1_cell c = art_frame1(style);
  switch (style) {
    case 2: bevel(im, c.s, c.t, c.w, c.h, {0.80f, 0.74f, 0.62f, 1}, false); break;  // button body
    case 3:                                                                     // lit overlay
      for (int j = 0; j < c.h; ++j)
        for (int i = 0; i < c.w; ++i) {
          const bool border = i < 2 || j < 2 || i >= c.w - 2 || j >= c.h - 2;
          put(im, c.s + i, c.t + j, border ? RGBA{1, 0.55f, 0.1f, 1} : RGBA{1, 0.75f, 0.3f, 0.35f});
        }
      break;
    case 4: bevel(im, c.s, c.t, c.w, c.h, {0.35f, 0.30f, 0.26f, 1}, true); break;   // progress trough
    case 5: bevel(im, c.s, c.t, c.w, c.h, {0.30f, 0.70f, 0.25f, 1}, false); break;  // progress fill
    case 6:                                                                     // number box
    case 9:                                                                     // text field
      bevel(im, c.s, c.t, c.w, c.h, {0.98f, 0.97f, 0.93f, 1}, true);
      break;
    case 10: {  // list box: dark face for its light text, a drop-down arrow in
                // the right cap, and a clear margin left of the box for its label
      bevel(im, c.s + 5, c.t, c.w - 5, c.h, {0.36f, 0.27f, 0.19f, 1}, false);
      const int ax = c.s + c.w - 5, ay = c.t + 11;
      for (int r = 0; r < 4; ++r)
        for (int i = -(3 - r); i <= 3 - r; ++i) put(im, ax + i, ay - r, {1, 1, 1, 1});
      break;
    }
    case 1: bevel(im, c.s, c.t, c.w, c.h, {0.55f, 0.45f, 0.35f, 1}, false, 1); break;  // bar
    default: bevel(im, c.s, c.t, c.w, c.h, {0.70f, 0.65f, 0.55f, 1}, false); break;
  }
}

void draw_frame2(art_image& im, int style) {
  const art_frame2_cell c = art_frame2(style);
  switch (style) {
    case 11:
    case 12:
    case 15: {  // window with a title bar
      bevel(im, c.s, c.t, c.w, c.h, kWindowFace, false, 2);
      gradient(im, c.s + 2, c.t + c.h - c.top, c.w - 4, c.top - 2, {0.25f, 0.18f, 0.12f, 1}, {0.45f, 0.34f, 0.24f, 1});
      for (int i = c.s; i < c.s + c.w; ++i) put(im, i, c.t + c.h - c.top, {0.12f, 0.08f, 0.05f, 1});
      break;
    }
    case 13:
    case 16: bevel(im, c.s, c.t, c.w, c.h, shade(kWindowFace, 0.95f), true, 1); break;  // panel
    case 14:                                                                     // tooltip
      bevel(im, c.s, c.t, c.w, c.h, {0.15f, 0.11f, 0.07f, 1}, false, 1);
      break;
    case 20:  // box on the main screen
      for (int j = 0; j < c.h; ++j)
        for (int i = 0; i < c.w; ++i) {
          const bool edge = i < 2 || j < 2 || i >= c.w - 2 || j >= c.h - 2;
          put(im, c.s + i, c.t + j, edge ? RGBA{0.35f, 0.26f, 0.18f, 1} : RGBA{0.97f, 0.95f, 0.90f, 0.82f});
        }
      break;
    default: bevel(im, c.s, c.t, c.w, c.h, shade(kWindowFace, 0.9f), false, 2); break;
  }
}

void draw_bools(art_image& im) {
  for (int on = 0; on < 2; ++on) {
    int s, t;
    art_bool_cell(0, on, s, t);  // check box
    bevel(im, s + 2, t + 2, 14, 14, {0.98f, 0.97f, 0.93f, 1}, true);
    if (on) {
      thick_line(im, s + 5, t + 9, s + 8, t + 5.5f, 2.2f, kInk);
      thick_line(im, s + 8, t + 5.5f, s + 13.5f, t + 13, 2.2f, kInk);
    }
    art_bool_cell(1, on, s, t);  // option button
    disc(im, s + 9, t + 9, 7.5f, {0.12f, 0.08f, 0.05f, 1});
    disc(im, s + 9, t + 9, 6.5f, {0.98f, 0.97f, 0.93f, 1});
    if (on) disc(im, s + 9, t + 9, 3.5f, kInk);
  }
  for (int pressed = 0; pressed < 2; ++pressed) {
    int s, t;
    art_close_cell(pressed, s, t);
    bevel(im, s + 1, t + 1, 16, 16, pressed ? RGBA{0.45f, 0.12f, 0.08f, 1} : RGBA{0.75f, 0.22f, 0.15f, 1},
          pressed != 0);
    const float o = pressed ? 0.5f : 0.f;
    thick_line(im, s + 5 + o, t + 5 - o, s + 13 + o, t + 13 - o, 2.f, {1, 1, 1, 1});
    thick_line(im, s + 5 + o, t + 13 - o, s + 13 + o, t + 5 - o, 2.f, {1, 1, 1, 1});
  }
}

// Cursor sprites: 30 x 30 cells at (200 + 32 column, 293 + 32 row).
void draw_cursors(art_image& im) {
  const RGBA white{1, 1, 1, 1}, black{0, 0, 0, 1};
  for (int row = 0; row < 2; ++row)
    for (int col = -1; col <= 5; ++col) {
      const float x = 200 + 32 * col, y = 293 + 32 * row;
      const float cx = x + 15, cy = y + 15;
      if (col == -1) {  // number-field cursors: up (row 1, add) and down (row 0, subtract)
        const float d = row == 1 ? 1.f : -1.f;
        for (int pass = 0; pass < 2; ++pass) {
          const RGBA c = pass ? white : black;
          const float w = pass ? 2.f : 4.f;
          thick_line(im, cx, cy - 9 * d, cx, cy + 9 * d, w, c);
          thick_line(im, cx, cy + 9 * d, cx - 6, cy + 3 * d, w, c);
          thick_line(im, cx, cy + 9 * d, cx + 6, cy + 3 * d, w, c);
        }
        continue;
      }
      // The others: a four-way cross; dragging variants (columns 5) filled.
      for (int pass = 0; pass < 2; ++pass) {
        const RGBA c = pass ? white : black;
        const float w = pass ? 2.f : 4.f;
        thick_line(im, cx - 10, cy, cx + 10, cy, w, c);
        thick_line(im, cx, cy - 10, cx, cy + 10, w, c);
      }
      if (col == 5) disc(im, cx, cy, 3, white);
    }
}

void draw_palette(art_image& im) {
  struct P {
    int x, row;
    float r, g, b;
  };
  static const P kPal[] = {
      {319, 155, 0.337f, 0.263f, 0.200f}, {319, 147, 0.286f, 0.306f, 0.306f}, {319, 139, 0.173f, 0.106f, 0.051f},
      {319, 131, 0.475f, 0.494f, 0.490f}, {319, 123, 1.0f, 1.0f, 1.0f},       {319, 115, 0.933f, 0.933f, 0.933f},
      {319, 107, 0.173f, 0.106f, 0.051f}, {319, 99, 0.431f, 0.388f, 0.365f},  {319, 91, 0.208f, 0.161f, 0.133f},
      {319, 83, 0.204f, 0.173f, 0.153f},  {319, 75, 0.208f, 0.169f, 0.141f},  {319, 67, 0.686f, 0.863f, 0.498f},
      {395, 115, 0.863f, 0.863f, 0.863f},
  };
  for (const P& p : kPal) {
    // A 5 x 5 swatch centred on the pixel that is read.
    for (int j = -2; j <= 2; ++j)
      for (int i = -2; i <= 2; ++i) put(im, p.x + i, p.row + j, {p.r, p.g, p.b, 1});
  }
}

void draw_font(art_image& im) {
  for (int c = 32; c < 256; ++c) {
    int s, t;
    OGL_font_cell(static_cast<unsigned char>(c), s, t);
    std::uint16_t rows[15];
    art_glyph_mask(static_cast<unsigned char>(c), rows);
    for (int r = 0; r < 15; ++r)
      for (int col = 0; col < 14; ++col)
        if (rows[r] >> col & 1) put(im, s + col, t + r, {1, 1, 1, 1});
  }
}

// ------------------------------------------------------------- interface image

void picture_button(art_image& im, const art_button& b, const std::string& label, RGBA face) {
  for (int state = 0; state < 3; ++state) {
    const int t = b.t - state * (b.h + 1);
    const RGBA f = state == 1 ? shade(face, 1.18f) : state == 2 ? shade(face, 0.78f) : face;
    bevel(im, b.s, t, b.w, b.h, f, state == 2);
    const int off = state == 2 ? 1 : 0;
    const int tx = b.s + (b.w - text_width(label)) / 2 + off;
    text(im, tx + 1, t + 7 - off, label, {0, 0, 0, 0.45f});  // shadow
    text(im, tx, t + 8 - off, label, {1, 1, 1, 1});
  }
}

void busy_icons(art_image& im) {
  for (int i = art_busy_first; i <= art_busy_last; ++i) {
    const int s = (i % 8) * 64, t = (i / 8) * 64 + 66;
    const float cx = s + 32, cy = t + 32;
    disc(im, cx, cy, 24, {0.20f, 0.45f, 0.75f, 1});           // globe
    ring(im, cx, cy, 24, 2, {0.10f, 0.20f, 0.35f, 1});
    ring(im, cx, cy, 12, 1.2f, {0.75f, 0.85f, 1.0f, 0.8f});  // a meridian band
    thick_line(im, cx - 24, cy, cx + 24, cy, 1.2f, {0.75f, 0.85f, 1.0f, 0.8f});
    const float a = (i - art_busy_first) * 6.2831853f / 16.f;
    const float px = cx + 27 * std::cos(a), py = cy + 27 * std::sin(a);
    disc(im, px, py, 4.5f, {1.0f, 0.75f, 0.2f, 1});           // the orbiting aircraft
    disc(im, px, py, 2.0f, {1, 1, 1, 1});
  }
}

void logo(art_image& im) {
  const art_button& l = art_logo;
  bevel(im, l.s, l.t, l.w, l.h, {0.22f, 0.36f, 0.60f, 1}, false, 2);
  gradient(im, l.s + 2, l.t + 2, l.w - 4, l.h - 4, {0.35f, 0.55f, 0.85f, 1}, {0.18f, 0.30f, 0.52f, 1});
  // The globe's seat: a dark round window with a light rim, wide enough for
  // the globe and the aircraft circling it (27 + 4.5 units from its centre).
  const float gx = l.s + art_logo_globe_x + 32, gy = l.t + art_logo_globe_y + 32;
  disc(im, gx, gy, 33, {0.10f, 0.18f, 0.32f, 1});
  ring(im, gx, gy, 33.5f, 1.6f, {0.70f, 0.80f, 0.95f, 1});
  // The name above the seat, and over it an aircraft seen from above,
  // climbing to the right: fuselage, swept wings and tailplane.
  const std::string name = "SKYVANE";
  text(im, l.s + (l.w - 2 * text_width(name)) / 2, l.t + 88, name, {1, 1, 1, 1}, 2);
  const RGBA white{1, 1, 1, 1};
  const float wx = l.s + 64, wy = l.t + 116;
  thick_line(im, wx - 24, wy - 3, wx + 24, wy + 3, 3, white);  // fuselage
  thick_line(im, wx + 6, wy + 1, wx - 6, wy + 11, 3, white);   // wings
  thick_line(im, wx + 6, wy + 1, wx - 4, wy - 9, 3, white);
  thick_line(im, wx - 18, wy - 2, wx - 24, wy + 4, 2, white);  // tailplane
  thick_line(im, wx - 18, wy - 2, wx - 22, wy - 7, 2, white);
}

}  // namespace

// ----------------------------------------------------------------- cell tables

art_frame1_cell art_frame1(int style) { return {0, 24 * style + 2, 48, 20, 8}; }

art_frame2_cell art_frame2(int style) {
  const int k = style - 11;
  const int top = (style == 11 || style == 12 || style == 15) ? 24 : 8;
  return {56 + (k % 2) * 52, (k / 2) * 52, 48, 48, 8, 8, 8, top};
}

void art_bool_cell(int kind, int on, int& s, int& t) {
  s = 164 + (kind * 2 + on) * 20;
  t = 0;
}

void art_close_cell(int pressed, int& s, int& t) {
  s = 164 + (4 + pressed) * 20;
  t = 0;
}

// ---------------------------------------------------------------------- images

art_image art_widget_image() {
  art_image im = blank(512, 512);
  for (int style = 0; style <= 10; ++style) draw_frame1(im, style);
  for (int style = 11; style <= 20; ++style) draw_frame2(im, style);
  draw_bools(im);
  draw_cursors(im);
  draw_font(im);
  draw_palette(im);
  return im;
}

art_image art_second_font_image() {
  art_image im = blank(512, 512);
  for (int c = 32; c < 256; ++c) {
    const int s = (c % 40) * 13, t = (c / 40) * 13;
    std::uint16_t rows[15];
    art_glyph_mask(static_cast<unsigned char>(c), rows);
    for (int r = 2; r < 15; ++r)
      for (int col = 0; col < 13; ++col)
        if (rows[r] >> col & 1) put(im, s + col, t + r - 2, {1, 1, 1, 1});
  }
  return im;
}

art_image art_interface_image() {
  art_image im = blank(1010, 764);
  picture_button(im, art_btn_destination, "DESTINATION", {0.20f, 0.38f, 0.70f, 1});
  picture_button(im, art_btn_install, "INSTALL", {0.15f, 0.55f, 0.20f, 1});
  picture_button(im, art_btn_store, "ONLINE STORE", {0.70f, 0.50f, 0.10f, 1});
  picture_button(im, art_btn_quit, "QUIT", {0.70f, 0.15f, 0.12f, 1});
  picture_button(im, art_btn_decline, "DECLINE", {0.65f, 0.18f, 0.14f, 1});
  picture_button(im, art_btn_accept, "ACCEPT", {0.15f, 0.50f, 0.20f, 1});
  busy_icons(im);
  logo(im);
  return im;
}

art_image art_background_image(int which) {
  art_image im = blank(1024, 768);
  // A pale sky over a hazy horizon; the second picture is a dusk variant.
  const RGBA sky_top = which == 0 ? RGBA{0.62f, 0.78f, 0.95f, 1} : RGBA{0.55f, 0.50f, 0.70f, 1};
  const RGBA sky_low = which == 0 ? RGBA{0.93f, 0.95f, 0.97f, 1} : RGBA{0.95f, 0.80f, 0.65f, 1};
  const RGBA ground_top{0.88f, 0.86f, 0.78f, 1}, ground_low{0.78f, 0.74f, 0.62f, 1};
  const int horizon = 260;
  gradient(im, 0, 0, 1024, horizon, ground_low, ground_top);
  gradient(im, 0, horizon, 1024, 768 - horizon, sky_low, sky_top);
  // Soft hills along the horizon.
  for (int x = 0; x < 1024; ++x) {
    const int h = int(18 + 12 * std::sin(x * 0.011f) + 7 * std::sin(x * 0.031f + 1.3f));
    for (int y = horizon; y < horizon + h; ++y) put(im, x, y, {0.80f, 0.84f, 0.80f, 1});
  }
  // A few light clouds.
  const float clouds[][3] = {{220, 560, 40}, {260, 575, 32}, {700, 640, 46}, {745, 628, 34}, {880, 480, 28}};
  for (const auto& c : clouds) disc(im, c[0], c[1], c[2], {1, 1, 1, 0.55f});
  return im;
}
