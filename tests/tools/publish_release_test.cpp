// Whole releases: real trees in temporary folders published by the library
// and by the real program, read back with the installer's extraction and
// reader, installed the way the executor installs, and every bad input.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "engine/utils.h"
#include "engine/run_state.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/publish_fixture.h"
#include "tools/publish/archive.h"
#include "tools/publish/release.h"

namespace fs = std::filesystem;
using namespace publish_test;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

std::string noise(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::string text(std::size_t n, const std::string& word) {
  std::string s;
  while (s.size() < n) s += word + " ";
  s.resize(n);
  return s;
}

// A small simulator tree: folders with blanks, a name with a trailing blank,
// an empty file, compressible and incompressible files, files per system.
tree_map sample_tree() {
  return {
      {"Craft/Kestrel 2/Kestrel 2.craft", text(40000, "wing")},
      {"Craft/Kestrel 2/paint schemes/Red/body.png", noise(70001, 1)},
      {"Scenery Packs/Harbour Hills/field data/fields.txt", text(5000, "runway 16L")},
      {"Resources/default data/earth_fix.dat", text(999, "fix")},
      {"Resources/add-ons/win.dll", noise(3000, 2)},
      {"Resources/add-ons/lin.so", noise(3000, 3)},
      {"Resources/add-ons/mac.dylib", noise(3000, 4)},
      {"Wing Sections/Section 0012 (even).wing", text(1000, "0.1")},
      {"Output/empty.txt", ""},
      {"trailing blank ", "x"},
      {"Skyvane-Linux", noise(2000, 5)},
  };
}

const char* kRules =
    "os=2 *.dll\n"
    "os=3 use=1 Resources/add-ons/*.so\n"
    "os=1 *.dylib\n"
    "os=3 Skyvane-Linux\n"
    "os=3 trailing blank*\n";  // Windows cannot hold a name ending in a blank

class PublishReleaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run_state_reset();
    engine_state_reset();
  }
  void TearDown() override {
    engine_state_reset();
    run_state_reset();
  }
  TempDir dir;
  std::string top() { return dir / "Skyvane"; }
  std::string www() { return dir / "www"; }
  std::string release(const std::string& version) { return www() + "/pub/" + version + "/"; }
};

}  // namespace

// The round trip: publish, read back with the installer's reader, install
// each system's files the way the executor does, compare byte for byte.
TEST_F(PublishReleaseTest, RoundTripInstallsTheTreeForEachSystem) {
  tree_map tree = sample_tree();
  make_tree(top(), tree);
  chmod((top() + "/Skyvane-Linux").c_str(), 0755);
  write_file(dir / "rules.txt", kRules);

  pub::release_options o;
  o.tree = top();
  o.version_name = "Skyvane 1.00";
  o.out_root = www();
  o.prefix = "/pub/";
  o.rules = dir / "rules.txt";
  pub::release_report r;
  std::string err;
  ASSERT_TRUE(pub::publish_release(o, r, err)) << err;
  EXPECT_EQ(r.release_dir, release("Skyvane 1.00"));
  EXPECT_EQ(r.files, static_cast<int>(tree.size()));
  EXPECT_EQ(r.counts.added, static_cast<int>(tree.size()));
  EXPECT_TRUE(r.warnings.empty());
  // Only the release is left in the prefix folder: no temporary folders.
  EXPECT_EQ(list_names(www() + "/pub"), (std::vector<std::string>{"Skyvane 1.00"}));

  ASSERT_EQ(engine_read(r.release_dir, dir / "scratch/"), 3);
  ASSERT_EQ(sim_info.files.size(), tree.size());
  std::map<std::string, int> os_of;
  for (const auto& h : sim_info.files) {
    ASSERT_EQ(h.versions.size(), 1u);
    os_of[h.versions[0].path.substr(8)] = h.versions[0].os_type;
    EXPECT_EQ(h.versions[0].version_num, 1);
  }
  EXPECT_EQ(os_of["Resources/add-ons/win.dll"], 2);
  EXPECT_EQ(os_of["Resources/add-ons/lin.so"], 3);
  EXPECT_EQ(os_of["Resources/add-ons/mac.dylib"], 1);
  EXPECT_EQ(os_of["Skyvane-Linux"], 3);
  EXPECT_EQ(os_of["trailing blank "], 3);
  EXPECT_EQ(os_of["Craft/Kestrel 2/Kestrel 2.craft"], 0);

  for (int os : {1, 2, 3}) {
    std::string dest = dir / ("dest" + std::to_string(os) + "/");
    ASSERT_EQ(install_current(r.release_dir, dest, os), "");
    tree_map want;
    for (const auto& [rel, bytes] : tree)
      if (os_of[rel] == 0 || os_of[rel] == os) want[rel] = bytes;
    EXPECT_EQ(read_tree(dest), want) << "system " << os;
  }
  // Each archive holds the file alone under its own name, with its mode.
  std::string one;
  ASSERT_TRUE(pub::read_member(r.release_dir + "Skyvane/trailing blank .zip", "trailing blank ", one, err)) << err;
  EXPECT_EQ(one, "x");
  EXPECT_EQ(read_file(r.release_dir + "Skyvane/Craft/Kestrel 2/Kestrel 2.craft.zip").size() < 2000, true)
      << "a text file is deflated";
  EXPECT_LT(fs::file_size(r.release_dir + "Skyvane/Craft/Kestrel 2/paint schemes/Red/body.png.zip"), 70001u + 200)
      << "an incompressible file is stored, not grown";
}

// Three releases through the real program: histories, GONE entries, sizes
// 0 for GONE, archives only for what the release has, earlier releases
// untouched.
TEST_F(PublishReleaseTest, ThreeReleasesCarryHistoryAndGoneEntries) {
  make_tree(top(), {{"a.txt", "one"}, {"Sub Dir/b.txt", "bee"}, {"Sub Dir/c.txt", "sea"}});
  auto publish = [&](const std::string& version, const std::string& previous) {
    std::vector<std::string> args = {"release", "--tree", top(), "--version", version, "--out", www(), "--prefix", "/pub/"};
    if (!previous.empty()) args.insert(args.end(), {"--previous", previous});
    return run_publish(args);
  };
  run_result a = publish("A", "");
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_NE(a.out.find("3 added, 0 changed, 0 unchanged, 0 removed"), std::string::npos) << a.out;

  write_file(top() + "/a.txt", "one, changed");
  fs::remove(top() + "/Sub Dir/c.txt");
  write_file(top() + "/new.txt", "new");
  run_result b = publish("B", release("A") + "directory.txt.zip");
  ASSERT_EQ(b.status, 0) << b.err;
  EXPECT_NE(b.out.find("1 added, 1 changed, 1 unchanged, 1 removed"), std::string::npos) << b.out;
  EXPECT_NE(b.out.find("release number 2"), std::string::npos) << b.out;

  fs::remove(top() + "/new.txt");
  write_file(top() + "/Sub Dir/c.txt", "sea");
  // The previous file may also be given unzipped.
  write_file(dir / "B-directory.txt", directory_text(release("B")));
  run_result c = publish("C", dir / "B-directory.txt");
  ASSERT_EQ(c.status, 0) << c.err;

  ASSERT_EQ(engine_read(release("C"), dir / "scratch/"), 3);
  std::map<std::string, std::vector<std::string>> hist;
  for (const auto& h : sim_info.files)
    for (const auto& v : h.versions) {
      hist[v.path].push_back((v.sig_want == "GONE" ? "GONE" : "sig") + std::string("@") + std::to_string(v.version_num));
      if (v.sig_want == "GONE") {
        EXPECT_EQ(v.down_size, 0.f);
        EXPECT_EQ(v.disk_size, 0.f);
      }
    }
  EXPECT_EQ(hist["Skyvane/a.txt"], (std::vector<std::string>{"sig@1", "sig@2"}));
  EXPECT_EQ(hist["Skyvane/Sub Dir/b.txt"], (std::vector<std::string>{"sig@1"}));
  EXPECT_EQ(hist["Skyvane/Sub Dir/c.txt"], (std::vector<std::string>{"sig@1", "GONE@2", "sig@3"}));
  EXPECT_EQ(hist["Skyvane/new.txt"], (std::vector<std::string>{"sig@2", "GONE@3"}));
  EXPECT_FALSE(fs::exists(release("C") + "Skyvane/new.txt.zip"));
  EXPECT_TRUE(fs::exists(release("B") + "Skyvane/new.txt.zip"));
  EXPECT_FALSE(fs::exists(release("B") + "Skyvane/Sub Dir/c.txt.zip"));
  EXPECT_EQ(install_current(release("C"), dir / "dest/", 3), "");
  EXPECT_EQ(read_tree(dir / "dest"), (tree_map{{"a.txt", "one, changed"}, {"Sub Dir/b.txt", "bee"}, {"Sub Dir/c.txt", "sea"}}));
  EXPECT_EQ(list_names(www() + "/pub"), (std::vector<std::string>{"A", "B", "C"}));
}

// Every bad input fails with a clear message and leaves the output folder as
// it was: no release, no temporary folder.
TEST_F(PublishReleaseTest, BadInputsFailClearlyAndLeaveNothing) {
  make_tree(top(), {{"ok.txt", "fine"}});
  ASSERT_EQ(run_publish({"release", "--tree", top(), "--version", "V1", "--out", www()}).status, 0);
  write_file(dir / "garbage.txt", "this is not a directory file\n");
  write_file(dir / "other-top.txt", "I\n900\nINSTALLER\nDIR Other/\nFILE 0 0 1 1 1 " + std::string(32, 'a') + " x\n");
  write_file(dir / "bad-rules.txt", "os=9 *.txt\n");
  write_file(dir / "not-a-zip.zip", "PK? no");

  struct bad_case {
    const char* what;
    std::function<void(const std::string& t)> setup;  // changes a fresh copy of the tree
    std::vector<std::string> extra;                   // more arguments
    int status;
    const char* fragment;
  };
  std::vector<bad_case> cases = {
      {"line break in a name", [](const std::string& t) { write_file(t + "/bad\nname.txt", "x"); }, {}, 1,
       "\"bad\\nname.txt\" cannot be published: it holds a line break"},
      {"carriage return in a folder", [](const std::string& t) { write_file(t + "/dir\r/x.txt", "x"); }, {}, 1,
       "the folder \"dir\\r\" cannot be published"},
      {"leading blank", [](const std::string& t) { write_file(t + "/ lead.txt", "x"); }, {}, 1, "begins with a blank"},
      {"percent sign", [](const std::string& t) { write_file(t + "/100%.txt", "x"); }, {}, 1, "holds \"%\""},
      {"backslash", [](const std::string& t) { write_file(t + "/a\\b.txt", "x"); }, {}, 1, "backslash"},
      {"symbolic link", [](const std::string& t) { fs::create_symlink("ok.txt", t + "/link.txt"); }, {}, 1,
       "\"link.txt\" is a symbolic link"},
      {"pipe", [](const std::string& t) { mkfifo((t + "/pipe").c_str(), 0644); }, {}, 1, "not a regular file"},
      {"archive name taken by a folder",
       [](const std::string& t) {
         write_file(t + "/data", "x");
         write_file(t + "/data.zip/inner.txt", "y");
       },
       {}, 1, "which is also a folder of the tree"},
      {"empty tree", [](const std::string& t) { fs::remove(t + "/ok.txt"); }, {}, 1, "holds no files"},
      {"names that differ only in case", [](const std::string& t) { write_file(t + "/OK.TXT", "x"); }, {}, 1,
       "\"Skyvane/OK.TXT\" and \"Skyvane/ok.txt\" differ only in case"},
      {"folders that differ only in case",
       [](const std::string& t) {
         write_file(t + "/Data/a.txt", "x");
         write_file(t + "/data/a.txt", "y");
       },
       {}, 1, "differ only in case"},
      {"a name Windows reserves", [](const std::string& t) { write_file(t + "/aux.txt", "x"); }, {}, 1,
       "\"aux.txt\" cannot be published: Windows reserves the name"},
      {"a device name with a number", [](const std::string& t) { write_file(t + "/Sub/COM1.dat", "x"); }, {}, 1,
       "Windows reserves the name"},
      {"a folder Windows reserves", [](const std::string& t) { write_file(t + "/CON/inside.txt", "x"); }, {}, 1,
       "the folder \"CON\" cannot be published: Windows reserves the name"},
      {"a name ending in a dot", [](const std::string& t) { write_file(t + "/dotted.", "x"); }, {}, 1,
       "ends with a dot or a blank"},
      {"a folder ending in a blank", [](const std::string& t) { write_file(t + "/blank /a.txt", "x"); }, {}, 1,
       "ends with a dot or a blank"},
      {"a name like an extraction's leftover", [](const std::string& t) { write_file(t + "/.cache.part-12", "x"); },
       {}, 1, "looks like a half-written file"},
      {"previous that does not read", nullptr, {"--previous", "GARBAGE"}, 1, "does not read: line 1: it does not start with the line \"I\""},
      {"previous that is missing", nullptr, {"--previous", "MISSING"}, 1, "does not exist"},
      {"previous zip that is no zip", nullptr, {"--previous", "NOTZIP"}, 1, "is not a readable zip archive"},
      {"previous of another top folder", nullptr, {"--previous", "OTHERTOP"}, 1, "not below this tree's top folder"},
      {"bad rules", nullptr, {"--rules", "BADRULES"}, 1, "line 1: os_type 9"},
      {"release exists", nullptr, {"--version=V1"}, 1, "already exists"},
      {"version with a slash", nullptr, {"--version", "a/b"}, 1, "version name \"a/b\""},
      {"prefix without slashes", nullptr, {"--prefix", "pub"}, 1, "begin and end with \"/\""},
      {"bad version number", nullptr, {"--version-number", "x"}, 2, "--version-number"},
      {"unknown option", nullptr, {"--frobnicate"}, 2, "unknown argument"},
  };
  int n = 0;
  for (const bad_case& c : cases) {
    std::string t = dir / ("case" + std::to_string(n++) + "/Skyvane");
    fs::create_directories(t);
    fs::copy(top(), t, fs::copy_options::recursive);
    if (c.setup) c.setup(t);
    std::vector<std::string> args = {"release", "--tree", t, "--version", "V2", "--out", www()};
    for (std::string a : c.extra) {
      if (a == "GARBAGE") a = dir / "garbage.txt";
      if (a == "MISSING") a = dir / "missing.txt";
      if (a == "NOTZIP") a = dir / "not-a-zip.zip";
      if (a == "OTHERTOP") a = dir / "other-top.txt";
      if (a == "BADRULES") a = dir / "bad-rules.txt";
      args.push_back(a);
    }
    run_result r = run_publish(args);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.fragment), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(list_names(www()), (std::vector<std::string>{"V1"})) << c.what;
  }
  run_result inside = run_publish({"release", "--tree", top(), "--version", "V2", "--out", top() + "/www"});
  EXPECT_EQ(inside.status, 1);
  EXPECT_NE(inside.err.find("lies inside the tree"), std::string::npos) << inside.err;
  EXPECT_FALSE(fs::exists(top() + "/www"));
  run_result missing = run_publish({"release", "--tree", dir / "nowhere", "--version", "V2", "--out", www()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("is not a folder"), std::string::npos) << missing.err;
  EXPECT_EQ(list_names(www()), (std::vector<std::string>{"V1"}));
}

// A file that disappears after the tree was listed fails the run half-way:
// the temporary folder goes, and no release appears.
TEST_F(PublishReleaseTest, FailureHalfWayLeavesNoRelease) {
  tree_map tree;
  for (int i = 0; i < 40; ++i) tree["f" + std::to_string(i) + ".bin"] = noise(5000, static_cast<unsigned>(i));
  make_tree(top(), tree);
  pub::release_options o;
  o.tree = top();
  o.version_name = "V1";
  o.out_root = www();
  o.jobs = 2;
  o.after_listing = [&] { fs::remove(top() + "/f17.bin"); };
  pub::release_report r;
  std::string err;
  EXPECT_FALSE(pub::publish_release(o, r, err));
  EXPECT_NE(err.find("f17.bin"), std::string::npos) << err;
  EXPECT_TRUE(list_names(www()).empty());

  // A file that grows between listing and reading is caught as well.
  write_file(top() + "/f17.bin", "back");
  o.after_listing = [&] { write_file(top() + "/f3.bin", noise(6000, 9)); };
  EXPECT_FALSE(pub::publish_release(o, r, err));
  EXPECT_NE(err.find("changed while it was being published"), std::string::npos) << err;
  EXPECT_TRUE(list_names(www()).empty());
}

TEST_F(PublishReleaseTest, ReplaceSwapsAnExistingReleaseAndWarningsAreShown) {
  make_tree(top(), {{"a.txt", "one"}, {"Scenery/Earth Orbit Textures.png", "img"}});
  ASSERT_EQ(run_publish({"release", "--tree", top(), "--version", "V", "--out", www()}).status, 0);
  write_file(top() + "/a.txt", "two");
  write_file(dir / "rules.txt", "os=2 *.never\n");
  run_result r = run_publish({"release", "--tree", top(), "--version", "V", "--out", www(), "--replace", "--rules",
                              dir / "rules.txt", "--version-number=900", "--jobs", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(directory_text(www() + "/V/").find("FILE 0 0 900 1 1 "), std::string::npos) << directory_text(www() + "/V/");
  EXPECT_NE(r.err.find("will not be installed over the network"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("rule on line 1"), std::string::npos) << r.err;
  EXPECT_EQ(list_names(www()), (std::vector<std::string>{"V"}));
  std::string got, err;
  ASSERT_TRUE(pub::read_member(www() + "/V/Skyvane/a.txt.zip", "a.txt", got, err)) << err;
  EXPECT_EQ(got, "two");
}

// A name that Windows cannot hold is published when no Windows install
// takes the file: a rule gives it to Linux or the Macintosh only.
TEST_F(PublishReleaseTest, NamesWindowsReservesArePublishedForOtherSystemsOnly) {
  make_tree(top(), {{"ok.txt", "fine"}, {"linux/aux.linux", "for Linux"}, {"mac/trail.", "for the Macintosh"}});
  write_file(dir / "rules.txt", "os=3 *.linux\nos=1 mac/*\n");
  run_result r = run_publish({"release", "--tree", top(), "--version", "V1", "--out", www(), "--rules", dir / "rules.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  write_file(dir / "rules.txt", "os=3 *.linux\n");
  r = run_publish({"release", "--tree", top(), "--version", "V2", "--out", www(), "--rules", dir / "rules.txt"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("\"mac/trail.\""), std::string::npos) << r.err;
}

TEST_F(PublishReleaseTest, ChangedSystemOfAPathAndFileBecomingFolderAreReported) {
  make_tree(top(), {{"x", "file"}, {"y/z", "inside"}});
  ASSERT_EQ(run_publish({"release", "--tree", top(), "--version", "V1", "--out", www()}).status, 0);
  fs::remove(top() + "/x");
  fs::remove_all(top() + "/y");
  write_file(top() + "/x/inner", "now a folder");
  write_file(top() + "/y", "now a file");
  run_result r = run_publish(
      {"release", "--tree", top(), "--version", "V2", "--out", www(), "--previous", www() + "/V1/directory.txt.zip"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("\"Skyvane/x\" was a file and is now a folder"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\"Skyvane/y\" was a folder and is now a file"), std::string::npos) << r.err;
}

TEST_F(PublishReleaseTest, ServerListCommandWritesIntoAFolder) {
  fs::create_directories(www());
  run_result r = run_publish({"serverlist", "--out", www(), "--beta", "Skyvane 1.00", "--server", "127.0.0.1:8080",
                              "/pub/", "Main server", "--server", "127.0.0.2:8080", "/pub/", "Mirror"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(www() + "/serverlist.txt"),
            "I\n820\nSERVERS\nBETA Skyvane 1.00\nFINAL Skyvane 1.00\nSERVER 127.0.0.1:8080\n/pub/\nMain server\n"
            "SERVER 127.0.0.2:8080\n/pub/\nMirror\nENDOFLIST\n");
  EXPECT_EQ(list_names(www()), (std::vector<std::string>{"serverlist.txt"}));
  run_result bad = run_publish({"serverlist", "--out", www(), "--beta", "X", "--server", "h", "/p/", ""});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("description"), std::string::npos) << bad.err;
  run_result usage = run_publish({"serverlist", "--out", www(), "--server", "h", "/p/"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.err.find("Usage:"), std::string::npos);
  run_result help = run_publish({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("skyvane-publish release --tree DIR"), std::string::npos);
  EXPECT_EQ(run_publish({"publish"}).status, 2);
}
