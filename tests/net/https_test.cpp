// The download pool over TLS: nginx with certificates made at test time
// (good, expired, for another host, from an unknown root, TLS 1.0 only),
// redirects from the scripted fault server and from nginx, and CONNECT
// through tinyproxy.
#include <chrono>
#include <cstdio>
#include <random>

#include "platform/tls.h"
#include "tests/net/net_fixture.h"
#include "tests/servers/servers.h"

namespace {

using testing_support::exists;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

std::string random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string pattern(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>(i % 251);
  return s;
}

std::string percent(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '.' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// One set of certificates and servers for the suite.
class HttpsTest : public nettest::PoolTest {
 protected:
  static void SetUpTestSuite() {
    certs = new TempDir();
    root = new TempDir();
    write_file(*root / "small.txt", "a small file\n");
    write_file(*root / "big.bin", random_bytes(6 * 1000 * 1000 + 7, 1));
    for (int i = 0; i < 5; ++i) write_file(*root / ("many/" + std::to_string(i) + ".bin"), random_bytes(70000 + i, 10 + i));
    if (!testservers::make_test_certs(certs->path(), cert_failure)) return;
    const auto tls = [](const std::string& name, const std::string& protocols = "TLSv1.2 TLSv1.3") {
      return testservers::NginxTls{*certs / (name + ".pem"), *certs / (name + ".key"), protocols};
    };
    plain = new testservers::NginxServer(root->path());
    // /down leads back to plain HTTP; /up/ goes on within TLS.
    const std::string down = "location = /down { return 301 http://" + plain->host() + "/small.txt; }\n";
    auto t = tls("good");
    good = new testservers::NginxServer(root->path(), "127.0.0.1", down, &t);
    auto e = tls("expired");
    expired = new testservers::NginxServer(root->path(), "127.0.0.1", "", &e);
    auto w = tls("wronghost");
    wronghost = new testservers::NginxServer(root->path(), "127.0.0.1", "", &w);
    auto u = tls("unknownca");
    unknownca = new testservers::NginxServer(root->path(), "127.0.0.1", "", &u);
    auto old = tls("good", "TLSv1");
    tls10 = new testservers::NginxServer(root->path(), "127.0.0.1", "", &old);
    faults = new testservers::FaultServer();
  }
  static void TearDownTestSuite() {
    for (auto* s : {plain, good, expired, wronghost, unknownca, tls10}) delete s;
    delete faults;
    delete root;
    delete certs;
  }
  void SetUp() override {
    PoolTest::SetUp();
    ASSERT_TRUE(cert_failure.empty()) << cert_failure;
    for (auto* s : {plain, good, expired, wronghost, unknownca, tls10}) ASSERT_TRUE(s->ok()) << s->failure();
    ASSERT_TRUE(faults->ok()) << faults->failure();
    ASSERT_EQ(plat::tls_add_roots(*certs / "ca.pem"), 0);
  }
  void TearDown() override {
    plat::tls_clear_roots();
    PoolTest::TearDown();
  }

  static inline TempDir* certs = nullptr;
  static inline TempDir* root = nullptr;
  static inline std::string cert_failure;
  static inline testservers::NginxServer *plain = nullptr, *good = nullptr, *expired = nullptr, *wronghost = nullptr,
                                         *unknownca = nullptr, *tls10 = nullptr;
  static inline testservers::FaultServer* faults = nullptr;
};

TEST_F(HttpsTest, FilesArriveByteForByteOnOneKeptConnection) {
  ASSERT_EQ(good->host().compare(0, 8, "https://"), 0);
  EXPECT_EQ(run(2, good->host(), "/small.txt", dir / "small.txt"), 1) << log();
  EXPECT_EQ(read_file(dir / "small.txt"), "a small file\n");
  EXPECT_EQ(run(2, good->host(), "/big.bin", dir / "big.bin", nullptr, 30.0), 1) << log();
  EXPECT_EQ(read_file(dir / "big.bin"), read_file(*root / "big.bin"));
  for (int i = 0; i < 5; ++i) {
    const std::string name = "many/" + std::to_string(i) + ".bin";
    EXPECT_EQ(run(2, good->host(), "/" + name, dir / std::to_string(i)), 1) << log();
    EXPECT_EQ(read_file(dir / std::to_string(i)), read_file(*root / name));
  }
  // Seven files, one connection and so one handshake.
  EXPECT_EQ(http.connections_opened, 1);
  const std::string access = good->access_log();
  const std::size_t last = access.find("\"GET /many/4.bin HTTP/1.1\" 200 70004 \"-\" \"Installer-IBM/a-17\"");
  ASSERT_NE(last, std::string::npos) << access;
  EXPECT_EQ(access.compare(access.find(" req=", last), 7, " req=7\n"), 0) << access;
  EXPECT_EQ(log().find("HTTP Error"), std::string::npos) << log();

  // With keep_alive off, one connection (and handshake) per file.
  http.keep_alive = 0;
  EXPECT_EQ(run(2, good->host(), "/small.txt", dir / "s1"), 1);
  EXPECT_EQ(run(2, good->host(), "/small.txt", dir / "s2"), 1);
  EXPECT_EQ(http.connections_opened, 3);
}

// The session receives several records at once. When the pool has taken
// what its chunk holds, the records left behind wait in the session, not in
// the socket: the wait must see them and return at once, or a body whose
// last records arrived with the earlier ones would sit out every wait's
// time-out (and, on a quiet server, the transfer's).
TEST_F(HttpsTest, RecordsAlreadyReceivedEndTheWaitAtOnce) {
  constexpr int kWaitMs = 3000;
  int waited_out = 0;
  for (int i = 0; i < 5; ++i) {
    const std::string name = "many/" + std::to_string(i) + ".bin";
    std::string dest = dir / std::to_string(i);
    int r = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (r == 0 && std::chrono::steady_clock::now() < deadline) {
      r = http.net_check(2, good->host(), "/" + name, dest);
      if (r != 0) break;
      const auto t0 = std::chrono::steady_clock::now();
      http.wait_for_activity(kWaitMs);
      if (std::chrono::steady_clock::now() - t0 >= std::chrono::milliseconds(kWaitMs)) ++waited_out;
    }
    ASSERT_EQ(r, 1) << log();
    EXPECT_EQ(read_file(dir / std::to_string(i)), read_file(*root / name));
  }
  EXPECT_EQ(waited_out, 0);
}

// Each bad certificate fails its server with the reason, in the failure
// record and in the report; nothing is written.
TEST_F(HttpsTest, BadCertificatesFailWithTheirReason) {
  const struct {
    testservers::NginxServer* server;
    const char* reason;
  } cases[] = {
      {expired, "certificate has expired"},
      {wronghost, "certificate is for another host"},
      {unknownca, "certificate is not trusted"},
      {tls10, "the server offers no TLS version this installer accepts (1.2 or 1.3)"},
  };
  for (const auto& c : cases) {
    const std::string dest = dir / "out.txt";
    EXPECT_EQ(run(3, c.server->host(), "/small.txt", dest), 2) << c.reason;
    EXPECT_EQ(http.failure(3).reason, c.reason);
    EXPECT_FALSE(http.failure(3).timed_out);
    EXPECT_FALSE(exists(dest)) << c.reason;
    EXPECT_NE(log().find("   server     =" + c.server->host() + "\n"), std::string::npos) << log();
    EXPECT_NE(log().find("   reason     =" + std::string(c.reason) + "\n"), std::string::npos) << log();
  }
  // Without the test root, the good server is not trusted either.
  plat::tls_clear_roots();
  EXPECT_EQ(run(3, good->host(), "/small.txt", dir / "out.txt"), 2);
  EXPECT_EQ(http.failure(3).reason, "certificate is not trusted");
  // A name the certificate holds is accepted as well as its address.
  ASSERT_EQ(plat::tls_add_roots(*certs / "ca.pem"), 0);
  EXPECT_EQ(run(3, "https://localhost:" + std::to_string(good->port()), "/small.txt", dir / "out.txt"), 1) << log();
  EXPECT_EQ(plat::tls_add_roots(dir / "missing.pem"), ENOENT);
}

// A server that accepts and never answers the handshake: every poll returns
// at once, and the time-out ends the transfer.
TEST_F(HttpsTest, ASilentHandshakeNeverBlocksAPollAndTimesOut) {
  http.time_out_secs = 1.0f;
  const std::string server = "https://" + faults->host();
  int polls = 0;
  auto longest = std::chrono::steady_clock::duration::zero();
  int r = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string dest = dir / "out.txt";
  while (r == 0 && std::chrono::steady_clock::now() < deadline) {
    const auto t0 = std::chrono::steady_clock::now();
    r = http.net_check(4, server, "/small.txt", dest);
    longest = std::max(longest, std::chrono::steady_clock::now() - t0);
    ++polls;
    http.wait_for_activity(5);
  }
  EXPECT_EQ(r, 2);
  EXPECT_TRUE(http.failure(4).timed_out);
  EXPECT_EQ(http.failure(4).reason, "no TLS handshake in time");
  EXPECT_GT(polls, 20);
  EXPECT_LT(longest, std::chrono::milliseconds(50));
}

TEST_F(HttpsTest, RedirectsAreFollowedWithoutWritingTheirBodies) {
  const std::string dest = dir / "out.bin";
  // Five in a row are followed; the answer is the last one's file.
  EXPECT_EQ(run(1, faults->host(), "/hop/5", dest), 1) << log();
  EXPECT_EQ(read_file(dest), pattern(10));
  EXPECT_EQ(http.active_server(1), faults->host());
  EXPECT_EQ(run(1, faults->host(), "/redirect-relative", dest), 1) << log();
  EXPECT_EQ(read_file(dest), pattern(12));

  // A sixth is refused; so is a loop. No redirect body reaches the file.
  std::remove(dest.c_str());
  EXPECT_EQ(run(1, faults->host(), "/hop/6", dest), 2);
  EXPECT_EQ(http.failure(1).reason, "more than 5 redirects in a row");
  EXPECT_EQ(run(1, faults->host(), "/redirect-loop", dest), 2);
  EXPECT_EQ(http.failure(1).reason, "more than 5 redirects in a row");
  EXPECT_FALSE(exists(dest));

  // From plain HTTP to TLS.
  const std::string to_tls = "/goto/" + percent(good->host() + "/small.txt");
  EXPECT_EQ(run(1, faults->host(), to_tls, dest), 1) << log();
  EXPECT_EQ(read_file(dest), "a small file\n");
  EXPECT_EQ(http.active_server(1), good->host());

  // Where redirects end at a failure, the report names the final server.
  const std::string to_missing = "/goto/" + percent("http://" + plain->host() + "/missing.bin");
  EXPECT_EQ(run(1, faults->host(), to_missing, dest), 2);
  EXPECT_EQ(http.failure(1).http_status, 404);
  EXPECT_NE(log().find("   server     =" + plain->host() + "\n   file       =/missing.bin\n"), std::string::npos)
      << log();
}

TEST_F(HttpsTest, ARedirectFromTlsToPlainHttpIsRefused) {
  const std::string dest = dir / "out.txt";
  EXPECT_EQ(run(1, good->host(), "/down", dest), 2);
  EXPECT_EQ(http.failure(1).reason, "a redirect from https to plain http was refused");
  EXPECT_EQ(http.failure(1).http_status, 301);
  EXPECT_FALSE(exists(dest));
  EXPECT_NE(log().find("   server     =" + good->host() + "\n"), std::string::npos) << log();
  // Nothing was asked of the plain server.
  EXPECT_EQ(plain->access_log().find("small.txt"), std::string::npos);
}

TEST_F(HttpsTest, ThroughAProxyByConnect) {
  testservers::TinyProxy proxy;
  ASSERT_TRUE(proxy.ok()) << proxy.failure();
  http.ProxyHost = "127.0.0.1";
  http.ProxyPort_int = proxy.port();
  EXPECT_EQ(run(2, good->host(), "/small.txt", dir / "a"), 1) << log() << proxy.log();
  EXPECT_EQ(run(2, good->host(), "/many/1.bin", dir / "b"), 1) << log();
  EXPECT_EQ(read_file(dir / "b"), read_file(*root / "many/1.bin"));
  EXPECT_EQ(http.connections_opened, 1);
  EXPECT_NE(proxy.log().find("CONNECT"), std::string::npos) << proxy.log();
  // End to end: the server saw plain paths, not a proxy's absolute form.
  EXPECT_NE(good->access_log().find("\"GET /many/1.bin HTTP/1.1\""), std::string::npos) << good->access_log();
  // The certificate is still checked through the tunnel.
  EXPECT_EQ(run(2, expired->host(), "/small.txt", dir / "c"), 2);
  EXPECT_EQ(http.failure(2).reason, "certificate has expired");

  testservers::TinyProxy refusing("127.0.0.1", "ConnectPort 1\n");
  ASSERT_TRUE(refusing.ok()) << refusing.failure();
  http.ProxyPort_int = refusing.port();
  EXPECT_EQ(run(2, good->host(), "/small.txt", dir / "d"), 2);
  EXPECT_EQ(http.failure(2).reason.compare(0, 28, "the proxy refused CONNECT (H"), 0) << http.failure(2).reason;
  EXPECT_FALSE(exists(dir / "d"));
}

}  // namespace
