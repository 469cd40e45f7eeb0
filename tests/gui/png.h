// Writes RGB pixels as a PNG file (zlib-compressed, no filtering) so that
// screenshots of the test screens can be looked at.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace gui_test {

// `rgb` holds h rows of w RGB pixels, bottom row first (as glReadPixels
// returns them); the file shows them top row first.
inline bool write_png(const std::string& path, int w, int h, const std::vector<std::uint8_t>& rgb) {
  std::vector<std::uint8_t> raw;
  raw.reserve(static_cast<size_t>(h) * (w * 3 + 1));
  for (int y = h - 1; y >= 0; --y) {
    raw.push_back(0);
    raw.insert(raw.end(), rgb.begin() + static_cast<long>(y) * w * 3, rgb.begin() + static_cast<long>(y + 1) * w * 3);
  }
  uLongf zlen = compressBound(raw.size());
  std::vector<std::uint8_t> z(zlen);
  if (compress2(z.data(), &zlen, raw.data(), raw.size(), 6) != Z_OK) return false;
  z.resize(zlen);
  std::ofstream out(path, std::ios::binary);
  auto be32 = [&](std::uint32_t v) {
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.write(b, 4);
  };
  auto chunk = [&](const char* type, const std::vector<std::uint8_t>& data) {
    be32(static_cast<std::uint32_t>(data.size()));
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    if (!data.empty()) crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
    out.write(type, 4);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    be32(static_cast<std::uint32_t>(crc));
  };
  out.write("\x89PNG\r\n\x1a\n", 8);
  std::vector<std::uint8_t> ihdr = {std::uint8_t(w >> 24), std::uint8_t(w >> 16), std::uint8_t(w >> 8), std::uint8_t(w),
                                    std::uint8_t(h >> 24), std::uint8_t(h >> 16), std::uint8_t(h >> 8), std::uint8_t(h),
                                    8, 2, 0, 0, 0};
  chunk("IHDR", ihdr);
  chunk("IDAT", z);
  chunk("IEND", {});
  return static_cast<bool>(out);
}

}  // namespace gui_test
