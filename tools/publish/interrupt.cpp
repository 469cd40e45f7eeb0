#include "tools/publish/interrupt.h"

#include <atomic>
#include <csignal>

namespace pub {

namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void on_signal(int) { g_interrupted.store(true); }

}  // namespace

void catch_interrupts() {
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
}

bool interrupted() { return g_interrupted.load(); }

}  // namespace pub
