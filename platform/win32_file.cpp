// Windows implementation of platform/file.h, and the conversions of
// platform/win32_text.h that every Windows platform file uses.
//
//   [SECTION] text and paths at the seam
//   [SECTION] error folding
//   [SECTION] open files
//   [SECTION] mapping
//   [SECTION] paths, folders
#include "platform/file.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/fault.h"
#include "platform/win32_text.h"

namespace plat {
namespace win32 {

// ------------------------------------------------------------------ [SECTION] text and paths at the seam

bool widen(const std::string& in, std::wstring& out) {
  out.clear();
  if (in.empty()) return true;
  if (in.size() > 0x7fffffff) return false;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return false;
  out.resize(static_cast<std::size_t>(n));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), out.data(), n);
  return true;
}

std::string narrow(const wchar_t* in, std::size_t n) {
  if (n == 0) return {};
  const int len = WideCharToMultiByte(CP_UTF8, 0, in, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  if (len <= 0) return {};
  std::string out(static_cast<std::size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, in, static_cast<int>(n), out.data(), len, nullptr, nullptr);
  return out;
}

namespace {

// The longest path a plain wide call takes: CreateDirectoryW leaves room
// for an 8.3 file name below MAX_PATH.
constexpr std::size_t kPlainPathMax = 248;
// The longest path Windows takes at all, prefix included.
constexpr std::size_t kLongPathMax = 32767;

bool has_long_prefix(const std::wstring& p) { return p.rfind(L"\\\\?\\", 0) == 0; }

}  // namespace

int system_path(const std::string& path, std::wstring& out) {
  std::wstring w;
  if (!widen(path, w)) return EILSEQ;
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  if (w.size() < kPlainPathMax || has_long_prefix(w)) {
    out = std::move(w);
    return 0;
  }
  // A long path: the prefixed form is taken literally (no "." or "..", no
  // relative parts), so it is made absolute and normal first.
  const DWORD need = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (need == 0) return last_errno();
  std::wstring full(need, L'\0');
  const DWORD got = GetFullPathNameW(w.c_str(), need, full.data(), nullptr);
  if (got == 0 || got >= need) return got == 0 ? last_errno() : ENAMETOOLONG;
  full.resize(got);
  if (full.rfind(L"\\\\", 0) == 0) {
    out = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
  } else {
    out = L"\\\\?\\" + full;
  }
  if (out.size() > kLongPathMax) return ENAMETOOLONG;
  return 0;
}

std::string program_path(const std::wstring& path) {
  std::wstring p = path;
  if (p.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    p = L"\\\\" + p.substr(8);
  } else if (has_long_prefix(p)) {
    p = p.substr(4);
  }
  return plat::path_in_program_form(narrow(p));
}

// ------------------------------------------------------------------ [SECTION] error folding

int errno_from_win32(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_DELETE_PENDING:
      return EACCES;
    case ERROR_LOCK_VIOLATION:
      return EWOULDBLOCK;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_QUOTA:
      return ENOMEM;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
      return ENAMETOOLONG;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_NEGATIVE_SEEK:
      return EINVAL;
    case ERROR_SEEK:
      return ESPIPE;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
      return ENOSYS;
    case ERROR_NO_UNICODE_TRANSLATION:
      return EILSEQ;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    case ERROR_BUSY:
    case ERROR_BUSY_DRIVE:
      return EBUSY;
    case ERROR_NOT_READY:
      return ENXIO;
    default:
      return EIO;  // a read or write fault, a device error, anything else
  }
}

int last_errno() { return errno_from_win32(GetLastError()); }

}  // namespace win32

using win32::last_errno;
using win32::system_path;

namespace {

HANDLE handle_of(const File& f) { return reinterpret_cast<HANDLE>(f.handle()); }

// Every handle the program opens lets others read, write, rename and delete
// the file, as POSIX does: an open file never stands in the way of a rename.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

// ------------------------------------------------------------------ [SECTION] open files

File::~File() {
  if (h_ >= 0) CloseHandle(reinterpret_cast<HANDLE>(h_));
}

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    if (h_ >= 0) CloseHandle(reinterpret_cast<HANDLE>(h_));
    h_ = o.h_;
    o.h_ = -1;
  }
  return *this;
}

namespace {

int open_with(const std::string& path, DWORD access, DWORD disposition, Op op, File& f) {
  if (int e = fault_check(op)) return e;
  std::wstring w;
  if (int e = system_path(path, w)) return e;
  HANDLE h = CreateFileW(w.c_str(), access, kShareAll, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // A folder cannot be opened as a file: say so as POSIX does.
    if (code == ERROR_ACCESS_DENIED) {
      const DWORD attr = GetFileAttributesW(w.c_str());
      if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) return EISDIR;
    }
    return win32::errno_from_win32(code);
  }
  f = File();
  f.adopt(reinterpret_cast<std::intptr_t>(h));
  return 0;
}

}  // namespace

int file_open_read(const std::string& path, File& f) {
  if (int e = open_with(path, GENERIC_READ, OPEN_EXISTING, Op::open_read, f)) return e;
  // Only files on a disk are read: a device or pipe name could hang the caller.
  if (GetFileType(handle_of(f)) != FILE_TYPE_DISK) {
    file_close(f);
    return EINVAL;
  }
  return 0;
}

int file_create(const std::string& path, File& f) {
  return open_with(path, GENERIC_WRITE, CREATE_ALWAYS, Op::open_write, f);
}

int file_create_new(const std::string& path, File& f) {
  return open_with(path, GENERIC_WRITE, CREATE_NEW, Op::open_write, f);
}

int file_create_private(const std::string& path, File& f) {
  return open_with(path, GENERIC_WRITE, CREATE_NEW, Op::open_write, f);
}

int file_read(File& f, void* buf, std::size_t n, std::size_t& got) {
  got = 0;
  if (int e = fault_check(Op::read)) return e;
  const DWORD ask = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
  DWORD r = 0;
  if (!ReadFile(handle_of(f), buf, ask, &r, nullptr)) return last_errno();
  got = r;
  return 0;
}

int file_read_at(File& f, std::uint64_t offset, void* buf, std::size_t n, std::size_t& got) {
  got = 0;
  if (int e = fault_check(Op::read)) return e;
  // A read with an offset moves a synchronous handle's position: it is put
  // back, so that the file's position stays where it was.
  LARGE_INTEGER zero{}, here{};
  if (!SetFilePointerEx(handle_of(f), zero, &here, FILE_CURRENT)) return last_errno();
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xffffffffu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  const DWORD ask = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
  DWORD r = 0;
  int err = 0;
  if (!ReadFile(handle_of(f), buf, ask, &r, &at)) {
    if (GetLastError() == ERROR_HANDLE_EOF)
      r = 0;  // at or past the end
    else
      err = last_errno();
  }
  if (!SetFilePointerEx(handle_of(f), here, nullptr, FILE_BEGIN) && err == 0) err = last_errno();
  if (err != 0) return err;
  got = r;
  return 0;
}

int file_write(File& f, const void* buf, std::size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    if (int e = fault_check(Op::write)) return e;
    const DWORD ask = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    DWORD w = 0;
    if (!WriteFile(handle_of(f), p, ask, &w, nullptr)) return last_errno();
    if (w == 0) return EIO;
    p += w;
    n -= w;
  }
  return 0;
}

int file_size(File& f, std::uint64_t& size) {
  size = 0;
  if (int e = fault_check(Op::stat)) return e;
  LARGE_INTEGER li{};
  if (!GetFileSizeEx(handle_of(f), &li)) return last_errno();
  size = static_cast<std::uint64_t>(li.QuadPart);
  return 0;
}

int file_make_executable(File& f) {
  // Windows runs a file by its name's extension; there is no bit to set.
  if (int e = fault_check(Op::chmod)) return e;
  return 0;
}

int file_close(File& f) {
  if (!f.is_open()) return 0;
  HANDLE h = handle_of(f);
  f.adopt(-1);
  return CloseHandle(h) ? 0 : last_errno();
}

// ------------------------------------------------------------------ [SECTION] mapping

int file_map(File& f, std::uint64_t size, MapUse use, Mapping& m) {
  m = Mapping{};
  if (int e = fault_check(Op::mmap)) return e;
  if (size == 0) return EINVAL;
  if (size > static_cast<std::uint64_t>(SIZE_MAX)) return EFBIG;
  HANDLE section = CreateFileMappingW(handle_of(f), nullptr, PAGE_READONLY, static_cast<DWORD>(size >> 32),
                                      static_cast<DWORD>(size & 0xffffffffu), nullptr);
  if (!section) return last_errno();
  void* p = MapViewOfFile(section, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
  const int err = p ? 0 : last_errno();
  // The view keeps the section alive; its handle is not needed any more.
  CloseHandle(section);
  if (!p) return err;
  (void)use;  // the system's own read-ahead follows a sequential reader
  m.data = static_cast<const unsigned char*>(p);
  m.size = size;
  return 0;
}

void file_unmap(Mapping& m) {
  if (m.data) UnmapViewOfFile(m.data);
  m = Mapping{};
}

// ------------------------------------------------------------------ [SECTION] paths, folders

int path_rename(const std::string& from, const std::string& to) {
  if (int e = fault_check(Op::rename)) return e;
  std::wstring wf, wt;
  if (int e = system_path(from, wf)) return e;
  if (int e = system_path(to, wt)) return e;
  if (MoveFileExW(wf.c_str(), wt.c_str(), MOVEFILE_REPLACE_EXISTING)) return 0;
  const DWORD code = GetLastError();
  // A file cannot replace a folder: say so as POSIX does.
  if (code == ERROR_ACCESS_DENIED) {
    const DWORD to_attr = GetFileAttributesW(wt.c_str());
    const DWORD from_attr = GetFileAttributesW(wf.c_str());
    if (to_attr != INVALID_FILE_ATTRIBUTES && (to_attr & FILE_ATTRIBUTE_DIRECTORY) &&
        from_attr != INVALID_FILE_ATTRIBUTES && !(from_attr & FILE_ATTRIBUTE_DIRECTORY))
      return EISDIR;
  }
  return win32::errno_from_win32(code);
}

int path_remove_file(const std::string& path) {
  if (int e = fault_check(Op::unlink)) return e;
  std::wstring w;
  if (int e = system_path(path, w)) return e;
  if (DeleteFileW(w.c_str())) return 0;
  const DWORD code = GetLastError();
  // A symbolic link to a folder is removed as a folder; its target stays.
  if (code == ERROR_ACCESS_DENIED) {
    const DWORD attr = GetFileAttributesW(w.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (attr & FILE_ATTRIBUTE_DIRECTORY))
      return RemoveDirectoryW(w.c_str()) ? 0 : last_errno();
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) return EISDIR;
  }
  return win32::errno_from_win32(code);
}

int path_remove_dir(const std::string& path) {
  if (int e = fault_check(Op::rmdir)) return e;
  std::wstring w;
  if (int e = system_path(path, w)) return e;
  return RemoveDirectoryW(w.c_str()) ? 0 : last_errno();
}

int path_make_dir(const std::string& path, unsigned mode) {
  // The folder takes its access rights from its parent; per-user folders
  // (the profile, %APPDATA%, %TEMP%) are private to the user already.
  (void)mode;
  if (int e = fault_check(Op::mkdir)) return e;
  std::wstring w;
  if (int e = system_path(path, w)) return e;
  return CreateDirectoryW(w.c_str(), nullptr) ? 0 : last_errno();
}

int path_stat(const std::string& path, PathKind& kind, std::uint64_t& size) {
  kind = PathKind::none;
  size = 0;
  if (int e = fault_check(Op::stat)) return e;
  std::wstring w;
  if (int e = system_path(path, w)) return e;
  WIN32_FILE_ATTRIBUTE_DATA a{};
  if (!GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &a)) return last_errno();
  if (a.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    kind = PathKind::link;
  } else if (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    kind = PathKind::folder;
  } else if (a.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
    kind = PathKind::other;
  } else {
    kind = PathKind::file;
    size = (static_cast<std::uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
  }
  return 0;
}

int path_add_owner_write(const std::string& path) {
  if (int e = fault_check(Op::stat)) return e;
  std::wstring w;
  if (int e = system_path(path, w)) return e;
  const DWORD attr = GetFileAttributesW(w.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return last_errno();
  // A link is left alone; a file without the read-only attribute is writable.
  if ((attr & FILE_ATTRIBUTE_REPARSE_POINT) || !(attr & FILE_ATTRIBUTE_READONLY)) return 0;
  if (int e = fault_check(Op::chmod)) return e;
  return SetFileAttributesW(w.c_str(), attr & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) ? 0 : last_errno();
}

int dir_list(const std::string& path, std::vector<DirEntry>& out) {
  out.clear();
  if (int e = fault_check(Op::open_read)) return e;
  std::string pattern = path;
  if (pattern.empty() || (pattern.back() != '/' && pattern.back() != '\\')) pattern += '/';
  pattern += '*';
  std::wstring w;
  if (int e = system_path(pattern, w)) return e;
  WIN32_FIND_DATAW fd{};
  HANDLE h = FindFirstFileExW(w.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // An empty drive root has not even "." and "..".
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES) return 0;
    if (code == ERROR_INVALID_NAME) return ENOTDIR;
    return win32::errno_from_win32(code);
  }
  do {
    const wchar_t* n = fd.cFileName;
    if (std::wcscmp(n, L".") == 0 || std::wcscmp(n, L"..") == 0) continue;
    DirEntry e;
    e.name = win32::narrow(n, std::wcslen(n));
    e.is_folder = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    out.push_back(std::move(e));
  } while (FindNextFileW(h, &fd));
  const DWORD code = GetLastError();
  FindClose(h);
  return code == ERROR_NO_MORE_FILES ? 0 : win32::errno_from_win32(code);
}

int disk_free_space(const std::string& path, std::uint64_t& bytes) {
  bytes = 0;
  if (int e = fault_check(Op::stat)) return e;
  std::string folder = path;
  if (folder.empty() || (folder.back() != '/' && folder.back() != '\\')) folder += '/';
  std::wstring w;
  if (int e = system_path(folder, w)) return e;
  ULARGE_INTEGER avail{};
  if (!GetDiskFreeSpaceExW(w.c_str(), &avail, nullptr, nullptr)) return last_errno();
  bytes = avail.QuadPart;
  return 0;
}

int file_lock_exclusive(const std::string& path, File& f) {
  if (int e = fault_check(Op::open_write)) return e;
  std::wstring w;
  if (int e = system_path(path, w)) return e;
  HANDLE h = CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_errno();
  // The lock belongs to the handle: closing it, or the end of the process
  // however it ends, releases it.
  OVERLAPPED ov{};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &ov)) {
    const DWORD code = GetLastError();
    CloseHandle(h);
    return code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING ? EWOULDBLOCK
                                                                    : win32::errno_from_win32(code);
  }
  File opened;
  opened.adopt(reinterpret_cast<std::intptr_t>(h));
  f = std::move(opened);
  return 0;
}

std::string path_in_program_form(const std::string& path) {
  std::string out = path;
  // A drive prefix keeps its "\" ("C:\Games/Skyvane/"), as the program's
  // paths have always been written on Windows; every other "\" becomes "/".
  const bool drive = out.size() >= 3 && out[1] == ':' && (out[2] == '\\' || out[2] == '/') &&
                     ((out[0] >= 'A' && out[0] <= 'Z') || (out[0] >= 'a' && out[0] <= 'z'));
  if (drive) out[2] = '\\';
  for (std::size_t i = drive ? 3 : 0; i < out.size(); ++i)
    if (out[i] == '\\') out[i] = '/';
  return out;
}

bool path_has_foreign_separator(const std::string& path) {
  std::size_t from = 0;
  if (path.size() > 2 && path[1] == ':' && path[2] == '\\') from = 3;
  return path.find_first_of("\\:", from) != std::string::npos;
}

bool path_is_absolute(const std::string& path) {
  const auto sep = [](char c) { return c == '/' || c == '\\'; };
  if (path.size() >= 3 && path[1] == ':' && sep(path[2]) &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')))
    return true;
  return path.size() >= 2 && sep(path[0]) && sep(path[1]);  // \\server\share
}

std::string path_make_absolute(const std::string& path) {
  if (path.empty()) return path;
  std::wstring w;
  if (!win32::widen(path, w)) return path;
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  const DWORD need = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (need == 0) return path;
  std::wstring full(need, L'\0');
  const DWORD got = GetFullPathNameW(w.c_str(), need, full.data(), nullptr);
  if (got == 0 || got >= need) return path;
  full.resize(got);
  return win32::program_path(full);
}

namespace {

// Texts for the errno values of the socket layer, which the C library of
// Windows does not know.
struct ErrText {
  int err;
  const char* text;
};
const ErrText kNetTexts[] = {
    {EADDRINUSE, "Address already in use"},
    {EADDRNOTAVAIL, "Cannot assign requested address"},
    {EAFNOSUPPORT, "Address family not supported by protocol"},
    {EALREADY, "Operation already in progress"},
    {ECONNABORTED, "Software caused connection abort"},
    {ECONNREFUSED, "Connection refused"},
    {ECONNRESET, "Connection reset by peer"},
    {EHOSTUNREACH, "No route to host"},
    {EINPROGRESS, "Operation now in progress"},
    {EISCONN, "Transport endpoint is already connected"},
    {EMSGSIZE, "Message too long"},
    {ENETDOWN, "Network is down"},
    {ENETRESET, "Network dropped connection on reset"},
    {ENETUNREACH, "Network is unreachable"},
    {ENOBUFS, "No buffer space available"},
    {ENOTCONN, "Transport endpoint is not connected"},
    {ENOTSOCK, "Socket operation on non-socket"},
    {ETIMEDOUT, "Connection timed out"},
    {EWOULDBLOCK, "Operation would block"},
    {ENOTSUP, "Operation not supported"},
};

}  // namespace

std::string error_text(int err) {
  for (const ErrText& t : kNetTexts)
    if (t.err == err) return t.text;
  if (err >= 0 && err < 100) {
    const char* s = std::strerror(err);
    if (s && *s) return s;
  }
  return "Unknown error " + std::to_string(err);
}

bool names_ignore_case() { return true; }

bool names_follow_windows_rules() { return true; }

}  // namespace plat
