// A program that crashes on purpose, for the crash-log tests.
//   support_crash_helper MODE [LOG]
// MODE: bad-write (an invalid memory write), overflow (unbounded recursion
// on the main thread), thread-overflow (the same on a thread of our own),
// abort. LOG is the program log that gets the crash note.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/UTL_Debug.h"
#include "support/UTL_thread.h"

// Exported (the program is linked with its symbols exported) so that the
// report can name them.
__attribute__((noinline)) void crash_by_bad_write(std::uintptr_t where) {
  *reinterpret_cast<volatile int*>(where) = 1;  // the faulting line (the tests look for this comment)
}

__attribute__((noinline)) int crash_by_recursion(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  if (pad[0] == 1 && depth < 0) return 0;
  return crash_by_recursion(depth + 1) + pad[0];
}

__attribute__((noinline)) void crash_by_abort() { std::abort(); }

void* overflow_thread(void*) {
  crash_by_recursion(0);
  return nullptr;
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  if (!UTL_debug_init(argc > 2 ? argv[2] : "")) return 3;
  volatile std::uintptr_t where = 16;  // not known to the compiler
  if (mode == "bad-write") crash_by_bad_write(where);
  if (mode == "overflow") crash_by_recursion(0);
  if (mode == "abort") crash_by_abort();
  if (mode == "thread-overflow") {
    UTL_thread_handle h = nullptr, j = nullptr;
    UTL_thread_create(overflow_thread, nullptr, &h, nullptr, &j);
    UTL_thread_join(h, j);
  }
  return 4;  // no crash happened
}
