#include "support/HL_THREAD.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/errors.h"
#include "platform/thread.h"
#include "support/UTL_cmdline.h"
#include "support/exce.h"
#include "support/alert.h"
#include "support/hl_init.h"

namespace {

// The message that tells one worker to end: all bits set.
void* const kEndWorker = reinterpret_cast<void*>(~std::uintptr_t{0});

// A piece of work for the pool, reused through free_calls.
struct CallRecord {
  UTL_message_queue* reply = nullptr;  // gets `token` when the call is done
  UTL_critical_section* lock = nullptr;  // guards `result`
  UTL_thread_func fn = nullptr;
  void* arg = nullptr;
  void* result = nullptr;
  void* token = nullptr;
};

std::atomic<UTL_thread_id> main_thread{};
std::atomic<int> threads_inited{0};
// Guards the error queues against THREAD_shutdown while other threads post
// to them. Recursive: a failed post raises an alert that posts again.
std::recursive_mutex services_lock;
UTL_message_queue* warn_exce = nullptr;
UTL_message_queue* quit_exce = nullptr;
// The pool's work queue and its reusable records. One object, so that a
// call still running on a worker abandoned at shutdown keeps all of it.
struct Pool {
  UTL_message_queue* call_queue = nullptr;
  std::vector<CallRecord*> free_calls;
  UTL_critical_section* free_calls_lock = nullptr;
};
Pool* pool = nullptr;
std::vector<UTL_thread_handle> worker_threads, worker_threads_join;
std::vector<UTL_thread_id> worker_threads_id;

// Pools that abandoned workers may still use: never released, kept reachable.
std::vector<Pool*>& abandoned_pools() {
  static std::vector<Pool*>* list = new std::vector<Pool*>;
  return *list;
}

void destroy_record(CallRecord* r) {
  UTL_message_queue_destroy(r->reply);
  UTL_critical_section_destroy(r->lock);
  delete r;
}

// The worker loop; its argument is the call queue.
void* worker_loop(void* queue) {
  auto* calls = static_cast<UTL_message_queue*>(queue);
  for (;;) {
    void* message = UTL_message_queue_read(calls, -1);
    if (message == kEndWorker) return nullptr;
    auto* r = static_cast<CallRecord*>(message);
    void* result = nullptr;
    try {
      result = r->fn(r->arg);
    } catch (...) {
      // The caller must not wait for ever: it gets null, and the error goes
      // on to the launch routine, which hands it to the main thread.
      UTL_critical_section_lock(r->lock);
      r->result = nullptr;
      UTL_critical_section_unlock(r->lock);
      UTL_message_queue_write(r->reply, r->token);
      throw;
    }
    UTL_critical_section_lock(r->lock);
    r->result = result;
    UTL_critical_section_unlock(r->lock);
    UTL_message_queue_write(r->reply, r->token);
  }
}

struct LaunchRecord {
  UTL_thread_func entry;
  void* arg;
  UTL_message_queue* start;
};

// First code of every thread THREAD_create starts.
void* launch(void* p) {
  const LaunchRecord* lr = static_cast<LaunchRecord*>(p);
  const UTL_thread_func entry = lr->entry;
  void* const arg = lr->arg;
  UTL_message_queue_write(lr->start, p);  // `lr` may be gone from here on
  try {
    return entry(arg);
  } catch (const UTL_thread_exit_request&) {
    throw;
  } catch (const exce_class& e) {
    exce_class fatal(e);
    fatal.MakeFatal();
    THREAD_send_exception(fatal);
  } catch (const std::exception& e) {
    THREAD_send_exception(exce_class("Caught an unhandled C++ exception", e.what(), "", "", "HL_THREAD", __LINE__, 2));
  } catch (...) {
    THREAD_send_exception(exce_class("Caught an unhandled unknown exception", "", "", "", "HL_THREAD", __LINE__, 2));
  }
  return nullptr;
}

// The alert hook: off the main thread an alert becomes a queued record.
int post_from_worker(const std::string lines[4], int type, const char* file, int line) {
  if (!THREAD_is_inited() || THREAD_is_main_thread()) return 0;
  THREAD_send_exception(exce_class(lines[0], lines[1], lines[2], lines[3], file, line, type));
  return 1;
}

// Records nobody reported: written to the log so that they are not lost
// without a trace, then freed.
void drain_unreported(UTL_message_queue* q) {
  while (void* m = UTL_message_queue_read(q, 0)) {
    std::unique_ptr<exce_class> e(static_cast<exce_class*>(m));
    xer << "Unreported error from a thread (" << (e->file_ ? e->file_ : "") << " line " << e->line_ << "):\n"
        << e->c1_ << "\n" << e->c2_ << "\n" << e->c3_ << "\n" << e->c4_ << "\n";
  }
}

}  // namespace

// ------------------------------------------------------------ [SECTION] start and stop
void THREAD_init() {
  if (threads_inited.load()) return;
  if (cmdline.has_option("--lock_main_thread")) {
    std::uint64_t old_mask = 0;
    const int err = plat::pin_current_thread_to_first_cpu(old_mask);
    if (err == 0) xer << "Thread affinity was " << old_mask << " is now 1.\n";
    else xer << "Thread affinity could not be changed: " << error_str(err) << "\n";
    xer.flush();
  }
  main_thread.store(UTL_get_current_thread());
  std::lock_guard<std::recursive_mutex> lk(services_lock);
  UTL_message_queue_create(&warn_exce);
  UTL_message_queue_create(&quit_exce);
  pool = new Pool;
  UTL_critical_section_create(&pool->free_calls_lock);
  UTL_message_queue_create(&pool->call_queue);
  threads_inited.store(1);
  alert_post_from_worker = post_from_worker;
}

void THREAD_make_workers() {
  if (!threads_inited.load() || !worker_threads.empty()) return;
  const int n = UTL_count_processors();
  xer << "CPU count        : " << n << "\n";
  xer.flush();
  for (int i = 0; i < n; ++i) {
    UTL_thread_handle h = nullptr, j = nullptr;
    UTL_thread_id id;
    THREAD_create(worker_loop, pool->call_queue, &h, &id, &j, 1);
    if (!h) continue;
    worker_threads.push_back(h);
    worker_threads_join.push_back(j);
    worker_threads_id.push_back(id);
  }
}

void THREAD_shutdown() {
  if (!threads_inited.load()) return;
  for (size_t i = 0; i < worker_threads.size(); ++i) UTL_message_queue_write(pool->call_queue, kEndWorker);
  bool all_ended = true;
  for (size_t i = 0; i < worker_threads.size(); ++i) {
    int ended = 0;
    UTL_thread_join(worker_threads[i], worker_threads_join[i], &ended);
    if (!ended) all_ended = false;
  }
  // Cleared once the workers have ended, so that none of them reads the
  // hook while it changes; later alerts off the main thread are shown where
  // they are raised.
  if (alert_post_from_worker == post_from_worker) alert_post_from_worker = nullptr;
  worker_threads.clear();
  worker_threads_join.clear();
  worker_threads_id.clear();
  if (all_ended) {
    UTL_critical_section_destroy(pool->free_calls_lock);
    UTL_message_queue_destroy(pool->call_queue);
    for (CallRecord* r : pool->free_calls) destroy_record(r);
    delete pool;
  } else {
    // A worker still running may read the call queue or finish a call
    // later: what it can reach stays alive.
    abandoned_pools().push_back(pool);
  }
  pool = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lk(services_lock);
    threads_inited.store(0);
    drain_unreported(quit_exce);
    drain_unreported(warn_exce);
    UTL_message_queue_destroy(warn_exce);
    UTL_message_queue_destroy(quit_exce);
    warn_exce = quit_exce = nullptr;
  }
  if (all_ended) xer << "Clean exit from threads.\n";
  xer.flush();
}

// ------------------------------------------------------------------ [SECTION] threads
int THREAD_is_main_thread() { return UTL_get_current_thread() == main_thread.load() ? 1 : 0; }

int THREAD_is_inited() { return threads_inited.load(); }

int THREAD_worker_count() { return static_cast<int>(worker_threads.size()); }

void THREAD_create(UTL_thread_func entry, void* arg, UTL_thread_handle* handle, UTL_thread_id* id,
                   UTL_thread_handle* join, int want_gl) {
  (void)want_gl;  // contexts shared between threads are not used on this system
  UTL_thread_handle h = nullptr;
  LaunchRecord lr{entry, arg, nullptr};
  UTL_message_queue_create(&lr.start);
  if (!lr.start) return;
  UTL_thread_create(launch, &lr, &h, id, join);
  if (handle) *handle = h;
  if (h) UTL_message_queue_read(lr.start, -1);
  UTL_message_queue_destroy(lr.start);
}

void* THREAD_call(UTL_thread_func fn, void* arg) {
  Pool* const p = pool;
  if (!threads_inited.load() || !p || worker_threads.empty()) return fn(arg);
  CallRecord* r = nullptr;
  UTL_critical_section_lock(p->free_calls_lock);
  if (!p->free_calls.empty()) {
    r = p->free_calls.back();
    p->free_calls.pop_back();
  }
  UTL_critical_section_unlock(p->free_calls_lock);
  if (!r) {
    r = new CallRecord;
    UTL_message_queue_create(&r->reply);
    UTL_critical_section_create(&r->lock);
    r->token = r;
  }
  r->fn = fn;
  r->arg = arg;
  UTL_message_queue_write(p->call_queue, r);
  UTL_message_queue_read(r->reply, -1);
  UTL_critical_section_lock(r->lock);
  void* result = r->result;
  UTL_critical_section_unlock(r->lock);
  UTL_critical_section_lock(p->free_calls_lock);
  p->free_calls.push_back(r);
  UTL_critical_section_unlock(p->free_calls_lock);
  return result;
}

// ---------------------------------------------------- [SECTION] errors from other threads
void THREAD_send_exception(const exce_class& e) {
  if (e.quit_ != 1 && e.quit_ != 2) return;
  bool posted = false;
  {
    std::lock_guard<std::recursive_mutex> lk(services_lock);
    if (threads_inited.load()) {
      UTL_message_queue_write(e.quit_ == 2 ? quit_exce : warn_exce, new exce_class(e));
      posted = true;
    }
  }
  if (!posted) {
    exce_class copy(e);
    copy.Report();
    return;
  }
  if (e.quit_ == 2 && !THREAD_is_main_thread()) UTL_thread_exit(nullptr);
}

int THREAD_check_exception(int also_warnings) {
  if (!THREAD_is_main_thread()) return 0;
  void* m = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lk(services_lock);
    if (!threads_inited.load()) return 0;
    m = UTL_message_queue_read(quit_exce, 0);
    if (!m && also_warnings) m = UTL_message_queue_read(warn_exce, 0);
  }
  if (!m) return 0;
  std::unique_ptr<exce_class> e(static_cast<exce_class*>(m));
  e->Report();
  return 1;
}

int THREAD_report_queued() { return THREAD_check_exception(1); }
