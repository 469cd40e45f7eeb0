// Fault injection at the operating-system seam.
//
// Every platform call that can fail asks fault_check() first. A test arms a
// fault for one kind of call ("the 3rd write from now fails with ENOSPC",
// "every rename fails with EACCES") and the call then fails exactly as the
// system would have failed it, errno included, without touching the system.
// Faults are process-wide and meant for single-threaded tests; fault_clear()
// puts everything back.
#pragma once

namespace plat {

// One entry per kind of system call that the layer can fail.
enum class Op {
  open_read,   // opening an existing file or folder for reading or listing
  open_write,  // creating or truncating a file for writing
  write,       // writing bytes to an open file
  read,        // reading bytes from an open file
  mmap,        // mapping a file into memory
  rename,      // moving a file or folder
  mkdir,       // creating one folder
  rmdir,       // removing one empty folder
  unlink,      // deleting one file
  chmod,       // changing permission bits
  stat,        // reading a file's attributes
  connect,     // starting a TCP connection
  send,        // sending on a socket
  recv,        // receiving from a socket
  resolve,     // looking up a host name
  window,      // opening the window and its GL context
  affinity,    // restricting a thread to some processors
  signal,      // installing the crash handler or a thread's signal stack
  count_       // number of kinds; not a kind
};

// Arms a fault: the call of `op` that comes after `skip` successful calls
// fails with `err`. With `persistent`, every call from then on fails until
// fault_clear().
void fault_arm(Op op, int err, int skip = 0, bool persistent = false);

// Disarms every fault.
void fault_clear();

// Asked by the implementations before each call of the kind `op`: the errno
// value to fail with, or 0 to go ahead. Sets errno when it returns non-zero.
int fault_check(Op op);

}  // namespace plat
