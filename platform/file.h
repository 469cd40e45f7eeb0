// Files and folders: open, read, write, map, rename, delete, create, list,
// permissions and free space.
//
// Paths are byte strings with "/" as the directory character. Every call
// that can fail returns 0 or the operating system's error number (an errno
// value on POSIX), asks plat::fault_check first so that tests can make one
// call fail, and sets nothing else on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// An open file. Not copyable; closed by file_close or when destroyed.
class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& o) noexcept : h_(o.h_) { o.h_ = -1; }
  File& operator=(File&& o) noexcept;

  bool is_open() const { return h_ >= 0; }
  std::intptr_t handle() const { return h_; }
  void adopt(std::intptr_t h) { h_ = h; }

 private:
  std::intptr_t h_ = -1;
};

// Opens an existing file for reading.                       (Op::open_read)
int file_open_read(const std::string& path, File& f);
// Creates the file, or truncates an existing one, for writing. (Op::open_write)
int file_create(const std::string& path, File& f);
// Creates a file that must not exist yet (exclusive), for writing; an
// existing name (even a dangling symbolic link) gives EEXIST. (Op::open_write)
int file_create_new(const std::string& path, File& f);
// The same, for a secret: on POSIX systems only the owner may read or write
// the new file (mode 0600, whatever the umask); on Windows the file takes
// the folder's permissions (the user's own folders are private).
int file_create_private(const std::string& path, File& f);
// Reads up to n bytes; `got` is 0 at the end of the file.     (Op::read)
int file_read(File& f, void* buf, std::size_t n, std::size_t& got);
// Reads up to n bytes from `offset` without moving the file's position
// (one positioned read; no separate seek); `got` is 0 at or past the end
// of the file.                                                 (Op::read)
int file_read_at(File& f, std::uint64_t offset, void* buf, std::size_t n, std::size_t& got);
// Writes all n bytes (retrying short writes).                 (Op::write)
int file_write(File& f, const void* buf, std::size_t n);
// Size of an open file in bytes.                              (Op::stat)
int file_size(File& f, std::uint64_t& size);
// Makes the file executable by whoever may read it (adds an execute bit
// beside every read bit).                                      (Op::chmod)
int file_make_executable(File& f);
// Closes the file; a failure to close is reported (written data may be lost).
int file_close(File& f);

// A read-only view of a whole file.
struct Mapping {
  const unsigned char* data = nullptr;
  std::uint64_t size = 0;
};
// How the view will be read.
enum class MapUse {
  random,      // no hint
  sequential,  // read once from start to end: read ahead aggressively
};
// Maps `size` bytes of the open file read-only. A size of 0 gives EINVAL. (Op::mmap)
int file_map(File& f, std::uint64_t size, MapUse use, Mapping& m);
// Releases a view made by file_map; a null view is left alone.
void file_unmap(Mapping& m);

// Moves a file or folder; replaces an existing file at `to`.  (Op::rename)
int path_rename(const std::string& from, const std::string& to);
// Deletes one file (a symbolic link itself, never its target). (Op::unlink)
int path_remove_file(const std::string& path);
// Removes one empty folder.                                   (Op::rmdir)
int path_remove_dir(const std::string& path);
// Creates one folder (not its parents); mode 0777 less the umask, or the
// given mode. EEXIST when anything exists under the name.     (Op::mkdir)
int path_make_dir(const std::string& path, unsigned mode = 0777);

// What lies at a path, without following a final symbolic link.
enum class PathKind {
  none,     // nothing (or it cannot be reached)
  file,     // a regular file
  folder,   // a folder
  link,     // a symbolic link
  other,    // a device, pipe or socket
};
// Kind and size (0 unless a file) of what lies at the path.   (Op::stat)
int path_stat(const std::string& path, PathKind& kind, std::uint64_t& size);

// Gives the owner write permission, keeping every other bit. A symbolic
// link is not followed (nothing changes).                     (Op::stat, Op::chmod)
int path_add_owner_write(const std::string& path);

struct DirEntry {
  std::string name;
  bool is_folder = false;
};
// The entries of a folder except "." and "..", in no particular order.
// A symbolic link to a folder counts as a folder.             (Op::open_read)
int dir_list(const std::string& path, std::vector<DirEntry>& out);

// Bytes free for this user on the file system holding `path`. (Op::stat)
int disk_free_space(const std::string& path, std::uint64_t& bytes);

// Takes an exclusive lock on the file at `path` (created when missing) and
// keeps it in `f` until f is closed or the process ends, however it ends:
// the system releases it. EWOULDBLOCK when another process holds it.
int file_lock_exclusive(const std::string& path, File& f);   // (Op::open_write)

// Whether `path` holds a directory character other than "/": on Windows a
// "\\" or ":" past a leading drive prefix ("X:\\"), which this program never
// writes in its own paths. On POSIX both are ordinary characters of a name
// (a temporary folder called "a:b"): always false.
bool path_has_foreign_separator(const std::string& path);
// Whether the path names one place whatever the current folder is: "/..."
// on POSIX; "X:/", "X:\" or a network path "//server/share" on Windows.
bool path_is_absolute(const std::string& path);
// The path made absolute against the current folder and made normal ("."
// and ".." resolved by name, "/" as the directory character after a
// Windows drive prefix, which keeps its "\": "C:\Games/Skyvane"). An
// absolute POSIX path is returned as it is; the path itself when that fails.
std::string path_make_absolute(const std::string& path);

// A path as the user typed or passed it, in the program's own form, so
// that no path mixes the two directory characters: on Windows every "\"
// becomes "/" except the one of a drive prefix, which a typed "C:/" takes
// too ("c:\Games\Skyvane\" gives "c:\Games/Skyvane/", "\\server\share"
// gives "//server/share"). On POSIX "\" is an ordinary character of a
// name: the path is returned as it is. Nothing else is changed.
std::string path_in_program_form(const std::string& path);

// The system's text for an error number.
std::string error_text(int err);

// Whether this system's file names ignore letter case ("a.txt" and "A.TXT"
// name one file): true on Windows.
bool names_ignore_case();
// Whether this system refuses the names Windows cannot hold (see
// windows_name_problem): true on Windows.
bool names_follow_windows_rules();
// Why Windows cannot hold one path component, or "" when it can: the names
// it reserves for devices (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9,
// in any case, alone or before an ending: "aux.txt", "Com1.dat"), a name
// ending in a dot or a blank (which Windows drops, so the file would get
// another name), and the characters < > : " | ? * and control characters.
// A plain rule on the name, the same on every system, so that releases can
// be checked where they are made.
std::string windows_name_problem(const std::string& name);

}  // namespace plat
