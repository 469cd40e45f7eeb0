// Names the release can carry, the rules file, and the server list.
#include <gtest/gtest.h>

#include "tools/publish/names.h"
#include "tools/publish/rules.h"
#include "tools/publish/serverlist.h"

using namespace pub;

// ------------------------------------------------------------------------ names

TEST(PublishNamesTest, RefusesComponentsTheReadersOrRequestsWouldMisread) {
  const char* bad[] = {"", ".", "..", "a\nb", "a\rb", "tab\there",
                       "bell\x07", "back\\slash", "100%", "what?", "#1"};
  for (const char* n : bad) EXPECT_NE(component_problem(n), "") << shown(n);
  EXPECT_NE(component_problem(std::string("nul\0x", 5)), "");
  EXPECT_NE(component_problem("del\x7f"), "");

  const char* good[] = {"Kestrel 2", "trailing blank ", " leading blank folder", "a+b & c's (1) [x] {y} ~z;=,@!$",
                        "\xc3\xa9t\xc3\xa9.dds", "UPPER.TXT", "...hidden"};
  for (const char* n : good) EXPECT_EQ(component_problem(n), "") << n;

  // A file name (or top folder, or version) is read as the rest of a line
  // after its blanks: a leading blank would be lost.
  EXPECT_NE(leading_name_problem(" leading"), "");
  EXPECT_EQ(leading_name_problem("trailing "), "");
}

TEST(PublishNamesTest, VersionPrefixHostAndDescription) {
  EXPECT_EQ(version_name_problem("Skyvane 9.00 Beta-17"), "");
  for (const char* v : {"", "a/b", " lead", "trail ", "new\nline", "50%"})
    EXPECT_NE(version_name_problem(v), "") << shown(v);

  for (const char* p : {"/", "/pub/", "/pub/sky vane/"}) EXPECT_EQ(prefix_problem(p), "") << p;
  for (const char* p : {"", "pub/", "/pub", "//", "/a//b/", "/a/../b/", "/a%20/"}) EXPECT_NE(prefix_problem(p), "") << p;

  for (const char* h : {"127.0.0.1", "127.0.0.1:8080", "mirror.example.org", "https://mirror.example.org",
                        "https://127.0.0.1:8443"})
    EXPECT_EQ(host_problem(h), "") << h;
  for (const char* h : {"", "http://x", "x/pub", "a b", "x:", ":80", "x:0", "x:65536", "x:8o", "https://",
                        "https://x/pub", "https://x:0", "https://https://x", "ftp://x"})
    EXPECT_NE(host_problem(h), "") << h;

  EXPECT_EQ(description_problem("Main server (fast)"), "");
  for (const char* d : {"", " lead", "two\nlines"}) EXPECT_NE(description_problem(d), "") << shown(d);
}

TEST(PublishNamesTest, ShownMakesControlCharactersVisible) {
  EXPECT_EQ(shown("a\nb\tc\x01"), "\"a\\nb\\tc\\x01\"");
}

// ------------------------------------------------------------------------ rules

TEST(PublishRulesTest, GlobPatterns) {
  struct {
    const char* pattern;
    const char* path;
    bool hit;
  } cases[] = {
      {"*.exe", "Skyvane.exe", true},
      {"*.exe", "dir/Skyvane.exe", false},  // "*" stays within one component
      {"Resources/*/*.dll", "Resources/add-ons/a.dll", true},
      {"Resources/*/*.dll", "Resources/a.dll", false},
      {"Resources/**/*.dll", "Resources/a.dll", true},
      {"Resources/**/*.dll", "Resources/p/q/r/a.dll", true},
      {"**/*.so", "lib/x/y.so", true},
      {"**", "anything/at/all", true},
      {"a?c", "abc", true},
      {"a?c", "a/c", false},
      {"[a-c]x", "bx", true},
      {"[a-c]x", "dx", false},
      {"[!a-c]x", "dx", true},
      {"[!a-c]x", "ax", false},
      {"Scenery Packs/*", "Scenery Packs/Harbour Hills.tile", true},
      {"*.tar.gz", "x.tar.gz", true},
      {"x*y*z", "xaaybbz", true},
      {"x*y*z", "xaaybb", false},
      {"[x", "[x", true},
  };
  for (const auto& c : cases) EXPECT_EQ(glob_match(c.pattern, c.path), c.hit) << c.pattern << " vs " << c.path;
}

TEST(PublishRulesTest, LastMatchingRuleWinsAndNamePatternsMatchAnywhere) {
  std::vector<rule> rules;
  std::string err;
  ASSERT_TRUE(rules_parse("# systems\n"
                          "os=2 *.exe\n"
                          "os=3 use=1 Resources/add-ons/**/*.so\n"
                          "\n"
                          "   os=6   Resources/add-ons/linux-64/special one.so  \n"
                          "os=4 never/*.match\n",
                          rules, err))
      << err;
  ASSERT_EQ(rules.size(), 4u);
  EXPECT_EQ(rules[2].pattern, "Resources/add-ons/linux-64/special one.so");
  int os = -1, use = -1;
  rules_apply(rules, "bin/Skyvane.exe", os, use);
  EXPECT_EQ(os, 2);
  EXPECT_EQ(use, 0);
  rules_apply(rules, "Resources/add-ons/linux-64/a.so", os, use);
  EXPECT_EQ(os, 3);
  EXPECT_EQ(use, 1);
  rules_apply(rules, "Resources/add-ons/linux-64/special one.so", os, use);
  EXPECT_EQ(os, 6);
  EXPECT_EQ(use, 0);
  rules_apply(rules, "Craft/kestrel2.craft", os, use);
  EXPECT_EQ(os, 0);
  EXPECT_EQ(use, 0);
  EXPECT_EQ(rules[0].matches, 1);
  EXPECT_EQ(rules[1].matches, 1);
  EXPECT_EQ(rules[2].matches, 1);
  EXPECT_EQ(rules[3].matches, 0);
}

TEST(PublishRulesTest, MalformedLinesAreNamed) {
  struct {
    const char* text;
    const char* fragment;
  } cases[] = {
      {"os=7 *.x\n", "line 1: os_type 7"},
      {"\nuse=1 *.x\n", "line 2:"},
      {"os=2 use=5 *.x\n", "use_type 5"},
      {"os=2\n", "no pattern"},
      {"os=x *.x\n", "line 1:"},
      {"os=2use=1 *.x\n", "line 1:"},
      {"os=2 /abs/*.x\n", "do not begin with \"/\""},
      {"*.exe 2\n", "line 1:"},
  };
  for (const auto& c : cases) {
    std::vector<rule> rules;
    std::string err;
    EXPECT_FALSE(rules_parse(c.text, rules, err)) << c.text;
    EXPECT_NE(err.find(c.fragment), std::string::npos) << c.text << " -> " << err;
  }
}

// ------------------------------------------------------------------ server list

TEST(PublishServerListTest, WritesTheListTheInstallerReads) {
  serverlist_options o;
  o.beta = "Skyvane 9.00 Beta-17";
  o.final_name = "Skyvane 9.00";
  o.servers = {{"127.0.0.1:8080", "/pub/skyvane/", "Main server (fast)"}, {"mirror.example.org", "/", "Mirror"}};
  std::string text, err;
  ASSERT_TRUE(serverlist_text(o, text, err)) << err;
  EXPECT_EQ(text,
            "I\n820\nSERVERS\nBETA Skyvane 9.00 Beta-17\nFINAL Skyvane 9.00\n"
            "SERVER 127.0.0.1:8080\n/pub/skyvane/\nMain server (fast)\n"
            "SERVER mirror.example.org\n/\nMirror\n"
            "ENDOFLIST\n");
  o.final_name.clear();
  ASSERT_TRUE(serverlist_text(o, text, err));
  EXPECT_NE(text.find("FINAL Skyvane 9.00 Beta-17\n"), std::string::npos);
}

TEST(PublishServerListTest, RefusesListsTheInstallerWouldMisread) {
  serverlist_options base;
  base.beta = "V1";
  base.servers = {{"127.0.0.1", "/pub/", "Main"}};
  auto fails = [](serverlist_options o, const char* fragment) {
    std::string text, err;
    EXPECT_FALSE(serverlist_text(o, text, err));
    EXPECT_NE(err.find(fragment), std::string::npos) << err;
  };
  serverlist_options o = base;
  o.servers.clear();
  fails(o, "at least one server");
  o = base;
  o.servers.assign(11, base.servers[0]);
  fails(o, "at most ten");
  o = base;
  o.servers[0].description = "";  // the next line would be read as the description
  fails(o, "must not be empty");
  o = base;
  o.servers[0].host = "http://127.0.0.1";
  fails(o, "scheme");
  o = base;
  o.servers[0].prefix = "pub";
  fails(o, "begin and end");
  o = base;
  o.beta = "a/b";
  fails(o, "BETA");
  o = base;
  o.final_name = "x\ny";
  fails(o, "FINAL");
}
