#include <gtest/gtest.h>

#include <set>

#include "tests/ui/ui_fixture.h"
#include "ui/art.h"

using ui_test::UiTest;

namespace {

using TextTest = UiTest;

// The x of every glyph drawn, relative to the first.
std::vector<float> glyph_x(const std::vector<ui_test::Quad>& g) {
  std::vector<float> xs;
  for (const auto& q : g) xs.push_back(q.v[0].x);
  return xs;
}

TEST(WidthTable, AdvancesOfRepresentativeCharacters) {
  EXPECT_EQ(chr_dx('"'), 0);
  EXPECT_EQ(chr_dx('{'), 0);
  EXPECT_EQ(chr_dx('~'), 0);
  EXPECT_EQ(chr_dx(10), 0);
  EXPECT_EQ(chr_dx(200), 0);
  EXPECT_EQ(chr_dx('.'), 2);
  EXPECT_EQ(chr_dx(' '), 3);
  EXPECT_EQ(chr_dx('|'), 3);
  EXPECT_EQ(chr_dx(251), 3);
  EXPECT_EQ(chr_dx('t'), 4);
  EXPECT_EQ(chr_dx('c'), 5);
  EXPECT_EQ(chr_dx('7'), 6);
  EXPECT_EQ(chr_dx(241), 6);
  EXPECT_EQ(chr_dx('u'), 7);
  EXPECT_EQ(chr_dx('N'), 8);
  EXPECT_EQ(chr_dx('@'), 9);
  EXPECT_EQ(chr_dx('m'), 10);
  EXPECT_EQ(chr_dx('W'), 11);
  EXPECT_EQ(str_dx("Skyvane"), 6 + 6 + 6 + 6 + 6 + 7 + 6);
}

// The ink of every printable character fills its advance less one column
// of spacing, so that letters sit evenly in a word ("Skyvane", not
// "Sk yvane"); a one-column stroke ("I", ":") stands in the middle of its
// advance. Characters the width table gives no room start at the cell's
// left edge and take their ink width plus one column where they are shown.
TEST(Font, EachGlyphFillsItsAdvanceLessOneColumn) {
  for (int c = 33; c < 256; ++c) {
    std::uint16_t rows[15];
    art_glyph_mask(static_cast<unsigned char>(c), rows);
    int x0 = 14, x1 = 0;
    for (int r = 0; r < 15; ++r)
      for (int x = 0; x < 14; ++x)
        if (rows[r] >> x & 1) {
          x0 = std::min(x0, x);
          x1 = std::max(x1, x + 1);
        }
    const int adv = chr_dx(static_cast<unsigned char>(c));
    if (adv == 0) {
      if (x1 == 0) continue;  // no glyph: shown as the replacement glyph
      EXPECT_EQ(x0, 0) << "character " << c;
      EXPECT_EQ(chr_dx_shown(static_cast<unsigned char>(c)), x1 + 1) << "character " << c;
      continue;
    }
    ASSERT_GT(x1, 0) << "character " << c << " takes room but shows nothing";
    if (x1 - x0 == 1 && adv > 2) {
      EXPECT_EQ(x0, (adv - 1) / 2) << "character " << c << ": a one-column stroke stands in the middle";
    } else {
      EXPECT_EQ(x0, 0) << "character " << c;
      EXPECT_EQ(x1, adv - 1) << "character " << c << ": ink " << x1 << " columns wide in an advance of " << adv;
    }
  }
  // Letters that could be confused look different.
  std::uint16_t I[15], l[15], one[15];
  art_glyph_mask('I', I);
  art_glyph_mask('l', l);
  art_glyph_mask('1', one);
  EXPECT_NE(std::vector<std::uint16_t>(I, I + 15), std::vector<std::uint16_t>(l, l + 15));
  EXPECT_NE(std::vector<std::uint16_t>(l, l + 15), std::vector<std::uint16_t>(one, one + 15));
}

TEST_F(TextTest, OneLineAdvancesByTheWidthTableAndSkipsControls) {
  OGL_string(45, 100, 50, "Ab\tc", 0, charset_prop, 0);
  const auto g = rec.glyphs();
  ASSERT_EQ(g.size(), 3u);
  EXPECT_EQ(glyph_x(g), (std::vector<float>{100, 108, 115}));
  EXPECT_FLOAT_EQ(g[0].v[0].y, 50 - 2 - 4);  // baseline 2 below y; the cell starts 4 below it
}

TEST_F(TextTest, JustificationUsesProportionalWidthEvenForFixedFont) {
  OGL_string(45, 200, 50, "mm", 0, charset_prop, 1);  // width 20: starts 10 left of x
  OGL_string(45, 200, 80, "mm", 0, charset_prop, 2);
  OGL_string(45, 200, 110, "mm", 0, charset_fixed, 1);  // drawn 20 wide, centred by 20
  OGL_string(45, 200, 140, "ii", 0, charset_fixed, 1);  // drawn 20 wide, centred by 6
  const auto g = rec.glyphs();
  ASSERT_EQ(g.size(), 8u);
  EXPECT_EQ(glyph_x(g), (std::vector<float>{190, 200, 180, 190, 190, 200, 197, 207}));
}

TEST_F(TextTest, WindowOriginIsAdded) {
  MACIBM_startwind(995);  // 420 x 250, centred
  EXPECT_FLOAT_EQ(mnw.win_x, 302);
  EXPECT_FLOAT_EQ(mnw.win_y, 259);
  rec.clear_log();
  OGL_string(45, 10, 20, "A", 0, charset_prop, 0);
  OGL_fillrect(8, 1, 1, 2, 3, 4);
  ASSERT_EQ(rec.glyphs().size(), 1u);
  EXPECT_FLOAT_EQ(rec.glyphs()[0].v[0].x, 312);
  EXPECT_FLOAT_EQ(rec.fills.back().x1, 303);
  EXPECT_FLOAT_EQ(rec.fills.back().y2, 265);
}

// Lines drawn by a wrapped string: their y values, top to bottom.
std::vector<float> line_ys(const ui_test::Recorder& r) {
  std::vector<float> ys;
  for (const auto& q : r.glyphs())
    if (ys.empty() || ys.back() != q.v[0].y) ys.push_back(q.v[0].y);
  return ys;
}

TEST_F(TextTest, WrappingBreaksAfterSpacesHyphensAndSlashes) {
  // "aaaa " is 27 units; the look-ahead counts 6 units a character, so the
  // next word of 4 letters (24) passes a width of 40 and wraps.
  const float next = OGL_string(45, 0, 100, "aaaa bbbb-cccc/dddd", 40, charset_prop, 0);
  EXPECT_EQ(line_ys(rec), (std::vector<float>{94, 84, 74, 64}));
  EXPECT_FLOAT_EQ(next, 60);  // 10 units per line drawn
  // A line feed always breaks; the look-ahead's 6 units make narrow text
  // wrap early: "iiii" is 12 units but counts as 24.
  rec.clear_log();
  OGL_string(45, 0, 100, "ab\ncd iiii", 20, charset_prop, 0);
  EXPECT_EQ(line_ys(rec).size(), 3u);
}

TEST_F(TextTest, LongWordOverflowsAndSingleLineModeIgnoresLineFeeds) {
  OGL_string(45, 0, 100, "WWWWWWWWWW", 30, charset_prop, 0);
  EXPECT_EQ(line_ys(rec).size(), 1u);
  EXPECT_FLOAT_EQ(rec.glyphs().back().v[0].x, 99);  // not split: runs past the width
  rec.clear_log();
  const float next = OGL_string(45, 0, 100, "one\ntwo", 9999, charset_prop, 0);
  EXPECT_EQ(line_ys(rec).size(), 1u);
  EXPECT_EQ(rec.glyphs().size(), 6u);
  EXPECT_FLOAT_EQ(next, 90);
}

TEST_F(TextTest, NumbersDrawDigitsSignAndPoint) {
  OGL_number(45, 0, 0, -3.25f, 4, 2, charset_fixed);
  const auto g = rec.glyphs();
  ASSERT_EQ(g.size(), 5u);  // "-", "3", ".", "2", "5"
  int s, t;
  OGL_font_cell('-', s, t);
  EXPECT_FLOAT_EQ(g[0].v[0].s, s / 512.0f);
  OGL_font_cell('.', s, t);
  EXPECT_FLOAT_EQ(g[2].v[0].s, s / 512.0f);
  EXPECT_FLOAT_EQ(g[4].v[0].x - g[0].v[0].x, 40);
  rec.clear_log();
  OGL_number(45, 0, 0, 7, 3, 0, charset_fixed);
  EXPECT_EQ(rec.glyphs().size(), 1u);  // no leading zeros
  rec.clear_log();
  OGL_number(45, 0, 0, 3e30f, 3, 2, charset_fixed);  // beyond ten digits: nines, no garbage
  const auto big = rec.glyphs();
  ASSERT_EQ(big.size(), 11u);  // ten digits and the point
  OGL_font_cell('9', s, t);
  EXPECT_FLOAT_EQ(big[0].v[0].s, s / 512.0f);
}

TEST_F(TextTest, ClippingRectangleIsRoundedAndNeverNegative) {
  OGL_scissors(10.4f, 20.6f, 30.5f, -5);
  ASSERT_EQ(rec.scissors.size(), 1u);
  EXPECT_EQ(rec.scissors[0].on, 1);
  EXPECT_EQ(rec.scissors[0].x, 10);
  EXPECT_EQ(rec.scissors[0].y, 21);
  EXPECT_EQ(rec.scissors[0].w, 31);
  EXPECT_EQ(rec.scissors[0].h, 0);
  OGL_scissors_end();
  EXPECT_EQ(rec.scissors.back().on, 0);
}

// Text shown as held: every character of a path draws a glyph, UTF-8 is
// read as the font's Latin-1, and a character the font lacks is one
// replacement glyph. The program's own texts keep the width table.
TEST_F(TextTest, TextShownAsHeldDrawsEveryCharacter) {
  const std::string path = "/home/pilot/Fl\xc3\xbcge/~\"{a}\"";  // ü in UTF-8, a tilde, quotes, braces
  rec.clear_log();
  OGL_string(45, 0, 100, path, 0, charset_shown, 0);
  const auto shown = rec.glyphs();
  // One glyph per character: the two bytes of "ü" make one.
  ASSERT_EQ(shown.size(), 24u);
  int s252, t252, s_tilde, t_tilde;
  OGL_font_cell(252, s252, t252);
  OGL_font_cell('~', s_tilde, t_tilde);
  EXPECT_NEAR(shown[14].v[0].s * 512, s252, 0.01);
  EXPECT_NEAR(shown[18].v[0].s * 512, s_tilde, 0.01);
  // Each glyph starts where the last one's advance ends: nothing overlaps.
  for (size_t k = 1; k < shown.size(); ++k) EXPECT_GT(shown[k].v[0].x, shown[k - 1].v[0].x) << k;
  EXPECT_EQ(str_dx_shown(path), str_dx_shown("/home/pilot/Flxge/~\"{a}\"") - chr_dx_shown('x') + chr_dx_shown(252));
  EXPECT_GT(chr_dx_shown('~'), 0);
  EXPECT_GT(chr_dx_shown('"'), 0);
  // A character beyond Latin-1 (an aircraft sign) and a control character:
  // one replacement glyph each.
  rec.clear_log();
  OGL_string(45, 0, 100, "a\xe2\x9c\x88" "b\x01", 0, charset_shown, 0);
  const auto replaced = rec.glyphs();
  ASSERT_EQ(replaced.size(), 4u);
  int s127, t127;
  OGL_font_cell(127, s127, t127);
  EXPECT_NEAR(replaced[1].v[0].s * 512, s127, 0.01);
  EXPECT_NEAR(replaced[3].v[0].s * 512, s127, 0.01);
  // The program's own texts: quotes and braces still take no room and draw nothing.
  rec.clear_log();
  OGL_string(45, 0, 100, "\"a{b}\"", 0, charset_prop, 0);
  EXPECT_EQ(rec.glyphs().size(), 2u);
  EXPECT_EQ(str_dx("\"a{b}\""), chr_dx('a') + chr_dx('b'));
}

TEST(TextShown, LongPathsKeepTheirEndCutBetweenWholeCharacters) {
  const std::string path = "/home/pilot/\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc/Aerodeck/";
  EXPECT_EQ(OGL_shown_tail(path, 1000), path);
  for (int width = 40; width < str_dx_shown(path); ++width) {
    const std::string tail = OGL_shown_tail(path, width);
    ASSERT_EQ(tail.compare(0, 3, "..."), 0);
    EXPECT_LE(str_dx_shown(tail), width) << width;
    EXPECT_EQ(path.compare(path.size() - (tail.size() - 3), tail.size() - 3, tail.substr(3)), 0);
    EXPECT_EQ(OGL_shown_codes(tail).find('\x7f'), std::string::npos) << "a character was cut at " << width;
  }
}

using TextDeathTest = TextTest;
TEST_F(TextDeathTest, BadCharsetIsFatal) {
  EXPECT_EXIT(OGL_string(45, 0, 0, "x", 0, 104, 0), ::testing::ExitedWithCode(1), "String proc with bad charset!");
}

// ------------------------------------------------------------------- colours

TEST(ColourRule, LightingFadeAndNightVision) {
  colr_class c;
  float out[4];
  c.r_manual_liting = 0.5f;
  c.resolve(45, 1.0f, out);  // lit: index up to 45
  EXPECT_FLOAT_EQ(out[0], c.col_rgb[45][0] * 0.5f);
  c.resolve(1, 1.0f, out);
  EXPECT_FLOAT_EQ(out[0], 0.5f);
  c.resolve(46, 1.0f, out);  // above 45: not lit
  EXPECT_FLOAT_EQ(out[0], c.col_rgb[46][0]);
  c.resolve(1, 0.995f, out);  // nearly opaque becomes opaque
  EXPECT_FLOAT_EQ(out[3], 1.0f);
  current_alpha = 0.5f;
  c.resolve(1, 1.0f, out);
  EXPECT_FLOAT_EQ(out[3], 0.5f);
  current_alpha = 1.0f;
  night_vision_on = 1;
  c.resolve(8, 1.0f, out);  // (1.0, 0.8, 0.2) sums past 1: clamped
  EXPECT_FLOAT_EQ(out[0], 0);
  EXPECT_FLOAT_EQ(out[1], 1.0f);
  EXPECT_FLOAT_EQ(out[2], 0);
  night_vision_on = 0;
  EXPECT_FLOAT_EQ(c.col_rgb[13][1], 0.4f);
  EXPECT_FLOAT_EQ(c.col_rgb[101][2], 0.9f);
  EXPECT_FLOAT_EQ(c.col_rgb[11][0], 0);
}

TEST(ColourRule, PaletteFromTheWidgetImageYieldsTheListedColours) {
  const art_image im = art_widget_image();
  ASSERT_EQ(im.w, 512);
  ASSERT_EQ(im.h, 512);
  colr_class c;
  c.take_palette(im.px.data());
  const struct {
    int i;
    float r, g, b;
  } want[] = {{34, 0.337f, 0.263f, 0.200f}, {35, 0.286f, 0.306f, 0.306f}, {36, 0.173f, 0.106f, 0.051f},
              {37, 0.475f, 0.494f, 0.490f}, {38, 1, 1, 1},                  {40, 0.933f, 0.933f, 0.933f},
              {41, 0.173f, 0.106f, 0.051f}, {42, 0.431f, 0.388f, 0.365f}, {43, 0.208f, 0.161f, 0.133f},
              {44, 0.863f, 0.863f, 0.863f}, {45, 0.204f, 0.173f, 0.153f}, {46, 0.208f, 0.169f, 0.141f},
              {47, 0.686f, 0.863f, 0.498f}};
  for (const auto& w : want) {
    EXPECT_NEAR(c.col_rgb[w.i][0], w.r, 0.002f) << w.i;
    EXPECT_NEAR(c.col_rgb[w.i][1], w.g, 0.002f) << w.i;
    EXPECT_NEAR(c.col_rgb[w.i][2], w.b, 0.002f) << w.i;
  }
  EXPECT_NEAR(c.col_rgb[39][0], (0.286f + 1) / 2, 0.002f);
}

TEST(Artwork, ImagesHaveTheirSizesAndButtonsTheirThreeLooks) {
  const art_image ui = art_interface_image();
  EXPECT_EQ(ui.w, 1010);
  EXPECT_EQ(ui.h, 764);
  EXPECT_EQ(art_background_image(0).w, 1024);
  EXPECT_EQ(art_background_image(1).h, 768);
  // Normal, hover and pressed looks of each button differ from one another.
  for (const art_button& b : {art_btn_destination, art_btn_install, art_btn_store, art_btn_quit, art_btn_decline,
                              art_btn_accept}) {
    std::set<std::vector<std::uint8_t>> looks;
    for (int state = 0; state < 3; ++state) {
      std::vector<std::uint8_t> px;
      const int t = b.t - state * (b.h + 1);
      for (int y = t; y < t + b.h; ++y)
        for (int x = b.s; x < b.s + b.w; ++x) px.insert(px.end(), ui.at(x, y), ui.at(x, y) + 4);
      EXPECT_EQ(ui.at(b.s + 3, t + 3)[3], 255);  // opaque
      looks.insert(px);
    }
    EXPECT_EQ(looks.size(), 3u);
  }
}

// The busy globe turns in the logo's seat: wherever the animation puts the
// globe and its aircraft, they cover none of the logo's white name and wing,
// and they stay inside the logo.
TEST(Artwork, TheBusyGlobeSitsInTheLogosSeatAndCoversNoneOfItsName) {
  const art_image ui = art_interface_image();
  const art_button& l = art_logo;
  int white = 0;  // the name and the wing are white ink
  for (int y = 0; y < l.h; ++y)
    for (int x = 0; x < l.w; ++x) {
      const std::uint8_t* p = ui.at(l.s + x, l.t + y);
      white += p[0] > 230 && p[1] > 230 && p[2] > 230;
    }
  ASSERT_GT(white, 150);  // "SKYVANE" at twice the font's size, and the wing
  for (int i = art_busy_first; i <= art_busy_last; ++i) {
    const int s = (i % 8) * 64, t = (i / 8) * 64 + 66;
    int covered = 0, outside = 0;
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x) {
        if (ui.at(s + x, t + y)[3] < 40) continue;  // the icon is clear here
        const int lx = art_logo_globe_x + x, ly = art_logo_globe_y + y;
        if (lx < 0 || ly < 0 || lx >= l.w || ly >= l.h) {
          ++outside;
          continue;
        }
        const std::uint8_t* p = ui.at(l.s + lx, l.t + ly);
        covered += p[0] > 230 && p[1] > 230 && p[2] > 230;
      }
    EXPECT_EQ(covered, 0) << "icon " << i << " covers the logo's name or wing";
    EXPECT_EQ(outside, 0) << "icon " << i << " reaches beyond the logo";
  }
}

}  // namespace
