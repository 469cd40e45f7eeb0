// The installer over HTTPS: a release served only over TLS (by nginx with
// certificates made at test time), one behind a plain-HTTP redirect, one
// through tinyproxy by CONNECT, and mirrors with bad certificates.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/installer/e2e_fixture.h"

namespace e2e {
namespace {

tree_map release() {
  return {
      {"Craft/Kestrel 2/Kestrel 2.craft", std::string(150000, 'c')},
      {"Instructions/Manual.txt", "read me first\n"},
      {"Resources/shared data/beacon list.txt", std::string(300000, 'n')},
      {"Resources/empty marker.txt", ""},
      {"Resources/add-ons/driver.linux", "linux driver"},
      {"Resources/add-ons/driver.win", "windows driver"},
      {"Skyvane.linux", std::string(200000, 'x')},
  };
}

class HttpsE2E : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    std::string failure;
    ASSERT_TRUE(testservers::make_test_certs(work / "certs/", failure)) << failure;
    publish(release(), "Skyvane 9.01");
  }
  // An nginx serving www/ over TLS with the certificate `name`.
  testservers::NginxServer& serve_tls(const std::string& name, const std::string& extra = "") {
    const testservers::NginxTls tls{work / ("certs/" + name + ".pem"), work / ("certs/" + name + ".key")};
    servers.push_back(std::make_unique<testservers::NginxServer>(www, "127.0.0.1", extra, &tls));
    EXPECT_TRUE(servers.back()->ok()) << servers.back()->failure();
    return *servers.back();
  }
  std::string ca() { return "--ca_file=" + work / "certs/ca.pem"; }
  std::string installed() { return work / "dest/Skyvane 9.01/"; }
};

TEST_F(HttpsE2E, AReleaseServedOnlyOverHttpsInstallsByteForByte) {
  testservers::NginxServer& web = serve_tls("good");
  server_list("Skyvane 9.01", {web.host()});
  const std::string list = "--server_list_host=" + web.host();

  // Without the private root, the server is not trusted: the reason is said.
  run_result refused = run_joined({dest, "--headless", "--install", "--accept_eula", list, "--retry_backoff=0.01"});
  EXPECT_EQ(refused.status, 2) << joined(refused);
  EXPECT_TRUE(refused.printed("I could not fetch the server list after 10 attempts in a row. The last failure: " +
                              web.host() + ": certificate is not trusted."))
      << joined(refused);
  EXPECT_FALSE(std::filesystem::exists(dest));

  run_result r = run({dest, "--headless", "--install", "--accept_eula", list, ca()});
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TRUE(r.printed("INSTALLATION COMPLETE!"));
  EXPECT_TREE_EQ(read_tree(installed()), linux_part(release()));
  EXPECT_EQ(archive_requests(web), static_cast<int>(linux_part(release()).size()));

  // A file that cannot be read as certificates is refused at start.
  run_result bad = run_joined({dest, "--headless", list, "--ca_file=" + work / "certs/missing.pem"});
  EXPECT_EQ(bad.status, 1) << joined(bad);
}

TEST_F(HttpsE2E, APlainServerRedirectingToHttpsAndAProxyByConnect) {
  testservers::NginxServer& tls = serve_tls("good");
  // The plain server serves the list and sends every file to the TLS one.
  testservers::NginxServer& plain =
      serve("127.0.0.1", "", "location /pub/ { return 301 " + tls.host() + "$request_uri; }\n");
  list_host = plain.host();
  server_list("Skyvane 9.01", {plain.host()});
  run_result r = run({dest, "--headless", "--install", "--accept_eula", ca()});
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TREE_EQ(read_tree(installed()), linux_part(release()));
  EXPECT_EQ(archive_requests(tls), static_cast<int>(linux_part(release()).size()));
  EXPECT_NE(log().find(", redirected to " + tls.host() + "/pub/"), std::string::npos) << log();

  // Through tinyproxy: the list over plain HTTP, the files over HTTPS in a tunnel.
  std::filesystem::remove_all(work / "dest");
  testservers::TinyProxy proxy;
  ASSERT_TRUE(proxy.ok()) << proxy.failure();
  server_list("Skyvane 9.01", {tls.host()});
  const std::string port = std::to_string(proxy.port());
  r = run({dest, "--headless", "--install", "--accept_eula", ca(), "--pref:_proxy_host=127.0.0.1",
           "--pref:_proxy_port=" + port, "--pref:_proxy_port_int=" + port});
  ASSERT_EQ(r.status, 0) << log() << proxy.log();
  EXPECT_TREE_EQ(read_tree(installed()), linux_part(release()));
  EXPECT_NE(proxy.log().find("CONNECT"), std::string::npos) << proxy.log();
}

TEST_F(HttpsE2E, BadCertificatesFailTheirServerAndTheGoodMirrorCompletes) {
  testservers::NginxServer& expired = serve_tls("expired");
  testservers::NginxServer& wrong = serve_tls("wronghost");
  testservers::NginxServer& unknown = serve_tls("unknownca");
  testservers::NginxServer& good = serve_tls("good");
  testservers::NginxServer& lister = serve();
  list_host = lister.host();
  server_list("Skyvane 9.01", {expired.host(), wrong.host(), unknown.host(), good.host()});
  run_result r = run({dest, "--headless", "--install", "--accept_eula", ca(), "--retry_backoff=0.01"});
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TREE_EQ(read_tree(installed()), linux_part(release()));

  // With no good mirror: exit 2, and the reason in the one line that says so.
  std::filesystem::remove_all(work / "dest");
  server_list("Skyvane 9.01", {expired.host()});
  run_result failed = run_joined({dest, "--headless", "--install", "--accept_eula", ca(), "--retry_backoff=0.01"});
  EXPECT_EQ(failed.status, 2) << joined(failed);
  bool one_line = false;
  for (const std::string& line : failed.out)
    one_line |= line.find("I could not fetch the directory file") != std::string::npos &&
                line.find(expired.host() + ": certificate has expired") != std::string::npos;
  EXPECT_TRUE(one_line) << joined(failed);
  EXPECT_NE(log().find("   reason     =certificate has expired\n"), std::string::npos) << log();
}

}  // namespace
}  // namespace e2e
