// The installer core.
//
// [SECTION] run state        the record `stg` and the installer's globals
// [SECTION] bookkeeping      streams and progress of a running install
// [SECTION] texts            numbers, sizes, percentages and time left
// [SECTION] server list      the list of servers and the directory file
// [SECTION] destination      the folder question and the simulator-tree test
// [SECTION] state machine    APP_update: phases, texts and clicks of the main screen
// [SECTION] unattended mode  the main screen without a window, and start-up
#include "installer/main.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

#include "engine/IO_UTILS.h"
#include "engine/utils.h"
#include "engine/xmap.h"
#include "net/http.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/tls.h"
#include "support/UTL_cmdline.h"
#include "prefs/pref.h"
#include "support/HL_THREAD.h"
#include "support/UTL_Debug.h"
#include "support/alert.h"
#include "support/hl_init.h"
#include "support/text.h"
#include "ui/gl_init.h"
#include "ui/hl_mnw.h"
#ifdef SKYVANE_WINDOW
#include "installer/main_screen.h"
#endif
#include "installer/progress_json.h"
#include "installer/trust.h"
#include "ui/xtim.h"

#ifndef SKYVANE_SERVER_LIST_HOST
#define SKYVANE_SERVER_LIST_HOST "127.0.0.1"
#endif

// ------------------------------------------------------------ [SECTION] run state

float totl_inst_rat = 0;
std::int64_t tot_availabl = -1;
std::int64_t tot_down_req = 0;
std::int64_t tot_disk_req = 0;
std::string tot_availabl_str;
std::string tot_disk_req_str;
int disk_space_avail = 1;
int wrl_i = 8;
float base_x1 = 132;
float base_x2 = 1016;

std::string directory_last_reason;  // the server and reason of the last directory failure that had one
std::string server_list_last_reason;  // the same for the last failed fetch of the server list

void installer_state_reset() {
  run_state_reset();
  servers_left_out = 0;
  totl_inst_rat = 0;
  tot_availabl = -1;
  tot_down_req = tot_disk_req = 0;
  tot_availabl_str.clear();
  tot_disk_req_str.clear();
  disk_space_avail = 1;
  wrl_i = 8;
  server_list_failures = directory_failures = 0;
  std::fill(std::begin(directory_tries), std::end(directory_tries), 0);
  server_list_next_try = directory_next_try = 0;
  server_list_local_error = directory_local_error = 0;
  server_list_refused = list_ok;
  server_list_last_failure.clear();
  directory_last_reason.clear();
  server_list_last_reason.clear();
  server_list_refusal.clear();
  directory_refusal.clear();
  server_list_statement_phase = 0;
  trust_reset();
  release_serials.clear();
  quit_by_signal = 0;
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

// ------------------------------------------------------------ [SECTION] server list

int server_list_failures = 0;
int directory_failures = 0;
int directory_tries[kDirectoryServers] = {};
float server_list_next_try = 0;
float directory_next_try = 0;
int server_list_local_error = 0;
int directory_local_error = 0;
int server_list_refused = list_ok;
int app_windowed = 0;
std::string server_list_last_failure;
int servers_left_out = 0;
std::string server_list_refusal;
std::string directory_refusal;
int server_list_statement_phase = 0;

namespace {

// The configured host of the server list ("host" or "host:port", with
// "https://" before it for TLS).
std::string server_list_host() {
  const std::string opt = cmdline.get_option("--server_list_host");
  return opt.empty() ? std::string(SKYVANE_SERVER_LIST_HOST) : opt;
}

// A keyword at the cursor: optional blanks, the word, then a blank, a line
// end or the end of the data. On no match the cursor is left where it was.
bool at_keyword(xmap_class& m, const char* word) {
  const unsigned char* start = m.mCrt;
  m.skip_blanks();
  const size_t n = std::strlen(word);
  if (static_cast<size_t>(m.mEnd - m.mCrt) >= n && std::memcmp(m.mCrt, word, n) == 0) {
    const unsigned char* after = m.mCrt + n;
    if (after == m.mEnd || xmap_is_blank(*after) || xmap_is_line_end(*after)) {
      m.mCrt = after;
      return true;
    }
  }
  m.mCrt = start;
  return false;
}

// A server entry the pool can use: a host without blanks, final "/" or a
// scheme other than "https://", and a path that starts with "/". Anything else would end the program
// when its transfer starts, so a bad entry from the server is skipped.
bool server_entry_usable(const std::string& entry, const std::string& path) {
  // "https://" names a TLS server; the rest is a host as for plain HTTP.
  const bool tls = entry.compare(0, 8, "https://") == 0;
  const std::string host = tls ? entry.substr(8) : entry;
  if (host.empty() || path.empty() || path[0] != '/') return false;
  if (host.back() == '/' || host.back() == '\\') return false;
  for (char c : host)
    if (c == ' ' || c == '\t' || c == '/' || c == '\\') return false;
  return true;
}

}  // namespace

int read_server_list(const std::string& path) {
  xmap_class m(path);
  static const int versions[] = {820, 0};
  if (!m.mBegin || m.check_file(xmap_text, versions, "SERVERS", nullptr) != 820) return 0;
  stg.num_servers = 0;
  servers_left_out = 0;
  while (!m.at_end()) {
    if (at_keyword(m, "BETA")) {
      install_name = m.read_rest_of_line();
      m.skip_line_break();
    } else if (at_keyword(m, "FINAL")) {
      m.read_rest_of_line();  // the full installer follows this line; this one does not
      m.skip_line_break();
    } else if (at_keyword(m, "ENDOFLIST")) {
      break;
    } else if (at_keyword(m, "SERVER")) {
      const std::string host = m.read_rest_of_line();
      m.skip_line_break();
      const std::string prefix = m.read_rest_of_line();
      m.skip_line_break();
      const std::string desc = m.read_rest_of_line();
      m.skip_line_break();
      const int n = stg.num_servers;
      if (n >= 10) {  // the tables hold ten servers; later entries are read, counted and dropped
        if (server_entry_usable(host, prefix)) ++servers_left_out;
        continue;
      }
      if (!server_entry_usable(host, prefix)) {
        xer << "Server list: skipping the unusable server entry host='" << printable_text(host) << "' path='"
            << printable_text(prefix) << "'\n";
        continue;
      }
      server_name[n] = host;
      server_path[n] = prefix + install_name + "/";
      server_desc[n] = desc;
      stg.num_servers = n + 1;
    } else {
      m.skip_line();
    }
  }
  // The version name becomes part of every server path and, after the
  // install, the destination folder's name: anything but one plain folder
  // name is refused, and no server of this list is used.
  if (install_name != no_install_name && !version_name_usable(install_name)) {
    for (int i = 0; i < 10; ++i) server_name[i].clear(), server_path[i].clear(), server_desc[i].clear();
    stg.num_servers = 0;
    return 2;
  }
  return 1;
}

namespace {

// Every frame while the list has not arrived. After a failure the next
// attempt waits for its back-off.
void poll_server_list() {
  if (!http.down[0] && xtim.real_time < server_list_next_try) return;
  // After the last attempt the run has given up on the list (the status
  // line says so); the unattended mode then ends.
  if (!http.down[0] && server_list_failures >= max_fetch_attempts) return;
  std::string dest = temp_path + "serverlist.txt";
  // With a trusted key the signed statement is fetched after the list, from
  // the same host, on the same slot. Neither may be larger than any real one.
  const bool statement = server_list_statement_phase != 0;
  const std::string statement_dest = temp_path + rsig::kStatementName;
  if (!http.down[0]) {
    transfer_options options;
    options.max_bytes = statement ? static_cast<std::int64_t>(rsig::kStatementMax) : kServerListMaxBytes;
    http.prepare(0, options);
  }
  std::string statement_out = statement_dest;
  const int r = statement ? http.net_check(0, server_list_host(), std::string("/") + rsig::kStatementName, statement_out)
                          : http.net_check(0, server_list_host(), "/serverlist.txt", dest);
  if (r == 2 && !statement && http.failure(0).too_large) {
    // No list of servers is that large: it is not one, and asking again
    // would fetch the same.
    delete_file(dest);
    server_list_refused = list_too_large;
    stg.num_servers = 0;
    xer << "Server list: the answer of " << printable_text(server_list_host()) << " is larger than "
        << kServerListMaxBytes << " bytes; refused.\n";
    return;
  }
  if (r == 2) {
    ++server_list_failures;
    const net_failure f = http.failure(0);
    server_list_local_error = f.local_error;
    server_list_last_reason = f.reason.empty() ? "" : printable_text(server_list_host()) + ": " + f.reason;
    if (!f.reason.empty())
      server_list_last_failure = f.reason;
    else if (f.http_status >= 300)
      server_list_last_failure = "it answered with HTTP status " + std::to_string(f.http_status);
    else if (f.timed_out)
      server_list_last_failure = "it did not answer in time";
    else
      server_list_last_failure = "the connection failed or ended before an answer";
    server_list_next_try = xtim.real_time + retry_delay(server_list_failures);
    if (server_list_local_error)
      xer << "Server list: cannot be saved as " << (statement ? statement_dest : dest) << ": "
          << error_str(server_list_local_error) << "\n";
    if (statement && http.failure(0).http_status == 404) {
      server_list_refusal = rsig::refusal_text(rsig::verdict::not_signed, rsig::statement{});
      xer << "Server list: " << printable_text(server_list_host()) << " has no signed statement beside it; "
          << server_list_refusal << "\n";
    }
    server_list_statement_phase = 0;
  }
  if (r != 1) return;
  if (trust_required()) {
    if (!statement) {
      server_list_statement_phase = 1;  // the statement, from the next frame on
      return;
    }
    server_list_statement_phase = 0;
    const std::string why = trust_check_list(statement_dest, dest, server_list_host());
    delete_file(statement_dest);
    if (!why.empty()) {
      // A list that fails its checks is a failed fetch: asked for again after
      // the back-off, and given up like any other.
      server_list_refusal = why;
      ++server_list_failures;
      server_list_next_try = xtim.real_time + retry_delay(server_list_failures);
      return;
    }
    server_list_refusal.clear();
  }
  server_list_failures = 0;
  server_list_local_error = 0;
  const int read = read_server_list(dest);
  if (read == 0) {
    server_list_refused = list_unreadable;
    xer << "Server list: " << dest << " from " << printable_text(server_list_host())
        << " is not a list of servers I can read.\n";
    // With a window the user is told to get a newer installer (and its
    // download page is opened); without one the run ends with one line.
    if (app_windowed) {
      new_format(dest);
    } else {
      stg.num_servers = 0;
    }
    return;
  }
  if (read == 2) {
    server_list_refused = list_bad_version;
    xer << "Server list: the version name '" << printable_text(install_name)
        << "' is not one plain folder name; refused.\n";
    return;
  }
  stg.sel_server = draw_server_skewed(stg.num_servers);
  xer << "Server list: " << stg.num_servers << " servers, version '" << printable_text(install_name)
      << "', chose server " << stg.sel_server << ".\n";
  if (servers_left_out > 0)
    xer << "Server list: " << servers_left_out << " more servers are listed; only the first ten are used.\n";
}

}  // namespace

// A failed fetch of the directory file: another server, after the back-off.
// The next one is drawn at random among the servers tried least so far, so
// that every listed server is tried before any is tried again: a good mirror
// listed beside failing ones is reached within the attempts allowed.
void directory_fetch_failed() {
  ++directory_failures;
  directory_next_try = xtim.real_time + retry_delay(directory_failures);
  const int count = std::clamp(stg.num_servers, 0, kDirectoryServers);
  if (count <= 1) {
    stg.sel_server = 0;
    return;
  }
  if (stg.sel_server >= 0 && stg.sel_server < count) ++directory_tries[stg.sel_server];
  const int fewest = *std::min_element(directory_tries, directory_tries + count);
  int least[kDirectoryServers];
  int n = 0;
  for (int k = 0; k < count; ++k)
    if (directory_tries[k] == fewest) least[n++] = k;
  stg.sel_server = least[(app_rand() * n) / 32768];
}

namespace {

// Every frame while the directory file has not arrived.
void poll_directory_file() {
  if (!http.down[1] && xtim.real_time < directory_next_try) return;
  const int s = stg.sel_server;
  if (!http.down[1]) http.prepare(1, transfer_options{kDirectoryArchiveMaxBytes, nullptr, {}});
  const int r = http.net_check(1, server_name[s], server_path[s] + "directory.txt.zip", net_dir_path_zip);
  if (r == 2) {
    // What arrived of a failed fetch is of no use, and one cut at the size
    // limit may be large.
    delete_file(net_dir_path_zip);
    if (http.failure(1).too_large)
      xer << "Directory file: the archive from " << printable_text(server_name[s]) << " is larger than "
          << kDirectoryArchiveMaxBytes << " bytes; refused.\n";
    directory_local_error = http.failure(1).local_error;
    if (!http.failure(1).reason.empty())
      directory_last_reason = printable_text(http.active_server(1)) + ": " + http.failure(1).reason;
    if (directory_local_error)
      xer << "Directory file: cannot be saved as " << net_dir_path_zip << ": " << error_str(directory_local_error)
          << "\n";
    directory_fetch_failed();
    return;
  }
  if (r != 1) return;
  directory_local_error = 0;
  // The previous run's directory file must never be read in place of this
  // one: it goes before the archive is opened.
  delete_file(dir_path);
  // Only the directory file itself comes out of its archive, and only up to
  // a size in proportion to the archive's: a small archive that expands
  // without end must not fill the temporary folder.
  plat::PathKind kind = plat::PathKind::none;
  std::uint64_t size = 0;
  std::uint64_t archive_size = 0;
  if (plat::path_stat(net_dir_path_zip, kind, archive_size) != 0) archive_size = 0;
  const std::uint64_t expand_max = static_cast<std::uint64_t>(
      std::clamp<std::int64_t>(static_cast<std::int64_t>(archive_size) * kDirectoryExpansion, kDirectoryMinBytes,
                               kDirectoryMaxBytes));
  int err = zip_to_file(net_dir_path_zip, dir_path_path, "directory.txt", "", nullptr, expand_max);
  if (err == err_zip_member_missing) err = 0;  // reported just below as a failed fetch
  if (err == EFBIG) {
    xer << "Directory file: the directory file from " << printable_text(server_name[s]) << " expands past "
        << expand_max << " bytes; refused.\n";
    delete_file(dir_path);
    delete_file(net_dir_path_zip);
    directory_fetch_failed();
    return;
  }
  if (err == 0 && (plat::path_stat(dir_path, kind, size) != 0 || kind != plat::PathKind::file)) {
    xer << "Directory file: the archive from " << printable_text(server_name[s]) << " holds no directory.txt.\n";
    delete_file(net_dir_path_zip);
    directory_fetch_failed();
    return;
  }
  if (err == 0 && trust_required()) {
    // The directory file and the per-file list must be the ones the
    // statement names for this version, whichever server sent them.
    const std::string list_path = temp_path + rsig::kFileListMember;
    delete_file(list_path);
    const int lerr = zip_to_file(net_dir_path_zip, dir_path_path, rsig::kFileListMember, "", nullptr);
    const std::string why =
        trust_check_directory(install_name, dir_path, lerr == 0 ? list_path : std::string(), server_name[s]);
    if (!why.empty()) {
      directory_refusal = why;
      delete_file(dir_path);
      delete_file(list_path);
      delete_file(net_dir_path_zip);
      directory_fetch_failed();
      return;
    }
    file_hashes_path = list_path;
  }
  if (err == 0) {
    directory_failures = 0;
    directory_refusal.clear();
    stg.dir_scan = 1;
  } else {
    // Codes below the program's own are system errors of this machine
    // (a full or read-only temporary folder): the cause to report.
    if (err < err_zip_open) directory_local_error = err;
    directory_fetch_failed();
    __MACIBM_alert(0, "DIR-scan: The installer cannot extract a file.", "Error: " + error_str(err),
                   "Compressed File/" + net_dir_path_zip, "Destination Path/" + dir_path_path, t_alert, "main", 331);
  }
  delete_file(net_dir_path_zip);
}

}  // namespace

// ------------------------------------------------------------ [SECTION] destination

const char* const store_url = "https://skyvane.example/store.html";

void go_to_URL(const std::string& url) {
  // Nothing shows on the screen when no browser can be started: the log says why.
  const int err = plat::open_url(url);
  if (err == ENOENT)
    xer << "I could not open " << url << ": this system has no program that opens web pages.\n";
  else if (err != 0)
    xer << "I could not open " << url << ": " << error_str(err) << "\n";
}

demo_class demo;

int check_dvd(const std::string& root) {
  const std::string saved = app_path;
  app_path.clear();
  int found = 0;
  {
    xmap_class m(root + "dvd_version.txt");
    static const int versions[] = {900, 0};
    if (m.mBegin && m.check_file(xmap_text, versions, "DVD", nullptr) == 900) found = 1;
  }
  app_path = saved;
  if (found) dvd_path = root;
  return found;
}

int demo_class::check_any(int kind, int force) {
  if (kind < 0 || kind > 3) return 0;
  if (force) next_check_time[kind] = -1;
  if (xtim.real_time < next_check_time[kind]) return found_thing[kind];
  next_check_time[0] = xtim.real_time + 3600;
  found_thing[0] = 0;
  if (kind != 0) return found_thing[kind];
  int discs = 0;
  for (const std::string& root : plat::disc_roots()) {
    if (check_dvd(root)) {
      found_thing[0] = 1;
      ++discs;
    }
  }
  if (discs > 1)
    __MACIBM_alert(0, "I found multiple Skyvane CDs in the drives!", "This is bad!",
                   "Pull out whatever CD you are not using now!",
                   "With more than one disc in the drives I cannot tell which one to install from.", t_exit, "main",
                   700);
  return found_thing[0];
}

int path_is_to_a_sim() {
  std::vector<std::string> names;
  std::vector<int> folders;
  opensave_getitems(dest_dir_path, 0, names, folders);
  static const char* const words[4] = {"Airfoils", "Instructions", "Output", "Resources"};
  bool found[4] = {};
  for (size_t i = 0; i < names.size(); ++i) {
    if (!folders[i]) continue;
    for (int w = 0; w < 4; ++w)
      if (names[i].find(words[w]) != std::string::npos) found[w] = true;
  }
  return found[0] && found[1] && found[2] && found[3];
}

int work_pending() {
  int work = 0;
  for (const file_history_struct& h : sim_info.files) {
    if (h.versions.empty()) continue;
    const file_version_struct& v = h.versions.back();
    if (v.sig_want == "GONE") {
      if (!v.sig_have.empty() && v.sig_have != "NONE") ++work;
    } else if (!v.on_disk && os_match(v)) {
      ++work;
    }
  }
  return work;
}

std::string free_space_folder(const std::string& folder) {
  if (!plat::path_is_absolute(folder)) return folder;
  std::string f = plat::path_in_program_form(folder);
  for (;;) {
    plat::PathKind kind = plat::PathKind::none;
    std::uint64_t size = 0;
    if (plat::path_stat(f, kind, size) == 0 && kind != plat::PathKind::none) return f;
    // Up to the root, "/" or a drive's "C:\", which ends the walk.
    const std::string up = parent_folder(f.back() == '/' ? f : f + "/");
    if (up == f) return folder;
    f = up;
  }
}

bool dest_may_be_renamed(bool created) {
  if (created) return true;
  if (!path_is_to_a_sim()) return false;
  // The release's own top-level names: the component after the top folder
  // of every manifest path, and the folders make_dirs adds.
  std::vector<std::string> own = {"Output", "Resources"};
  for (const file_history_struct& h : sim_info.files) {
    for (const file_version_struct& v : h.versions) {
      const size_t first = v.path.find('/');
      if (first == std::string::npos) continue;
      const size_t second = v.path.find('/', first + 1);
      own.push_back(v.path.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1));
    }
  }
  std::vector<std::string> names;
  std::vector<int> folders;
  if (opensave_getitems(dest_dir_path, 0, names, folders) < 0) return false;
  for (const std::string& n : names)
    if (std::find(own.begin(), own.end(), n) == own.end()) return false;
  return true;
}

void remove_own_leftovers() {
  if (temp_path.empty()) return;
  for (int s = 0; s < 4; ++s) delete_file(stream_archive_path(s));
  delete_file(temp_path + "directory.txt.zip");
  delete_file(temp_path + "directory.txt");
  delete_file(temp_path + rsig::kFileListMember);
  delete_file(temp_path + rsig::kStatementName);
}

std::string absolute_path(const std::string& path) {
  if (path.empty()) return path;
  std::string abs = plat::path_make_absolute(path);
  if ((path.back() == '/' || path.back() == '\\') && (abs.empty() || (abs.back() != '/' && abs.back() != '\\')))
    abs += '/';
  return abs;
}

int pick_dest_path() {
  std::string chosen;
  if (!app_screen->choose_folder(dest_dir_path, chosen)) return 0;
  if (chosen.empty()) return 0;
  // A folder name with control characters is refused like a cancel: it
  // could not be saved in the preferences nor shown as it is.
  if (has_control_chars(chosen)) {
    xer << "Destination refused: '" << printable_text(chosen) << "' holds control characters.\n";
    return 0;
  }
  if (chosen.back() != '/') chosen += '/';
  dest_dir_path = chosen;
  if (!path_is_to_a_sim()) dest_dir_path += "Skyvane/";
  return 1;
}

// ------------------------------------------------------------ [SECTION] state machine

namespace {

main_screen g_quiet_screen;

const char* const kScanTitle = "Scanning directory text file to see if you already have Skyvane installed...";

// The status line: the first row that holds.
void choose_status(app_texts& t) {
  t.status_colour = col_text;
  if (next.dir_done) {
    t.status = "INSTALLATION COMPLETE!";
    t.status_colour = col_success;
  } else if (stg.num_servers == -1 && server_list_local_error) {
    t.status = "I can not save the list of servers in " + temp_path + ": " + error_str(server_list_local_error);
    t.status_colour = col_warning;
  } else if (stg.num_servers == -1 && !server_list_refusal.empty()) {
    t.status = server_list_refusal;
    t.status_colour = col_warning;
  } else if (stg.num_servers == -1 && server_list_failures >= max_fetch_attempts) {
    t.status = "I gave up looking for servers: " + printable_text(server_list_host()) + " did not give me the list " +
               "of servers in " + std::to_string(server_list_failures) + " attempts (" + server_list_last_failure +
               "). Check your internet connection, then start the installer again.";
    t.status_colour = col_warning;
  } else if (stg.num_servers == -1 && server_list_failures > 0) {
    const float wait = retry_delay(server_list_failures);
    const std::string when = wait < 1 ? std::string("in a moment")
                                       : "in " + std::to_string(static_cast<int>(std::lround(wait))) + " seconds";
    t.status = "No answer from " + printable_text(server_list_host()) + " yet (" + server_list_last_failure +
               "); trying again " + when + " (attempt " + std::to_string(server_list_failures + 1) + " of " +
               std::to_string(max_fetch_attempts) + ").";
  } else if (stg.num_servers == -1) {
    t.status = "Looking for servers... you need internet for this...";
  } else if (server_list_refused == list_bad_version) {
    t.status = "The list of servers names the version '" + printable_text(install_name) +
               "', which is not a folder name I can use. I will not install it.";
    t.status_colour = col_warning;
  } else if (server_list_refused == list_too_large) {
    t.status = "The list of servers from " + printable_text(server_list_host()) + " is larger than " +
               std::to_string(kServerListMaxBytes / (1 << 20)) + " MB, far more than any list of servers. I will not use it.";
    t.status_colour = col_warning;
  } else if (server_list_refused == list_unreadable) {
    t.status = "The list of servers is not in a format I can read. Please get a new installer.";
    t.status_colour = col_warning;
  } else if (stg.num_servers == 0) {
    t.status = "I could not find any servers to get Skyvane from!";
    t.status_colour = col_warning;
  } else if (stg.dir_scan == 0 && directory_local_error) {
    t.status = "I can not save the directory of files in " + temp_path + ": " + error_str(directory_local_error);
    t.status_colour = col_warning;
  } else if (stg.dir_scan == 0 && !directory_refusal.empty()) {
    t.status = directory_refusal;
    t.status_colour = col_warning;
  } else if (stg.dir_scan == 0) {
    int pct = 0;
    if (const down_class* d = http.down[1].get()) {
      pct = d->mIncomingLength == -1 ? -1
                                     : (d->mIncomingLength > 0
                                            ? static_cast<int>(d->mReceivedPayload * 100 / d->mIncomingLength)
                                            : 0);
    }
    if (pct == -1)
      t.status =
          "I am checking the net for the latest version of Skyvane right now, and I am connecting to the server...";
    else
      t.status = "I am checking the net for the latest version of Skyvane right now, and I am " +
                 std::to_string(pct) + "% done checking.";
  } else if (stg.dir_scan == 1) {
    t.status = "I have downloaded the directory of files I need, and am now trying to read it...";
  } else if (stg.dir_scan == 2) {
    t.status =
        "I can not find a version of Skyvane on the net! Please get a new installer from the Skyvane web site, "
        "or check that your network service is working.";
    t.status_colour = col_warning;
  } else if (stg.step != 1 && !path_is_to_a_sim()) {
    t.status =
        "To make the download a LOT faster, if you have an earlier version of Skyvane 9 on your hard drive, choose "
        "that with the DESTINATION button below, and I will UPDATE THAT FOLDER!";
  } else if (stg.step != 1) {
    t.status =
        "You have selected an earlier version of Skyvane in the DESTINATION field below, so I will update that "
        "installation  by just grabbing new updated files!";
  } else {
    t.status = "OK I am installing this now...";
  }
}

// Information lines while ready: the sizes and the disk-space check.
void ready_lines(app_texts& t) {
  totl_inst_rat = 0;
  tot_availabl = -1;
  tot_down_req = stg.down_req;
  tot_disk_req = stg.disk_req;
  // A destination that does not exist yet is made on the file system of its
  // nearest existing parent: that is the space it will use.
  std::uint64_t free_bytes = 0;
  if (plat::disk_free_space(free_space_folder(dest_dir_path), free_bytes) == 0)
    tot_availabl = static_cast<std::int64_t>(free_bytes / 1000);
  set_size_str(tot_disk_req, &tot_disk_req_str);
  set_size_str(tot_availabl, &tot_availabl_str);

  if (stg.num_servers == -1 && server_list_failures >= max_fetch_attempts) {
    t.line[0] = "Without the list of servers I can not tell what the latest version of Skyvane is.";
  } else if (stg.dir_scan == 0) {
    t.line[0] = "I am figuring out what the latest version of Skyvane is right now...";
    t.line[1] = "This may take a moment as I download the latest list of Skyvane files...";
  } else if (stg.dir_scan == 2) {
    // A refused directory file: the status line says so; no sizes.
  } else if (tot_disk_req == 0 && (stg.dir_scan != 3 || !work_pending())) {
    t.line[0] = "Your copy of Skyvane is already the latest version.";
    t.line[1] =
        "(Remember, the BETA installer only checks for the latest BETA version, and the FULL installer checks only "
        "for the latest FULL version of Skyvane).";
    t.line[2] = "This is a beta installer.";
  } else {
    t.line[0] = "You are about to install " + tot_disk_req_str + " of files to get " + install_name + ".";
    if (tot_disk_req > 0 && tot_availabl > 0) {
      t.line[1] = "You have " + tot_availabl_str + " of drive space available for the selected directory.";
      if (tot_availabl > tot_disk_req) {
        disk_space_avail = 1;
        t.line[2] = "You may install at will.";
        t.line_colour[2] = col_success;
      } else {
        disk_space_avail = 0;
        t.line[2] = "You don't have enough disk space to install this!";
        t.line_colour[2] = col_warning;
      }
    }
  }
}

// The download rate of the last few seconds, in thousands of bytes a
// second: it falls to 0 while nothing arrives (a silent server), where the
// average since the install started would keep showing the bytes before.
class recent_rate {
 public:
  float update(float now, float done, float started) {
    if (started != started_ || (!samples_.empty() && done < samples_.back().done)) {
      samples_.clear();
      started_ = started;
    }
    samples_.push_back({now, done});
    while (samples_.size() > 2 && now - samples_[1].time >= kWindow) samples_.erase(samples_.begin());
    const sample& first = samples_.front();
    const float span = now - first.time;
    if (span < 1) {  // too little measured yet: the average since the start
      const float elapsed = std::max(1.0f, now - started);
      return done / elapsed;
    }
    return std::max(0.0f, (done - first.done) / span);
  }

 private:
  static constexpr float kWindow = 4;  // seconds
  struct sample {
    float time, done;
  };
  std::vector<sample> samples_;
  float started_ = -1;
};
recent_rate g_recent_rate;
// The rate shown and the time left estimated by the last installing_lines(),
// for the progress lines of other programs: thousands of bytes a second,
// seconds (below 0 while no estimate can be made).
float g_shown_rate = 0;
float g_seconds_left = -1;

// Information lines while installing: the file, the overall progress and
// the time left.
void installing_lines(app_texts& t) {
  const float k = xtim.prd_sim * 5;
  totl_inst_rat = tot_disk_req > 0 ? k * static_cast<float>(static_cast<double>(next.totl_disk) /
                                                         static_cast<double>(tot_disk_req)) +
                                         (1 - k) * totl_inst_rat
                                   : 1.0f;
  totl_inst_rat = std::clamp(totl_inst_rat, 0.0f, 1.0f);
  g_shown_rate = 0;
  g_seconds_left = -1;

  char n[16];
  switch (stg.crnt_file_stat) {
    case 0:
      t.line[0] = "Deleting " + crnt_file_name + " because that file is no longer needed!";
      break;
    case 1:
      int_to_str(static_cast<int>(stg.crnt_file_rat * 100), n, 1, 0);
      t.line[0] = "Downloading and installing " + crnt_file_name + ", currently " + n + "% done with that file.";
      break;
    case 2:
      t.line[0] = "duplicate filename through file " + crnt_file_name +
                  ", but not installing it because you already have this file.";
      break;
    default:
      t.line[0] =
          "Browsing through file " + crnt_file_name + ", but not installing it because you don't need this file.";
      break;
  }
  std::string done_str;
  set_size_str(next.totl_disk, &done_str);
  t.line[1] = one_decimal_str(totl_inst_rat * 100, 2) + "% done with the internet install, having installed " +
              done_str + " of " + tot_disk_req_str + " for the internet install.";

  if (totl_inst_rat > 0.01f) {
    const float done = static_cast<float>(next.file_down + static_cast<double>(next.comp_down));
    float remaining = static_cast<float>(static_cast<double>(tot_down_req) - done);
    if (!(remaining > 0)) remaining = 0;
    float elapsed = xtim.real_time - next.star_time;
    if (!(elapsed > 1)) elapsed = 1;
    const float rate = done / elapsed;
    const float shown_rate = g_recent_rate.update(xtim.real_time, done, next.star_time);
    // Nothing measured yet (every entry so far had no size): no estimate.
    const std::string left = rate > 0 ? time_left_str(remaining / rate) : std::string("an unknown time");
    g_shown_rate = shown_rate;
    g_seconds_left = rate > 0 ? remaining / rate : -1;
    const int streams = next.active_streams();
    char r[16], c[16];
    int_to_str(static_cast<int>(std::fmin(shown_rate, 2147483647.0f)), r, 1, 0);
    int_to_str(streams, c, 1, 0);
    t.line[2] = "About " + left + " left in the install, downloading at " + r + " kilobytes/second " + "with " + c +
                " simultaneous download streams.";
  }
}

void finished_lines(app_texts& t) {
  if (stg.got_failed_install) {
    t.line[0] = "The installation was not completed because an error occurred.";
    t.line[1] = "Skyvane is not fully installed or updated and may not run correctly.";
    t.line[2] =
        "Please try a different server, hard drive, or directory, or contact Customer Support for help with this "
        "problem.";
    for (int& c : t.line_colour) c = col_failure;
  } else if (next.dir_done) {
    // Only a run that installed says so: a quit from the ready screen or
    // mid-install ends here too, with nothing to report.
    t.line[0] = "INSTALLATION COMPLETE!";
  }
}

void destination_change() {
  if (!pick_dest_path()) return;
  restart_bookkeeping();
  stg.got_failed_install = 0;
  stg.got_404 = 0;
  next.dir_done = 0;  // the last install's outcome belongs to the last destination
  stg.step = 0;
  if (stg.dir_scan == 3) stg.dir_scan = 1;
}

// The destination as it was when the install started, when it may take the
// version's name at the end; empty otherwise.
std::string g_rename_from;
// rename_folder as the user set it, while an install runs with it off; -1 none.
int g_rename_saved = -1;

void tell(const std::string& text) {
  xer << text << "\n";
  app_screen->notice(text);
}

// Before an install: the destination takes the version's name afterwards
// only when it holds the simulator tree alone.
void decide_rename(bool created) {
  g_rename_from.clear();
  if (!stg.rename_folder || !this_install_has_exes) return;
  if (dest_may_be_renamed(created)) {
    g_rename_from = dest_dir_path;
    return;
  }
  g_rename_saved = stg.rename_folder;
  stg.rename_folder = 0;
  tell("I will not rename " + dest_dir_path + " after the version: it holds more than Skyvane. Installing into it "
       "as it is named.");
}

// After an install: say where the tree is when the destination was renamed.
void end_of_install() {
  if (!g_rename_from.empty() && dest_dir_path != g_rename_from)
    tell("The installed Skyvane is now at " + dest_dir_path + " (renamed from " + g_rename_from + ").");
  g_rename_from.clear();
  restore_rename_pref();
}

void install_start() {
  restart_bookkeeping();
  stg.got_failed_install = 0;
  stg.got_404 = 0;
  next.dir_done = 0;
  // Nothing is made on disk before the licence is accepted: declining
  // leaves the disk as it was.
  if (!app_screen->accept_agreement()) return;
  plat::PathKind kind = plat::PathKind::none;
  std::uint64_t size = 0;
  const bool existed = plat::path_stat(dest_dir_path, kind, size) == 0 && kind != plat::PathKind::none;
  // A destination that cannot be made (a read-only file system, no
  // permission) ends the install here with that cause: every folder and
  // file below it would otherwise fail with a missing parent instead.
  if (!existed) {
    std::string failed;
    const int err = make_folder_chain(dest_dir_path, false, &failed);
    if (err != 0) {
      tell("I can not make the destination folder " + dest_dir_path + ": " + error_str(err));
      // In the window the reason would otherwise be in the log only.
      if (app_windowed) make_dir_error(failed, err);
      stg.got_failed_install = 1;
      stg.step = 2;
      return;
    }
  }
  make_dirs();
  stg.step = 1;
  if (!choose_files()) stg.step = 0;
  if (stg.step == 1) decide_rename(!existed);
}

// An interrupt or termination request ends the run as the quit button
// does: the transfers stop, the partial downloads go, and the preferences
// are saved on the way out.
void quit_on_signal(int signo) {
  quit_by_signal = signo;
  xer << "Signal " << signo << " received: quitting.\n";
  restart_bookkeeping();
  http.down[0].reset();
  http.down[1].reset();
  remove_own_leftovers();
  stg.step = 2;
  app_done = 1;
}

// Runs the executor for this frame's budget of 10 ms. A step that changed
// nothing means every stream waits for the network: the rest of the budget
// is spent waiting on the sockets rather than spinning.
void run_executor() {
  const std::int64_t start = xtim_class::microsecs_tot();
  for (;;) {
    const std::int64_t left_us = 10000 - (xtim_class::microsecs_tot() - start);
    if (left_us <= 0 || stg.step != 1) break;
    const executor_step step = grab_files();
    if (step == executor_step::done || step == executor_step::failed) {
      stg.step = 2;
      // The install ended (complete, or given up after failed transfers):
      // no other server is being tried any more.
      stg.got_404 = 0;
      restart_bookkeeping();
      end_of_install();
      break;
    }
    if (step == executor_step::progressed) continue;
    // Nothing moved: wait for the sockets and the sinks, or, with no
    // transfer running, for an extraction to finish (every stream may also
    // be waiting out a retry delay: the wait ends at the budget's end).
    const int wait_ms = static_cast<int>(std::max<std::int64_t>(1, left_us / 1000));
    bool transfers = false;
    for (int slot = 2; slot < http_class::kSlots; ++slot) transfers = transfers || http.down[slot] != nullptr;
    if (transfers)
      http.wait_for_activity(wait_ms);
    else
      http.wait_for_sinks(wait_ms);
  }
}

}  // namespace

main_screen* app_screen = &g_quiet_screen;
app_texts app_now;
int quit_by_signal = 0;

void restore_rename_pref() {
  if (g_rename_saved < 0) return;
  stg.rename_folder = g_rename_saved;
  g_rename_saved = -1;
}


void APP_update() {
  if (net_dir_path_zip.empty()) {
    net_dir_path_zip = temp_path + "directory.txt.zip";
    dir_path = temp_path + "directory.txt";
    dir_path_path = temp_path;
  }
  app_texts t;

  if (const int signo = plat::quit_signal()) {
    if (!app_done) {
      quit_on_signal(signo);
      restore_rename_pref();
    }
    return;
  }
  app_screen->background();
  if (stg.num_servers == -1) poll_server_list();
  if (app_done) return;
  if (stg.dir_scan == 0 && stg.num_servers > 0) poll_directory_file();

  if (app_screen->destination_box() && (stg.step == 0 || stg.step == 2)) destination_change();
  if (stg.dir_scan == 1) stg.dir_scan = read_directory(dir_path, kScanTitle);
  if (app_done) return;

  if (stg.step == 1) {
    if (xtim.act_puff10 && ++wrl_i > 23) wrl_i = 8;
  } else {
    wrl_i = 21;
  }
  app_screen->servers_and_prefs();

  choose_status(t);
  const int install_enabled = disk_space_avail && stg.dir_scan == 3;
  const int clicked = app_screen->buttons(t, install_enabled);
  if ((clicked & btn_destination) && (stg.step == 0 || stg.step == 2)) destination_change();
  if ((clicked & btn_install) && stg.step == 0 && install_enabled) install_start();
  if (clicked & btn_store) go_to_URL(store_url);
  if (clicked & btn_quit) {
    restart_bookkeeping();
    restore_rename_pref();
    stg.step = 2;
    app_done = 1;
  }

  if (stg.step == 1) run_executor();
  // The lines follow the phase as it stands after this frame's work: an
  // install that ended now shows its outcome, not its last progress.
  if (stg.step == 0)
    ready_lines(t);
  else if (stg.step == 1)
    installing_lines(t);
  else
    finished_lines(t);
  if (stg.got_404) {
    t.line[0] = "I can NOT download the file '" + crnt_file_path + "'!";
    t.line[1] =
        "Your internet connection may not be working, or the server could be undergoing maintainance or an upgrade "
        "right now.";
    t.line[2] = "I am trying another server now to see if I can still get you a download...";
    for (int& c : t.line_colour) c = col_failure;
  }
  // The status may have moved on during this frame (the install ended).
  choose_status(t);
  app_now = t;
  app_screen->info(t);
}

// ------------------------------------------------------------ [SECTION] unattended mode

namespace {

// Exit statuses of the program.
constexpr int kExitDone = 0;        // installed, or already up to date, or checked
constexpr int kExitFatal = 1;       // a fatal error
constexpr int kExitIncomplete = 2;  // declined, cancelled, no servers, failed, gave up

// Failed attempts in a row after which the unattended mode gives up.
constexpr int kMaxAttempts = max_fetch_attempts;

// Files and thousands of bytes of the install: what it fetches or deletes
// and how much of that is done. A file to fetch is done once it is in place;
// a file to delete once the streams have passed it, or when the install
// completed.
struct install_counts {
  std::int64_t files_done = 0, files_total = 0;
  double kb_done = 0;
  std::int64_t kb_total = 0;
};
install_counts count_install() {
  install_counts c;
  const int n = static_cast<int>(sim_info.files.size());
  for (int i = 0; i < n; ++i) {
    const file_version_struct& v = sim_info.files[i].versions.back();
    if (v.want_to_nuke_it) {
      ++c.files_total;
      bool passed = stg.step == 2 ? !stg.got_failed_install : i < next.next_index;
      for (const stream_record& r : next.stream)
        if (stg.step == 1 && r.active() && r.entry == i) passed = false;
      if (passed) ++c.files_done;
    } else if (v.want_to_grab_it) {
      ++c.files_total;
      c.kb_total += v.down_size;
      if (v.on_disk) {
        ++c.files_done;
        c.kb_done += static_cast<double>(v.down_size);
      }
    }
  }
  if (stg.step == 1) c.kb_done += next.file_down;
  return c;
}

// The main screen without a window: it prints what a person would read and
// clicks what the options say; with "--progress=json" it writes its
// progress as JSON lines instead (progress_json.h), the other texts going
// to standard error.
class unattended_screen : public main_screen {
 public:
  int exit_status = kExitDone;
  bool json = false;

  int buttons(const app_texts& t, int install_enabled) override {
    if (finish_pending_) return 0;
    // A cause on this machine cannot be mended by asking again: it is
    // reported at once, as it is.
    if (stg.num_servers == -1 && server_list_local_error) return give_up(t.status);
    if (stg.dir_scan == 0 && directory_local_error) return give_up(t.status);
    if (server_list_failures >= kMaxAttempts)
      return give_up("I could not fetch the server list after " + std::to_string(kMaxAttempts) +
                     " attempts in a row." + (server_list_refusal.empty() ? "" : " " + server_list_refusal) +
                     (server_list_last_reason.empty() ? "" : " The last failure: " + server_list_last_reason + "."));
    if (directory_failures >= kMaxAttempts)
      return give_up("I could not fetch the directory file after " + std::to_string(kMaxAttempts) +
                     " attempts in a row." + (directory_refusal.empty() ? "" : " " + directory_refusal) +
                     (directory_last_reason.empty() ? "" : " The last failure: " + directory_last_reason + "."));
    if (stg.num_servers == 0) return give_up(t.status);
    if (stg.dir_scan == 2)
      return give_up("I can not find a version of Skyvane on the net: the directory file of '" +
                     printable_text(install_name) + "' was refused (the log says why). Nothing was installed.");
    if (stg.dir_scan != 3) {
      ready_frames_ = 0;
      return 0;
    }
    // Act once a whole frame has shown the sizes and the disk check, as a
    // person would.
    if (++ready_frames_ < 2) return 0;
    if (stg.step == 0 && !clicked_install_) {
      if (!cmdline.has_option("--install")) return finish(kExitDone);  // checked only: the lines say it all
      if (!install_enabled) return give_up("There is not enough disk space at " + dest_dir_path);
      clicked_install_ = true;
      return btn_install;
    }
    if (stg.step == 0 && clicked_install_) return give_up("The installation was cancelled.");
    if (stg.step == 2) return finish(stg.got_failed_install ? kExitIncomplete : kExitDone);
    return 0;
  }

  void info(const app_texts& t) override {
    if (json) {
      json_line(t);
      if (finish_pending_) app_done = 1;
      return;
    }
    say(t.status, last_status_);
    if (stg.step == 1) {
      progress_line(t);
    } else {
      for (int i = 0; i < 3; ++i) say(t.line[i], last_line_[i]);
    }
    if (finish_pending_) app_done = 1;
  }

  int accept_agreement() override { return cmdline.has_option("--accept_eula"); }

  void notice(const std::string& text) override {
    end_progress_line();
    (json ? std::cerr : std::cout) << printable_text(text) << "\n" << std::flush;
  }

  // End a started progress line before any other output.
  void end_progress_line() {
    if (progress_shown_ && terminal_) std::cout << "\n";
    progress_shown_ = false;
    std::cout.flush();
  }

 private:
  int finish(int status) {
    exit_status = status;
    finish_pending_ = true;
    return 0;
  }
  int give_up(const std::string& why) {
    end_progress_line();
    std::cerr << printable_text(why) << "\n";
    gave_up_ = why;
    return finish(kExitIncomplete);
  }
  // One JSON line when one is due. The counts of an install never go back
  // (a failed transfer drops what it had received; a retry starts over).
  void json_line(const app_texts& t) {
    progress_report r;
    if (stg.step == 1) {
      r.state = "installing";
    } else if (stg.step == 2) {
      r.state = quit_by_signal ? "cancelled" : stg.got_failed_install ? "failed" : "complete";
    } else if (!gave_up_.empty()) {
      r.state = clicked_install_ ? "cancelled" : "failed";
    } else {
      r.state = stg.dir_scan == 3 ? "ready" : "checking";
    }
    r.status = gave_up_.empty() ? t.status : gave_up_;
    if (stg.step == 2 && stg.got_failed_install) r.status = t.line[0];
    if (stg.dir_scan == 3) {
      const install_counts c = count_install();
      if (stg.step == 0) {
        json_files_ = 0;
        json_kb_ = 0;
      }
      json_files_ = std::max(json_files_, c.files_done);
      json_kb_ = std::min(std::max(json_kb_, c.kb_done), static_cast<double>(c.kb_total));
      r.files_done = stg.step == 0 ? 0 : json_files_;
      r.files_total = c.files_total;
      r.bytes_received = stg.step == 0 ? 0 : static_cast<std::int64_t>(json_kb_ * 1000);
      r.bytes_total = c.kb_total * 1000;
      // Before the install the files are not chosen yet (a changed file
      // may be kept): the totals are those of the examination.
      if (stg.step == 0) {
        r.files_total = work_pending();
        r.bytes_total = stg.down_req * 1000;
      }
    }
    if (stg.step == 1) {
      r.rate = static_cast<double>(g_shown_rate) * 1000;
      r.seconds_left = g_seconds_left;
      r.file = crnt_file_path.empty() ? std::string() : crnt_file_name;
    }
    if (!pacer_.due(r, xtim.real_time)) return;
    std::cout << progress_json_line(r) << "\n" << std::flush;
  }
  // Prints a line of the screen when it changed; a text just printed in
  // another place (the status line saying what the first information line
  // says) is not repeated.
  void say(const std::string& text, std::string& last) {
    if (text.empty() || text == last) return;
    last = text;
    if (text == last_printed_) return;
    last_printed_ = text;
    end_progress_line();
    std::cout << printable_text(text) << "\n";
  }
  void progress_line(const app_texts& t) {
    if (xtim.real_time - last_progress_ < 1.0f && progress_shown_) return;
    last_progress_ = xtim.real_time;
    // Per cent, size done of size, rate, streams and time left.
    std::string line = t.line[1];
    if (!t.line[2].empty()) line += " " + t.line[2];
    if (terminal_)
      std::cout << "\r\033[K" << printable_text(line) << std::flush;
    else
      std::cout << printable_text(line) << "\n" << std::flush;
    progress_shown_ = true;
  }

  int ready_frames_ = 0;
  bool clicked_install_ = false;
  bool finish_pending_ = false;
  bool progress_shown_ = false;
  bool terminal_ = plat::stdout_is_terminal();
  float last_progress_ = -10;
  std::string last_status_, last_line_[3];
  std::string last_printed_;
  std::string gave_up_;
  progress_json_pacer pacer_;
  std::int64_t json_files_ = 0;
  double json_kb_ = 0;
};

// One warning for each option that nothing looks up: it is ignored, as an
// unknown option always was, but a script's typing mistake no longer
// changes nothing without a word.
void warn_unknown_options() {
  // Looked up later in the run, or by the other mode only.
  cmdline.expect({"--headless", "--install", "--accept_eula", "--modified", "--download_os", "--server_list_host",
                  "--retry_backoff", "--release_key", "--progress", "--fps_test", "--lock_main_thread", "--cmnds",
                  "--help", "-h"});
  for (const std::string& name : cmdline.unasked()) {
    const std::string line = "option " + printable_text(name) + " is not one this installer knows; ignored";
    std::cerr << line << "\n";
    xer << line << "\n";
  }
}

// Opens the log in the program's own folder, or in the per-user state
// folder when the program's folder cannot be written. Returns the folder.
std::string open_log() {
  std::string folder;
  get_OS_abs_path(install_type != 0 ? 1 : 0, folder);
  if (HL_open_log(folder)) return folder;
  std::string state = plat::state_home() + "/skyvane/";
  make_folder_chain(state, false, nullptr);
  HL_open_log(state);
  return state;
}

// Whether the installer's window can be opened: a build with the window
// and a display with a monitor.
bool window_available() {
#ifdef SKYVANE_WINDOW
  // A display that has just seen another program's window go may not name
  // its monitor at once: ask a few times before going without a window.
  for (int attempt = 0; attempt < 10; ++attempt) {
    int w = 0, h = 0;
    plat::monitor_size(w, h);
    if (w > 0 && h > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
#else
  return false;
#endif
}

// The drawn screens take over the main screen, the questions and the
// progress box; worker failures are reported by the frame.
void start_window_screens() {
#ifdef SKYVANE_WINDOW
  static drawn_screen screen;
  app_screen = &screen;
  install_drawn_hooks();
  MACIBM_report_worker_failures = [] { THREAD_report_queued(); };
  MACIBM_use_max_cpu = &stg.use_max_cpu;
  // While installing, the executor waits on the sockets and the sinks for
  // the frame's budget: the frame itself only looks for window events.
  MACIBM_app_waits = [] { return stg.step == 1; };
#endif
}

// The frame loop of the window, then the same shutdown as the unattended mode.
int run_window() {
#ifdef SKYVANE_WINDOW
  app_seed(static_cast<unsigned>(xtim_class::microsecs_tot()));
  MACIBM_app_update = APP_update;
  while (!app_done) MACIBM_event_proc();
  // A signal that arrived while a modal window was open ended the loop
  // there: it ends the run as it does on the main screen.
  if (const int signo = plat::quit_signal(); signo && !quit_by_signal) quit_on_signal(signo);
  // Closing the window ends an install as the quit button does: the
  // partial downloads of the running streams are removed.
  if (stg.step == 1) {
    restart_bookkeeping();
    stg.step = 2;
  }
  MACIBM_app_update = nullptr;
  MACIBM_report_worker_failures = nullptr;
  select_alert_hook = nullptr;
  dir_progress_hook = nullptr;
  app_screen = &g_quiet_screen;
  THREAD_shutdown();
  restore_rename_pref();
  MACIBM_finishup(1);
  if (quit_by_signal) return 128 + quit_by_signal;
  if (stg.dir_scan == 2 || server_list_refused) return kExitIncomplete;
  return stg.got_failed_install ? kExitIncomplete : kExitDone;
#else
  return kExitFatal;
#endif
}

}  // namespace

int installer_main(int argc, const char* const* argv) {
  cmdline.clear();
  // The command line is parsed into the log once the log is open; parse it
  // first quietly so that the log's place and the help text are known.
  cmdline.init_args(argc, argv);

  // One run per user at a time: two would share the temporary folder, the
  // stream archives and the log. The lock is taken before the log is
  // opened (a second run must not truncate the first one's log) and the
  // system releases it however this process ends.
  {
    // The lock lives in the settings folder, which every run of the user
    // finds: the temporary folder depends on TMPDIR, which a scheduled job
    // and a person may set differently.
    static plat::File instance_lock;
    std::string settings;
    get_OS_abs_path(4, settings);
    if (!settings.empty() && settings != "/") {
      const std::string lock_path = settings + "installer.lock";
      const int err = plat::file_lock_exclusive(lock_path, instance_lock);
      if (err == EWOULDBLOCK) {
        std::cerr << "Another Skyvane installer is already running for this user (it holds " << lock_path
                  << "). Let it finish, or end it, then start this one again.\n";
        return kExitIncomplete;
      }
    }
  }
  plat::catch_quit_signals();
  // The crash handler goes in first, so that a crash while the window and
  // its graphics are set up leaves a report too (beside the program until
  // the log's place is known below).
  UTL_debug_init();

  const bool windowed = !cmdline.has_option("--headless") && window_available();
  std::string log_folder;
  if (windowed) {
    // The framework opens the log beside the program, parses the command
    // line into it and opens the window.
    cmdline.clear();
    MACIBM_init(argc, argv);
    get_OS_abs_path(install_type != 0 ? 1 : 0, log_folder);
    if (!xer.is_open()) log_folder = open_log();
  } else {
    log_folder = open_log();
    xer << "Command line:\n";
    cmdline.clear();
    cmdline.init_args(argc, argv);
  }
  UTL_debug_init(log_folder + "Log.txt");
  THREAD_init();
  THREAD_make_workers();
  HL_save_prefs_hook = [] { pref.IO_set(11, 1); };

  // An option that ends the program before its frame loop: the workers and
  // the window go as they do at a normal end, the preferences unwritten.
  auto refuse = [](int status) {
    THREAD_shutdown();
    MACIBM_finishup(0);
    return status;
  };
  if (!windowed && cmdline.has_option("--install") && !cmdline.has_option("--accept_eula")) {
    std::cerr << "An unattended install needs the licence agreement accepted: add --accept_eula.\n";
    return refuse(kExitIncomplete);
  }
  if (!windowed && !cmdline.has_option("--headless")) {
    std::cerr << "There is no display for the installer's window; running unattended (--headless).\n";
  }
  if (windowed) start_window_screens();
  app_windowed = windowed ? 1 : 0;

  {
    std::string err;
    if (!trust_init(err)) {
      std::cerr << err << "\n";
      return refuse(kExitFatal);
    }
    if (!trust_required()) std::cerr << "Releases are not checked: this installer trusts no publisher's key.\n";
  }

  // Options checked before anything is fetched.
  if (cmdline.positionals().size() > 1) {
    std::cerr << "I was given " << cmdline.positionals().size() << " destinations ('"
              << printable_text(cmdline.positionals()[0]) << "', '" << printable_text(cmdline.positionals()[1])
              << "'...). Give one destination folder; put a path with blanks in quotes.\n";
    return refuse(kExitFatal);
  }
  if (has_control_chars(cmdline.positional())) {
    std::cerr << "The destination '" << printable_text(cmdline.positional())
              << "' holds control characters; I will not install there.\n";
    return refuse(kExitFatal);
  }
  if (cmdline.has_option("--retry_backoff")) {
    char* end = nullptr;
    const std::string v = cmdline.get_option("--retry_backoff");
    const double base = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !(base > 0) || base > 3600) {
      std::cerr << "--retry_backoff must be a number of seconds above 0 (at most 3600).\n";
      return refuse(kExitFatal);
    }
    retry_backoff_base = static_cast<float>(base);
  }

  std::string folder;
  static const char* const labels[5] = {"os_dir_this_app\t\t=", "os_dir_desktop\t\t=", "os_dir_default_apps\t=",
                                        "os_dir_temp\t\t\t=", "os_dir_prefs\t\t\t="};
  for (int kind = 0; kind < 5; ++kind) {
    get_OS_abs_path(kind, folder);
    xer << labels[kind] << folder << (kind == 4 ? "\n\n" : "\n");
  }
  get_OS_abs_path(2, folder);
  dest_dir_path = default_dest_root(folder) + "Skyvane/";
  xer << "dest_dir_path=" << dest_dir_path << "\n";
  get_OS_abs_path(3, temp_path);
  if (temp_path.empty() || temp_path == "/") {
    __MACIBM_alert(0, "I could not make a private folder for temporary files!",
                   "Check that the temporary folder ($TMPDIR or /tmp) is writable.", "", "", t_exit, "main", 1);
  }
  // What an interrupted earlier run left behind is of no use to this one.
  remove_own_leftovers();
  install_name = no_install_name;
  stg = stg_class{};
  stg.download_os = plat::os_type();
  demo.check_any(0, 0);
  pref.IO_set(11, 0);
  xer << "After searching, I think that dvd_path=" << dvd_path << "\n";

  if (!cmdline.positional().empty()) {
    dest_dir_path = plat::path_in_program_form(cmdline.positional());
    if (dest_dir_path.back() != '/' && dest_dir_path != parent_folder(dest_dir_path)) dest_dir_path += '/';
  } else if (stg.always_ask_dir) {
    pick_dest_path();
  }
  // A relative destination would mean another folder in a run started
  // elsewhere, and it is saved in the preferences: it is made absolute now.
  dest_dir_path = absolute_path(dest_dir_path);
  if (cmdline.has_option("--download_os")) {
    const int os = std::atoi(cmdline.get_option("--download_os").c_str());
    if (os < 1 || os > 3) {
      std::cerr << "--download_os must be 1 (Macintosh), 2 (Windows) or 3 (Linux).\n";
      return refuse(kExitFatal);
    }
    stg.download_os = os;
  }
  if (cmdline.has_option("--modified") && !select_alert_default_from(cmdline.get_option("--modified"))) {
    std::cerr << "--modified must be keep, replace or cancel.\n";
    return refuse(kExitFatal);
  }
  // Roots for private mirrors, trusted beside the system's: the preference
  // (a file that has gone is logged and skipped) and --ca_file (refused).
  if (!http.ca_file.empty()) {
    if (const int err = plat::tls_add_roots(http.ca_file))
      xer << "Preference _ca_file: no certificates read from " << http.ca_file << " (" << error_str(err) << ").\n";
  }
  if (cmdline.has_option("--ca_file")) {
    const std::string ca = cmdline.get_option("--ca_file");
    if (const int err = plat::tls_add_roots(ca)) {
      std::cerr << "--ca_file: no certificates could be read from '" << printable_text(ca) << "' ("
                << error_str(err) << ").\n";
      return refuse(kExitFatal);
    }
  }
  const std::string progress = cmdline.get_option("--progress");
  if (cmdline.has_option("--progress") && progress != "json" && progress != "text") {
    std::cerr << "--progress must be text or json.\n";
    return refuse(kExitFatal);
  }
  const bool json_progress = !windowed && progress == "json";
  warn_unknown_options();
  (json_progress ? std::cerr : std::cout) << "Installing to " << printable_text(dest_dir_path) << "\n";

  if (windowed) return run_window();

  unattended_screen screen;
  screen.json = json_progress;
  app_screen = &screen;
  app_seed(static_cast<unsigned>(xtim_class::microsecs_tot()));
  while (!app_done) {
    xtim.xtim_update();
    THREAD_report_queued();
    APP_update();
    // Between frames while nothing is being installed: wait for the network
    // (at most 5 ms), so that waiting for the server list does not spin and
    // arriving data is taken at once.
    if (!app_done && stg.step != 1) {
      const bool transfers = http.down[0] || http.down[1];
      if (transfers)
        http.wait_for_activity(5);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  screen.end_progress_line();
  app_screen = &g_quiet_screen;
  THREAD_shutdown();
  restore_rename_pref();
  MACIBM_finishup(1);
  if (quit_by_signal) {
    std::cerr << "Stopped by signal " << quit_by_signal
              << ": the transfers were ended and the partial downloads removed.\n";
    return 128 + quit_by_signal;
  }
  if (stg.dir_scan == 2) return kExitIncomplete;
  return screen.exit_status;
}
