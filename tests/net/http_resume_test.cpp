// Continuing a cut body with a range request, and the pool's bandwidth cap,
// against the scripted fault server (serving real files with cuts, range
// answers and their faults) and nginx.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tests/net/net_fixture.h"

namespace {

using testing_support::noise;
using testing_support::read_file;
using testing_support::write_file;

// A sink that keeps what it is given and how each body began.
class RecordingSink : public body_sink {
 public:
  void start(std::int64_t length) override {
    starts.push_back(length);
    body.clear();
  }
  void take(const char* data, std::size_t n) override { body.append(data, n); }
  bool ready() const override { return true; }
  void resume(std::int64_t offset) override { resumes.push_back(offset); }
  void validator(const std::string& value) override { seen_validator = value; }
  std::vector<std::int64_t> starts, resumes;
  std::string body, seen_validator;
};

class ResumeTest : public nettest::PoolTest {
 protected:
  void SetUp() override {
    PoolTest::SetUp();
    write_file(files / "file.bin", content);
    server = std::make_unique<testservers::FaultServer>("127.0.0.1", files.path());
    ASSERT_TRUE(server->ok()) << server->failure();
  }
  // One transfer of `path` into `sink`, polled as the frame loop does.
  int fetch(const std::string& path, RecordingSink& sink, std::int64_t from = 0, const std::string& validator = "") {
    transfer_options o;
    o.sink = &sink;
    if (from > 0) o.continue_from(from, validator);
    http.prepare(2, o);
    std::string dest = dir / "error.html";
    return run(2, server->host(), path, dest, nullptr, 30.0);
  }
  std::int64_t sent() {
    std::string dest = dir / "sent.txt";
    EXPECT_EQ(run(3, server->host(), "/sent", dest), 1);
    return std::stoll(read_file(dest));
  }

  testing_support::TempDir files;
  const std::string content = noise(600000, 7);
  std::unique_ptr<testservers::FaultServer> server;
};

// A body cut after N bytes goes on with "Range: bytes=N-" and If-Range: a
// 206 starting at N continues it (resume, not start), and the bytes joined
// are the file, sent once.
TEST_F(ResumeTest, ACutBodyContinuesWithTheRest) {
  RecordingSink sink;
  EXPECT_EQ(fetch("/files/cut=250000/file.bin", sink), 2);
  ASSERT_EQ(sink.body.size(), 250000u);
  ASSERT_EQ(sink.starts.size(), 1u);
  ASSERT_FALSE(sink.seen_validator.empty());
  EXPECT_EQ(sink.seen_validator.front(), '"') << "a strong ETag is preferred";

  EXPECT_EQ(fetch("/files/-/file.bin", sink, 250000, sink.seen_validator), 1) << log();
  EXPECT_EQ(sink.starts.size(), 1u) << "a range answer is no new start";
  EXPECT_EQ(sink.resumes, std::vector<std::int64_t>{250000});
  EXPECT_TRUE(sink.body == content);
  EXPECT_EQ(sent(), 600000);
}

// The server does not do ranges (200), or the file changed (If-Range does
// not match): the whole body comes and the sink starts again.
TEST_F(ResumeTest, AWholeAnswerToARangeStartsAgain) {
  RecordingSink sink;
  sink.body = content.substr(0, 1000);
  EXPECT_EQ(fetch("/files/norange/file.bin", sink, 1000, "\"whatever\""), 1) << log();
  EXPECT_EQ(sink.starts.size(), 1u);
  EXPECT_TRUE(sink.resumes.empty());
  EXPECT_TRUE(sink.body == content);

  RecordingSink changed;
  EXPECT_EQ(fetch("/files/-/file.bin", changed, 1000, "\"an-older-version\""), 1) << log();
  EXPECT_EQ(changed.starts.size(), 1u);
  EXPECT_TRUE(changed.resumes.empty());
  EXPECT_TRUE(changed.body == content);
}

// A range answer that does not start at the byte asked for cannot be fitted
// to what came before: refused, nothing of it given to the sink. A 416 is a
// failure as any other status.
TEST_F(ResumeTest, ARangeAnswerStartingElsewhereOrA416Fails) {
  RecordingSink sink;
  EXPECT_EQ(fetch("/files/badrange/file.bin", sink, 1000, ""), 2);
  EXPECT_TRUE(sink.resumes.empty());
  EXPECT_TRUE(sink.starts.empty());
  EXPECT_TRUE(sink.body.empty());
  EXPECT_NE(log().find("asked from byte 1000"), std::string::npos) << log();

  RecordingSink past;
  EXPECT_EQ(fetch("/files/-/file.bin", past, 600000, ""), 2);
  EXPECT_EQ(http.failure(2).http_status, 416);
  EXPECT_TRUE(past.starts.empty() && past.resumes.empty());
}

// The request bytes: without a resume exactly the usual fields; with one,
// If-Range and Range join them in their order.
TEST_F(ResumeTest, TheRequestCarriesRangeOnlyWhenContinuing) {
  RecordingSink plain, ranged;
  EXPECT_EQ(fetch("/echo", plain), 1);
  EXPECT_EQ(plain.body.find("Range"), std::string::npos) << plain.body;
  EXPECT_EQ(fetch("/echo", ranged, 77, "\"v9\""), 1);
  EXPECT_NE(ranged.body.find("\r\nHost: " + server->host() + "\r\nIf-Range: \"v9\"\r\nRange: bytes=77-\r\nUser-agent: "),
            std::string::npos)
      << ranged.body;
}

class NginxResumeTest : public nettest::PoolTest {};

// nginx answers a range with its ETag as If-Range with 206, and with 200
// when the ETag names another version.
TEST_F(NginxResumeTest, NginxContinuesOrSendsTheWholeFile) {
  testing_support::TempDir root;
  const std::string content = noise(300000, 9);
  write_file(root / "f.bin", content);
  testservers::NginxServer web(root.path());
  ASSERT_TRUE(web.ok()) << web.failure();
  std::string dest = dir / "error.html";
  RecordingSink first;
  http.prepare(2, {0, &first, {}});
  ASSERT_EQ(run(2, web.host(), "/f.bin", dest), 1);
  ASSERT_FALSE(first.seen_validator.empty());

  RecordingSink rest;
  rest.body = content.substr(0, 123456);
  transfer_options o;
  o.sink = &rest;
  o.continue_from(123456, first.seen_validator);
  http.prepare(2, o);
  EXPECT_EQ(run(2, web.host(), "/f.bin", dest), 1) << log();
  EXPECT_EQ(rest.resumes, std::vector<std::int64_t>{123456});
  EXPECT_TRUE(rest.body == content);

  RecordingSink other;
  transfer_options changed;
  changed.sink = &other;
  changed.continue_from(123456, "\"0-0\"");
  http.prepare(2, changed);
  EXPECT_EQ(run(2, web.host(), "/f.bin", dest), 1) << log();
  EXPECT_EQ(other.starts.size(), 1u);
  EXPECT_TRUE(other.body == content);
}

// The cap holds over every transfer together and shares the allowance:
// three bodies fetched at once under 1,000,000 bytes a second take about
// their total over that rate, end close together, and the poll loop never
// waits long in wait_for_activity, nor comes back from it for every few
// bytes the shares grow by (thousands of frames a second, each reading a
// sliver, while the sockets hold more than the cap allows).
TEST_F(ResumeTest, TheCapHoldsOverAllTransfersAndSharesThem) {
  http.max_rate = 1000000;
  const int kBytes = 1000000;
  std::string dests[3] = {dir / "a", dir / "b", dir / "c"};
  int results[3] = {0, 0, 0};
  double ended[3] = {0, 0, 0};
  const auto t0 = std::chrono::steady_clock::now();
  const auto secs = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); };
  double longest_wait = 0;
  int frames = 0;
  while (secs() < 20 && (results[0] == 0 || results[1] == 0 || results[2] == 0)) {
    ++frames;
    for (int i = 0; i < 3; ++i) {
      if (results[i] != 0) continue;
      results[i] = http.net_check(2 + i, server->host(), "/ok/" + std::to_string(kBytes), dests[i]);
      if (results[i] != 0) ended[i] = secs();
    }
    const double before = secs();
    http.wait_for_activity(16);
    longest_wait = std::max(longest_wait, secs() - before);
  }
  for (int r : results) EXPECT_EQ(r, 1) << log();
  const double last = std::max({ended[0], ended[1], ended[2]});
  const double first = std::min({ended[0], ended[1], ended[2]});
  EXPECT_GE(last, 2.7) << "3,000,000 bytes at 1,000,000 a second";
  EXPECT_LE(last, 4.0);
  EXPECT_GE(first, 0.8 * last) << "one transfer took the others' share";
  EXPECT_LT(longest_wait, 0.5) << "the poll loop waited for the allowance instead of coming back";
  // A receive of a quarter of a share's burst (0.1 s) comes about every
  // 25 ms per transfer: a few hundred frames a second at most.
  EXPECT_LT(frames, 400 * last) << frames << " frames in " << last << " s";
}

}  // namespace
