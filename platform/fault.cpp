#include "platform/fault.h"

#include <cerrno>

namespace plat {
namespace {

struct Fault {
  int err = 0;          // errno to fail with; 0 when not armed
  int skip = 0;         // successful calls still to let through
  bool persistent = false;
};

Fault g_faults[static_cast<int>(Op::count_)];

}  // namespace

void fault_arm(Op op, int err, int skip, bool persistent) {
  g_faults[static_cast<int>(op)] = Fault{err, skip, persistent};
}

void fault_clear() {
  for (Fault& f : g_faults) f = Fault{};
}

int fault_check(Op op) {
  Fault& f = g_faults[static_cast<int>(op)];
  if (f.err == 0) return 0;
  if (f.skip > 0) {
    --f.skip;
    return 0;
  }
  const int err = f.err;
  if (!f.persistent) f = Fault{};
  errno = err;
  return err;
}

}  // namespace plat
