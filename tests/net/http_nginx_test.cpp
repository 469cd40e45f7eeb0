// The download pool against a real nginx on loopback, and through a real
// proxy (tinyproxy).
#include <atomic>
#include <random>
#include <thread>

#include "tests/net/net_fixture.h"
#include "tests/servers/servers.h"

namespace {

using nettest::PoolTest;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

std::string random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// One nginx for the whole suite, serving a folder of known files.
class NginxTest : public PoolTest {
 protected:
  static void SetUpTestSuite() {
    root = new TempDir();
    write_file(*root / "small.txt", "a small file\n");
    write_file(*root / "empty.bin", "");
    write_file(*root / "big.bin", random_bytes(6 * 1000 * 1000 + 7, 1));
    write_file(*root / "with space/a file.bin", random_bytes(5000, 2));
    for (int i = 0; i < 6; ++i) write_file(*root / ("many/" + std::to_string(i) + ".bin"), random_bytes(300000 + i, 10 + i));
    server = new testservers::NginxServer(root->path());
  }
  static void TearDownTestSuite() {
    delete server;
    delete root;
  }
  void SetUp() override {
    PoolTest::SetUp();
    ASSERT_TRUE(server->ok()) << server->failure();
  }
  static TempDir* root;
  static testservers::NginxServer* server;
};
TempDir* NginxTest::root = nullptr;
testservers::NginxServer* NginxTest::server = nullptr;

TEST_F(NginxTest, SmallAndEmptyFiles) {
  EXPECT_EQ(run(0, server->host(), "/small.txt", dir / "small.txt"), 1);
  EXPECT_EQ(read_file(dir / "small.txt"), "a small file\n");
  EXPECT_EQ(http.down[0], nullptr);

  EXPECT_EQ(run(0, server->host(), "/empty.bin", dir / "empty.bin"), 1);
  EXPECT_TRUE(testing_support::exists(dir / "empty.bin"));
  EXPECT_EQ(read_file(dir / "empty.bin"), "");
  EXPECT_EQ(log().find("HTTP Error"), std::string::npos);

  // The request reached nginx as HTTP/1.1 with our user-agent.
  EXPECT_NE(server->access_log().find("\"GET /small.txt HTTP/1.1\" 200 13 \"-\" \"Installer-IBM/a-17\""),
            std::string::npos)
      << server->access_log();
}

TEST_F(NginxTest, LargeFileOverManyPollsWithProgress) {
  const std::string want = read_file(*root / "big.bin");
  const std::int64_t size = static_cast<std::int64_t>(want.size());
  std::string dest = dir / "big.bin";
  int polls = 0, result = 0;
  std::int64_t last = 0;
  bool saw_length = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (result == 0 && std::chrono::steady_clock::now() < deadline) {
    result = http.net_check(2, server->host(), "/big.bin", dest);
    ++polls;
    if (result != 0) break;
    // What the progress bars read while the transfer runs.
    ASSERT_NE(http.down[2], nullptr);
    const down_class& d = *http.down[2];
    if (d.mIncomingLength != -1) {
      EXPECT_EQ(d.mIncomingLength, size);
      saw_length = true;
    }
    EXPECT_GE(d.mReceivedPayload, last);
    EXPECT_LE(d.mReceivedPayload, size);
    last = d.mReceivedPayload;
  }
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(saw_length);
  EXPECT_GT(polls, static_cast<int>(size / 65536));  // at most 64 KiB per poll
  EXPECT_EQ(http.down[2], nullptr);
  EXPECT_TRUE(read_file(dest) == want);
}

TEST_F(NginxTest, PathWithSpaces) {
  EXPECT_EQ(run(1, server->host(), "/with space/a file.bin", dir / "spaced.bin"), 1);
  EXPECT_TRUE(read_file(dir / "spaced.bin") == read_file(*root / "with space/a file.bin"));
  EXPECT_NE(server->access_log().find("GET /with%20space/a%20file.bin HTTP/1.1"), std::string::npos);
}

TEST_F(NginxTest, SixSlotsAtOnce) {
  std::string dests[6];
  int result[6] = {0, 0, 0, 0, 0, 0};
  int running = 6;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (running > 0 && std::chrono::steady_clock::now() < deadline) {
    for (int slot = 0; slot < 6; ++slot) {
      if (result[slot] != 0) continue;
      dests[slot] = dir / ("slot" + std::to_string(slot) + ".bin");
      result[slot] = http.net_check(slot, server->host(), "/many/" + std::to_string(slot) + ".bin", dests[slot]);
      if (result[slot] != 0) --running;
    }
  }
  for (int slot = 0; slot < 6; ++slot) {
    EXPECT_EQ(result[slot], 1) << slot;
    EXPECT_EQ(http.down[slot], nullptr);
    EXPECT_TRUE(read_file(dests[slot]) == read_file(*root / ("many/" + std::to_string(slot) + ".bin"))) << slot;
  }
}

TEST_F(NginxTest, MissingFileIsAFailureWithTheErrorPage) {
  const std::string dest = dir / "missing.zip";
  EXPECT_EQ(run(4, server->host(), "/no/such.zip", dest), 2);
  EXPECT_NE(read_file(dest).find("404 Not Found"), std::string::npos);
  EXPECT_NE(log().find(report(dest, server->host(), "/no/such.zip", 1, 1, 0, 3, 0, "Not Found", 404)),
            std::string::npos)
      << log();
  // A server's refusal is not this machine's fault.
  EXPECT_EQ(http.failure(4).local_error, 0);
  EXPECT_EQ(http.failure(4).http_status, 404);
  // The slot serves the next transfer.
  EXPECT_EQ(run(4, server->host(), "/small.txt", dir / "again.txt"), 1);
}

// A destination that cannot be created is a local cause, whatever the server
// answered; the next transfer in the slot starts with a clean record.
TEST_F(NginxTest, UnwritableDestinationIsALocalFailure) {
  const std::string dest = dir / "no such folder/small.txt";
  EXPECT_EQ(run(3, server->host(), "/small.txt", dest), 2);
  EXPECT_EQ(http.failure(3).local_error, ENOENT);
  EXPECT_EQ(http.failure(3).http_status, 200);
  EXPECT_EQ(run(3, server->host(), "/small.txt", dir / "fine.txt"), 1);
  EXPECT_EQ(http.failure(3).local_error, 0);
}

TEST_F(NginxTest, AnotherLoopbackAddress) {
  testservers::NginxServer other(root->path(), "127.0.0.2");
  ASSERT_TRUE(other.ok()) << other.failure();
  EXPECT_EQ(run(3, other.host(), "/small.txt", dir / "other.txt"), 1);
  EXPECT_EQ(read_file(dir / "other.txt"), "a small file\n");
  EXPECT_NE(other.access_log().find("\"GET /small.txt HTTP/1.1\" 200"), std::string::npos);
}

TEST_F(NginxTest, ThroughAProxy) {
  testservers::TinyProxy proxy;
  ASSERT_TRUE(proxy.ok()) << proxy.failure();
  http.ProxyHost = proxy.address();
  http.ProxyPort_int = proxy.port();
  EXPECT_EQ(run(0, server->host(), "/with space/a file.bin", dir / "proxied.bin"), 1);
  EXPECT_TRUE(read_file(dir / "proxied.bin") == read_file(*root / "with space/a file.bin"));
  // The proxy saw the absolute form of the request and fetched it for us.
  EXPECT_NE(proxy.log().find("GET http://" + server->host() + "/with%20space/a%20file.bin HTTP/1.1"),
            std::string::npos)
      << proxy.log();

  // A proxy that is not listening: the transfer fails, it does not go direct.
  const int dead = testservers::free_port("127.0.0.1");
  http.ProxyPort_int = dead;
  EXPECT_EQ(run(0, server->host(), "/small.txt", dir / "direct.txt"), 2);
}

}  // namespace

namespace {

// A sink that keeps the body and can be made to hold the transfer.
class HeldSink : public body_sink {
 public:
  void start(std::int64_t length) override { announced = length; }
  void take(const char* data, std::size_t n) override { body.append(data, n); }
  bool ready() const override { return !held; }
  std::int64_t announced = -2;
  std::string body;
  bool held = false;
};

// The body of a successful answer goes to the sink and to no file; while
// the sink is full nothing more is read, for longer than the time-out,
// without the transfer failing; an error page still goes to the file.
TEST_F(NginxTest, ABodyGoesToItsSinkWhichMayHoldTheTransfer) {
  const std::string want = read_file(*root / "big.bin");
  http.time_out_secs = 0.5f;
  HeldSink sink;
  std::string dest = dir / "big.bin";
  http.prepare(2, {0, &sink, {}});
  int result = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::size_t held_at = 0;
  std::chrono::steady_clock::time_point held_since{};
  while (result == 0 && std::chrono::steady_clock::now() < deadline) {
    result = http.net_check(2, server->host(), "/big.bin", dest);
    if (!sink.held && held_at == 0 && sink.body.size() > 100000) {
      sink.held = true;
      held_at = sink.body.size();
      held_since = std::chrono::steady_clock::now();
    }
    if (sink.held) {
      EXPECT_EQ(sink.body.size(), held_at) << "read while the sink was full";
      if (std::chrono::steady_clock::now() - held_since > std::chrono::milliseconds(1500)) sink.held = false;
    }
    http.wait_for_activity(5);
  }
  EXPECT_EQ(result, 1) << log();
  EXPECT_GT(held_at, 0u);
  EXPECT_EQ(sink.announced, static_cast<std::int64_t>(want.size()));
  EXPECT_TRUE(sink.body == want);
  EXPECT_FALSE(testing_support::exists(dest));

  HeldSink unused;
  http.prepare(2, {0, &unused, {}});
  std::string missing = dir / "missing.html";
  EXPECT_EQ(run(2, server->host(), "/no-such-file", missing), 2);
  EXPECT_EQ(unused.announced, -2);
  EXPECT_NE(read_file(missing).find("404"), std::string::npos);
}

// A sink that another thread empties: while it is full the transfer loop
// waits, and is woken once, by the sink's signal, when there is room again,
// instead of looking again and again at a fixed short interval.
class DrainedSink : public body_sink {
 public:
  void start(std::int64_t) override {}
  void take(const char* data, std::size_t n) override { body.append(data, n); }
  bool ready() const override { return !held.load(); }
  std::string body;
  std::atomic<bool> held{false};
};

TEST_F(NginxTest, AFullSinkWakesTheLoopWhenItHasRoomAndNotBefore) {
  const std::string want = read_file(*root / "big.bin");
  DrainedSink sink;
  std::string dest = dir / "big.bin";
  http.prepare(2, {0, &sink, {}});
  int result = 0, waits_while_full = 0;
  std::thread drain;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (result == 0 && std::chrono::steady_clock::now() < deadline) {
    result = http.net_check(2, server->host(), "/big.bin", dest);
    if (result != 0) break;
    if (!drain.joinable() && sink.body.size() > 100000) {
      plat::tcp_wait_any(nullptr, 0, 1, http_class::sink_wake());  // a signal left by an earlier test is used up
      sink.held = true;
      drain = std::thread([&sink] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sink.held = false;
        plat::wake_signal(sink.room_wake);
      });
    }
    const bool full = sink.held.load();
    // A time-out far longer than the hold: only the sink's signal (or the
    // other transfers' sockets, of which there are none) ends the wait.
    http.wait_for_activity(30000);
    if (full) {
      ++waits_while_full;
      EXPECT_FALSE(sink.held.load()) << "woken while the sink was still full";
    }
  }
  if (drain.joinable()) drain.join();
  EXPECT_EQ(result, 1) << log();
  EXPECT_TRUE(sink.body == want);
  EXPECT_NE(sink.room_wake, plat::bad_wake);
  EXPECT_EQ(waits_while_full, 1);
}

}  // namespace
