// Signed releases in the installer: the publisher's keys this run trusts,
// the check of the signed statement that travels beside the server list,
// and the check of a directory file against it.
//
// With no trusted key (none built in, no --release_key) releases are not
// checked and are installed as they come, as they always were; the run says
// so once. With one, a server list without a good statement is refused (a
// failed fetch of the list), and so is a directory file that is not the one
// the statement names for the version (that server's failure).
#pragma once

#include <string>
#include <vector>

#include "engine/release_sig.h"

// Gathers the trusted keys: the build's (SKYVANE_RELEASE_KEYS) and those of
// --release_key. False with `err` for a key that does not read.
bool trust_init(std::string& err);
// Whether releases are checked in this run.
bool trust_required();
const std::vector<std::string>& trusted_keys();

// The statement accepted in this run (once trust_check_list said yes).
extern rsig::statement trust_statement;

// Checks the statement at `statement_path` against the list at `list_path`
// fetched from `host`, the clock and the highest serial seen for that host
// (release_serials, kept with the preferences), which it raises on success.
// Returns "" when the list is accepted, else the one line that says why not.
std::string trust_check_list(const std::string& statement_path, const std::string& list_path,
                             const std::string& host);

// Checks the directory file and the per-file list (`list_path`, empty when
// the archive had none) received from `server` for `version` against the
// accepted statement. "" or the one line that says why not.
std::string trust_check_directory(const std::string& version, const std::string& dir_path,
                                  const std::string& list_path, const std::string& server);

// Back to the start values (tests).
void trust_reset();

// Reads a small file whole; false when it cannot be read or exceeds `limit`.
bool trust_read_file(const std::string& path, std::string& out, std::size_t limit);
