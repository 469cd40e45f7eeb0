// Persistent connections of the download pool: a slot keeps its connection
// after a complete response and sends the next file's request on it. Each
// case counts the connections the server accepted, to prove reuse (or its
// absence), against the fault server and a real nginx.
#include <cstdlib>
#include <regex>
#include <set>
#include <thread>

#include "tests/net/net_fixture.h"
#include "tests/servers/servers.h"

namespace {

using nettest::PoolTest;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

std::string pattern(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>(i % 251);
  return s;
}

class KeepAliveTest : public nettest::FaultServerTest {
 protected:
  void SetUp() override {
    FaultServerTest::SetUp();
    if (HasFatalFailure()) return;
    before = accepts();
  }
  // The connections the fault server has accepted so far. Asked on slot 0
  // with its own connection (the answer says "Connection: close"), which is
  // counted too.
  int accepts() {
    const std::string d = dir / "accepts.txt";
    if (run(0, server->host(), "/accepts", d) != 1) return -1;
    return std::atoi(read_file(d).c_str());
  }
  // Connections accepted since SetUp, the questions about them left out.
  int connections() {
    const int now = accepts();
    return now - before - 1;
  }
  // Fetches `path` on slot 2 into a file of its own; 1 done, 2 failed.
  int fetch(const std::string& path, const std::string& name) { return run(2, server->host(), path, dir / name); }

  int before = 0;
};

TEST_F(KeepAliveTest, OneConnectionCarriesEveryFile) {
  for (int i = 0; i < 5; ++i) {
    const int n = 1000 + i * 777;
    ASSERT_EQ(fetch("/ka/ok/" + std::to_string(n), "f" + std::to_string(i)), 1) << i;
    EXPECT_EQ(read_file(dir / ("f" + std::to_string(i))), pattern(n)) << i;
    EXPECT_EQ(http.down[2], nullptr);
  }
  EXPECT_EQ(connections(), 1);
  EXPECT_EQ(log().find("HTTP Error"), std::string::npos) << log();
}

TEST_F(KeepAliveTest, RequestAsksToKeepTheConnection) {
  ASSERT_EQ(fetch("/ka/echo", "echo"), 1);
  EXPECT_EQ(read_file(dir / "echo"), "GET /ka/echo HTTP/1.1\r\nConnection: keep-alive\r\nHost: " + server->host() +
                                         "\r\nUser-agent: Installer-IBM/a-17\r\n\r\n");
}

TEST_F(KeepAliveTest, OffSendsTheOneRequestPerConnection) {
  http.keep_alive = 0;
  ASSERT_EQ(fetch("/echo", "echo"), 1);
  EXPECT_EQ(read_file(dir / "echo"), "GET /echo HTTP/1.1\r\nConnection: close\r\nHost: " + server->host() +
                                         "\r\nUser-agent: Installer-IBM/a-17\r\n\r\n");
  // The server would keep the connection; this side does not.
  ASSERT_EQ(fetch("/ka/ok/100", "a"), 1);
  ASSERT_EQ(fetch("/ka/ok/100", "b"), 1);
  EXPECT_EQ(read_file(dir / "b"), pattern(100));
  EXPECT_EQ(connections(), 3);
}

TEST_F(KeepAliveTest, ServerClosingTheKeptConnectionBetweenFiles) {
  ASSERT_EQ(fetch("/ka/last/500", "a"), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the close has arrived
  ASSERT_EQ(fetch("/ka/ok/700", "b"), 1);
  EXPECT_EQ(read_file(dir / "b"), pattern(700));
  // The same, with the next request sent at once (the close may arrive
  // before or after it): the file still arrives.
  ASSERT_EQ(fetch("/ka/last/500", "c"), 1);
  ASSERT_EQ(fetch("/ka/ok/900", "d"), 1);
  EXPECT_EQ(read_file(dir / "d"), pattern(900));
  EXPECT_EQ(connections(), 3);
  EXPECT_EQ(log().find("HTTP Error"), std::string::npos) << log();
}

TEST_F(KeepAliveTest, ConnectionCloseAnswerIsNotReused) {
  ASSERT_EQ(fetch("/ka/closing/300", "a"), 1);
  ASSERT_EQ(fetch("/ka/ok/300", "b"), 1);
  ASSERT_EQ(fetch("/ka/closing/300", "c"), 1);
  EXPECT_EQ(read_file(dir / "c"), pattern(300));
  // ok, then closing on the same connection; then a fresh one.
  EXPECT_EQ(connections(), 2);
  EXPECT_EQ(http.kept[2].socket, nullptr);
}

TEST_F(KeepAliveTest, Http10AnswerIsNotReused) {
  ASSERT_EQ(fetch("/ka/http10/300", "a"), 1);
  ASSERT_EQ(fetch("/ka/http10/300", "b"), 1);
  EXPECT_EQ(read_file(dir / "b"), pattern(300));
  EXPECT_EQ(connections(), 2);
}

TEST_F(KeepAliveTest, ClosedBeforeTheFirstByteIsRetriedOnAFreshConnection) {
  ASSERT_EQ(fetch("/ka/ok/100", "a"), 1);
  // The kept connection is closed on this request without a byte of answer.
  ASSERT_EQ(fetch("/ka/drop/2000", "b"), 1);
  EXPECT_EQ(read_file(dir / "b"), pattern(2000));
  EXPECT_EQ(connections(), 2);
  EXPECT_EQ(log().find("HTTP Error"), std::string::npos) << log();
}

TEST_F(KeepAliveTest, SilentKeptConnectionIsRetriedOnAFreshOne) {
  http.kept_silence_secs = 0.3f;
  ASSERT_EQ(fetch("/ka/ok/100", "a"), 1);
  // The server keeps the connection open but never answers on it again.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(fetch("/ka/mute/3000", "b"), 1);
  EXPECT_EQ(read_file(dir / "b"), pattern(3000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(connections(), 2);
  EXPECT_EQ(log().find("HTTP Error"), std::string::npos) << log();
}

TEST_F(KeepAliveTest, FailureAfterSomeBytesIsReportedNotRetried) {
  ASSERT_EQ(fetch("/ka/ok/100", "a"), 1);
  const std::string dest = dir / "b";
  EXPECT_EQ(fetch("/ka/cut/2000", "b"), 2);
  EXPECT_EQ(read_file(dest), pattern(1000));
  EXPECT_NE(log().find(report(dest, server->host(), "/ka/cut/2000", 1, 0, 0, 3, 0, "OK", 200)), std::string::npos)
      << log();
  EXPECT_EQ(connections(), 1);  // no second attempt
  // The slot goes on with a fresh connection.
  ASSERT_EQ(fetch("/ka/ok/50", "c"), 1);
  EXPECT_EQ(read_file(dir / "c"), pattern(50));
}

TEST_F(KeepAliveTest, AnotherServerGetsItsOwnConnection) {
  testservers::FaultServer other("127.0.0.2");
  ASSERT_TRUE(other.ok()) << other.failure();
  ASSERT_EQ(fetch("/ka/ok/100", "a"), 1);
  ASSERT_EQ(run(2, other.host(), "/ka/ok/200", dir / "b"), 1);
  EXPECT_EQ(read_file(dir / "b"), pattern(200));
  ASSERT_EQ(fetch("/ka/ok/300", "c"), 1);
  EXPECT_EQ(read_file(dir / "c"), pattern(300));
  // Back on the first server: its connection was closed when the slot went
  // to the other one.
  EXPECT_EQ(connections(), 2);
}

// ---------------------------------------------------------------- nginx

// The connection numbers ("conn=") of the requests for `path` in the log.
std::vector<std::string> connections_of(const std::string& log, const std::string& path) {
  std::vector<std::string> out;
  const std::regex line("\"GET " + path + " HTTP/1.1\" [^\\n]* conn=([0-9]+) ");
  for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it)
    out.push_back((*it)[1]);
  return out;
}

class NginxKeepAliveTest : public PoolTest {
 protected:
  void SetUp() override {
    PoolTest::SetUp();
    for (int i = 0; i < 4; ++i) write_file(root / ("f" + std::to_string(i) + ".bin"), pattern(3000 + i * 50000));
  }
  TempDir root;
};

TEST_F(NginxKeepAliveTest, FilesShareOneConnection) {
  testservers::NginxServer web(root.path());
  ASSERT_TRUE(web.ok()) << web.failure();
  std::set<std::string> conns;
  for (int i = 0; i < 4; ++i) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    ASSERT_EQ(run(3, web.host(), "/" + name, dir / name), 1) << i;
    EXPECT_EQ(read_file(dir / name), read_file(root / name)) << i;
  }
  const std::string log = web.access_log();
  for (int i = 0; i < 4; ++i) {
    const auto c = connections_of(log, "/f" + std::to_string(i) + "\\.bin");
    ASSERT_EQ(c.size(), 1u) << log;
    conns.insert(c[0]);
  }
  EXPECT_EQ(conns.size(), 1u) << log;
}

TEST_F(NginxKeepAliveTest, ServerEndsTheConnectionAfterTwoRequests) {
  // The second answer on a connection says "Connection: close".
  testservers::NginxServer web(root.path(), "127.0.0.1", "keepalive_requests 2;");
  ASSERT_TRUE(web.ok()) << web.failure();
  for (int i = 0; i < 3; ++i) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    ASSERT_EQ(run(3, web.host(), "/" + name, dir / name), 1) << i;
    EXPECT_EQ(read_file(dir / name), read_file(root / name)) << i;
  }
  const std::string log = web.access_log();
  const auto a = connections_of(log, "/f0\\.bin"), b = connections_of(log, "/f1\\.bin"),
             c = connections_of(log, "/f2\\.bin");
  ASSERT_TRUE(a.size() == 1 && b.size() == 1 && c.size() == 1) << log;
  EXPECT_EQ(a[0], b[0]);
  EXPECT_NE(b[0], c[0]);
}

TEST_F(NginxKeepAliveTest, IdleConnectionClosedByTheServer) {
  testservers::NginxServer web(root.path(), "127.0.0.1", "keepalive_timeout 1s;");
  ASSERT_TRUE(web.ok()) << web.failure();
  ASSERT_EQ(run(3, web.host(), "/f0.bin", dir / "f0.bin"), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  ASSERT_EQ(run(3, web.host(), "/f1.bin", dir / "f1.bin"), 1);
  EXPECT_EQ(read_file(dir / "f1.bin"), read_file(root / "f1.bin"));
  const std::string log = web.access_log();
  const auto a = connections_of(log, "/f0\\.bin"), b = connections_of(log, "/f1\\.bin");
  ASSERT_TRUE(a.size() == 1 && b.size() == 1) << log;
  EXPECT_NE(a[0], b[0]);
  EXPECT_EQ(this->log().find("HTTP Error"), std::string::npos);
}

}  // namespace
