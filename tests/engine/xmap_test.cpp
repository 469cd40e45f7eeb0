#include <gtest/gtest.h>

#include "engine/xmap.h"
#include "tests/engine/engine_fixture.h"

using engine_test::EngineTest;
using testing_support::write_file;

namespace {

const int kInstallerVersions[] = {840, 900, 0};

class XmapTest : public EngineTest {
 protected:
  // Writes `bytes` to a file in the temporary folder and returns its path.
  std::string file(const std::string& bytes, const std::string& name = "f.txt") {
    write_file(dir / name, bytes);
    return dir / name;
  }
};

TEST_F(XmapTest, TextHeaderWithCrLfLeavesCursorOnFourthLine) {
  xmap_class m(file("I\r\n900\r\nINSTALLER\r\nFILE 1\r\n"));
  ASSERT_NE(m.mBegin, nullptr);
  EXPECT_EQ(m.size(), 27u);
  EXPECT_EQ(m.check_file(xmap_text, kInstallerVersions, "INSTALLER", nullptr), 900);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.mCrt), 6), "FILE 1");
}

TEST_F(XmapTest, TextHeaderVariants) {
  struct Case {
    const char* bytes;
    int want;
  } cases[] = {
      {"A\n840\nINSTALLER\n", 840},             // other byte-order mark
      {"I whatever\n900 a comment\nINSTALLER x\n", 900},
      {"I\n900\n   INSTALLER", 900},            // keyword at the very end of the data
      {"I\n900\nINSTALLER\t\n", 900},
      {"i\n900\nINSTALLER\n", 0},               // lower case is the binary mark
      {"X\n900\nINSTALLER\n", 0},
      {"I\n901\nINSTALLER\n", 0},
      {"I\n900\nINSTALLERS\n", 0},              // keyword followed by a letter
      {"I\n900\nSERVERS\n", 0},
      {"I\n", 0},
  };
  for (const Case& c : cases) {
    xmap_class m(file(c.bytes));
    EXPECT_EQ(m.check_file(xmap_text, kInstallerVersions, "INSTALLER", nullptr), c.want) << c.bytes;
  }
}

TEST_F(XmapTest, TextHeaderRestAndNoKeyword) {
  xmap_class m(file("I\n9001 version\nkey value\n"));
  std::string rest;
  const int v[] = {9001, 0};
  EXPECT_EQ(m.check_file(xmap_text, v, nullptr, &rest), 9001);
  EXPECT_EQ(rest, "version");
  EXPECT_EQ(m.read_word(), "key");
}

TEST_F(XmapTest, FailedKeywordPutsCursorBack) {
  xmap_class m(file("I\n900\n  DVDX\n"));
  const int v[] = {900, 0};
  EXPECT_EQ(m.check_file(xmap_text, v, "DVD", nullptr), 0);
  EXPECT_EQ(m.read_word(), "DVDX");
}

TEST_F(XmapTest, BinaryHeaderByteOrders) {
  const int v[] = {900, 0};
  {
    xmap_class m(file(std::string("a\x00\x00\x03\x84", 5)));
    EXPECT_EQ(m.check_file(xmap_binary, v, nullptr, nullptr), 900);
    EXPECT_EQ(m.rev_inf_bin, 1);
  }
  {
    xmap_class m(file(std::string("i\x84\x03\x00\x00", 5)));
    EXPECT_EQ(m.check_file(xmap_binary, v, nullptr, nullptr), 900);
    EXPECT_EQ(m.rev_inf_bin, 0);
    EXPECT_TRUE(m.at_end());
  }
  {
    xmap_class m(file(std::string("i\x84\x03", 3)));  // too short for a version
    EXPECT_EQ(m.check_file(xmap_binary, v, nullptr, nullptr), 0);
  }
  {
    xmap_class m(file("I\n900\n"));  // a text header is no binary one
    EXPECT_EQ(m.check_file(xmap_binary, v, nullptr, nullptr), 0);
  }
}

TEST_F(XmapTest, TextOperations) {
  static const char kBytes[] =
      "  -12\t+7 -+5 1x 99999999999999999999 word\tnext\r\n\r\n  \0 rest of  line \nDIRX a\nDIR b\n";
  xmap_class n(file(std::string(kBytes, sizeof kBytes - 1)));
  ASSERT_NE(n.mBegin, nullptr);
  EXPECT_EQ(n.read_int(), -12);
  EXPECT_EQ(n.read_int(), 7);
  EXPECT_EQ(n.read_int(), -5);
  EXPECT_EQ(n.read_int(), 10 + ('x' - '0'));  // non-digits fold in without complaint
  n.read_int();                               // an over-long number wraps, no overflow
  EXPECT_EQ(n.read_word(), "word");
  EXPECT_EQ(n.read_word(), "next");
  n.skip_line_break();  // CR LF, an empty line, blanks and a NUL all go
  EXPECT_EQ(n.read_rest_of_line(), "rest of  line ");
  n.skip_line_break();
  EXPECT_FALSE(n.match_keyword("DIR"));  // "DIRX": no blank after the word
  EXPECT_EQ(n.read_word(), "DIRX");
  n.skip_line();
  EXPECT_TRUE(n.match_keyword("DIR"));
  EXPECT_EQ(n.read_rest_of_line(), "b");
  n.skip_line();
  EXPECT_TRUE(n.at_end());
  // At the end every operation stays put and returns nothing.
  EXPECT_EQ(n.read_word(), "");
  EXPECT_EQ(n.read_int(), 0);
  EXPECT_FALSE(n.match_keyword("DIR"));
  EXPECT_EQ(n.mCrt, n.mEnd);
}

TEST_F(XmapTest, OperationsStopAtTheEndOfData) {
  // A keyword as the last bytes of the file is not followed by a blank.
  xmap_class m(file("FILE"));
  EXPECT_FALSE(m.match_keyword("FILE"));
  EXPECT_EQ(m.read_rest_of_line(), "FILE");
  EXPECT_TRUE(m.at_end());
  xmap_class k(file("-", "minus.txt"));
  EXPECT_EQ(k.read_int(), 0);
  EXPECT_TRUE(k.at_end());
}

TEST_F(XmapTest, AbsentEmptyAndFolderGiveNoMappingAndNoMessage) {
  testing::internal::CaptureStderr();
  xmap_class absent(dir / "missing.txt");
  xmap_class empty(file("", "empty.txt"));
  xmap_class folder(dir.path().substr(0, dir.path().size() - 1));
  xmap_class none("");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(absent.mBegin, nullptr);
  EXPECT_EQ(empty.mBegin, nullptr);
  EXPECT_EQ(folder.mBegin, nullptr);
  EXPECT_EQ(none.mBegin, nullptr);
  EXPECT_EQ(absent.check_file(xmap_text, kInstallerVersions, "INSTALLER", nullptr), 0);
  EXPECT_TRUE(none.at_end());
}

TEST_F(XmapTest, RetryReplacesTheMapping) {
  xmap_class m(file("first", "a.txt"));
  ASSERT_NE(m.retry(file("second!", "b.txt")), nullptr);
  EXPECT_EQ(m.size(), 7u);
  EXPECT_EQ(m.read_word(), "second!");
  EXPECT_EQ(m.retry(dir / "none.txt"), nullptr);
  EXPECT_EQ(m.mBegin, nullptr);
  EXPECT_TRUE(m.at_end());
}

TEST_F(XmapTest, MapFailureAlertsAndLogs) {
  const std::string path = file("data");
  plat::fault_arm(plat::Op::mmap, ENOMEM);
  testing::internal::CaptureStderr();
  xmap_class m(path);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(m.mBegin, nullptr);
  EXPECT_EQ(m.mEnd, nullptr);
  EXPECT_NE(err.find("Xmapped file ran out of memory"), std::string::npos);
  EXPECT_NE(log().find("Mem file error.  Err=12, file=" + path + "\n"), std::string::npos);
}

using XmapDeathTest = XmapTest;

TEST_F(XmapDeathTest, PathRulesEndTheProgram) {
#ifdef _WIN32
  // On Windows "\\" and ":" past a drive prefix are no part of a name: the
  // program writes its own paths with "/" only.
  EXPECT_EXIT(xmap_class m("dir\\file.txt"), ::testing::ExitedWithCode(1), "I got a bad dirchar");
  EXPECT_EXIT(xmap_class m("/tmp/a:b"), ::testing::ExitedWithCode(1), "I got a bad dirchar");
  EXPECT_EXIT(xmap_class m("C:\\x\\y"), ::testing::ExitedWithCode(1), "I got a bad dirchar");
#else
  // Here both are ordinary characters of a name: a temporary folder, a
  // settings folder or a disc mounted under such a name is read like any
  // other (the program once ended on them).
  const std::string odd = file("I\n900\nINSTALLER\n", "a:b\\c.txt");
  xmap_class m(odd);
  ASSERT_NE(m.mBegin, nullptr) << odd;
  EXPECT_EQ(m.check_file(xmap_text, kInstallerVersions, "INSTALLER", nullptr), 900);
  xmap_class missing("/no such folder/a:b");
  EXPECT_EQ(missing.mBegin, nullptr);
#endif
  // A drive prefix alone is allowed: the file just is not there.
  xmap_class drive("C:\\x/y.txt");
  EXPECT_EQ(drive.mBegin, nullptr);
}

TEST_F(XmapDeathTest, LengthGuard) {
  check_len(std::string(499, 'a'));
  EXPECT_EXIT(check_len(std::string(500, 'a')), ::testing::ExitedWithCode(1), "String too long!");
  EXPECT_EXIT(xmap_class m("/" + std::string(499, 'b')), ::testing::ExitedWithCode(1), "String too long!");
}

TEST_F(XmapDeathTest, BadHeaderTypeEndsTheProgram) {
  xmap_class m(file("I\n900\n"));
  EXPECT_EXIT(m.check_file(10002, kInstallerVersions, nullptr, nullptr), ::testing::ExitedWithCode(1),
              "Bad check_file type!");
}

TEST_F(XmapDeathTest, PathHoldingThePrefixEndsTheProgram) {
  app_path = "/opt/aerodeck/";
  EXPECT_EXIT(xmap_class m("/opt/aerodeck/x.txt"), ::testing::ExitedWithCode(1), "not Aerodeck relative");
  app_path.clear();
}

}  // namespace
