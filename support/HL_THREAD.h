// The thread services: a pool of worker threads, one per processor, and the
// hand-over of errors raised off the main thread to the main thread, which
// shows them.
//
// [SECTION] Start and stop: THREAD_init, THREAD_make_workers, THREAD_shutdown.
// [SECTION] Threads: THREAD_create, which main thread, work for the pool.
// [SECTION] Errors from other threads: THREAD_send_exception and the
//           per-frame THREAD_check_exception.
//
// While the services run, an alert raised off the main thread is not shown
// there: it travels as an exce_class record through one of two queues
// (warnings, fatal errors) and the main thread's frame reports it. A fatal
// one ends its own thread at once.
#pragma once

#include "support/UTL_thread.h"

class exce_class;

// ------------------------------------------------------------ [SECTION] start and stop
// Starts the services on the calling thread, which becomes the main thread.
// With "--lock_main_thread" on the command line the calling thread is first
// restricted to the first processor, and the log gets "Thread affinity was
// <old mask> is now 1.". Installs the worker-thread alert hand-over. Does
// nothing when the services already run.
void THREAD_init();

// Starts one worker per processor and writes "CPU count        : <n>" to
// the log. Once per THREAD_init.
void THREAD_make_workers();

// Stops the workers (each gets an end message and is waited for up to 5 s;
// one that does not end is logged and abandoned), removes the alert
// hand-over, writes errors still queued to the log unshown, releases the
// queues and writes "Clean exit from threads." when every worker ended.
// Main thread only; nothing may be running THREAD_call meanwhile.
void THREAD_shutdown();

// ------------------------------------------------------------------ [SECTION] threads
// 1 when the calling thread is the one that called THREAD_init.
int THREAD_is_main_thread();
// 1 between THREAD_init and THREAD_shutdown.
int THREAD_is_inited();
// The number of workers THREAD_make_workers started (0 before, and after
// shutdown).
int THREAD_worker_count();

// Starts `entry(arg)` on a new thread and returns once that thread runs.
// Handles as UTL_thread_create. No thread gets a GL context of its own on
// this system, so `want_gl` changes nothing. An exception that escapes
// `entry` is handed to the main thread as a fatal error: an exce_class as
// it is, made fatal; an std::exception as "Caught an unhandled C++
// exception" and its message; anything else as "Caught an unhandled unknown
// exception".
void THREAD_create(UTL_thread_func entry, void* arg, UTL_thread_handle* handle, UTL_thread_id* id,
                   UTL_thread_handle* join, int want_gl);

// Runs `fn(arg)` on a worker and waits for its result. Without workers it
// runs `fn` on the calling thread. Must not be called from a worker (all
// workers could end up waiting on each other). If `fn` throws, the worker
// ends with a fatal error for the main thread and the caller gets null.
void* THREAD_call(UTL_thread_func fn, void* arg);

// ---------------------------------------------------- [SECTION] errors from other threads
// Hands an error to the main thread by its quit_ value: 1 queues a copy as
// a warning, 2 queues a copy as a fatal error and then, off the main
// thread, ends the calling thread; other values are dropped. Before
// THREAD_init (or after shutdown) the error is reported at once instead.
void THREAD_send_exception(const exce_class& e);

// The frame's check, on the main thread: takes at most one queued error -
// a fatal one first, then (with `also_warnings`) a warning - and reports
// it (exce_class::Report: an alert; a fatal one ends the program). One per
// call, so that a thread flooding the queue cannot hold the frame loop.
// Returns 1 when it reported one. Does nothing off the main thread or when
// the services are not running.
int THREAD_check_exception(int also_warnings);

// What the frame loop calls once per frame while window 0 is on top:
// THREAD_check_exception(1).
int THREAD_report_queued();
