#include "engine/xmap.h"

#include <cstring>

#include "support/alert.h"
#include "support/hl_init.h"

std::string app_path;

// ----------------------------------------------------------- [SECTION] path rules

void check_len(const std::string& text) {
  if (text.size() >= 500) __MACIBM_alert(0, "String too long!", text, "", "", t_exit, "hl_string", 136);
}

// ------------------------------------------------------------ [SECTION] xmap_class

xmap_class::xmap_class(const std::string& path) {
  if (!path.empty()) mBegin = retry(path);
}

xmap_class::~xmap_class() { release(); }

void xmap_class::release() {
  plat::file_unmap(mFileMapping);
  plat::file_close(mFile);
  mBegin = mCrt = mEnd = nullptr;
}

const unsigned char* xmap_class::retry(const std::string& path) {
  if (!app_path.empty() && path.size() >= app_path.size() && path.find(app_path) != std::string::npos) {
    __MACIBM_alert(0, "retry: We are getting a file string that is not Aerodeck relative!",
                   "This is illegal! All paths must be Aerodeck relative!", "The path in question is:", path, t_exit,
                   "xmap", 122);
  }
  // Only "/" separates folders; a leading drive prefix X:\ is allowed.
  std::size_t from = 0;
  if (path.size() > 2 && path[1] == ':' && path[2] == '\\') from = 3;
  if (path.find_first_of("\\:", from) != std::string::npos) {
    __MACIBM_alert(0, "OOPS!", "I got a bad dirchar! I only want '/'!", "The path in question is:", path, t_exit,
                   "xmap", 128);
  }
  const std::string full = app_path + path;
  check_len(full);

  release();

  if (plat::file_open_read(full, mFile) != 0) return nullptr;
  std::uint64_t size = 0;
  // An empty file has nothing to map: no view, no message.
  if (plat::file_size(mFile, size) != 0 || size == 0) {
    plat::file_close(mFile);
    return nullptr;
  }
  if (const int err = plat::file_map(mFile, size, plat::MapUse::sequential, mFileMapping); err != 0) {
    __MACIBM_alert(0, "Xmapped file ran out of memory", "", "", "", t_alert, "xmap", 197);
    xer << "Mem file error.  Err=" << err << ", file=" << full << "\n";
    plat::file_close(mFile);
    mBegin = mEnd = nullptr;
    return nullptr;
  }
  // The view stays valid once made; the descriptor is no longer needed.
  plat::file_close(mFile);
  mBegin = mFileMapping.data;
  mEnd = mBegin + mFileMapping.size;
  mCrt = mBegin;
  return mBegin;
}

int xmap_class::check_file(int type, const int* versions, const char* keyword, std::string* rest) {
  if (type != xmap_binary && type != xmap_text) {
    __MACIBM_alert(0, "Bad check_file type!", crt_path, "", "", t_exit, "xmap", 12);
  }
  if (!mBegin || mBegin == mEnd) return 0;
  mCrt = mBegin;

  int version = 0;
  if (type == xmap_binary) {
    const unsigned char first = *mCrt++;
    if (first != 'a' && first != 'i') return 0;
    rev_inf_bin = first == 'a' ? 1 : 0;
    if (mEnd - mCrt < 4) return 0;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const std::uint32_t b = mCrt[i];
      v |= rev_inf_bin ? b << (8 * (3 - i)) : b << (8 * i);
    }
    mCrt += 4;
    version = static_cast<int>(v);
  } else {
    const unsigned char first = *mCrt++;
    skip_line();
    if (first != 'A' && first != 'I') return 0;
    version = read_int();
    skip_blanks();
    // The free text after the version is passed over in every case, so that
    // the keyword line (or the body) follows.
    const unsigned char* s = mCrt;
    while (mCrt < mEnd && !xmap_is_line_end(*mCrt)) ++mCrt;
    if (rest) rest->assign(reinterpret_cast<const char*>(s), static_cast<std::size_t>(mCrt - s));
    skip_line_break();
  }

  bool known = false;
  for (const int* v = versions; v && *v != 0; ++v) {
    if (*v == version) {
      known = true;
      break;
    }
  }
  if (!known) return 0;

  if (keyword) {
    skip_blanks();
    const unsigned char* start = mCrt;
    const std::size_t n = std::strlen(keyword);
    // The keyword must stand alone: a blank, a line end or the end of the
    // data follows it.
    const bool match = static_cast<std::size_t>(mEnd - mCrt) >= n && std::memcmp(mCrt, keyword, n) == 0 &&
                       (mCrt + n == mEnd || xmap_is_blank(mCrt[n]) || xmap_is_line_end(mCrt[n]));
    if (!match) {
      mCrt = start;
      return 0;
    }
    mCrt += n;
    skip_line();
  }
  return version;
}

void xmap_class::skip_blanks() {
  while (mCrt < mEnd && xmap_is_blank(*mCrt)) ++mCrt;
}

bool xmap_class::match_keyword(const char* word) {
  skip_blanks();
  const std::size_t n = std::strlen(word);
  if (static_cast<std::size_t>(mEnd - mCrt) <= n) return false;
  if (std::memcmp(mCrt, word, n) != 0 || !xmap_is_blank(mCrt[n])) return false;
  mCrt += n;
  return true;
}

int xmap_class::read_int() {
  skip_blanks();
  bool negative = false;
  if (mCrt < mEnd && *mCrt == '-') {
    negative = true;
    ++mCrt;
  }
  if (mCrt < mEnd && *mCrt == '+') ++mCrt;
  // Unsigned arithmetic: a malformed or over-long number wraps instead of
  // overflowing.
  std::uint32_t v = 0;
  while (mCrt < mEnd && !xmap_is_blank(*mCrt) && !xmap_is_line_end(*mCrt)) {
    v = v * 10u + static_cast<std::uint32_t>(static_cast<int>(*mCrt) - '0');
    ++mCrt;
  }
  if (negative) v = 0u - v;
  return static_cast<int>(v);
}

std::string xmap_class::read_word() {
  skip_blanks();
  const unsigned char* s = mCrt;
  while (mCrt < mEnd && !xmap_is_blank(*mCrt) && !xmap_is_line_end(*mCrt)) ++mCrt;
  return std::string(reinterpret_cast<const char*>(s), static_cast<std::size_t>(mCrt - s));
}

std::string xmap_class::read_rest_of_line() {
  skip_blanks();
  const unsigned char* s = mCrt;
  while (mCrt < mEnd && !xmap_is_line_end(*mCrt)) ++mCrt;
  return std::string(reinterpret_cast<const char*>(s), static_cast<std::size_t>(mCrt - s));
}

void xmap_class::skip_line_break() {
  while (mCrt < mEnd && (xmap_is_blank(*mCrt) || xmap_is_line_end(*mCrt))) ++mCrt;
}

void xmap_class::skip_line() {
  skip_blanks();
  while (mCrt < mEnd && !xmap_is_line_end(*mCrt)) ++mCrt;
  skip_line_break();
}
