// The colour table: every drawing call names its colour by an index into
// it, and the colour rule turns index and alpha into the GL colour.
#pragma once

class colr_class {
 public:
  colr_class() { reset(); }

  // Zeroes the table, sets the lighting factors to 1 and fills the fixed
  // entries (the palette entries 34 to 47 come from the widget image).
  void reset();

  // Overwrites entry i with (r, g, b).
  void assign(int i, float r, float g, float b);

  // The colour rule: col_rgb[i], lit by the manual lighting factors for
  // indices up to 45, alpha scaled by the global fade, turned green in night
  // vision; the result goes to the renderer (opaque when alpha > 0.99).
  void set_index(int i, float alpha);

  // The colour the rule gives for (i, alpha), without setting it.
  void resolve(int i, float alpha, float out[4]) const;

  // Takes entries 34 to 47 from the widget image (512 x 512 pixels stored
  // blue, green, red, alpha) and computes entry 39.
  void take_palette(const unsigned char* widget_bgra);

  static constexpr int kEntries = 104;

  unsigned char win_gamma[256];
  float col_rgb[kEntries][3];
  float r_manual_liting, g_manual_liting, b_manual_liting;
  float pulse_alpha;
  float spectrum_min, spectrum_max, spectrum_del;
};

extern colr_class colr;

// Renderer globals the colour rule reads: the global fade (1.0 here) and
// night vision (off here).
extern float current_alpha;
extern int night_vision_on;
