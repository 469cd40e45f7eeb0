// Keys: every key event from the window becomes (character, key code,
// flags) and goes first to the focused widget, then to the frame's key flags
// (return_hit, escape_hit, delete_hit), then to the key-binding table.
//
// Key codes are Windows virtual-key codes mapped through a 256-entry table
// (modifiers, mouse buttons and keyless codes become 0; punctuation moves to
// 176..186). Flags: 1 Shift, 2 Alt, 4 Ctrl held; 8 fresh press; 16 release.
// Characters: Backspace 8, Tab 9, Return 13, Escape 27, Left 28, Right 29,
// Up 30, Down 31, Delete 127, keypad digits "0".."9" and "."; a key that
// types nothing else has character 0.
#pragma once

#include <vector>

#include "platform/window.h"

struct key_binding {
  int vkey;  // key code
  int flag;  // modifier flags that must match (1 Shift, 2 Alt, 4 Ctrl)
  int cmnd;  // command index
  int hold;  // 1 while the binding's key is held
};

class keys_class {
 public:
  // Starts empty; keys_io(0) at start-up fills the binding table.
  keys_class() : global_vkey_hit(0), global_flag_hit(0), ShiftToggle(0), ControlToggle(0), OptionKeyToggle(0) {}
  // Back to the start state with the built-in bindings (tests).
  void reset();

  // One key-down or key-up event from the window.
  void handle_key_raw(const plat::WinEvent& e);
  void execute_key_cmnd(int key, int flags);
  // Presses every held binding's command again; once per frame.
  void run_repeat_keys();
  // 0: builds the binding table from the built-in list; 1: writes nothing.
  void keys_io(int write);

  // The key-code table.
  static int map_key(int vkey);

  int global_vkey_hit;  // key code of the last event that reached the bindings
  int global_flag_hit;  // its modifier flags
  std::vector<key_binding> key_bindings;
  int ShiftToggle, ControlToggle, OptionKeyToggle;
};

extern keys_class keys;
