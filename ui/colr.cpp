#include "ui/colr.h"

#include <algorithm>
#include <cstring>

#include "ui/oglp.h"

colr_class colr;
float current_alpha = 1.0f;
int night_vision_on = 0;

namespace {

struct Fixed {
  int i;
  float r, g, b;
};

// The fixed entries; every other entry starts black.
constexpr Fixed kFixed[] = {
    {0, 1, 1, 1},          {1, 1.0f, 0.2f, 0.2f},  {2, 1.0f, 1.0f, 0.2f},  {3, 0.7f, 0.7f, 0.7f},
    {4, 0.8f, 0, 0},       {5, 1, 1, 0},           {6, 0.3f, 0.3f, 0.3f},  {7, 0.2f, 0, 0},
    {8, 1.0f, 0.8f, 0.2f}, {9, 0.1f, 0.1f, 0.1f},  {10, 0, 0.8f, 0},       {13, 0, 0.4f, 0},
    {15, 0.4f, 0.4f, 1.0f}, {17, 0, 0, 0.6f},      {18, 0.9f, 0.9f, 0.9f}, {19, 0.8f, 0.1f, 0.1f},
    {20, 0.9f, 0.9f, 1.0f}, {21, 0.9f, 0.9f, 0.9f}, {22, 0.1f, 0.1f, 0.1f}, {24, 1, 1, 0},
    {26, 1, 1, 1},         {27, 1, 1, 1},          {28, 1, 1, 1},          {29, 1, 1, 0},
    {31, 1, 1, 1},         {32, 1, 1, 1},          {33, 1, 1, 1},          {49, 1, 1, 1},
    {50, 0.4f, 1.0f, 0.4f}, {51, 1.0f, 0.4f, 0.4f}, {52, 1.0f, 1.0f, 0.6f}, {53, 0.7f, 0.7f, 1.0f},
    {54, 1.0f, 0.5f, 0},   {55, 0.8f, 0.8f, 0.8f}, {56, 0, 1, 0},          {57, 1.0f, 0.2f, 0.2f},
    {58, 1.0f, 1.0f, 0.2f}, {59, 0.4f, 0.4f, 1.0f}, {60, 0.5f, 0.3f, 0},    {61, 0.5f, 0.5f, 0.5f},
    {62, 0, 0.6f, 0},      {63, 0.6f, 0.2f, 0},    {64, 1, 1, 0},          {65, 0.2f, 0.2f, 0.8f},
    {66, 1.0f, 0.2f, 1.0f}, {67, 0.2f, 0.2f, 0.2f}, {68, 0, 0.2f, 0},       {69, 1, 0, 0},
    {70, 0.6f, 0.6f, 0},   {71, 0.15f, 0.15f, 0.6f}, {72, 0.49f, 0.43f, 0.24f}, {74, 0, 0.1f, 0},
    {75, 1, 0, 1},         {76, 0, 1, 1},          {77, 0.44f, 0.53f, 0.54f}, {84, 1, 0, 1},
    {86, 1, 0, 1},         {87, 1, 1, 1},          {96, 0.5f, 0.5f, 0.4f}, {97, 1.0f, 0.3f, 0},
    {98, 0.5f, 0.5f, 0.4f}, {99, 0.8f, 0.8f, 0.7f}, {100, 0, 0.6f, 0.2f},  {101, 1.0f, 1.0f, 0.9f},
};

// Where the palette entries sit in the widget image: (entry, x, row).
struct PalettePixel {
  int i, x, row;
};
constexpr PalettePixel kPalette[] = {
    {34, 319, 155}, {35, 319, 147}, {36, 319, 139}, {37, 319, 131}, {38, 319, 123}, {40, 319, 115},
    {41, 319, 107}, {42, 319, 99},  {43, 319, 91},  {45, 319, 83},  {46, 319, 75},  {47, 319, 67},
    {44, 395, 115},
};

}  // namespace

void colr_class::reset() {
  std::memset(win_gamma, 0, sizeof win_gamma);
  std::memset(col_rgb, 0, sizeof col_rgb);
  r_manual_liting = g_manual_liting = b_manual_liting = 1.0f;
  pulse_alpha = spectrum_min = spectrum_max = spectrum_del = 0.0f;
  for (const Fixed& f : kFixed) assign(f.i, f.r, f.g, f.b);
}

void colr_class::assign(int i, float r, float g, float b) {
  if (i < 0 || i >= kEntries) return;
  col_rgb[i][0] = r;
  col_rgb[i][1] = g;
  col_rgb[i][2] = b;
}

void colr_class::resolve(int i, float alpha, float out[4]) const {
  if (i < 0 || i >= kEntries) i = 0;
  float r = col_rgb[i][0], g = col_rgb[i][1], b = col_rgb[i][2];
  if (i <= 45) {
    r *= r_manual_liting;
    g *= g_manual_liting;
    b *= b_manual_liting;
  }
  alpha *= current_alpha;
  if (night_vision_on) {
    const float v = std::clamp(r + g + b, 0.01f, 1.0f);
    r = 0;
    g = v;
    b = 0;
  }
  out[0] = r;
  out[1] = g;
  out[2] = b;
  out[3] = alpha > 0.99f ? 1.0f : alpha;
}

void colr_class::set_index(int i, float alpha) {
  float c[4];
  resolve(i, alpha, c);
  ogl_be->set_color(c);
}

void colr_class::take_palette(const unsigned char* bgra) {
  for (const PalettePixel& p : kPalette) {
    const unsigned char* px = bgra + (static_cast<size_t>(p.row) * 512 + p.x) * 4;
    assign(p.i, px[2] / 255.0f, px[1] / 255.0f, px[0] / 255.0f);
  }
  for (int k = 0; k < 3; ++k) col_rgb[39][k] = (col_rgb[35][k] + col_rgb[38][k]) * 0.5f;
}
