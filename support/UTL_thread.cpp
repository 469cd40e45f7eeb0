#include "support/UTL_thread.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/crash.h"
#include "support/alert.h"
#include "support/hl_init.h"

namespace {

// How long UTL_thread_join waits for a thread to end.
constexpr int kJoinWaitMs = 5000;
// The most messages a queue holds.
constexpr long kQueueMax = 100000;

// Set on threads started by UTL_thread_create.
thread_local bool t_ours = false;

// The fatal alert of a failed wrapper: the failed step's name and the error
// code as a floating-point number.
void os_failure(const char* name, int err, int line) {
  char code[64];
  std::snprintf(code, sizeof code, "err=%f", static_cast<double>(err));
  __MACIBM_alert(0, std::string("\"") + name + "\" OS error", code, "", "", t_exit, "UTL_thread", line);
}

// What a thread and its handle share: the thread's result once it has
// ended. Shared, so that an abandoned thread that ends after its handle was
// released still has somewhere to put it.
struct ThreadState {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  void* result = nullptr;
};

void thread_main(std::shared_ptr<ThreadState> st, UTL_thread_func entry, void* arg) {
  t_ours = true;
  // Without its own signal stack a thread's stack overflow could not be
  // reported; a failure here only loses that report.
  plat::crash_thread_stack_install();
  void* result = nullptr;
  try {
    result = entry(arg);
  } catch (const UTL_thread_exit_request& r) {
    result = r.value;
  }
  plat::crash_thread_stack_remove();
  std::lock_guard<std::mutex> lk(st->m);
  st->done = true;
  st->result = result;
  st->cv.notify_all();
}

// A counting semaphore with a ceiling: release() refuses to go past it.
class Semaphore {
 public:
  explicit Semaphore(long max) : max_(max) {}
  bool release() {
    std::lock_guard<std::mutex> lk(m_);
    if (count_ >= max_) return false;
    ++count_;
    cv_.notify_one();
    return true;
  }
  // Takes one count, waiting up to timeout_ms (negative: for ever).
  bool acquire(int timeout_ms) {
    std::unique_lock<std::mutex> lk(m_);
    const auto ready = [this] { return count_ > 0; };
    if (timeout_ms < 0) {
      cv_.wait(lk, ready);
    } else if (!cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), ready)) {
      return false;
    }
    --count_;
    return true;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  long count_ = 0;
  const long max_;
};

}  // namespace

struct UTL_thread_rec {
  std::thread thread;
  std::shared_ptr<ThreadState> state;
};

struct UTL_critical_section {
  std::recursive_mutex m;
};

struct UTL_message_queue {
  UTL_critical_section* lock = nullptr;  // guards `messages`
  Semaphore queue{kQueueMax};            // counts the waiting messages
  std::list<void*> messages;             // oldest first
};

// ---------------------------------------------------------------- [SECTION] threads
UTL_thread_id UTL_get_current_thread() { return std::this_thread::get_id(); }

int UTL_count_processors() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

void UTL_thread_create(UTL_thread_func entry, void* arg, UTL_thread_handle* handle, UTL_thread_id* id,
                       UTL_thread_handle* join) {
  if (handle) *handle = nullptr;
  if (join) *join = nullptr;
  auto* rec = new UTL_thread_rec;
  rec->state = std::make_shared<ThreadState>();
  try {
    rec->thread = std::thread(thread_main, rec->state, entry, arg);
  } catch (const std::system_error& e) {
    delete rec;
    os_failure("CreateThread", e.code().value(), __LINE__);
    return;
  }
  if (id) *id = rec->thread.get_id();
  if (handle) *handle = rec;
  if (join) *join = rec;
}

void* UTL_thread_join(UTL_thread_handle handle, UTL_thread_handle join, int* ended_out) {
  if (ended_out) *ended_out = 0;
  UTL_thread_rec* rec = handle ? handle : join;
  if (!rec) return nullptr;
  void* result = nullptr;
  bool ended;
  {
    std::unique_lock<std::mutex> lk(rec->state->m);
    ended = rec->state->cv.wait_for(lk, std::chrono::milliseconds(kJoinWaitMs), [rec] { return rec->state->done; });
    if (ended) result = rec->state->result;
  }
  if (ended) {
    rec->thread.join();
  } else {
    xer << "Wait on thread for cleanup failed with timeout.\n";
    xer.flush();
    rec->thread.detach();
  }
  delete rec;
  if (ended_out) *ended_out = ended ? 1 : 0;
  return result;
}

void UTL_thread_exit(void* value) {
  if (t_ours) throw UTL_thread_exit_request{value};
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

int UTL_thread_is_ours() { return t_ours ? 1 : 0; }

// ---------------------------------------------------------- [SECTION] critical sections
void UTL_critical_section_create(UTL_critical_section** cs) { *cs = new UTL_critical_section; }

void UTL_critical_section_destroy(UTL_critical_section* cs) { delete cs; }

void UTL_critical_section_lock(UTL_critical_section* cs) { cs->m.lock(); }

void UTL_critical_section_unlock(UTL_critical_section* cs) { cs->m.unlock(); }

// ------------------------------------------------------------- [SECTION] message queues
void UTL_message_queue_create(UTL_message_queue** queue) {
  *queue = nullptr;
  try {
    auto* q = new UTL_message_queue;
    UTL_critical_section_create(&q->lock);
    *queue = q;
  } catch (const std::system_error& e) {
    os_failure("CreateSemaphore", e.code().value(), __LINE__);
  }
}

void UTL_message_queue_destroy(UTL_message_queue* queue) {
  if (!queue) return;
  UTL_critical_section_destroy(queue->lock);
  delete queue;
}

void UTL_message_queue_write(UTL_message_queue* queue, void* message) {
  // The count is raised while the list is held, so that a reader woken by
  // it finds the message once it gets the list; a message that does not fit
  // is not appended at all.
  UTL_critical_section_lock(queue->lock);
  bool counted;
  try {
    counted = queue->queue.release();
  } catch (const std::system_error& e) {
    UTL_critical_section_unlock(queue->lock);
    os_failure("MPNotifyQueue", e.code().value(), __LINE__);
    return;
  }
  if (counted) queue->messages.push_back(message);
  UTL_critical_section_unlock(queue->lock);
  if (!counted) os_failure("MPNotifyQueue", EOVERFLOW, __LINE__);
}

void* UTL_message_queue_read(UTL_message_queue* queue, int timeout_ms) {
  try {
    if (!queue->queue.acquire(timeout_ms)) return nullptr;
  } catch (const std::system_error& e) {
    os_failure("WaitForSingleObject", e.code().value(), __LINE__);
    return nullptr;
  }
  UTL_critical_section_lock(queue->lock);
  void* message = queue->messages.front();
  queue->messages.pop_front();
  UTL_critical_section_unlock(queue->lock);
  return message;
}
