// Windows implementation of platform/thread.h.
#include "platform/thread.h"

#include <windows.h>

#include "platform/fault.h"
#include "platform/win32_text.h"

namespace plat {

int pin_current_thread_to_first_cpu(std::uint64_t& old_mask) {
  old_mask = 0;
  if (const int err = fault_check(Op::affinity)) return err;
  // SetThreadAffinityMask answers the mask the thread had before.
  const DWORD_PTR before = SetThreadAffinityMask(GetCurrentThread(), 1);
  if (before == 0) return win32::last_errno();
  old_mask = static_cast<std::uint64_t>(before);
  return 0;
}

}  // namespace plat
