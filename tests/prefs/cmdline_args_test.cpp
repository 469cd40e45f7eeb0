// The argument-vector form of the command line: every argument that is not
// an option is kept, so that the program can refuse a destination that was
// split at its blanks; and the lines of the command listing.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>

#include "support/UTL_cmdline.h"
#include "tests/support/temp_dir.h"
#include "support/hl_init.h"

namespace {

class CmdlineArgs : public ::testing::Test {
 protected:
  void SetUp() override {
    cmdline.clear();
    ASSERT_EQ(HL_open_log(dir.path()), 1);
  }
  void TearDown() override {
    HL_close_log();
    cmdline.clear();
  }
  testing_support::TempDir dir;
};

TEST_F(CmdlineArgs, EveryArgumentThatIsNotAnOptionIsKept) {
  const std::array<const char*, 5> argv = {"prog", "/srv/My", "--headless", "Sims/Skyvane/", "--install"};
  cmdline.init_args(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(cmdline.positional(), "/srv/My");
  ASSERT_EQ(cmdline.positionals().size(), 2u);
  EXPECT_EQ(cmdline.positionals()[1], "Sims/Skyvane/");
  EXPECT_EQ(cmdline.has_option("--headless"), 1);

  cmdline.clear();
  EXPECT_TRUE(cmdline.positionals().empty());
  const std::array<const char*, 3> quoted = {"prog", "/srv/My Sims/Skyvane/", "--headless"};
  cmdline.init_args(static_cast<int>(quoted.size()), quoted.data());
  ASSERT_EQ(cmdline.positionals().size(), 1u);
  EXPECT_EQ(cmdline.positional(), "/srv/My Sims/Skyvane/");
}

TEST_F(CmdlineArgs, CommandListingLinesAreNameInFiftyColumnsThenDescription) {
  for (const auto& [name, desc] : std::vector<std::pair<std::string, std::string>>{
           {"sim/operation/none", "Do nothing at all!"},
           {"", "empty name"},
           {std::string(50, 'n'), "exactly fifty"},
           {std::string(63, 'l'), "longer than the column"}}) {
    char want[256];
    std::snprintf(want, sizeof want, "%-50s %s\n", name.c_str(), desc.c_str());
    EXPECT_EQ(UTL_cmdline_command_line(name, desc), want) << name;
  }
}

// Options nothing looked up are the ones a run warns about: a lookup of any
// kind, or naming it as looked up later, takes an option off the list; a
// lookup of an option not given adds nothing; clear() starts afresh.
TEST_F(CmdlineArgs, OptionsNothingLookedUpAreListed) {
  const std::array<const char*, 7> argv = {"prog",          "--acept_eula",        "--install", "--pref:_stream_cont=1",
                                           "--release_key=a", "--modified=keep", "--late"};
  cmdline.init_args(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(cmdline.unasked().size(), 6u);
  EXPECT_EQ(cmdline.has_option("--install"), 1);
  EXPECT_EQ(cmdline.has_option("--accept_eula"), 0);
  EXPECT_EQ(cmdline.get_option("--modified"), "keep");
  EXPECT_EQ(cmdline.get_all("--release_key").size(), 1u);
  cmdline.expect({"--late"});
  EXPECT_EQ(cmdline.unasked(), (std::vector<std::string>{"--acept_eula", "--pref:_stream_cont"}));

  cmdline.clear();
  cmdline.init_args(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(cmdline.unasked().size(), 6u);
}

}  // namespace
