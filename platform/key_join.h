// Joins a key and the character it typed into one key_down.
//
// The window system reports a key and its character one after the other,
// the character right after its key. A key that can type is therefore held
// back until its character arrives (or the poll ends without one), so that
// each key_down carries both, as the key tables expect. Keys held with Ctrl
// or Alt alone type nothing and pass at once; keys held with Ctrl and Alt
// together wait as plain keys do, because that pair is how the system
// reports AltGr: the character it types (an "@" or a "|" on many layouts)
// must arrive on its key, or the key would be taken for the Ctrl shortcut of
// the same letter (AltGr+V for a paste) and its character typed after it.
#pragma once

#include <deque>

#include "platform/window.h"

namespace plat {

class KeyJoin {
 public:
  explicit KeyJoin(std::deque<WinEvent>& queue) : queue_(queue) {}

  // A key event; `can_type`: the key may type a character.
  void key(const WinEvent& e, bool can_type) {
    flush();
    const int ctrl_alt = e.mods & 6;
    if (e.type == WinEvent::key_down && can_type && (ctrl_alt == 0 || ctrl_alt == 6)) {
      pending_ = e;
      have_pending_ = true;
      return;
    }
    queue_.push_back(e);
  }
  // The character the last key typed (0 when outside Latin-1).
  void character(int ch) {
    if (have_pending_) {
      pending_.ch = ch;
      flush();
      return;
    }
    if (ch == 0) return;
    WinEvent e;
    e.type = WinEvent::key_down;
    e.ch = ch;
    queue_.push_back(e);
  }
  // Any other event, or the end of a poll: a held key goes as it is.
  void flush() {
    if (!have_pending_) return;
    queue_.push_back(pending_);
    have_pending_ = false;
  }
  void drop() { have_pending_ = false; }
  bool pending() const { return have_pending_; }

 private:
  std::deque<WinEvent>& queue_;
  WinEvent pending_;
  bool have_pending_ = false;
};

}  // namespace plat
