// The crash report of the Windows build: a fault in a death test's child
// process goes through the unhandled-exception filter, which appends the
// report to "crash_log.txt" beside the program's log and a note to the log.
// The child is a new process (not a fork) that runs the fixture again: it
// learns the parent's folder from the environment that it inherits.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "support/UTL_Debug.h"
#include "tests/support/temp_dir.h"

using testing_support::read_file;
using testing_support::TempDir;

namespace {

constexpr const char* kFolderVar = "SKYVANE_CRASH_TEST_FOLDER";

// Kept out of line, so that the report names it.
__attribute__((noinline)) void write_through_null(volatile int* p) { *p = 42; }

__attribute__((noinline)) int divide(volatile int a, volatile int b) { return a / b; }

void crash_with(int kind) {
  const char* folder = std::getenv(kFolderVar);
  if (!folder || !UTL_debug_init(std::string(folder) + "Log.txt")) std::exit(7);  // not a crash
  if (kind == 0) write_through_null(nullptr);
  if (kind == 1) std::exit(divide(1, 0));
  std::abort();
}

bool crashed(int status) { return status != 0 && status != 7; }

// Exit status of a child whose handler took too long to install.
constexpr int kSlowInstall = 8;
// Installing the handler starts the symbols' loading and returns: it takes
// a thread's start, not the seconds that reading the module list of the
// process can take (under Wine especially).
constexpr long long kInstallMaxMs = 300;

// Installs the handler, timed, and crashes at once: the report, written
// while the symbols may still be loading, still names the function.
void crash_right_after_a_quick_install() {
  const char* folder = std::getenv(kFolderVar);
  const auto start = std::chrono::steady_clock::now();
  if (!folder || !UTL_debug_init(std::string(folder) + "Log.txt")) std::exit(7);
  const auto took = std::chrono::steady_clock::now() - start;
  if (std::chrono::duration_cast<std::chrono::milliseconds>(took).count() > kInstallMaxMs) std::exit(kSlowInstall);
  write_through_null(nullptr);
}

class WindowsCrash : public ::testing::Test {
 protected:
  // The child runs the fixture again, with a folder of its own: it keeps
  // the parent's folder, which it finds already set.
  void SetUp() override {
    if (!std::getenv(kFolderVar)) testing_support::set_env(kFolderVar, dir.path());
  }
  void TearDown() override { testing_support::unset_env(kFolderVar); }
  TempDir dir;
};

TEST_F(WindowsCrash, AccessViolationIsReportedWithItsStack) {
  EXPECT_EXIT(crash_with(0), crashed, "");
  const std::string report = read_file(dir / "crash_log.txt");
  EXPECT_NE(report.find("Unhandled exception: EXCEPTION_ACCESS_VIOLATION (C0000005)\n"), std::string::npos) << report;
  // The address that was written to.
  EXPECT_NE(report.find("Address = 0x00000000\n"), std::string::npos) << report;
  // Line 0 is the faulting instruction, in the function that wrote.
  EXPECT_NE(report.find("  0) write_through_null"), std::string::npos) << report;
  EXPECT_NE(report.find("win32_crash_test.cpp:"), std::string::npos) << report;
  EXPECT_NE(report.find("support_rt_tests.exe + "), std::string::npos) << report;
  EXPECT_NE(report.find("crash_with"), std::string::npos) << report;
  EXPECT_NE(read_file(dir / "Log.txt").find("This application has crashed.  Please send the file crash_log.txt"),
            std::string::npos);
}

TEST_F(WindowsCrash, InstallDoesNotWaitForSymbolsAndAnEarlyCrashIsStillNamed) {
  EXPECT_EXIT(crash_right_after_a_quick_install(), [](int status) { return crashed(status) && status != kSlowInstall; },
              "");
  const std::string report = read_file(dir / "crash_log.txt");
  EXPECT_NE(report.find("Unhandled exception: EXCEPTION_ACCESS_VIOLATION (C0000005)\n"), std::string::npos) << report;
  EXPECT_NE(report.find("  0) write_through_null"), std::string::npos) << report;
  EXPECT_NE(report.find("win32_crash_test.cpp:"), std::string::npos) << report;
}

TEST_F(WindowsCrash, DivisionByZeroIsNamed) {
  EXPECT_EXIT(crash_with(1), crashed, "");
  const std::string report = read_file(dir / "crash_log.txt");
  EXPECT_NE(report.find("Unhandled exception: EXCEPTION_INT_DIVIDE_BY_ZERO (C0000094)\n"), std::string::npos)
      << report;
  EXPECT_NE(report.find("divide"), std::string::npos) << report;
}

TEST_F(WindowsCrash, AbortIsReported) {
  EXPECT_EXIT(crash_with(2), crashed, "");
  const std::string report = read_file(dir / "crash_log.txt");
  EXPECT_NE(report.find("Unhandled exception: SIGABRT (40000015)\n"), std::string::npos) << report;
  EXPECT_NE(report.find("crash_with"), std::string::npos) << report;
}

}  // namespace
