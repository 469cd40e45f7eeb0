// Shared set-up of the download-pool tests: a fresh pool, a log in a
// temporary folder, and a poll loop that stands in for the frame loop.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "net/http.h"
#include "platform/fault.h"
#include "support/UTL_cmdline.h"
#include "tests/servers/servers.h"
#include "tests/support/temp_dir.h"
#include "support/hl_init.h"

namespace nettest {

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    http.reset();
    cmdline.clear();
    ASSERT_EQ(HL_open_log(dir.path()), 1);
  }
  void TearDown() override {
    plat::fault_clear();
    http.reset();
    HL_close_log();
  }

  // Calls net_check once per "frame" until it answers 1 or 2, at most for
  // `seconds`; -1 when the deadline passes first. `polls` counts the calls.
  int run(int slot, const std::string& server, const std::string& file, std::string dest, int* polls = nullptr,
          double seconds = 10.0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int n = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      const int r = http.net_check(slot, server, file, dest);
      ++n;
      if (r != 0) {
        if (polls) *polls = n;
        return r;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (polls) *polls = n;
    return -1;
  }

  // The log written so far.
  std::string log() {
    xer.flush();
    return testing_support::read_file(dir / "Log.txt");
  }

  // The nine-line failure report as the pool writes it.
  static std::string report(const std::string& dest, const std::string& server, const std::string& file,
                            int done, int complete, int err, int stat, int os_err, const std::string& name,
                            int num) {
    return "HTTP Error for " + dest + "\n   server     =" + server + "\n   file       =" + file +
           "\n   IsDone     =" + std::to_string(done) + "\n   IsComplete =" + std::to_string(complete) +
           "\n   IsErr      =" + std::to_string(err) + "\n   GetStat    =" + std::to_string(stat) +
           "\n   GetOSErr   =" + std::to_string(os_err) + "\n   response   =" + name + " (#" +
           std::to_string(num) + ")\n\n";
  }

  testing_support::TempDir dir;
};

// Pool tests against one scripted fault server, started for the suite.
class FaultServerTest : public PoolTest {
 protected:
  static void SetUpTestSuite() { server = new testservers::FaultServer(); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    PoolTest::SetUp();
    ASSERT_TRUE(server->ok()) << server->failure();
  }
  static inline testservers::FaultServer* server = nullptr;
};

}  // namespace nettest
