#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/system.h"
#include "tests/support/temp_dir.h"

using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;
namespace fs = std::filesystem;

namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override { plat::fault_clear(); }
  void TearDown() override { plat::fault_clear(); }
  TempDir dir;
};

TEST_F(FileTest, WriteReadAndSize) {
  plat::File f;
  ASSERT_EQ(plat::file_create(dir / "a.bin", f), 0);
  ASSERT_EQ(plat::file_write(f, "hello world", 11), 0);
  EXPECT_EQ(plat::file_close(f), 0);
  EXPECT_FALSE(f.is_open());
  EXPECT_EQ(plat::file_close(f), 0);  // closing twice is harmless

  ASSERT_EQ(plat::file_open_read(dir / "a.bin", f), 0);
  std::uint64_t size = 0;
  EXPECT_EQ(plat::file_size(f, size), 0);
  EXPECT_EQ(size, 11u);
  char buf[32];
  std::size_t got = 0;
  EXPECT_EQ(plat::file_read(f, buf, 5, got), 0);
  EXPECT_EQ(std::string(buf, got), "hello");
  EXPECT_EQ(plat::file_read(f, buf, sizeof buf, got), 0);
  EXPECT_EQ(std::string(buf, got), " world");
  EXPECT_EQ(plat::file_read(f, buf, sizeof buf, got), 0);
  EXPECT_EQ(got, 0u);

  // Create truncates; create_new refuses an existing name.
  ASSERT_EQ(plat::file_create(dir / "a.bin", f), 0);
  plat::file_close(f);
  EXPECT_EQ(read_file(dir / "a.bin"), "");
  EXPECT_EQ(plat::file_create_new(dir / "a.bin", f), EEXIST);
#ifndef _WIN32
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  EXPECT_EQ(plat::file_create_new(dir / "dangling", f), EEXIST);
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
#endif
}

TEST_F(FileTest, OpenReadRefusesWhatIsNoRegularFile) {
  plat::File f;
  EXPECT_EQ(plat::file_open_read(dir / "missing", f), ENOENT);
  EXPECT_EQ(plat::file_open_read(dir.path(), f), EISDIR);
#ifdef _WIN32
  EXPECT_EQ(plat::file_open_read("NUL", f), EINVAL);  // a device, not a file on a disk
#else
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(plat::file_open_read(dir / "pipe", f), EINVAL);  // returns at once, never waits for a writer
#endif
  EXPECT_FALSE(f.is_open());
}

TEST_F(FileTest, Mapping) {
  write_file(dir / "m.txt", "mapped bytes");
  plat::File f;
  ASSERT_EQ(plat::file_open_read(dir / "m.txt", f), 0);
  plat::Mapping m;
  ASSERT_EQ(plat::file_map(f, 12, plat::MapUse::sequential, m), 0);
  plat::file_close(f);  // the view outlives the descriptor
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data), m.size), "mapped bytes");
  plat::file_unmap(m);
  EXPECT_EQ(m.data, nullptr);
  plat::file_unmap(m);  // a null view is left alone

  ASSERT_EQ(plat::file_open_read(dir / "m.txt", f), 0);
  EXPECT_EQ(plat::file_map(f, 0, plat::MapUse::random, m), EINVAL);
  EXPECT_EQ(m.data, nullptr);
}

TEST_F(FileTest, PathsAndFolders) {
  EXPECT_EQ(plat::path_make_dir(dir / "d"), 0);
  EXPECT_EQ(plat::path_make_dir(dir / "d"), EEXIST);
  EXPECT_EQ(plat::path_make_dir(dir / "x/y"), ENOENT);
  write_file(dir / "d/f", "1");
  EXPECT_EQ(plat::path_remove_dir(dir / "d"), ENOTEMPTY);
  EXPECT_EQ(plat::path_rename(dir / "d/f", dir / "g"), 0);
  EXPECT_EQ(plat::path_remove_dir(dir / "d"), 0);
  EXPECT_EQ(plat::path_remove_file(dir / "g"), 0);
  EXPECT_EQ(plat::path_remove_file(dir / "g"), ENOENT);

  write_file(dir / "file", "12345");
  fs::create_directories(dir / "folder");
#ifndef _WIN32
  fs::create_symlink(dir / "folder", dir / "link");
#endif
  plat::PathKind kind;
  std::uint64_t size = 0;
  EXPECT_EQ(plat::path_stat(dir / "file", kind, size), 0);
  EXPECT_EQ(kind, plat::PathKind::file);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(plat::path_stat(dir / "folder", kind, size), 0);
  EXPECT_EQ(kind, plat::PathKind::folder);
#ifndef _WIN32
  EXPECT_EQ(plat::path_stat(dir / "link", kind, size), 0);
  EXPECT_EQ(kind, plat::PathKind::link);
#endif
  EXPECT_EQ(plat::path_stat(dir / "none", kind, size), ENOENT);
  EXPECT_EQ(kind, plat::PathKind::none);

  std::vector<plat::DirEntry> entries;
  ASSERT_EQ(plat::dir_list(dir.path(), entries), 0);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
#ifdef _WIN32
  ASSERT_EQ(entries.size(), 2u);
#else
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_TRUE(entries[2].is_folder);  // a link to a folder lists as a folder
#endif
  EXPECT_EQ(entries[0].name, "file");
  EXPECT_FALSE(entries[0].is_folder);
  EXPECT_TRUE(entries[1].is_folder);
  EXPECT_EQ(plat::dir_list(dir / "none", entries), ENOENT);
  EXPECT_TRUE(entries.empty());

  std::uint64_t free_bytes = 0;
  EXPECT_EQ(plat::disk_free_space(dir.path(), free_bytes), 0);
  EXPECT_GT(free_bytes, 0u);
  EXPECT_EQ(plat::disk_free_space(dir / "none", free_bytes), ENOENT);
}

#ifdef _WIN32
// Windows has one read-only attribute in place of the permission bits.
TEST_F(FileTest, OwnerWriteClearsTheReadOnlyAttribute) {
  write_file(dir / "ro", "x");
  fs::permissions(dir / "ro", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  ASSERT_EQ(fs::status(dir / "ro").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(plat::path_add_owner_write(dir / "ro"), 0);
  EXPECT_NE(fs::status(dir / "ro").permissions() & fs::perms::owner_write, fs::perms::none);
  plat::File f;
  EXPECT_EQ(plat::file_create(dir / "ro", f), 0);
  EXPECT_EQ(plat::path_add_owner_write(dir / "none"), ENOENT);
}
#else
TEST_F(FileTest, OwnerWrite) {
  write_file(dir / "ro", "x");
  ASSERT_EQ(::chmod((dir / "ro").c_str(), 0551), 0);
  EXPECT_EQ(plat::path_add_owner_write(dir / "ro"), 0);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "ro").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);  // only the owner's write bit was added
  EXPECT_EQ(plat::path_add_owner_write(dir / "ro"), 0);  // nothing to add: no change
  ASSERT_EQ(::stat((dir / "ro").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  EXPECT_EQ(plat::path_add_owner_write(dir / "none"), ENOENT);

  // Through a link nothing changes: the file it points to may lie anywhere.
  write_file(dir / "elsewhere", "x");
  ASSERT_EQ(::chmod((dir / "elsewhere").c_str(), 0444), 0);
  fs::create_symlink(dir / "elsewhere", dir / "link");
  EXPECT_EQ(plat::path_add_owner_write(dir / "link"), 0);
  ASSERT_EQ(::stat((dir / "elsewhere").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
}
#endif

TEST_F(FileTest, EveryCallCanBeMadeToFail) {
  write_file(dir / "f", "data");
  plat::File f;
  plat::Mapping m;
  std::vector<plat::DirEntry> entries;
  std::uint64_t n = 0;
  plat::PathKind kind;

  plat::fault_arm(plat::Op::open_read, EACCES);
  EXPECT_EQ(plat::file_open_read(dir / "f", f), EACCES);
  plat::fault_arm(plat::Op::open_read, EMFILE);
  EXPECT_EQ(plat::dir_list(dir.path(), entries), EMFILE);
  plat::fault_arm(plat::Op::open_write, EROFS);
  EXPECT_EQ(plat::file_create(dir / "g", f), EROFS);
  EXPECT_FALSE(fs::exists(dir / "g"));
  plat::fault_arm(plat::Op::open_write, ENOSPC);
  EXPECT_EQ(plat::file_create_new(dir / "g", f), ENOSPC);

  ASSERT_EQ(plat::file_open_read(dir / "f", f), 0);
  char buf[8];
  std::size_t got = 1;
  plat::fault_arm(plat::Op::read, EIO);
  EXPECT_EQ(plat::file_read(f, buf, sizeof buf, got), EIO);
  EXPECT_EQ(got, 0u);
  plat::fault_arm(plat::Op::stat, EIO);
  EXPECT_EQ(plat::file_size(f, n), EIO);
  plat::fault_arm(plat::Op::mmap, ENOMEM);
  EXPECT_EQ(plat::file_map(f, 4, plat::MapUse::random, m), ENOMEM);
  plat::file_close(f);

  ASSERT_EQ(plat::file_create(dir / "w", f), 0);
  plat::fault_arm(plat::Op::write, ENOSPC, 1);  // the first write goes through
  EXPECT_EQ(plat::file_write(f, "ab", 2), 0);
  EXPECT_EQ(plat::file_write(f, "cd", 2), ENOSPC);
  plat::file_close(f);
  EXPECT_EQ(read_file(dir / "w"), "ab");

  plat::fault_arm(plat::Op::rename, EXDEV, 0, true);
  EXPECT_EQ(plat::path_rename(dir / "w", dir / "v"), EXDEV);
  EXPECT_EQ(plat::path_rename(dir / "w", dir / "v"), EXDEV);  // persistent
  plat::fault_clear();
  plat::fault_arm(plat::Op::unlink, EBUSY);
  EXPECT_EQ(plat::path_remove_file(dir / "w"), EBUSY);
  EXPECT_TRUE(fs::exists(dir / "w"));
#ifdef EDQUOT
  plat::fault_arm(plat::Op::mkdir, EDQUOT);
  EXPECT_EQ(plat::path_make_dir(dir / "d"), EDQUOT);
#else
  plat::fault_arm(plat::Op::mkdir, ENOSPC);
  EXPECT_EQ(plat::path_make_dir(dir / "d"), ENOSPC);
#endif
  plat::fault_arm(plat::Op::rmdir, EBUSY);
  EXPECT_EQ(plat::path_remove_dir(dir / "none"), EBUSY);
  plat::fault_arm(plat::Op::stat, ELOOP);
  EXPECT_EQ(plat::path_stat(dir / "f", kind, n), ELOOP);
  plat::fault_arm(plat::Op::stat, EIO);
  EXPECT_EQ(plat::disk_free_space(dir.path(), n), EIO);
}

TEST_F(FileTest, LockIsExclusiveUntilClosed) {
  plat::File first, second;
  ASSERT_EQ(plat::file_lock_exclusive(dir / "lock", first), 0);
  EXPECT_EQ(plat::file_lock_exclusive(dir / "lock", second), EWOULDBLOCK);
  EXPECT_FALSE(second.is_open());
  plat::file_close(first);
  EXPECT_EQ(plat::file_lock_exclusive(dir / "lock", second), 0);
}

// Paths beyond the old 260-character limit of Windows work in every call.
TEST_F(FileTest, LongPaths) {
  std::string path = dir.path();
  const std::string part(40, 'w');
  for (int i = 0; i < 8; ++i) {
    path += part + std::to_string(i);
    ASSERT_EQ(plat::path_make_dir(path), 0) << path.size();
    path += "/";
  }
  ASSERT_GT(path.size(), 300u);
  plat::File f;
  ASSERT_EQ(plat::file_create(path + "deep.bin", f), 0);
  ASSERT_EQ(plat::file_write(f, "deep", 4), 0);
  ASSERT_EQ(plat::file_close(f), 0);
  plat::PathKind kind;
  std::uint64_t size = 0;
  EXPECT_EQ(plat::path_stat(path + "deep.bin", kind, size), 0);
  EXPECT_EQ(size, 4u);
  ASSERT_EQ(plat::file_open_read(path + "deep.bin", f), 0);
  plat::Mapping m;
  ASSERT_EQ(plat::file_map(f, 4, plat::MapUse::random, m), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data), 4), "deep");
  plat::file_unmap(m);
  plat::file_close(f);
  std::vector<plat::DirEntry> entries;
  ASSERT_EQ(plat::dir_list(path, entries), 0);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "deep.bin");
  std::uint64_t free_bytes = 0;
  EXPECT_EQ(plat::disk_free_space(path, free_bytes), 0);
  EXPECT_EQ(plat::path_rename(path + "deep.bin", path + "moved.bin"), 0);
  EXPECT_EQ(plat::path_remove_file(path + "moved.bin"), 0);
  path.pop_back();
  EXPECT_EQ(plat::path_remove_dir(path), 0);
}

// Names are UTF-8 inside the program, whatever the system's own code page.
TEST_F(FileTest, Utf8Names) {
  const std::string name = "Fl\xc3\xbcgel \xc3\x9f \xe6\x97\xa5\xe6\x9c\xac";  // "Flügel ß 日本"
  ASSERT_EQ(plat::path_make_dir(dir / name), 0);
  plat::File f;
  ASSERT_EQ(plat::file_create(dir / (name + "/" + name + ".txt"), f), 0);
  ASSERT_EQ(plat::file_write(f, "x", 1), 0);
  plat::file_close(f);
  std::vector<plat::DirEntry> entries;
  ASSERT_EQ(plat::dir_list(dir / name, entries), 0);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, name + ".txt");
  EXPECT_EQ(plat::file_open_read(dir / (name + "/" + name + ".txt"), f), 0);
#ifdef _WIN32
  // Bytes that are no UTF-8 are refused, not turned into another name.
  EXPECT_EQ(plat::file_create(dir / "bad\xff.txt", f), EILSEQ);
#endif
}

TEST(FilePaths, AbsolutePaths) {
#ifdef _WIN32
  EXPECT_TRUE(plat::path_is_absolute("C:\\Games/Skyvane"));
  EXPECT_TRUE(plat::path_is_absolute("d:/Games"));
  EXPECT_TRUE(plat::path_is_absolute("//server/share/Skyvane"));
  EXPECT_FALSE(plat::path_is_absolute("Games/Skyvane"));
  EXPECT_FALSE(plat::path_is_absolute("C:Games"));  // relative to drive C's current folder
  EXPECT_FALSE(plat::path_is_absolute("/Games"));   // relative to the current drive
  // The system's "\" become "/" after the drive prefix; "." and ".." go.
  EXPECT_EQ(plat::path_make_absolute("C:\\some folder\\.\\x\\..\\Skyvane\\"), "C:\\some folder/Skyvane/");
  EXPECT_EQ(plat::path_make_absolute("C:/a/b"), "C:\\a/b");
  const std::string rel = plat::path_make_absolute("rel/x");
  EXPECT_TRUE(plat::path_is_absolute(rel)) << rel;
  EXPECT_EQ(rel.find('\\', 3), std::string::npos) << rel;
  EXPECT_EQ(rel.substr(rel.size() - 6), "/rel/x");
#else
  EXPECT_TRUE(plat::path_is_absolute("/home/ann"));
  EXPECT_FALSE(plat::path_is_absolute("home/ann"));
  EXPECT_FALSE(plat::path_is_absolute(""));
  EXPECT_EQ(plat::path_make_absolute("/a/../b"), "/a/../b");  // absolute: as it is
  const std::string rel = plat::path_make_absolute("x/./y/../z");
  EXPECT_EQ(rel, (fs::current_path() / "x/z").string());
#endif
}

// A path the user typed or passed: on Windows no "\" is left beside the
// "/" of the program's paths, except the drive prefix's; elsewhere "\"
// belongs to the name and stays. The drives are listed on Windows only.
TEST(FilePaths, TypedPathsTakeTheProgramsForm) {
#ifdef _WIN32
  EXPECT_EQ(plat::path_in_program_form("C:\\Games\\Skyvane\\"), "C:\\Games/Skyvane/");
  EXPECT_EQ(plat::path_in_program_form("c:\\Games/new\\Skyvane"), "c:\\Games/new/Skyvane");
  EXPECT_EQ(plat::path_in_program_form("D:/Games/"), "D:\\Games/");
  EXPECT_EQ(plat::path_in_program_form("D:\\"), "D:\\");
  EXPECT_EQ(plat::path_in_program_form("\\\\server\\share\\Skyvane"), "//server/share/Skyvane");
  EXPECT_EQ(plat::path_in_program_form("Games\\Skyvane"), "Games/Skyvane");
  // What the system hands back is already in that form.
  EXPECT_EQ(plat::path_in_program_form(plat::path_make_absolute("C:\\a\\b\\")), "C:\\a/b/");
  const std::vector<std::string> drives = plat::drive_roots();
  ASSERT_FALSE(drives.empty());
  for (const std::string& d : drives) {
    EXPECT_EQ(d.size(), 3u) << d;
    EXPECT_EQ(d.substr(1), ":\\") << d;
  }
  // Wine's drive C, as Windows' own.
  EXPECT_NE(std::find(drives.begin(), drives.end(), "C:\\"), drives.end());
#else
  EXPECT_EQ(plat::path_in_program_form("/home/ann/a\\b/"), "/home/ann/a\\b/");
  EXPECT_EQ(plat::path_in_program_form("C:\\x"), "C:\\x");
  EXPECT_TRUE(plat::drive_roots().empty());
#endif
  EXPECT_EQ(plat::path_in_program_form(""), "");
}

#ifndef _WIN32
// A web page is opened by the desktop's opener, which is left to run
// without a zombie of it left behind; without an opener the caller is told
// (ENOENT), and only web addresses are opened.
TEST(SystemPosix, WebPagesOpenWithoutAZombieAndNoOpenerIsTold) {
  testing_support::TempDir dir;
  const std::string bin = dir / "bin";
  fs::create_directories(bin);
  testing_support::write_file(bin + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + (dir / "opened") + ".tmp\"\n"
                              "mv \"" + (dir / "opened") + ".tmp\" \"" + (dir / "opened") + "\"\n");
  ASSERT_EQ(chmod((bin + "/xdg-open").c_str(), 0755), 0);
  const char* old = std::getenv("PATH");
  const std::string saved = old ? old : "";
  setenv("PATH", (bin + ":" + saved).c_str(), 1);
  EXPECT_EQ(plat::open_url("https://skyvane.example/store.html?a=1&b='2'"), 0);
  for (int i = 0; i < 100 && !fs::exists(dir / "opened"); ++i) usleep(50000);
  EXPECT_EQ(testing_support::read_file(dir / "opened"), "https://skyvane.example/store.html?a=1&b='2'");
  usleep(100000);
  // No child of this process is left to reap: the opener was not ours.
  int status = 0;
  errno = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(plat::open_url("file:///etc/passwd"), EINVAL);
  setenv("PATH", bin.c_str(), 1);
  fs::remove(bin + "/xdg-open");
  EXPECT_EQ(plat::open_url("https://skyvane.example/"), ENOENT);
  setenv("PATH", saved.c_str(), 1);
}
#endif

#ifdef _WIN32
// The system seam of Windows.
TEST(SystemWin32, FoldersSystemAndWebPages) {
  EXPECT_EQ(plat::os_type(), 2);
  // The preferences go to %APPDATA%\\Skyvane, in the program's form.
  const std::string settings = plat::app_settings_dir();
  EXPECT_TRUE(plat::path_is_absolute(settings)) << settings;
  EXPECT_EQ(settings.substr(settings.size() - 8), "/Skyvane");
  EXPECT_EQ(settings.find('\\', 3), std::string::npos) << settings;
  const std::string exe = plat::exe_path();
  EXPECT_EQ(exe.substr(exe.size() - 24), "/platform_file_tests.exe") << exe;
  // Only CD-ROM drives are disc roots: the fixed drives are not.
  for (const std::string& root : plat::disc_roots()) EXPECT_NE(root, "C:\\");
  // Only web addresses are handed to the shell, which would also start
  // programs and open documents.
  EXPECT_EQ(plat::open_url("C:\\Windows\\notepad.exe"), EINVAL);
  EXPECT_EQ(plat::open_url("file:///C:/Windows/win.ini"), EINVAL);
  EXPECT_GT(plat::physical_memory_bytes(), 0u);
  EXPECT_GT(plat::memory_resident_bytes(), 0u);
  EXPECT_EQ(plat::os_description().rfind("Windows ", 0), 0u) << plat::os_description();
}
#endif

TEST(FileErrorText, SystemTexts) {
  EXPECT_EQ(plat::error_text(ENOENT), "No such file or directory");
  EXPECT_EQ(plat::error_text(EHOSTUNREACH), "No route to host");
}

}  // namespace
