#include <gtest/gtest.h>

#include <cmath>

#include "ui/xtim.h"

namespace {

// Drives the timer on a fake clock, one frame per call.
class XtimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    xtim_class::fake_microsecs = 1000000;
    xtim_class::current_window = 0;
    xtim.reset();
  }
  void TearDown() override {
    xtim_class::fake_microsecs = -1;
    xtim.reset();
  }
  void frame(double seconds) {
    xtim_class::fake_microsecs += static_cast<std::int64_t>(seconds * 1e6);
    xtim.xtim_update();
  }
};

TEST_F(XtimTest, RealTimeStartsAtTheFirstUpdate) {
  xtim.xtim_update();
  EXPECT_FLOAT_EQ(xtim.real_time, 0.0f);
  frame(1.5);
  EXPECT_NEAR(xtim.real_time, 1.5f, 1e-6);
}

TEST_F(XtimTest, TickFlagsRiseOncePerPeriod) {
  xtim.xtim_update();
  int tenths = 0, seconds = 0, tens = 0;
  // 21 s of 30 ms frames.
  for (int i = 0; i < 700; ++i) {
    frame(0.03);
    tenths += xtim.act_puff10;
    seconds += xtim.act_puff1;
    tens += xtim.act_puff01;
    EXPECT_EQ(xtim.act_puff10, xtim.sim_puff10);
  }
  // A flag rises on the first frame past its period: with 30 ms frames the
  // 0.1 s tick falls every 4th frame (0.12 s), the 1 s tick every 34th
  // (1.02 s), the 10 s tick every 334th.
  EXPECT_EQ(tenths, 700 / 4);
  EXPECT_EQ(seconds, 700 / 34);
  EXPECT_EQ(tens, 700 / 334);
}

TEST_F(XtimTest, PeriodEstimateFollowsTheFramesSlowlyWithinBounds) {
  xtim.xtim_update();
  // Steady frames of 0.05 s: the estimate settles on their length.
  for (int i = 0; i < 400; ++i) frame(0.05);
  EXPECT_NEAR(xtim.prd_act, 0.05f, 0.002f);
  // A burst of very slow frames moves it only a little at first...
  const float before = xtim.prd_act;
  for (int i = 0; i < 10; ++i) frame(0.5);
  EXPECT_GT(xtim.prd_act, before);
  EXPECT_LT(xtim.prd_act, before * 1.2f);
  // ...and never near the slow frames' own length: the estimate is capped.
  for (int i = 0; i < 200; ++i) frame(0.5);
  EXPECT_GT(xtim.prd_act, 0.05f);
  EXPECT_LT(xtim.prd_act, 0.1f);
  // Very fast frames pull it down without reaching zero; the simulated
  // period follows the measured one.
  for (int i = 0; i < 2000; ++i) frame(0.0001);
  EXPECT_GT(xtim.prd_act, 0.0f);
  EXPECT_LT(xtim.prd_act, 0.002f);
  EXPECT_EQ(xtim.prd_sim, xtim.prd_act);
}

TEST_F(XtimTest, ModalWindowsDoNotMoveTheMainEstimate) {
  xtim.xtim_update();
  xtim_class::current_window = 995;
  for (int i = 0; i < 50; ++i) frame(0.5);
  EXPECT_FLOAT_EQ(xtim.prd_act, 0.02f);
  xtim_class::current_window = 0;
}

}  // namespace
