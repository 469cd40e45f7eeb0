// POSIX implementation of platform/file.h.
#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <type_traits>

#include "platform/fault.h"

namespace plat {

namespace {

int fd_of(const File& f) { return static_cast<int>(f.handle()); }

// errno after a failed call, never 0 (a call that failed without saying why
// must still read as a failure).
int last_error() { return errno != 0 ? errno : EIO; }

}  // namespace

// ------------------------------------------------------------------ open files

File::~File() {
  if (h_ >= 0) ::close(static_cast<int>(h_));
}

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    if (h_ >= 0) ::close(static_cast<int>(h_));
    h_ = o.h_;
    o.h_ = -1;
  }
  return *this;
}

namespace {

int open_with(const std::string& path, int flags, unsigned mode, Op op, File& f) {
  if (int e = fault_check(op)) return e;
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return last_error();
  f = File();
  f.adopt(fd);
  return 0;
}

}  // namespace

int file_open_read(const std::string& path, File& f) {
  // Opened without blocking so that a pipe under the name cannot hang the
  // caller; only regular files are read.
  if (int e = open_with(path, O_RDONLY | O_NONBLOCK, 0, Op::open_read, f)) return e;
  struct stat st {};
  if (::fstat(fd_of(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    file_close(f);
    return err;
  }
  const int fl = ::fcntl(fd_of(f), F_GETFL);
  if (fl >= 0) ::fcntl(fd_of(f), F_SETFL, fl & ~O_NONBLOCK);
  return 0;
}

int file_create(const std::string& path, File& f) {
  return open_with(path, O_WRONLY | O_CREAT | O_TRUNC, 0666, Op::open_write, f);
}

int file_create_new(const std::string& path, File& f) {
  return open_with(path, O_WRONLY | O_CREAT | O_EXCL, 0666, Op::open_write, f);
}

int file_create_private(const std::string& path, File& f) {
  return open_with(path, O_WRONLY | O_CREAT | O_EXCL, 0600, Op::open_write, f);
}

int file_read(File& f, void* buf, std::size_t n, std::size_t& got) {
  got = 0;
  if (int e = fault_check(Op::read)) return e;
  ssize_t r;
  do {
    r = ::read(fd_of(f), buf, n);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return last_error();
  got = static_cast<std::size_t>(r);
  return 0;
}

int file_read_at(File& f, std::uint64_t offset, void* buf, std::size_t n, std::size_t& got) {
  got = 0;
  if (int e = fault_check(Op::read)) return e;
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EINVAL;
  ssize_t r;
  do {
    r = ::pread(fd_of(f), buf, n, static_cast<off_t>(offset));
  } while (r < 0 && errno == EINTR);
  if (r < 0) return last_error();
  got = static_cast<std::size_t>(r);
  return 0;
}

int file_write(File& f, const void* buf, std::size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    if (int e = fault_check(Op::write)) return e;
    const ssize_t w = ::write(fd_of(f), p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (w == 0) return EIO;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

int file_size(File& f, std::uint64_t& size) {
  size = 0;
  if (int e = fault_check(Op::stat)) return e;
  struct stat st {};
  if (::fstat(fd_of(f), &st) != 0) return last_error();
  size = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

int file_make_executable(File& f) {
  if (int e = fault_check(Op::chmod)) return e;
  struct stat st {};
  if (::fstat(fd_of(f), &st) != 0) return last_error();
  const mode_t mode = (st.st_mode & 07777) | ((st.st_mode & 0444) >> 2);
  return ::fchmod(fd_of(f), mode) == 0 ? 0 : last_error();
}

int file_close(File& f) {
  if (!f.is_open()) return 0;
  const int fd = fd_of(f);
  f.adopt(-1);
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  if (::close(fd) != 0 && errno != EINTR) return last_error();
  return 0;
}

// --------------------------------------------------------------------- mapping

int file_map(File& f, std::uint64_t size, MapUse use, Mapping& m) {
  m = Mapping{};
  if (int e = fault_check(Op::mmap)) return e;
  if (size == 0) return EINVAL;
  if (size > static_cast<std::uint64_t>(SIZE_MAX)) return EFBIG;
  int flags = MAP_PRIVATE;
  if (use == MapUse::sequential) flags |= MAP_POPULATE;
  void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, flags, fd_of(f), 0);
  if (p == MAP_FAILED) return last_error();
  if (use == MapUse::sequential) ::madvise(p, static_cast<std::size_t>(size), MADV_SEQUENTIAL);
  m.data = static_cast<const unsigned char*>(p);
  m.size = size;
  return 0;
}

void file_unmap(Mapping& m) {
  if (m.data) ::munmap(const_cast<unsigned char*>(m.data), static_cast<std::size_t>(m.size));
  m = Mapping{};
}

// ---------------------------------------------------------------- paths, folders

int path_rename(const std::string& from, const std::string& to) {
  if (int e = fault_check(Op::rename)) return e;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : last_error();
}

int path_remove_file(const std::string& path) {
  if (int e = fault_check(Op::unlink)) return e;
  return ::unlink(path.c_str()) == 0 ? 0 : last_error();
}

int path_remove_dir(const std::string& path) {
  if (int e = fault_check(Op::rmdir)) return e;
  return ::rmdir(path.c_str()) == 0 ? 0 : last_error();
}

int path_make_dir(const std::string& path, unsigned mode) {
  if (int e = fault_check(Op::mkdir)) return e;
  return ::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : last_error();
}

int path_stat(const std::string& path, PathKind& kind, std::uint64_t& size) {
  kind = PathKind::none;
  size = 0;
  if (int e = fault_check(Op::stat)) return e;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return last_error();
  if (S_ISREG(st.st_mode)) {
    kind = PathKind::file;
    size = static_cast<std::uint64_t>(st.st_size);
  } else if (S_ISDIR(st.st_mode)) {
    kind = PathKind::folder;
  } else if (S_ISLNK(st.st_mode)) {
    kind = PathKind::link;
  } else {
    kind = PathKind::other;
  }
  return 0;
}

int path_add_owner_write(const std::string& path) {
  if (int e = fault_check(Op::stat)) return e;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return last_error();
  // A symbolic link is left alone: changing it would change what it points
  // to, which may lie anywhere.
  if (S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR)) return 0;
  if (int e = fault_check(Op::chmod)) return e;
  const mode_t mode = (st.st_mode & 07777) | S_IWUSR;
  return ::chmod(path.c_str(), mode) == 0 ? 0 : last_error();
}

int dir_list(const std::string& path, std::vector<DirEntry>& out) {
  out.clear();
  if (int e = fault_check(Op::open_read)) return e;
  DIR* d = ::opendir(path.c_str());
  if (!d) return last_error();
  const int dfd = ::dirfd(d);
  errno = 0;
  while (const dirent* ent = ::readdir(d)) {
    const char* n = ent->d_name;
    if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0) continue;
    DirEntry e;
    e.name = n;
    unsigned char type = ent->d_type;
    if (type == DT_UNKNOWN || type == DT_LNK) {
      struct stat st {};
      if (::fstatat(dfd, n, &st, 0) == 0) type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
    }
    e.is_folder = type == DT_DIR;
    out.push_back(std::move(e));
    errno = 0;
  }
  const int err = errno;
  ::closedir(d);
  return err;
}

int disk_free_space(const std::string& path, std::uint64_t& bytes) {
  bytes = 0;
  if (int e = fault_check(Op::stat)) return e;
  struct statvfs sv {};
  if (::statvfs(path.c_str(), &sv) != 0) return last_error();
  bytes = static_cast<std::uint64_t>(sv.f_bavail) * static_cast<std::uint64_t>(sv.f_frsize);
  return 0;
}

int file_lock_exclusive(const std::string& path, File& f) {
  if (int e = fault_check(Op::open_write)) return e;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return last_error();
  // flock locks belong to the open file: they go with the last descriptor,
  // so a crash or kill -9 releases them too.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno == EWOULDBLOCK ? EWOULDBLOCK : last_error();
    ::close(fd);
    return e;
  }
  File opened;
  opened.adopt(fd);
  f = std::move(opened);
  return 0;
}

bool path_is_absolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

bool path_has_foreign_separator(const std::string&) { return false; }

std::string path_in_program_form(const std::string& path) { return path; }

std::string path_make_absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::error_code ec;
  std::string abs = std::filesystem::absolute(std::filesystem::path(path), ec).lexically_normal().string();
  return ec ? path : abs;
}

std::string error_text(int err) {
  char buf[256];
  buf[0] = 0;
  // The GNU strerror_r returns the text (possibly a static one); the XSI one
  // fills the buffer. Both are handled.
  auto r = ::strerror_r(err, buf, sizeof buf);
  if constexpr (std::is_same_v<decltype(r), char*>) {
    return r ? std::string(r) : std::string(buf);
  } else {
    return r == 0 ? std::string(buf) : "Unknown error " + std::to_string(err);
  }
}

bool names_ignore_case() { return false; }

bool names_follow_windows_rules() { return false; }

}  // namespace plat
