#include "engine/run_state.h"

#include <cmath>
#include <random>

#include "engine/utils.h"
#include "platform/file.h"
#include "support/text.h"

stg_class stg;

const std::string no_install_name = "Not Yet Scanned";

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

float retry_backoff_base = 1.0f;

float retry_delay(int failures) {
  float d = retry_backoff_base;
  for (int i = 1; i < failures && d < 30 * retry_backoff_base; ++i) d *= 2;
  return std::fmin(d, 30 * retry_backoff_base);
}

namespace {

std::mt19937 g_rng{12345};

}  // namespace

int app_rand() { return static_cast<int>(g_rng() % 32768u); }
void app_seed(unsigned seed) { g_rng.seed(seed); }

int draw_server_skewed(int count) {
  const double r = app_rand() / 32767.0;
  const double s = std::pow(r, 1.5);
  int pick = static_cast<int>(count * s);
  if (pick > count - 1) pick = count - 1;
  if (pick < 0) pick = 0;
  return count > 0 ? pick : -1;
}

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
  next = next_class{};
  retry_backoff_base = 1.0f;
}

bool version_name_usable(const std::string& name) {
  if (name.empty() || name.front() == '.') return false;  // hidden, ".", ".." or only dots
  if (name.find_first_of("/\\:") != std::string::npos) return false;
  if (name.find_first_not_of(" \t.") == std::string::npos) return false;
  if (name.back() == ' ' || name.back() == '.' || name.back() == '\t') return false;
  if (!plat::windows_name_problem(name).empty()) return false;
  return !has_control_chars(name);
}
