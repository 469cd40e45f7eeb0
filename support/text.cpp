#include "support/text.h"

std::string printable_text(std::string_view text, bool escape_backslash) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else if (c == '\\' && escape_backslash) {
      out += "\\\\";
    } else {
      out += ch;
    }
  }
  return out;
}

bool has_control_chars(std::string_view text) {
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}
