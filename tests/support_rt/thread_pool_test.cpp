// The thread services: the worker pool, the main-thread pinning, and errors
// raised on other threads travelling to the main thread and shown there.
#ifndef _WIN32
#include <sched.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/fault.h"
#include "support/UTL_cmdline.h"
#include "support/HL_THREAD.h"
#include "tests/support/temp_dir.h"
#include "support/exce.h"
#include "support/alert.h"
#include "support/hl_init.h"

using testing_support::read_file;
using testing_support::TempDir;

namespace {

class ThreadServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cmdline.clear();
    ogl_inited = 0;
    in_alert = 0;
    ASSERT_EQ(HL_open_log(dir.path()), 1);
  }
  void TearDown() override {
    THREAD_shutdown();
    plat::fault_clear();
    HL_close_log();
    cmdline.clear();
  }
  std::string log() {
    xer.flush();
    return read_file(dir / "Log.txt");
  }
  // Runs `fn` on a thread of the services' own, to its end.
  static void run_on_thread(UTL_thread_func fn, void* arg = nullptr) {
    UTL_thread_handle h = nullptr, j = nullptr;
    THREAD_create(fn, arg, &h, nullptr, &j, 0);
    ASSERT_NE(h, nullptr);
    UTL_thread_join(h, j);
  }
  TempDir dir;
};

void* thread_id_of_caller(void*) { return new std::thread::id(std::this_thread::get_id()); }

TEST_F(ThreadServicesTest, WorkersStartOnePerProcessorAndStop) {
  EXPECT_EQ(THREAD_is_inited(), 0);
  THREAD_init();
  EXPECT_EQ(THREAD_is_inited(), 1);
  EXPECT_EQ(THREAD_is_main_thread(), 1);
  THREAD_make_workers();
  const int n = UTL_count_processors();
  EXPECT_EQ(THREAD_worker_count(), n);
  EXPECT_NE(log().find("CPU count        : " + std::to_string(n) + "\n"), std::string::npos) << log();

  // Work sent to the pool runs on the workers, from several callers at once.
  std::vector<std::thread> callers;
  std::vector<std::thread::id> ran(8);
  for (int c = 0; c < 8; ++c) {
    callers.emplace_back([&ran, c] {
      EXPECT_EQ(THREAD_is_main_thread(), 0);
      auto* id = static_cast<std::thread::id*>(THREAD_call(thread_id_of_caller, nullptr));
      ran[c] = *id;
      delete id;
    });
  }
  for (auto& t : callers) t.join();
  for (const auto& id : ran) EXPECT_NE(id, std::this_thread::get_id());

  THREAD_shutdown();
  EXPECT_EQ(THREAD_is_inited(), 0);
  EXPECT_EQ(THREAD_worker_count(), 0);
  EXPECT_NE(log().find("Clean exit from threads.\n"), std::string::npos);
  // A second shutdown, and a second start-up, are harmless.
  THREAD_shutdown();
  THREAD_init();
  THREAD_init();
  EXPECT_EQ(THREAD_is_inited(), 1);
}

#ifndef _WIN32  // reads the placement with the POSIX calls
TEST_F(ThreadServicesTest, LockMainThreadPinsToTheFirstProcessor) {
  cpu_set_t before;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  if (!CPU_ISSET(0, &before)) GTEST_SKIP() << "processor 0 is not available to this process";
  unsigned long long mask = 0;
  for (int c = 0; c < 64; ++c) {
    if (CPU_ISSET(c, &before)) mask |= 1ULL << c;
  }
  const char* argv[] = {"prog", "--lock_main_thread"};
  cmdline.init_args(2, argv);
  THREAD_init();
  cpu_set_t after;
  ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
  EXPECT_EQ(CPU_COUNT(&after), 1);
  EXPECT_TRUE(CPU_ISSET(0, &after));
  sched_setaffinity(0, sizeof before, &before);
  EXPECT_NE(log().find("Thread affinity was " + std::to_string(mask) + " is now 1.\n"), std::string::npos) << log();
}

TEST_F(ThreadServicesTest, FailedPinningIsLoggedAndChangesNothing) {
  cpu_set_t before;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  plat::fault_arm(plat::Op::affinity, EPERM);
  const char* argv[] = {"prog", "--lock_main_thread"};
  cmdline.init_args(2, argv);
  THREAD_init();
  EXPECT_EQ(THREAD_is_inited(), 1);
  cpu_set_t after;
  ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
  EXPECT_TRUE(CPU_EQUAL(&before, &after));
  EXPECT_NE(log().find("Thread affinity could not be changed: "), std::string::npos) << log();
  EXPECT_EQ(log().find("is now 1."), std::string::npos);
}
#endif

void* raise_warning(void*) {
  __MACIBM_alert(0, "The disk is full.", "", "", "second warning line", t_alert, "utils", 177);
  return reinterpret_cast<void*>(1);
}

// A warning raised on a worker is not shown there: the main thread's frame
// check shows it, once.
TEST_F(ThreadServicesTest, WorkerAlertIsShownByTheMainThread) {
  THREAD_init();
  THREAD_make_workers();
  testing::internal::CaptureStderr();
  EXPECT_EQ(THREAD_call(raise_warning, nullptr), reinterpret_cast<void*>(1));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "");
  EXPECT_EQ(log().find("The disk is full."), std::string::npos);

  testing::internal::CaptureStderr();
  EXPECT_EQ(THREAD_report_queued(), 1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Aerodeck Message\nThe disk is full.\n\n\n\n\n\nsecond warning line\n"), std::string::npos)
      << err;
  EXPECT_NE(log().find("The disk is full.\n\n\nsecond warning line\n(utils line 177)\n"), std::string::npos) << log();
  EXPECT_EQ(THREAD_report_queued(), 0);

  // The frame's check does nothing off the main thread.
  THREAD_call(raise_warning, nullptr);
  std::atomic<int> reported{-1};
  std::thread other([&] { reported = THREAD_report_queued(); });
  other.join();
  EXPECT_EQ(reported.load(), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(THREAD_report_queued(), 1);
  testing::internal::GetCapturedStderr();
}

std::atomic<int> went_on{0};

void* raise_fatal(void*) {
  __MACIBM_alert(0, "warning first", "", "", "", t_alert, "utils", 1);
  __MACIBM_alert(0, "Fatal on a worker.", "", "", "", t_exit, "http", 415);
  went_on = 1;  // never reached: a fatal alert ends its thread
  return nullptr;
}

// A fatal alert on another thread ends that thread at once; the main thread
// reports it before any waiting warning, and the program ends.
TEST_F(ThreadServicesTest, FatalAlertEndsItsThreadAndIsReportedFirst) {
  THREAD_init();
  went_on = 0;
  run_on_thread(raise_fatal);
  EXPECT_EQ(went_on.load(), 0);
  EXPECT_EXIT(THREAD_report_queued(), testing::ExitedWithCode(1), "Aerodeck Message\nFatal on a worker\\.");
#ifndef _WIN32  // a Windows death test runs in a new process, with a log of its own
  EXPECT_NE(read_file(dir / "Log.txt").find("Fatal on a worker.\n\n\n\n(http line 415)\n"), std::string::npos);
#endif
  // Fatal errors are reported even by a check that leaves warnings waiting.
  EXPECT_EXIT(THREAD_check_exception(0), testing::ExitedWithCode(1), "Fatal on a worker");
}

void* throw_runtime_error(void*) { throw std::runtime_error("the manifest is short"); }
void* throw_int(void*) { throw 42; }
void* throw_warning_record(void*) { throw exce_class("raised as a warning", "", "", "", "xmap", 88, 1); }

// Exceptions that escape a thread's function become fatal errors for the
// main thread.
TEST_F(ThreadServicesTest, EscapedExceptionsBecomeFatalErrors) {
  THREAD_init();
  run_on_thread(throw_runtime_error);
  EXPECT_EXIT(THREAD_report_queued(), testing::ExitedWithCode(1),
              "Caught an unhandled C\\+\\+ exception\n\nthe manifest is short");
#ifndef _WIN32  // a Windows death test runs in a new process, with a log of its own
  EXPECT_NE(read_file(dir / "Log.txt").find("(HL_THREAD line "), std::string::npos);
#endif
}

TEST_F(ThreadServicesTest, UnknownExceptionAndThrownRecordBecomeFatal) {
  THREAD_init();
  run_on_thread(throw_int);
  EXPECT_EXIT(THREAD_report_queued(), testing::ExitedWithCode(1), "Caught an unhandled unknown exception");
  THREAD_shutdown();
  THREAD_init();
  run_on_thread(throw_warning_record);
  EXPECT_EXIT(THREAD_report_queued(), testing::ExitedWithCode(1), "raised as a warning");
#ifndef _WIN32  // a Windows death test runs in a new process, with a log of its own
  EXPECT_NE(read_file(dir / "Log.txt").find("raised as a warning\n\n\n\n(xmap line 88)\n"), std::string::npos);
#endif
}

void* report_here(void*) {
  exce_class e("written on the worker", "line two", "", "", "utils", 7, 1);
  e.Report();
  return nullptr;
}

// Report called on another thread cannot show anything: it logs the record
// and ends the program with a failure status.
TEST_F(ThreadServicesTest, ReportOnAnotherThreadLogsAndEndsTheProgram) {
  EXPECT_EXIT(
      {
        THREAD_init();
        run_on_thread(report_here);
      },
      testing::ExitedWithCode(1), "");
#ifndef _WIN32  // a Windows death test runs in a new process, with a log of its own
  EXPECT_NE(read_file(dir / "Log.txt")
                .find("EXCEPTION REPORTED FROM THREAD!!  File: utils, line 7.\nwritten on the worker\nline two\n\n\n"),
            std::string::npos)
      << read_file(dir / "Log.txt");
#endif
}

TEST_F(ThreadServicesTest, WithoutTheServicesAlertsAreShownWhereRaised) {
  // Before THREAD_init a record handed over is reported at once.
  testing::internal::CaptureStderr();
  THREAD_send_exception(exce_class("no services yet", "", "", "", "utils", 3, 1));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Aerodeck Message\nno services yet"), std::string::npos);
  EXPECT_EQ(THREAD_report_queued(), 0);
  // Type 0 and other values are dropped by the hand-over.
  THREAD_init();
  THREAD_send_exception(exce_class("language", "", "", "", "utils", 4, 0));
  EXPECT_EQ(THREAD_report_queued(), 0);
}

// Records nobody reported are written to the log at shutdown, not lost.
TEST_F(ThreadServicesTest, ShutdownLogsUnreportedErrors) {
  THREAD_init();
  run_on_thread(raise_warning);
  THREAD_shutdown();
  EXPECT_NE(log().find("Unreported error from a thread (utils line 177):\nThe disk is full.\n\n\nsecond warning line\n"),
            std::string::npos)
      << log();
  EXPECT_EQ(alert_post_from_worker, nullptr);
}

UTL_message_queue* gate = nullptr;
UTL_message_queue* at_gate = nullptr;
void* wait_at_gate(void*) {
  UTL_message_queue_write(at_gate, reinterpret_cast<void*>(1));
  return UTL_message_queue_read(gate, -1);
}

// A worker still busy after five seconds is logged and left running; what
// it still uses stays valid, so it can finish its call later.
TEST_F(ThreadServicesTest, BusyWorkerIsAbandonedAtShutdown) {
  UTL_message_queue_create(&gate);
  UTL_message_queue_create(&at_gate);
  THREAD_init();
  THREAD_make_workers();
  std::atomic<void*> result{nullptr};
  std::thread caller([&] { result = THREAD_call(wait_at_gate, nullptr); });
  ASSERT_NE(UTL_message_queue_read(at_gate, 10000), nullptr);  // a worker is in the call
  THREAD_shutdown();
  EXPECT_NE(log().find("Wait on thread for cleanup failed with timeout.\n"), std::string::npos) << log();
  EXPECT_EQ(log().find("Clean exit from threads."), std::string::npos);
  EXPECT_EQ(THREAD_is_inited(), 0);
  UTL_message_queue_write(gate, reinterpret_cast<void*>(5));
  caller.join();
  EXPECT_EQ(result.load(), reinterpret_cast<void*>(5));
  UTL_message_queue_destroy(gate);
  UTL_message_queue_destroy(at_gate);
}

}  // namespace
