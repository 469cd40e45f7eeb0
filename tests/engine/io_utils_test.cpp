#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <filesystem>

#include "engine/IO_UTILS.h"
#include "engine/xmap.h"
#include "platform/md5.h"
#include "tests/engine/engine_fixture.h"

using engine_test::EngineTest;
using testing_support::exists;
using testing_support::read_file;
using testing_support::write_file;
namespace fs = std::filesystem;

namespace {

using IoUtilsTest = EngineTest;

// RFC 1321, appendix A.5.
const std::pair<const char*, const char*> kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST_F(IoUtilsTest, Md5TestVectorsOfFilesAndBlocks) {
  for (const auto& [text, digest] : kRfc1321) {
    EXPECT_EQ(md5_hex(text, std::strlen(text)), digest) << text;
    if (!*text) continue;  // an empty file is no file (below)
    write_file(dir / "v.bin", text);
    std::string sig = "NONE";
    EXPECT_EQ(calc_file_md5(dir / "v.bin", sig), 0);
    EXPECT_EQ(sig, digest) << text;
  }
}

// The incremental digest gives the block digest whatever the cut points,
// and starts a fresh stream after each result.
TEST_F(IoUtilsTest, Md5InPiecesEqualsWholeAndRestartsAfterResult) {
  plat::Md5 md5;
  for (const auto& [text, digest] : kRfc1321) {
    const std::size_t n = std::strlen(text);
    for (std::size_t cut = 0; cut <= n; cut += 7) {
      md5.add(text, cut);
      md5.add(text + cut, n - cut);
      EXPECT_EQ(md5.hex(), digest) << text << " cut at " << cut;
    }
  }
  md5.add("junk", 4);
  md5.reset();
  md5.add("abc", 3);
  EXPECT_EQ(md5.hex(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(IoUtilsTest, Md5OfMissingOrEmptyFileKeepsNone) {
  std::string sig = "NONE";
  EXPECT_EQ(calc_file_md5(dir / "missing.bin", sig), 20006);
  EXPECT_EQ(sig, "NONE");
  write_file(dir / "empty.bin", "");
  EXPECT_EQ(calc_file_md5(dir / "empty.bin", sig), 20006);
  EXPECT_EQ(sig, "NONE");
  EXPECT_EQ(calc_file_md5(dir.path(), sig), 20006);  // a folder
  EXPECT_EQ(sig, "NONE");
}

TEST_F(IoUtilsTest, Md5OfLargeFileAcrossBlocksAndReadFault) {
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 9));
  write_file(dir / "big.bin", big);
  std::string sig;
  ASSERT_EQ(calc_file_md5(dir / "big.bin", sig), 0);
  EXPECT_EQ(sig, md5_hex(big.data(), big.size()));
  std::string mapped;
  ASSERT_EQ(calc_file_md5_mapped(dir / "big.bin", mapped), 0);
  EXPECT_EQ(mapped, sig);

  plat::fault_arm(plat::Op::read, EIO, 1);  // the second block fails
  std::string again = "NONE";
  EXPECT_EQ(calc_file_md5(dir / "big.bin", again), 20006);
  EXPECT_EQ(again, "NONE");
}

TEST_F(IoUtilsTest, ErrorTexts) {
  EXPECT_EQ(error_str(20010), "We could not write the incoming file from the web to disk");
  EXPECT_EQ(error_str(2), "No such file or directory");
  EXPECT_EQ(error_str(28), "No space left on device. Perhaps your hard drive is full");
  EXPECT_EQ(error_str(0), "No error detected");
  EXPECT_EQ(error_str(18), "Cross-device link");
  EXPECT_NE(error_str(20013).find("outside"), std::string::npos);
  EXPECT_EQ(error_str(EHOSTUNREACH), "No route to host");  // not in the table: the system's text
  EXPECT_FALSE(error_str(987654).empty());
  // Every code of the program's own has a text of its own: the system knows
  // none of them.
  for (int code = err_zip_open; code <= err_zip_needs_file; ++code) {
    if (code == 20003 || code == 20004) continue;  // never raised by the installer, only named
    EXPECT_EQ(error_str(code).find("nknown"), std::string::npos) << code << ": " << error_str(code);
  }
}

TEST_F(IoUtilsTest, DeleteFileAndFolder) {
  EXPECT_EQ(delete_file(""), 2);
  write_file(dir / "sub/f.txt", "x");
  EXPECT_EQ(delete_file(dir / "sub/"), ENOTEMPTY);
  EXPECT_EQ(delete_file(dir / "sub/f.txt"), 0);
  EXPECT_FALSE(exists(dir / "sub/f.txt"));
  EXPECT_EQ(delete_file(dir / "sub/f.txt"), 2);
  EXPECT_EQ(delete_file(dir / "sub/"), 0);
  EXPECT_FALSE(exists(dir / "sub"));
  write_file(dir / "target.txt", "keep");
#ifndef _WIN32
  // A symbolic link is removed itself; its target stays.
  fs::create_symlink(dir / "target.txt", dir / "link.txt");
  EXPECT_EQ(delete_file(dir / "link.txt"), 0);
  EXPECT_EQ(read_file(dir / "target.txt"), "keep");
#endif
  plat::fault_arm(plat::Op::unlink, EACCES);
  EXPECT_EQ(delete_file(dir / "target.txt"), EACCES);
  EXPECT_TRUE(exists(dir / "target.txt"));
  EXPECT_EQ(show_del_err(EACCES), 0);
}

#ifndef _WIN32  // permission bits
TEST_F(IoUtilsTest, UnlockGivesOwnerWrite) {
  write_file(dir / "ro.txt", "x");
  ASSERT_EQ(::chmod((dir / "ro.txt").c_str(), 0444), 0);
  EXPECT_EQ(unlock_file(dir / "ro.txt"), 0);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "ro.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(unlock_file(dir / "missing.txt"), ENOENT);
  ASSERT_EQ(::chmod((dir / "ro.txt").c_str(), 0400), 0);
  plat::fault_arm(plat::Op::chmod, EPERM);
  EXPECT_EQ(unlock_file(dir / "ro.txt"), EPERM);
}
#endif

TEST_F(IoUtilsTest, RenameAndMakeFolder) {
  write_file(dir / "old.txt", "o");
  EXPECT_EQ(rename_file(dir.path(), "old.txt", "new.txt"), 0);
  EXPECT_EQ(read_file(dir / "new.txt"), "o");
  EXPECT_EQ(rename_file(dir.path(), "old.txt", "x.txt"), ENOENT);
  // A folder given with its final "/" is renamed too.
  ASSERT_EQ(make_folder(dir / "Skyvane/"), 0);
  EXPECT_EQ(rename_file(dir.path(), "Skyvane/", "Skyvane 9.00"), 0);
  EXPECT_TRUE(fs::is_directory(dir / "Skyvane 9.00"));

  EXPECT_EQ(make_folder(dir / "a/b/"), ENOENT);  // parents are not made
  EXPECT_EQ(make_folder(dir / "a"), 0);
  EXPECT_EQ(make_folder(dir / "a/"), EEXIST);
  EXPECT_EQ(show_make_dir_err(0), 0);
  EXPECT_EQ(show_make_dir_err(17), 0);
  EXPECT_EQ(show_make_dir_err(183), 0);
  EXPECT_EQ(show_make_dir_err(13), 1);
  plat::fault_arm(plat::Op::mkdir, ENOSPC);
  EXPECT_EQ(make_folder(dir / "c/"), ENOSPC);
  EXPECT_FALSE(exists(dir / "c"));
  plat::fault_arm(plat::Op::rename, EXDEV);
  EXPECT_EQ(rename_file(dir.path(), "new.txt", "x.txt"), EXDEV);
  EXPECT_STREQ(sErrFile, "IO_UTILS.cpp");
  EXPECT_GT(sErrLine, 0);
}

TEST_F(IoUtilsTest, ListingIsSortedWithoutCaseAndSkipsHidden) {
  const std::string f = dir / "list/";
  write_file(f + "beta.txt", "");
  write_file(f + "Alpha.txt", "");
  write_file(f + ".hidden", "");
  write_file(f + "Gamma/x", "");
  write_file(f + "delta/y", "");
  std::vector<std::string> names;
  std::vector<int> folders;
  EXPECT_EQ(opensave_getitems(f, 0, names, folders), 4);
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha.txt", "beta.txt", "delta", "Gamma"}));
  EXPECT_EQ(folders, (std::vector<int>{0, 0, 1, 1}));
  EXPECT_EQ(opensave_getitems(dir / "nothing/", 0, names, folders), 0);
  EXPECT_TRUE(names.empty());
}

using IoUtilsDeathTest = IoUtilsTest;

TEST_F(IoUtilsDeathTest, ListingNeedsAFolderPath) {
  std::vector<std::string> names;
  std::vector<int> folders;
  EXPECT_EXIT(opensave_getitems(dir / "list", 0, names, folders), ::testing::ExitedWithCode(1),
              "Working path does not appear to be a directory!");
}

TEST_F(IoUtilsTest, OutputFileHeadersReadBack) {
  ASSERT_EQ(ouf_open(dir / "Skyvane Installer.PRF", xmap_text, 9001), 1);
  ouf << "_log_actions 1\n" << 1.5f << "\n";
  ouf.close();
#ifndef _WIN32  // names differing only in case are one name on Windows
  EXPECT_FALSE(exists(dir / "Skyvane Installer.PRF"));
#endif
  EXPECT_EQ(read_file(dir / "Skyvane Installer.prf"), "I\n9001 version\n_log_actions 1\n1.500000\n");
  xmap_class m(dir / "Skyvane Installer.prf");
  const int v[] = {9001, 0};
  EXPECT_EQ(m.check_file(xmap_text, v, nullptr, nullptr), 9001);
  EXPECT_EQ(m.read_word(), "_log_actions");

  ASSERT_EQ(ouf_open(dir / "data.bin", xmap_binary, 900), 1);
  ouf.close();
  EXPECT_EQ(read_file(dir / "data.bin"), std::string("i\x84\x03\x00\x00", 5));
  xmap_class b(dir / "data.bin");
  const int bv[] = {900, 0};
  EXPECT_EQ(b.check_file(xmap_binary, bv, nullptr, nullptr), 900);
}

TEST_F(IoUtilsTest, OutputFileMakesOneMissingFolderThenAlerts) {
  ASSERT_EQ(ouf_open(dir / "prefs/p.prf", xmap_text, 9001), 1);
  ouf.close();
  EXPECT_TRUE(exists(dir / "prefs/p.prf"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(ouf_open(dir / "two/levels/p.prf", xmap_text, 9001), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("I could not save the file!"), std::string::npos);
  EXPECT_NE(err.find(dir / "two/levels/p.prf"), std::string::npos);
  EXPECT_FALSE(ouf.is_open());
}

TEST_F(IoUtilsDeathTest, OutputFileBadType) {
  EXPECT_EXIT(ouf_open(dir / "x.prf", 3, 1), ::testing::ExitedWithCode(1), "Bad ouf_open type!");
}

// Sets environment variables for one test and puts them back afterwards.
class EnvGuard {
 public:
  void set(const char* name, const std::string& value) {
    if (!saved_.count(name)) {
      const char* old = std::getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    testing_support::set_env(name, value);
  }
  void unset(const char* name) {
    if (!saved_.count(name)) {
      const char* old = std::getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    testing_support::unset_env(name);
  }
  ~EnvGuard() {
    for (const auto& [k, v] : saved_) {
      if (v)
        testing_support::set_env(k, *v);
      else
        testing_support::unset_env(k);
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

#ifdef _WIN32
// The folders come from the user's environment (%USERPROFILE%, %APPDATA%,
// %TMP%), in the program's form: "/" after the drive prefix.
TEST_F(IoUtilsTest, OperatingSystemFolders) {
  EnvGuard env;
  const std::string home = dir / "profile";
  const std::string appdata = dir / "roaming";
  fs::create_directories(home);
  fs::create_directories(dir / "tmp");
  env.set("USERPROFILE", home);
  env.set("APPDATA", appdata);
  // The system hands these out with "\": they come back with "/".
  std::string tmp_native = dir / "tmp";
  for (std::size_t i = 3; i < tmp_native.size(); ++i)
    if (tmp_native[i] == '/') tmp_native[i] = '\\';
  env.set("TMP", tmp_native);

  std::string p;
  get_OS_abs_path(0, p);
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.find('\\', 3), std::string::npos) << p;
  EXPECT_TRUE(fs::exists(p + "engine_tests.exe")) << p;
  get_OS_abs_path(2, p);
  EXPECT_EQ(p, home + "/");
  // The default destination lies at the root of the drive that holds it.
  EXPECT_EQ(default_dest_root(p) + "Skyvane/", p.substr(0, 3) + "Skyvane/");
  get_OS_abs_path(3, p);
  EXPECT_EQ(p, dir / "tmp/skyvane/");
  EXPECT_TRUE(fs::is_directory(p));
  // The preferences go to %APPDATA%\Skyvane, made when missing.
  get_OS_abs_path(4, p);
  EXPECT_EQ(p, appdata + "/Skyvane/");
  EXPECT_TRUE(fs::is_directory(p));
}
#else
TEST_F(IoUtilsTest, OperatingSystemFolders) {
  EnvGuard env;
  const std::string home = dir / "home";
  fs::create_directories(home);
  env.set("HOME", home);
  env.unset("XDG_CONFIG_HOME");
  env.set("TMPDIR", dir / "tmp");
  fs::create_directories(dir / "tmp");

  std::string p;
  get_OS_abs_path(0, p);
  EXPECT_EQ(p, fs::read_symlink("/proc/self/exe").parent_path().string() + "/");
  get_OS_abs_path(1, p);
  EXPECT_EQ(p, home + "/Desktop/");
  get_OS_abs_path(2, p);
  EXPECT_EQ(p, home + "/");
  // The start-up rule: the default destination lies in the home folder.
  EXPECT_EQ(default_dest_root(p) + "Skyvane/", home + "/Skyvane/");

  get_OS_abs_path(3, p);
  EXPECT_EQ(p, dir / ("tmp/skyvane-" + std::to_string(::getuid()) + "/"));
  struct stat st {};
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  get_OS_abs_path(4, p);
  EXPECT_EQ(p, home + "/.config/skyvane/");
  EXPECT_TRUE(fs::is_directory(p));
  env.set("XDG_CONFIG_HOME", dir / "cfg");
  get_OS_abs_path(4, p);
  EXPECT_EQ(p, dir / "cfg/skyvane/");
  EXPECT_TRUE(fs::is_directory(p));
}

TEST_F(IoUtilsTest, UnsafeTemporaryFolderIsRefused) {
  EnvGuard env;
  env.set("TMPDIR", dir / "tmp");
  fs::create_directories(dir / "tmp");
  const std::string priv = dir / ("tmp/skyvane-" + std::to_string(::getuid()));
  fs::create_directories(priv);
  ASSERT_EQ(::chmod(priv.c_str(), 0777), 0);  // others could plant files in it
  std::string p = "unchanged";
  get_OS_abs_path(3, p);
  EXPECT_EQ(p, "");
}
#endif

TEST_F(IoUtilsTest, PathHelpers) {
  std::string p = "top/Resources/a.txt";
  trim_dest_folder(p);
  EXPECT_EQ(p, "Resources/a.txt");
  p = "plain.txt";
  trim_dest_folder(p);
  EXPECT_EQ(p, "plain.txt");

  EXPECT_EQ(get_file_with_path("a/b/"), "b/");
  EXPECT_EQ(get_file_with_path("a/b"), "b");
  EXPECT_EQ(get_file_with_path("b"), "b");
  EXPECT_EQ(get_file_with_path("D:\\Program Files/"), "Program Files/");

  EXPECT_EQ(default_dest_root("D:\\Program Files/"), "D:\\");
  EXPECT_EQ(default_dest_root("C:/a/b/c/"), "C:/");
  // More than ten components: the strip stops after ten.
  EXPECT_EQ(default_dest_root("C:/1/2/3/4/5/6/7/8/9/10/11/12/"), "C:/1/2/");
  EXPECT_EQ(default_dest_root("/home/pilot/"), "/home/pilot/");

  for (const char* ok : {"a", "top/a.txt", "a/b c/d..e", "..a/b", "a/.../b", "a/./b"})
    EXPECT_EQ(relative_path_is_safe(ok), 1) << ok;
  for (const char* bad : {"", "/etc/passwd", "..", "../a", "a/..", "a/../../b", "C:x", "C:/x", "a\\b", "a/b:c"})
    EXPECT_EQ(relative_path_is_safe(bad), 0) << bad;
}

}  // namespace
