// The preferences screen, the licence agreement and the picture buttons.
#include "prefs/sub_wins.h"

#include "installer/main.h"
#include "net/http.h"
#include "ui/butn.h"
#include "ui/colr.h"
#include "ui/hl_init.h"
#include "ui/hl_mnw.h"
#include "ui/ogle.h"
#include "ui/oglp.h"

int agreed = 0;

namespace {

constexpr float kImage = 1024;  // the interface image's texture coordinates run over 1024 texels
constexpr int kTintSlot = 102;  // colour slot of the picture buttons' tint

bool pointer_in(float x, float y, float w, float h) {
  return mnw.mx >= x && mnw.mx <= x + w && mnw.my >= y && mnw.my <= y + h;
}

void image_quad(float x, float y, float s, float t, float w, float h, float alpha) {
  OGL_2dquad(tex_interface, kTintSlot, alpha, x, y, s / kImage, t / kImage, x + w, y, (s + w) / kImage, t / kImage,
             x + w, y + h, (s + w) / kImage, (t + h) / kImage, x, y + h, s / kImage, (t + h) / kImage);
}

}  // namespace

int interface_rect(float x, float y, float s, float t, float w, float h, int hilite, int tint) {
  colr.assign(kTintSlot, 1, 1, 1);
  if (tint == 1) colr.assign(kTintSlot, 0.8f, 1.0f, 0.8f);
  if (tint == 2) colr.assign(kTintSlot, 1.0f, 0.8f, 0.8f);
  const bool inside = pointer_in(x, y, w, h);
  if (hilite && inside) t -= mnw.now_dragging ? 2 * (h + 1) : h + 1;
  image_quad(x, y, s, t, w, h, 1);
  return mnw.mouse_clicked && inside ? 1 : 0;
}

void interface_icon_texels(int index, float& s, float& t) {
  s = static_cast<float>((index % 8) * 64);
  t = static_cast<float>((index / 8) * 64 + 66);
}

int interface_icon(float x, float y, int index) {
  float s, t;
  interface_icon_texels(index, s, t);
  return interface_rect(x, y, s, t, 64, 64, 0, 0);
}

void interface_rect_greyed(float x, float y, float s, float t, float w, float h) {
  colr.assign(kTintSlot, 0.55f, 0.55f, 0.55f);
  image_quad(x, y, s, t, w, h, 0.45f);
  colr.assign(kTintSlot, 1, 1, 1);
}

int proxy_port_from_text(const std::string& text, int current) {
  if (text.empty()) return current;
  for (char c : text)
    if (!(c >= '0' && c <= '9') && c != '+' && c != '-') return -1;
  const bool sign = text[0] == '+' || text[0] == '-';
  const std::string digits = text.substr(sign ? 1 : 0);
  if (digits.empty() || digits.size() > 9) return -1;
  // A sign anywhere but first is not a number.
  for (char c : digits)
    if (c < '0' || c > '9') return -1;
  const int v = std::stoi(digits);
  return text[0] == '-' ? -v : v;
}

// ------------------------------------------------------------ preferences

void draw_prefs() {
  OGL_plot_back_col();
  BTN_fillwin(1, 21);
  float next_x = 0, next_y = 0;
  BTN_subwin(0, 13, -1, -1, -1, 70, "Proxy (if you are behind a firewall with a Proxy)", next_x, next_y);
  BTN_subwin(0, 13, -1, next_y, -1, -1, "General Preferences", next_x, next_y);

  int os = stg.download_os - 1;
  BTN_textlist(200, 310, &os, "Macintosh-Windows-Linux",
               "Operating System to download Skyvane for:|(Install and copy the entire Skyvane folder to another "
               "computer if you like)");
  stg.download_os = os + 1;

  BTN_bool(30, 265, &stg.use_max_cpu,
           "|run at full speed all the time, always totally saturating the CPU... typically leave this OFF, since "
           "the installer does not need that much CPU to download stuff!",
           0);
  BTN_bool(30, 230, &stg.rename_folder,
           "|re-name the Aerodeck folder to the latest version number when done with the update... typically leave "
           "this ON, so the installer can indicate the proper version number!",
           0);
  BTN_bool(30, 190, &stg.always_ask_dir,
           "|always ask you to pick your Aerodeck folder on startup... typically leave this OFF, since the installer "
           "will remember your current Skyvane folder after the first use.",
           0);
  int manual_streams = stg.stream_count != 0;
  BTN_bool(30, 150, &manual_streams,
           "|manually set the number of download streams... typically leave this OFF, and the installer will find "
           "the best number of streams for you.",
           0);
  BTN_bool(30, 110, &stg.log_actions,
           "|log installer actions... turn this on to output the installer file downloads and stuff to the file "
           "log.txt.",
           0);
  if (!manual_streams)
    stg.stream_count = 0;
  else
    BTN_int_range(400, 150, &stg.stream_count, 1, 1, 4, "");

  BTN_enterstring(85, 40, &http.ProxyHost, 65, "-proxy host", 455, 1);
  BTN_enterstring(85, 20, &http.ProxyPort_str, 65, "-proxy port", 455, 1);
  http.ProxyPort_int = proxy_port_from_text(http.ProxyPort_str, http.ProxyPort_int);
}

void handle_prefs() {
  MACIBM_startwind(win_prefs);
  while (mnw.top_win_now == win_prefs && !app_done) {
    draw_prefs();
    MACIBM_event_proc();
  }
}

// ------------------------------------------------------------ agreement

void draw_EULA() {
  OGL_plot_back_col();
  BTN_fillwin(1, 21);
  float next_x = 0, next_y = 0;
  BTN_subwin(0, 16, -1, 50, -1, -1, "", next_x, next_y);
  // The window would otherwise show no text at all: say what the buttons do.
  OGL_string(46, 20, 258, "Skyvane licence agreement", 400, charset_prop, 0);
  OGL_string(46, 20, 250, "", 400, charset_prop, 0);
  OGL_string(46, 20, 230, "", 400, charset_prop, 0);
  OGL_string(46, 20, 210, "", 400, charset_prop, 0);
  OGL_string(46, 20, 180,
             "By clicking ACCEPT you agree to the terms of the Skyvane licence and the installation goes ahead. "
             "DECLINE installs nothing.",
             460, charset_prop, 0);
  if (interface_rect(300, 10, 832, 166, 85, 22, 1, 1)) {
    agreed = 0;
    MACIBM_startwind(win_main);
  } else if (interface_rect(400, 10, 918, 166, 59, 22, 1, 1)) {
    agreed = 1;
    MACIBM_startwind(win_main);
  }
}

int handle_EULA() {
  if (agreed) return 1;
  MACIBM_startwind(win_eula);
  while (mnw.top_win_now == win_eula && !app_done) {
    draw_EULA();
    MACIBM_event_proc();
  }
  return agreed;
}
