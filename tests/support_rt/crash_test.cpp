// The crash log: a helper program crashes for real, in a folder of its own,
// and its report is read back from "crash_log.txt" beside it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "support/UTL_Debug.h"
#include "tests/support/temp_dir.h"
#include "support/hl_init.h"

extern char** environ;

using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

namespace fs = std::filesystem;

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The numbered stack lines of the report(s): " N) ...".
int stack_lines(const std::string& text) {
  static const std::regex line(R"(^ +\d+\) .*$)", std::regex::multiline);
  return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), line), std::sregex_iterator()));
}

class CrashLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The helper is copied into a folder of its own: the report goes beside
    // the program.
    exe = dir / "support_crash_helper";
    fs::copy_file(SKYVANE_CRASH_HELPER, exe);
    write_file(dir / "Log.txt", "log start\n");
  }

  // Runs the helper; returns its wait status. Its standard error goes to
  // dir/stderr.txt. Sanitizer builds leave the fatal signals to the
  // program's own handler. `log` is the program's log (default dir/Log.txt).
  int run(const std::string& mode, std::string log = std::string()) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env.emplace_back(*e);
    }
    env.emplace_back(
        "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
        "allow_user_segv_handler=1:detect_leaks=0");
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    if (log.empty()) log = dir / "Log.txt";
    std::vector<char*> argv = {exe.data(), const_cast<char*>(mode.c_str()), log.data(), nullptr};

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const std::string err = dir / "stderr.txt";
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    EXPECT_EQ(rc, 0);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }

  std::string report() { return read_file(dir / "crash_log.txt"); }

  TempDir dir;
  std::string exe;
};

TEST_F(CrashLogTest, InvalidWriteIsReportedWithSignalAddressAndStack) {
  const int status = run("bad-write");
  ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);  // the default action still ends the process

  const std::string r = report();
  EXPECT_EQ(r.rfind("Unhandled exception: SIGSEGV (0000000B)\nFlags=1, Address = 0x00000010\n", 0), 0u) << r;
  EXPECT_NE(r.find("  0) "), std::string::npos) << r;
  EXPECT_NE(r.find("  1) "), std::string::npos) << r;
  // The faulting function is line 0, its caller follows.
  const size_t zero = r.find("  0) ");
  const size_t fn = r.find("crash_by_bad_write");
  const size_t caller = r.find(") main + ");
  ASSERT_NE(fn, std::string::npos) << r;
  EXPECT_LT(zero, fn);
  EXPECT_LT(fn, r.find("  1) "));
  EXPECT_NE(caller, std::string::npos) << r;
  EXPECT_NE(r.find(" (support_crash_helper + "), std::string::npos) << r;

  EXPECT_EQ(read_file(dir / "Log.txt"),
            "log start\nThis application has crashed.  Please send the file crash_log.txt to Velmora.\n"
            "The crash report is in " + (dir / "crash_log.txt") + "\n");
}

TEST_F(CrashLogTest, LaterCrashesAppendToTheSameLog) {
  int status = run("bad-write");
  ASSERT_TRUE(WIFSIGNALED(status));
  status = run("abort");
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGABRT);

  const std::string r = report();
  EXPECT_EQ(count_of(r, "Unhandled exception: "), 2) << r;
  const size_t second = r.find("Unhandled exception: SIGABRT (00000006)\n");
  ASSERT_NE(second, std::string::npos) << r;
  EXPECT_LT(r.find("SIGSEGV"), second);
  // A signal sent by the process itself has no faulting address.
  EXPECT_NE(r.find("Address = 0x00000000\n", second), std::string::npos) << r;
  EXPECT_NE(r.find(") abort + ", second), std::string::npos) << r;
  EXPECT_GE(stack_lines(r.substr(second)), 3) << r;
  EXPECT_EQ(count_of(read_file(dir / "Log.txt"), "This application has crashed."), 2);
}

TEST_F(CrashLogTest, StackOverflowIsReportedWithAtMostHundredLines) {
  const int status = run("overflow");
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  const std::string r = report();
  EXPECT_EQ(r.rfind("Unhandled exception: SIGSEGV (0000000B)\n", 0), 0u) << r;
  EXPECT_EQ(stack_lines(r), 100) << r;
  EXPECT_NE(r.find(" 99) "), std::string::npos);
  EXPECT_GE(count_of(r, "crash_by_recursion"), 90) << r;
}

TEST_F(CrashLogTest, StackOverflowOnAnotherThreadIsReported) {
  const int status = run("thread-overflow");
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  const std::string r = report();
  EXPECT_EQ(r.rfind("Unhandled exception: SIGSEGV (0000000B)\n", 0), 0u) << r;
  EXPECT_GE(count_of(r, "crash_by_recursion"), 90) << r;
}

TEST_F(CrashLogTest, ReportGoesToStandardErrorWhenTheLogCannotBeOpened) {
  fs::create_directory(dir / "crash_log.txt");  // not a file: cannot be opened for writing
  const int status = run("bad-write");
  ASSERT_TRUE(WIFSIGNALED(status));
  const std::string err = read_file(dir / "stderr.txt");
  EXPECT_NE(err.find("Unhandled exception: SIGSEGV (0000000B)\n"), std::string::npos) << err;
  EXPECT_NE(err.find("crash_by_bad_write"), std::string::npos) << err;
  // The log does not send the user to a file that is not there.
  EXPECT_NE(read_file(dir / "Log.txt").find("The crash report could not be written to " +
                                            (dir / "crash_log.txt") + "; it went to standard error.\n"),
            std::string::npos);
}

// The line of the helper's source that holds `marker`, counted from 1.
int source_line_of(const std::string& marker) {
  const std::string src = read_file(SKYVANE_CRASH_HELPER_SOURCE);
  const size_t at = src.find(marker);
  if (at == std::string::npos) return -1;
  return 1 + static_cast<int>(std::count(src.begin(), src.begin() + static_cast<long>(at), '\n'));
}

// A person reads the stack: C++ names demangled, with their parameters, and
// the source file and line of the faulting statement and of the calls.
TEST_F(CrashLogTest, StackLinesNameDemangledFunctionsAndSourceLines) {
  const int status = run("bad-write");
  ASSERT_TRUE(WIFSIGNALED(status));
  const std::string r = report();
  const int line = source_line_of("the faulting line (the tests look for this comment)");
  ASSERT_GT(line, 0);
  // Line 0 is the faulting statement itself.
  const std::regex first(R"(\n  0\) crash_by_bad_write\(unsigned long\) \+ \d+ \(crash_helper\.cpp:(\d+)\) \(support_crash_helper \+ \d+\)\n)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r, m, first)) << r;
  EXPECT_EQ(std::stoi(m[1].str()), line) << r;
  // Its caller, main, at the line of the call.
  const std::regex caller(R"(\n  1\) main \+ \d+ \(crash_helper\.cpp:(\d+)\) \(support_crash_helper \+ \d+\)\n)");
  ASSERT_TRUE(std::regex_search(r, m, caller)) << r;
  EXPECT_EQ(std::stoi(m[1].str()), source_line_of("if (mode == \"bad-write\") crash_by_bad_write(where);")) << r;
  // No mangled names anywhere in the report.
  EXPECT_EQ(r.find("_Z"), std::string::npos) << r;
}

// The report goes where the log went: a log moved to another folder (the
// state folder, when the program's folder cannot be written) takes the
// report with it, and names its place.
TEST_F(CrashLogTest, ReportGoesBesideTheLogWhereverTheLogIs) {
  const fs::path state = fs::path(dir / "state") / "skyvane";
  fs::create_directories(state);
  write_file(state / "Log.txt", "log start\n");
  const int status = run("bad-write", (state / "Log.txt").string());
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(fs::exists(dir / "crash_log.txt"));
  const std::string r = read_file(state / "crash_log.txt");
  EXPECT_EQ(r.rfind("Unhandled exception: SIGSEGV (0000000B)\n", 0), 0u) << r;
  EXPECT_EQ(read_file(state / "Log.txt"),
            "log start\nThis application has crashed.  Please send the file crash_log.txt to Velmora.\n"
            "The crash report is in " + (state / "crash_log.txt").string() + "\n");
}

// The crash log's place is fixed at set-up: beside the program. A handler
// that cannot be installed is logged and reported to the caller.
TEST(CrashLogSetUpTest, FailedInstallIsLoggedAndThePathIsBesideTheProgram) {
  TempDir dir;
  ASSERT_EQ(HL_open_log(dir.path()), 1);
  plat::fault_arm(plat::Op::signal, EINVAL);
  EXPECT_EQ(UTL_debug_init(), 0);
  plat::fault_clear();
  HL_close_log();
  EXPECT_NE(read_file(dir / "Log.txt").find("The crash handler could not be installed: "), std::string::npos);
  const std::string exe = fs::read_symlink("/proc/self/exe").string();
  EXPECT_EQ(UTL_debug_crash_log_path(), exe.substr(0, exe.rfind('/') + 1) + "crash_log.txt");
}

}  // namespace
