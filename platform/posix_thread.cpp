// POSIX/Linux implementation of platform/thread.h.
#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>

#include "platform/fault.h"

namespace plat {

int pin_current_thread_to_first_cpu(std::uint64_t& old_mask) {
  old_mask = 0;
  if (const int err = fault_check(Op::affinity)) return err;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (const int err = pthread_getaffinity_np(pthread_self(), sizeof set, &set)) return err;
  for (int cpu = 0; cpu < 64; ++cpu) {
    if (CPU_ISSET(cpu, &set)) old_mask |= std::uint64_t{1} << cpu;
  }
  // Threads inherit their maker's placement: the threads made later (the
  // workers, hashing and extraction threads) start with the placement the
  // main thread had, through the default attributes of new threads.
  pthread_attr_t later;
  if (pthread_attr_init(&later) == 0) {
    if (pthread_attr_setaffinity_np(&later, sizeof set, &set) == 0) pthread_setattr_default_np(&later);
    pthread_attr_destroy(&later);
  }
  cpu_set_t first;
  CPU_ZERO(&first);
  CPU_SET(0, &first);
  return pthread_setaffinity_np(pthread_self(), sizeof first, &first);
}

}  // namespace plat
