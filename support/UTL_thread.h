// Threads, locks and message queues: thin wrappers over the standard
// library's threads and synchronisation, in the shape the framework uses.
//
// [SECTION] Threads: create, join with a time limit, end from inside.
// [SECTION] Critical sections: a lock the owning thread may take again.
// [SECTION] Message queues: blocking first-in-first-out queues of pointers.
//
// Each wrapper fails only by a fatal alert raised from module "UTL_thread"
// with two lines: the failed step's name in double quotation marks followed
// by " OS error" ("CreateThread", "CreateSemaphore", "MPNotifyQueue",
// "WaitForSingleObject"), then "err=%f" with the system's error code.
#pragma once

#include <thread>

// ---------------------------------------------------------------- [SECTION] threads
using UTL_thread_id = std::thread::id;
using UTL_thread_func = void* (*)(void*);
struct UTL_thread_rec;
// A started thread; the same value serves as its join handle.
using UTL_thread_handle = UTL_thread_rec*;

// The calling thread's id.
UTL_thread_id UTL_get_current_thread();

// The number of processors the system reports (at least 1).
int UTL_count_processors();

// Starts `entry(arg)` on a new thread. `handle`, `id` and `join` receive the
// thread's handle, id and join handle (the same handle as `handle`); any of
// them may be null except `handle` or `join` (one of them is needed to join).
void UTL_thread_create(UTL_thread_func entry, void* arg, UTL_thread_handle* handle, UTL_thread_id* id,
                       UTL_thread_handle* join);

// Waits up to 5,000 ms for the thread to end. When it has not ended, writes
// "Wait on thread for cleanup failed with timeout.\n" to the log and
// abandons it (it runs on, detached, and may still end normally later).
// Releases the handle and returns the thread's result (what its entry
// returned, or what it gave UTL_thread_exit); null for an abandoned thread.
// `ended`, when given, receives 1 when the thread ended and 0 when it was
// abandoned.
void* UTL_thread_join(UTL_thread_handle handle, UTL_thread_handle join, int* ended = nullptr);

// Ends the calling thread with `value` as its result. Unwinds the thread's
// stack (destructors run), so code on such a thread that catches every
// exception must rethrow UTL_thread_exit_request. A thread that was not
// started by UTL_thread_create cannot be ended this way: it is parked (it
// sleeps for ever, holding nothing the caller released first).
[[noreturn]] void UTL_thread_exit(void* value);

// What UTL_thread_exit throws to leave the thread; not an std::exception.
struct UTL_thread_exit_request {
  void* value;
};

// 1 when the calling thread was started by UTL_thread_create.
int UTL_thread_is_ours();

// ---------------------------------------------------------- [SECTION] critical sections
// A lock that the thread holding it may take again (each lock needs its
// unlock).
struct UTL_critical_section;

void UTL_critical_section_create(UTL_critical_section** cs);
void UTL_critical_section_destroy(UTL_critical_section* cs);
void UTL_critical_section_lock(UTL_critical_section* cs);
void UTL_critical_section_unlock(UTL_critical_section* cs);

// ------------------------------------------------------------- [SECTION] message queues
// A queue of untyped pointers shared by any number of writers and readers;
// messages are read oldest first (in the order the writers took the lock).
// A queue holds at most 100,000 waiting messages: one more is a fatal
// "MPNotifyQueue" alert. A null message cannot be told from a time-out, so
// writers send non-null pointers.
struct UTL_message_queue;

void UTL_message_queue_create(UTL_message_queue** queue);
// Releases the queue; messages still in it are dropped, not freed.
void UTL_message_queue_destroy(UTL_message_queue* queue);
void UTL_message_queue_write(UTL_message_queue* queue, void* message);
// Waits up to `timeout_ms` milliseconds for a message (any negative value
// waits for ever, 0 only looks) and returns the oldest one; null on time-out.
void* UTL_message_queue_read(UTL_message_queue* queue, int timeout_ms);
