// The log stream, the framework flags and the shutdown: what every part of
// the program needs, below the window layer and the installer.
//
// [SECTION] The log: "Log.txt", truncated at start-up, written by every part
//           of the program through `xer`.
// [SECTION] Framework flags shared by the frame loop and the alerts.
// [SECTION] Shutdown.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

// ---------------------------------------------------------------- [SECTION] log
// The log stream. Writes before HL_open_log() (or after the log is closed) go
// nowhere.
extern std::ofstream xer;

// The product version string of this build, named in the log header and in
// the requests' User-Agent.
extern const std::string build_name;

// Opens folder + "Log.txt" for writing, truncating it, and writes the
// header that names the build. `folder` ends in "/". Returns 1 when the file
// is open, else 0.
int HL_open_log(const std::string& folder);

// Flushes and closes the log.
void HL_close_log();

// Writes the machine part of the log header: the system, the processor,
// the memory, each processor's name and clock, and the program folder.
void HL_log_system(const std::string& app_path);

// ------------------------------------------------------- [SECTION] framework flags
extern int app_done;    // non-zero ends the frame loop
extern int ogl_inited;  // the window and GL context are up: alerts may be drawn

// ------------------------------------------------------------ [SECTION] shutdown
// Orderly shutdown. With `save`, the preferences file is written first
// (through the hook below, set by the preferences module); the log is
// closed in every case.
void MACIBM_finishup(int save);

// Writes the preferences at a normal end; set by whoever owns them.
extern void (*HL_save_prefs_hook)();
// Closes the window and GL context; set by the window layer when it is up.
extern void (*HL_close_window_hook)();
