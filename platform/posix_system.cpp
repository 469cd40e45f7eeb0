// POSIX/Linux implementation of platform/system.h.
#include "platform/system.h"

#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

extern char** environ;

namespace plat {

std::string exe_path() {
  std::vector<char> buf(4096);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  return std::string(buf.data(), static_cast<size_t>(n));
}

namespace {

// The first bytes of a small system file, empty when it cannot be read.
std::string small_file_text(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buf[128];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

std::size_t large_page_size() {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Asked once: the answer holds for the whole run.
  static const std::size_t size = [] {
    const std::string mode = small_file_text("/sys/kernel/mm/transparent_hugepage/enabled");
    if (mode.empty() || mode.find("[never]") != std::string::npos) return std::size_t{0};
    const std::string text = small_file_text("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size");
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    // A power of two, larger than a small page, or none.
    const long page = ::sysconf(_SC_PAGESIZE);
    if (v == 0 || (v & (v - 1)) != 0 || page <= 0 || v <= static_cast<unsigned long long>(page)) return std::size_t{0};
    return static_cast<std::size_t>(v);
  }();
  return size;
#else
  return 0;
#endif
}

void advise_large_pages(void* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const std::size_t large = large_page_size();
  if (large == 0 || p == nullptr) return;
  const std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(p) + large - 1) & ~(large - 1);
  const std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(large - 1);
  // A failure leaves the memory as it was: nothing to report.
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string home_dir() {
  std::string h = env("HOME");
  if (!h.empty()) return h;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

namespace {

// Strips one trailing "/" (but never the root's).
std::string no_trailing_slash(std::string p) {
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// Reads XDG_<NAME>_DIR from the user-dirs file; the value is a quoted path
// that may start with $HOME.
std::string user_dirs_entry(const std::string& key) {
  std::string cfg = env("XDG_CONFIG_HOME");
  if (cfg.empty()) cfg = home_dir() + "/.config";
  std::ifstream in(cfg + "/user-dirs.dirs");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + "=", 0) != 0) continue;
    std::string v = line.substr(key.size() + 1);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    if (v.rfind("$HOME", 0) == 0) v = home_dir() + v.substr(5);
    if (v.empty() || v[0] != '/') return {};
    return no_trailing_slash(v);
  }
  return {};
}

}  // namespace

std::string desktop_dir() {
  std::string d = user_dirs_entry("XDG_DESKTOP_DIR");
  if (!d.empty()) return d;
  return home_dir() + "/Desktop";
}

std::string config_home() {
  std::string c = env("XDG_CONFIG_HOME");
  if (!c.empty() && c[0] == '/') return no_trailing_slash(c);
  return home_dir() + "/.config";
}

std::string app_settings_dir() { return config_home() + "/skyvane"; }

std::string state_home() {
  std::string s = env("XDG_STATE_HOME");
  if (!s.empty() && s[0] == '/') return no_trailing_slash(s);
  return home_dir() + "/.local/state";
}

std::string private_temp_dir() {
  std::string base = env("TMPDIR");
  if (base.empty() || base[0] != '/') base = "/tmp";
  const std::string dir = no_trailing_slash(base) + "/skyvane-" + std::to_string(getuid());
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) return {};
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077) != 0) return {};
  return dir;
}

std::uint64_t memory_resident_bytes() {
  std::ifstream in("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  if (!(in >> size >> resident)) return 0;
  return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

std::uint64_t physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

std::string os_description() {
  utsname u {};
  if (uname(&u) != 0) return "Linux";
  return std::string(u.sysname) + " " + u.release + " (" + u.machine + ")";
}

int cpu_count() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

CpuInfo cpu_info(int index) {
  CpuInfo info;
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  int current = -1;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
    std::string value = line.substr(colon + 1);
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    if (key == "processor") current = std::atoi(value.c_str());
    if (current != index) continue;
    if (key == "model name") info.name = value;
    if (key == "cpu MHz") info.mhz = static_cast<int>(std::atof(value.c_str()));
  }
  return info;
}

int os_type() {
#if defined(__APPLE__)
  return 1;
#else
  return 3;
#endif
}

std::vector<std::string> disc_roots() {
  std::ifstream in("/proc/self/mounts");
  std::ostringstream text;
  text << in.rdbuf();
  return disc_roots_from_mounts(text.str());
}

std::vector<std::string> drive_roots() { return {}; }

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

namespace {
volatile sig_atomic_t g_quit_signal = 0;
extern "C" void note_quit_signal(int signo) {
  if (g_quit_signal == 0) g_quit_signal = signo;
}
}  // namespace

void catch_quit_signals() {
  struct sigaction sa {};
  sa.sa_handler = note_quit_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a wait in progress returns early
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int quit_signal() { return g_quit_signal; }


}  // namespace plat

namespace plat {

void message_box(const std::string& title, const std::string& text) { message_box_to_file(title, text); }

int open_url(const std::string& url) {
  // Only web addresses: the opener would also open files and start programs.
  if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) return EINVAL;
  // xdg-open hands the address to the desktop's browser. Without it on the
  // PATH nothing would happen: say so, rather than start a shell for nothing.
  bool found = false;
  const char* path_env = std::getenv("PATH");
  std::stringstream dirs(path_env ? path_env : "");
  for (std::string dir; !found && std::getline(dirs, dir, ':');)
    found = !dir.empty() && access((dir + "/xdg-open").c_str(), X_OK) == 0;
  if (!found) return ENOENT;
  // A shell starts it in the background and ends at once, and is waited
  // for here: the opener, which may run as long as the browser does, then
  // belongs to the system and never stays behind as a zombie of this
  // program. The address is the shell's argument, never part of its script.
  const char* argv[] = {"/bin/sh", "-c", "xdg-open \"$1\" >/dev/null 2>&1 </dev/null &", "sh", url.c_str(), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ);
  if (rc != 0) return rc;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return 0;
}

}  // namespace plat
