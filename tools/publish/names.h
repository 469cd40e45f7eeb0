// Which names a release can carry.
//
// Every name the publisher writes ends up in three readers: the directory
// file (one line per entry, a file name read as "the rest of the line" after
// its leading blanks), the server list (one value per line), and the request
// line the installer sends (spaces written as "%20", nothing else escaped).
// A name that any of them would read differently from what was published is
// refused here, with the reason, before anything is written.
//
// Each check returns an empty string when the name is fine, else a sentence
// saying what is wrong with it.
#pragma once

#include <string>

namespace pub {

// One component of a published path (a folder or a file name below the top
// folder): not empty, not "." or "..", no control characters (line breaks,
// tabs, NUL), no "\" (read as a folder separator), no "%", "?" or "#" (which
// a web server would decode, cut off as a query, or drop as a fragment).
std::string component_problem(const std::string& name);

// A name that starts a line's "rest of line" value: a file name, the top
// folder's name, a version name. As component_problem, and it must not begin
// with a blank (the readers skip leading blanks).
std::string leading_name_problem(const std::string& name);

// A version name: it names the release's folder on every server, the BETA
// line of the server list, and the installed folder when the installer
// renames it. As leading_name_problem, and no "/" and no trailing blank.
std::string version_name_problem(const std::string& name);

// A server path prefix: begins and ends with "/", no "//", and each
// component as component_problem (no blanks at the start of the line).
std::string prefix_problem(const std::string& prefix);

// A server host for the server list: a host name or address, optionally
// ":port"; no scheme, no "/", no blanks or control characters.
std::string host_problem(const std::string& host);

// A one-line server description: not empty, no control characters, no
// leading blank (an empty or blank-led line would be swallowed by the line
// break before it, and the next line read in its place).
std::string description_problem(const std::string& text);

// The printable form of a name for error messages: control characters shown
// as \n, \r, \t or \xNN, the whole in double quotes.
std::string shown(const std::string& name);

}  // namespace pub
