// Signing with the real program: keygen, a signed release, the signed
// statement beside the server list, read back with the installer's own
// check; and the older installer's road: the directory file of a signed
// release is byte for byte that of an unsigned one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "engine/release_sig.h"
#include "platform/sha256.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/publish_fixture.h"
#include "tools/publish/archive.h"

namespace fs = std::filesystem;
using namespace publish_test;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

std::string sha(const std::string& s) { return plat::sha256_hex(s.data(), s.size()); }

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

class PublishSignTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string top() { return dir / "Skyvane"; }
  std::string www() { return dir / "www"; }
  std::string key() { return dir / "release.key"; }
  std::string release(const std::string& version) { return www() + "/pub/" + version + "/"; }

  // keygen; the public key it printed, decoded.
  std::string keygen(const std::string& path) {
    run_result r = run_publish({"keygen", "--out", path});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string pub;
    EXPECT_TRUE(rsig::key_parse_public(trim(r.out), pub)) << r.out;
    return pub;
  }
  run_result publish(const std::string& version, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{"release", "--tree", top(), "--version", version, "--out", www(), "--prefix", "/pub/"};
    args.insert(args.end(), more.begin(), more.end());
    return run_publish(args);
  }
  run_result serverlist(const std::string& beta, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{"serverlist", "--out", www(), "--beta", beta, "--server", "127.0.0.1:8080", "/pub/",
                                  "Main"};
    args.insert(args.end(), more.begin(), more.end());
    return run_publish(args);
  }
};

}  // namespace

TEST_F(PublishSignTest, KeygenWritesAPrivateKeyOnceAndPrintsItsPublicKey) {
  const std::string pub = keygen(key());
  ASSERT_EQ(pub.size(), 32u);
  struct stat st{};
  ASSERT_EQ(stat(key().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string seed, err, derived;
  ASSERT_TRUE(rsig::secret_key_parse(read_file(key()), seed, err)) << err;
  ASSERT_TRUE(rsig::key_public_of(seed, derived));
  EXPECT_EQ(derived, pub);
  // Never over an existing file: the key stays as it was.
  const std::string before = read_file(key());
  run_result again = run_publish({"keygen", "--out", key()});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("never overwritten"), std::string::npos) << again.err;
  EXPECT_EQ(read_file(key()), before);
  // Two keys are two keys.
  EXPECT_NE(keygen(dir / "second.key"), pub);
}

TEST_F(PublishSignTest, SignedReleaseKeepsDirectoryFileAndAddsTheDigestList) {
  make_tree(top(), {{"Craft/Kestrel 2/Kestrel 2.craft", std::string(5000, 'k')},
                    {"Output/empty.txt", ""},
                    {"trailing blank ", "x"}});
  keygen(key());
  // Windows cannot hold a name ending in a blank: that file is for Linux.
  write_file(dir / "rules.txt", "os=3 trailing blank*\n");
  const std::string rules = dir / "rules.txt";
  // The same tree, unsigned and signed, with the same release number.
  ASSERT_EQ(publish("Plain", {"--version-number", "3", "--rules", rules}).status, 0);
  run_result r = publish("Signed", {"--version-number", "3", "--rules", rules, "--sign", key()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(directory_text(release("Signed")), directory_text(release("Plain")));
  std::string list, err;
  EXPECT_FALSE(pub::read_member(release("Plain") + "directory.txt.zip", rsig::kFileListMember, list, err));
  ASSERT_TRUE(pub::read_member(release("Signed") + "directory.txt.zip", rsig::kFileListMember, list, err)) << err;
  std::vector<rsig::file_hash> files;
  ASSERT_TRUE(rsig::file_list_parse(list, files, err)) << err;
  ASSERT_EQ(files.size(), 3u);
  std::map<std::string, std::string> by_path;
  for (const auto& f : files) by_path[f.path] = f.sha256;
  EXPECT_EQ(by_path["Skyvane/Craft/Kestrel 2/Kestrel 2.craft"], sha(std::string(5000, 'k')));
  EXPECT_EQ(by_path["Skyvane/Output/empty.txt"], sha(""));
  EXPECT_EQ(by_path["Skyvane/trailing blank "], sha("x"));
  // The installer's reader reads the signed release as any other.
  EXPECT_EQ(engine_read(release("Signed"), dir / "scratch/"), 3);

  // A key file that is not one is refused before any work.
  write_file(dir / "bad.key", "hello\n");
  run_result bad = publish("Other", {"--sign", dir / "bad.key"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_FALSE(fs::exists(release("Other")));
}

TEST_F(PublishSignTest, SignedServerListNamesTheListAndEachOfferedRelease) {
  make_tree(top(), {{"a.txt", "one"}});
  const std::string pub = keygen(key());
  ASSERT_EQ(publish("Skyvane 1.00", {"--sign", key()}).status, 0);
  make_tree(top(), {{"a.txt", "two"}});
  ASSERT_EQ(publish("Skyvane 2.00", {"--sign", key(), "--previous", release("Skyvane 1.00") + "directory.txt.zip"})
                .status,
            0);
  run_result r = serverlist("Skyvane 2.00", {"--final", "Skyvane 1.00", "--sign", key(), "--expires", "30",
                                              "--serial", "7"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = read_file(www() + "/serverlist.sig");
  const std::string list = read_file(www() + "/serverlist.txt");
  rsig::statement st;
  const std::int64_t now = static_cast<std::int64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  ASSERT_EQ(rsig::statement_check(text, list, {pub}, now, 0, st), rsig::verdict::ok) << text;
  EXPECT_EQ(st.serial, 7u);
  ASSERT_TRUE(st.has_expiry);
  EXPECT_NEAR(static_cast<double>(st.expires - now), 30.0 * 86400, 120);
  for (const char* v : {"Skyvane 1.00", "Skyvane 2.00"}) {
    const rsig::signed_version* sv = st.find(v);
    ASSERT_NE(sv, nullptr) << v;
    std::string dir_txt, files, err;
    ASSERT_TRUE(pub::read_member(release(v) + "directory.txt.zip", "directory.txt", dir_txt, err));
    ASSERT_TRUE(pub::read_member(release(v) + "directory.txt.zip", rsig::kFileListMember, files, err));
    EXPECT_EQ(sv->directory_sha256, sha(dir_txt)) << v;
    EXPECT_EQ(sv->files_sha256, sha(files)) << v;
  }
  // Without --serial the next statement's serial is above the last one.
  ASSERT_EQ(serverlist("Skyvane 2.00", {"--sign", key()}).status, 0);
  ASSERT_EQ(rsig::statement_check(read_file(www() + "/serverlist.sig"), read_file(www() + "/serverlist.txt"), {pub},
                                  now, 8, st),
            rsig::verdict::ok);
  EXPECT_GT(st.serial, 7u);
  EXPECT_FALSE(st.has_expiry);
}

TEST_F(PublishSignTest, SigningAListOfUnsignedOrMissingReleasesFails) {
  make_tree(top(), {{"a.txt", "one"}});
  keygen(key());
  ASSERT_EQ(publish("Unsigned").status, 0);
  run_result r = serverlist("Unsigned", {"--sign", key()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--sign"), std::string::npos) << r.err;
  r = serverlist("Nowhere", {"--sign", key()});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(www() + "/serverlist.sig"));
  EXPECT_FALSE(fs::exists(www() + "/serverlist.txt"));
  EXPECT_EQ(serverlist("Unsigned", {"--expires", "3"}).status, 2) << "--expires without --sign";
}
