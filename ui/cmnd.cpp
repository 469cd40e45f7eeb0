#include "ui/cmnd.h"

#include <algorithm>
#include <iostream>

#include "support/UTL_cmdline.h"

cmnd_class cmnd;

namespace {

struct Builtin {
  const char* e;
  const char* name;
  const char* desc;
  int type;
};
const Builtin kCommands[] = {{"none", "sim/operation/none", "Do nothing at all!", 3}};

// Lists the commands for "--cmnds": with "all" every command with its
// description, else the next path parts below the given path.
void list_commands(const std::string& which) {
  if (which == "all") {
    for (size_t i = 0; i < cmnd.cmnd_names.size(); ++i)
      std::cout << UTL_cmdline_command_line(cmnd.cmnd_names[i], cmnd.cmnd_descs[i]);
    return;
  }
  std::vector<std::string> parts;
  cmnd.get_cmds_in_path(which.empty() || which.back() == '/' ? which : which + "/", parts);
  for (const std::string& p : parts) std::cout << p << "\n";
}

struct Install {
  Install() { UTL_cmdline_list_commands = list_commands; }
} install_listing;

}  // namespace

cmnd_class::cmnd_class() {
  for (const Builtin& b : kCommands) {
    cmnd_enums.push_back(b.e);
    cmnd_names.push_back(b.name);
    cmnd_descs.push_back(b.desc);
    cmnd_type.push_back(b.type);
  }
}

int cmnd_class::get_cmnd_by_name(const std::string& name) const {
  for (size_t i = 0; i < cmnd_names.size(); ++i)
    if (cmnd_names[i] == name) return static_cast<int>(i);
  return -1;
}

std::string cmnd_class::get_cmnd_name(int i) const {
  return i >= 0 && i < static_cast<int>(cmnd_names.size()) ? cmnd_names[i] : std::string();
}

std::string cmnd_class::get_cmnd_desc(int i) const {
  return i >= 0 && i < static_cast<int>(cmnd_descs.size()) ? cmnd_descs[i] : std::string();
}

void cmnd_class::get_cmds_in_path(const std::string& path, std::vector<std::string>& list) const {
  list.clear();
  for (const std::string& n : cmnd_names) {
    if (n.size() <= path.size() || n.compare(0, path.size(), path) != 0) continue;
    const std::string rest = n.substr(path.size());
    const std::string part = rest.substr(0, rest.find('/'));
    if (std::find(list.begin(), list.end(), part) == list.end()) list.push_back(part);
  }
}

void cmnd_class::press_one(int) { ++presses; }
void cmnd_class::release_one(int) {}
void cmnd_class::press_always(int) { ++presses; }
