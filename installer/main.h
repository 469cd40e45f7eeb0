// The installer core: the main screen's state and texts, the server list,
// the destination and the disc, the state machine (APP_update) and the
// program. The run state it shares with the engine and the preferences is
// declared in engine/run_state.h.
//
// Everything here lives on the main thread and for the whole run. Start
// values are the ones the program starts with before the preferences file is
// read; installer_state_reset() puts them back (tests use it between cases).
#pragma once

#include <cstdint>
#include <string>

#include "engine/run_state.h"
#include "engine/utils.h"
#include "support/text.h"

extern float totl_inst_rat;      // smoothed fraction of the install done, 0..1
extern std::int64_t tot_availabl;  // free space at the destination, thousands of bytes; -1 unknown
extern std::int64_t tot_down_req, tot_disk_req;  // copies of down_req / disk_req taken while ready
extern std::string tot_availabl_str, tot_disk_req_str;
extern int disk_space_avail;     // the destination has room for the install (starts 1)
extern int wrl_i;                // frame of the busy animation
extern float base_x1, base_x2;   // horizontal ends of the progress bar

// ------------------------------------------------------------ [SECTION] texts
void int_to_str(int value, char* buf, int min_digits, int plus);
void set_size_str(float size, std::string* out);
// One-decimal text of a value; `min_digits` digits at least in the whole part,
// leading zeros but the last shown as blanks (5.25 with 2 digits gives " 5.3").
std::string one_decimal_str(float value, int min_digits);
// "About 90 seconds" style time text for a number of seconds.
std::string time_left_str(float seconds);

// ------------------------------------------------------------ [SECTION] the main screen

// Colours of the main screen's texts (indices into the colour table).
enum app_colour {
  col_text = 46,     // ordinary text
  col_warning = 1,   // warnings of the status line and of the disk check
  col_success = 13,  // "INSTALLATION COMPLETE!", "You may install at will."
  col_failure = 69,  // failure lines of the information box
};

// What the main screen shows this frame, rebuilt every frame from the state.
struct app_texts {
  std::string status;          // the status line
  int status_colour = col_text;
  std::string line[3];         // the information box
  int line_colour[3] = {col_text, col_text, col_text};
};

// Clicks reported by main_screen::buttons().
enum app_button {
  btn_install = 1,
  btn_store = 2,
  btn_quit = 4,
  btn_destination = 8,
};

// The main screen's widgets and the modal questions the installer asks. The
// window build draws them and reports what the user clicked; the unattended
// mode answers from its options. Whichever is in use, every phase change
// happens in APP_update: the screen only reports clicks and shows texts.
class main_screen {
 public:
  virtual ~main_screen() = default;
  // Start of the frame: the background.
  virtual void background() {}
  // The destination box; 1 when the user clicked the destination text.
  virtual int destination_box() { return 0; }
  // Busy animation, server buttons (they may set stg.sel_server) and the
  // preferences button (which may open the preferences screen).
  virtual void servers_and_prefs() {}
  // Source and download boxes, the status line, and the destination,
  // install, store and quit buttons; returns the app_button bits clicked.
  virtual int buttons(const app_texts& texts, int install_enabled) { return 0; }
  // The information box and the progress bar.
  virtual void info(const app_texts& texts) {}
  // The licence agreement; 1 when accepted.
  virtual int accept_agreement() { return 0; }
  // The folder question: 1 and the chosen folder (ending in "/") when the
  // user picked one, 0 when cancelled.
  virtual int choose_folder(const std::string& initial, std::string& chosen) { return 0; }
  // A one-off remark for the user (already written to the log), such as
  // where the installed tree now is.
  virtual void notice(const std::string& text) {}
};

// The screen APP_update works with; never null (a screen that shows nothing
// and clicks nothing by default).
extern main_screen* app_screen;

// One frame of the installer.
void APP_update();

// The signal (an interrupt or a termination request) that ended the run as
// a quit, or 0.
extern int quit_by_signal;

// Puts the preference rename_folder back when an install had to leave the
// destination's name alone (it is turned off for that install only).
void restore_rename_pref();

// The texts of the current frame (for the unattended mode and tests).
extern app_texts app_now;

// Failed attempts in a row at the server list and at the directory file;
// reset by a success.
extern int server_list_failures;
extern int directory_failures;
// Attempts at the directory file per listed server since the run began
// (the next attempt goes to one tried least); kDirectoryServers is the most
// servers a list may hold.
constexpr int kDirectoryServers = 10;
extern int directory_tries[kDirectoryServers];
void directory_fetch_failed();
// Usable entries of the server list beyond the ten that the server tables
// hold: read, counted and left out.
extern int servers_left_out;
// Failed attempts in a row after which the server list is given up (and
// the unattended mode gives up on the directory file).
inline constexpr int max_fetch_attempts = 10;
// Why the last attempt at the server list failed, in words.
extern std::string server_list_last_failure;

// Real time (xtim) before which no new attempt starts.
extern float server_list_next_try;
extern float directory_next_try;

// A cause on this machine for the last failed fetch of the server list or
// the directory file (a full or read-only temporary folder): an error code
// for error_str, 0 when the cause was the network or the server.
extern int server_list_local_error;
extern int directory_local_error;

// Why the server list could not be used, once it had arrived.
enum server_list_problem {
  list_ok = 0,
  list_unreadable = 1,     // not a server list (garbage, a web page, a newer format)
  list_bad_version = 2,    // the version name is not one plain folder name
  list_too_large = 3,      // larger than any list of servers (kServerListMaxBytes)
};
extern int server_list_refused;
// Why the last server list, or directory file, was refused by the checks of
// a signed release (one line, shown as the status); empty when it was not.
extern std::string server_list_refusal;
extern std::string directory_refusal;
// 1 while the signed statement beside the server list is being fetched.
extern int server_list_statement_phase;

// Reads the downloaded server list into the server tables. Returns 1 when
// the header was accepted and the version name is usable, 0 when the header
// was not accepted, 2 when the version name (BETA line) is not one plain
// folder name (the tables are then left empty: num_servers 0).
int read_server_list(const std::string& path);


// The largest server list accepted (no list of ten servers comes near it),
// and the largest directory archive; the directory file may expand to
// kDirectoryExpansion times its archive, at least kDirectoryMinBytes, at
// most kDirectoryMaxBytes. A larger one is that server's failure.
constexpr std::int64_t kServerListMaxBytes = 1 << 20;
constexpr std::int64_t kDirectoryArchiveMaxBytes = 64ll << 20;
constexpr std::int64_t kDirectoryExpansion = 64;
constexpr std::int64_t kDirectoryMinBytes = 16ll << 20;
constexpr std::int64_t kDirectoryMaxBytes = 1ll << 30;

// Whether the examined release has anything to do at the destination: a
// file to fetch (even an empty one) or a file to delete.
int work_pending();

// The folder whose free space stands for `folder`: the folder itself, or,
// when it does not exist yet, its nearest existing parent.
std::string free_space_folder(const std::string& folder);

// Whether the destination may take the version's name after the install:
// the installer created it (`created`), or it holds a simulator tree and
// nothing at its top but the release's own top-level names and the folders
// the installer makes. Anything else (a home folder, say) is never renamed.
bool dest_may_be_renamed(bool created);

// Removes what an earlier run of this program left in its temporary folder
// (stream archives, the zipped and the extracted directory file). The lock
// file stays.
void remove_own_leftovers();

// `path` made absolute against the current folder (ending in "/" when it did).
std::string absolute_path(const std::string& path);


// The folder question; 1 when dest_dir_path was changed.
int pick_dest_path();
// 1 when dest_dir_path holds a simulator tree.
int path_is_to_a_sim();
// The search for the installation disc. Kind 0 is the installation disc;
// its answer is kept for an hour unless `force` is given.
class demo_class {
 public:
  int check_any(int kind, int force);
  int found_thing[4] = {};
  float next_check_time[4] = {-1, -1, -1, -1};
};
extern demo_class demo;
// 1 when the disc root (ending in "/") holds the installation disc's marker
// "dvd_version.txt" (header I / 900 / DVD); dvd_path then names it.
int check_dvd(const std::string& root);

// Opens an address in the user's web browser.
void go_to_URL(const std::string& url);

// The address of the maker's store, opened by the store button.
extern const char* const store_url;

// ------------------------------------------------------------ [SECTION] program
// The program: start-up, the frame loop and shutdown. Returns the exit status.
int installer_main(int argc, const char* const* argv);

// 1 when the main screen is a window (a web page may then be opened).
extern int app_windowed;

// Puts the state above and the shared run state (run_state_reset) back to
// their start values.
void installer_state_reset();
