// The command line: a table of options filled once at start-up.
//
// An option is a token of the form NAME or NAME=VALUE ("--install",
// "--modified=keep", "--pref:_log_actions=1"). Lookups are exact and
// case-sensitive. Two options act at once: "--cmnds" lists the commands and
// "--help" / "-h" prints the usage; both end the program.
#pragma once

#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

class UTL_cmdline {
 public:
  // Parses one command-line text: tokens are separated by white space and
  // carry no quoting, so a value ends at the first blank. Then runs the
  // start-up actions.
  void init_win(const char* text);

  // Parses an argument vector (argv[1..argc-1]): every argument is one token
  // kept whole, blanks included, so a path with blanks stays one value. An
  // argument that does not begin with "-" is not an option: the first such
  // argument becomes positional(); every such argument is kept in
  // positionals(), so that a caller can refuse more than one. Then runs the
  // start-up actions.
  void init_args(int argc, const char* const* argv);

  int has_option(const char* name) const;
  std::string get_option(const char* name) const;
  // Every value given to an option that may be repeated, in order
  // (get_option gives the last one).
  std::vector<std::string> get_all(const char* name) const;

  // The first argument given to init_args() that is not an option; empty
  // when there was none.
  const std::string& positional() const { return positional_; }
  // Every argument given to init_args() that is not an option, in order.
  const std::vector<std::string>& positionals() const { return positionals_; }

  // Options the program looks up later in the run (a lookup at a click,
  // at the end): they count as looked up from now on.
  void expect(std::initializer_list<const char*> names);
  // The options given that nothing has looked up (has_option, get_option,
  // get_all) nor expect() named, in the order of their names: a typing
  // mistake in a script ("--acept_eula") that would otherwise change nothing
  // without a word.
  std::vector<std::string> unasked() const;

  // Forgets everything (tests reuse the one instance).
  void clear();

  std::map<std::string, std::string> options;

 private:
  void store(const std::string& name, const std::string& value);
  void init_common();
  std::map<std::string, std::vector<std::string>> all_values_;
  mutable std::set<std::string> asked_;
  std::string positional_;
  std::vector<std::string> positionals_;
};

extern UTL_cmdline cmdline;

// Prints the commands the key table knows for "--cmnds" (value "all" for
// every command); set by the commands module. Without it nothing is listed.
extern void (*UTL_cmdline_list_commands)(const std::string& which);

// One line of the "--cmnds=all" listing: the name left-aligned in 50
// columns, a blank, the description, a line end ("%-50s %s\n").
std::string UTL_cmdline_command_line(const std::string& name, const std::string& desc);

// The usage text printed by "--help".
extern const char* const UTL_cmdline_usage;

// Test seam: called instead of ending the process after "--cmnds" or
// "--help". Null means exit(0).
extern void (*UTL_cmdline_exit_hook)(int status);
