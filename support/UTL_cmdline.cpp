#include "support/UTL_cmdline.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "support/hl_init.h"

UTL_cmdline cmdline;
void (*UTL_cmdline_list_commands)(const std::string&) = nullptr;
void (*UTL_cmdline_exit_hook)(int) = nullptr;

const char* const UTL_cmdline_usage =
    "Usage: Skyvane [options...]\n"
    "\n"
    "Usage: skyvane-installer [DESTINATION] [options...]\n"
    "DESTINATION is one argument: put a path with blanks in quotes.\n"
    "Installs or updates a Skyvane folder tree in DESTINATION (default: the folder of the last run,\n"
    "or ~/Skyvane/).\n"
    "\n"
    "Installer options:\n"
    "  --headless                 run without a window; messages go to the log and standard error\n"
    "  --install                  start the install as soon as it can be started (needs --accept_eula)\n"
    "  --accept_eula              accept the licence agreement for an unattended install\n"
    "  --modified=keep|replace|cancel\n"
    "                             what to do with files you changed (default keep)\n"
    "  --download_os=1|2|3        install the files of Macintosh, Windows or Linux\n"
    "  --server_list_host=[https://]HOST[:PORT]\n"
    "                             fetch the server list from this host\n"
    "  --ca_file=FILE             also trust the certificates (PEM) in FILE for https servers\n"
    "  --retry_backoff=SECONDS    first wait after a failed fetch of the server list or the\n"
    "                             directory file (default 1; doubles up to 30 times this)\n"
    "  --release_key=BASE64       also trust releases signed by this public key (repeatable)\n"
    "  --progress=text|json       unattended progress as text lines (default) or one JSON object a line\n"
    "\n"
    "Framework options:\n"
    "  --pref:TAG=VALUE           override one preference for this run\n"
    "  --fps_test                 write every alert to the log instead of showing it; save no preferences\n"
    "  --lock_main_thread         keep the main thread on the first processor\n"
    "  --cmnds=all|PATH           list the commands and exit\n"
    "  --help, -h                 print this text and exit\n";

std::string UTL_cmdline_command_line(const std::string& name, const std::string& desc) {
  std::string line = name;
  if (line.size() < 50) line.append(50 - line.size(), ' ');
  return line + " " + desc + "\n";
}

namespace {

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

void UTL_cmdline::clear() {
  options.clear();
  all_values_.clear();
  positional_.clear();
  positionals_.clear();
  asked_.clear();
}

void UTL_cmdline::store(const std::string& name, const std::string& value) {
  if (name.empty()) return;
  // "--release_key" may be given once per trusted key.
  if (options.count(name) && name != "--release_key")
    xer << "WARNING: command line option " << name << "=" << value << "included twice.\n";
  options[name] = value;
  all_values_[name].push_back(value);
  xer << "     '" << name;
  if (!value.empty()) xer << "'='" << value;
  xer << "'\n";
}

void UTL_cmdline::init_win(const char* text) {
  const std::string s = text ? text : "";
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && is_space(s[i])) ++i;
    if (i >= s.size()) break;
    const size_t name_start = i;
    while (i < s.size() && !is_space(s[i]) && s[i] != '=') ++i;
    const std::string name = s.substr(name_start, i - name_start);
    std::string value;
    if (i < s.size() && s[i] == '=') {
      const size_t value_start = ++i;
      while (i < s.size() && !is_space(s[i])) ++i;
      value = s.substr(value_start, i - value_start);
    }
    store(name, value);
  }
  init_common();
}

void UTL_cmdline::init_args(int argc, const char* const* argv) {
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a] ? argv[a] : "";
    if (arg.empty()) continue;
    if (arg[0] != '-') {
      if (positional_.empty()) positional_ = arg;
      positionals_.push_back(arg);
      continue;
    }
    const size_t eq = arg.find('=');
    if (eq == std::string::npos)
      store(arg, "");
    else
      store(arg.substr(0, eq), arg.substr(eq + 1));
  }
  init_common();
}

int UTL_cmdline::has_option(const char* name) const {
  asked_.insert(name);
  return options.count(name) ? 1 : 0;
}

void UTL_cmdline::expect(std::initializer_list<const char*> names) {
  for (const char* n : names) asked_.insert(n);
}

std::vector<std::string> UTL_cmdline::unasked() const {
  std::vector<std::string> out;
  for (const auto& [name, value] : options)
    if (!asked_.count(name)) out.push_back(name);
  return out;
}

std::vector<std::string> UTL_cmdline::get_all(const char* name) const {
  asked_.insert(name);
  const auto it = all_values_.find(name);
  return it == all_values_.end() ? std::vector<std::string>() : it->second;
}

std::string UTL_cmdline::get_option(const char* name) const {
  asked_.insert(name);
  const auto it = options.find(name);
  return it == options.end() ? std::string() : it->second;
}

void UTL_cmdline::init_common() {
  auto finish = [](int status) {
    std::cout.flush();
    if (UTL_cmdline_exit_hook)
      UTL_cmdline_exit_hook(status);
    else
      std::exit(status);
  };
  if (has_option("--cmnds")) {
    if (UTL_cmdline_list_commands) UTL_cmdline_list_commands(get_option("--cmnds"));
    finish(0);
    return;
  }
  if (has_option("-h") || has_option("--help")) {
    std::cout << UTL_cmdline_usage;
    finish(0);
  }
}
