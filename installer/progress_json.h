// The unattended mode's progress for other programs ("--progress=json"): one
// JSON object a line on standard output, at each change of state or status
// and at most once a second while installing.
#pragma once

#include <cstdint>
#include <string>

// What one line reports. Sizes are those of the directory file, which counts
// in thousands of bytes: the byte counts are exact to the thousand.
struct progress_report {
  std::string state;            // checking, ready, installing, complete, failed, cancelled
  std::string status;           // the status line a person would read
  std::int64_t files_done = 0;  // files fetched or deleted so far in this install
  std::int64_t files_total = 0; // files this install fetches or deletes
  std::int64_t bytes_received = 0;
  std::int64_t bytes_total = 0;   // the download size of the files to fetch
  double rate = 0;                // bytes a second over the last seconds
  double seconds_left = -1;       // estimate; below 0 while none can be made (written as null)
  std::string file;               // the file being worked on; empty when none
};

// The report as one line of JSON, without the line end. Texts are written
// as JSON strings: control characters escaped, a byte that is not part of
// well-formed UTF-8 written as U+FFFD, so every line parses.
std::string progress_json_line(const progress_report& r);

// When a line is due: at the first report, whenever the state or the status
// changes, and otherwise at most once a second while installing.
class progress_json_pacer {
 public:
  bool due(const progress_report& r, double now);

 private:
  bool started_ = false;
  std::string state_, status_;
  double last_ = 0;
};
