#include "ui/keys.h"

#include "ui/butn.h"
#include "ui/cmnd.h"
#include "ui/hl_mnw.h"

keys_class keys;

namespace {

struct KeyTable {
  unsigned char map[256];
  constexpr KeyTable() : map() {
    for (int i = 0; i < 256; ++i) map[i] = static_cast<unsigned char>(i);
    auto zero = [this](int a, int b) {
      for (int i = a; i <= b; ++i) map[i] = 0;
    };
    zero(1, 7);
    zero(10, 11);
    zero(14, 26);
    zero(28, 31);
    zero(58, 64);
    zero(91, 95);
    zero(108, 108);
    zero(136, 185);
    zero(193, 218);
    zero(224, 255);
    const unsigned char punct1[] = {181, 176, 183, 177, 185, 184, 186};  // 186..192
    for (int i = 0; i < 7; ++i) map[186 + i] = punct1[i];
    const unsigned char punct2[] = {179, 182, 178, 180, 186};  // 219..223
    for (int i = 0; i < 5; ++i) map[219 + i] = punct2[i];
  }
};
constexpr KeyTable kKeyTable;

}  // namespace

void keys_class::reset() {
  global_vkey_hit = global_flag_hit = 0;
  key_bindings.clear();
  ShiftToggle = ControlToggle = OptionKeyToggle = 0;
  keys_io(0);
}

int keys_class::map_key(int vkey) { return vkey >= 0 && vkey < 256 ? kKeyTable.map[vkey] : 0; }

void keys_class::handle_key_raw(const plat::WinEvent& e) {
  const bool down = e.type == plat::WinEvent::key_down;
  if (!down && e.type != plat::WinEvent::key_up) return;
  // Lock keys produce no event at all.
  if ((e.scan == 0x45 && e.extended) || e.scan == 0x3A || e.scan == 0x46) return;
  // Modifiers only track their state.
  if (e.scan == 0x2A || e.vkey == 16) {
    ShiftToggle = down;
    return;
  }
  if (e.scan == 0x1D || e.vkey == 17) {
    ControlToggle = down;
    return;
  }
  if (e.scan == 0x38 || e.vkey == 18) {
    OptionKeyToggle = down;
    return;
  }

  int ch = e.ch & 0xFF;
  int flags = e.mods & 7;
  // AltGr is reported as Ctrl+Alt: a key held with both that typed a
  // character is that character, never a Ctrl shortcut (AltGr+V types a
  // letter of its own and must not paste).
  if ((flags & 6) == 6 && ch >= 32 && ch != 127) flags &= ~6;
  if (down && !e.repeat) flags |= 8;
  if (!down) flags |= 16;

  const int vk = e.vkey;
  int key = map_key(vk);
  switch (vk) {
    case 8: ch = 8; break;
    case 9: ch = 9; break;
    case 13: ch = 13; break;
    case 27: ch = 27; break;
    case 37: ch = 28; break;
    case 38: ch = 30; break;
    case 39: ch = 29; break;
    case 40: ch = 31; break;
    case 46: ch = 127; break;
    case 110: ch = '.'; break;
    default:
      if (vk >= 96 && vk <= 105) ch = '0' + (vk - 96);
      break;
  }
  if (flags == 0 && ch == 0 && key == 0) return;

  // Escape closes an open pop-up list before anything else sees it.
  if (key == 27 && down && mnw.menu_up == popup_slot) {
    MACIBM_close_popup();
    return;
  }
  if (BTN_dispatch_to_focus(ch, key, flags)) return;

  // The alert and the question count only keys pressed while they are
  // shown: the auto-repeat of a key held from before does not answer them.
  if (!(flags & 16) && (flags & 8 || !MACIBM_is_question_window(mnw.top_win_now))) {
    if (key == 13) return_hit = 1;
    if (key == 27) escape_hit = 1;
    if (key == 46 || key == 8) delete_hit = 1;
    // Return closes a window whose default is its close box (the
    // preferences); Escape closes every such window. The agreement has no
    // default: Return there chooses nothing until ACCEPT or DECLINE has the
    // focus, and Escape closes it as its close box does (not accepted).
    if (mnw.top_win_now != 0 && (return_hit || escape_hit)) {
      if (escape_hit || mnw.top_win_now != win_eula) MACIBM_handleclick(1);
      return;
    }
    if (ch) mnw.key_pressed = ch;
  }
  global_vkey_hit = key;
  global_flag_hit = flags & 7;
  if (mnw.top_win_now != 999 && (key == 13 || (mnw.typing_message == 0 && key != 0))) execute_key_cmnd(key, flags);
}

void keys_class::execute_key_cmnd(int key, int flags) {
  for (key_binding& b : key_bindings) {
    if (b.vkey != key) continue;
    if ((flags & 7) == b.flag && (flags & 8)) {
      cmnd.press_one(b.cmnd);
      b.hold = 1;
    }
    if (b.hold && (flags & 16)) {
      cmnd.release_one(b.cmnd);
      b.hold = 0;
    }
  }
}

void keys_class::run_repeat_keys() {
  for (const key_binding& b : key_bindings)
    if (b.hold) cmnd.press_always(b.cmnd);
}

void keys_class::keys_io(int write) {
  if (write) return;
  key_bindings.clear();
  key_bindings.push_back({0, 0, cmnd.get_cmnd_by_name("sim/operation/none"), 0});
}
