#include "prefs/pref.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>

#include "engine/IO_UTILS.h"
#include "engine/xmap.h"
#include "platform/file.h"
#include "engine/run_state.h"
#include "net/http.h"
#include "support/UTL_cmdline.h"
#include "support/hl_init.h"

pref_class pref;
std::map<std::string, std::uint64_t> release_serials;

namespace {

constexpr int kPrefVersion = 9001;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_line_end(char c) { return c == '\r' || c == '\n' || c == '\0'; }

}  // namespace

int clamp_stream_count(int count) { return count < 0 ? 0 : (count > 4 ? 4 : count); }

std::string pref_file_path() {
  std::string folder;
  get_OS_abs_path(4, folder);
  return folder + "Skyvane Installer.prf";
}

scan_class::scan_class(const std::string& path, int opr_typ) : opr_typ(opr_typ) {
  if (opr_typ == 1) {
    ouf_open(path, 10001, kPrefVersion);
    return;
  }
  xmap_class map(path);
  static const int versions[] = {kPrefVersion, 0};
  if (!map.mBegin || map.check_file(10001, versions, nullptr, nullptr) != kPrefVersion) return;
  const char* p = reinterpret_cast<const char*>(map.mCrt);
  const char* end = reinterpret_cast<const char*>(map.mEnd);
  while (p < end) {
    while (p < end && is_blank(*p)) ++p;
    const char* tag_start = p;
    while (p < end && !is_blank(*p) && !is_line_end(*p)) ++p;
    const std::string tag(tag_start, p);
    if (tag.empty()) {
      // A line of blanks or stray line ends: step over them.
      while (p < end && (is_line_end(*p) || is_blank(*p))) ++p;
      continue;
    }
    while (p < end && is_blank(*p)) ++p;
    const char* value_start = p;
    while (p < end && !is_line_end(*p)) ++p;
    const std::string value(value_start, p);
    while (p < end && (is_line_end(*p) || is_blank(*p))) ++p;
    prefs_map[tag] = value;
  }
}

scan_class::~scan_class() {
  if (opr_typ == 1 && ouf.is_open()) ouf.close();
}

int scan_class::fetch_or_get(const std::string& put, std::string& got, const std::string& tag) {
  if (opr_typ == 1) {
    ouf << tag << " " << put << "\n";
    return 0;
  }
  const std::string option = "--pref:" + tag;
  if (cmdline.has_option(option.c_str())) {
    got = cmdline.get_option(option.c_str());
    return 1;
  }
  const auto it = prefs_map.find(tag);
  if (it == prefs_map.end()) return 0;
  got = it->second;
  return 1;
}

void pref_class::IO_set(int which, int direction) {
  if (which != 11) return;
  // Written beside the file and moved over it once complete, so that a
  // crash or a full disk while saving never loses the settings.
  const std::string path = pref_file_path();
  const std::string written = direction == 1 ? path + ".new" : path;
  scan_class scan(written, direction);

  struct IntSetting {
    const char* tag;
    int* value;
  };
  const IntSetting ints[] = {
      {"_use_max_cpu", &stg.use_max_cpu},       {"_rename_folder", &stg.rename_folder},
      {"_stream_count", &stg.stream_count},     {"_log_actions", &stg.log_actions},
      {"_always_ask_dir", &stg.always_ask_dir},
  };
  struct TextSetting {
    const char* tag;
    std::string* value;
  };
  const TextSetting texts[] = {
      {"_dest_dir_path", &dest_dir_path},
      {"_proxy_host", &http.ProxyHost},
      {"_proxy_port", &http.ProxyPort_str},
      {"_ca_file", &http.ca_file},
  };

  auto do_int = [&](const char* tag, int* value) {
    if (direction == 1) {
      char text[16];
      std::snprintf(text, sizeof text, "%d", *value);
      std::string unused;
      scan.fetch_or_get(text, unused, tag);
    } else {
      std::string got;
      if (scan.fetch_or_get("", got, tag)) *value = std::atoi(got.c_str());
    }
  };
  // A text value with a control character is refused where it enters and
  // never written: a line break in it would become a setting of its own.
  auto refused = [](const char* tag, const std::string& value) {
    if (!has_control_chars(value)) return false;
    xer << "Preference " << tag << " refused: its value holds control characters.\n";
    return true;
  };

  // Every integer first, then every text, each in table order.
  for (const IntSetting& s : ints) do_int(s.tag, s.value);
  do_int("_proxy_port_int", &http.ProxyPort_int);
  // Persistent connections: on unless the file or the command line says 0.
  // Written only when off, so that a file with every start value stays as
  // it was before this setting existed.
  if (direction == 0 || http.keep_alive != 1) do_int("_keep_alive", &http.keep_alive);
  if (direction == 0) http.keep_alive = http.keep_alive != 0 ? 1 : 0;
  for (const TextSetting& s : texts) {
    if (direction == 1) {
      if (!s.value->empty() && !refused(s.tag, *s.value)) scan.fetch_or_get(*s.value, *s.value, s.tag);
    } else {
      std::string got;
      if (!scan.fetch_or_get("", got, s.tag) || refused(s.tag, got)) continue;
      // An empty destination (an empty line, "--pref:_dest_dir_path=") is
      // no destination: the default one stays. An empty text is no folder.
      if (got.empty() && s.value == &dest_dir_path) {
        xer << "Preference _dest_dir_path is empty: using the default destination " << dest_dir_path << ".\n";
        continue;
      }
      *s.value = got;
    }
  }
  // The serials of signed statements, one tag per server-list host.
  static const std::string kSerialTag = "_release_serial_";
  if (direction == 1) {
    for (const auto& [host, serial] : release_serials) {
      if (serial == 0 || host.empty() || has_control_chars(host) || host.find_first_of(" \t") != std::string::npos)
        continue;
      std::string unused;
      scan.fetch_or_get(std::to_string(serial), unused, kSerialTag + host);
    }
  } else {
    for (const auto& [tag, value] : scan.prefs_map) {
      if (tag.compare(0, kSerialTag.size(), kSerialTag) != 0 || tag.size() == kSerialTag.size()) continue;
      if (value.empty() || value.size() > 19 || value.find_first_not_of("0123456789") != std::string::npos) continue;
      std::uint64_t& seen = release_serials[tag.substr(kSerialTag.size())];
      seen = std::max<std::uint64_t>(seen, std::strtoull(value.c_str(), nullptr, 10));
    }
  }
  // A stream count outside 0..4 (a negative one would start no stream and
  // end the install at once) is brought into that range where it enters.
  if (direction == 0 && clamp_stream_count(stg.stream_count) != stg.stream_count) {
    xer << "Preference _stream_count " << stg.stream_count << " is out of range; using "
        << clamp_stream_count(stg.stream_count) << ".\n";
    stg.stream_count = clamp_stream_count(stg.stream_count);
  }
  // A destination always ends in "/": a hand-edited file may have lost it.
  if (direction == 0 && !dest_dir_path.empty() && dest_dir_path.back() != '/') dest_dir_path += '/';

  if (direction != 1 || !ouf.is_open()) return;
  ouf.close();
  if (ouf.fail()) {
    xer << "Could not write the preferences to " << written << "; the old file is kept.\n";
    delete_file(written);
    return;
  }
  const int err = plat::path_rename(written, path);
  if (err != 0) {
    xer << "Could not save the preferences as " << path << ": " << error_str(err) << "\n";
    delete_file(written);
  }
}
