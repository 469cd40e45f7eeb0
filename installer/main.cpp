// The installer core.
//
// [SECTION] run state        the record `stg` and the installer's globals
// [SECTION] bookkeeping      streams and progress of a running install
// [SECTION] texts            numbers, sizes, percentages and time left
#include "installer/main.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "ui/xtim.h"

// ------------------------------------------------------------ [SECTION] run state

stg_class stg;

const std::string no_install_name = "Not Yet Scanned";
const std::string build_name = "Skyvane 9.00 Beta-17";

std::string install_name = no_install_name;
std::string temp_path;
std::string dest_dir_path;
std::string dvd_path;
std::string crnt_file_name;
std::string crnt_file_path;
std::string server_name[10];
std::string server_path[10];
std::string server_desc[10];
std::string net_dir_path_zip;
std::string dir_path;
std::string dir_path_path;

float totl_inst_rat = 0;
float tot_availabl = -1;
float tot_down_req = 0;
float tot_disk_req = 0;
std::string tot_availabl_str;
std::string tot_disk_req_str;
int disk_space_avail = 1;
int wrl_i = 8;
float base_x1 = 132;
float base_x2 = 1016;

next_class next;

void run_state_reset() {
  stg = stg_class{};
  install_name = no_install_name;
  temp_path.clear();
  dest_dir_path.clear();
  dvd_path.clear();
  crnt_file_name.clear();
  crnt_file_path.clear();
  for (int i = 0; i < 10; ++i) {
    server_name[i].clear();
    server_path[i].clear();
    server_desc[i].clear();
  }
  net_dir_path_zip.clear();
  dir_path.clear();
  dir_path_path.clear();
  totl_inst_rat = 0;
  tot_availabl = -1;
  tot_down_req = tot_disk_req = 0;
  tot_availabl_str.clear();
  tot_disk_req_str.clear();
  disk_space_avail = 1;
  wrl_i = 8;
  next = next_class{};
}

// ------------------------------------------------------------ [SECTION] bookkeeping

std::string stream_archive_path(int s) { return temp_path + std::to_string(s) + ".zip"; }

void next_stream_rule(int s) {
  float elapsed = xtim.real_time - next.star_time;
  if (!(elapsed > 1)) elapsed = 1;
  const float rate = (next.file_down + next.comp_down) / elapsed;

  int target = 2;
  if (rate > 50) target = 4;
  if (rate > 100) target = 6;
  if (rate > 150) target = 8;
  if (rate > 200) target = 9;
  if (stg.stream_count != 0) target = stg.stream_count;
  if (install_type != 0) target = 1;

  int count = 0;
  for (int i = 0; i < 4; ++i) count += next.stream_active[i] ? 1 : 0;

  if (target > count) {
    for (int i = 0; i < 4; ++i) {
      if (!next.stream_active[i]) {
        next.stream_active[i] = 1;
        next.stream_waiting[i] = 1;
        break;
      }
    }
  }
  if (target < count)
    next.stream_active[s] = 0;
  else
    next.stream_waiting[s] = 1;
}

// ------------------------------------------------------------ [SECTION] texts

void int_to_str(int value, char* buf, int min_digits, int plus) {
  if (min_digits > 10) min_digits = 10;
  if (min_digits < 1) min_digits = 1;
  // The magnitude as unsigned, so that the most negative int is written too.
  const unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  const char* sign = value < 0 ? "-" : (plus ? "+" : "");
  std::snprintf(buf, 16, "%s%0*u", sign, min_digits, magnitude);
}

std::string one_decimal_str(float value, int min_digits) {
  const double p = value;
  const double mag = std::fabs(p);
  double whole = std::trunc(mag);
  double tenths = std::round((mag - whole) * 10.0);  // halves away from zero
  if (tenths >= 10) {
    whole += 1;
    tenths = 0;
  }
  char w[16];
  // The whole part is at most what fits the 10 digits of int_to_str.
  const double capped = std::fmin(whole, 2147483647.0);
  int_to_str(static_cast<int>(capped), w, min_digits, 0);
  for (char* c = w; c[0] == '0' && c[1] != '\0'; ++c) *c = ' ';
  char t[16];
  int_to_str(static_cast<int>(tenths), t, 1, 0);
  return std::string(p < 0 ? "-" : "") + w + "." + t;
}

void set_size_str(float size, std::string* out) {
  const float m = size * 0.001f;
  if (m < 1000)
    *out = one_decimal_str(m, 1) + " Meg";
  else
    *out = one_decimal_str(m * 0.001f, 1) + " Gig";
}

std::string time_left_str(float seconds) {
  char n[16];
  if (seconds < 120) {
    int_to_str(static_cast<int>(seconds), n, 1, 0);
    return std::string(n) + " seconds";
  }
  if (seconds < 7200) {
    int_to_str(static_cast<int>(seconds / 60), n, 1, 0);
    return std::string(n) + " minutes";
  }
  const float hours = std::fmin(seconds / 3600, 2147483647.0f);
  int_to_str(static_cast<int>(hours), n, 1, 0);
  return std::string(n) + " hours";
}
