// The preferences screen, the licence agreement and the picture buttons.
#include "prefs/sub_wins.h"

#include <algorithm>
#include <cmath>

#include "engine/run_state.h"
#include "net/http.h"
#include "prefs/pref.h"
#include "ui/butn.h"
#include "ui/colr.h"
#include "support/hl_init.h"
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
  // A picture that lights up under the pointer is a button: it is in the
  // focus ring, and Return or Space presses it.
  if (hilite && BTN_focus_press(BTN_identity(x, y), x, y, x + w, y + h) && mnw.menu_up == -1) return 1;
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
  // The bandwidth cap beside the stream count, in thousands of bytes a
  // second over all streams; 0 is no cap.
  BTN_int_range(500, 150, &stg.max_rate, 6, 0, kMaxRateLimit, "cap|k bytes/s (0: none)");
  apply_max_rate();

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

extern const char skyvane_licence_text[];
extern const unsigned long skyvane_licence_text_size;

int licence_scroll = 0;

const std::string& licence_text() {
  static const std::string text(skyvane_licence_text, skyvane_licence_text_size);
  return text;
}

std::vector<std::string> licence_lines(float width) {
  std::vector<std::string> lines;
  const std::string& text = licence_text();
  size_t at = 0;
  while (at <= text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    std::string para = text.substr(at, nl - at);
    if (!para.empty() && para.back() == '\r') para.pop_back();
    at = nl + 1;
    if (nl == text.size() && para.empty()) break;  // the text's final line break
    std::string line;
    size_t k = 0;
    while (k < para.size()) {
      size_t e = para.find(' ', k);
      if (e == std::string::npos) e = para.size();
      std::string word = para.substr(k, e - k);
      k = e + 1;
      const std::string joined = line.empty() ? word : line + " " + word;
      if (str_dx(joined) <= width) {
        line = joined;
        continue;
      }
      if (!line.empty()) lines.push_back(line);
      // A word wider than the line is broken at the edge.
      while (str_dx(word) > width && word.size() > 1) {
        size_t n = 1;
        while (n < word.size() && str_dx(word.substr(0, n + 1)) <= width) ++n;
        lines.push_back(word.substr(0, n));
        word = word.substr(n);
      }
      line = word;
    }
    lines.push_back(line);
  }
  return lines;
}

namespace {

// The licence's place in the agreement window: lines 10 units apart from
// the baseline kLicenceTop down to kLicenceBottom, kLicenceWidth wide, with
// a scroll bar at its right.
constexpr float kLicenceX = 20, kLicenceTop = 258, kLicenceBottom = 60, kLicenceWidth = 446;
constexpr int kLicenceShown = static_cast<int>((kLicenceTop - kLicenceBottom) / 10) + 1;

void licence_view() {
  static const std::vector<std::string> lines = licence_lines(kLicenceWidth);
  const int count = static_cast<int>(lines.size());
  const int last = std::max(0, count - kLicenceShown);
  // The view takes the arrow keys through the focus ring, and the wheel.
  const int who = BTN_identity(kLicenceX, kLicenceTop);
  BTN_register_focus(who, allow_nav);
  if (focus_id == 0) focus_id = who;
  if (focus_id == who)
    BTN_take_keys(who, [&](int, int key, int) {
      switch (key) {
        case 38: --licence_scroll; break;                       // Up
        case 40: ++licence_scroll; break;                       // Down
        case 33: licence_scroll -= kLicenceShown - 1; break;    // Page Up
        case 34: licence_scroll += kLicenceShown - 1; break;    // Page Down
        case 36: licence_scroll = 0; break;                     // Home
        case 35: licence_scroll = last; break;                  // End
        default: break;
      }
      licence_scroll = std::clamp(licence_scroll, 0, last);
    });
  licence_scroll -= 3 * mnw.mouse_wheel;  // a notch away from the user goes back three lines
  mnw.mouse_wheel = 0;
  licence_scroll = std::clamp(licence_scroll, 0, last);
  if (focus_id == who) BTN_focus_mark(kLicenceX - 6, kLicenceBottom - 6, kLicenceX + kLicenceWidth + 2, kLicenceTop + 10);

  for (int i = 0; i < kLicenceShown && licence_scroll + i < count; ++i)
    OGL_string(46, kLicenceX, kLicenceTop - 10.0f * i, lines[licence_scroll + i], 0, charset_prop, 0);
  if (last == 0) return;
  // The scroll bar: a track with a thumb as long as the part shown.
  const float track_x = kLicenceX + kLicenceWidth + 10, track_y = kLicenceBottom - 4,
              track_h = kLicenceTop - kLicenceBottom + 12;
  OGL_fillrect(42, 0.35f, track_x, track_y, 6, track_h);
  const float thumb_h = std::max(12.0f, track_h * kLicenceShown / count);
  float thumb_y = track_y + (track_h - thumb_h) * (1.0f - static_cast<float>(licence_scroll) / last);
  // The bar takes the mouse (a little wider than drawn): a press on the
  // thumb drags it while the button is held; a press above or below it
  // moves a page that way.
  static float grab = -1;  // pointer height above the thumb's bottom while dragging; -1 none
  const bool on_track = mnw.mx >= track_x - 3 && mnw.mx <= track_x + 9 && mnw.my >= track_y &&
                        mnw.my <= track_y + track_h;
  if (mnw.mouse_clicked && on_track) {
    if (mnw.my >= thumb_y && mnw.my <= thumb_y + thumb_h) grab = mnw.my - thumb_y;
    else licence_scroll += mnw.my > thumb_y ? -(kLicenceShown - 1) : kLicenceShown - 1;
  }
  if (!mnw.now_dragging) grab = -1;
  if (grab >= 0 && !mnw.mouse_clicked) {
    const float f = std::clamp((mnw.my - grab - track_y) / std::max(1.0f, track_h - thumb_h), 0.0f, 1.0f);
    licence_scroll = static_cast<int>(std::lround((1.0f - f) * last));
  }
  licence_scroll = std::clamp(licence_scroll, 0, last);
  thumb_y = track_y + (track_h - thumb_h) * (1.0f - static_cast<float>(licence_scroll) / last);
  OGL_fillrect(43, 1.0f, track_x, thumb_y, 6, thumb_h);
  OGL_string(46, 20, 18, "Scroll with the wheel or the arrow keys.", 0, charset_prop, 0);
}

}  // namespace

void draw_EULA() {
  OGL_plot_back_col();
  BTN_fillwin(1, 21);
  float next_x = 0, next_y = 0;
  BTN_subwin(0, 16, -1, 50, -1, -1, "", next_x, next_y);
  licence_view();
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
  licence_scroll = 0;
  while (mnw.top_win_now == win_eula && !app_done) {
    draw_EULA();
    MACIBM_event_proc();
  }
  return agreed;
}
