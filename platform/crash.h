// The last-chance crash handler: a function run on the crashing thread when
// the process receives a fatal signal (an invalid memory access, a bus
// error, an arithmetic fault, an illegal instruction, an abort), and the few
// async-signal-safe services such a function may use.
//
// The handler runs on an alternate stack, so that a stack overflow can be
// reported too; every thread that should be covered for stack overflows
// needs its own (crash_thread_stack_install). When the handler returns, the
// signal's default action proceeds: the handler is reset to the default and
// the signal raised again, so the process ends exactly as it would have.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

struct CrashInfo {
  int signal = 0;             // signal number
  const char* name = nullptr; // "SIGSEGV", "SIGBUS", ...; null for any other signal
  int code = 0;               // why the signal was sent (the system's signal code)
  std::uintptr_t address = 0; // the faulting memory address; 0 for a signal sent by a process
  std::uintptr_t pc = 0;      // the instruction that faulted; 0 when unknown
};

// Called at most once per crash. Must use only the services below (no
// allocation, no locks, no buffered streams).
using CrashHandler = void (*)(const CrashInfo& info);

// Installs `handler` for the fatal signals and gives the calling thread its
// alternate stack. Also loads the unwinder and sets up the symbol look-up,
// so that the handler loads no library and allocates nothing from the heap.
// Returns 0 or an errno value.
int crash_handler_install(CrashHandler handler);

// Gives the calling thread an alternate signal stack (does nothing when it
// has one, or when no handler is installed), and takes it away again before
// the thread ends. Returns 0 or an errno value.
int crash_thread_stack_install();
void crash_thread_stack_remove();

// ---- async-signal-safe services for the handler
// Opens `path` for appending, creating it (mode 0644); -1 on failure.
int crash_open_append(const char* path);
// Standard error's descriptor.
int crash_stderr();
void crash_write(int fd, const char* text, std::size_t length);
void crash_close(int fd);
// Return addresses of the calling thread's stack, innermost first; at most
// `max`. The first entries are the handler's own frames.
int crash_backtrace(void** frames, int max);
// Writes what is known of one code address, then a newline:
//   function + offset (file:line) (module + offset)
// The function is demangled; "(file:line)" appears where the module carries
// debug information for the address; an unknown function is written as its
// address, an unknown module as "(???)". `return_address` says that the
// address follows a call (a caller's frame), so that the source line looked
// up is the call's own. Uses no heap and takes no lock of its own.
void crash_write_symbol(int fd, void* address, bool return_address);

}  // namespace plat
