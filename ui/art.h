// The artwork built into the program: the interface images as arrays of
// 4-byte pixels (blue, green, red, alpha), drawn by code at start-up.
//
// Rows are stored bottom-up: row 0 is texture coordinate t = 0, the bottom
// of a quad drawn with it. Positions below are in texels of that layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct art_image {
  int w = 0, h = 0;
  std::vector<std::uint8_t> px;  // w * h * 4 bytes, blue, green, red, alpha
  std::uint8_t* at(int x, int y) { return &px[(static_cast<size_t>(y) * w + x) * 4]; }
  const std::uint8_t* at(int x, int y) const { return &px[(static_cast<size_t>(y) * w + x) * 4]; }
};

// The widget image (texture 388), 512 x 512: the font, the frame sprites,
// check box, option button, close boxes, cursor sprites and the palette.
art_image art_widget_image();
// The second font image (texture 387), 512 x 512, 13 x 13 cells.
art_image art_second_font_image();
// The interface image (texture 389), 1010 x 764: picture buttons (normal,
// hover below it, pressed below that), busy icons, logo.
art_image art_interface_image();
// The background pictures (textures 390 and 391), 1024 x 768.
art_image art_background_image(int which);

// --- Font: glyph bitmaps of the 14 x 15 cells; the baseline is cell row 4.
// The ink of a character the width table gives room fills its advance less
// one column of spacing (a one-column stroke sits in the middle of it).
// Characters the width table gives no room (double quote, braces, tilde,
// most accented letters) have glyphs too, shown where text is drawn as it
// is held; code 127 is the replacement glyph for characters the font lacks.
// Returns the ink mask of c's cell as 15 rows of 14 bits (bit x = column x),
// rows bottom-up; all zero for a character without a glyph.
void art_glyph_mask(unsigned char c, std::uint16_t rows[15]);
// One past the rightmost inked column of c's glyph; 0 when it has none.
int art_glyph_ink_width(unsigned char c);

// --- Widget sprite cells.
struct art_frame1_cell {
  int s, t, w, h, cap;  // cell, its size, and the width of each end cap
};
struct art_frame2_cell {
  int s, t, w, h;                    // cell and size
  int left, right, bottom, top;      // border widths of the nine-part box
};
art_frame1_cell art_frame1(int style);  // styles 0..10
art_frame2_cell art_frame2(int style);  // styles 11..20
// 18 x 18 sprites: kind 0 check box, 1 option button; `on` with its mark.
void art_bool_cell(int kind, int on, int& s, int& t);
// 18 x 18 close-box sprite, normal or pressed.
void art_close_cell(int pressed, int& s, int& t);

// --- Picture buttons of the interface image: the normal look's lower-left
// texel; hover is h + 1 texels lower and pressed 2 * (h + 1) lower.
struct art_button {
  int s, t, w, h;
};
constexpr art_button art_btn_destination{600, 320, 126, 22};
constexpr art_button art_btn_install{740, 320, 83, 22};
constexpr art_button art_btn_store{840, 320, 116, 22};
constexpr art_button art_btn_quit{600, 440, 51, 22};
constexpr art_button art_btn_decline{832, 166, 85, 22};
constexpr art_button art_btn_accept{918, 166, 59, 22};
// The logo, 128 x 132: the name and a swept wing over a round seat in which
// the main screen turns the busy globe. The seat is meant for the icon drawn
// at (art_logo_globe_x, art_logo_globe_y) from the logo's lower-left corner
// (the main screen draws the logo at (0, 595) and the globe at (29, 608)).
constexpr art_button art_logo{600, 500, 128, 132};
constexpr int art_logo_globe_x = 29, art_logo_globe_y = 13;
// Busy animation: icons 8 to 23 of the 64 x 64 icon grid (8 to a row,
// icon i at s = (i mod 8) * 64, t = (i div 8) * 64 + 66).
constexpr int art_busy_first = 8, art_busy_last = 23;
