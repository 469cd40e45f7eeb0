// The directory file the publisher writes: its text, the strict reader of
// earlier releases' files, the installer's reader on the same text, and the
// history that carries over from release to release.
#include <gtest/gtest.h>

#include "engine/utils.h"
#include "engine/run_state.h"
#include "tests/support/temp_dir.h"
#include "tools/publish/manifest.h"

using namespace pub;

namespace {

const std::string A = std::string(32, 'a');
const std::string B = std::string(32, 'b');
const std::string C = std::string(32, 'c');

version ver(int num, const std::string& sig, long long down = 3, long long disk = 5, int os = 0, int use = 0) {
  version v;
  v.use_type = use;
  v.os_type = os;
  v.version_num = num;
  v.down_size = down;
  v.disk_size = disk;
  v.sig = sig;
  return v;
}

current_file cur(const std::string& path, const std::string& sig, int os = 0, int use = 0) {
  return current_file{path, sig, 3, 5, os, use};
}

const history* find(const manifest& m, const std::string& path) {
  for (const history& h : m.files)
    if (h.path == path) return &h;
  return nullptr;
}

}  // namespace

// ----------------------------------------------------------------------- writer

TEST(PublishManifestTest, WriterGroupsVersionsUnderOneDirLinePerFolder) {
  manifest m;
  m.files.push_back({"Sky/a.txt", {ver(1, A, 1, 2), ver(2, B, 3, 4)}});
  m.files.push_back({"Sky/name with  blanks ", {ver(1, C, 1, 1, 3, 2)}});
  m.files.push_back({"Sky/Scenery Packs/Harbour Hills/x.tile", {ver(1, A), ver(2, "GONE", 0, 0)}});
  EXPECT_EQ(manifest_text(m),
            "I\n900\nINSTALLER\n"
            "DIR Sky/\n"
            "FILE 0 0 1 1 2 " + A + " a.txt\n"
            "FILE 0 0 2 3 4 " + B + " a.txt\n"
            "FILE 2 3 1 1 1 " + C + " name with  blanks \n"
            "DIR Sky/Scenery Packs/Harbour Hills/\n"
            "FILE 0 0 1 3 5 " + A + " x.tile\n"
            "FILE 0 0 2 0 0 GONE x.tile\n");
}

TEST(PublishManifestTest, SizesAreThousandsRoundedUpAndPathsOrderByFolder) {
  EXPECT_EQ(thousands_up(0), 0);
  EXPECT_EQ(thousands_up(1), 1);
  EXPECT_EQ(thousands_up(1000), 1);
  EXPECT_EQ(thousands_up(1001), 2);
  EXPECT_EQ(thousands_up(5000000000ull), 5000000);
  // A folder's files come before its sub-folders' and stay together, even
  // where byte order of the whole path would interleave them.
  EXPECT_TRUE(path_less("T/a/z", "T/a/y/q"));
  EXPECT_TRUE(path_less("T/a/x", "T/a/z"));
  EXPECT_TRUE(path_less("T/z", "T/a/x"));
}

// ----------------------------------------------------------------- strict reader

TEST(PublishManifestTest, StrictReaderTakesTheInstallersSyntax) {
  std::string text =
      "A\r\n900 version and a comment\r\n  INSTALLER\r\n\r\n"
      "# a comment line\r\n"
      "DIR Sky/Craft/\r\n"
      "   FILE 1 2 3 4 5 " + A + " k 2.craft\r\n"
      "FILE\t1 2 4 4 5 " + B + "\tk 2.craft\r"
      "DIRECTORY ignored\n"
      "DIR Sky/\n"
      "FILE 0 0 1 0 0 GONE old.txt\n\n\n"
      "DIR Sky/Craft/\n"
      "FILE 0 6 5 4 5 " + C + " k 2.craft";
  manifest m;
  std::string err;
  ASSERT_TRUE(manifest_parse(text, m, err)) << err;
  ASSERT_EQ(m.files.size(), 2u);
  EXPECT_EQ(m.files[0].path, "Sky/Craft/k 2.craft");
  // Versions of one path are gathered even when another path came between.
  ASSERT_EQ(m.files[0].versions.size(), 3u);
  EXPECT_EQ(m.files[0].versions[0], ver(3, A, 4, 5, 2, 1));
  EXPECT_EQ(m.files[0].versions[2].os_type, 6);
  EXPECT_EQ(m.files[1].versions[0].sig, "GONE");

  manifest old;
  ASSERT_TRUE(manifest_parse("I\n840\nINSTALLER\nDIR T/\nFILE 0 0 1 1 1 " + A + " x\n", old, err)) << err;
  EXPECT_EQ(old.files.size(), 1u);
}

TEST(PublishManifestTest, StrictReaderRefusesFilesThatDoNotRead) {
  const std::string head = "I\n900\nINSTALLER\n";
  struct {
    std::string text;
    const char* fragment;
  } cases[] = {
      {"", "line 1"},
      {"X\n900\nINSTALLER\n", "line 1"},
      {"I\n901\nINSTALLER\n", "line 2: the format version"},
      {"I\n900\nSERVERS\n", "line 3"},
      {"I\n900\nINSTALLERS\n", "line 3"},
      {head + "FILE 0 0 1 1 1 " + A + " x\n", "line 4: a FILE line comes before any DIR"},
      {head + "DIR T\n", "ending in \"/\""},
      {head + "DIR T/\nFILE 0 0 1 1 1 " + A + "\n", "no file name"},
      {head + "DIR T/\nFILE 5 0 1 1 1 " + A + " x\n", "use_type"},
      {head + "DIR T/\nFILE 0 7 1 1 1 " + A + " x\n", "os_type"},
      {head + "DIR T/\nFILE 0 0 x1 1 1 " + A + " x\n", "version number"},
      {head + "DIR T/\nFILE 0 0 1 -1 1 " + A + " x\n", "download size"},
      {head + "DIR T/\nFILE 0 0 1 1 1k " + A + " x\n", "disk size"},
      {head + "DIR T/\nFILE 0 0 1 1 1 " + std::string(32, 'A') + " x\n", "signature"},
      {head + "DIR T/\nFILE 0 0 1 1 1 NONE x\n", "signature"},
      {head + "DIR T/\n\nFILE 0 0 1 1 1 abc x\n", "line 6"},
  };
  for (const auto& c : cases) {
    manifest m;
    std::string err;
    EXPECT_FALSE(manifest_parse(c.text, m, err)) << c.text;
    EXPECT_NE(err.find(c.fragment), std::string::npos) << c.text << " -> " << err;
  }
}

// The installer's own reader on the writer's text: every field, names with
// blanks (inner and trailing), and the grouping of versions.
TEST(PublishManifestTest, InstallerReaderReadsWhatTheWriterWrites) {
  manifest m;
  m.files.push_back({"Sky/Craft/Kestrel 2/Kestrel 2.craft", {ver(1, A, 10, 20, 0, 0), ver(2, B, 11, 21, 0, 0)}});
  m.files.push_back({"Sky/Resources/add-ons/lin.so", {ver(3, C, 1, 2, 3, 4)}});
  m.files.push_back({"Sky/empty.txt", {ver(1, A, 1, 0), ver(4, "GONE", 0, 0)}});
  m.files.push_back({"Sky/trailing ", {ver(1, B, 1, 1, 6, 1)}});
  std::sort(m.files.begin(), m.files.end(), [](const history& a, const history& b) { return path_less(a.path, b.path); });
  testing_support::TempDir dir;
  testing_support::write_file(dir / "directory.txt", manifest_text(m));
  run_state_reset();
  engine_state_reset();
  ASSERT_EQ(read_directory_no_scan(dir / "directory.txt", "test"), 3);
  ASSERT_EQ(sim_info.files.size(), m.files.size());
  for (std::size_t i = 0; i < m.files.size(); ++i) {
    ASSERT_EQ(sim_info.files[i].versions.size(), m.files[i].versions.size()) << m.files[i].path;
    for (std::size_t k = 0; k < m.files[i].versions.size(); ++k) {
      const file_version_struct& g = sim_info.files[i].versions[k];
      const version& v = m.files[i].versions[k];
      EXPECT_EQ(g.path, m.files[i].path);
      EXPECT_EQ(g.use_type, v.use_type);
      EXPECT_EQ(g.os_type, v.os_type);
      EXPECT_EQ(g.version_num, v.version_num);
      EXPECT_EQ(g.down_size, static_cast<float>(v.down_size));
      EXPECT_EQ(g.disk_size, static_cast<float>(v.disk_size));
      EXPECT_EQ(g.sig_want, v.sig);
    }
  }
  engine_state_reset();
}

// ------------------------------------------------------------------------ merge

TEST(PublishMergeTest, HistoryAndGoneEntriesAcrossThreeReleases) {
  merge_counts n;
  manifest r1 = manifest_merge(nullptr, {cur("T/keep", A), cur("T/change", A), cur("T/drop", A)}, 1, n);
  EXPECT_EQ(n.added, 3);
  manifest r2 = manifest_merge(&r1, {cur("T/keep", A), cur("T/change", B), cur("T/new", C)}, 2, n);
  EXPECT_EQ(n.added, 1);
  EXPECT_EQ(n.changed, 1);
  EXPECT_EQ(n.unchanged, 1);
  EXPECT_EQ(n.gone, 1);
  // Release 3: "drop" comes back with its old contents, "new" goes away,
  // "change" changes back to what release 1 had.
  manifest r3 = manifest_merge(&r2, {cur("T/keep", A), cur("T/change", A), cur("T/drop", A)}, 3, n);
  EXPECT_EQ(n.added, 1);
  EXPECT_EQ(n.changed, 1);
  EXPECT_EQ(n.unchanged, 1);
  EXPECT_EQ(n.gone, 1);

  ASSERT_EQ(r3.files.size(), 4u);
  auto sigs = [&](const std::string& p) {
    std::vector<std::string> out;
    for (const version& v : find(r3, p)->versions) out.push_back(v.sig + "@" + std::to_string(v.version_num));
    return out;
  };
  EXPECT_EQ(sigs("T/keep"), (std::vector<std::string>{A + "@1"}));
  EXPECT_EQ(sigs("T/change"), (std::vector<std::string>{A + "@1", B + "@2", A + "@3"}));
  EXPECT_EQ(sigs("T/drop"), (std::vector<std::string>{A + "@1", "GONE@2", A + "@3"}));
  EXPECT_EQ(sigs("T/new"), (std::vector<std::string>{C + "@2", "GONE@3"}));
  const version& gone = find(r3, "T/new")->versions.back();
  EXPECT_EQ(gone.down_size, 0);
  EXPECT_EQ(gone.disk_size, 0);

  // A fourth release without "new" keeps its single GONE: nothing more to say.
  manifest r4 = manifest_merge(&r3, {cur("T/keep", A), cur("T/change", A), cur("T/drop", A)}, 4, n);
  EXPECT_EQ(n.gone, 0);
  EXPECT_EQ(find(r4, "T/new")->versions.size(), 2u);
}

TEST(PublishMergeTest, SameContentsTakeNewTypesWithoutNewVersion) {
  merge_counts n;
  manifest r1 = manifest_merge(nullptr, {cur("T/plugin.so", A, 0, 0)}, 1, n);
  current_file moved = cur("T/plugin.so", A, 3, 2);
  moved.down_size = 9;
  manifest r2 = manifest_merge(&r1, {moved}, 2, n);
  ASSERT_EQ(r2.files[0].versions.size(), 1u);
  EXPECT_EQ(r2.files[0].versions[0], ver(1, A, 9, 5, 3, 2));
  // A file removed for one system keeps its type on the GONE line, so only
  // that system's installs delete it.
  manifest r3 = manifest_merge(&r2, {}, 3, n);
  EXPECT_EQ(r3.files[0].versions.back(), ver(3, "GONE", 0, 0, 3, 2));
}
