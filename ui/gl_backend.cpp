#include "ui/gl_backend.h"

#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "platform/window.h"
#include "ui/art.h"

namespace {

// The framebuffer functions (OpenGL 3.0) are asked of the context: not
// every system's GL library exports what lies beyond OpenGL 1.1.
PFNGLGENFRAMEBUFFERSPROC p_glGenFramebuffers = nullptr;
PFNGLBINDFRAMEBUFFERPROC p_glBindFramebuffer = nullptr;
PFNGLFRAMEBUFFERTEXTURE2DPROC p_glFramebufferTexture2D = nullptr;
PFNGLCHECKFRAMEBUFFERSTATUSPROC p_glCheckFramebufferStatus = nullptr;
PFNGLDELETEFRAMEBUFFERSPROC p_glDeleteFramebuffers = nullptr;
PFNGLBLITFRAMEBUFFERPROC p_glBlitFramebuffer = nullptr;

template <typename F>
bool load_gl(F& fn, const char* name) {
  fn = reinterpret_cast<F>(plat::window_gl_proc(name));
  return fn != nullptr;
}

// All of them, or none (the pictures are then drawn as quads).
bool load_framebuffer_functions() {
  bool ok = load_gl(p_glGenFramebuffers, "glGenFramebuffers");
  ok &= load_gl(p_glBindFramebuffer, "glBindFramebuffer");
  ok &= load_gl(p_glFramebufferTexture2D, "glFramebufferTexture2D");
  ok &= load_gl(p_glCheckFramebufferStatus, "glCheckFramebufferStatus");
  ok &= load_gl(p_glDeleteFramebuffers, "glDeleteFramebuffers");
  ok &= load_gl(p_glBlitFramebuffer, "glBlitFramebuffer");
  return ok;
}

}  // namespace

OGL_gl_backend ogl_gl;

#ifndef GL_BGRA
#define GL_BGRA 0x80E1
#endif
#ifndef GL_CLAMP_TO_EDGE
#define GL_CLAMP_TO_EDGE 0x812F
#endif

// ------------------------------------------------------------------ recording

bool OGL_gl_backend::Frame::same_as(const Frame& o) const {
  return cmds.size() == o.cmds.size() && verts.size() == o.verts.size() &&
         std::memcmp(cmds.data(), o.cmds.data(), cmds.size() * sizeof(Cmd)) == 0 &&
         std::memcmp(verts.data(), o.verts.data(), verts.size() * sizeof(Vert)) == 0;
}

bool OGL_gl_backend::needs_blend(Batch b, int tex) const {
  const bool opaque_tex = tex == tex_background || tex == tex_background2;
  return color_[3] < 1.0f || (b == tex_quads && !opaque_tex);
}

void OGL_gl_backend::batch(Batch b, int tex) {
  const bool textured = b == tex_quads || b == glyph_quads;
  if (!textured) tex = -1;
  const int blend = needs_blend(b, tex) ? 1 : 0;
  if (!frame_.cmds.empty() && frame_.cmds.size() > drawn_cmds_) {
    const Cmd& last = frame_.cmds.back();
    if (last.kind == k_batch && last.batch == b && last.tex == tex && last.blend == blend &&
        std::memcmp(last.color, color_, sizeof color_) == 0)
      return;
  }
  Cmd c;
  c.kind = k_batch;
  c.batch = b;
  c.tex = tex;
  c.blend = blend;
  std::memcpy(c.color, color_, sizeof color_);
  c.first = static_cast<std::uint32_t>(frame_.verts.size());
  frame_.cmds.push_back(c);
}

void OGL_gl_backend::vertex(float x, float y, float s, float t) {
  frame_.verts.push_back(Vert{x, y, s, t});
  ++frame_.cmds.back().count;
}

void OGL_gl_backend::invalidate() {
  shown_valid_ = false;
  tiles_shown_valid_ = false;
}

void OGL_gl_backend::flush() { draw_commands(drawn_cmds_); }

// ------------------------------------------------------------- drawing in part

namespace {

// Folds n bytes (a multiple of 4: commands, vertices) into h, eight at a
// time where it can.
std::uint64_t mix(std::uint64_t h, const void* data, size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = (h ^ w) * 0x9e3779b97f4a7c15ULL;
    h ^= h >> 29;
  }
  for (; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
  return h;
}

}  // namespace

void OGL_gl_backend::tile_digests(const Frame& f, std::vector<std::uint64_t>& tiles) const {
  tiles.assign(static_cast<size_t>(kTiles) * kTiles, 0xcbf29ce484222325ULL);
  const int grid = kTile * kTiles;
  int sc[5] = {0, 0, 0, 0, 0};  // clip: on, x, y, w, h
  // Adds digest h to every tile that pixels x0..x1, y0..y1 (inclusive) touch,
  // within the clip.
  auto add = [&](std::uint64_t h, float fx0, float fy0, float fx1, float fy1) {
    int x0 = static_cast<int>(std::floor(fx0)) - 1, y0 = static_cast<int>(std::floor(fy0)) - 1;
    int x1 = static_cast<int>(std::ceil(fx1)) + 1, y1 = static_cast<int>(std::ceil(fy1)) + 1;
    if (sc[0]) {
      x0 = std::max(x0, sc[1]);
      y0 = std::max(y0, sc[2]);
      x1 = std::min(x1, sc[1] + sc[3] - 1);
      y1 = std::min(y1, sc[2] + sc[4] - 1);
    }
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, grid - 1);
    y1 = std::min(y1, grid - 1);
    if (x1 < x0 || y1 < y0) return;
    for (int ty = y0 / kTile; ty <= y1 / kTile; ++ty)
      for (int tx = x0 / kTile; tx <= x1 / kTile; ++tx) {
        std::uint64_t& t = tiles[static_cast<size_t>(ty) * kTiles + tx];
        t = (t ^ h) * 0x100000001b3ULL + 0x9e3779b97f4a7c15ULL;
      }
  };
  const float all = static_cast<float>(grid);
  for (const Cmd& c : f.cmds) {
    const std::uint64_t hc = mix(mix(0xcbf29ce484222325ULL, &c.kind, 4 * sizeof(std::int32_t)), sc, sizeof sc);
    switch (c.kind) {
      case k_viewport: {
        const int saved = sc[0];
        sc[0] = 0;
        add(mix(hc, c.i, sizeof c.i), 0, 0, all, all);
        sc[0] = saved;
        break;
      }
      case k_clear: add(mix(hc, c.f, sizeof c.f), 0, 0, all, all); break;
      case k_scissor:
        sc[0] = c.i[0];
        sc[1] = c.i[1];
        sc[2] = c.i[2];
        sc[3] = c.i[3];
        sc[4] = static_cast<int>(c.f[0]);
        break;
      case k_copy:
        add(mix(mix(hc, c.i, sizeof c.i), c.f, sizeof c.f), static_cast<float>(c.i[2]), static_cast<float>(c.i[3]),
            static_cast<float>(c.i[2]) + c.f[0], static_cast<float>(c.i[3]) + c.f[1]);
        break;
      case k_batch: {
        const std::uint64_t hb = mix(hc, c.color, sizeof c.color);
        const std::uint32_t per = c.batch == lines ? 2 : 4;
        for (std::uint32_t k = 0; k + per <= c.count; k += per) {
          const Vert* v = &f.verts[c.first + k];
          float x0 = v[0].x, x1 = v[0].x, y0 = v[0].y, y1 = v[0].y;
          for (std::uint32_t j = 1; j < per; ++j) {
            x0 = std::min(x0, v[j].x);
            x1 = std::max(x1, v[j].x);
            y0 = std::min(y0, v[j].y);
            y1 = std::max(y1, v[j].y);
          }
          add(mix(hb, v, per * sizeof(Vert)), x0, y0, x1, y1);
        }
        break;
      }
      default: break;
    }
  }
}

void OGL_gl_backend::apply_scissor(int on, int x, int y, int w, int h) {
  scissor_[0] = on;
  scissor_[1] = x;
  scissor_[2] = y;
  scissor_[3] = w;
  scissor_[4] = h;
  if (!damage_on_) {
    if (on) {
      glEnable(GL_SCISSOR_TEST);
      glScissor(x, y, w, h);
    } else {
      glDisable(GL_SCISSOR_TEST);
    }
    return;
  }
  int x0 = damage_[0], y0 = damage_[1], x1 = damage_[0] + damage_[2], y1 = damage_[1] + damage_[3];
  if (on) {
    x0 = std::max(x0, x);
    y0 = std::max(y0, y);
    x1 = std::min(x1, x + w);
    y1 = std::min(y1, y + h);
  }
  glEnable(GL_SCISSOR_TEST);
  glScissor(x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0));
}

// Draws a different colour into one corner pixel of the back buffer before
// each of two swaps, then reads it: a buffer that keeps its pixels shows
// the second colour; one that is exchanged with the front shows the first.
bool OGL_gl_backend::probe_back_buffer() {
  glEnable(GL_SCISSOR_TEST);
  glScissor(0, 0, 1, 1);
  glClearColor(1, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  plat::window_swap();
  glClearColor(0, 1, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  plat::window_swap();
  unsigned char px[3] = {0, 0, 0};
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, 1, 1, GL_RGB, GL_UNSIGNED_BYTE, px);
  glDisable(GL_SCISSOR_TEST);
  return px[0] == 0 && px[1] == 255 && px[2] == 0;
}

// ---------------------------------------------------------------------- drawing

void OGL_gl_backend::draw_commands(size_t from) {
  const std::vector<Cmd>& cmds = frame_.cmds;
  if (from >= cmds.size()) return;
  const Vert* v = frame_.verts.data();
  if (!frame_.verts.empty()) {
    glVertexPointer(2, GL_FLOAT, sizeof(Vert), &v->x);
    glTexCoordPointer(2, GL_FLOAT, sizeof(Vert), &v->s);
    glEnableClientState(GL_VERTEX_ARRAY);
  }
  for (size_t k = from; k < cmds.size(); ++k) {
    const Cmd& c = cmds[k];
    switch (c.kind) {
      case k_viewport:
        glViewport(0, 0, static_cast<int>(std::lround(c.i[0] * pixel_scale)),
                   static_cast<int>(std::lround(c.i[1] * pixel_scale)));
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(0, c.i[0], 0, c.i[1], -1, 1);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        break;
      case k_clear:
        glClearColor(c.f[0], c.f[1], c.f[2], 1);
        glClear(GL_COLOR_BUFFER_BIT);
        break;
      case k_scissor: apply_scissor(c.i[0], c.i[1], c.i[2], c.i[3], static_cast<int>(c.f[0])); break;
      case k_copy: {
        const int slot = c.tex - tex_second_font;
        const int w = static_cast<int>(c.f[0]), h = static_cast<int>(c.f[1]);
        p_glBindFramebuffer(GL_READ_FRAMEBUFFER, gl_fbo_[slot]);
        p_glBlitFramebuffer(c.i[0], c.i[1], c.i[0] + w, c.i[1] + h, c.i[2], c.i[3], c.i[2] + w, c.i[3] + h,
                          GL_COLOR_BUFFER_BIT, GL_NEAREST);
        p_glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
        ++copied_;
        break;
      }
      case k_batch: {
        if (c.count == 0) break;
        if (c.blend != gl_blend_) {
          if (c.blend) glEnable(GL_BLEND);
          else glDisable(GL_BLEND);
          gl_blend_ = c.blend;
        }
        // Opaque glyphs are cut out by the alpha test rather than blended.
        const int alpha_test = c.batch == glyph_quads ? 1 : 0;
        if (alpha_test != gl_alpha_test_) {
          if (alpha_test) glEnable(GL_ALPHA_TEST);
          else glDisable(GL_ALPHA_TEST);
          gl_alpha_test_ = alpha_test;
        }
        const int textured = c.tex >= 0 ? 1 : 0;
        if (textured != gl_texturing_) {
          if (textured) glEnable(GL_TEXTURE_2D);
          else glDisable(GL_TEXTURE_2D);
          gl_texturing_ = textured;
        }
        if (textured != gl_tex_arrays_) {
          if (textured) glEnableClientState(GL_TEXTURE_COORD_ARRAY);
          else glDisableClientState(GL_TEXTURE_COORD_ARRAY);
          gl_tex_arrays_ = textured;
        }
        if (textured && c.tex != bound_tex_) {
          const int slot = c.tex - tex_second_font;
          glBindTexture(GL_TEXTURE_2D, (slot >= 0 && slot < 5) ? gl_tex_[slot] : 0);
          bound_tex_ = c.tex;
        }
        glColor4fv(c.color);
        glDrawArrays(c.batch == lines ? GL_LINES : GL_QUADS, static_cast<GLint>(c.first),
                     static_cast<GLsizei>(c.count));
        break;
      }
      default: break;
    }
  }
  drawn_cmds_ = cmds.size();
}

std::string OGL_gl_backend::describe() const {
  auto str = [](GLenum name) {
    const GLubyte* v = glGetString(name);
    return v ? std::string(reinterpret_cast<const char*>(v)) : std::string("?");
  };
  return str(GL_VENDOR) + ", " + str(GL_RENDERER) + ", " + str(GL_VERSION);
}

void OGL_gl_backend::init_state() {
  const float black[4] = {0, 0, 0, 0};
  glLightModelfv(GL_LIGHT_MODEL_AMBIENT, black);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glAlphaFunc(GL_GREATER, 0);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glDepthFunc(GL_LEQUAL);
  glFogi(GL_FOG_MODE, GL_LINEAR);
  glHint(GL_FOG_HINT, GL_FASTEST);
  glFrontFace(GL_CW);
  glShadeModel(GL_SMOOTH);
  glEnable(GL_DITHER);
  glDisable(GL_COLOR_LOGIC_OP);
  glDisable(GL_STENCIL_TEST);
  glDisable(GL_TEXTURE_1D);
  glDisable(GL_NORMALIZE);
  glDisable(GL_SCISSOR_TEST);
  glColorMaterial(GL_FRONT, GL_AMBIENT_AND_DIFFUSE);
  glEnable(GL_COLOR_MATERIAL);
  glDepthMask(GL_FALSE);
  // The 2-D state every primitive of this program draws in. Culling stays
  // off: quads are given in either winding.
  glDisable(GL_CULL_FACE);
  glDisable(GL_FOG);
  glDisable(GL_LIGHTING);
  glEnable(GL_BLEND);
  glDisable(GL_ALPHA_TEST);
  glDisable(GL_DEPTH_TEST);
  glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
  // A new context: nothing recorded, nothing on screen, GL state as set here.
  frame_.clear();
  shown_.clear();
  drawn_cmds_ = 0;
  shown_valid_ = false;
  tiles_shown_valid_ = false;
  damage_on_ = false;
  for (int& v : scissor_) v = 0;
  keeps_back_ = probe_back_buffer();
  gl_blend_ = 1;
  gl_alpha_test_ = 0;
  gl_texturing_ = 0;
  gl_tex_arrays_ = 0;
  bound_tex_ = -1;
}

void OGL_gl_backend::viewport(int w, int h) {
  Cmd c;
  c.kind = k_viewport;
  c.i[0] = w;
  c.i[1] = h;
  frame_.cmds.push_back(c);
}

void OGL_gl_backend::clear(float r, float g, float b) {
  Cmd c;
  c.kind = k_clear;
  c.f[0] = r;
  c.f[1] = g;
  c.f[2] = b;
  frame_.cmds.push_back(c);
}

void OGL_gl_backend::set_color(const float rgba[4]) {
  for (int k = 0; k < 4; ++k) color_[k] = rgba[k];
}

void OGL_gl_backend::fill_rect(float x1, float y1, float x2, float y2) {
  batch(flat_quads, -1);
  vertex(x1, y1, 0, 0);
  vertex(x2, y1, 0, 0);
  vertex(x2, y2, 0, 0);
  vertex(x1, y2, 0, 0);
}

void OGL_gl_backend::line(float x1, float y1, float x2, float y2) {
  batch(lines, -1);
  vertex(x1, y1, 0, 0);
  vertex(x2, y2, 0, 0);
}

void OGL_gl_backend::glyph_quad(int tex, const OGL_vertex v[4]) {
  if (color_[3] < 1.0f) {
    tex_quad(tex, v);
    return;
  }
  batch(glyph_quads, tex);
  for (int k = 0; k < 4; ++k) vertex(v[k].x, v[k].y, v[k].s, v[k].t);
}

bool OGL_gl_backend::record_copy(int tex, const OGL_vertex v[4], float ts) {
  const int slot = tex - tex_second_font;
  if (pixel_scale != 1 || slot < 0 || slot >= 5 || !gl_fbo_[slot]) return false;
  if (color_[0] != 1.0f || color_[1] != 1.0f || color_[2] != 1.0f || color_[3] != 1.0f) return false;
  const float size = 1024.0f;  // the pictures' textures are 1024 x 1024
  // Corners in the order lower-left, lower-right, upper-right, upper-left,
  // each texel coordinate following its corner one texel per unit.
  const float x0 = v[0].x, y0 = v[0].y, x1 = v[2].x, y1 = v[2].y;
  const float s0 = v[0].s * size, t0 = v[0].t * ts * size;
  if (!(x1 > x0 && y1 > y0)) return false;
  if (v[1].x != x1 || v[1].y != y0 || v[3].x != x0 || v[3].y != y1) return false;
  const float w = x1 - x0, h = y1 - y0;
  auto whole = [](float a) { return a == static_cast<float>(static_cast<int>(a)); };
  if (!whole(x0) || !whole(y0) || !whole(w) || !whole(h) || !whole(s0) || !whole(t0)) return false;
  if (v[1].s * size != s0 + w || v[2].s * size != s0 + w || v[3].s * size != s0) return false;
  if (v[1].t * ts * size != t0 || v[2].t * ts * size != t0 + h || v[3].t * ts * size != t0 + h) return false;
  if (s0 < 0 || t0 < 0 || s0 + w > size || t0 + h > size) return false;
  Cmd c;
  c.kind = k_copy;
  c.tex = tex;
  c.i[0] = static_cast<int>(s0);
  c.i[1] = static_cast<int>(t0);
  c.i[2] = static_cast<int>(x0);
  c.i[3] = static_cast<int>(y0);
  c.f[0] = w;
  c.f[1] = h;
  frame_.cmds.push_back(c);
  return true;
}

void OGL_gl_backend::tex_quad(int tex, const OGL_vertex v[4]) {
  const int slot = tex - tex_second_font;
  const float ts = slot >= 0 && slot < 5 ? t_scale_[slot] : 1.0f;
  if (record_copy(tex, v, ts)) return;
  batch(tex_quads, tex);
  for (int k = 0; k < 4; ++k) vertex(v[k].x, v[k].y, v[k].s, v[k].t * ts);
}

void OGL_gl_backend::scissor(int on, int x, int y, int w, int h) {
  Cmd c;
  c.kind = k_scissor;
  c.i[0] = on;
  c.i[1] = x;
  c.i[2] = y;
  c.i[3] = w;
  c.f[0] = static_cast<float>(h);
  frame_.cmds.push_back(c);
}

void OGL_gl_backend::present() {
  // The window already shows this very picture: nothing to draw or swap.
  if (!before_present && shown_valid_ && drawn_cmds_ == 0 && frame_.same_as(shown_)) {
    ++skipped_;
    frame_.clear();
    return;
  }
  // Where the back buffer still holds the frame on screen, only the tiles
  // whose content changed are drawn again (all of the frame's commands,
  // clipped to the rectangle around those tiles).
  tile_digests(frame_, tiles_now_);
  if (keeps_back_ && pixel_scale == 1 && shown_valid_ && tiles_shown_valid_ && drawn_cmds_ == 0) {
    int tx0 = kTiles, ty0 = kTiles, tx1 = -1, ty1 = -1;
    for (int ty = 0; ty < kTiles; ++ty)
      for (int tx = 0; tx < kTiles; ++tx) {
        const size_t t = static_cast<size_t>(ty) * kTiles + tx;
        if (tiles_now_[t] == tiles_shown_[t]) continue;
        tx0 = std::min(tx0, tx);
        ty0 = std::min(ty0, ty);
        tx1 = std::max(tx1, tx);
        ty1 = std::max(ty1, ty);
      }
    damage_on_ = true;
    if (tx1 < 0) {
      damage_[0] = damage_[1] = damage_[2] = damage_[3] = 0;
    } else {
      damage_[0] = tx0 * kTile;
      damage_[1] = ty0 * kTile;
      damage_[2] = (tx1 - tx0 + 1) * kTile;
      damage_[3] = (ty1 - ty0 + 1) * kTile;
    }
    apply_scissor(scissor_[0], scissor_[1], scissor_[2], scissor_[3], scissor_[4]);
    ++in_part_;
  }
  flush();
  if (damage_on_) {
    damage_on_ = false;
    apply_scissor(scissor_[0], scissor_[1], scissor_[2], scissor_[3], scissor_[4]);
  }
  if (before_present) before_present();
  plat::window_swap();
  ++drawn_;
  // A list drawn in parts (read back or flushed before the end) is still
  // the whole frame; remember it as what is on screen.
  std::swap(frame_, shown_);
  std::swap(tiles_now_, tiles_shown_);
  tiles_shown_valid_ = true;
  frame_.clear();
  drawn_cmds_ = 0;
  shown_valid_ = true;
}

void OGL_gl_backend::reset_state() {
  flush();
  for (int k = 0; k < 30 && glGetError() != GL_NO_ERROR; ++k) {
  }
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glEnable(GL_BLEND);
  gl_blend_ = 1;
  // Scissoring is recorded: the list turns it off from here on.
  scissor(0, 0, 0, 0, 0);
}

int OGL_gl_backend::poll(std::vector<plat::WinEvent>& out) { return plat::window_poll(out); }
void OGL_gl_backend::wait(double seconds) { plat::window_wait(seconds); }
void OGL_gl_backend::show_cursor(int show) { plat::window_show_cursor(show); }
std::string OGL_gl_backend::clipboard_get() { return plat::window_clipboard_get(); }
void OGL_gl_backend::clipboard_set(const std::string& text) { plat::window_clipboard_set(text); }

int OGL_gl_backend::load_textures() {
  flush();
  glGenTextures(5, gl_tex_);
  auto upload = [&](int tex, const art_image& im, int tw, int th) {
    if (tw < 1 || th < 1 || tw > 2048 || th > 2048) return 0;
    glBindTexture(GL_TEXTURE_2D, gl_tex_[tex - tex_second_font]);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, tw, th, 0, GL_BGRA, GL_UNSIGNED_BYTE, nullptr);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, im.w, im.h, GL_BGRA, GL_UNSIGNED_BYTE, im.px.data());
    return glGetError() == GL_NO_ERROR ? 1 : 0;
  };
  int ok = 1;
  art_image widgets = art_widget_image();
  ok &= upload(tex_interface, art_interface_image(), 1024, 1024);
  // The 1024 x 768 pictures sit in square textures, which the software
  // renderer samples a quarter faster; their t coordinates are scaled.
  ok &= upload(tex_background, art_background_image(0), 1024, 1024);
  ok &= upload(tex_background2, art_background_image(1), 1024, 1024);
  t_scale_[tex_background - tex_second_font] = t_scale_[tex_background2 - tex_second_font] = 768.0f / 1024.0f;
  ok &= upload(tex_widgets, widgets, 512, 512);
  ok &= upload(tex_second_font, art_second_font_image(), 512, 512);
  widget_px_ = std::move(widgets.px);
  bound_tex_ = -1;
  // Framebuffers over the opaque pictures, for copying them to the window.
  // Without them (no framebuffer objects) the pictures are drawn as quads.
  for (unsigned& f : gl_fbo_) f = 0;
  const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
  if (ok && version && version[0] >= '3' && version[0] <= '9' && load_framebuffer_functions()) {
    for (int tex : {tex_background, tex_background2}) {
      const int slot = tex - tex_second_font;
      GLuint fbo = 0;
      p_glGenFramebuffers(1, &fbo);
      p_glBindFramebuffer(GL_READ_FRAMEBUFFER, fbo);
      p_glFramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, gl_tex_[slot], 0);
      const bool complete = p_glCheckFramebufferStatus(GL_READ_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
      p_glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
      if (complete) gl_fbo_[slot] = fbo;
      else p_glDeleteFramebuffers(1, &fbo);
    }
    while (glGetError() != GL_NO_ERROR) {
    }
  }
  return ok;
}

void OGL_gl_backend::read_pixels(int x, int y, int w, int h, std::vector<std::uint8_t>& rgb) {
  flush();
  glFinish();
  rgb.assign(static_cast<size_t>(w) * h * 3, 0);
  glReadPixels(x, y, w, h, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
}
