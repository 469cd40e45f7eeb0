// Signed releases against nginx: the installer given the publisher's key
// installs and updates what the publisher signed, from whichever mirror, and
// refuses everything a hostile mirror, network or server-list host can make
// of it, writing nothing under a final name: a changed directory file,
// per-file list or archive, a list signed by another key, a changed
// statement or list, an expired or older statement, a directory file of
// another version, an unsigned release. An installer without the key keeps
// the older road.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/release_sig.h"
#include "tests/installer/e2e_fixture.h"
#include "tools/publish/archive.h"
#include "tools/publish/serverlist.h"

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::write_file;

namespace e2e {
namespace {

tree_map release_one() {
  return {
      {"Craft/Kestrel 2/Kestrel 2.craft", std::string(120000, 'k')},
      {"Craft/Harrow 40/Harrow 40.craft", testing_support::noise(50000, 7)},
      {"Scenery Packs/Tarnvale Pass/pass.tile", std::string(3000, 't')},
      {"Resources/empty marker.txt", ""},
      {"Resources/add-ons/driver.linux", "linux driver"},
      {"Resources/add-ons/driver.win", "windows driver"},
  };
}

tree_map release_two() {
  tree_map t = release_one();
  t["Scenery Packs/Tarnvale Pass/pass.tile"] = "revised pass";
  t["Scenery Packs/Harbour Hills/hills.tile"] = "new hills";
  return t;
}

class SignedE2E : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    sign_key = work / "keys/release.key";
    fs::create_directories(work / "keys");
    pub_b64 = keygen(sign_key);
  }

  std::string keygen(const std::string& path) {
    std::string b64, err;
    EXPECT_TRUE(pub::keygen_write(path, b64, err)) << err;
    return b64;
  }
  // Writes serverlist.txt and serverlist.sig into www with the publisher.
  void signed_list(const std::string& version, const std::vector<std::string>& hosts,
                   const std::vector<std::string>& more = {}, const std::string& key = "") {
    std::vector<std::string> argv = {SKYVANE_PUBLISH_EXE, "serverlist", "--out", www, "--beta", version,
                                     "--sign", key.empty() ? sign_key : key};
    for (size_t i = 0; i < hosts.size(); ++i) {
      argv.insert(argv.end(), {"--server", hosts[i], "/pub/", "Server " + std::to_string(i)});
    }
    argv.insert(argv.end(), more.begin(), more.end());
    testservers::ChildProcess p;
    ASSERT_TRUE(p.start(argv, true));
    std::string line, all;
    while (p.read_line(line, 60000)) all += line + "\n";
    ASSERT_EQ(p.wait_exit(), 0) << all;
  }
  // A mirror: a copy of www's releases in its own folder, served by nginx.
  testservers::NginxServer& mirror(const std::string& name) {
    const std::string root = work / (name + "/");
    fs::remove_all(root);
    fs::create_directories(root);
    fs::copy(www + "pub", root + "pub", fs::copy_options::recursive);
    return serve("127.0.0.1", root);
  }
  std::string mirror_root(const std::string& name) { return work / (name + "/"); }
  // The members of a directory archive.
  std::map<std::string, std::string> members(const std::string& zip) {
    std::map<std::string, std::string> m;
    std::string text, err;
    for (const char* name : {"directory.txt", rsig::kFileListMember})
      if (pub::read_member(zip, name, text, err)) m[name] = text;
    return m;
  }
  // An unattended install trusting the publisher's key. Quick retries, for
  // the runs that must give up; with a good mirror beside a bad one the
  // usual back-off (`quick` false) keeps a failed server out of the way for
  // a second, so the good one is asked.
  run_result install(const std::vector<std::string>& more = {}, bool quick = true) {
    std::vector<std::string> args{dest, "--headless", "--install", "--accept_eula", "--release_key=" + pub_b64};
    if (quick) args.push_back("--retry_backoff=0.01");
    args.insert(args.end(), more.begin(), more.end());
    return run_joined(args, 120);
  }
  // Nothing under a final name: no file of the release in the destination.
  void expect_nothing_installed() {
    EXPECT_TRUE(read_tree(dest).empty()) << "files were written";
    EXPECT_FALSE(fs::exists(work / "dest/Skyvane 1.00")) << "the folder was renamed";
    EXPECT_FALSE(fs::exists(work / "dest/Skyvane 2.00")) << "the folder was renamed";
  }
  std::string installed(const std::string& version) { return work / ("dest/" + version + "/"); }

  std::string pub_b64;
};

TEST_F(SignedE2E, SignedReleaseInstallsUpdatesAndRotatesKeys) {
  testservers::NginxServer& web = serve();
  publish(release_one(), "Skyvane 1.00");
  signed_list("Skyvane 1.00", {web.host()}, {"--expires", "30"});
  run_result r = install();
  ASSERT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(installed("Skyvane 1.00")), linux_part(release_one()));
  EXPECT_NE(log().find("Server list: signed, serial"), std::string::npos);

  // The update, under a new key that a build trusting both keys accepts.
  const std::string new_key = work / "keys/new.key";
  const std::string new_b64 = keygen(new_key);
  sign_key = new_key;
  publish(release_two(), "Skyvane 2.00", "Skyvane 1.00");
  signed_list("Skyvane 2.00", {web.host()});
  r = run_joined({installed("Skyvane 1.00"), "--headless", "--install", "--accept_eula", "--release_key=" + pub_b64,
                  "--release_key=" + new_b64});
  ASSERT_EQ(r.status, 0) << joined(r) << log();
  // Only files for every system were fetched: the folder keeps its name.
  EXPECT_TREE_EQ(read_tree(installed("Skyvane 1.00")), linux_part(release_two()));
  // Nothing to do the next time; the old key alone no longer will do.
  r = run_joined({installed("Skyvane 1.00"), "--headless", "--release_key=" + new_b64});
  EXPECT_EQ(r.status, 0) << joined(r);
  EXPECT_TRUE(r.printed("Your copy of Skyvane is already the latest version.")) << joined(r);
  r = run_joined({installed("Skyvane 1.00"), "--headless", "--retry_backoff=0.01", "--release_key=" + pub_b64});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.printed("The server list is not signed by a key this installer trusts.")) << joined(r);
}

TEST_F(SignedE2E, AnInstallerWithoutKeysTakesTheOlderRoad) {
  testservers::NginxServer& web = serve();
  publish(release_one(), "Skyvane 1.00");
  signed_list("Skyvane 1.00", {web.host()});
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula"});
  ASSERT_EQ(r.status, 0) << joined(r);
  EXPECT_TRUE(r.printed("Releases are not checked: this installer trusts no publisher's key.")) << joined(r);
  EXPECT_TREE_EQ(read_tree(installed("Skyvane 1.00")), linux_part(release_one()));
  EXPECT_EQ(requests_for(web, "serverlist.sig"), 0);
}

// One mirror changes one byte of directory.txt: alone it is refused (exit 2,
// nothing written); beside a good mirror the install completes from that one.
TEST_F(SignedE2E, ChangedDirectoryFileOnOneMirror) {
  publish(release_one(), "Skyvane 1.00");
  testservers::NginxServer& bad = mirror("bad");
  testservers::NginxServer& good = mirror("good");
  const std::string zip = mirror_root("bad") + "pub/Skyvane 1.00/directory.txt.zip";
  auto m = members(zip);
  const std::size_t at = m["directory.txt"].find("Kestrel");
  ASSERT_NE(at, std::string::npos);
  m["directory.txt"][at] = 'k';
  write_zip(zip, m);

  serve();  // the list host, www
  list_host = servers.back()->host();
  signed_list("Skyvane 1.00", {bad.host()});
  run_result r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("The directory file from " + bad.host() + " is not the one the publisher signed."))
      << joined(r);
  expect_nothing_installed();

  signed_list("Skyvane 1.00", {bad.host(), good.host()});
  r = install({}, false);
  ASSERT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(installed("Skyvane 1.00")), linux_part(release_one()));
}

TEST_F(SignedE2E, ChangedPerFileListIsRefused) {
  publish(release_one(), "Skyvane 1.00");
  testservers::NginxServer& bad = mirror("bad");
  const std::string zip = mirror_root("bad") + "pub/Skyvane 1.00/directory.txt.zip";
  auto m = members(zip);
  ASSERT_TRUE(m.count(rsig::kFileListMember));
  m[rsig::kFileListMember][20] = m[rsig::kFileListMember][20] == 'a' ? 'b' : 'a';
  write_zip(zip, m);
  serve();
  list_host = servers.back()->host();
  signed_list("Skyvane 1.00", {bad.host()});
  run_result r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  expect_nothing_installed();
  // Without the list at all, the same.
  m.erase(rsig::kFileListMember);
  write_zip(zip, m);
  r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  expect_nothing_installed();
}

// A mirror puts an archive of other contents in place of a file's, and
// writes its MD5 into a forged directory.txt: the directory file is refused.
// With the directory file left alone, the archive itself is refused by its
// SHA-256 and never takes the file's name; a good mirror then serves it.
TEST_F(SignedE2E, ReplacedArchiveWithForgedDirectoryFile) {
  publish(release_one(), "Skyvane 1.00");
  testservers::NginxServer& bad = mirror("bad");
  testservers::NginxServer& good = mirror("good");
  const std::string rel = "Craft/Kestrel 2/Kestrel 2.craft";
  const std::string evil = std::string(120000, 'e');
  write_zip(mirror_root("bad") + "pub/Skyvane 1.00/Skyvane/" + rel + ".zip", {{"Kestrel 2.craft", evil}});
  const std::string zip = mirror_root("bad") + "pub/Skyvane 1.00/directory.txt.zip";
  auto original = members(zip);
  auto forged = original;
  const std::string good_md5 = pub::md5_of(std::string(120000, 'k'));
  const std::size_t at = forged["directory.txt"].find(good_md5);
  ASSERT_NE(at, std::string::npos);
  forged["directory.txt"].replace(at, 32, pub::md5_of(evil));
  write_zip(zip, forged);
  serve();
  list_host = servers.back()->host();
  signed_list("Skyvane 1.00", {bad.host()});
  run_result r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  expect_nothing_installed();

  // The true directory file, the false archive: that file is never written.
  write_zip(zip, original);
  r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_FALSE(fs::exists(dest + rel));
  EXPECT_FALSE(fs::exists(installed("Skyvane 1.00") + rel));
  EXPECT_NE(log().find("SHA-256"), std::string::npos) << log();

  fs::remove_all(work / "dest");
  signed_list("Skyvane 1.00", {bad.host(), good.host()});
  r = install({}, false);
  ASSERT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(installed("Skyvane 1.00")), linux_part(release_one()));
}

TEST_F(SignedE2E, ListSignedByAnUnknownKeyOrChangedIsRefused) {
  testservers::NginxServer& web = serve();
  publish(release_one(), "Skyvane 1.00");
  const std::string stranger = work / "keys/stranger.key";
  keygen(stranger);
  signed_list("Skyvane 1.00", {web.host()}, {}, stranger);
  run_result r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("The server list is not signed by a key this installer trusts.")) << joined(r);
  EXPECT_TRUE(r.printed("I could not fetch the server list after 10 attempts in a row.")) << joined(r);
  expect_nothing_installed();

  // The statement changed by one byte.
  signed_list("Skyvane 1.00", {web.host()});
  const std::string good_sig = read_file(www + "serverlist.sig");
  std::string sig = good_sig;
  sig[sig.find("SERIAL ") + 8] ^= 1;
  write_file(www + "serverlist.sig", sig);
  r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("The server list is not signed by a key this installer trusts.")) << joined(r);
  expect_nothing_installed();

  // The list changed by one byte (another server's description).
  write_file(www + "serverlist.sig", good_sig);
  std::string list = read_file(www + "serverlist.txt");
  list[list.find("Server 0")] = 's';
  write_file(www + "serverlist.txt", list);
  r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("The server list is not the one the publisher signed.")) << joined(r);
  expect_nothing_installed();

  // No statement at all: an unsigned release.
  fs::remove(www + "serverlist.sig");
  server_list("Skyvane 1.00", {web.host()});
  r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("The server list is not signed by a key this installer trusts.")) << joined(r);
  expect_nothing_installed();
}

TEST_F(SignedE2E, UnsignedReleaseWithAKeyGivenIsRefused) {
  testservers::NginxServer& web = serve();
  sign_key.clear();
  publish(release_one(), "Skyvane 1.00");
  server_list("Skyvane 1.00", {web.host()});
  run_result r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("The server list is not signed by a key this installer trusts.")) << joined(r);
  expect_nothing_installed();
}

TEST_F(SignedE2E, ExpiredStatementIsRefused) {
  testservers::NginxServer& web = serve();
  publish(release_one(), "Skyvane 1.00");
  // Signed two days ago for one day.
  pub::serverlist_options o;
  o.beta = "Skyvane 1.00";
  o.servers.push_back({web.host(), "/pub/", "Main"});
  o.sign_key = sign_key;
  o.expires_days = 1;
  o.now = static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count()) -
          2 * 86400;
  std::string err;
  ASSERT_TRUE(pub::serverlist_write(o, www + "serverlist.txt", err)) << err;
  const std::string day = rsig::utc_text(o.now + 86400).substr(0, 10);
  run_result r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("The server list expired on " + day + ".")) << joined(r);
  expect_nothing_installed();
}

// A newer statement seen once, an older one (a replayed earlier publication)
// is refused from then on, also by a later run.
TEST_F(SignedE2E, OlderStatementAfterANewerOneIsRefused) {
  testservers::NginxServer& web = serve();
  publish(release_one(), "Skyvane 1.00");
  signed_list("Skyvane 1.00", {web.host()}, {"--serial", "100"});
  const std::string old_list = read_file(www + "serverlist.txt"), old_sig = read_file(www + "serverlist.sig");
  signed_list("Skyvane 1.00", {web.host()}, {"--serial", "101"});
  run_result r = run_joined({dest, "--headless", "--release_key=" + pub_b64});
  ASSERT_EQ(r.status, 0) << joined(r);
  write_file(www + "serverlist.txt", old_list);
  write_file(www + "serverlist.sig", old_sig);
  r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("The server list is older than one this installer has already seen.")) << joined(r);
  expect_nothing_installed();
}

// A mirror serves the directory file of another signed version for the
// chosen one.
TEST_F(SignedE2E, DirectoryFileOfAnotherVersionIsRefused) {
  publish(release_one(), "Skyvane 1.00");
  publish(release_two(), "Skyvane 2.00", "Skyvane 1.00");
  testservers::NginxServer& bad = mirror("bad");
  fs::copy_file(mirror_root("bad") + "pub/Skyvane 1.00/directory.txt.zip",
                mirror_root("bad") + "pub/Skyvane 2.00/directory.txt.zip", fs::copy_options::overwrite_existing);
  serve();
  list_host = servers.back()->host();
  // The statement names both versions; the list offers 2.00.
  signed_list("Skyvane 2.00", {bad.host()}, {"--final", "Skyvane 1.00"});
  run_result r = install();
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("The directory file from " + bad.host() + " is not the one the publisher signed."))
      << joined(r);
  expect_nothing_installed();
}

}  // namespace
}  // namespace e2e
