// Commands: named actions that key bindings run. This program has one
// inert command.
#pragma once

#include <string>
#include <vector>

class cmnd_class {
 public:
  cmnd_class();

  // Index of the command named `name`; -1 when none.
  int get_cmnd_by_name(const std::string& name) const;
  std::string get_cmnd_name(int i) const;
  std::string get_cmnd_desc(int i) const;
  // The distinct next path components of every command name that begins
  // with `path` (e.g. "sim/" gives "operation").
  void get_cmds_in_path(const std::string& path, std::vector<std::string>& list) const;
  // Command actions; they do nothing in this program but count presses.
  void press_one(int i);
  void release_one(int i);
  void press_always(int i);

  std::vector<std::string> cmnd_enums, cmnd_names, cmnd_descs;
  std::vector<int> cmnd_type;
  int presses = 0;  // presses seen (press_one and press_always)
};

extern cmnd_class cmnd;
