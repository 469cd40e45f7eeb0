// The preferences file "Skyvane Installer.prf": tag/value lines read once at
// start-up and written once at a normal end. Any tag can be overridden for
// one run with the command-line option "--pref:" + tag + "=" + value.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "support/text.h"

// Reads or writes one file of tag/value lines. In read mode the whole file
// is loaded at construction; in write mode the file is created with its
// two-line header and every fetch_or_get() writes one line.
class scan_class {
 public:
  scan_class(const std::string& path, int opr_typ);
  ~scan_class();
  scan_class(const scan_class&) = delete;
  scan_class& operator=(const scan_class&) = delete;

  // Write mode: writes "tag value" and returns 0. Read mode: a "--pref:tag"
  // command-line option wins, then the file's value; returns 1 and sets
  // `got` when one was found, else returns 0 and leaves `got` alone.
  int fetch_or_get(const std::string& put, std::string& got, const std::string& tag);

  int opr_typ;                                   // 0 read, 1 write
  std::map<std::string, std::string> prefs_map;  // tags read from the file
};

class pref_class {
 public:
  // Reads (direction 0) or writes (direction 1) the preferences; `which` is
  // 11 for the installer's own file.
  void IO_set(int which, int direction);
};

extern pref_class pref;

// The highest serial of a signed statement seen per server-list host
// ("host" or "host:port"), kept with the preferences (tag
// "_release_serial_" + host), so that an older statement is refused even
// after a restart.
extern std::map<std::string, std::uint64_t> release_serials;

// The range a stream count may have: 0 (automatic) to 4 streams.
int clamp_stream_count(int count);
// The largest _max_rate (thousands of bytes a second): six digits.
inline constexpr int kMaxRateLimit = 999999;
// Brings _max_rate into 0..kMaxRateLimit (a log line says when it was not)
// and hands it to the download pool in bytes a second (0: no cap).
void apply_max_rate();

// "Skyvane Installer.prf" in the preferences folder.
std::string pref_file_path();
