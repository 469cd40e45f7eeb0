// POSIX/Linux implementation of platform/crash.h on signals.
#include "platform/crash.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "platform/crash_text.h"
#include "platform/fault.h"

#ifdef SKYVANE_CRASH_SYMBOLS
#include <backtrace.h>
#include <libiberty/demangle.h>
#endif

namespace plat {
namespace {

struct SignalName {
  int signal;
  const char* name;
};

const SignalName kFatalSignals[] = {
    {SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"}, {SIGFPE, "SIGFPE"}, {SIGILL, "SIGILL"}, {SIGABRT, "SIGABRT"},
};

// Big enough for the stack walk (the unwinder and, in sanitizer builds, the
// instrumented handler).
constexpr std::size_t kAltStackBytes = 256 * 1024;

std::atomic<CrashHandler> g_handler{nullptr};
// Thread id of the thread whose crash is being reported; 0 when none.
std::atomic<long> g_crashing{0};
thread_local void* t_alt_stack = nullptr;

long current_tid() { return static_cast<long>(syscall(SYS_gettid)); }

std::uintptr_t fault_pc(void* context) {
  if (!context) return 0;
  const ucontext_t* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.pc);
#else
  (void)uc;
  return 0;
#endif
}

// Back to the default action, raised again: it is delivered as soon as the
// handler returns (the signal is blocked while the handler runs).
void default_action(int sig) {
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  raise(sig);
}

// ------------------------------------------------------------ symbols
// Everything here runs in the crash handler: fixed buffers, no heap, no
// stdio. libbacktrace allocates with mmap and reads the debug information
// through its own file views; its state is made at install time and only
// used again by the one thread that reports a crash. The demangler works on
// the stack.

using crash_text::Text;
using crash_text::base_name;

// What is known of one address.
struct SymbolInfo {
  char function[512] = {};
  std::uintptr_t function_address = 0;
  char file[256] = {};
  int line = 0;
};

void copy_text(char* dst, std::size_t size, const char* src) {
  std::size_t i = 0;
  for (; src && src[i] && i + 1 < size; ++i) dst[i] = src[i];
  dst[i] = '\0';
}

#ifdef SKYVANE_CRASH_SYMBOLS
backtrace_state* g_bt = nullptr;

void bt_error(void*, const char*, int) {}

void bt_syminfo(void* data, std::uintptr_t, const char* name, std::uintptr_t value, std::uintptr_t) {
  SymbolInfo* si = static_cast<SymbolInfo*>(data);
  if (!name || !value) return;
  copy_text(si->function, sizeof si->function, name);
  si->function_address = value;
}

// Called innermost first when the address lies in inlined code: the first
// call names the line that was running.
int bt_pcinfo(void* data, std::uintptr_t, const char* file, int line, const char* function) {
  SymbolInfo* si = static_cast<SymbolInfo*>(data);
  if (file && line > 0 && !si->file[0]) {
    copy_text(si->file, sizeof si->file, file);
    si->line = line;
  }
  if (function && !si->function[0]) copy_text(si->function, sizeof si->function, function);
  return 1;
}

void demangled_part(const char* s, std::size_t n, void* out) { static_cast<Text*>(out)->add(s, n); }
#endif

// The function name as a person reads it: demangled when it is a C++ name.
void add_function_name(Text& t, const char* name) {
#ifdef SKYVANE_CRASH_SYMBOLS
  Text d;
  if (cplus_demangle_v3_callback(name, DMGL_PARAMS | DMGL_ANSI, demangled_part, &d) && d.len > 0) {
    t.add(d.buf, d.len);
    return;
  }
#endif
  t.add(name);
}

// Makes libbacktrace's state now (the handler must not). The symbol tables
// and debug information are read at the first look-up, in the handler:
// reading them for the program and every library at start-up would cost
// each run tens of milliseconds for the rare run that crashes. That reading
// uses only open, mmap and read, no heap and no lock but the loader's while
// it lists the loaded modules.
void prepare_symbols() {
#ifdef SKYVANE_CRASH_SYMBOLS
  if (!g_bt) g_bt = backtrace_create_state(nullptr, 0, bt_error, nullptr);
#endif
}

void on_fatal_signal(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  const long me = current_tid();
  long expected = 0;
  if (!g_crashing.compare_exchange_strong(expected, me)) {
    // A fault inside the handler itself: end at once. Another thread
    // crashing meanwhile waits for the first report to end the process.
    if (expected == me) {
      default_action(sig);
      return;
    }
    for (;;) pause();
  }
  if (CrashHandler h = g_handler.load()) {
    CrashInfo ci;
    ci.signal = sig;
    for (const SignalName& s : kFatalSignals) {
      if (s.signal == sig) ci.name = s.name;
    }
    if (info) {
      ci.code = info->si_code;
      // Only a fault raised by the processor has an address; a signal sent
      // by a process (kill, abort) carries the sender there instead.
      if (info->si_code > 0) ci.address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    }
    ci.pc = fault_pc(context);
    h(ci);
  }
  errno = saved_errno;
  default_action(sig);
}

}  // namespace

int crash_thread_stack_install() {
  if (!g_handler.load() || t_alt_stack) return 0;
  if (const int err = fault_check(Op::signal)) return err;
  void* mem = std::malloc(kAltStackBytes);
  if (!mem) return ENOMEM;
  stack_t ss = {};
  ss.ss_sp = mem;
  ss.ss_size = kAltStackBytes;
  ss.ss_flags = 0;
  if (sigaltstack(&ss, nullptr) != 0) {
    const int err = errno;
    std::free(mem);
    return err;
  }
  t_alt_stack = mem;
  return 0;
}

void crash_thread_stack_remove() {
  if (!t_alt_stack) return;
  stack_t ss = {};
  ss.ss_flags = SS_DISABLE;
  if (sigaltstack(&ss, nullptr) != 0) return;  // still in use: keep the memory
  std::free(t_alt_stack);
  t_alt_stack = nullptr;
}

int crash_handler_install(CrashHandler handler) {
  if (const int err = fault_check(Op::signal)) return err;
  // The first stack walk loads the unwinder; do it now rather than in the
  // handler, where loading a library is not safe. The same for the symbols.
  void* warm[4];
  backtrace(warm, 4);
  prepare_symbols();
  g_handler.store(handler);
  struct sigaction sa = {};
  sa.sa_sigaction = on_fatal_signal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (const SignalName& s : kFatalSignals) {
    if (sigaction(s.signal, &sa, nullptr) != 0) return errno;
  }
  return crash_thread_stack_install();
}

int crash_open_append(const char* path) {
  return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

int crash_stderr() { return STDERR_FILENO; }

void crash_write(int fd, const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<std::size_t>(n);
  }
}

void crash_close(int fd) {
  if (fd >= 0 && fd != STDERR_FILENO) close(fd);
}

int crash_backtrace(void** frames, int max) { return backtrace(frames, max); }

void crash_write_symbol(int fd, void* address, bool return_address) {
  const std::uintptr_t pc = reinterpret_cast<std::uintptr_t>(address);
  // A return address points after its call; the call is one byte before.
  const std::uintptr_t look = return_address && pc > 0 ? pc - 1 : pc;
  SymbolInfo si;
  // The module and its exported symbol: the loader's table.
  Dl_info dl = {};
  const bool in_module = dladdr(reinterpret_cast<void*>(look), &dl) != 0;
  if (in_module && dl.dli_sname && dl.dli_saddr) {
    copy_text(si.function, sizeof si.function, dl.dli_sname);
    si.function_address = reinterpret_cast<std::uintptr_t>(dl.dli_saddr);
  }
#ifdef SKYVANE_CRASH_SYMBOLS
  if (g_bt) {
    // The full symbol table knows the functions that are not exported.
    SymbolInfo full;
    backtrace_syminfo(g_bt, look, bt_syminfo, bt_error, &full);
    if (full.function[0] && full.function_address <= look &&
        (!si.function_address || full.function_address >= si.function_address)) {
      copy_text(si.function, sizeof si.function, full.function);
      si.function_address = full.function_address;
    }
    backtrace_pcinfo(g_bt, look, bt_pcinfo, bt_error, &si);
  }
#endif
  Text t;
  if (si.function[0] && si.function_address) {
    add_function_name(t, si.function);
    t.add(" + ");
    t.dec(static_cast<long>(pc - si.function_address));
  } else if (si.function_address) {
    t.add("0x");
    t.hex(si.function_address, 8);
    t.add(" + ");
    t.dec(static_cast<long>(pc - si.function_address));
  } else {
    t.add("0x");
    t.hex(pc, 8);
  }
  if (si.file[0]) {
    t.add(" (");
    t.add(base_name(si.file));
    t.add(":");
    t.dec(si.line);
    t.add(")");
  }
  if (in_module && dl.dli_fname && dl.dli_fname[0] && dl.dli_fbase) {
    t.add(" (");
    t.add(base_name(dl.dli_fname));
    t.add(" + ");
    t.dec(static_cast<long>(pc - reinterpret_cast<std::uintptr_t>(dl.dli_fbase)));
    t.add(")\n");
  } else if (in_module && dl.dli_fbase) {
    t.add(" (0x");
    t.hex(reinterpret_cast<std::uintptr_t>(dl.dli_fbase), 8);
    t.add(" + ");
    t.dec(static_cast<long>(pc - reinterpret_cast<std::uintptr_t>(dl.dli_fbase)));
    t.add(")\n");
  } else {
    t.add(" (?\?\?)\n");
  }
  crash_write(fd, t.buf, t.len);
}

}  // namespace plat
