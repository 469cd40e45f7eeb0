// UTF-8 as the interface meets it: file names and pasted text arrive in it,
// the fonts hold Latin-1 glyphs. A byte that does not start a well-formed
// sequence counts as one character of its own (the Latin-1 character of
// that code), so text that is not UTF-8 still shows and edits sensibly.
#pragma once

#include <string>

// Length in bytes of the character that starts at p (1 to 4; 1 for a byte
// that does not start a well-formed sequence). p < end.
inline int utf8_len(const char* p, const char* end) {
  const unsigned char c = static_cast<unsigned char>(*p);
  int n = 0;
  unsigned min = 0;
  if (c >= 0xC2 && c <= 0xDF) n = 2, min = 0x80;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, min = 0x800;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, min = 0x10000;
  else return 1;
  if (end - p < n) return 1;
  unsigned cp = c & (0x7F >> n);
  for (int k = 1; k < n; ++k) {
    const unsigned char d = static_cast<unsigned char>(p[k]);
    if ((d & 0xC0) != 0x80) return 1;
    cp = cp << 6 | (d & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 1;
  return n;
}

// The code point of the character at p, advancing p past it.
inline unsigned utf8_next(const char*& p, const char* end) {
  const int n = utf8_len(p, end);
  unsigned cp = static_cast<unsigned char>(*p);
  if (n > 1) {
    cp &= 0x7F >> n;
    for (int k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(p[k]) & 0x3F);
  }
  p += n;
  return cp;
}

// Offset of the character boundary before `pos` (pos > 0) in [b, b + len).
inline int utf8_prev(const char* b, int len, int pos) {
  for (int back = 4; back >= 2; --back) {
    const int start = pos - back;
    if (start >= 0 && utf8_len(b + start, b + len) == back) return start;
  }
  return pos - 1;
}

// Offset of the character boundary after `pos` (pos < len).
inline int utf8_after(const char* b, int len, int pos) { return pos + utf8_len(b + pos, b + len); }

// Appends code point cp (below 0x110000) in UTF-8.
inline void utf8_append(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}
