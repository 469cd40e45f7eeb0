#include "support/UTL_Debug.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/errors.h"
#include "platform/crash.h"
#include "platform/system.h"
#include "support/hl_init.h"

namespace {

// The most numbered stack lines in one report.
constexpr int kMaxStackLines = 100;

// Paths fixed at set-up time; the handler only reads them.
char g_crash_log[4096];
char g_program_log[4096];

bool set_path(char (&dst)[4096], const std::string& src) {
  dst[0] = '\0';
  if (src.size() >= sizeof dst) return false;
  std::memcpy(dst, src.c_str(), src.size() + 1);
  return true;
}

// A line built without allocating: text, decimal and hexadecimal numbers.
class Line {
 public:
  Line& text(const char* s) {
    while (*s && len_ < sizeof buf_) buf_[len_++] = *s++;
    return *this;
  }
  // `width` digits at least, padded with zeros.
  Line& hex(std::uintptr_t v, int width, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char tmp[2 * sizeof v];
    int n = 0;
    do {
      tmp[n++] = digits[v & 15];
      v >>= 4;
    } while (v);
    while (n < width && n < static_cast<int>(sizeof tmp)) tmp[n++] = '0';
    while (n > 0 && len_ < sizeof buf_) buf_[len_++] = tmp[--n];
    return *this;
  }
  // A signed decimal right-aligned in `width` characters, a blank in place
  // of the sign of a positive number (printf's "% 2d").
  Line& dec(long v, int width) {
    char tmp[24];
    int n = 0;
    const bool neg = v < 0;
    unsigned long u = neg ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
      tmp[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u);
    tmp[n++] = neg ? '-' : ' ';
    while (n < width) tmp[n++] = ' ';
    while (n > 0 && len_ < sizeof buf_) buf_[len_++] = tmp[--n];
    return *this;
  }
  void write_to(int fd) const { plat::crash_write(fd, buf_, len_); }

 private:
  char buf_[512];
  std::size_t len_ = 0;
};

// One stack line: " % 2d) " and what is known of the address. A caller's
// address is a return address, looked up at its call.
void print_symbol(int fd, int n, void* address, bool return_address) {
  Line().text(" ").dec(n, 2).text(") ").write_to(fd);
  plat::crash_write_symbol(fd, address, return_address);
}

// The faulting instruction as line 0, then the callers. The walk starts
// inside the handler; the frames up to the faulting instruction belong to
// the handler and are left out when that instruction is found among them.
void dump_stack(int fd, std::uintptr_t pc) {
  int n = 0;
  if (pc) print_symbol(fd, n++, reinterpret_cast<void*>(pc), false);
  void* frames[kMaxStackLines + 32];
  const int count = plat::crash_backtrace(frames, static_cast<int>(sizeof frames / sizeof frames[0]));
  int first = 0;
  if (pc) {
    for (int i = 0; i < count; ++i) {
      if (reinterpret_cast<std::uintptr_t>(frames[i]) == pc) {
        first = i + 1;
        break;
      }
    }
  }
  for (int i = first; i < count && n < kMaxStackLines; ++i) print_symbol(fd, n++, frames[i], true);
}

void fatal_exception_handler(const plat::CrashInfo& info) {
  int fd = g_crash_log[0] ? plat::crash_open_append(g_crash_log) : -1;
  const bool to_file = fd >= 0;
  if (!to_file) fd = plat::crash_stderr();
  Line head;
  head.text("Unhandled exception: ").text(info.name ? info.name : "Unknown").text(" (");
  head.hex(static_cast<std::uintptr_t>(static_cast<unsigned>(info.signal)), 8, true).text(")\n");
  head.text("Flags=").hex(static_cast<std::uintptr_t>(static_cast<unsigned>(info.code)), 1, false);
  head.text(", Address = 0x").hex(info.address, 8, false).text("\n");
  head.write_to(fd);
  dump_stack(fd, info.pc);
  plat::crash_write(fd, "\n", 1);
  plat::crash_close(fd);

  if (g_program_log[0]) {
    const int log = plat::crash_open_append(g_program_log);
    if (log >= 0) {
      static const char kNote[] = "This application has crashed.  Please send the file crash_log.txt to Velmora.\n";
      plat::crash_write(log, kNote, sizeof kNote - 1);
      // Where the report really is: beside this log, or on standard error
      // when the file could not be written.
      Line where;
      if (to_file) where.text("The crash report is in ").text(g_crash_log).text("\n");
      else where.text("The crash report could not be written to ").text(g_crash_log).text("; it went to standard error.\n");
      where.write_to(log);
      plat::crash_close(log);
    }
  }
}

}  // namespace

int UTL_debug_init(const std::string& log_path) {
  // The report goes where the program's log went (its folder, or the state
  // folder when that cannot be written), so that the log's note and the
  // report name one place. Without a log: the program's folder (the
  // current folder when that is unknown).
  std::string folder;
  if (!log_path.empty()) {
    const size_t slash = log_path.rfind('/');
    folder = slash == std::string::npos ? std::string() : log_path.substr(0, slash + 1);
  } else {
    const std::string exe = plat::exe_path();
    const std::size_t slash = exe.find_last_of('/');
    if (slash != std::string::npos) folder = exe.substr(0, slash + 1);
  }
  set_path(g_crash_log, folder + "crash_log.txt");
  set_path(g_program_log, log_path);
  const int err = plat::crash_handler_install(fatal_exception_handler);
  if (err != 0) {
    xer << "The crash handler could not be installed: " << error_str(err) << "\n";
    xer.flush();
    return 0;
  }
  return 1;
}

std::string UTL_debug_crash_log_path() { return g_crash_log; }
