// Request bytes and the proxy decision, read from a transfer right after its
// creation, and checked end to end against the fault server's echo.
#include <cstring>

#include "tests/net/net_fixture.h"
#include "tests/servers/servers.h"

namespace {

using nettest::PoolTest;
using testing_support::read_file;

class RequestTest : public PoolTest {
 protected:
  static std::uint16_t closed_port() {
    static const int port = testservers::free_port("127.0.0.1");
    return static_cast<std::uint16_t>(port);
  }
  std::string request_of(const char* host, const char* path, bool post = false, const char* body = nullptr,
                         std::map<std::string, std::string> fields = {}) {
    if (fields.empty()) fields = {{"Host", host}, {"User-agent", "UA"}, {"Connection", "close"}};
    // Nothing listens on the port: the connection attempt stays on loopback.
    down_class d(host, closed_port(), path, post, fields, body, body ? static_cast<int>(std::strlen(body)) : 0, nullptr);
    return std::string(d.mOutBuf.begin(), d.mOutBuf.end());
  }
};

TEST_F(RequestTest, GetRequestBytes) {
  EXPECT_EQ(request_of("127.0.0.1", "/v1/dir/file.zip"),
            "GET /v1/dir/file.zip HTTP/1.1\r\nConnection: close\r\nHost: 127.0.0.1\r\nUser-agent: UA\r\n\r\n");
  // Spaces and control characters are escaped; nothing else is.
  EXPECT_EQ(request_of("127.0.0.1", "/a b/c%d?e#f\xC3\xA9", false, nullptr, {{"Host", "h"}}),
            "GET /a%20b/c%d?e#f\xC3\xA9 HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(request_of("127.0.0.1", "/x\r\nInjected: 1", false, nullptr, {{"Host", "h"}}),
            "GET /x%0D%0AInjected:%201 HTTP/1.1\r\nHost: h\r\n\r\n");
}

TEST_F(RequestTest, PostCarriesItsBody) {
  EXPECT_EQ(request_of("127.0.0.1", "/form", true, "a=1&b=2", {{"Host", "h"}}),
            "POST /form HTTP/1.1\r\nHost: h\r\nContent-Length: 7\r\n\r\na=1&b=2");
}

TEST_F(RequestTest, ProxyRule) {
  EXPECT_FALSE(UseProxy("files.example", 80));
  http.ProxyHost = "127.0.0.1";
  EXPECT_FALSE(UseProxy("files.example", 80));  // no port: no proxy
  http.ProxyPort_int = 3128;
  EXPECT_TRUE(UseProxy("files.example", 80));
  gProxyExclude = {".example"};
  EXPECT_FALSE(UseProxy("files.example", 80));
  EXPECT_TRUE(UseProxy("example", 80));  // the suffix is longer than the name
  gProxyExclude.clear();
  http.ProxyHost.clear();
  EXPECT_FALSE(UseProxy("files.example", 80));

  // Through a proxy the request line carries the scheme and the Host field.
  http.ProxyHost = "127.0.0.1";
  http.ProxyPort_int = closed_port();
  EXPECT_EQ(request_of("files.example", "/a b", false, nullptr, {{"Host", "files.example:8080"}}),
            "GET http://files.example:8080/a%20b HTTP/1.1\r\nHost: files.example:8080\r\n\r\n");
}

// Fields prepared for a slot's next transfer join the usual ones in name
// order (one of the same name replaces the usual value), for that transfer
// only.
TEST_F(RequestTest, PreparedFieldsGoOnTheNextRequestOnly) {
  testservers::FaultServer server;
  ASSERT_TRUE(server.ok()) << server.failure();
  transfer_options options;
  options.fields = {{"Range", "bytes=5-"}, {"Connection", "close"}};
  http.prepare(4, options);
  EXPECT_EQ(run(4, server.host(), "/echo", dir / "first.txt"), 1);
  EXPECT_EQ(read_file(dir / "first.txt"), "GET /echo HTTP/1.1\r\nConnection: close\r\nHost: " + server.host() +
                                              "\r\nRange: bytes=5-\r\nUser-agent: Installer-IBM/a-17\r\n\r\n");
  EXPECT_EQ(run(4, server.host(), "/echo", dir / "second.txt"), 1);
  EXPECT_EQ(read_file(dir / "second.txt"), "GET /echo HTTP/1.1\r\nConnection: keep-alive\r\nHost: " +
                                               server.host() + "\r\nUser-agent: Installer-IBM/a-17\r\n\r\n");
}

// With the state log on, a transfer's changes are logged as they happen,
// up to the answer's end; an unresolvable host never leaves its first state.
TEST_F(RequestTest, StateChangesAreLoggedInTheirOrder) {
  testservers::FaultServer server;
  ASSERT_TRUE(server.ok()) << server.failure();
  http.log_states = true;
  const std::string dest = dir / "answer.txt";
  EXPECT_EQ(run(3, server.host(), "/echo", dest), 1);
  const std::string text = log();
  const std::string prefix = "Transfer to " + dest + ": ";
  // The first change leaves "unresolved" (a connection to loopback may be
  // made, and the request queued, before the first look); the answer's end
  // is the last; nothing goes back to "unresolved".
  const std::size_t first = text.find(prefix + "unresolved -> ");
  ASSERT_NE(first, std::string::npos) << text;
  const std::size_t last = text.rfind(prefix);
  ASSERT_NE(last, first) << text;
  const std::string last_line = text.substr(last, text.find('\n', last) - last);
  EXPECT_TRUE(last_line.ends_with("-> complete, connection kept") || last_line.ends_with("-> closed")) << text;
  EXPECT_EQ(text.find("-> unresolved"), std::string::npos) << text;

  const std::string nowhere = dir / "nowhere.txt";
  EXPECT_EQ(run(3, "host.invalid", "/x", nowhere), 2);
  EXPECT_EQ(log().find("Transfer to " + nowhere), std::string::npos) << log();
}

TEST_F(RequestTest, ProxiedRequestGoesToTheProxy) {
  testservers::FaultServer proxy;
  ASSERT_TRUE(proxy.ok()) << proxy.failure();
  http.ProxyHost = proxy.address();
  http.ProxyPort_int = proxy.port();
  // The host itself cannot be resolved: only the proxy can have answered.
  EXPECT_EQ(run(5, "mirror.example.invalid", "/echo/x y", dir / "echo.txt"), 1);
  EXPECT_EQ(read_file(dir / "echo.txt"),
            "GET http://mirror.example.invalid/echo/x%20y HTTP/1.1\r\nConnection: keep-alive\r\n"
            "Host: mirror.example.invalid\r\nUser-agent: Installer-IBM/a-17\r\n\r\n");

  // A proxy port of 0 means no proxy: the host is then asked directly.
  http.ProxyHost = proxy.address();
  http.ProxyPort_int = 0;
  EXPECT_EQ(run(5, proxy.host(), "/echo", dir / "direct.txt"), 1);
  EXPECT_EQ(read_file(dir / "direct.txt").rfind("GET /echo HTTP/1.1\r\n", 0), 0u);

  // An unresolvable proxy fails like an unresolvable host.
  http.ProxyHost = "no-proxy.invalid";
  http.ProxyPort_int = 3128;
  std::string d = dir / "none.txt";
  EXPECT_EQ(http.net_check(5, proxy.host(), "/echo", d), 2);
  EXPECT_NE(log().find("GetStat    =0\n   GetOSErr   =20011\n"), std::string::npos);
}

}  // namespace
