// POSIX/Linux implementation of platform/crash.h on signals.
#include "platform/crash.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "platform/fault.h"

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
  // handler, where loading a library is not safe.
  void* warm[4];
  backtrace(warm, 4);
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

void crash_write_symbol(int fd, void* address) { backtrace_symbols_fd(&address, 1, fd); }

}  // namespace plat
