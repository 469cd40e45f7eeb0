// Start-up when the window cannot be made: the graphics failure is a fatal
// alert shown without a window (standard error and the log), and the
// process ends with a failure status. Needs no display: the window call is
// failed at the platform seam before it reaches the window system.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/fault.h"
#include "support/hl_init.h"
#include "ui/gl_init.h"

namespace {

TEST(GlStartDeathTest, NoWindowEndsTheProgramWithTheGraphicsMessage) {
  EXPECT_EXIT(
      {
        plat::fault_arm(plat::Op::window, ENODEV);
        const char* argv[] = {"gl_start_tests"};
        MACIBM_init(1, argv);
      },
      ::testing::ExitedWithCode(1), "I could not set up the graphics for Skyvane!");
}

}  // namespace
