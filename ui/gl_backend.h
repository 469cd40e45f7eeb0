// The OpenGL 2.1 renderer: fixed-function immediate mode over the window's
// context. Consecutive quads of one texture (glyphs, sprites) and
// consecutive fills share one glBegin/glEnd; any change of texture, kind
// of primitive or clipping closes the batch.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/oglp.h"

class OGL_gl_backend : public OGL_backend {
 public:
  void viewport(int w, int h) override;
  void clear(float r, float g, float b) override;
  void set_color(const float rgba[4]) override;
  void fill_rect(float x1, float y1, float x2, float y2) override;
  void line(float x1, float y1, float x2, float y2) override;
  void tex_quad(int tex, const OGL_vertex v[4]) override;
  void glyph_quad(int tex, const OGL_vertex v[4]) override;
  void scissor(int on, int x, int y, int w, int h) override;
  void present() override;
  void reset_state() override;
  int poll(std::vector<plat::WinEvent>& out) override;
  void wait(double seconds) override;
  void show_cursor(int show) override;

  // The initial GL state of the context.
  void init_state();
  // Vendor, renderer and version of the context, for the log.
  std::string describe() const;
  // Builds the interface images and uploads them as textures 387 to 391;
  // the widget image's pixels are kept for the palette. Returns 0 when a
  // texture could not be made.
  int load_textures();
  const std::vector<std::uint8_t>& widget_pixels() const { return widget_px_; }

  // The back buffer (or front, after present) as rows of RGB bytes,
  // bottom row first.
  void read_pixels(int x, int y, int w, int h, std::vector<std::uint8_t>& rgb);
  // Draws everything batched so far.
  void flush();

  // Called with the finished frame still in the back buffer, just before
  // it is presented (screenshots, measurements).
  std::function<void()> before_present;

 private:
  enum Batch { none, flat_quads, tex_quads, glyph_quads, lines };
  void begin(Batch b, int tex);
  // Blending is needed unless the colour is opaque and so is the texture
  // (the background pictures) or there is none (fills).
  void want_blend(bool on);
  Batch batch_ = none;
  bool blend_on_ = true;
  float alpha_ = 1.0f;
  int bound_tex_ = -1;
  unsigned gl_tex_[5] = {0, 0, 0, 0, 0};  // GL names of textures 387..391
  float t_scale_[5] = {1, 1, 1, 1, 1};     // image height / texture height
  std::vector<std::uint8_t> widget_px_;
};

extern OGL_gl_backend ogl_gl;
