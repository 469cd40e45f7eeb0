#include "ui/gl_backend.h"

#include <GL/gl.h>

#include "platform/window.h"
#include "ui/art.h"

OGL_gl_backend ogl_gl;

#ifndef GL_BGRA
#define GL_BGRA 0x80E1
#endif
#ifndef GL_CLAMP_TO_EDGE
#define GL_CLAMP_TO_EDGE 0x812F
#endif

void OGL_gl_backend::want_blend(bool on) {
  if (on == blend_on_) return;
  if (batch_ != none) glEnd();
  batch_ = none;
  if (on) glEnable(GL_BLEND);
  else glDisable(GL_BLEND);
  blend_on_ = on;
}

void OGL_gl_backend::begin(Batch b, int tex) {
  const bool opaque_tex = tex == tex_background || tex == tex_background2;
  want_blend(alpha_ < 1.0f || (b == tex_quads && !opaque_tex));
  const bool textured = b == tex_quads || b == glyph_quads;
  if (batch_ == b && (!textured || tex == bound_tex_)) return;
  if (batch_ != none) glEnd();
  // Opaque glyphs are cut out by the alpha test rather than blended.
  if ((b == glyph_quads) != (batch_ == glyph_quads) || batch_ == none) {
    if (b == glyph_quads) glEnable(GL_ALPHA_TEST);
    else glDisable(GL_ALPHA_TEST);
  }
  if (textured) {
    glEnable(GL_TEXTURE_2D);
    if (tex != bound_tex_) {
      const int k = tex - tex_second_font;
      glBindTexture(GL_TEXTURE_2D, (k >= 0 && k < 5) ? gl_tex_[k] : 0);
      bound_tex_ = tex;
    }
  } else {
    glDisable(GL_TEXTURE_2D);
  }
  batch_ = b;
  glBegin(b == lines ? GL_LINES : GL_QUADS);
}

void OGL_gl_backend::flush() {
  if (batch_ != none) glEnd();
  batch_ = none;
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
  blend_on_ = true;
  batch_ = none;
  bound_tex_ = -1;
}

void OGL_gl_backend::viewport(int w, int h) {
  flush();
  glViewport(0, 0, w, h);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(0, w, 0, h, -1, 1);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
}

void OGL_gl_backend::clear(float r, float g, float b) {
  flush();
  glClearColor(r, g, b, 1);
  glClear(GL_COLOR_BUFFER_BIT);
}

void OGL_gl_backend::set_color(const float rgba[4]) {
  alpha_ = rgba[3];
  glColor4fv(rgba);
}

void OGL_gl_backend::fill_rect(float x1, float y1, float x2, float y2) {
  begin(flat_quads, -1);
  glVertex2f(x1, y1);
  glVertex2f(x2, y1);
  glVertex2f(x2, y2);
  glVertex2f(x1, y2);
}

void OGL_gl_backend::line(float x1, float y1, float x2, float y2) {
  begin(lines, -1);
  glVertex2f(x1, y1);
  glVertex2f(x2, y2);
}

void OGL_gl_backend::glyph_quad(int tex, const OGL_vertex v[4]) {
  if (alpha_ < 1.0f) {
    tex_quad(tex, v);
    return;
  }
  begin(glyph_quads, tex);
  for (int k = 0; k < 4; ++k) {
    glTexCoord2f(v[k].s, v[k].t);
    glVertex2f(v[k].x, v[k].y);
  }
}

void OGL_gl_backend::tex_quad(int tex, const OGL_vertex v[4]) {
  begin(tex_quads, tex);
  const int slot = tex - tex_second_font;
  const float ts = slot >= 0 && slot < 5 ? t_scale_[slot] : 1.0f;
  for (int k = 0; k < 4; ++k) {
    glTexCoord2f(v[k].s, v[k].t * ts);
    glVertex2f(v[k].x, v[k].y);
  }
}

void OGL_gl_backend::scissor(int on, int x, int y, int w, int h) {
  flush();
  if (!on) {
    glDisable(GL_SCISSOR_TEST);
    return;
  }
  glEnable(GL_SCISSOR_TEST);
  glScissor(x, y, w, h);
}

void OGL_gl_backend::present() {
  flush();
  if (before_present) before_present();
  plat::window_swap();

}

void OGL_gl_backend::reset_state() {
  flush();
  for (int k = 0; k < 30 && glGetError() != GL_NO_ERROR; ++k) {
  }
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glEnable(GL_BLEND);
  blend_on_ = true;
  glDisable(GL_SCISSOR_TEST);
}

int OGL_gl_backend::poll(std::vector<plat::WinEvent>& out) { return plat::window_poll(out); }
void OGL_gl_backend::wait(double seconds) { plat::window_wait(seconds); }
void OGL_gl_backend::show_cursor(int show) { plat::window_show_cursor(show); }

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
  return ok;
}

void OGL_gl_backend::read_pixels(int x, int y, int w, int h, std::vector<std::uint8_t>& rgb) {
  flush();
  glFinish();
  rgb.assign(static_cast<size_t>(w) * h * 3, 0);
  glReadPixels(x, y, w, h, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
}
