#include <gtest/gtest.h>

#include <cmath>

#include "engine/utils.h"
#include "installer/main.h"
#include "tests/support/temp_dir.h"
#include "support/hl_init.h"

using testing_support::TempDir;
using testing_support::write_file;

namespace {

class ServerList : public ::testing::Test {
 protected:
  void SetUp() override {
    installer_state_reset();
    HL_open_log(dir.path());
  }
  void TearDown() override {
    HL_close_log();
    installer_state_reset();
  }
  int read(const std::string& text) {
    write_file(dir / "serverlist.txt", text);
    return read_server_list(dir / "serverlist.txt");
  }
  TempDir dir;
};

TEST_F(ServerList, ReadsVersionAndServersWhateverTheLineEnds) {
  for (const char* eol : {"\n", "\r\n", "\r"}) {
    installer_state_reset();
    const std::string e = eol;
    ASSERT_EQ(read("I" + e + "820 Version" + e + "SERVERS" + e + "BETA Skyvane 9.00 Beta-17" + e +
                   "FINAL Skyvane 9.00" + e + e + "   SERVER mirror.one" + e + "  /pub/skyvane/" + e +
                   "Main server (fast)" + e + "SERVERS not a server" + e + "SERVER 127.0.0.1:8080" + e + "/" + e +
                   "Local" + e + "ENDOFLIST" + e + "SERVER after.end" + e + "/x/" + e + "never" + e),
              1)
        << "line end " << static_cast<int>(eol[0]);
    EXPECT_EQ(install_name, "Skyvane 9.00 Beta-17");
    ASSERT_EQ(stg.num_servers, 2);
    EXPECT_EQ(server_name[0], "mirror.one");
    EXPECT_EQ(server_path[0], "/pub/skyvane/Skyvane 9.00 Beta-17/");
    EXPECT_EQ(server_desc[0], "Main server (fast)");
    EXPECT_EQ(server_name[1], "127.0.0.1:8080");
    EXPECT_EQ(server_path[1], "/Skyvane 9.00 Beta-17/");
    EXPECT_EQ(server_desc[1], "Local");
  }
  // Trailing blanks are part of the value as read; a version name ending in
  // one is then refused (it would name a folder that differs from what a
  // person sees), and no server of the list is used.
  run_state_reset();
  EXPECT_EQ(read("I\n820 Version\nSERVERS\nBETA Skyvane 9.00 \nSERVER mirror.one\n/pub/\nMain\n"), 2);
  EXPECT_EQ(install_name, "Skyvane 9.00 ");
  EXPECT_EQ(stg.num_servers, 0);
}

TEST_F(ServerList, HeaderMustBeExact) {
  EXPECT_EQ(read("I\n821\nSERVERS\n"), 0);
  EXPECT_EQ(read("I\n820\nSERVERSX\n"), 0);
  EXPECT_EQ(read("X\n820\nSERVERS\n"), 0);
  EXPECT_EQ(stg.num_servers, -1);
  EXPECT_EQ(read("A\n820\nSERVERS\n"), 1);
  EXPECT_EQ(stg.num_servers, 0);
}

TEST_F(ServerList, ElevenServersKeepTenAndBadEntriesAreSkipped) {
  std::string text = "I\n820\nSERVERS\nBETA v1\n";
  text += "SERVER bad.host/\n/p/\nslash at the end\n";
  text += "SERVER no.slash\np/\npath without a leading slash\n";
  for (int i = 0; i < 11; ++i) text += "SERVER host" + std::to_string(i) + "\n/p/\nd" + std::to_string(i) + "\n";
  ASSERT_EQ(read(text), 1);
  EXPECT_EQ(stg.num_servers, 10);
  EXPECT_EQ(server_name[0], "host0");
  EXPECT_EQ(server_name[9], "host9");
  EXPECT_EQ(server_path[9], "/p/v1/");
}

TEST_F(ServerList, ServersBeforeTheVersionGetThePlaceholderName) {
  ASSERT_EQ(read("I\n820\nSERVERS\nSERVER h\n/p/\nd\nBETA late\n"), 1);
  EXPECT_EQ(server_path[0], "/p/Not Yet Scanned/");
  EXPECT_EQ(install_name, "late");
}

TEST(ServerDraw, FavoursTheTopOfTheList) {
  app_seed(7);
  int count[10] = {};
  const int draws = 100000;
  for (int i = 0; i < draws; ++i) {
    const int s = draw_server_skewed(10);
    ASSERT_GE(s, 0);
    ASSERT_LT(s, 10);
    ++count[s];
  }
  // P(index k) = ((k+1)/10)^(2/3) - (k/10)^(2/3): about 0.215 for 0, 0.066 for 9.
  EXPECT_NEAR(count[0] / double(draws), 0.215, 0.01);
  EXPECT_NEAR(count[9] / double(draws), 0.066, 0.01);
  EXPECT_EQ(draw_server_skewed(1), 0);
  EXPECT_EQ(draw_server_skewed(0), -1);
}

}  // namespace
