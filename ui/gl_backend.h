// The OpenGL 2.1 renderer: fixed-function drawing over the window's context.
//
// A frame is not drawn as it is described. Every primitive is recorded into
// a command list (state changes and batches) and a vertex array; present()
// compares the finished list with the one presented last and draws it only
// when it differs. An idle screen that describes the same picture frame after
// frame therefore costs its description and a comparison, not a software
// rasterisation of the whole window. Drawing a list sends each batch (runs
// of one kind of primitive, one texture and one blending state) with one
// glDrawArrays over client-side arrays instead of one call per vertex.
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
  void invalidate() override;
  int poll(std::vector<plat::WinEvent>& out) override;
  void wait(double seconds) override;
  void show_cursor(int show) override;
  std::string clipboard_get() override;
  void clipboard_set(const std::string& text) override;

  // Window pixels per layout unit: the frame is laid out in units and drawn
  // into a projection of the window's pixels (below 1 on a small screen, 2
  // on a very large one). The picture copies and the drawing of a changed
  // part only are made at 1.
  float pixel_scale = 1;

  // The initial GL state of the context.
  void init_state();
  // Vendor, renderer and version of the context, for the log.
  std::string describe() const;
  // Builds the interface images and uploads them as textures 387 to 391;
  // the widget image's pixels are kept for the palette. Returns 0 when a
  // texture could not be made.
  int load_textures();
  const std::vector<std::uint8_t>& widget_pixels() const { return widget_px_; }

  // The back buffer as rows of RGB bytes, bottom row first. Draws what has
  // been recorded so far first, so that inside before_present it reads the
  // finished frame.
  void read_pixels(int x, int y, int w, int h, std::vector<std::uint8_t>& rgb);
  // Draws everything recorded so far into the back buffer (the list stays
  // recorded, so present() does not draw it twice).
  void flush();

  // Called with the finished frame in the back buffer, just before it is
  // presented (screenshots, measurements). While it is set every frame is
  // drawn and presented, even one equal to the last.
  std::function<void()> before_present;

  // Frames drawn and presented, and frames found equal to the one on screen
  // and therefore neither drawn nor presented, since the context was set up.
  std::uint64_t frames_drawn() const { return drawn_; }
  std::uint64_t frames_skipped() const { return skipped_; }
  // Pictures drawn by copying their texels rather than shading a quad.
  std::uint64_t pictures_copied() const { return copied_; }
  // Frames of which only the part that changed was drawn, over the last
  // frame still in the back buffer.
  std::uint64_t frames_in_part() const { return in_part_; }
  // Whether the back buffer keeps its pixels across a swap (found out when
  // the context is set up); only then are frames drawn in part.
  bool back_buffer_kept() const { return keeps_back_; }

 private:
  enum Kind : std::int32_t { k_viewport, k_clear, k_scissor, k_batch, k_copy };
  enum Batch : std::int32_t { none, flat_quads, tex_quads, glyph_quads, lines };
  // One recorded command. Plain 32-bit fields only, so that two lists can
  // be compared byte for byte.
  struct Cmd {
    std::int32_t kind = k_batch;
    std::int32_t batch = none;  // k_batch: the primitive
    std::int32_t tex = -1;      // k_batch: texture number of textured batches
    std::int32_t blend = 0;     // k_batch: blending on
    std::int32_t i[4] = {0, 0, 0, 0};  // viewport w, h; scissor on, x, y, w; copy texel x, y, pixel x, y
    float f[3] = {0, 0, 0};            // clear colour; scissor h; copy w, h
    std::uint32_t first = 0, count = 0;  // k_batch: vertices
    float color[4] = {0, 0, 0, 0};       // k_batch: the colour of all its vertices
  };
  // A batch has one colour, given as the current colour rather than per
  // vertex: the software renderer shades a constant colour faster.
  struct Vert {
    float x, y, s, t;
  };
  struct Frame {
    std::vector<Cmd> cmds;
    std::vector<Vert> verts;
    void clear() {
      cmds.clear();
      verts.clear();
    }
    bool same_as(const Frame& o) const;
  };

  // The batch the next vertices go to: a new one unless the last command
  // is a batch of the same primitive, texture, blending and colour.
  void batch(Batch b, int tex);
  void vertex(float x, float y, float s, float t);
  // Sends the commands of frame_ from `from_cmd` on to GL.
  void draw_commands(size_t from_cmd);
  // Whether a batch of primitive b with texture tex at the current colour
  // needs blending: unless the colour is opaque and so is the texture (the
  // background pictures) or there is none (fills, lines).
  bool needs_blend(Batch b, int tex) const;
  // One 64-bit digest per 64 x 64 pixel tile of everything the frame draws
  // into that tile, in order (its state, clip and vertices included): equal
  // digests mean equal pixels in the tile.
  void tile_digests(const Frame& f, std::vector<std::uint64_t>& tiles) const;
  // Sets the GL clip to the frame's own clip within the damaged rectangle.
  void apply_scissor(int on, int x, int y, int w, int h);
  // Whether the back buffer keeps its pixels across a swap.
  bool probe_back_buffer();
  // Records the quad as a copy of texels when it maps them one to one onto
  // whole pixels of an opaque picture at full colour, which looks the same
  // as shading the quad and is a plain copy for a software renderer.
  bool record_copy(int tex, const OGL_vertex v[4], float t_scale);

  Frame frame_, shown_;
  size_t drawn_cmds_ = 0;  // commands of frame_ already sent to GL
  bool shown_valid_ = false;  // shown_ is what the window shows
  float color_[4] = {1, 1, 1, 1};
  std::uint64_t drawn_ = 0, skipped_ = 0, copied_ = 0, in_part_ = 0;

  // Drawing in part: the tiles of the frame on screen, and the damaged
  // rectangle (pixels) the frame being drawn is clipped to.
  static constexpr int kTile = 64, kTiles = 64;  // a 4096 x 4096 grid
  std::vector<std::uint64_t> tiles_now_, tiles_shown_;
  bool keeps_back_ = false, tiles_shown_valid_ = false;
  bool damage_on_ = false;
  int damage_[4] = {0, 0, 0, 0};
  int scissor_[5] = {0, 0, 0, 0, 0};  // the frame's own clip as last drawn: on, x, y, w, h

  // GL state as last set by draw_commands; -1 = unknown.
  int gl_blend_ = -1, gl_alpha_test_ = -1, gl_texturing_ = -1, gl_tex_arrays_ = -1;
  int bound_tex_ = -1;
  unsigned gl_tex_[5] = {0, 0, 0, 0, 0};  // GL names of textures 387..391
  unsigned gl_fbo_[5] = {0, 0, 0, 0, 0};  // framebuffers reading the background pictures; 0 = none
  float t_scale_[5] = {1, 1, 1, 1, 1};     // image height / texture height
  std::vector<std::uint8_t> widget_px_;
};

extern OGL_gl_backend ogl_gl;
