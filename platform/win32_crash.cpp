// Windows implementation of platform/crash.h on structured exceptions.
//
// The handler is the process's unhandled-exception filter; an abort (the
// C library's SIGABRT, as std::terminate raises) is reported through the
// same handler. A stack overflow is reported on the overflowed stack in
// the room that SetThreadStackGuarantee keeps for it on each thread
// (crash_thread_stack_install). The stack walk and the symbols come from
// DbgHelp; it is made ready at install time on a thread of its own (making
// it ready reads the whole module list of the process, which can take
// seconds, under Wine especially), and a report that comes before it is
// ready waits for it, for a while.
//
// The "descriptors" of the services below are file handles: Windows keeps
// the significant bits of a handle within 32 bits, so they fit an int.
#include "platform/crash.h"

#include <windows.h>
#include <dbghelp.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cxxabi.h>
#include <cstdlib>

#include "platform/crash_text.h"
#include "platform/fault.h"
#include "platform/win32_text.h"

namespace plat {
namespace {

struct ExceptionName {
  DWORD code;
  const char* name;
};

const ExceptionName kWindowsCodes[] = {
    {EXCEPTION_ACCESS_VIOLATION, "EXCEPTION_ACCESS_VIOLATION"},
    {EXCEPTION_DATATYPE_MISALIGNMENT, "EXCEPTION_DATATYPE_MISALIGNMENT"},
    {EXCEPTION_BREAKPOINT, "EXCEPTION_BREAKPOINT"},
    {EXCEPTION_SINGLE_STEP, "EXCEPTION_SINGLE_STEP"},
    {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {EXCEPTION_FLT_DENORMAL_OPERAND, "EXCEPTION_FLT_DENORMAL_OPERAND"},
    {EXCEPTION_FLT_DIVIDE_BY_ZERO, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {EXCEPTION_FLT_INEXACT_RESULT, "EXCEPTION_FLT_INEXACT_RESULT"},
    {EXCEPTION_FLT_INVALID_OPERATION, "EXCEPTION_FLT_INVALID_OPERATION"},
    {EXCEPTION_FLT_OVERFLOW, "EXCEPTION_FLT_OVERFLOW"},
    {EXCEPTION_FLT_STACK_CHECK, "EXCEPTION_FLT_STACK_CHECK"},
    {EXCEPTION_FLT_UNDERFLOW, "EXCEPTION_FLT_UNDERFLOW"},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {EXCEPTION_INT_OVERFLOW, "EXCEPTION_INT_OVERFLOW"},
    {EXCEPTION_PRIV_INSTRUCTION, "EXCEPTION_PRIV_INSTRUCTION"},
    {EXCEPTION_IN_PAGE_ERROR, "EXCEPTION_IN_PAGE_ERROR"},
    {EXCEPTION_ILLEGAL_INSTRUCTION, "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {EXCEPTION_NONCONTINUABLE_EXCEPTION, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {EXCEPTION_STACK_OVERFLOW, "EXCEPTION_STACK_OVERFLOW"},
    {EXCEPTION_INVALID_DISPOSITION, "EXCEPTION_INVALID_DISPOSITION"},
    {EXCEPTION_GUARD_PAGE, "EXCEPTION_GUARD_PAGE"},
    {EXCEPTION_INVALID_HANDLE, "EXCEPTION_INVALID_HANDLE"},
};

// What the C library's abort raises, reported like an exception.
constexpr DWORD kAbortCode = 0x40000015;  // STATUS_FATAL_APP_EXIT

// Room kept at the end of every covered thread's stack for the report of
// a stack overflow.
constexpr ULONG kStackGuarantee = 64 * 1024;

std::atomic<CrashHandler> g_handler{nullptr};
std::atomic<DWORD> g_crashing{0};  // thread id of the thread reporting; 0 when none
thread_local bool t_guarantee = false;
// For DbgHelp; null until it is ready, and when it could not be made ready.
std::atomic<HANDLE> g_process{nullptr};
// The thread that makes DbgHelp ready (null when none was started) and its id.
HANDLE g_sym_thread = nullptr;
DWORD g_sym_thread_id = 0;
// How long a report waits for DbgHelp to become ready before it goes on
// without function names and lines.
constexpr DWORD kSymbolWaitMs = 30000;
// DbgHelp is single-threaded; the report is written by one thread anyway.
CRITICAL_SECTION g_sym_lock;

HANDLE as_handle(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd)); }
int as_fd(HANDLE h) { return static_cast<int>(reinterpret_cast<std::intptr_t>(h)); }

// Runs the handler once per process; a second crash while reporting ends
// the process at once.
void report(const CrashInfo& ci) {
  const DWORD me = GetCurrentThreadId();
  DWORD expected = 0;
  if (!g_crashing.compare_exchange_strong(expected, me)) {
    if (expected == me) TerminateProcess(GetCurrentProcess(), 3);
    for (;;) Sleep(INFINITE);  // another thread's report ends the process
  }
  if (CrashHandler h = g_handler.load()) h(ci);
}

LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* ep) {
  CrashInfo ci;
  const EXCEPTION_RECORD* rec = ep ? ep->ExceptionRecord : nullptr;
  if (rec) {
    ci.signal = static_cast<int>(rec->ExceptionCode);
    for (const ExceptionName& e : kWindowsCodes)
      if (e.code == rec->ExceptionCode) {
        ci.name = e.name;
        break;
      }
    ci.code = static_cast<int>(rec->ExceptionFlags);
    ci.pc = reinterpret_cast<std::uintptr_t>(rec->ExceptionAddress);
    // A memory fault carries the address it touched; others report where.
    if ((rec->ExceptionCode == EXCEPTION_ACCESS_VIOLATION || rec->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
        rec->NumberParameters >= 2)
      ci.address = static_cast<std::uintptr_t>(rec->ExceptionInformation[1]);
    else
      ci.address = ci.pc;
  }
  report(ci);
  // The system's own crash handling follows, as it would have.
  return EXCEPTION_CONTINUE_SEARCH;
}

extern "C" void on_abort(int) {
  CrashInfo ci;
  ci.signal = static_cast<int>(kAbortCode);
  ci.name = "SIGABRT";
  report(ci);
  // Ends as abort() ends: exit status 3.
  TerminateProcess(GetCurrentProcess(), 3);
}

DWORD WINAPI make_symbols_ready(void*) {
  EnterCriticalSection(&g_sym_lock);
  SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS);
  HANDLE self = GetCurrentProcess();
  if (SymInitializeW(self, nullptr, TRUE)) g_process.store(self);
  LeaveCriticalSection(&g_sym_lock);
  return 0;
}

// Starts making DbgHelp ready without holding up the program; done here
// when no thread can be started. Once per process.
void prepare_symbols() {
  static bool started = false;
  if (started) return;
  started = true;
  InitializeCriticalSection(&g_sym_lock);
  g_sym_thread = CreateThread(nullptr, 0, make_symbols_ready, nullptr, 0, &g_sym_thread_id);
  if (!g_sym_thread) make_symbols_ready(nullptr);
}

// DbgHelp's process handle for a report, waiting for it while it is being
// made ready (not on the thread that makes it ready: a crash there has no
// symbols). Null when it is not ready.
HANDLE symbols_for_report() {
  if (HANDLE p = g_process.load()) return p;
  if (g_sym_thread && GetCurrentThreadId() != g_sym_thread_id) WaitForSingleObject(g_sym_thread, kSymbolWaitMs);
  return g_process.load();
}

using crash_text::Text;
using crash_text::base_name;

}  // namespace

int crash_handler_install(CrashHandler handler) {
  if (const int err = fault_check(Op::signal)) return err;
  prepare_symbols();
  // The first stack walk loads what it needs now rather than in the handler.
  void* warm[4];
  RtlCaptureStackBackTrace(0, 4, warm, nullptr);
  g_handler.store(handler);
  SetUnhandledExceptionFilter(on_unhandled_exception);
  std::signal(SIGABRT, on_abort);
  return crash_thread_stack_install();
}

int crash_thread_stack_install() {
  if (!g_handler.load() || t_guarantee) return 0;
  if (const int err = fault_check(Op::signal)) return err;
  ULONG size = kStackGuarantee;
  if (!SetThreadStackGuarantee(&size)) return win32::last_errno();
  t_guarantee = true;
  return 0;
}

void crash_thread_stack_remove() {
  // The room belongs to the thread's stack and goes with it.
  t_guarantee = false;
}

int crash_open_append(const char* path) {
  std::wstring w;
  if (win32::system_path(path, w) != 0) return -1;
  HANDLE h = CreateFileW(w.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? -1 : as_fd(h);
}

int crash_stderr() { return as_fd(GetStdHandle(STD_ERROR_HANDLE)); }

void crash_write(int fd, const char* text, std::size_t length) {
  HANDLE h = as_handle(fd);
  while (length > 0) {
    DWORD n = 0;
    if (!WriteFile(h, text, static_cast<DWORD>(length > 65536 ? 65536 : length), &n, nullptr) || n == 0) return;
    text += n;
    length -= n;
  }
}

void crash_close(int fd) {
  if (fd >= 0 && as_handle(fd) != GetStdHandle(STD_ERROR_HANDLE)) CloseHandle(as_handle(fd));
}

int crash_backtrace(void** frames, int max) {
  // One call gives at most 62 frames on older systems: walk in steps.
  int got = 0;
  while (got < max) {
    const DWORD want = static_cast<DWORD>(max - got > 62 ? 62 : max - got);
    const USHORT n = RtlCaptureStackBackTrace(static_cast<DWORD>(got + 1), want, frames + got, nullptr);
    if (n == 0) break;
    got += n;
    if (n < want) break;
  }
  // The walk ends at the first frame without a return address.
  for (int i = 0; i < got; ++i)
    if (!frames[i]) return i;
  return got;
}

void crash_write_symbol(int fd, void* address, bool return_address) {
  const std::uintptr_t pc = reinterpret_cast<std::uintptr_t>(address);
  // A return address points after its call; the call is one byte before.
  const std::uintptr_t look = return_address && pc > 0 ? pc - 1 : pc;
  char function[512] = {};
  std::uintptr_t function_address = 0;
  char file[256] = {};
  long line = 0;
  if (HANDLE process = symbols_for_report()) {
    EnterCriticalSection(&g_sym_lock);
    alignas(SYMBOL_INFO) char sym_buf[sizeof(SYMBOL_INFO) + 512];
    SYMBOL_INFO* sym = reinterpret_cast<SYMBOL_INFO*>(sym_buf);
    std::memset(sym_buf, 0, sizeof sym_buf);
    sym->SizeOfStruct = sizeof(SYMBOL_INFO);
    sym->MaxNameLen = 511;
    DWORD64 disp = 0;
    if (SymFromAddr(process, look, &disp, sym) && sym->Name[0]) {
      std::strncpy(function, sym->Name, sizeof function - 1);
      function_address = static_cast<std::uintptr_t>(sym->Address);
    }
    IMAGEHLP_LINE64 li{};
    li.SizeOfStruct = sizeof li;
    DWORD ldisp = 0;
    if (SymGetLineFromAddr64(process, look, &ldisp, &li) && li.FileName) {
      std::strncpy(file, li.FileName, sizeof file - 1);
      line = static_cast<long>(li.LineNumber);
    }
    LeaveCriticalSection(&g_sym_lock);
  }
  // The module: the allocation that holds the address.
  HMODULE module = nullptr;
  char module_name[MAX_PATH] = {};
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(look), &module) &&
      module) {
    wchar_t wname[MAX_PATH];
    const DWORD n = GetModuleFileNameW(module, wname, MAX_PATH);
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wname, static_cast<int>(n), module_name, MAX_PATH - 1, nullptr, nullptr);
  }
  Text t;
  if (function[0] && function_address) {
    // GCC's names are demangled here; the buffer is the demangler's own.
    int status = -1;
    char* d = abi::__cxa_demangle(function, nullptr, nullptr, &status);
    t.add(status == 0 && d ? d : function);
    std::free(d);
    t.add(" + ");
    t.dec(static_cast<long long>(pc - function_address));
  } else {
    t.add("0x");
    t.hex(pc, 8);
  }
  if (file[0]) {
    t.add(" (");
    t.add(base_name(file));
    t.add(":");
    t.dec(line);
    t.add(")");
  }
  const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(module);
  if (module && module_name[0]) {
    t.add(" (");
    t.add(base_name(module_name));
    t.add(" + ");
    t.dec(static_cast<long long>(pc - base));
    t.add(")\n");
  } else if (module) {
    t.add(" (0x");
    t.hex(base, 8);
    t.add(" + ");
    t.dec(static_cast<long long>(pc - base));
    t.add(")\n");
  } else {
    t.add(" (?\?\?)\n");
  }
  crash_write(fd, t.buf, t.len);
}

}  // namespace plat
