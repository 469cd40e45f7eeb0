// Thread placement: which processors a thread may run on.
#pragma once

#include <cstdint>

namespace plat {

// Restricts the calling thread to the first processor (mask 1). `old_mask`
// receives the mask the thread had before, one bit per processor for the
// first 64 processors. Returns 0 or an errno value; on failure the thread's
// placement is unchanged.
int pin_current_thread_to_first_cpu(std::uint64_t& old_mask);

}  // namespace plat
