// The installer's run state: the record `stg` and the globals that every
// part of the installer core and the engine reads and writes directly.
//
// Everything here lives on the main thread and for the whole run. Start
// values are the ones the program starts with before the preferences file is
// read; run_state_reset() puts them back (tests use it between cases).
#pragma once

#include <cstdint>
#include <string>

class stg_class {
 public:
  int dir_scan = 0;           // directory file: 0 not fetched, 1 fetched and extracted, 2 rejected, 3 read and compared
  int download_os = 2;        // system whose files are installed: 1 Macintosh, 2 Windows, 3 Linux
  int log_actions = 0;        // log every file action
  int step = 0;               // install phase: 0 ready, 1 installing, 2 finished
  int got_404 = 0;            // the last transfer failed and another server was chosen
  int got_failed_install = 0; // an extraction failed during this install
  int num_servers = -1;       // servers in the list; -1 while the list has not arrived
  int sel_server = 0;         // index of the server in use
  int wrl_sel[36][18] = {};   // scenery region tables; not used by the installer
  int wrl_disk[36][18] = {};
  int crnt_file_stat = 3;     // last action on crnt_file_name: 0 delete, 1 download, 2 already there, 3 not needed
  float crnt_file_rat = 0;    // fraction received of the file now downloading
  int use_max_cpu = 0;        // the frame loop never yields the processor
  int rename_folder = 1;      // rename the destination after the version once installed
  int stream_count = 0;       // parallel download streams; 0 = automatic
  int always_ask_dir = 0;     // ask for the destination at every start
  std::int64_t down_req = 0;  // download size still needed, thousands of bytes
  std::int64_t disk_req = 0;  // installed size still needed, thousands of bytes
};

extern stg_class stg;

// Build constants.
inline constexpr int is_net = 1;        // files come from web servers (0: from the disc)
inline constexpr int install_type = 0;  // 0: the ordinary installer

// "Not Yet Scanned": install_name holds it while no version is known.
extern const std::string no_install_name;
// The product version string of this build.
extern const std::string build_name;

extern std::string install_name;   // version being installed (server list's BETA line)
extern std::string temp_path;      // the system's temporary folder for this program, ending in "/"
extern std::string dest_dir_path;  // destination folder, ending in "/"
extern std::string dvd_path;       // root of the installation disc; empty when none
extern std::string crnt_file_name; // last component of crnt_file_path
extern std::string crnt_file_path; // source of the file the executor works on
extern std::string server_name[10];
extern std::string server_path[10]; // path prefix + install_name + "/"
extern std::string server_desc[10];
extern std::string net_dir_path_zip; // temp_path + "directory.txt.zip"
extern std::string dir_path;         // temp_path + "directory.txt"
extern std::string dir_path_path;    // temp_path

extern float totl_inst_rat;      // smoothed fraction of the install done, 0..1
extern std::int64_t tot_availabl;  // free space at the destination, thousands of bytes; -1 unknown
extern std::int64_t tot_down_req, tot_disk_req;  // copies of down_req / disk_req taken while ready
extern std::string tot_availabl_str, tot_disk_req_str;
extern int disk_space_avail;     // the destination has room for the install (starts 1)
extern int wrl_i;                // frame of the busy animation
extern float base_x1, base_x2;   // horizontal ends of the progress bar

// ------------------------------------------------------------ [SECTION] install bookkeeping

// Streams and progress of the running install. The executor advances it;
// the state machine restarts it when an install starts, ends or is abandoned.
class next_class {
 public:
  int next_index = 0;           // next manifest entry to hand to a stream
  int dir_done = 0;             // every stream has run past the last entry; never cleared
  int stream_active[4] = {};    // stream s is in use
  int stream_waiting[4] = {};   // stream s takes next_index at its next turn
  int stream_index[4] = {};     // entry stream s works on; it uses download slot s + 2
  float star_time = 0;          // real time of the last restart
  double file_down = 0;         // thousands of bytes received of the entries downloading now
  std::int64_t comp_down = 0;   // download size of the entries fully fetched in this install
  std::int64_t totl_disk = 0;   // installed size of the entries fully fetched in this install
};

extern next_class next;

// Restart of the bookkeeping: partial downloads of the active streams are
// deleted, two streams (one for other install types) wait for entries, and
// the counters and the start time are reset. dir_done is left alone.
void restart_bookkeeping();

// After stream s finished its entry: follows the measured rate with the
// number of streams (2 below 50 thousand bytes/s, 4 above), or the
// preference. May start one more stream, retire s, or mark s waiting.
void next_stream_rule(int s);

// The archive a stream downloads into: temp_path + s + ".zip".
std::string stream_archive_path(int s);

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

// Attempts at the server list and the directory file are spaced: after the
// n-th failure in a row the next attempt waits retry_delay(n) seconds (the
// base, doubling, at most 30 times the base), spent polling so that the
// frame never blocks. The base is 1 s ("--retry_backoff=SECONDS" sets it).
extern float retry_backoff_base;
float retry_delay(int failures);
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

// Reads the downloaded server list into the server tables. Returns 1 when
// the header was accepted and the version name is usable, 0 when the header
// was not accepted, 2 when the version name (BETA line) is not one plain
// folder name (the tables are then left empty: num_servers 0).
int read_server_list(const std::string& path);

// A version name becomes a folder name, the installed tree's after the
// install: a name a person gives a version. Not empty; no "/", "\\", ":" or
// control characters; not hidden (a leading dot), not only dots or blanks,
// not ending in a blank or a dot, and no name that Windows reserves, on every
// system (the release must install the same everywhere).
bool version_name_usable(const std::string& name);

// The largest server list accepted (no list of ten servers comes near it),
// and the largest directory archive; the directory file may expand to
// kDirectoryExpansion times its archive, at least kDirectoryMinBytes, at
// most kDirectoryMaxBytes. A larger one is that server's failure.
constexpr std::int64_t kServerListMaxBytes = 1 << 20;
constexpr std::int64_t kDirectoryArchiveMaxBytes = 64ll << 20;
constexpr std::int64_t kDirectoryExpansion = 64;
constexpr std::int64_t kDirectoryMinBytes = 16ll << 20;
constexpr std::int64_t kDirectoryMaxBytes = 1ll << 30;

// A text from a server as it may be printed or logged: control characters
// (below 0x20 and 0x7f) are written as \xNN, a backslash as "\\".
std::string printable_text(const std::string& text);

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

// The skewed draw that favours servers early in the list.
int draw_server_skewed(int count);
// Random integer 0..32767.
int app_rand();
void app_seed(unsigned seed);

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

// Puts the run state above back to its start values.
void run_state_reset();
