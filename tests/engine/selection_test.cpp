// The disk examination and choose_files, on real files in a destination folder.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <thread>
#include <cerrno>

#include "engine/IO_UTILS.h"
#include "tests/engine/engine_fixture.h"

using engine_test::EngineTest;
using testing_support::write_file;
namespace fs = std::filesystem;

namespace {

std::string md5(const std::string& s) { return md5_hex(s.data(), s.size()); }

class SelectionTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    dest_dir_path = dir / "dest/";
    fs::create_directories(dest_dir_path);
    questions.clear();
    answers.clear();
    select_alert_hook = [](const std::string& path, int is_gone) {
      questions.push_back(path + (is_gone ? " (gone)" : ""));
      if (answers.empty()) return 2;
      const int a = answers.front();
      answers.erase(answers.begin());
      return a;
    };
  }
  // One FILE line of `os` for top/<name> with the signature of `contents`
  // (or "GONE"), `versions` older signatures first.
  std::string line(const std::string& name, const std::string& sig, int os = 0, int down = 10, int disk = 20) {
    return "FILE 0 " + std::to_string(os) + " 1 " + std::to_string(down) + " " + std::to_string(disk) + " " + sig +
           " " + name;
  }
  int read(const std::vector<std::string>& lines) {
    std::string text = "I\n900\nINSTALLER\nDIR top/\n";
    for (const std::string& l : lines) text += l + "\n";
    write_file(dir / "directory.txt", text);
    return read_directory(dir / "directory.txt", "title");
  }
  const file_version_struct& cur(std::size_t i) { return sim_info.files.at(i).versions.back(); }
  std::string flags(std::size_t i) {
    return std::string(cur(i).want_to_grab_it ? "grab" : "") + (cur(i).want_to_nuke_it ? "nuke" : "") +
           (!cur(i).want_to_grab_it && !cur(i).want_to_nuke_it ? "none" : "");
  }
  static std::vector<std::string> questions;
  static std::vector<int> answers;
};
std::vector<std::string> SelectionTest::questions;
std::vector<int> SelectionTest::answers;

TEST_F(SelectionTest, ExaminationFillsSignaturesAndTotals) {
  write_file(dest_dir_path + "same.txt", "same");
  write_file(dest_dir_path + "changed.txt", "local edit");
  write_file(dest_dir_path + "empty.txt", "");
  write_file(dest_dir_path + "empty-ok.txt", "");
  write_file(dest_dir_path + "sub/linux.bin", "old");
  ASSERT_EQ(read({
                line("same.txt", md5("same"), 0, 1, 2),
                line("changed.txt", md5("release"), 0, 10, 20),
                line("empty.txt", md5("x"), 0, 100, 200),
                line("missing.txt", md5("y"), 2, 1000, 2000),
                line("gone-missing.txt", "GONE", 0, 5000, 5000),
                line("sub/linux.bin", md5("new"), 3, 7, 7),  // other system: not counted
                line("empty-ok.txt", md5(""), 0, 9, 9),       // an empty file the release lists
            }),
            3);
  EXPECT_EQ(cur(0).sig_have, md5("same"));
  EXPECT_EQ(cur(0).on_disk, 1);
  EXPECT_EQ(cur(1).sig_have, md5("local edit"));
  EXPECT_EQ(cur(1).on_disk, 0);
  EXPECT_EQ(cur(2).sig_have, "NONE");  // an empty file where content is wanted counts as missing
  EXPECT_EQ(cur(3).sig_have, "NONE");
  EXPECT_EQ(cur(4).on_disk, 0);
  EXPECT_EQ(cur(5).sig_have, md5("old"));
  EXPECT_EQ(cur(6).on_disk, 1);
  // Modified files count before anyone is asked about them.
  EXPECT_EQ(stg.down_req, 10.0f + 100 + 1000);
  EXPECT_EQ(stg.disk_req, 20.0f + 200 + 2000);
  EXPECT_EQ(this_install_has_exes, 1);  // the Windows file is missing
}

#ifndef _WIN32  // a named pipe in the folder
TEST_F(SelectionTest, SpecialFilesOnDiskCountAsMissing) {
  // A pipe or a folder under a file's name is never read (a pipe would
  // block the examination for ever).
  ASSERT_EQ(::mkfifo((dest_dir_path + "pipe").c_str(), 0600), 0);
  fs::create_directories(dest_dir_path + "folder");
  ASSERT_EQ(read({line("pipe", md5("p")), line("folder", md5("f"))}), 3);
  EXPECT_EQ(cur(0).sig_have, "NONE");
  EXPECT_EQ(cur(1).sig_have, "NONE");
  EXPECT_EQ(stg.down_req, 20.0f);
}
#endif

TEST_F(SelectionTest, SystemNeutralFilesDoNotMarkExes) {
  ASSERT_EQ(read({line("a.txt", md5("a"), 0), line("l.bin", md5("l"), 3)}), 3);
  EXPECT_EQ(this_install_has_exes, 0);
  stg.download_os = 3;
  ASSERT_EQ(read({line("a.txt", md5("a"), 0), line("l.bin", md5("l"), 3)}), 3);
  EXPECT_EQ(this_install_has_exes, 1);
}

// Each examination says for itself whether the install brings system
// files: one that found them leaves nothing behind for the next one, which
// would otherwise rename a folder after an install of shared files only.
TEST_F(SelectionTest, EachExaminationDecidesAfreshWhetherItBringsSystemFiles) {
  stg.download_os = 3;
  ASSERT_EQ(read({line("a.txt", md5("a"), 0), line("l.bin", md5("l"), 3)}), 3);
  EXPECT_EQ(this_install_has_exes, 1);
  write_file(dest_dir_path + "l.bin", "l");
  ASSERT_EQ(read({line("a.txt", md5("a2"), 0), line("l.bin", md5("l"), 3)}), 3);
  EXPECT_EQ(this_install_has_exes, 0);  // the system file is in place: shared files only
}

TEST_F(SelectionTest, OsMatch) {
  file_version_struct v;
  const int want[4][7] = {
      // os_type 0..6 for download_os 0 (unused), 1, 2, 3
      {1, 0, 0, 0, 0, 0, 0},
      {1, 1, 0, 0, 0, 0, 0},
      {1, 0, 1, 0, 0, 0, 0},
      {1, 0, 0, 1, 0, 0, 1},
  };
  for (int os = 1; os <= 3; ++os) {
    stg.download_os = os;
    for (int t = 0; t <= 6; ++t) {
      v.os_type = t;
      EXPECT_EQ(os_match(v), want[os][t]) << "download_os " << os << " os_type " << t;
    }
  }
}

TEST_F(SelectionTest, DecisionTable) {
  write_file(dest_dir_path + "same.txt", "same");
  write_file(dest_dir_path + "older.txt", "v1");
  write_file(dest_dir_path + "older-gone.txt", "v1");
  write_file(dest_dir_path + "edited.txt", "mine");
  write_file(dest_dir_path + "edited-gone.txt", "mine");
  write_file(dest_dir_path + "mac.txt", "mine");
  ASSERT_EQ(read({
                line("same.txt", md5("same")),
                line("missing.txt", md5("m")),
                line("missing-gone.txt", "GONE"),
                line("older.txt", md5("v1")),
                line("older.txt", md5("v2")),
                line("older-gone.txt", md5("v1")),
                line("older-gone.txt", "GONE"),
                line("edited.txt", md5("v2")),
                line("edited-gone.txt", "GONE"),
                line("mac.txt", md5("m"), 1),
            }),
            3);
  answers = {1, 1};
  EXPECT_EQ(choose_files(), 1);
  EXPECT_EQ(flags(0), "none");  // already right
  EXPECT_EQ(flags(1), "grab");  // missing
  EXPECT_EQ(flags(2), "none");  // nothing there to delete
  EXPECT_EQ(flags(3), "grab");  // an unchanged older copy: no question
  EXPECT_EQ(flags(4), "nuke");
  EXPECT_EQ(flags(5), "grab");  // modified, answer 1
  EXPECT_EQ(flags(6), "nuke");  // modified and gone, answer 1
  EXPECT_EQ(flags(7), "none");  // another system
  EXPECT_EQ(questions, (std::vector<std::string>{dest_dir_path + "edited.txt", dest_dir_path + "edited-gone.txt (gone)"}));
  EXPECT_NE(log().find("File: " + dest_dir_path + "edited.txt  sig_want=" + md5("v2") + "  sig_have=" + md5("mine") +
                       "\n"),
            std::string::npos);

  // Keeping: answer 2 leaves both alone.
  questions.clear();
  answers = {2, 2};
  EXPECT_EQ(choose_files(), 1);
  EXPECT_EQ(flags(5), "none");
  EXPECT_EQ(flags(6), "none");
  EXPECT_EQ(questions.size(), 2u);  // asked again: nothing is remembered between calls
}

TEST_F(SelectionTest, FolderAnswers) {
  for (const char* f : {"A/1", "A/2", "A/sub/3", "B/4", "B/5", "C/6", "C/7"}) write_file(dest_dir_path + f, "mine");
  ASSERT_EQ(read({line("A/1", md5("x")), line("A/2", md5("x")), line("A/sub/3", md5("x")), line("B/4", "GONE"),
                  line("B/5", md5("x")), line("C/6", md5("x")), line("C/7", md5("x"))}),
            3);
  answers = {4, 2, 4, 5};  // A: replace all; A/sub: keep; B: replace all; C: keep all
  EXPECT_EQ(choose_files(), 1);
  EXPECT_EQ(questions, (std::vector<std::string>{dest_dir_path + "A/1", dest_dir_path + "A/sub/3",
                                                 dest_dir_path + "B/4 (gone)", dest_dir_path + "C/6"}));
  EXPECT_EQ(flags(0), "grab");
  EXPECT_EQ(flags(1), "grab");  // same folder, no question
  EXPECT_EQ(flags(2), "none");  // a sub-folder is asked about on its own
  EXPECT_EQ(flags(3), "nuke");
  EXPECT_EQ(flags(4), "grab");
  EXPECT_EQ(flags(5), "none");
  EXPECT_EQ(flags(6), "none");  // kept without a question
}

TEST_F(SelectionTest, CancelStopsAtOnce) {
  write_file(dest_dir_path + "a", "mine");
  write_file(dest_dir_path + "c", "mine");
  ASSERT_EQ(read({line("a", md5("x")), line("b", md5("x")), line("c", md5("x")), line("d", md5("x"))}), 3);
  sim_info.files[3].versions.back().want_to_nuke_it = 1;  // a flag from before stays
  answers = {1, 3};
  EXPECT_EQ(choose_files(), 0);
  EXPECT_EQ(flags(0), "grab");
  EXPECT_EQ(flags(1), "grab");
  EXPECT_EQ(flags(2), "none");
  EXPECT_EQ(flags(3), "nuke");
}

TEST_F(SelectionTest, WithoutAWindowTheDefaultAnswers) {
  select_alert_hook = nullptr;
  write_file(dest_dir_path + "a", "mine");
  write_file(dest_dir_path + "g", "mine");
  ASSERT_EQ(read({line("a", md5("x")), line("g", "GONE")}), 3);
  EXPECT_EQ(choose_files(), 1);  // keep (2) unless told otherwise
  EXPECT_EQ(flags(0), "none");
  EXPECT_EQ(flags(1), "none");
  EXPECT_NE(log().find("I am about to install: " + dest_dir_path + "a but it appears you have modified this file."),
            std::string::npos);
  EXPECT_NE(log().find("I am about to DELETE: " + dest_dir_path + "g because we no longer use this file"),
            std::string::npos);

  EXPECT_EQ(select_alert_default_from("overwrite"), 0);
  EXPECT_EQ(select_alert_default, sel_keep);
  EXPECT_EQ(select_alert_default_from("replace"), 1);
  EXPECT_EQ(choose_files(), 1);
  EXPECT_EQ(flags(0), "grab");
  EXPECT_EQ(flags(1), "nuke");
  EXPECT_EQ(select_alert_default_from("cancel"), 1);
  EXPECT_EQ(choose_files(), 0);
  EXPECT_EQ(select_alert_default_from("keep"), 1);
  EXPECT_EQ(choose_files(), 1);
  EXPECT_EQ(flags(0), "none");
}

TEST_F(SelectionTest, LocalPaths) {
  dest_dir_path = "/d/Dest/";
  EXPECT_EQ(local_path_of("top/Resources/a.txt"), "/d/Dest/Resources/a.txt");
  EXPECT_EQ(local_path_of("plain"), "/d/Dest/plain");
  EXPECT_EQ(local_folder_of("/d/Dest/Resources/a.txt"), "/d/Dest/Resources/");
  EXPECT_EQ(local_folder_of("a/b"), "a/b");  // three characters or fewer
}

TEST(DirProgress, PhaseTextsAndFraction) {
  EXPECT_EQ(dir_progress_phase_text(0), "Currently SCANNING the directory text file.");
  EXPECT_EQ(dir_progress_phase_text(1), "Currently EXAMINING the hard disk.");
  EXPECT_FLOAT_EQ(dir_progress_fraction(5, 7, 5), 0.52f);
  EXPECT_FLOAT_EQ(dir_progress_fraction(0, 0, 100), 0.04f);
  EXPECT_FLOAT_EQ(dir_progress_fraction(0, 50, 100), 0.52f);
  EXPECT_FLOAT_EQ(dir_progress_fraction(0, 100, 100), 1.0f);
  EXPECT_FLOAT_EQ(dir_progress_fraction(0, 250, 100), 1.0f);
  EXPECT_FLOAT_EQ(dir_progress_fraction(0, -5, 100), 0.04f);
}

}  // namespace

namespace {

// What the examination left in the model, one string per path, and the totals.
std::string examination_result() {
  std::string out;
  for (const file_history_struct& h : sim_info.files) {
    const file_version_struct& v = h.versions.back();
    out += v.path + " " + v.sig_have + " " + std::to_string(v.on_disk) + "\n";
  }
  return out + std::to_string(stg.down_req) + " " + std::to_string(stg.disk_req) + " " +
         std::to_string(this_install_has_exes);
}

}  // namespace

TEST_F(SelectionTest, WorkerThreadsGiveTheSameResultsAsOneThread) {
  // 600 paths: present and current, present and changed, an older copy,
  // missing, empty (listed as empty or not), removed by the release, and of
  // other systems; some files large enough to take a while.
  std::vector<std::string> lines;
  for (int i = 0; i < 600; ++i) {
    const std::string name = "f" + std::to_string(i);
    std::string contents = "contents of " + name;
    if (i % 37 == 0) contents.append(300000 + i, static_cast<char>('a' + i % 26));
    switch (i % 7) {
      case 0: write_file(dest_dir_path + name, contents); lines.push_back(line(name, md5(contents), i % 4, i, 2 * i)); break;
      case 1: write_file(dest_dir_path + name, contents + "!"); lines.push_back(line(name, md5(contents), 0, i, 1)); break;
      case 2:
        write_file(dest_dir_path + name, "old " + contents);
        lines.push_back(line(name, md5("old " + contents)));
        lines.push_back(line(name, md5(contents), 2, i, 3));
        break;
      case 3: lines.push_back(line(name, md5(contents), 3, 7, i)); break;
      case 4: write_file(dest_dir_path + name, ""); lines.push_back(line(name, md5(""), 0, 1, 1)); break;
      case 5: write_file(dest_dir_path + name, ""); lines.push_back(line(name, md5(contents), 1, 2, 2)); break;
      default: write_file(dest_dir_path + name, contents); lines.push_back(line(name, "GONE", i % 3)); break;
    }
  }

  struct Drawn {
    float cur;
    std::string detail;
    std::thread::id thread;
  };
  static std::vector<Drawn> drawn;
  dir_progress_hook = [](float, float cur, float, int phase, const std::string&, const std::string& d) {
    if (phase == 1) drawn.push_back({cur, d, std::this_thread::get_id()});
  };

  examine_threads = 1;
  drawn.clear();
  ASSERT_EQ(read(lines), 3);
  const std::string one = examination_result();
  const std::vector<Drawn> drawn_one = drawn;
  // The single-thread pass found what lies on disk.
  EXPECT_EQ(cur(0).sig_have, cur(0).sig_want);
  EXPECT_EQ(cur(1).sig_have, md5("contents of f1!"));
  EXPECT_EQ(cur(3).sig_have, "NONE");

  for (int threads : {2, 4, 0}) {
    SCOPED_TRACE(threads);
    this_install_has_exes = 0;
    examine_threads = threads;
    drawn.clear();
    ASSERT_EQ(read(lines), 3);
    EXPECT_EQ(examination_result(), one);
    // The same progress, in the same order, every box drawn by the calling
    // thread (the one that owns the window).
    ASSERT_EQ(drawn.size(), drawn_one.size());
    for (std::size_t k = 0; k < drawn.size(); ++k) {
      EXPECT_EQ(drawn[k].cur, drawn_one[k].cur);
      EXPECT_EQ(drawn[k].detail, drawn_one[k].detail);
      EXPECT_EQ(drawn[k].thread, std::this_thread::get_id());
    }
  }
}

TEST_F(SelectionTest, ExtractionLeftoversAreNeverCounted) {
  // An interrupted extraction leaves ".NAME.part-N" beside its target: a
  // complete copy of a.txt that never got its name, and a torn piece of b.txt.
  write_file(dest_dir_path + ".a.txt.part-1", "a");
  write_file(dest_dir_path + "b.txt", "b");
  write_file(dest_dir_path + ".b.txt.part-7", "b, half");
  ASSERT_EQ(read({line("a.txt", md5("a"), 0, 5, 6), line("b.txt", md5("b"), 0, 7, 8)}), 3);
  ASSERT_EQ(sim_info.files.size(), 2u);
  EXPECT_EQ(cur(0).sig_have, "NONE");  // the leftover is not the file
  EXPECT_EQ(cur(0).on_disk, 0);
  EXPECT_EQ(cur(1).on_disk, 1);
  EXPECT_EQ(stg.down_req, 5.0f);
  EXPECT_EQ(stg.disk_req, 6.0f);
  EXPECT_EQ(choose_files(), 1);
  EXPECT_EQ(flags(0), "grab");
  EXPECT_EQ(flags(1), "none");
  EXPECT_TRUE(questions.empty());
  EXPECT_EQ(testing_support::read_file(dest_dir_path + ".b.txt.part-7"), "b, half");
}

TEST_F(SelectionTest, AFileThatCannotBeReadToItsEndHasNoSignature) {
  // A read that fails after the first MiB (a file cut short or a disk error
  // while it is examined): the file is not taken for the part that was read.
  const std::string big(3u << 20, 'z');
  write_file(dest_dir_path + "big.bin", big);
  write_file(dest_dir_path + "ok.txt", "ok");
  examine_threads = 1;  // faults at the seam are armed process-wide, for one thread
  plat::fault_arm(plat::Op::read, EIO, 1);
  ASSERT_EQ(read({line("big.bin", md5(big), 0, 3000, 3000), line("ok.txt", md5("ok"), 0, 1, 1)}), 3);
  plat::fault_clear();
  EXPECT_EQ(cur(0).sig_have, "NONE");
  EXPECT_EQ(cur(0).on_disk, 0);
  EXPECT_EQ(cur(1).on_disk, 1);
  EXPECT_EQ(stg.down_req, 3000.0f);
  // Read whole, the same file is up to date.
  ASSERT_EQ(read({line("big.bin", md5(big), 0, 3000, 3000), line("ok.txt", md5("ok"), 0, 1, 1)}), 3);
  EXPECT_EQ(cur(0).on_disk, 1);
}

// Sizes are listed in thousands of bytes, rounded: a file may have one
// thousand more. Computed in 64-bit integers, a file listed as 16,777,217
// thousand may have 16,777,218,000 bytes (in single precision the limit
// came out a thousand thousand lower, and the archive was refused).
TEST(ListedBytesLimit, ExactFarBeyondSinglePrecision) {
  EXPECT_EQ(listed_bytes_limit(0), 1000);
  EXPECT_EQ(listed_bytes_limit(-5), 1000);
  EXPECT_EQ(listed_bytes_limit(12), 13000);
  EXPECT_EQ(listed_bytes_limit(16777217), 16777218000LL);
  EXPECT_EQ(listed_bytes_limit(2147483647), 2147483648000LL);
}
