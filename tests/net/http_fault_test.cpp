// The download pool against the scripted fault server: one case per fault,
// checking the answer of net_check, the destination file and the failure
// report in the log.
#include <cerrno>
#include <chrono>

#include "tests/net/net_fixture.h"
#include "tests/servers/servers.h"

namespace {

using nettest::PoolTest;
using testing_support::exists;
using testing_support::read_file;

class FaultTest : public nettest::FaultServerTest {
 protected:
  // Fetches `path` into dest() on slot 1.
  int fetch(const std::string& path, int* polls = nullptr, double seconds = 10.0) {
    return run(1, server->host(), path, dest(), polls, seconds);
  }
  std::string dest() { return dir / "out.bin"; }
  std::string report_for(const std::string& path, int done, int complete, int err, int stat, int os_err,
                         const std::string& name, int num) {
    return report(dest(), server->host(), path, done, complete, err, stat, os_err, name, num);
  }
};

std::string pattern(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>(i % 251);
  return s;
}

TEST_F(FaultTest, SuccessfulTransferAndRequestBytes) {
  // (Whether the answer takes one poll or more depends on the scheduler:
  // OneBytePerWrite shows that a transfer goes on over many polls.)
  EXPECT_EQ(fetch("/ok/1000"), 1);
  EXPECT_EQ(read_file(dest()), pattern(1000));
  EXPECT_EQ(http.down[1], nullptr);
  EXPECT_EQ(log().find("HTTP Error"), std::string::npos);

  // The request exactly as the server received it.
  ASSERT_EQ(fetch("\\echo\\sub"), 1);
  EXPECT_EQ(read_file(dest()), "GET /echo/sub HTTP/1.1\r\nConnection: keep-alive\r\nHost: " + server->host() +
                                   "\r\nUser-agent: Installer-IBM/a-17\r\n\r\n");
}

TEST_F(FaultTest, NotFoundKeepsTheBodyAndReports) {
  EXPECT_EQ(fetch("/404"), 2);
  EXPECT_EQ(read_file(dest()), "There is no such file here.\n");
  EXPECT_EQ(http.down[1], nullptr);
  EXPECT_NE(log().find(report_for("/404", 1, 1, 0, 3, 0, "Not Found", 404)), std::string::npos) << log();
}

TEST_F(FaultTest, RefusedConnection) {
  const int port = testservers::free_port("127.0.0.1");
  const std::string host = "127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(run(2, host, "/file.zip", dest()), 2);
  EXPECT_FALSE(exists(dest()));
  EXPECT_NE(log().find(report(dest(), host, "/file.zip", 1, 0, 0, 3, 0, "", -1)), std::string::npos) << log();
}

TEST_F(FaultTest, UnresolvableHostFailsOnTheFirstCall) {
  std::string d = dest();
  EXPECT_EQ(http.net_check(0, "no-such-server.invalid", "/serverlist.txt", d), 2);
  EXPECT_EQ(http.down[0], nullptr);
  EXPECT_NE(log().find("Translated server no-such-server.invalid to IP addy: 0.0.0.0 and port = 80\n"),
            std::string::npos);
  EXPECT_NE(log().find(report(d, "no-such-server.invalid", "/serverlist.txt", 0, 0, 1, 0, 20011, "", 0)),
            std::string::npos)
      << log();

  // A port that is not a port cannot be reached either.
  EXPECT_EQ(http.net_check(0, "127.0.0.1:99999", "/a", d), 2);
  EXPECT_EQ(http.net_check(0, "127.0.0.1:", "/a", d), 2);
  EXPECT_NE(log().find("GetOSErr   =20011\n   response   = (#0)"), std::string::npos);
}

TEST_F(FaultTest, StallsEndByTimeOutWithoutReport) {
  http.time_out_secs = 0.5f;
  EXPECT_EQ(fetch("/stall"), 2);
  EXPECT_EQ(read_file(dest()), pattern(10));  // what came before the stall stays
  EXPECT_EQ(fetch("/stall-header"), 2);
  EXPECT_EQ(http.down[1], nullptr);
  EXPECT_EQ(log().find("HTTP Error"), std::string::npos);
}

TEST_F(FaultTest, PayloadRestartsTheClock) {
  // One byte every 200 ms for 3 s: slower in total than the time-out, but
  // never silent for longer than it.
  http.time_out_secs = 1.5f;
  EXPECT_EQ(fetch("/trickle"), 1);
  EXPECT_EQ(read_file(dest()), "slowly trickled");
}

TEST_F(FaultTest, BodyLongerThanAnnounced) {
  EXPECT_EQ(fetch("/longer"), 2);
  EXPECT_EQ(read_file(dest()), pattern(20));
  EXPECT_NE(log().find(report_for("/longer", 1, 0, 0, 3, 0, "OK", 200)), std::string::npos) << log();
}

TEST_F(FaultTest, BodyThatEndsEarlyFailsWhenThePeerCloses) {
  // Without waiting for the time-out: the server's close ends the response.
  EXPECT_EQ(fetch("/short", nullptr, 5.0), 2);
  EXPECT_EQ(read_file(dest()), pattern(40));
  EXPECT_NE(log().find(report_for("/short", 1, 0, 0, 3, 0, "OK", 200)), std::string::npos) << log();

  EXPECT_EQ(fetch("/nolength", nullptr, 5.0), 2);
  EXPECT_EQ(read_file(dest()), pattern(50));
  EXPECT_NE(log().find(report_for("/nolength", 1, 0, 0, 3, 0, "OK", 200)), std::string::npos);

  // Field names are not case-sensitive: a lower-case length is the length.
  EXPECT_EQ(fetch("/lowercase", nullptr, 5.0), 1);
  EXPECT_EQ(read_file(dest()), "hello");
  // Nor does a value need a blank after the colon.
  EXPECT_EQ(fetch("/nospace", nullptr, 5.0), 1);
  EXPECT_EQ(read_file(dest()), "hello");
  // Two spellings that disagree are refused.
  EXPECT_EQ(fetch("/mixedconflict", nullptr, 5.0), 2);

  EXPECT_EQ(fetch("/close", nullptr, 5.0), 2);
  EXPECT_NE(log().find(report_for("/close", 1, 0, 0, 3, 0, "", -1)), std::string::npos);
}

TEST_F(FaultTest, ResetMidBody) {
  EXPECT_EQ(fetch("/reset"), 2);
  EXPECT_NE(log().find(report_for("/reset", 1, 0, 0, 3, 0, "OK", 200)), std::string::npos) << log();
}

TEST_F(FaultTest, InterimResponsesBeforeTheFinalOne) {
  // In one receipt with the final response, in two, and with a length field
  // of its own that must not stand for the final body.
  for (const char* path : {"/interim", "/interim-split", "/interim-length"}) {
    EXPECT_EQ(fetch(path), 1) << path;
    EXPECT_EQ(read_file(dest()), "abcdefghijklmnopqrstuvwxyz") << path;
  }
}

TEST_F(FaultTest, OneBytePerWrite) {
  int polls = 0;
  EXPECT_EQ(fetch("/bytewise", &polls), 1);
  EXPECT_EQ(read_file(dest()), pattern(300));
  EXPECT_GT(polls, 10);
}

TEST_F(FaultTest, RepeatedFieldKeepsTheFirstValue) {
  std::map<std::string, std::string> fields = {{"Host", server->host()}};
  down_class d("127.0.0.1", static_cast<std::uint16_t>(server->port()), "/repeat", false, fields, nullptr, 0,
               dest().c_str());
  for (int i = 0; i < 5000 && d.GetStat() != 3; ++i) {
    d.DoProcessing();
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  EXPECT_EQ(d.GetStat(), 3);
  EXPECT_EQ(d.mFields["X-Mirror"], "first");
  EXPECT_EQ(d.mResponseNum, 200);
  EXPECT_EQ(d.GetResponseName(), "OK");
  EXPECT_EQ(d.mIncomingLength, 5);
  EXPECT_EQ(d.mReceivedPayload, 5);
  EXPECT_EQ(d.mFileErr, 0);

  EXPECT_EQ(fetch("/repeat"), 1);
  EXPECT_EQ(read_file(dest()), "hello");
}

TEST_F(FaultTest, StatusLineWithoutReasonPhrase) {
  EXPECT_EQ(fetch("/shortstatus"), 1);
  EXPECT_EQ(read_file(dest()), "hello");
  EXPECT_EQ(fetch("/shortstatus13"), 1);
  EXPECT_EQ(read_file(dest()), "hello");
}

TEST_F(FaultTest, MalformedResponsesAreRejectedAtOnce) {
  // Each fails promptly with EPROTO instead of waiting for the time-out or
  // trusting a length it cannot read.
  for (const char* path : {"/badstatus", "/conflict", "/endless", "/length/-5", "/length/abc", "/length/12abc",
                           "/length/%2B10", "/length/99999999999999999999", "/length/"}) {
    EXPECT_EQ(fetch(path, nullptr, 5.0), 2) << path;
    EXPECT_NE(log().find(std::string("   file       =") + path + "\n   IsDone     =1\n   IsComplete =0\n"
                         "   IsErr      =1\n   GetStat    =3\n   GetOSErr   =" + std::to_string(EPROTO)),
              std::string::npos)
        << path << "\n"
        << log();
  }
  // Blanks around the number are allowed, and a large header below the limit.
  EXPECT_EQ(fetch("/length/%20%2010%20"), 1);
  EXPECT_EQ(read_file(dest()), "0123456789");
  EXPECT_EQ(fetch("/bigheader"), 1);
  EXPECT_EQ(read_file(dest()), "hello");
}

TEST_F(FaultTest, ZeroLengthEndsAtTheHeader) {
  EXPECT_EQ(fetch("/ok/0"), 1);
  EXPECT_TRUE(exists(dest()));
  EXPECT_EQ(read_file(dest()), "");
}

TEST_F(FaultTest, DestinationFileErrors) {
  // A folder that does not exist: the file cannot be made.
  const std::string missing = dir / "no/such/folder/out.bin";
  EXPECT_EQ(run(3, server->host(), "/ok/100", missing), 2);
  const std::string lg = log();
  EXPECT_NE(lg.find("HTTP Error for " + missing + "\n"), std::string::npos) << lg;
  EXPECT_NE(lg.find("   IsErr      =1\n"), std::string::npos);
  EXPECT_NE(lg.find("   GetOSErr   =" + std::to_string(ENOENT) + "\n   response   =OK (#200)\n\n"),
            std::string::npos);
  EXPECT_FALSE(exists(missing));

  // The disk fills up during the body.
  plat::fault_arm(plat::Op::write, ENOSPC);
  EXPECT_EQ(fetch("/ok/100000"), 2);
  EXPECT_NE(log().find("   IsErr      =1\n   GetStat    =5\n   GetOSErr   =" + std::to_string(ENOSPC)),
            std::string::npos)
      << log();
}

TEST_F(FaultTest, TricklingBelowTheFloorCountsAsTimedOut) {
  // /trickle sends 5 bytes a second, never silent for long.
  http.time_out_secs = 30.0f;
  http.trickle_window_secs = 1.0f;
  http.trickle_floor_bytes_per_sec = 100.0;
  EXPECT_EQ(fetch("/trickle"), 2);
  EXPECT_TRUE(http.failure(1).timed_out);
  EXPECT_EQ(http.failure(1).http_status, 200);
  EXPECT_EQ(http.down[1], nullptr);
  EXPECT_EQ(log().find("HTTP Error"), std::string::npos);  // like any time-out

  // Above the floor the same transfer completes.
  http.trickle_floor_bytes_per_sec = 2.0;
  EXPECT_EQ(fetch("/trickle"), 1);
  EXPECT_EQ(read_file(dest()), "slowly trickled");
}

TEST_F(FaultTest, SizeLimitStopsOversizedBodies) {
  // An announced length above the limit fails before any file is made.
  http.prepare(1, {1000, nullptr, {}});
  EXPECT_EQ(fetch("/huge", nullptr, 5.0), 2);
  EXPECT_FALSE(exists(dest()));
  EXPECT_FALSE(http.failure(1).timed_out);
  EXPECT_EQ(http.failure(1).local_error, 0);  // the server's fault, not this machine's
  EXPECT_NE(log().find("refused: the server announced 1000000000000000 bytes, more than the 1000 expected\n"),
            std::string::npos)
      << log();
  EXPECT_NE(log().find("   GetOSErr   =" + std::to_string(EFBIG) + "\n"), std::string::npos) << log();

  // An endless body without a length stops at the limit, no byte beyond it.
  http.prepare(1, {200000, nullptr, {}});
  EXPECT_EQ(fetch("/flood", nullptr, 5.0), 2);
  EXPECT_EQ(read_file(dest()).size(), 200000u);
  EXPECT_NE(log().find("stopped: the body grew past the 200000 bytes expected\n"), std::string::npos) << log();

  // The limit was for one transfer only; within a limit all is as before.
  EXPECT_EQ(http.next_options[1].max_bytes, 0);
  http.prepare(1, {1000, nullptr, {}});
  EXPECT_EQ(fetch("/ok/1000"), 1);
  EXPECT_EQ(read_file(dest()), pattern(1000));
}

TEST_F(FaultTest, RedirectIsFollowedAndChunkedAnswersFailCleanly) {
  // A redirect leads to the file; its own body ("moved") is written nowhere.
  EXPECT_EQ(fetch("/redirect", nullptr, 5.0), 1);
  EXPECT_EQ(read_file(dest()), pattern(10));
  EXPECT_EQ(log().find("HTTP Error"), std::string::npos) << log();
  EXPECT_NE(log().find("301 from " + server->host() + "/redirect, redirected to " + server->host() + "/ok/10"),
            std::string::npos)
      << log();

  // A chunked body has no length and its framing is not the file: refused
  // at once rather than waiting for the time-out.
  int polls = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(fetch("/chunked", &polls, 5.0), 2);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_FALSE(http.failure(1).timed_out);
  EXPECT_NE(log().find(report_for("/chunked", 1, 0, 1, 3, EPROTO, "OK", 200)), std::string::npos) << log();
}

// 204 and 304 answers never carry a body: they end at their header and fail
// at once instead of waiting for the time-out.
TEST_F(FaultTest, AnswersWithoutABodyFailAtOnce) {
  for (const char* path : {"/nocontent", "/notmodified"}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fetch(path, nullptr, 20.0), 2) << path;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << path;
    EXPECT_FALSE(http.failure(1).timed_out) << path;
    EXPECT_EQ(http.failure(1).http_status, std::string(path) == "/nocontent" ? 204 : 304);
  }
}

TEST_F(FaultTest, RepeatedFailuresAreCountedInOneLine) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(fetch("/404"), 2);
  const std::string lg = log();
  const std::string first = report_for("/404", 1, 1, 0, 3, 0, "Not Found", 404);
  EXPECT_NE(lg.find(first), std::string::npos) << lg;
  EXPECT_EQ(lg.find(first, lg.find(first) + 1), std::string::npos) << lg;  // written once
  EXPECT_NE(lg.find("HTTP Error for " + dest() + " again (2 times)\n"), std::string::npos) << lg;
  EXPECT_NE(lg.find("HTTP Error for " + dest() + " again (3 times)\n"), std::string::npos) << lg;

  // Another file from the same server gets its own full report.
  EXPECT_EQ(fetch("/short", nullptr, 5.0), 2);
  EXPECT_NE(log().find(report_for("/short", 1, 0, 0, 3, 0, "OK", 200)), std::string::npos) << log();
}

using FaultDeathTest = FaultTest;

TEST_F(FaultDeathTest, ProgrammingErrorsAreFatal) {
  std::string d = dest();
  EXPECT_EXIT(http.net_check(6, server->host(), "/ok/1", d), ::testing::ExitedWithCode(1),
              "Too many download objects requested!");
  EXPECT_EXIT(http.net_check(-1, server->host(), "/ok/1", d), ::testing::ExitedWithCode(1),
              "Too many download objects requested!");
  EXPECT_EXIT(http.net_check(0, server->host() + "/", "/ok/1", d), ::testing::ExitedWithCode(1),
              "You have a dirchar at the end of the server name");
  EXPECT_EXIT(http.net_check(0, server->host(), "ok/1", d), ::testing::ExitedWithCode(1),
              "You do not have a dirchar at the beginning");
  EXPECT_EXIT(http.net_check(0, server->host(), "", d), ::testing::ExitedWithCode(1),
              "You do not have a dirchar at the beginning");
}

}  // namespace
