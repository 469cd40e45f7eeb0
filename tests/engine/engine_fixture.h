// Shared set-up of the engine tests: a temporary folder with the log in it,
// the run state and the engine state at their start values, no faults armed.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "engine/utils.h"
#include "engine/run_state.h"
#include "platform/fault.h"
#include "tests/support/temp_dir.h"
#include "support/alert.h"
#include "support/hl_init.h"

namespace engine_test {

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run_state_reset();
    engine_state_reset();
    plat::fault_clear();
    ogl_inited = 0;
    in_alert = 0;
    app_done = 0;
    ASSERT_EQ(HL_open_log(dir.path()), 1);
  }
  void TearDown() override {
    plat::fault_clear();
    HL_close_log();
    engine_state_reset();
    run_state_reset();
    app_done = 0;
  }
  // Everything written to the log so far.
  std::string log() {
    xer.flush();
    return testing_support::read_file(dir / "Log.txt");
  }
  testing_support::TempDir dir;
};

}  // namespace engine_test
