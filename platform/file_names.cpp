// Rules on file names that hold on every system: the names Windows cannot
// hold, checked where releases are made as well as where they are installed.
#include "platform/file.h"

namespace plat {

std::string windows_name_problem(const std::string& name) {
  if (name.empty()) return "";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return "it holds a control character, which Windows does not allow in names";
    if (c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*')
      return std::string("it holds \"") + static_cast<char>(c) + "\", which Windows does not allow in names";
  }
  if (name.back() == '.' || name.back() == ' ')
    return "it ends with a dot or a blank, which Windows drops from names";
  // The device names, alone or before an ending ("nul.txt"); blanks before
  // the ending do not count ("CON .txt" is CON too).
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  std::string upper;
  for (char c : base) upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  bool reserved = false;
  for (const char* d : kDevices) reserved = reserved || upper == d;
  if (upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) && upper[3] >= '1' &&
      upper[3] <= '9')
    reserved = true;
  if (reserved) return "Windows reserves the name \"" + base + "\" for a device";
  return "";
}

}  // namespace plat
