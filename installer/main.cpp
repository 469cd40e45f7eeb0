#include "installer/main.h"

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
}
