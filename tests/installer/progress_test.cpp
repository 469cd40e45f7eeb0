#include <gtest/gtest.h>

#include <limits>

#include "installer/main.h"
#include "installer/progress_json.h"
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

// The JSON progress lines: every text a server or a path can bring stays a
// valid JSON string (quotes, backslashes, control characters, bytes that are
// not UTF-8), an unknown time left is null, and the pacing writes a line at
// every change of state or status but at most once a second otherwise.

namespace {

TEST(ProgressJson, TextsAreEscapedAndAnUnknownTimeIsNull) {
  progress_report r;
  r.state = "installing";
  r.status = "say \"hi\"\\\n\x01\x7f";
  r.file = std::string("caf\xc3\xa9 \xff\xc3 \xed\xa0\x80.zip");
  r.files_done = 3;
  r.files_total = 7;
  r.bytes_received = 4000;
  r.bytes_total = 9000;
  r.rate = 1234.6;
  EXPECT_EQ(progress_json_line(r),
            "{\"state\":\"installing\",\"status\":\"say \\\"hi\\\"\\\\\\n\\u0001\\u007f\",\"files_done\":3,"
            "\"files_total\":7,\"bytes_received\":4000,\"bytes_total\":9000,\"rate\":1235,\"seconds_left\":null,"
            "\"file\":\"caf\xc3\xa9 \\ufffd\\ufffd \\ufffd\\ufffd\\ufffd.zip\"}");
  r.seconds_left = 61.4;
  r.rate = std::numeric_limits<double>::quiet_NaN();
  const std::string line = progress_json_line(r);
  EXPECT_NE(line.find("\"seconds_left\":61,"), std::string::npos) << line;
  EXPECT_NE(line.find("\"rate\":0,"), std::string::npos) << line;
}

TEST(ProgressJson, PacerWritesChangesAtOnceAndProgressOnceASecond) {
  progress_json_pacer pacer;
  progress_report r;
  r.state = "checking";
  r.status = "connecting";
  EXPECT_TRUE(pacer.due(r, 0.0));
  EXPECT_FALSE(pacer.due(r, 0.1));
  EXPECT_FALSE(pacer.due(r, 5.0));  // nothing changes while not installing
  r.status = "50% done checking";
  EXPECT_TRUE(pacer.due(r, 5.1));
  r.state = "installing";
  EXPECT_TRUE(pacer.due(r, 5.2));
  r.files_done = 1;
  EXPECT_FALSE(pacer.due(r, 5.9));
  EXPECT_TRUE(pacer.due(r, 6.2));
  EXPECT_FALSE(pacer.due(r, 6.3));
  r.state = "complete";
  EXPECT_TRUE(pacer.due(r, 6.4));
}

}  // namespace
