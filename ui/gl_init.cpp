// Start-up of the framework with its window: the log and its header, the
// command line, the window and GL context, the interface images and the
// palette, and the first start-up screens.
#include <cmath>
#include <string>

#include "ui/gl_init.h"
#include "platform/system.h"
#include "platform/window.h"
#include "support/UTL_cmdline.h"
#include "ui/butn.h"
#include "ui/colr.h"
#include "ui/gl_backend.h"
#include "ui/hl_alert.h"
#include "support/hl_init.h"
#include "ui/hl_mnw.h"
#include "ui/keys.h"
#include "ui/oglp.h"

namespace {

// The folder part of a path: everything up to and including the last "/",
// a single trailing separator skipped first; short strings are taken whole.
std::string folder_of(std::string p) {
  if (p.size() <= 3) return p;
  size_t end = p.size();
  if (p[end - 1] == '/') --end;
  const size_t slash = p.rfind('/', end - 1);
  return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

void close_window() {
  ogl_gl.flush();
  plat::window_close();
  ogl_be = OGL_null_backend();
  mnw.window[0] = mnw.context[0] = mnw.dc[0] = nullptr;
}

}  // namespace

// Creates the window of interface 0 with its GL context; 1 on success.
int MACIBM_make_context(int i) {
  if (i != 0) return 0;  // no second-monitor window on this system
  // A window scaled to fit a small screen has its title bar, so that it
  // can be moved.
  const float s = g_window_scale;
  const int w = static_cast<int>(std::lround(mnw.x_res_now * s)), h = static_cast<int>(std::lround(mnw.y_res_now * s));
  const bool framed = s < 1.0f || (g_mon_x_res_now > w + 20 && g_mon_y_res_now > h + 20);
  std::string why;
  if (plat::window_open(w, h, "Aerodeck", framed, why) != 0) {
    xer << "The window could not be made: " << why << "\n";
    xer.flush();
    return 0;
  }
  {
    const plat::WindowPlacement p = plat::window_placement();
    xer << "Window at " << p.x << ", " << p.y << " (frame left " << p.left << ", top " << p.top << ", right "
        << p.right << ", bottom " << p.bottom << "); work area from " << p.work_x << ", " << p.work_y << ".\n";
  }
  ogl_be = &ogl_gl;
  ogl_gl.pixel_scale = s;
  mnw.window[0] = mnw.context[0] = mnw.dc[0] = &ogl_gl;
  if (!plat::window_swap_interval(0)) xer << "Warning: unable to disable vsync.\n";
  ogl_gl.init_state();
  xer << "OpenGL: " << ogl_gl.describe() << "\n";
  xer.flush();
  return 1;
}

void MACIBM_nuke_context(int) { close_window(); }

void MACIBM_init(int argc, const char* const* argv) {
  std::string app_path = folder_of(plat::exe_path());
  HL_open_log(app_path);
  HL_log_system(app_path);
  app_path.clear();  // the installer's own location plays no part later

  cmdline.init_args(argc, argv);
  keys.keys_io(0);
  if (stls.text[602].empty()) stls.text[602] = "OK";

  mnw.x_res_req = 1024;
  mnw.y_res_req = 768;
  mnw.tex_res = 5;
  mnw.col_res_req = 32;
  mnw.alias_req = 0;
  mnw.lang = 0;
  plat::monitor_size(g_mon_x_res_now, g_mon_y_res_now);
  {
    int work_w = 0, work_h = 0;
    plat::monitor_work_area(work_w, work_h);
    g_window_scale = MACIBM_window_scale(work_w, work_h, 32);
    xer << "Work area " << work_w << " x " << work_h << ": the window is drawn at scale " << g_window_scale << ".\n";
  }
  xer << "Second-monitor windows are not used on this system.\n";
  MACIBM_setres(1);
  if (!MACIBM_make_context(0)) {
    __MACIBM_alert(0,
                   "I could not set up the graphics for Skyvane! I hope your monitor is at 1024x768 or higher! It "
                   "must be!",
                   "You do not meet the system requirements or you do not have OpenGL drivers or you entered a bad "
                   "resolution in Skyvane!",
                   "You need at least 256 meg of RAM, 16 meg of VRAM, and OpenGl drivers for your 3-D accelerator card!",
                   "If you reset the resolution, you can try launching Skyvane again, since I am resetting Skyvane to "
                   "default resolution now.",
                   t_exit, "hl_init", 1358);
    return;
  }
  HL_close_window_hook = close_window;

  OGL_pix_specs(0);
  if (!ogl_gl.load_textures())
    __MACIBM_alert(0, "Trying to create a texture either less than 1 or greater than 2048!", "", "", "", t_exit, "tman",
                   0);
  colr.take_palette(ogl_gl.widget_pixels().data());

  MACIBM_clear_menus(1);
  MACIBM_startwind(-1);
  OGL_pix_specs(0);
  ogl_inited = 1;
  HL_use_drawn_alerts();

  MACIBM_show_init("Will init plugins.");
  MACIBM_show_init("Starting application.");
}
