#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <zlib.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "engine/IO_UTILS.h"
#include "platform/sha256.h"
#include "tests/engine/engine_fixture.h"
#include "tests/engine/zip_maker.h"

using engine_test::EngineTest;
using engine_test::make_zip;
using engine_test::ZipMember;
using testing_support::exists;
using testing_support::read_file;
using testing_support::write_file;
namespace fs = std::filesystem;

namespace {

class ZipTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    fs::create_directories(out);
  }
  // Every name below `folder`, recursively, sorted.
  std::vector<std::string> tree(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(folder))
      names.push_back(fs::relative(e.path(), folder).generic_string() + (e.is_directory() ? "/" : ""));
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string zip(const std::vector<ZipMember>& members) {
    const std::string path = dir / "in.zip";
    EXPECT_TRUE(make_zip(path, members));
    return path;
  }
  const std::string out = dir / "out/";
};

TEST_F(ZipTest, ExtractsFilesAndFoldersAndSkipsForeignMembers) {
  const std::string big(3 * 1024 * 1024 + 5, 'z');  // more than one read chunk
  // A member name longer than 256 bytes, in a folder of its own.
  const std::string long_name = std::string(200, 'd') + "/" + std::string(200, 'n');
  const std::string z = zip({
      {"Resources/", ""},
      {"Resources/a.txt", "alpha"},
      {"Resources/sub/", ""},
      {"Resources/sub/big.bin", big},
      {"__MACOSX/", ""},
      {"__MACOSX/Resources/._a.txt", "fork"},
      {"Resources/link", "a.txt", 0120777},  // symbolic link member
      {"top.txt", ""},                       // empty member
      {std::string(200, 'd') + "/", ""},
      {long_name, "long"},
  });
  EXPECT_EQ(zip_to_file(z, out), 0);
  EXPECT_EQ(tree(out), (std::vector<std::string>{"Resources/", "Resources/a.txt", "Resources/sub/",
                                                 "Resources/sub/big.bin", std::string(200, 'd') + "/", long_name,
                                                 "top.txt"}));
  EXPECT_EQ(read_file(out + "Resources/a.txt"), "alpha");
  EXPECT_EQ(read_file(out + "Resources/sub/big.bin"), big);
  EXPECT_EQ(read_file(out + long_name), "long");
  EXPECT_TRUE(exists(out + "top.txt"));
  EXPECT_EQ(log().find("Zip to file failed"), std::string::npos);
}

#ifndef _WIN32  // permission bits
TEST_F(ZipTest, ExecutePermissionOfUnixMembersIsKept) {
  ::umask(022);
  EXPECT_EQ(zip_to_file(zip({{"bin/", "", 040755},
                             {"bin/skyvane", "program", 0100755},
                             {"bin/readme.txt", "text", 0100644},
                             {"plain.txt", "no mode"}}),
                        out),
            0);
  const auto mode = [&](const std::string& f) {
    struct stat st {};
    EXPECT_EQ(::stat((out + f).c_str(), &st), 0);
    return st.st_mode & 0777;
  };
  EXPECT_EQ(mode("bin/skyvane"), 0755u);
  EXPECT_EQ(mode("bin/readme.txt"), 0644u);
  EXPECT_EQ(mode("plain.txt"), 0644u);

  plat::fault_arm(plat::Op::chmod, EPERM);
  EXPECT_EQ(zip_to_file(dir / "in.zip", out), EPERM);
  EXPECT_EQ(read_file(out + "bin/skyvane"), "program");  // the earlier copy stays
  EXPECT_EQ(tree(out), (std::vector<std::string>{"bin/", "bin/readme.txt", "bin/skyvane", "plain.txt"}));
}
#endif

// An archive whose sizes are in zip64 fields: the fixed fields hold
// 0xFFFFFFFF and the extra field of tag 1 the real sizes, in the local
// header and the central directory alike. Files of 4 GiB or more always
// come so; a writer may write any member so. Built by hand here, as a
// small stored member, so that the test needs no 4 GiB of data.
std::string zip64_form(const std::string& name, const std::string& data) {
  std::string z;
  const auto u16 = [&z](unsigned v) { z += static_cast<char>(v & 0xff), z += static_cast<char>(v >> 8 & 0xff); };
  const auto u32 = [&u16](std::uint32_t v) { u16(v & 0xffff), u16(v >> 16); };
  const auto u64 = [&u32](std::uint64_t v) { u32(static_cast<std::uint32_t>(v)), u32(static_cast<std::uint32_t>(v >> 32)); };
  const std::uint32_t crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
  u32(0x04034b50), u16(45), u16(0), u16(0), u16(0), u16(0x21), u32(crc), u32(0xffffffffu), u32(0xffffffffu);
  u16(static_cast<unsigned>(name.size())), u16(20);
  z += name;
  u16(1), u16(16), u64(data.size()), u64(data.size());
  z += data;
  const std::size_t cd = z.size();
  u32(0x02014b50), u16(3 << 8 | 45), u16(45), u16(0), u16(0), u16(0), u16(0x21), u32(crc), u32(0xffffffffu),
      u32(0xffffffffu);
  u16(static_cast<unsigned>(name.size())), u16(20), u16(0), u16(0), u16(0), u32(0100644u << 16), u32(0);
  z += name;
  u16(1), u16(16), u64(data.size()), u64(data.size());
  const std::size_t cd_size = z.size() - cd;
  u32(0x06054b50), u16(0), u16(0), u16(1), u16(1), u32(static_cast<std::uint32_t>(cd_size)),
      u32(static_cast<std::uint32_t>(cd)), u16(0);
  return z;
}

// The sizes in zip64 fields are read, by the extraction from a file and by
// the one while the archive arrives.
TEST_F(ZipTest, SizesInZip64FieldsAreRead) {
  const std::string data = "terrain heights, " + std::string(5000, 'h');
  write_file(dir / "in.zip", zip64_form("basin.raw", data));
  const std::string want = md5_hex(data.data(), data.size());
  std::string got;
  ASSERT_EQ(zip_to_file(dir / "in.zip", out, "basin.raw", want, &got), 0) << log();
  EXPECT_EQ(got, want);
  EXPECT_TRUE(read_file(out + "basin.raw") == data);
}

TEST_F(ZipTest, ReplacesAnExistingFileAndKeepsExistingFolders) {
  write_file(out + "a.txt", "old contents that are longer");
  fs::create_directories(out + "Res");
  EXPECT_EQ(zip_to_file(zip({{"Res/", ""}, {"a.txt", "new"}}), out), 0);
  EXPECT_EQ(read_file(out + "a.txt"), "new");
  EXPECT_EQ(tree(out), (std::vector<std::string>{"Res/", "a.txt"}));
}

TEST_F(ZipTest, ArchiveWithoutMembersCountsAsDamaged) {
  // The archive reader does not open an archive that holds no member.
  EXPECT_EQ(zip_to_file(zip({}), out), 20001);
  EXPECT_TRUE(tree(out).empty());
}

TEST_F(ZipTest, FolderEntryAfterItsFileFails) {
  EXPECT_EQ(zip_to_file(zip({{"Res/a.txt", "a"}, {"Res/", ""}}), out), ENOENT);
  EXPECT_TRUE(tree(out).empty());
  EXPECT_NE(log().find("UNZIP zip_to_file failed with err=2\n"), std::string::npos);
  EXPECT_NE(log().find("Zip to file failed with error err = 2. file = IO_UTILS.cpp line = "), std::string::npos);
  EXPECT_NE(log().find(". zip_file=" + dir / "in.zip" + ", out_directory=" + out + ".\n"), std::string::npos);
}

TEST_F(ZipTest, CorruptMemberLeavesTheOldFileAndNoTemporary) {
  write_file(out + "a.txt", "previous release");
  const int r = zip_to_file(zip({{"b.txt", "fine"}, {"a.txt", "damaged bytes", 0, true}, {"c.txt", "never"}}), out);
  EXPECT_EQ(r, UNZ_CRCERROR);
  EXPECT_EQ(read_file(out + "a.txt"), "previous release");
  EXPECT_EQ(tree(out), (std::vector<std::string>{"a.txt", "b.txt"}));  // no ".part" file, c.txt never reached
  EXPECT_NE(log().find("Zip to file failed with error -105. file = IO_UTILS.cpp"), std::string::npos);
  EXPECT_NE(log().find("inFile=" + out + "a.txt.\n"), std::string::npos);
}

TEST_F(ZipTest, NotAnArchive) {
  write_file(dir / "bad.zip", "this is no zip file");
  EXPECT_EQ(zip_to_file(dir / "bad.zip", out), 20001);
  EXPECT_EQ(zip_to_file(dir / "missing.zip", out), 20001);
  const std::string l = log();
  EXPECT_NE(l.find("OK I am about to report that I could not open a zip file for extraction!\n"
                   "That incoming file is " + dir / "missing.zip" + "\nIn c-form, it is " + dir / "missing.zip" +
                   "\nThe size is " + std::to_string((dir / "missing.zip").size()) + "\n"),
            std::string::npos);
  EXPECT_NE(l.find("Zip to file failed with error err = 20001."), std::string::npos);
}

TEST_F(ZipTest, MembersLeavingTheFolderAreRefused) {
  fs::create_directories(dir / "out/inner");
  const std::string inner = dir / "out/inner/";
  for (const std::string name : {"../escape.txt", "a/../../escape.txt", "/tmp/escape-skyvane.txt", "..\\escape.txt",
                                 "C:/escape.txt", "../escdir/"}) {
    SCOPED_TRACE(name);
    fs::remove(dir / "in.zip");
    EXPECT_EQ(zip_to_file(zip({{"ok.txt", "fine"}, {name, "evil"}}), inner), 20013);
    EXPECT_EQ(read_file(inner + "ok.txt"), "fine");  // members before it were written
    EXPECT_FALSE(exists(dir / "out/escape.txt"));
    EXPECT_FALSE(exists(dir / "out/escdir"));
    EXPECT_FALSE(exists("/tmp/escape-skyvane.txt"));
  }
  EXPECT_EQ(tree(dir / "out/"), (std::vector<std::string>{"inner/", "inner/ok.txt"}));
  EXPECT_NE(log().find("refused member ../escape.txt"), std::string::npos);
}

TEST_F(ZipTest, DiskFullWhileWritingLeavesNothingHalfWritten) {
  write_file(out + "a.txt", "old");
  const std::string z = zip({{"a.txt", std::string(3 * 1024 * 1024, 'q')}});
  plat::fault_arm(plat::Op::write, ENOSPC, 1);  // the second chunk fails
  EXPECT_EQ(zip_to_file(z, out), ENOSPC);
  EXPECT_EQ(read_file(out + "a.txt"), "old");
  EXPECT_EQ(tree(out), std::vector<std::string>{"a.txt"});
  EXPECT_NE(log().find("Zip to file failed with error 28. file = IO_UTILS.cpp line = "), std::string::npos);
  EXPECT_NE(log().find("Zip to file failed with error err = 28."), std::string::npos);
}

TEST_F(ZipTest, FailedRenameAndCreateAndFolder) {
  write_file(out + "a.txt", "old");
  const std::string z = zip({{"a.txt", "new"}});
  plat::fault_arm(plat::Op::rename, EACCES);
  EXPECT_EQ(zip_to_file(z, out), EACCES);
  EXPECT_EQ(read_file(out + "a.txt"), "old");
  EXPECT_EQ(tree(out), std::vector<std::string>{"a.txt"});

  plat::fault_arm(plat::Op::open_write, EACCES);
  EXPECT_EQ(zip_to_file(z, out), EACCES);
  EXPECT_EQ(tree(out), std::vector<std::string>{"a.txt"});

  fs::remove(z);
  const std::string zf = zip({{"Res/", ""}, {"Res/x", "x"}});
  plat::fault_arm(plat::Op::mkdir, EACCES);
  EXPECT_EQ(zip_to_file(zf, out), EACCES);
  EXPECT_EQ(tree(out), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(zip_to_file(zf, out), 0);  // once the fault is gone
  EXPECT_EQ(read_file(out + "Res/x"), "x");
}

#ifndef _WIN32  // symbolic links
TEST_F(ZipTest, LinkAtTheTargetIsReplacedNotFollowed) {
  // A symbolic link under the target's name (pointing out of the folder)
  // is replaced by the file; what it pointed to stays untouched.
  write_file(dir / "outside.txt", "not yours");
  fs::create_symlink(dir / "outside.txt", out + "a.txt");
  EXPECT_EQ(zip_to_file(zip({{"a.txt", "release"}}), out), 0);
  EXPECT_FALSE(fs::is_symlink(out + "a.txt"));
  EXPECT_EQ(read_file(out + "a.txt"), "release");
  EXPECT_EQ(read_file(dir / "outside.txt"), "not yours");
}
#endif

TEST_F(ZipTest, TargetThatIsAFolderFails) {
  fs::create_directories(out + "a.txt/inside");
  const int r = zip_to_file(zip({{"a.txt", "x"}}), out);
  EXPECT_TRUE(r == EISDIR || r == ENOTEMPTY || r == EEXIST) << r;
  EXPECT_EQ(tree(out), (std::vector<std::string>{"a.txt/", "a.txt/inside/"}));
}

}  // namespace

namespace {

// The archive of one file: only that file comes out, and only with the
// contents the release lists; whatever else it carries never reaches the
// folder.
TEST_F(ZipTest, OneFilesArchiveWritesOnlyItsVerifiedMember) {
  const std::string body = "kestrel wing section\n";
  const std::string sig = md5_hex(body.data(), body.size());
  write_file(out + "sibling.craft", "the user's own edit");
  write_file(out + "target.wing", "old contents");
  const std::string z = zip({{"target.wing", body},
                             {"sibling.craft", "from the server"},
                             {"sub/", ""},
                             {"sub/extra.plug", "more"}});
  std::string got;
  EXPECT_EQ(zip_to_file(z, out, "target.wing", sig, &got), 0);
  EXPECT_EQ(got, sig);
  EXPECT_EQ(read_file(out + "target.wing"), body);
  EXPECT_EQ(read_file(out + "sibling.craft"), "the user's own edit");
  EXPECT_EQ(tree(out), (std::vector<std::string>{"sibling.craft", "target.wing"}));
  EXPECT_NE(log().find("skipped member sibling.craft"), std::string::npos) << log();
}

TEST_F(ZipTest, WrongContentsNeverTakeTheFilesName) {
  write_file(out + "target.wing", "what was there before");
  // Right bytes for their checksum, wrong for the release.
  const std::string z = zip({{"target.wing", "a stale mirror's copy"}});
  const std::string want = md5_hex("the release's copy", 18);
  std::string got;
  EXPECT_EQ(zip_to_file(z, out, "target.wing", want, &got), err_zip_wrong_contents);
  EXPECT_EQ(got, md5_hex("a stale mirror's copy", 21));
  EXPECT_EQ(read_file(out + "target.wing"), "what was there before");
  EXPECT_EQ(tree(out), (std::vector<std::string>{"target.wing"}));  // no temporary file left

  // Without a file before it, nothing at all is left under the name.
  fs::remove(out + "target.wing");
  EXPECT_EQ(zip_to_file(z, out, "target.wing", want, nullptr), err_zip_wrong_contents);
  EXPECT_TRUE(tree(out).empty());
}

// A signed release checks each member by its SHA-256: an archive whose
// member has the MD5 the directory file lists but another SHA-256 never
// gives the file its name, and the right one does.
TEST_F(ZipTest, SignedReleaseChecksTheSha256) {
  write_file(out + "target.wing", "what was there before");
  const std::string z = zip({{"target.wing", "the release's copy"}});
  const std::string right = plat::sha256_hex("the release's copy", 18);
  const std::string other = plat::sha256_hex("another copy", 12);
  std::string got;
  EXPECT_EQ(zip_to_file(z, out, "target.wing", other, &got), err_zip_wrong_contents);
  EXPECT_EQ(got, right);
  EXPECT_EQ(read_file(out + "target.wing"), "what was there before");
  EXPECT_EQ(tree(out), (std::vector<std::string>{"target.wing"}));
  EXPECT_NE(log().find("SHA-256"), std::string::npos) << log();
  EXPECT_EQ(zip_to_file(z, out, "target.wing", right, nullptr), 0);
  EXPECT_EQ(read_file(out + "target.wing"), "the release's copy");
}

// A small archive that expands far beyond what the release lists for the
// file stops at the limit and leaves nothing behind.
TEST_F(ZipTest, AMemberLargerThanItsLimitStopsWithNothingLeft) {
  write_file(out + "target.tile", "old tile");
  const std::string z = zip({{"target.tile", std::string(3 * 1024 * 1024, '\0')}});
  EXPECT_LT(fs::file_size(z), 100000u);  // it compresses to almost nothing
  EXPECT_EQ(zip_to_file(z, out, "target.tile", "", nullptr, 1500000), EFBIG);
  EXPECT_EQ(read_file(out + "target.tile"), "old tile");
  EXPECT_EQ(tree(out), (std::vector<std::string>{"target.tile"}));
  EXPECT_EQ(zip_to_file(z, out, "target.tile", "", nullptr, 3 * 1024 * 1024), 0);
}

// Only the hidden temporary files of an extraction count as leftovers; a
// user's own files that look alike stay.
TEST_F(ZipTest, LeftoversOfAnInterruptedExtractionAreRemovedAndNothingElse) {
  for (const char* name : {".target.wing.part-123", ".a b.tile.part-4294967295", "target.wing", ".hidden",
                           "target.wing.part-1", ".notes.part-", ".x.part-12a", ".part-5"})
    write_file(out + name, "x");
  fs::create_directories(out + ".dir.part-7");
  EXPECT_EQ(remove_extraction_leftovers(out), 2);
  EXPECT_EQ(tree(out), (std::vector<std::string>{".dir.part-7/", ".hidden", ".notes.part-", ".part-5", ".x.part-12a",
                                                 "target.wing", "target.wing.part-1"}));
}

TEST_F(ZipTest, AnArchiveWithoutItsMemberIsAFailure) {
  const std::string z = zip({{"other.wing", "not it"}});
  EXPECT_EQ(zip_to_file(z, out, "target.wing", "", nullptr), err_zip_member_missing);
  EXPECT_TRUE(tree(out).empty());
  EXPECT_NE(error_str(err_zip_member_missing).find("does not hold"), std::string::npos);
}

// ---- Archives read in large blocks: members that span several blocks, a
// central directory larger than a block, and read failures inside.

using testing_support::noise;

TEST_F(ZipTest, MembersLargerThanAReadBlockComeOutWhole) {
  const std::string big = noise(2 * 1024 * 1024 + 4321, 1);  // spans three blocks
  const std::string small = noise(777, 2);
  const std::string after = noise(1024 * 1024 + 1, 3);
  const std::string z = zip({{"first.bin", small}, {"Data/", ""}, {"Data/big.bin", big}, {"Data/after.bin", after}});
  ASSERT_GT(fs::file_size(z), 3u * 1024 * 1024);
  EXPECT_EQ(zip_to_file(z, out), 0);
  EXPECT_TRUE(read_file(out + "first.bin") == small);
  EXPECT_TRUE(read_file(out + "Data/big.bin") == big);
  EXPECT_TRUE(read_file(out + "Data/after.bin") == after);

  // One member out of the same archive, checked against its digest.
  std::string sig;
  fs::remove_all(out);
  fs::create_directories(out + "Data");
  EXPECT_EQ(zip_to_file(z, out, "Data/big.bin", "", &sig), 0);
  EXPECT_EQ(sig, md5_hex(big.data(), big.size()));
  EXPECT_TRUE(read_file(out + "Data/big.bin") == big);
}

TEST_F(ZipTest, ManyMembersWithACentralDirectoryLargerThanABlock) {
  // 3,000 members with long names: the central directory alone is over
  // 1 MiB, and reading walks back and forth between it and the members.
  std::vector<ZipMember> members;
  for (int i = 0; i < 3000; ++i) {
    const std::string name = "Folder " + std::to_string(i % 7) + "/" + std::string(300, 'n') + " " +
                             std::to_string(i) + ".dat";
    members.push_back({name, noise(static_cast<std::size_t>(50 + (i * 37) % 900), 100 + i)});
  }
  // Long names need folders with names up to 255 bytes: split the long part.
  for (ZipMember& m : members) m.name.replace(m.name.find('/') + 1 + 200, 0, "/");
  std::vector<ZipMember> folders;
  for (int f = 0; f < 7; ++f) {
    folders.push_back({"Folder " + std::to_string(f) + "/", ""});
    folders.push_back({"Folder " + std::to_string(f) + "/" + std::string(200, 'n') + "/", ""});
  }
  folders.insert(folders.end(), members.begin(), members.end());
  const std::string z = zip(folders);
  EXPECT_EQ(zip_to_file(z, out), 0);
  int same = 0;
  for (const ZipMember& m : members) same += read_file(out + m.name) == m.data;
  EXPECT_EQ(same, 3000);
}

TEST_F(ZipTest, AReadFailureInsideTheArchiveFailsTheExtraction) {
  write_file(out + "big.bin", "old");
  const std::string big = noise(3 * 1024 * 1024, 4);
  const std::string z = zip({{"big.bin", big}});
  // The end of the archive, the member's start, then its next block fails.
  plat::fault_arm(plat::Op::read, EIO, 2);
  EXPECT_NE(zip_to_file(z, out), 0);
  plat::fault_clear();
  EXPECT_EQ(read_file(out + "big.bin"), "old");
  EXPECT_EQ(tree(out), std::vector<std::string>{"big.bin"});
  // The archive itself is fine.
  EXPECT_EQ(zip_to_file(z, out), 0);
  EXPECT_TRUE(read_file(out + "big.bin") == big);
}

// Stored (uncompressed) members are read from the archive directly, in
// large pieces, and their checksum is checked there: whole members of every
// size come out exactly, and a damaged, cut or unreadable one never replaces
// the file.
TEST_F(ZipTest, StoredMembersComeOutWholeAndChecked) {
  const std::string big = noise(2 * 1024 * 1024 + 99, 21);  // spans three reads
  const std::string small = noise(4321, 22);
  const std::string z = zip({{"small.bin", small, 0, false, true},
                             {"empty.bin", "", 0, false, true},
                             {"big.bin", big, 0, false, true},
                             {"last.bin", "the end", 0, false, true}});
  ASSERT_GT(fs::file_size(z), big.size() + small.size());  // really stored
  EXPECT_EQ(zip_to_file(z, out), 0);
  EXPECT_TRUE(read_file(out + "big.bin") == big);
  EXPECT_TRUE(read_file(out + "small.bin") == small);
  EXPECT_EQ(read_file(out + "empty.bin"), "");
  EXPECT_EQ(read_file(out + "last.bin"), "the end");
  std::string sig;
  EXPECT_EQ(zip_to_file(z, out, "big.bin", md5_hex(big.data(), big.size()), &sig), 0);
  EXPECT_EQ(sig, md5_hex(big.data(), big.size()));

  // Past its limit.
  write_file(out + "big.bin", "old");
  EXPECT_EQ(zip_to_file(z, out, "big.bin", "", nullptr, 1024 * 1024), EFBIG);
  EXPECT_EQ(read_file(out + "big.bin"), "old");

  // One byte changed inside the member's data: its checksum fails.
  std::string bytes = read_file(z);
  const std::size_t in_big = bytes.find(big.substr(1000, 64));
  ASSERT_NE(in_big, std::string::npos);
  bytes[in_big + 5] = static_cast<char>(bytes[in_big + 5] ^ 0x20);
  const std::string damaged = out + "../damaged.zip";
  write_file(damaged, bytes);
  EXPECT_EQ(zip_to_file(damaged, out, "big.bin", "", nullptr), UNZ_CRCERROR);
  EXPECT_EQ(read_file(out + "big.bin"), "old");

  // A read failure inside the member.
  plat::fault_arm(plat::Op::read, EIO, 3);
  EXPECT_NE(zip_to_file(z, out, "big.bin", "", nullptr), 0);
  plat::fault_clear();
  EXPECT_EQ(read_file(out + "big.bin"), "old");
  EXPECT_EQ(tree(out), (std::vector<std::string>{"big.bin", "empty.bin", "last.bin", "small.bin"}));
}

}  // namespace

// ---- Extraction while the archive arrives.

namespace {

class StreamedZipTest : public ZipTest {
 protected:
  // Gives `archive` to a sink for out + name in pieces of `piece` bytes,
  // announcing its length first, then lets the extraction end. With
  // `in_place`, the bytes are put where the sink's receive_room() says, as
  // a receive would: into more room than they fill, with a receive that
  // finds nothing after each one (take() where the sink offers no room).
  int stream(member_sink& sink, const std::string& archive, std::size_t piece, bool in_place = false) {
    sink.start(static_cast<std::int64_t>(archive.size()));
    for (std::size_t at = 0; at < archive.size(); at += piece) {
      while (!sink.ready()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const std::size_t n = std::min(piece, archive.size() - at);
      std::size_t room = n + 100;
      char* into = in_place ? sink.receive_room(room) : nullptr;
      if (!into) {
        sink.take(archive.data() + at, n);
        continue;
      }
      EXPECT_GE(room, n);
      std::memset(into, 'Z', room);  // what the receive does not fill must not count
      std::memcpy(into, archive.data() + at, n);
      sink.took(n);
      room = 4096;
      if (sink.receive_room(room)) sink.took(0);
    }
    sink.finish();
    while (!sink.done()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return sink.result();
  }
  int extract(const std::string& name, const std::string& archive, const std::string& want, std::size_t piece,
              std::uint64_t max_bytes = 0, bool in_place = false) {
    member_sink sink(out + name, want, max_bytes, spool);
    const int r = stream(sink, archive, piece, in_place);
    spooled = sink.spooled();
    return r;
  }
  static std::string sig(const std::string& s) { return md5_hex(s.data(), s.size()); }
  std::string one(const std::string& name, const std::string& data, bool stored, std::uint32_t mode = 0) {
    EXPECT_TRUE(make_zip(dir / "one.zip", {{name, data, mode, false, stored}}));
    return read_file(dir / "one.zip");
  }
  const std::string spool = dir / "spool.zip";
  bool spooled = false;
};

// Stored and deflated members of every size come out whole however the
// bytes are cut, on the calling thread (small) or the worker (large), with
// nothing of the archive written and nothing left beside the file.
TEST_F(StreamedZipTest, MembersComeOutWholeHoweverTheBytesArrive) {
  const std::string big = noise(3 * 1024 * 1024 + 7, 5);  // worked on by the extraction pool
  std::string text;
  for (int i = 0; text.size() < 2 * 1024 * 1024; ++i) text += "line " + std::to_string(i) + " of the manual\n";
  const struct {
    std::string data;
    bool stored;
  } cases[] = {{"", true}, {"x", true}, {noise(100000, 6), true}, {big, true},
               {"", false}, {"y", false}, {text, false}, {big, false},
               {std::string(3 * 1024 * 1024, 'q'), false}};  // a few bytes that expand a thousandfold
  for (const auto& c : cases) {
    const std::string archive = one("part.bin", c.data, c.stored);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{65536}, archive.size()}) {
      if (piece == 1 && archive.size() > 300000) continue;
      write_file(out + "part.bin", "old");
      SCOPED_TRACE(std::to_string(c.data.size()) + (c.stored ? " stored" : " deflated") + ", pieces of " +
                   std::to_string(piece));
      ASSERT_EQ(extract("part.bin", archive, sig(c.data), piece), 0) << log();
      EXPECT_FALSE(spooled);
      EXPECT_TRUE(read_file(out + "part.bin") == c.data);
      EXPECT_EQ(tree(out), std::vector<std::string>{"part.bin"});
      EXPECT_FALSE(fs::exists(spool));
      // Received straight into the sink's own buffer.
      if (piece < 7) continue;
      write_file(out + "part.bin", "old");
      ASSERT_EQ(extract("part.bin", archive, sig(c.data), piece, 0, true), 0) << log();
      EXPECT_TRUE(read_file(out + "part.bin") == c.data);
      EXPECT_EQ(tree(out), std::vector<std::string>{"part.bin"});
    }
  }
#ifndef _WIN32  // permission bits
  ::umask(022);
  ASSERT_EQ(extract("run.sh", one("run.sh", "#!/bin/sh\n", false, 0100755), sig("#!/bin/sh\n"), 4096), 0);
  EXPECT_EQ(fs::status(out + "run.sh").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
#endif
}

// The file takes its name only with the listed contents from an archive
// that is whole: a wrong, cut, damaged or oversized member leaves the old
// file and no temporary behind, with a fault of the archive as the result.
TEST_F(StreamedZipTest, WrongCutOrDamagedArchivesNeverReplaceTheFile) {
  const std::string data = noise(2 * 1024 * 1024, 8);
  const std::string stored = one("f.bin", data, true);
  const std::string deflated = one("f.bin", std::string(3 * 1024 * 1024, 'a'), false);
  const std::string zeros_sig = sig(std::string(3 * 1024 * 1024, 'a'));
  const auto check = [&](int want_err, int got) {
    EXPECT_EQ(got, want_err) << log();
    EXPECT_TRUE(archive_fault(got)) << got;
    EXPECT_EQ(read_file(out + "f.bin"), "old");
    EXPECT_EQ(tree(out), std::vector<std::string>{"f.bin"});
  };
  write_file(out + "f.bin", "old");
  check(err_zip_wrong_contents, extract("f.bin", stored, sig("something else"), 65536));
  check(err_zip_wrong_contents, extract("f.bin", deflated, sig(data), 65536));
  // Cut inside the member, and cut after it (no central directory).
  check(err_zip_read, extract("f.bin", stored.substr(0, stored.size() / 2), sig(data), 65536));
  check(err_zip_read, extract("f.bin", deflated.substr(0, deflated.size() / 2), zeros_sig, 1000));
  check(err_zip_open, extract("f.bin", stored.substr(0, stored.size() - 60), sig(data), 65536));
  // A flipped byte in the compressed data.
  std::string damaged = deflated;
  damaged[damaged.size() / 3] = static_cast<char>(damaged[damaged.size() / 3] ^ 0x55);
  const int r = extract("f.bin", damaged, zeros_sig, 65536);
  EXPECT_TRUE(r == err_zip_read || r == err_zip_wrong_contents) << r;
  EXPECT_EQ(read_file(out + "f.bin"), "old");
  // A small archive that expands past the size its file may have.
  check(EFBIG, extract("f.bin", deflated, zeros_sig, 65536, 1024 * 1024));
  EXPECT_FALSE(fs::exists(spool));
}

// Small deflated members are inflated in one call; every archive, sound or
// not, must end the same way as when it is inflated as it arrives: the same
// result, the same file (or the old one kept), nothing left beside it.
// Damaged compressed data, sizes in the headers that are not the member's
// (shorter, longer, a few bytes that claim to expand a little and expand a
// thousandfold), in one piece and cut.
TEST_F(StreamedZipTest, WholeInflationEndsAsStreamingDoesOnSoundAndDamagedArchives) {
  std::string text;
  for (int i = 0; text.size() < 6000; ++i) text += "page " + std::to_string(i) + " of the checklist\n";
  std::string manual;
  for (int i = 0; manual.size() < 700000; ++i) manual += "line " + std::to_string(i * 7919 % 1000) + " of the manual\n";
  // Patches the sizes of the only member, in its local header and in the
  // central directory alike, so that only the inflation can tell.
  const auto with_sizes = [](std::string a, std::uint32_t csize, std::uint32_t usize) {
    const auto put = [&a](std::size_t at, std::uint32_t v) {
      for (int i = 0; i < 4; ++i) a[at + i] = static_cast<char>((v >> (8 * i)) & 255);
    };
    put(18, csize);
    put(22, usize);
    const std::size_t cd = a.find(std::string("PK\1\2", 4));
    EXPECT_NE(cd, std::string::npos);
    put(cd + 20, csize);
    put(cd + 24, usize);
    return a;
  };
  const auto le32_at = [](const std::string& a, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(a[at + i]);
    return v;
  };
  struct crafted {
    std::string what, archive, want;
    bool sound = false;  // flipped bits may or may not be caught; the rest is known
    bool flipped = false;
  };
  std::vector<crafted> archives;
  std::uint32_t seed = 12345;
  const auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (const std::string& data : {std::string("y"), text, manual, std::string(400000, 'q')}) {
    const std::string a = one("f.bin", data, false);
    const std::uint32_t c = le32_at(a, 18), u = le32_at(a, 22);
    const std::size_t at = 30 + (le32_at(a, 26) & 0xFFFF) + (le32_at(a, 28) & 0xFFFF);  // the compressed data
    archives.push_back({"sound " + std::to_string(u), a, sig(data), true});
    archives.push_back({"shorter " + std::to_string(u), with_sizes(a, c, u - 1), sig(data)});
    archives.push_back({"longer " + std::to_string(u), with_sizes(a, c, u + 1), sig(data)});
    archives.push_back({"compressed one less " + std::to_string(u), with_sizes(a, c - 1, u), sig(data)});
    archives.push_back({"claims 100 bytes " + std::to_string(u), with_sizes(a, c, 100), sig(data.substr(0, 100))});
    // Flipped bits across the compressed data, a few at a time.
    for (int k = 0; k < 40; ++k) {
      std::string d = a;
      for (int flips = 1 + k % 3; flips > 0; --flips) {
        const std::size_t i = at + next() % c;
        d[i] = static_cast<char>(d[i] ^ (1 << (next() % 8)));
      }
      archives.push_back({"flipped " + std::to_string(k) + " of " + std::to_string(u), d, sig(data), false, true});
    }
    // Cut short inside the compressed data, the sizes still those of the whole.
    std::string cut = a.substr(0, at + c / 2) + a.substr(at + c);
    archives.push_back({"cut " + std::to_string(u), cut, sig(data)});
  }
  int flipped_caught = 0;
  for (const crafted& c : archives) {
    for (const std::size_t piece : {c.archive.size(), std::size_t{4096}}) {
      SCOPED_TRACE(c.what + ", pieces of " + std::to_string(piece));
      int results[2];
      std::string files[2];
      for (int whole = 0; whole < 2; ++whole) {
        member_sink::whole_inflate_max = whole ? member_sink::kInlineMax : 0;
        write_file(out + "f.bin", "old");
        results[whole] = extract("f.bin", c.archive, c.want, piece);
        files[whole] = read_file(out + "f.bin");
        EXPECT_EQ(tree(out), std::vector<std::string>{"f.bin"});
        EXPECT_FALSE(spooled);
      }
      member_sink::whole_inflate_max = member_sink::kInlineMax;
      EXPECT_EQ(results[1], results[0]) << log();
      EXPECT_TRUE(files[1] == files[0]);
      if (c.sound) {
        EXPECT_EQ(results[1], 0);
        EXPECT_EQ(sig(files[1]), c.want);
      } else if (!c.flipped) {
        EXPECT_NE(results[1], 0);
      }
      if (results[1] != 0) {
        EXPECT_EQ(files[1], "old");
      }
      if (c.flipped && results[1] != 0) ++flipped_caught;
    }
  }
  // A flipped bit may land on one the deflate stream does not use, so the
  // damaged archives are counted, not named: nearly all are caught.
  EXPECT_GE(flipped_caught, 2 * 4 * 40 * 9 / 10);
}

// The same check while the archive arrives, on the calling thread and on
// the extraction pool's.
TEST_F(StreamedZipTest, SizesInZip64FieldsAreRead) {
  const std::string data = "terrain heights, " + std::string(5000, 'h');
  ASSERT_EQ(extract("basin.raw", zip64_form("basin.raw", data), sig(data), 4096), 0) << log();
  EXPECT_FALSE(spooled);
  EXPECT_TRUE(read_file(out + "basin.raw") == data);
}

TEST_F(StreamedZipTest, SignedReleaseChecksTheSha256WhileTheArchiveArrives) {
  for (const std::size_t size : {std::size_t{5000}, std::size_t{3 * 1024 * 1024}}) {
    const std::string data = noise(size, 9);
    const std::string archive = one("f.bin", data, size > 10000);
    write_file(out + "f.bin", "old");
    EXPECT_EQ(extract("f.bin", archive, plat::sha256_hex("else", 4), 65536), err_zip_wrong_contents) << log();
    EXPECT_EQ(read_file(out + "f.bin"), "old");
    EXPECT_EQ(tree(out), std::vector<std::string>{"f.bin"});
    ASSERT_EQ(extract("f.bin", archive, plat::sha256_hex(data.data(), data.size()), 65536), 0) << log();
    EXPECT_TRUE(read_file(out + "f.bin") == data);
  }
}

// Archives that are not one plain member are downloaded whole and left to
// the usual extraction; one whose central directory turns out to disagree
// with what was read asks to be fetched again that way. A failure on this
// machine is not the archive's fault; an ended transfer leaves nothing.
TEST_F(StreamedZipTest, OtherArchivesAreKeptWholeAndFailuresHereAreNotTheArchives) {
  const std::string data = noise(50000, 9);
  ASSERT_TRUE(make_zip(dir / "two.zip", {{"other.bin", "first"}, {"f.bin", data}}));
  const std::string two = read_file(dir / "two.zip");
  EXPECT_EQ(extract("f.bin", two, sig(data), 1000), 0);
  EXPECT_TRUE(spooled);
  EXPECT_TRUE(read_file(spool) == two);
  EXPECT_EQ(zip_to_file(spool, out, "f.bin", sig(data), nullptr), 0);
  EXPECT_TRUE(read_file(out + "f.bin") == data);
  EXPECT_FALSE(exists(out + "other.bin"));

  // Too short to be an archive: kept for the usual extraction to refuse.
  EXPECT_EQ(extract("f.bin", "PK\3\4", sig(data), 1), 0);
  EXPECT_TRUE(spooled);
  EXPECT_EQ(zip_to_file(spool, out, "f.bin", sig(data), nullptr), err_zip_open);

  // The member is a symbolic link by its central directory.
  fs::remove(spool);
  write_file(out + "f.bin", "old");
  EXPECT_EQ(extract("f.bin", one("f.bin", data, true, 0120777), sig(data), 4096), err_zip_needs_file);
  EXPECT_FALSE(spooled);
  EXPECT_EQ(read_file(out + "f.bin"), "old");
  // Extracted from the file, such a link is not the file either: it is not
  // made, and the extraction does not pass for the file's.
  const int link = zip_to_file(dir / "one.zip", out, "f.bin", sig(data), nullptr);
  EXPECT_EQ(link, err_zip_wrong_contents);
  EXPECT_TRUE(archive_fault(link));
  EXPECT_EQ(read_file(out + "f.bin"), "old");
  // A sibling after the member is skipped, and said to be.
  ASSERT_TRUE(make_zip(dir / "sib.zip", {{"f.bin", data}, {"g.bin", "beside"}}));
  EXPECT_EQ(extract("f.bin", read_file(dir / "sib.zip"), sig(data), 4096), 0);
  EXPECT_FALSE(exists(out + "g.bin"));

  // No folder to write into: the cause is here, not in the archive.
  const int r = extract("missing/f.bin", one("f.bin", data, true), sig(data), 4096);
  EXPECT_NE(r, 0);
  EXPECT_FALSE(archive_fault(r)) << r;

  // A transfer that ends half-way, on the worker and on the calling thread.
  for (const std::size_t size : {std::size_t{4} * 1024 * 1024, std::size_t{1000}}) {
    const std::string archive = one("f.bin", noise(size, 10), true);
    {
      member_sink sink(out + "f.bin", sig("x"), 0, spool);
      sink.start(static_cast<std::int64_t>(archive.size()));
      sink.take(archive.data(), archive.size() / 2);
      sink.abort();
      EXPECT_NE(sink.result(), 0);
    }
    EXPECT_EQ(read_file(out + "f.bin"), data);
    EXPECT_EQ(tree(out), std::vector<std::string>{"f.bin"});
  }
}

}  // namespace
