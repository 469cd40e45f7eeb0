// Facts about the running process and machine, and the user's folders.
// Paths returned here use "/" and carry no trailing "/" unless stated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// Full path of the running executable; empty when it cannot be found.
std::string exe_path();

// The size of the large pages that the system may back ordinary memory with
// (2 MiB on x86-64 Linux), or 0 when it offers none to ask for (they are
// turned off, or, on Windows, they need a privilege the installer lacks).
std::size_t large_page_size();
// Asks the system to back the whole large pages that lie inside [p, p + n)
// with large pages: a big block written from start to end then takes one
// page fault per large page instead of one per small page, and is given
// back faster. Only a hint: the memory and its contents stay the same.
// Nothing is done when large_page_size() is 0.
void advise_large_pages(void* p, std::size_t n);

// Value of an environment variable; empty when unset.
std::string env(const char* name);

// The user's home folder ($HOME, else the password database; the profile
// folder on Windows); empty if none.
std::string home_dir();

// The user's desktop folder: $XDG_DESKTOP_DIR from the user-dirs file when
// it names one, else home + "/Desktop"; the shell's Desktop folder on Windows.
std::string desktop_dir();

// The folder for per-user configuration: $XDG_CONFIG_HOME, else home +
// "/.config"; %APPDATA% on Windows.
std::string config_home();

// The folder of this program's per-user settings (its preferences):
// config_home() + "/skyvane" on POSIX, %APPDATA% + "/Skyvane" on Windows.
// Not created here.
std::string app_settings_dir();

// The folder for per-user state such as logs: $XDG_STATE_HOME, else
// home + "/.local/state"; %LOCALAPPDATA% on Windows.
std::string state_home();

// A temporary folder private to this user: $TMPDIR (or /tmp) + "/skyvane-" +
// user id, created with mode 0700 when missing. Refused (empty result) when
// the path exists but is a symbolic link, is not a folder, belongs to another
// user or can be entered by others: fixed file names inside it must never be
// redirected by someone else. On Windows: the user's own temporary folder
// (GetTempPathW, under the profile) + "/skyvane", refused when it is a link.
std::string private_temp_dir();

// Bytes of memory the process has resident; 0 when unknown.
std::uint64_t memory_resident_bytes();

// Total physical memory in bytes; 0 when unknown.
std::uint64_t physical_memory_bytes();

// One line naming the operating system, e.g. "Linux 6.1.0-18-amd64 (x86_64)".
std::string os_description();

// The processor's model name and its clock in MHz, one entry per processor.
struct CpuInfo {
  std::string name;
  int mhz = 0;
};
int cpu_count();
CpuInfo cpu_info(int index);

// The system this build runs on, as the directory file numbers systems:
// 1 Macintosh, 2 Windows, 3 Linux.
int os_type();

// Whether standard output is a terminal (progress lines are then
// rewritten in place).
bool stdout_is_terminal();

// The folders where optical discs are mounted (file systems of the kinds
// discs carry: ISO 9660 and UDF), each ending in "/". These play the part
// of the drive roots of CD-ROM drives. On Windows: the roots ("E:\") of the
// drives whose type is CD-ROM.
std::vector<std::string> disc_roots();
// The same, from the text of a mount table (one "device folder type ..."
// line per mount, blanks in folders written as "\040").
std::vector<std::string> disc_roots_from_mounts(const std::string& mounts);

// The roots of the computer's drives ("C:\", "D:\"), in drive order: what
// lies above a drive's root on Windows. Empty on POSIX, where "/" is the
// one root and has nothing above it.
std::vector<std::string> drive_roots();

// From now on an interrupt (Ctrl+C) or a termination request (on Windows:
// Ctrl+Break or the console closing, reported as SIGTERM) does not end
// the process at once: it is noted, and quit_signal() tells it, so that the
// program can end as its quit button does.
void catch_quit_signals();
// The signal number of the first interrupt or termination request since
// catch_quit_signals(), or 0.
int quit_signal();

// Shows a failure the program's window cannot show (no window or GL context
// yet, an alert raised inside another alert) in the system's own message box
// and waits for it to be dismissed: on Windows, where a program started from
// the desktop has no console; elsewhere standard error carries the text and
// nothing more is shown. With the environment variable
// SKYVANE_MESSAGE_BOX_FILE set (tests), the title and text are appended to
// that file instead of showing a box.
void message_box(const std::string& title, const std::string& text);
// The tests' stand-in for message_box: with SKYVANE_MESSAGE_BOX_FILE set,
// the title and text are appended to that file and the answer is true.
bool message_box_to_file(const std::string& title, const std::string& text);

// Opens a web address in the user's browser without waiting for it.
// Returns 0 on success or an errno value.
int open_url(const std::string& url);

}  // namespace plat
