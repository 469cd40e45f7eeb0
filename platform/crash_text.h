// Text for crash reports, built where nothing may allocate: a fixed buffer
// that bytes, hexadecimal and decimal numbers are appended to, cut at its
// end. Shared by the crash handlers of both systems.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {
namespace crash_text {

struct Text {
  char buf[1024];
  std::size_t len = 0;
  void add(const char* s, std::size_t n) {
    for (std::size_t i = 0; i < n && len < sizeof buf; ++i) buf[len++] = s[i];
  }
  void add(const char* s) {
    while (*s && len < sizeof buf) buf[len++] = *s++;
  }
  void hex(std::uintptr_t v, int width) {
    char tmp[2 * sizeof v];
    int n = 0;
    do {
      tmp[n++] = "0123456789abcdef"[v & 15];
      v >>= 4;
    } while (v);
    while (n < width) tmp[n++] = '0';
    while (n > 0) add(&tmp[--n], 1);
  }
  void dec(long long v) {
    char tmp[24];
    int n = 0;
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
      tmp[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u);
    if (v < 0) tmp[n++] = '-';
    while (n > 0) add(&tmp[--n], 1);
  }
};

// The last component of a path ("/" or "\" before it).
inline const char* base_name(const char* path) {
  const char* b = path;
  for (const char* p = path; *p; ++p)
    if (*p == '/' || *p == '\\') b = p + 1;
  return b;
}

}  // namespace crash_text
}  // namespace plat
