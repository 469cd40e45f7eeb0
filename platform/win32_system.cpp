// Windows implementation of platform/system.h.
//
//   [SECTION] the program and its environment
//   [SECTION] the user's folders
//   [SECTION] the machine
//   [SECTION] disc drives
//   [SECTION] quit requests, web pages
#include "platform/system.h"

#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <sstream>

#include "platform/file.h"
#include "platform/win32_text.h"

namespace plat {

// Large pages need the "lock pages in memory" privilege on Windows, which an
// installer run by a user does not hold: none are asked for.
std::size_t large_page_size() { return 0; }
void advise_large_pages(void*, std::size_t) {}

using win32::program_path;

// ------------------------------------------------------------------ [SECTION] the program and its environment

std::string exe_path() {
  std::wstring buf(512, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      return program_path(buf);
    }
    if (buf.size() >= 32768) return {};
    buf.resize(buf.size() * 2);
  }
}

namespace {

std::wstring wenv(const wchar_t* name) {
  const DWORD need = GetEnvironmentVariableW(name, nullptr, 0);
  if (need == 0) return {};
  std::wstring v(need, L'\0');
  const DWORD got = GetEnvironmentVariableW(name, v.data(), need);
  if (got == 0 || got >= need) return {};
  v.resize(got);
  return v;
}

// A folder the shell knows, for the program; empty when unknown.
std::string known_folder(REFKNOWNFOLDERID id) {
  PWSTR p = nullptr;
  std::string out;
  if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &p)) && p) out = program_path(p);
  CoTaskMemFree(p);
  while (out.size() > 3 && out.back() == '/') out.pop_back();
  return out;
}

// An environment variable naming a folder, else the shell's folder.
std::string env_folder(const wchar_t* name, REFKNOWNFOLDERID id) {
  std::string v = program_path(wenv(name));
  while (v.size() > 3 && v.back() == '/') v.pop_back();
  if (path_is_absolute(v)) return v;
  return known_folder(id);
}

}  // namespace

std::string env(const char* name) {
  std::wstring w;
  if (!win32::widen(name, w)) return {};
  return win32::narrow(wenv(w.c_str()));
}

// ------------------------------------------------------------------ [SECTION] the user's folders

std::string home_dir() { return env_folder(L"USERPROFILE", FOLDERID_Profile); }

std::string desktop_dir() {
  std::string d = known_folder(FOLDERID_Desktop);
  if (!d.empty()) return d;
  const std::string home = home_dir();
  return home.empty() ? std::string() : home + "/Desktop";
}

std::string config_home() { return env_folder(L"APPDATA", FOLDERID_RoamingAppData); }

std::string app_settings_dir() {
  const std::string c = config_home();
  return c.empty() ? std::string() : c + "/Skyvane";
}

std::string state_home() { return env_folder(L"LOCALAPPDATA", FOLDERID_LocalAppData); }

std::string private_temp_dir() {
  wchar_t buf[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 2, buf);
  if (n == 0 || n > MAX_PATH + 1) return {};
  std::string base = program_path(std::wstring(buf, n));
  while (base.size() > 3 && base.back() == '/') base.pop_back();
  if (!path_is_absolute(base)) return {};
  if (base.back() != '/') base += '/';
  const std::string dir = base + "skyvane";
  std::wstring w;
  if (win32::system_path(dir, w) != 0) return {};
  if (!CreateDirectoryW(w.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return {};
  // The user's temporary folder lies in the profile, which only the user
  // may enter; a link put in place of ours could still lead elsewhere.
  const DWORD attr = GetFileAttributesW(w.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY) || (attr & FILE_ATTRIBUTE_REPARSE_POINT))
    return {};
  return dir;
}

// ------------------------------------------------------------------ [SECTION] the machine

std::uint64_t memory_resident_bytes() {
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) return 0;
  return pmc.WorkingSetSize;
}

std::uint64_t physical_memory_bytes() {
  MEMORYSTATUSEX ms{};
  ms.dwLength = sizeof ms;
  if (!GlobalMemoryStatusEx(&ms)) return 0;
  return ms.ullTotalPhys;
}

std::string os_description() {
  // GetVersionEx answers what the program's manifest claims; the kernel's
  // own call tells the truth.
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto get = ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                   : nullptr;
  if (!get || get(&v) != 0) return "Windows";
  SYSTEM_INFO si{};
  GetNativeSystemInfo(&si);
  const char* arch = si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? "x86_64"
                     : si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? "arm64"
                     : si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? "x86"
                                                                                 : "unknown";
  std::ostringstream s;
  s << "Windows " << v.dwMajorVersion << "." << v.dwMinorVersion << "." << v.dwBuildNumber << " (" << arch << ")";
  return s.str();
}

int cpu_count() {
  SYSTEM_INFO si{};
  GetSystemInfo(&si);
  return si.dwNumberOfProcessors > 0 ? static_cast<int>(si.dwNumberOfProcessors) : 1;
}

CpuInfo cpu_info(int index) {
  CpuInfo info;
  const std::wstring key = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\" + std::to_wstring(index);
  wchar_t name[256];
  DWORD size = sizeof name;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ProcessorNameString", RRF_RT_REG_SZ, nullptr, name, &size) ==
      ERROR_SUCCESS) {
    info.name = win32::narrow(name, wcslen(name));
    while (!info.name.empty() && info.name.back() == ' ') info.name.pop_back();
    while (!info.name.empty() && info.name.front() == ' ') info.name.erase(0, 1);
  }
  DWORD mhz = 0;
  size = sizeof mhz;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"~MHz", RRF_RT_REG_DWORD, nullptr, &mhz, &size) == ERROR_SUCCESS)
    info.mhz = static_cast<int>(mhz);
  return info;
}

int os_type() { return 2; }

bool stdout_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

// ------------------------------------------------------------------ [SECTION] disc drives

std::vector<std::string> disc_roots() {
  std::vector<std::string> roots;
  wchar_t buf[512] = {};
  const DWORD n = GetLogicalDriveStringsW(static_cast<DWORD>(sizeof buf / sizeof buf[0]) - 1, buf);
  if (n == 0 || n >= sizeof buf / sizeof buf[0]) return roots;
  // "A:\" NUL "C:\" NUL ... NUL
  for (const wchar_t* p = buf; *p; p += wcslen(p) + 1) {
    if (GetDriveTypeW(p) != DRIVE_CDROM) continue;
    std::string root = program_path(p);  // "E:\", as the system names it
    if (root.empty()) continue;
    if (root.back() != '/' && root.back() != '\\') root += '/';
    roots.push_back(root);
  }
  return roots;
}

std::vector<std::string> drive_roots() {
  std::vector<std::string> roots;
  wchar_t buf[512] = {};
  const DWORD n = GetLogicalDriveStringsW(static_cast<DWORD>(sizeof buf / sizeof buf[0]) - 1, buf);
  if (n == 0 || n >= sizeof buf / sizeof buf[0]) return roots;
  // "A:\" NUL "C:\" NUL ... NUL
  for (const wchar_t* p = buf; *p; p += wcslen(p) + 1) {
    if (GetDriveTypeW(p) == DRIVE_NO_ROOT_DIR) continue;
    std::string root = program_path(p);  // "C:\", as the system names it
    if (root.size() != 3) continue;
    roots.push_back(root);
  }
  return roots;
}

// ------------------------------------------------------------------ [SECTION] quit requests, web pages

namespace {

volatile LONG g_quit_signal = 0;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI note_quit_event(DWORD event) {
  const LONG sig = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
  InterlockedCompareExchange(&g_quit_signal, sig, 0);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The system ends the process as soon as this returns: give the frame
    // loop its few seconds to stop as the quit button does. The process
    // ends when the program returns from main, with this thread in it.
    Sleep(5000);
  }
  return TRUE;
}

}  // namespace

void catch_quit_signals() { SetConsoleCtrlHandler(note_quit_event, TRUE); }

int quit_signal() { return static_cast<int>(g_quit_signal); }


}  // namespace plat

namespace plat {

void message_box(const std::string& title, const std::string& text) {
  if (message_box_to_file(title, text)) return;
  std::wstring t, m;
  if (!win32::widen(title, t) || !win32::widen(text, m)) return;
  MessageBoxW(nullptr, m.c_str(), t.c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
}

int open_url(const std::string& url) {
  // Only web addresses: the shell would also start programs and open
  // documents given their names.
  if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) return EINVAL;
  std::wstring w;
  if (!win32::widen(url, w)) return EILSEQ;
  const auto r = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", w.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (r > 32) return 0;
  switch (r) {
    case 0:
    case SE_ERR_OOM: return ENOMEM;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case SE_ERR_NOASSOC: return ENOENT;
    case SE_ERR_ACCESSDENIED: return EACCES;
    default: return EIO;
  }
}

}  // namespace plat
