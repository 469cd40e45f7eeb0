#include <gtest/gtest.h>

#include "installer/main.h"
#include "ui/xtim.h"

namespace {

std::string size_text(float size) {
  std::string s;
  set_size_str(size, &s);
  return s;
}

TEST(ProgressTexts, NumbersAndSizes) {
  char buf[16];
  int_to_str(7, buf, 3, 0);
  EXPECT_STREQ(buf, "007");
  int_to_str(-42, buf, 1, 0);
  EXPECT_STREQ(buf, "-42");
  int_to_str(5, buf, 1, 1);
  EXPECT_STREQ(buf, "+5");
  int_to_str(-2147483647 - 1, buf, 1, 0);
  EXPECT_STREQ(buf, "-2147483648");

  EXPECT_EQ(one_decimal_str(5.25f, 2), " 5.3");
  EXPECT_EQ(one_decimal_str(0.0f, 2), " 0.0");
  EXPECT_EQ(one_decimal_str(99.96f, 2), "100.0");
  EXPECT_EQ(one_decimal_str(40.04f, 2), "40.0");

  EXPECT_EQ(size_text(734003), "734.0 Meg");
  EXPECT_EQ(size_text(2500000), "2.5 Gig");
  EXPECT_EQ(size_text(12340), "12.3 Meg");
  EXPECT_EQ(size_text(999999), "1000.0 Meg");
  EXPECT_EQ(size_text(1000000), "1.0 Gig");
  EXPECT_EQ(size_text(0), "0.0 Meg");
}

TEST(ProgressTexts, TimeLeft) {
  EXPECT_EQ(time_left_str(90.4f), "90 seconds");
  EXPECT_EQ(time_left_str(119.9f), "119 seconds");
  EXPECT_EQ(time_left_str(120), "2 minutes");
  EXPECT_EQ(time_left_str(7199), "119 minutes");
  EXPECT_EQ(time_left_str(7200), "2 hours");
}

// The stream-count rule on a fake clock: an install starts with two
// streams and grows by one per finished entry while the rate is high.
class StreamRule : public ::testing::Test {
 protected:
  void SetUp() override {
    installer_state_reset();
    xtim_class::fake_microsecs = 0;
    xtim.reset();
    xtim.xtim_update();
    xtim_class::fake_microsecs = 10 * 1000000;  // 10 s into the install
    xtim.xtim_update();
    for (int s = 0; s < 4; ++s) next.stream[s].phase = s < 2 ? stream_phase::waiting : stream_phase::idle;
    next.star_time = 0;
  }
  void TearDown() override {
    xtim_class::fake_microsecs = -1;
    xtim.reset();
    installer_state_reset();
  }
  int active() const { return next.active_streams(); }
  static bool waiting(int s) { return next.stream[s].phase == stream_phase::waiting; }
};

TEST_F(StreamRule, RateOfFiftyKeepsTwoAndAboveGrowsToFour) {
  next.stream[0].phase = stream_phase::working;
  next.comp_down = 500;  // exactly 50 per second over 10 s
  next_stream_rule(0);
  EXPECT_EQ(active(), 2);
  EXPECT_TRUE(waiting(0));

  next.comp_down = 501;  // 50.1 per second
  next_stream_rule(0);
  EXPECT_EQ(active(), 3);
  EXPECT_TRUE(waiting(2));
  next_stream_rule(1);
  EXPECT_EQ(active(), 4);
  next_stream_rule(2);  // targets above four still mean four
  EXPECT_EQ(active(), 4);
}

TEST_F(StreamRule, PreferenceShrinksOneStreamPerFinishedEntry) {
  for (int s = 0; s < 4; ++s) next.stream[s].phase = stream_phase::working;
  stg.stream_count = 1;
  next_stream_rule(3);
  EXPECT_FALSE(next.stream[3].active());
  next_stream_rule(0);
  EXPECT_FALSE(next.stream[0].active());
  next_stream_rule(1);
  EXPECT_EQ(active(), 1);
  EXPECT_TRUE(next.stream[2].active());
  // The last stream keeps going and takes the next entry.
  next.stream[2].phase = stream_phase::working;
  next_stream_rule(2);
  EXPECT_TRUE(waiting(2));
}

TEST_F(StreamRule, ElapsedTimeBelowOneSecondCountsAsOne) {
  next.star_time = 9.8f;  // 0.2 s ago
  next.comp_down = 60;    // 60 per second when divided by 1, 300 by 0.2
  next_stream_rule(0);
  EXPECT_EQ(active(), 3);
}

}  // namespace
