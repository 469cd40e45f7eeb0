#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <filesystem>

#include "engine/IO_UTILS.h"
#include "engine/release_sig.h"
#include "platform/sha256.h"
#include "tests/engine/engine_fixture.h"

using engine_test::EngineTest;
using testing_support::write_file;
namespace fs = std::filesystem;

namespace {

const char* const kTitle = "Scanning directory text file to see if you already have Skyvane installed...";

class DirectoryTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    dest_dir_path = dir / "dest/";
    fs::create_directories(dest_dir_path);
  }
  // Writes a directory file: the header, then the body lines, each ended by `eol`.
  std::string write_dir(const std::vector<std::string>& body, const std::string& eol = "\n",
                        const std::string& header = "I\n900\nINSTALLER\n") {
    std::string text = header;
    for (const std::string& l : body) text += l + eol;
    write_file(dir / "directory.txt", text);
    return dir / "directory.txt";
  }
  // Reads a body that must be refused whole, after a first line that lists
  // the user's keep.txt: result 2, an empty model, nothing requested, the
  // program going on, keep.txt untouched. Returns what went to standard error.
  std::string refused(std::vector<std::string> body) {
    write_file(dest_dir_path + "keep.txt", "user data");
    testing::internal::CaptureStderr();
    body.insert(body.begin(), {"DIR top/", "FILE 0 0 1 7 7 0cc175b9c0f1b6a831c399e269772661 keep.txt"});
    const int r = read_directory(write_dir(body), kTitle);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, 2);
    EXPECT_TRUE(sim_info.files.empty());  // nothing of it will be fetched or deleted
    EXPECT_EQ(stg.down_req, 0.0f);
    EXPECT_EQ(app_done, 0);
    EXPECT_EQ(choose_files(), 1);
    EXPECT_TRUE(fs::exists(dest_dir_path + "keep.txt"));
    return err;
  }
  // The paths of the model, one string per history: "path#versions".
  std::vector<std::string> model() {
    std::vector<std::string> out;
    for (const file_history_struct& h : sim_info.files)
      out.push_back(h.versions.back().path + "#" + std::to_string(h.versions.size()));
    return out;
  }
};

const std::vector<std::string> kBody = {
    "DIR Aerodeck/Resources/",
    "FILE 1 0 5 12 34 0cc175b9c0f1b6a831c399e269772661 a.txt",
    "FILE 2 2 6 13 35 900150983cd24fb0d6963f7d28e17f72 a.txt",
    "DIR Aerodeck/Scenery Packs/",
    "FILE 0 3 1 1 2 GONE old file.dat",
    "; a comment line",
    "OTHER words here",
};

TEST_F(DirectoryTest, ReadsTheModel) {
  EXPECT_EQ(read_directory(write_dir(kBody), kTitle), 3);
  ASSERT_EQ(sim_info.files.size(), 2u);
  const auto& a = sim_info.files[0].versions;
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[0].path, "Aerodeck/Resources/a.txt");
  EXPECT_EQ(a[0].sig_want, "0cc175b9c0f1b6a831c399e269772661");
  const file_version_struct& cur = a[1];
  EXPECT_EQ(cur.use_type, 2);
  EXPECT_EQ(cur.os_type, 2);
  EXPECT_EQ(cur.version_num, 6);
  EXPECT_EQ(cur.down_size, 13.0f);
  EXPECT_EQ(cur.disk_size, 35.0f);
  EXPECT_EQ(cur.sig_have, "NONE");
  EXPECT_EQ(cur.on_disk, 0);
  EXPECT_EQ(cur.want_to_grab_it, 0);
  EXPECT_EQ(cur.want_to_nuke_it, 0);
  EXPECT_EQ(sim_info.files[1].versions[0].path, "Aerodeck/Scenery Packs/old file.dat");
  EXPECT_EQ(sim_info.files[1].versions[0].sig_want, "GONE");
  // Only the current Windows file is missing and wanted.
  EXPECT_EQ(stg.down_req, 13.0f);
  EXPECT_EQ(stg.disk_req, 35.0f);
}

TEST_F(DirectoryTest, EveryLineEndStyleReadsTheSame) {
  ASSERT_EQ(read_directory(write_dir(kBody, "\n"), kTitle), 3);
  const std::vector<std::string> want = model();
  ASSERT_EQ(want.size(), 2u);
  for (const std::string& eol : std::vector<std::string>{"\r\n", "\r", "\n\n\n", "\r\n  \t\r\n", std::string("\0", 1), "\n\r\n\t"}) {
    std::string header = "I\r\n900\r\nINSTALLER" + eol;
    EXPECT_EQ(read_directory(write_dir(kBody, eol, header), kTitle), 3);
    EXPECT_EQ(model(), want);
    EXPECT_EQ(sim_info.files[0].versions.size(), 2u);
  }
  // No line end after the last line at all.
  std::string text = "I\n840\nINSTALLER\nDIR top/\nFILE 1 0 1 1 1 GONE last name";
  write_file(dir / "directory.txt", text);
  EXPECT_EQ(read_directory(dir / "directory.txt", kTitle), 3);
  EXPECT_EQ(model(), std::vector<std::string>{"top/last name#1"});
}

TEST_F(DirectoryTest, EmptyBody) {
  stg.down_req = 5;
  deleted_files.insert("x/");
  EXPECT_EQ(read_directory(write_dir({}), kTitle), 3);
  EXPECT_TRUE(sim_info.files.empty());
  EXPECT_EQ(stg.down_req, 0.0f);
  EXPECT_EQ(stg.disk_req, 0.0f);
  EXPECT_TRUE(deleted_files.empty());
}

TEST_F(DirectoryTest, GroupingOfVersions) {
  EXPECT_EQ(read_directory(write_dir({"DIR t/", "FILE 0 0 1 1 1 GONE A", "FILE 0 0 1 1 1 GONE B",
                                      "FILE 0 0 1 1 1 GONE A", "FILE 0 0 2 1 1 GONE A", "DIR t/x/",
                                      "FILE 0 0 1 1 1 GONE A", "DIR t/", "FILE 0 0 1 1 1 GONE x/A"}),
                           kTitle),
            3);
  EXPECT_EQ(model(), (std::vector<std::string>{"t/A#1", "t/B#1", "t/A#2", "t/x/A#2"}));
  EXPECT_EQ(sim_info.files[2].versions[1].version_num, 2);
}

TEST_F(DirectoryTest, ItemSyntax) {
  EXPECT_EQ(read_directory(write_dir({
                               "DIR top/first/",
                               "DIR",                  // no blank: ignored, folder kept
                               "DIRECTORY top/other/",  // another word: ignored
                               "  FILE\t-3  9 -7 +4 -+2 GONE   name with  blanks  ",
                               "FILE 7 -1 0 1x 0 GONE b",
                               "FILEX 0 0 0 0 0 GONE ignored",
                               "FILE 2 4 0 0 0 GONE c",
                           }),
                           kTitle),
            3);
  ASSERT_EQ(sim_info.files.size(), 3u);
  const file_version_struct& a = sim_info.files[0].versions[0];
  EXPECT_EQ(a.path, "top/first/name with  blanks  ");
  EXPECT_EQ(a.use_type, 0);  // -3 clamped
  EXPECT_EQ(a.os_type, 6);   // 9 clamped
  EXPECT_EQ(a.version_num, -7);
  EXPECT_EQ(a.down_size, 4.0f);
  EXPECT_EQ(a.disk_size, -2.0f);
  const file_version_struct& b = sim_info.files[1].versions[0];
  EXPECT_EQ(b.use_type, 4);
  EXPECT_EQ(b.os_type, 0);
  EXPECT_EQ(b.down_size, static_cast<float>(10 + ('x' - '0')));
  EXPECT_EQ(sim_info.files[2].versions[0].os_type, 4);
}

TEST_F(DirectoryTest, NetworkInstallDropsTheExcludedParts) {
  EXPECT_EQ(read_directory(write_dir({"DIR t/", "FILE 0 0 1 1 1 GONE a", "FILE 0 0 1 1 1 GONE Earth Orbit Textures/x",
                                      "FILE 0 0 2 1 1 GONE a", "FILE 0 0 1 1 1 GONE big 900 red terrain.dds",
                                      "FILE 0 0 1 1 1 GONE b"}),
                           kTitle),
            3);
  EXPECT_EQ(model(), (std::vector<std::string>{"t/a#2", "t/b#1"}));
}

TEST_F(DirectoryTest, HeaderRejectedTellsTheUserAndEndsTheRun) {
  // The download page is opened with a browser launcher; make sure none is found.
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path ? old_path : "";
  testing_support::set_env("PATH", dir / "nobin");
  testing::internal::CaptureStderr();
  const int r = read_directory(write_dir(kBody, "\n", "I\n901\nINSTALLER\n"), kTitle);
  const std::string err = testing::internal::GetCapturedStderr();
  testing_support::set_env("PATH", saved);
  EXPECT_EQ(r, 2);
  EXPECT_TRUE(sim_info.files.empty());
  EXPECT_NE(err.find("finding file formats that are newer than I can understand!"), std::string::npos);
  EXPECT_NE(err.find(dir / "directory.txt"), std::string::npos);
  EXPECT_EQ(stg.step, 2);
  EXPECT_EQ(app_done, 1);
  EXPECT_NE(log().find("(utils line 141)"), std::string::npos);
}

TEST_F(DirectoryTest, PathsLeavingTheDestinationRejectTheFile) {
  for (const std::string bad : {"DIR ../", "DIR /etc/", "DIR C:", "DIR top\\sub\\", "DIR top/../../"}) {
    SCOPED_TRACE(bad);
    const std::string err = refused({bad, "FILE 0 0 1 1 1 GONE passwd"});
    EXPECT_NE(err.find("outside the installation folder"), std::string::npos);
    EXPECT_NE(err.find(bad.substr(4) + "passwd"), std::string::npos);
  }
  EXPECT_NE(log().find("read_directory: refused unsafe path ../passwd"), std::string::npos);
}

TEST_F(DirectoryTest, DotDotInTheNameOrAcrossFolderAndNameRejectsTheFile) {
  // The folder and the name are checked apart; a ".." made of the folder's
  // last dot and the name's first one is found too.
  const std::vector<std::vector<std::string>> bad = {
      {"DIR top/", "FILE 0 0 1 1 1 GONE ../passwd"},
      {"DIR top/", "FILE 0 0 1 1 1 GONE sub/../../passwd"},
      {"DIR top/.", "FILE 0 0 1 1 1 GONE ./passwd"},
      {"DIR top/", "FILE 0 0 1 1 1 GONE x", "DIR ", "FILE 0 0 1 1 1 GONE /etc/passwd"},
  };
  for (const std::vector<std::string>& body : bad) {
    SCOPED_TRACE(body.back());
    EXPECT_NE(refused(body).find("outside the installation folder"), std::string::npos);
  }
  EXPECT_NE(log().find("read_directory: refused unsafe path top/../passwd"), std::string::npos);
  // Dots that make no ".." component are names like any other.
  ASSERT_EQ(read_directory(write_dir({"DIR top/a.", "FILE 0 0 1 1 1 GONE .b", "DIR top/..x/",
                                      "FILE 0 0 1 1 1 GONE y..", "FILE 0 0 1 1 1 GONE ...z"}),
                           kTitle),
            3);
  EXPECT_EQ(model(), (std::vector<std::string>{"top/a..b#1", "top/..x/y..#1", "top/..x/...z#1"}));
}

TEST_F(DirectoryTest, FileLinesBeforeAnyFolderLine) {
  // Without a DIR line the path is the name alone.
  ASSERT_EQ(read_directory(write_dir({"FILE 0 0 1 1 1 GONE top/a", "FILE 0 0 2 1 1 GONE top/a", "DIR top/",
                                      "FILE 0 0 1 1 1 GONE b"}),
                           kTitle),
            3);
  EXPECT_EQ(model(), (std::vector<std::string>{"top/a#2", "top/b#1"}));
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_directory(write_dir({"FILE 0 0 1 1 1 GONE /etc/passwd"}), kTitle), 2);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("outside the installation folder"), std::string::npos);
  EXPECT_TRUE(sim_info.files.empty());
}

TEST_F(DirectoryTest, NamesWithControlCharactersRejectTheFile) {
  // A tab inside a name, an escape sequence, a bell, DEL, in a file name or a
  // folder: each refuses the whole file, like a path leaving the destination.
  const std::vector<std::vector<std::string>> bad = {
      {"DIR top/", "FILE 0 0 1 1 1 GONE a\tb.txt"},
      {"DIR top/", "FILE 0 0 1 1 1 GONE \x1b[2Jclear.txt"},
      {"DIR top/\x07" "bell/", "FILE 0 0 1 1 1 GONE x.txt"},
      {"DIR top/", "FILE 0 0 1 1 1 GONE del\x7f.txt"},
      {"DIR top/", "FILE 0 0 1 1 1 GONE trailing.txt\t"},
  };
  for (const std::vector<std::string>& body : bad) {
    SCOPED_TRACE(body.back());
    EXPECT_NE(refused(body).find("a control character"), std::string::npos);
  }
  EXPECT_NE(log().find("read_directory: refused unsafe path top/a\\x09b.txt"), std::string::npos);
  EXPECT_EQ(log().find('\x1b'), std::string::npos);  // shown escaped, never raw
  // Every byte value, in the part of a name read eight bytes at a time and in
  // the tail: refused exactly for the control characters.
  for (int c = 1; c < 256; ++c) {
    if (c == '\n' || c == '\r') continue;  // they end the line
    for (const std::size_t at : {std::size_t(3), std::size_t(9)}) {
      std::string name = "name-0123456";
      name[at] = static_cast<char>(c);
      testing::internal::CaptureStderr();
      const int r = read_directory(write_dir({"DIR top/", "FILE 0 0 1 1 1 GONE " + name}), kTitle);
      testing::internal::GetCapturedStderr();
      const bool refused = c < 0x20 || c == 0x7f || c == ':' || c == '\\';  // drive and folder characters too
      EXPECT_EQ(r, refused ? 2 : 3) << "byte " << c << " at " << at;
    }
  }
  // Blanks and characters beyond ASCII are no control characters.
  ASSERT_EQ(read_directory(write_dir({"DIR top/Fl\xc3\xbcgel dir/", "FILE 0 0 1 1 1 GONE a b.txt"}), kTitle), 3);
  ASSERT_EQ(sim_info.files.size(), 1u);
  EXPECT_EQ(sim_info.files[0].versions[0].path, "top/Fl\xc3\xbcgel dir/a b.txt");
}

TEST_F(DirectoryTest, ProgressWhileReadingAndExamining) {
  struct Call {
    float lo, cur, hi;
    int phase;
    std::string title, detail;
  };
  static std::vector<Call> calls;
  calls.clear();
  dir_progress_hook = [](float lo, float cur, float hi, int phase, const std::string& t, const std::string& d) {
    calls.push_back({lo, cur, hi, phase, t, d});
  };
  const auto count = [](int phase) {
    return std::count_if(calls.begin(), calls.end(), [&](const Call& c) { return c.phase == phase; });
  };

  // 500 lines: exactly one drawing while reading, whatever the count before.
  std::vector<std::string> body = {"DIR top/"};
  for (int i = 0; i < 500; ++i) body.push_back("FILE 0 0 1 1 1 GONE f" + std::to_string(i));
  const std::string path = write_dir(body);
  ASSERT_EQ(read_directory(path, kTitle), 3);
  ASSERT_EQ(count(0), 1);
  const Call& c0 = *std::find_if(calls.begin(), calls.end(), [](const Call& c) { return c.phase == 0; });
  EXPECT_EQ(c0.hi, static_cast<float>(fs::file_size(path)));
  EXPECT_GT(c0.cur, 0.0f);
  EXPECT_LE(c0.cur, c0.hi);
  EXPECT_EQ(c0.title, kTitle);
  EXPECT_EQ(c0.detail.substr(0, 1), "f");
  // 500 paths: every 2nd is drawn while examining.
  EXPECT_EQ(count(1), 250);

  calls.clear();
  body.resize(101);  // 100 paths: every path
  ASSERT_EQ(read_directory(write_dir(body), kTitle), 3);
  EXPECT_EQ(count(1), 100);
  const Call& first = *std::find_if(calls.begin(), calls.end(), [](const Call& c) { return c.phase == 1; });
  EXPECT_EQ(first.detail, dest_dir_path + "f0");
  EXPECT_EQ(first.hi, 100.0f);

  calls.clear();
  std::vector<std::string> thousand = {"DIR top/"};
  for (int i = 0; i < 1000; ++i) thousand.push_back("FILE 0 0 1 1 1 GONE g" + std::to_string(i));
  ASSERT_EQ(read_directory(write_dir(thousand), kTitle), 3);
  EXPECT_EQ(count(1), 200);  // every fifth
}

TEST_F(DirectoryTest, WithoutAWindowProgressIsLoggedOncePerPhase) {
  std::vector<std::string> body = {"DIR top/"};
  for (int i = 0; i < 1200; ++i) body.push_back("FILE 0 0 1 1 1 GONE f" + std::to_string(i));
  ASSERT_EQ(read_directory(write_dir(body), kTitle), 3);
  const std::string l = log();
  const auto occurrences = [&](const std::string& s) {
    int n = 0;
    for (std::size_t p = l.find(s); p != std::string::npos; p = l.find(s, p + 1)) ++n;
    return n;
  };
  EXPECT_LE(occurrences("Currently SCANNING the directory text file."), 1);
  EXPECT_EQ(occurrences("Currently EXAMINING the hard disk."), 1);
}

TEST_F(DirectoryTest, ReadingWithoutExamination) {
  write_file(dest_dir_path + "a.txt", "a");
  EXPECT_EQ(read_directory_no_scan(write_dir({"DIR top/", "FILE 0 0 1 5 6 0cc175b9c0f1b6a831c399e269772661 a.txt"}),
                                   kTitle),
            3);
  ASSERT_EQ(sim_info.files.size(), 1u);
  EXPECT_EQ(sim_info.files[0].versions[0].sig_have, "");
  EXPECT_EQ(stg.down_req, 0.0f);
}

using DirectoryDeathTest = DirectoryTest;

TEST_F(DirectoryDeathTest, MissingFileEndsTheProgram) {
  // The caller checks that the file is there: a missing one is a fault of
  // the program itself.
  EXPECT_EXIT(read_directory(dir / "none.txt", kTitle), ::testing::ExitedWithCode(1),
              "I tried to read a directory file that does not exist!");
}

// An empty directory file, or a FILE line whose path names no file (no name
// at all, or a name ending in "/"), comes from a server: the file is
// refused, as a path leading out of the destination is, and the run goes on.
TEST_F(DirectoryTest, EmptyFileOrPathWithoutFileIsRefused) {
  write_file(dir / "empty.txt", "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_directory(dir / "empty.txt", kTitle), 2);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("empty"), std::string::npos);
  EXPECT_TRUE(sim_info.files.empty());
  EXPECT_EQ(app_done, 0);
  for (const std::string& line : {std::string("FILE 0 0 1 1 1 GONE sub/"),
                                  std::string("FILE 0 0 1 1 1 0cc175b9c0f1b6a831c399e269772661"),
                                  std::string("FILE 0 0 1 1 1 0cc175b9c0f1b6a831c399e269772661 ")}) {
    SCOPED_TRACE(line);
    const std::string err = refused({"DIR top/sub/", line});
    EXPECT_NE(err.find("a path that has no file"), std::string::npos) << err;
  }
}

// Sizes are whole thousands of bytes: files and totals beyond what single
// precision holds exactly (16,777,216 thousand) keep every unit.
TEST_F(DirectoryTest, SizesBeyondSinglePrecisionAreExact) {
  ASSERT_EQ(read_directory(write_dir({"DIR top/", "FILE 0 0 1 16777217 16777219 0cc175b9c0f1b6a831c399e269772661 big.bin",
                                      "FILE 0 0 1 1 1 900150983cd24fb0d6963f7d28e17f72 a.txt",
                                      "FILE 0 0 1 1 1 900150983cd24fb0d6963f7d28e17f72 b.txt",
                                      "FILE 0 0 1 2147483647 2147483647 900150983cd24fb0d6963f7d28e17f72 c.txt"}),
                           kTitle),
            3);
  const file_version_struct& big = sim_info.files[0].versions.back();
  EXPECT_EQ(static_cast<long long>(big.down_size), 16777217LL);
  EXPECT_EQ(static_cast<long long>(big.disk_size), 16777219LL);
  EXPECT_EQ(static_cast<long long>(stg.down_req), 16777217LL + 2 + 2147483647LL);
  EXPECT_EQ(static_cast<long long>(stg.disk_req), 16777219LL + 2 + 2147483647LL);
}

TEST(PathHasNoFile, Cases) {
  EXPECT_EQ(path_has_no_file("a/"), 1);
  EXPECT_EQ(path_has_no_file("/"), 1);
  EXPECT_EQ(path_has_no_file("a/b"), 0);
  EXPECT_EQ(path_has_no_file("a"), 0);
}

}  // namespace

TEST_F(DirectoryTest, TheModelOutlivesTheFileItWasReadFrom) {
  // The model's texts live in its own table: the mapping of the file is gone
  // when read_directory returns, and the file may be rewritten or removed.
  std::vector<std::string> body = {"DIR Aerodeck/Long folder name for the table/"};
  for (int i = 0; i < 3000; ++i)  // more than 1 MiB of texts
    body.push_back("FILE 0 0 1 1 1 " + md5_hex(&i, sizeof i) + " entry " + std::to_string(i) + std::string(300, 'x'));
  body.push_back(body.back());  // a second version of the last path
  const std::string path = write_dir(body);
  ASSERT_EQ(read_directory_no_scan(path, kTitle), 3);
  write_file(path, std::string(fs::file_size(path), '#'));
  fs::remove(path);
  ASSERT_EQ(sim_info.files.size(), 3000u);
  for (int i = 0; i < 3000; i += 7) {
    const file_version_struct& v = sim_info.files[i].versions.back();
    EXPECT_EQ(v.path, "Aerodeck/Long folder name for the table/entry " + std::to_string(i) + std::string(300, 'x'));
    EXPECT_EQ(v.sig_want, md5_hex(&i, sizeof i));
    EXPECT_EQ(std::strlen(v.path.c_str()), v.path.size());
  }
  EXPECT_EQ(sim_info.files.back().versions.size(), 2u);
  EXPECT_EQ(sim_info.files.back().versions[0].path, sim_info.files.back().versions[1].path);
}

TEST_F(DirectoryTest, TextsFarLongerThanTheFileFillManyBlocks) {
  // Every path repeats its folder: with a long folder and short names the
  // texts take many times the size of the file, in block after block of the
  // table. Each path and signature must come out whole, ended by a NUL.
  const std::string folder = "Aerodeck/" + std::string(1500, 'f') + "/";
  std::vector<std::string> body = {"DIR " + folder};
  const int n = 6000;  // some 9 MB of texts from a file of 0.3 MB
  for (int i = 0; i < n; ++i) {
    if (i % 1000 == 999) body.push_back("DIR " + folder);  // the same folder again
    body.push_back("FILE 0 0 1 1 1 " + md5_hex(&i, sizeof i) + " n" + std::to_string(i));
  }
  ASSERT_EQ(read_directory_no_scan(write_dir(body), kTitle), 3);
  ASSERT_EQ(sim_info.files.size(), static_cast<std::size_t>(n));
  EXPECT_GT(sim_info.text_blocks.size(), 3u);
  for (int i = 0; i < n; ++i) {
    const file_version_struct& v = sim_info.files[i].versions.back();
    ASSERT_EQ(v.path, folder + "n" + std::to_string(i)) << i;
    ASSERT_EQ(v.sig_want, md5_hex(&i, sizeof i)) << i;
    ASSERT_EQ(std::strlen(v.path.c_str()), v.path.size()) << i;
    ASSERT_EQ(std::strlen(v.sig_want.c_str()), v.sig_want.size()) << i;
  }
}

TEST_F(DirectoryTest, APathLongerThanTheNextBlockGetsABlockOfItsSize) {
  // Short names under a long folder fill most of the first block; the last
  // path is then longer than what is left of it and than the next block
  // would be.
  const std::string folder = "Aerodeck/" + std::string(1500, 'f') + "/";
  std::vector<std::string> body = {"DIR " + folder};
  const int n = 3000;  // 4.5 MB of texts
  for (int i = 0; i < n; ++i) body.push_back("FILE 0 0 1 1 1 GONE n" + std::to_string(i));
  const std::string long_name(6u << 20, 'L');
  body.push_back("FILE 0 0 1 1 1 0cc175b9c0f1b6a831c399e269772661 " + long_name);
  ASSERT_EQ(read_directory_no_scan(write_dir(body), kTitle), 3);
  ASSERT_EQ(sim_info.files.size(), static_cast<std::size_t>(n) + 1);
  for (int i = 0; i < n; i += 7) EXPECT_EQ(sim_info.files[i].versions[0].path, folder + "n" + std::to_string(i));
  const file_version_struct& last = sim_info.files.back().versions.back();
  EXPECT_TRUE(last.path == folder + long_name);
  EXPECT_EQ(std::strlen(last.path.c_str()), last.path.size());
  EXPECT_EQ(last.sig_want, "0cc175b9c0f1b6a831c399e269772661");
}

TEST_F(DirectoryTest, ALargeFileReadsWhole) {
  // Some 8 MB of names: the first block of the table is then large enough to
  // be laid on large pages where the system has them. With the folder, the
  // texts take more than that block: it is filled to its end, and the rest
  // goes to a second one.
  const std::string folder = "top/" + std::string(2500, 'd') + "/";
  std::vector<std::string> body = {"DIR " + folder};
  const int n = 2000;
  for (int i = 0; i < n; ++i)
    body.push_back("FILE 0 0 1 1 1 " + md5_hex(&i, sizeof i) + " " + std::to_string(i) + std::string(4000, 'x'));
  body.push_back(body.back());  // a second version of the last path
  ASSERT_EQ(read_directory_no_scan(write_dir(body), kTitle), 3);
  ASSERT_EQ(sim_info.files.size(), static_cast<std::size_t>(n));
  EXPECT_GE(sim_info.text_blocks.size(), 2u);
  for (int i = 0; i < n; ++i) {
    const file_version_struct& v = sim_info.files[i].versions.back();
    ASSERT_EQ(v.path, folder + std::to_string(i) + std::string(4000, 'x')) << i;
    ASSERT_EQ(v.sig_want, md5_hex(&i, sizeof i)) << i;
    ASSERT_EQ(std::strlen(v.path.c_str()), v.path.size()) << i;
  }
  EXPECT_EQ(sim_info.files.back().versions.size(), 2u);
}

TEST(ManifestText, ReadsLikeAString) {
  const std::string heap(40, 'p');  // long enough to live on the heap
  file_version_struct v;
  v.path = heap + "/a.txt";
  v.sig_have = "NONE";
  v.sig_want = std::string("GONE");
  EXPECT_TRUE(v.path == heap + "/a.txt");
  EXPECT_TRUE(v.path != "other");
  EXPECT_EQ(v.path + "#", heap + "/a.txt#");
  EXPECT_EQ("/" + v.path, "/" + heap + "/a.txt");
  EXPECT_EQ(std::string("x") + v.sig_have, "xNONE");
  EXPECT_EQ(v.path.find('/'), 40u);
  EXPECT_EQ(v.path.substr(41), "a.txt");
  EXPECT_EQ(std::string(v.path.c_str()), heap + "/a.txt");
  std::set<std::string> folders;
  folders.insert(v.path);
  EXPECT_EQ(folders.count(heap + "/a.txt"), 1u);
  std::ostringstream out;
  out << v.sig_have << "|" << v.path;
  EXPECT_EQ(out.str(), "NONE|" + heap + "/a.txt");
  EXPECT_TRUE(file_version_struct().path.empty());
  EXPECT_STREQ(file_version_struct().sig_have.c_str(), "");

  // Copies own their texts apart from the original; moves leave it empty.
  std::vector<file_version_struct> list(1, v);
  file_version_struct copy = list[0];
  list.clear();
  list.shrink_to_fit();
  EXPECT_EQ(copy.path, heap + "/a.txt");
  file_version_struct moved = std::move(copy);
  EXPECT_EQ(moved.path, heap + "/a.txt");
  EXPECT_TRUE(copy.path.empty());  // NOLINT(bugprone-use-after-move): a moved-from text is empty
  copy = moved;
  moved.path = "changed";
  EXPECT_EQ(copy.path, heap + "/a.txt");
  const file_version_struct& self = copy;
  copy = self;
  EXPECT_EQ(copy.path, heap + "/a.txt");
}

TEST(VersionList, GrowsCopiesAndMovesLikeAVector) {
  const auto make = [](int i) {
    file_version_struct v;
    v.path = std::string(40, 'a') + std::to_string(i);  // an owned text: ASan sees a lost or doubled copy
    v.version_num = i;
    return v;
  };
  version_list one;
  one.push_back(make(0));  // in place
  version_list many;
  many.push_back(make(0));
  for (int i = 1; i < 9; ++i) many.push_back(many.back());  // its own last version, while the list grows
  ASSERT_EQ(many.size(), 9u);
  for (const file_version_struct& v : many) EXPECT_EQ(v.path, std::string(40, 'a') + "0");
  many.emplace_back(make(9));
  EXPECT_EQ(many.back().version_num, 9);

  for (version_list* from : {&one, &many}) {
    const std::size_t n = from->size();
    version_list copy = *from;
    version_list moved = std::move(copy);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from list is empty
    ASSERT_EQ(moved.size(), n);
    EXPECT_EQ(moved.back().path, from->back().path);
    EXPECT_NE(moved.back().path.c_str(), from->back().path.c_str());
    copy = moved;
    moved = std::move(*from);
    EXPECT_EQ(copy.size(), n);
    EXPECT_EQ(moved.size(), n);
    moved.resize(1);
    EXPECT_EQ(moved[0].path, copy[0].path);
    moved.resize(3);
    EXPECT_TRUE(moved[2].path.empty());
    moved.clear();
    EXPECT_TRUE(moved.empty());
  }
}

namespace {

// Only a name with nothing under it counts as absent (the fetch then neither
// looks for a folder in the file's place nor makes a file there writable):
// a folder, an empty file, a file where a folder of the path must be, or a
// file that differs are not.
TEST_F(DirectoryTest, OnlyANameWithNothingUnderItIsAbsent) {
  fs::create_directories(dest_dir_path + "folder.txt");
  write_file(dest_dir_path + "empty.txt", "");
  write_file(dest_dir_path + "other.txt", "the user's");
  write_file(dest_dir_path + "blocker", "a file where a folder must be");
  // A link to nothing, where the system has links (not under Wine).
  std::error_code no_links;
  fs::create_symlink(dest_dir_path + "nowhere", dest_dir_path + "dangling.txt", no_links);
  const std::string sig = " 0cc175b9c0f1b6a831c399e269772661 ";
  ASSERT_EQ(read_directory(write_dir({"DIR top/", "FILE 0 0 1 1 1" + sig + "missing.txt",
                                      "FILE 0 0 1 1 1" + sig + "folder.txt", "FILE 0 0 1 1 1" + sig + "empty.txt",
                                      "FILE 0 0 1 1 1" + sig + "other.txt", "FILE 0 0 1 1 1" + sig + "dangling.txt",
                                      "DIR top/blocker/", "FILE 0 0 1 1 1" + sig + "inside.txt",
                                      "DIR top/gone/", "FILE 0 0 1 1 1" + sig + "inside.txt"}),
                           kTitle),
            3);
  // (The folder "top/" of the directory file is the destination itself.)
  std::map<std::string, int> absent;
  for (const file_history_struct& h : sim_info.files) absent[h.versions.back().path] = h.versions.back().absent;
  std::map<std::string, int> want = {{"top/missing.txt", 1},  {"top/folder.txt", 0},    {"top/empty.txt", 0},
                                           {"top/other.txt", 0},    {"top/dangling.txt", 1},  // a link to nothing: replaced as before
                                           {"top/blocker/inside.txt", 0}, {"top/gone/inside.txt", 1}};
  if (no_links) want["top/dangling.txt"] = 1;  // then nothing by that name at all
#ifdef _WIN32
  // Windows reports a path through a file as not found: nothing has that
  // name there either (the file in the folder's way is dealt with when the
  // way to it is made).
  want["top/blocker/inside.txt"] = 1;
#endif
  EXPECT_EQ(absent, want);
}

// A signed release: the per-file SHA-256 list decides whether a file on disk
// is the release's, not the MD5 the directory file lists.
class SignedDirectoryTest : public DirectoryTest {
 protected:
  static std::string md5(const std::string& s) { return md5_hex(s.data(), s.size()); }
  static std::string sha(const std::string& s) { return plat::sha256_hex(s.data(), s.size()); }
  // Two files whose directory lines carry the MD5 of `listed_md5_of` and
  // whose list carries the SHA-256 of `listed_sha_of`.
  int read(const std::string& listed_md5_of, const std::string& listed_sha_of, bool list_both = true) {
    const std::string dir_file = write_dir({"DIR top/", "FILE 0 0 1 1 1 " + md5(listed_md5_of) + " one.craft",
                                            "FILE 0 0 1 1 1 " + md5("second") + " two.craft",
                                            "FILE 0 0 1 1 1 GONE gone.craft"});
    std::vector<rsig::file_hash> list{{sha(listed_sha_of), "top/one.craft"}};
    if (list_both) list.push_back({sha("second"), "top/two.craft"});
    write_file(dir / "directory.sha256", rsig::file_list_text(list));
    file_hashes_path = dir / "directory.sha256";
    return read_directory(dir_file, kTitle);
  }
  const file_version_struct& one() { return sim_info.files[0].versions.back(); }
};

}  // namespace

TEST_F(SignedDirectoryTest, TheExaminationComparesSha256NotMd5) {
  write_file(dest_dir_path + "two.craft", "second");
  // On disk: what the list's SHA-256 names, though the MD5 listed is of other bytes.
  write_file(dest_dir_path + "one.craft", "right bytes");
  ASSERT_EQ(read("other bytes", "right bytes"), 3);
  ASSERT_EQ(sim_info.sha256.size(), 3u);
  EXPECT_EQ(sim_info.sha256[0], sha("right bytes"));
  EXPECT_TRUE(sim_info.sha256[2].empty());  // GONE
  EXPECT_EQ(one().on_disk, 1);
  EXPECT_EQ(sim_info.files[1].versions.back().on_disk, 1);
  EXPECT_EQ(wanted_digest(0), sha("right bytes"));

  // On disk: bytes whose MD5 the directory file lists, not the SHA-256: not
  // the release's file, fetched again (not asked about as a user's change).
  write_file(dest_dir_path + "one.craft", "md5 bytes");
  ASSERT_EQ(read("md5 bytes", "right bytes"), 3);
  EXPECT_EQ(one().on_disk, 0);
  EXPECT_EQ(one().sig_have, "NONE");
  EXPECT_EQ(stg.disk_req, 1.0f);

  // Unsigned, the MD5 decides as always.
  file_hashes_path.clear();
  EXPECT_EQ(read_directory(dir / "directory.txt", kTitle), 3);
  EXPECT_TRUE(sim_info.sha256.empty());
  EXPECT_EQ(one().on_disk, 1);
  EXPECT_EQ(wanted_digest(0), md5("md5 bytes"));
}

// Signed, the SHA-256 pass tells a missing file the same way.
TEST_F(SignedDirectoryTest, AMissingFileIsAbsentAFileThatDiffersIsNot) {
  write_file(dest_dir_path + "one.craft", "other bytes");
  ASSERT_EQ(read("right bytes", "right bytes"), 3);
  EXPECT_EQ(one().absent, 0);
  EXPECT_EQ(sim_info.files[1].versions.back().absent, 1);
}

TEST_F(SignedDirectoryTest, AListLackingAFileRefusesTheDirectoryFile) {
  EXPECT_EQ(read("a", "a", false), 2);
  EXPECT_TRUE(sim_info.files.empty());
  EXPECT_EQ(stg.down_req, 0.0f);
  write_file(dir / "directory.sha256", "I\n820\nFILEHASHES\nnot a digest\n");
  EXPECT_EQ(read_directory(dir / "directory.txt", kTitle), 2);
  EXPECT_TRUE(sim_info.files.empty());
}
