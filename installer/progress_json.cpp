#include "installer/progress_json.h"

#include <cmath>
#include <cstdio>

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0 when there is none.
std::size_t utf8_sequence(const std::string& s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t n = 0;
  unsigned lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
  else return 0;
  if (i + n > s.size()) return 0;
  if (b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
  return n;
}

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const std::size_t n = utf8_sequence(s, i);
      if (n == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(s, i, n);
        i += n;
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char u[8];
          std::snprintf(u, sizeof u, "\\u%04x", c);
          out += u;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string json_int(std::int64_t v) { return std::to_string(v); }

// A count of a second or a rate: whole numbers, never NaN or infinite.
std::string json_whole(double v) {
  if (!std::isfinite(v) || v < 0) v = 0;
  return std::to_string(static_cast<std::int64_t>(std::llround(std::fmin(v, 9.0e15))));
}

}  // namespace

std::string progress_json_line(const progress_report& r) {
  std::string line = "{\"state\":" + json_string(r.state);
  line += ",\"status\":" + json_string(r.status);
  line += ",\"files_done\":" + json_int(r.files_done);
  line += ",\"files_total\":" + json_int(r.files_total);
  line += ",\"bytes_received\":" + json_int(r.bytes_received);
  line += ",\"bytes_total\":" + json_int(r.bytes_total);
  line += ",\"rate\":" + json_whole(r.rate);
  line += ",\"seconds_left\":" + (r.seconds_left >= 0 && std::isfinite(r.seconds_left) ? json_whole(r.seconds_left)
                                                                                          : std::string("null"));
  line += ",\"file\":" + json_string(r.file) + "}";
  return line;
}

bool progress_json_pacer::due(const progress_report& r, double now) {
  const bool changed = !started_ || r.state != state_ || r.status != status_;
  const bool tick = r.state == "installing" && now - last_ >= 1.0;
  if (!changed && !tick) return false;
  started_ = true;
  state_ = r.state;
  status_ = r.status;
  last_ = now;
  return true;
}
