// The run state shared by the installer core, the engine and the
// preferences: the record `stg`, the version being installed, the folders,
// the file the executor works on, the server tables, and the spacing of
// attempts and the draw of servers that the fetches of the server list, the
// directory file and the files all use.
//
// Everything here lives on the main thread and for the whole run. Start
// values are the ones the program starts with before the preferences file is
// read; run_state_reset() puts them back.
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
  int got_failed_install = 0; // this install failed (a file could not be fetched, stored, extracted or deleted)
  int num_servers = -1;       // servers in the list; -1 while the list has not arrived
  int sel_server = 0;         // index of the server in use
  int wrl_sel[36][18] = {};   // scenery region tables; not used by the installer
  int wrl_disk[36][18] = {};
  int crnt_file_stat = 3;     // last action on crnt_file_name: 0 delete, 1 download, 2 already there, 3 not needed
  float crnt_file_rat = 0;    // fraction received of the file now downloading
  int use_max_cpu = 0;        // the frame loop never yields the processor
  int rename_folder = 1;      // rename the destination after the version once installed
  int stream_count = 0;       // parallel download streams; 0 = automatic
  int max_rate = 0;           // download cap over all streams, thousands of bytes a second; 0 = none
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

// Attempts at the server list, the directory file and each file are spaced:
// after the n-th failure in a row the next attempt waits retry_delay(n)
// seconds (the base, doubling, at most 30 times the base), spent polling so
// that the frame never blocks. The base is 1 s ("--retry_backoff=SECONDS"
// sets it).
extern float retry_backoff_base;
float retry_delay(int failures);

// The skewed draw that favours servers early in the list: an index below
// `count`, or -1 when there is none.
int draw_server_skewed(int count);
// A version name becomes a folder name, the installed tree's after the
// install: a name a person gives a version. Not empty; no "/", "\\", ":" or
// control characters; not hidden (a leading dot), not only dots or blanks,
// not ending in a blank or a dot, and no name that Windows reserves, on every
// system (the release must install the same everywhere).
bool version_name_usable(const std::string& name);

// Random integer 0..32767.
int app_rand();
void app_seed(unsigned seed);

// Puts the run state above and the executor's bookkeeping (`next`) back to
// their start values.
void run_state_reset();
