// The real installer against servers that fail, lists and directory files
// that cannot be trusted, destinations that are not the simulator's alone,
// a second run beside the first, and termination requests mid-install.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "tests/installer/e2e_fixture.h"

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::write_file;

namespace e2e {
namespace {

// A small release: a folder tree, an empty file, and one Linux-only file
// (so that a complete install may rename the destination).
tree_map release() {
  return {
      {"Airfoils/Zephyr wing.dat", std::string(20000, 'w')},
      {"Instructions/Guide.txt", "read me first\n"},
      {"Resources/ground/terrain.bin", std::string(90000, 't')},
      {"Resources/empty marker.txt", ""},
      {"Zephyr.linux", std::string(50000, 'z')},
  };
}

using testing_support::noise;

class InstallerFaultsE2E : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    // A stand-in for the desktop's "open this address" program: it leaves
    // a mark when anything tries to open a browser.
    bin = work / "bin/";
    fs::create_directories(bin);
    browser_mark = work / "browser-opened";
    write_file(bin + "xdg-open", "#!/bin/sh\necho \"$@\" >> '" + browser_mark + "'\n");
    fs::permissions(bin + "xdg-open", fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    old_path = path ? path : "";
    setenv("PATH", (bin + ":" + old_path).c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", old_path.c_str(), 1);
    InstallerTest::TearDown();
  }

  // The installer's private temporary folder (TMPDIR/skyvane-<uid>/).
  std::string private_tmp() const { return work / ("tmp/skyvane-" + std::to_string(getuid()) + "/"); }
  // Stream archives and directory archives left in the temporary folder.
  // Downloads under way or left behind: archives in the temporary folder
  // and the hidden files that extractions write beside their targets.
  std::vector<std::string> partial_downloads() const {
    std::vector<std::string> left;
    if (fs::exists(private_tmp()))
      for (const auto& e : fs::directory_iterator(private_tmp()))
        if (e.path().extension() == ".zip") left.push_back(e.path().filename().string());
    if (fs::exists(dest))
      for (const auto& e : fs::recursive_directory_iterator(dest))
        if (e.path().filename().string().find(".part-") != std::string::npos) left.push_back(e.path().string());
    return left;
  }

  std::string bin, browser_mark, old_path;
};

TEST_F(InstallerFaultsE2E, NothingListeningSpacesTheAttemptsThenGivesUp) {
  const int port = testservers::free_port("127.0.0.1");
  const auto t0 = std::chrono::steady_clock::now();
  run_result r = run_joined({dest, "--headless", "--retry_backoff=0.05",
                             "--server_list_host=127.0.0.1:" + std::to_string(port)},
                            120);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.printed("I could not fetch the server list after 10 attempts in a row.")) << joined(r);
  // Nine waits before the tenth attempt: 0.05 doubling, at most 1.5 s each.
  EXPECT_GE(secs, 7.0);
  // Ten failure reports at most, not thousands.
  EXPECT_LT(log().size(), 64u * 1024) << log().size();
}

TEST_F(InstallerFaultsE2E, AWebPageAsServerListEndsWithOneLineAndNoBrowser) {
  testservers::NginxServer& web = serve();
  write_file(www + "serverlist.txt", "<!DOCTYPE html>\n<html><body>Sign in to the free Wi-Fi</body></html>\n");
  for (const bool install : {false, true}) {
    std::vector<std::string> args = {dest, "--headless", "--server_list_host=" + web.host()};
    if (install) args.insert(args.end(), {"--install", "--accept_eula"});
    run_result r = run_joined(args, 30);
    EXPECT_EQ(r.status, 2) << joined(r);
    EXPECT_TRUE(r.printed("The list of servers is not in a format I can read.")) << joined(r);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(fs::exists(browser_mark)) << read_file(browser_mark);
  EXPECT_FALSE(fs::exists(dest));
}

TEST_F(InstallerFaultsE2E, RefusedDirectoryFileEndsTheRunWithExitTwo) {
  publish(release(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  // A directory file naming a path outside the destination.
  write_zip(directory_of("v1"),
            {{"directory.txt", "I\n900\nINSTALLER\nDIR Skyvane/\n"
                               "FILE 0 0 1 1 1 d41d8cd98f00b204e9800998ecf8427e ../../outside.txt\n"}});
  for (const bool install : {false, true}) {
    std::vector<std::string> args = {dest, "--headless"};
    if (install) args.insert(args.end(), {"--install", "--accept_eula"});
    run_result r = run_joined(args, 30);
    EXPECT_EQ(r.status, 2) << joined(r);
    EXPECT_TRUE(r.printed("I can not find a version of Skyvane on the net")) << joined(r);
    EXPECT_FALSE(r.printed("Your copy of Skyvane is already the latest version.")) << joined(r);
  }
  // A directory file of a format this installer does not know: the same
  // end, and no browser without a window.
  write_zip(directory_of("v1"), {{"directory.txt", "I\n1200\nINSTALLER\n"}});
  run_result r = run_joined({dest, "--headless"}, 30);
  EXPECT_EQ(r.status, 2) << joined(r);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(fs::exists(browser_mark));
  EXPECT_FALSE(fs::exists(work / "outside.txt"));
}

TEST_F(InstallerFaultsE2E, DirectoryArchiveWithoutItsMemberIsAFailedFetch) {
  publish(release(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  write_zip(directory_of("v1"), {{"readme.txt", "no directory here"}});
  // A directory file of an earlier run in the temporary folder must not be
  // taken for this release's.
  fs::create_directories(private_tmp());
  fs::permissions(private_tmp(), fs::perms::owner_all);
  write_file(private_tmp() + "directory.txt", "I\n900\nINSTALLER\nDIR Skyvane/\n");
  // Stream archives of an interrupted run: removed at start.
  write_file(private_tmp() + "0.zip", "partial");
  write_file(private_tmp() + "3.zip", "partial");
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--retry_backoff=0.01"}, 60);
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("I could not fetch the directory file after 10 attempts in a row.")) << joined(r);
  EXPECT_FALSE(r.printed("INSTALLATION COMPLETE!"));
  EXPECT_NE(log().find("holds no directory.txt"), std::string::npos);
  EXPECT_FALSE(fs::exists(dest));
  EXPECT_TRUE(partial_downloads().empty()) << partial_downloads().front();
  EXPECT_FALSE(fs::exists(private_tmp() + "directory.txt"));
}

TEST_F(InstallerFaultsE2E, VersionNameWithEscapeSequencesIsRefused) {
  testservers::NginxServer& web = serve();
  const std::string evil = "v1\x1b]0;owned\x07\x1b[2J";
  write_file(www + "serverlist.txt", "I\n820 Version\nSERVERS\nBETA " + evil + "\nSERVER " + web.host() +
                                         "\n/pub/\nMain\nENDOFLIST\n");
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula"}, 30);
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("which is not a folder name I can use")) << joined(r);
  EXPECT_EQ(joined(r).find('\x1b'), std::string::npos) << "escape sequence reached the terminal";
  EXPECT_EQ(log().find('\x1b'), std::string::npos) << "escape sequence reached the log";
  EXPECT_FALSE(fs::exists(dest));
}

TEST_F(InstallerFaultsE2E, NegativeStreamCountStillInstallsEverything) {
  publish(release(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
                             "--pref:_stream_count=-1"});
  ASSERT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(dest), release());
  const std::string prefs = read_file(home + "/.config/skyvane/Skyvane Installer.prf");
  EXPECT_NE(prefs.find("_stream_count 0\n"), std::string::npos) << prefs;
}

TEST_F(InstallerFaultsE2E, AFolderWithOtherContentIsNotRenamedAndARenameSaysWhere) {
  publish(release(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});

  // A home-like folder: the user's own things beside what gets installed.
  const std::string alice = work / "alice/";
  write_file(alice + "Documents/letters.txt", "dear diary");
  write_file(alice + "notes.txt", "mine");
  run_result r = run_joined({alice, "--headless", "--install", "--accept_eula"});
  ASSERT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TRUE(r.printed("I will not rename " + alice)) << joined(r);
  EXPECT_FALSE(fs::exists(work / "v1"));
  EXPECT_EQ(read_file(alice + "Documents/letters.txt"), "dear diary");
  EXPECT_EQ(read_file(alice + "Zephyr.linux"), release()["Zephyr.linux"]);

  // A fresh folder holds the tree alone: it takes the version's name, and
  // the run says where the tree now is.
  r = run_joined({dest, "--headless", "--install", "--accept_eula"});
  ASSERT_EQ(r.status, 0) << joined(r) << log();
  const std::string renamed = work / "dest/v1/";
  EXPECT_TRUE(r.printed("The installed Skyvane is now at " + renamed)) << joined(r);
  EXPECT_NE(log().find("The installed Skyvane is now at " + renamed), std::string::npos);
  EXPECT_TREE_EQ(read_tree(renamed), release());
}

TEST_F(InstallerFaultsE2E, ASecondRunBesideTheFirstStopsAtOnce) {
  tree_map big = release();
  for (int i = 0; i < 12; ++i) big["Scenery/tile " + std::to_string(i) + ".bin"] = noise(200000, i);
  publish(big, "v1");
  testservers::NginxServer& slow = serve("127.0.0.1", "", "limit_rate 60k;");
  server_list("v1", {slow.host()});

  auto first = start({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
  std::string line;
  bool installing = false;
  while (first->read_line(line, 20000))
    if (line.find("OK I am installing this now...") != std::string::npos) {
      installing = true;
      break;
    }
  ASSERT_TRUE(installing);

  const auto t0 = std::chrono::steady_clock::now();
  run_result second = run_joined({work / "elsewhere/", "--headless", "--install", "--accept_eula"}, 20);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 10.0);
  EXPECT_EQ(second.status, 2);
  EXPECT_TRUE(second.printed("Another Skyvane installer is already running for this user")) << joined(second);
  EXPECT_FALSE(fs::exists(work / "elsewhere"));
  ASSERT_TRUE(first->running());
  // The first run's log was not taken over by the second.
  EXPECT_EQ(log().find("elsewhere"), std::string::npos);

  // Killed outright, the first run leaves no lock behind.
  kill(first->pid(), SIGKILL);
  first->wait_exit();
  testservers::NginxServer& fast = serve("127.0.0.2");
  server_list("v1", {fast.host()});
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}, 120);
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(dest), big);
}

TEST_F(InstallerFaultsE2E, TerminationMidInstallSavesThePreferencesAndRemovesPartialDownloads) {
  tree_map big = release();
  for (int i = 0; i < 12; ++i) big["Scenery/tile " + std::to_string(i) + ".bin"] = noise(200000, i);
  publish(big, "v1");
  testservers::NginxServer& slow = serve("127.0.0.1", "", "limit_rate 40k;");
  server_list("v1", {slow.host()});

  for (const int signo : {SIGTERM, SIGINT}) {
    const std::string prefs_file = home + "/.config/skyvane/Skyvane Installer.prf";
    fs::remove(prefs_file);
    auto p = start({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
                    "--pref:_log_actions=1"});
    std::string line;
    bool installing = false;
    while (p->read_line(line, 20000))
      if (line.find("OK I am installing this now...") != std::string::npos) {
        installing = true;
        break;
      }
    ASSERT_TRUE(installing);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_FALSE(partial_downloads().empty()) << "no download under way to interrupt";
    kill(p->pid(), signo);
    run_result r = finish(*p, 20);
    EXPECT_EQ(r.status, 128 + signo);
    EXPECT_TRUE(partial_downloads().empty()) << partial_downloads().front();
    const std::string prefs = read_file(prefs_file);
    EXPECT_NE(prefs.find("_dest_dir_path " + dest + "\n"), std::string::npos) << prefs;
    EXPECT_NE(prefs.find("_log_actions 1\n"), std::string::npos) << prefs;
    EXPECT_NE(prefs.find("_rename_folder 0\n"), std::string::npos) << prefs;
    EXPECT_LT(read_tree(dest).size(), big.size());
  }
}

TEST_F(InstallerFaultsE2E, CommandLineRefusalsAndListings) {
  // Two destinations: a path with blanks that was not quoted.
  run_result r = run_joined({work / "My", work / "Sims/", "--headless", "--server_list_host=127.0.0.1:1"}, 20);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.printed("put a path with blanks in quotes")) << joined(r);

  // A destination with a control character.
  r = run_joined({work / "a\nb/", "--headless", "--server_list_host=127.0.0.1:1"}, 20);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.printed("holds control characters")) << joined(r);

  // A relative destination is made absolute.
  r = run_joined({"relative dest/", "--headless", "--server_list_host=127.0.0.1:1", "--retry_backoff=0.001"}, 30);
  EXPECT_TRUE(r.printed("Installing to " + (fs::current_path() / "relative dest/").string())) << joined(r);
  EXPECT_EQ(r.status, 2);

  // The command listing: name in 50 columns, a blank, the description.
  r = run_joined({"--cmnds=all"}, 20);
  EXPECT_EQ(r.status, 0);
  ASSERT_FALSE(r.out.empty());
  const std::string& first = r.out.front();
  ASSERT_GT(first.size(), 51u) << first;
  EXPECT_EQ(first[50], ' ');
  EXPECT_NE(first.substr(0, 50).find_last_not_of(' '), std::string::npos);
  EXPECT_EQ(first.substr(0, first.find(' ')).find('\t'), std::string::npos) << first;
  // Below a path: the next path part, once each.
  const std::string name = first.substr(0, first.find(' '));
  const std::string top = name.substr(0, name.find('/') + 1);
  const std::string next_part = name.substr(top.size(), name.find('/', top.size()) - top.size());
  r = run_joined({"--cmnds=" + top}, 20);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::find(r.out.begin(), r.out.end(), next_part) != r.out.end()) << joined(r);
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// A small file system of its own (tmpfs), mounted for one test; needs the
// right to mount, else the test is skipped.
class Mounted {
 public:
  explicit Mounted(const std::string& where, const std::string& options) : where_(where) {
    fs::create_directories(where);
    testservers::ChildProcess p;
    if (!p.start({"mount", "-t", "tmpfs", "-o", options, "tmpfs", where}, true)) return;
    std::string line;
    while (p.read_line(line, 5000)) {
    }
    ok_ = p.wait_exit() == 0;
  }
  ~Mounted() {
    if (!ok_) return;
    testservers::ChildProcess p;
    if (p.start({"umount", "-l", where_}, true)) p.wait_exit();
  }
  bool ok() const { return ok_; }

 private:
  std::string where_;
  bool ok_ = false;
};

TEST_F(InstallerFaultsE2E, LocalCausesAreReportedAsTheyAre) {
  publish(release(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});

  // A full temporary folder: the run says so at once, not that the server
  // list could not be fetched.
  const std::string small = work / "small/";
  Mounted tmp(small, "size=256k,mode=0777");
  if (!tmp.ok()) GTEST_SKIP() << "cannot mount a file system here";
  setenv("TMPDIR", small.c_str(), 1);
  const std::string own = small + "skyvane-" + std::to_string(getuid()) + "/";
  fs::create_directories(own);
  fs::permissions(own, fs::perms::owner_all, fs::perm_options::replace);
  write_file(own + "filler", std::string(200 * 1024, 'f'));
  {
    // Fill what is left, byte by byte if need be.
    std::FILE* f = std::fopen((own + "filler2").c_str(), "wb");
    std::string block(4096, 'f');
    while (f && std::fwrite(block.data(), 1, block.size(), f) == block.size()) {
    }
    std::string one = "f";
    while (f && std::fwrite(one.data(), 1, 1, f) == 1 && std::fflush(f) == 0) {
    }
    if (f) std::fclose(f);
  }
  const auto t0 = std::chrono::steady_clock::now();
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula"}, 60);
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 20.0);
  EXPECT_TRUE(r.printed("No space left on device")) << joined(r);
  EXPECT_FALSE(r.printed("I could not fetch the server list")) << joined(r);
  setenv("TMPDIR", (work / "tmp").c_str(), 1);

  // A read-only destination file system: its own cause, not a missing file.
  const std::string ro = work / "ro/";
  Mounted ro_mount(ro, "size=256k,ro");
  ASSERT_TRUE(ro_mount.ok());
  r = run_joined({ro + "Skyvane/", "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}, 60);
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("I can not make the destination folder " + ro + "Skyvane/: ")) << joined(r);
  EXPECT_TRUE(r.printed("read-only")) << joined(r);
  EXPECT_FALSE(r.printed("No such file or directory")) << joined(r);
}


// A file missing on every server: each server is asked for it a few times,
// further and further apart, and the run then ends naming the file and why,
// instead of asking hundreds of times a second for ever.
TEST_F(InstallerFaultsE2E, AFileMissingEverywhereIsAskedForAFewTimesThenTheRunEnds) {
  publish(release(), "v1");
  fs::remove(www + "pub/v1/Skyvane/Resources/ground/terrain.bin.zip");
  testservers::NginxServer& a = serve("127.0.0.1");
  testservers::NginxServer& b = serve("127.0.0.2");
  server_list("v1", {a.host(), b.host()});

  const auto t0 = std::chrono::steady_clock::now();
  run_result r = run_joined(
      {dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0", "--retry_backoff=0.05"}, 90);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("I can NOT download the file '")) << joined(r);
  EXPECT_TRUE(r.printed("terrain.bin.zip")) << joined(r);
  EXPECT_TRUE(r.printed("HTTP status 404")) << joined(r);
  EXPECT_FALSE(r.printed("INSTALLATION COMPLETE!"));
  // The run ended as failed and says so: not that it is trying another server.
  EXPECT_TRUE(r.printed("The installation was not completed because an error occurred.")) << joined(r);
  EXPECT_FALSE(r.out.empty() || r.out.back().find("trying another server") != std::string::npos) << joined(r);
  for (const testservers::NginxServer* s : {&a, &b}) {
    const int n = requests_for(*s, "terrain.bin");
    EXPECT_GE(n, 1) << s->host();
    EXPECT_LE(n, 6) << s->host();
  }
  // Six failures on one server wait 0.05 + 0.1 + 0.2 + 0.4 + 0.8 s between them.
  EXPECT_GE(secs, 1.5);
  // One report a server and file, then a line a repeat: the log stays small.
  EXPECT_LT(log().size(), 64u * 1024) << log().size();
}

// The temporary folder fills up during a download: no server can mend that,
// so the run ends at once with that cause rather than retrying or blaming
// the network.
TEST_F(InstallerFaultsE2E, AFullTemporaryFolderMidInstallEndsTheRunWithThatCause) {
  tree_map tree = release();
  tree["Resources/ground/terrain.bin"] = noise(600000, 7);
  publish(tree, "v1");
  // An archive written as a stream (sizes after the data) is downloaded
  // whole into the temporary folder before it is extracted.
  const std::string stage = work / "stage/";
  write_file(stage + "terrain.bin", tree["Resources/ground/terrain.bin"]);
  const std::string archive = www + "pub/v1/Skyvane/Resources/ground/terrain.bin.zip";
  fs::remove(archive);
  ASSERT_EQ(std::system(("cd '" + stage + "' && zip -q -X -fd '" + archive + "' terrain.bin").c_str()), 0);
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  const std::string small = work / "small/";
  Mounted tmp(small, "size=400k,mode=0777");
  if (!tmp.ok()) GTEST_SKIP() << "cannot mount a file system here";
  setenv("TMPDIR", small.c_str(), 1);

  const auto t0 = std::chrono::steady_clock::now();
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}, 60);
  setenv("TMPDIR", (work / "tmp").c_str(), 1);
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 20.0);
  EXPECT_TRUE(r.printed("No space left on device")) << joined(r);
  EXPECT_FALSE(r.printed("I can NOT download the file")) << joined(r);
  EXPECT_EQ(requests_for(web, "terrain.bin"), 1);
}

// A mirror with an archive far larger than the release lists and a small
// archive that expands far past its file's size: alone, it fails the install
// without filling the disk or leaving anything; with a damaged archive too,
// beside a good mirror, the install completes from the good one.
TEST_F(InstallerFaultsE2E, BadArchivesOnOneMirrorCostNoDiskAndAreFetchedFromAGoodOne) {
  tree_map tree = release();
  tree["Resources/ground/terrain.bin"] = noise(90000, 3);
  publish(tree, "v1");
  const std::string bad = work / "bad/";
  fs::copy(www, bad, fs::copy_options::recursive);
  const std::string top = bad + "pub/v1/Skyvane/";
  fs::remove(top + "Zephyr.linux.zip");
  write_zip(top + "Zephyr.linux.zip", {{"Zephyr.linux", noise(300000, 5)}});
  fs::remove(top + "Resources/ground/terrain.bin.zip");
  write_zip(top + "Resources/ground/terrain.bin.zip", {{"terrain.bin", std::string(40 << 20, 't')}});
  ASSERT_LT(fs::file_size(top + "Resources/ground/terrain.bin.zip"), 90000u);

  testservers::NginxServer& good = serve("127.0.0.1");  // also serves the server list
  testservers::NginxServer& mirror = serve("127.0.0.2", bad);
  server_list("v1", {mirror.host()});
  const std::string small = work / "small/";
  Mounted disk(small, "size=2m,mode=0777");
  if (!disk.ok()) GTEST_SKIP() << "cannot mount a file system here";
  const std::string into = small + "Skyvane/";
  run_result r = run_joined(
      {into, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0", "--retry_backoff=0.05"}, 90);
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_FALSE(r.printed("INSTALLATION COMPLETE!"));
  EXPECT_FALSE(r.printed("No space left on device")) << joined(r);
  EXPECT_NE(log().find("refused: the server announced"), std::string::npos) << log();
  EXPECT_NE(log().find("File too large"), std::string::npos) << log();
  const tree_map got = read_tree(into);
  EXPECT_EQ(got.count("Resources/ground/terrain.bin"), 0u);
  EXPECT_EQ(got.count("Zephyr.linux"), 0u);
  for (const auto& [path, bytes] : got) EXPECT_EQ(path.find(".part-"), std::string::npos) << path;

  // Now also a damaged archive there, and a good mirror beside it.
  fs::remove_all(into);
  const std::string wing = read_file(top + "Airfoils/Zephyr wing.dat.zip");
  write_file(top + "Airfoils/Zephyr wing.dat.zip", wing.substr(0, wing.size() / 2));

  server_list("v1", {mirror.host(), good.host()});
  r = run_joined({into, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}, 120);
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(into), linux_part(tree));
}

// Killed while a large file is being extracted, the run leaves a hidden
// half-written file beside it; the next run removes it, does not take it for
// anything of the user's, and completes the install.
TEST_F(InstallerFaultsE2E, KilledDuringAnExtractionThenRerunLeavesNoDebris) {
  tree_map tree = release();
  std::string big(96 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>("Kestrel ground tile "[i % 20]);
  tree["Scenery/plain.terrain"] = big;
  publish(tree, "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});

  auto p = start_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
                         "--pref:_stream_count=1"});
  // Wait for the half-written file to appear, then kill at once.
  bool seen = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!seen && p->running() && std::chrono::steady_clock::now() < until) {
    std::error_code ec;
    for (fs::directory_iterator it(dest + "Scenery", ec), end; !ec && it != end; it.increment(ec))
      seen = seen || it->path().filename().string().rfind(".plain.terrain.part-", 0) == 0;
    if (!seen) std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  if (!seen) {
    p->stop();
    GTEST_SKIP() << "the extraction ended before it could be caught";
  }
  kill(p->pid(), SIGKILL);
  p->wait_exit();
  bool leftover = false;
  for (const auto& e : fs::directory_iterator(dest + "Scenery"))
    leftover = leftover || e.path().filename().string().find(".part-") != std::string::npos;
  if (!leftover) GTEST_SKIP() << "the extraction ended before the kill";

  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
                             "--modified=cancel"}, 120);
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(tree));
  EXPECT_NE(log().find("left by an interrupted extraction"), std::string::npos) << log();
  EXPECT_TRUE(partial_downloads().empty());
}

// A file the new version no longer has cannot be deleted (its folder is on
// a read-only file system): the update ends as failed, saying why, and
// completes once the folder can be written again.
TEST_F(InstallerFaultsE2E, AFileThatCannotBeDeletedFailsTheUpdate) {
  tree_map v1 = release();
  v1["Instructions/Old notes.txt"] = "superseded\n";
  publish(v1, "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  ASSERT_EQ(run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}).status, 0) << log();

  tree_map v2 = release();
  publish(v2, "v2", "v1");
  server_list("v2", {web.host()});
  const std::string folder = dest + "Instructions";
  testservers::ChildProcess bind;
  ASSERT_TRUE(bind.start({"sh", "-c", "mount --bind \"$0\" \"$0\" && mount -o remount,ro,bind \"$0\"", folder}, true));
  std::string line;
  while (bind.read_line(line, 5000)) {
  }
  if (bind.wait_exit() != 0) GTEST_SKIP() << "cannot mount a file system here";
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}, 60);
  testservers::ChildProcess unbind;
  ASSERT_TRUE(unbind.start({"umount", "-l", folder}, true));
  while (unbind.read_line(line, 5000)) {
  }
  EXPECT_EQ(unbind.wait_exit(), 0);
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_FALSE(r.printed("INSTALLATION COMPLETE!")) << joined(r);
  EXPECT_TRUE(r.printed("cannot delete a file")) << joined(r);
  EXPECT_TRUE(r.printed("read-only")) << joined(r);
  EXPECT_TRUE(r.printed("Old notes.txt")) << joined(r);

  r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}, 60);
  EXPECT_EQ(r.status, 0) << joined(r);
  EXPECT_TREE_EQ(read_tree(dest), linux_part(v2));
}

// A mirror that trickles (a few hundred bytes a second, never silent long
// enough for the time-out) listed first, a good one second: the slow
// transfers are given up after a minute and the install completes from the
// good mirror.
TEST_F(InstallerFaultsE2E, ATricklingMirrorDoesNotHoldTheInstall) {
  tree_map tree = release();
  tree["Resources/ground/terrain.bin"] = noise(120000, 11);
  tree["Airfoils/Zephyr wing.dat"] = noise(80000, 12);
  publish(tree, "v1");
  testservers::NginxServer& good = serve("127.0.0.1");  // also serves the server list
  testservers::NginxServer& slow = serve("127.0.0.2", "", "limit_rate 300;");
  server_list("v1", {slow.host(), good.host()});

  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}, 240);
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(tree));
}

// ":" and "\" are ordinary characters of Linux folder names: a temporary
// folder or a settings folder named with them is used like any other, and
// an empty saved destination means the default one.
TEST_F(InstallerFaultsE2E, OddFolderNamesAndAnEmptySavedDestination) {
  publish(release(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  const std::string tmp = work / "tmp/a:b\\c";
  fs::create_directories(tmp);
  setenv("TMPDIR", tmp.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (work / "conf:ig\\x").c_str(), 1);
  run_result r = run_joined({dest, "--headless"});
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TRUE(r.printed("You are about to install")) << joined(r);
  EXPECT_FALSE(r.printed("bad dirchar")) << joined(r);

  r = run_joined({"--headless", "--pref:_dest_dir_path="});
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TRUE(r.printed("Installing to " + home + "/Skyvane/")) << joined(r);
  EXPECT_FALSE(r.printed("Working path does not appear to be a directory")) << joined(r);
}

// A file that cannot be written while its archive is extracted as it
// arrives: the failure names the archive as what it is, an archive on a
// server (with the server), not as a compressed file on this machine.
TEST_F(InstallerFaultsE2E, AFailedExtractionWhileDownloadingNamesTheServersArchive) {
  publish(release(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  ASSERT_EQ(run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}).status, 0) << log();
  tree_map v2 = release();
  v2["Instructions/Guide.txt"] = "read me first, revised\n";
  publish(v2, "v2", "v1");
  server_list("v2", {web.host()});
  const std::string folder = dest + "Instructions";
  testservers::ChildProcess bind;
  ASSERT_TRUE(bind.start({"sh", "-c", "mount --bind \"$0\" \"$0\" && mount -o remount,ro,bind \"$0\"", folder}, true));
  std::string line;
  while (bind.read_line(line, 5000)) {
  }
  if (bind.wait_exit() != 0) GTEST_SKIP() << "cannot mount a file system here";
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}, 60);
  testservers::ChildProcess unbind;
  ASSERT_TRUE(unbind.start({"umount", "-l", folder}, true));
  while (unbind.read_line(line, 5000)) {
  }
  EXPECT_EQ(unbind.wait_exit(), 0);
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("cannot extract a file")) << joined(r);
  EXPECT_FALSE(r.printed("Compressed File: /pub/")) << joined(r);
  EXPECT_TRUE(r.printed("Archive on the server: " + web.host() + "/pub/v2/Skyvane/Instructions/Guide.txt.zip"))
      << joined(r);
}

// A server that falls silent mid-file: the rate shown falls within a few
// seconds, rather than keeping the average of the bytes that came before.
TEST_F(InstallerFaultsE2E, TheRateShownFallsWhileAServerIsSilent) {
  tree_map t = release();
  t["Resources/big.dat"] = noise(3000000, 7);
  publish(t, "v1");
  // Every answer stops after its first 600 thousand bytes (one byte a second).
  testservers::NginxServer& web = serve("127.0.0.1", "", "limit_rate_after 600k; limit_rate 1;");
  server_list("v1", {web.host()});
  auto p = start_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<int> late_rates;
  std::string all, line;
  while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(14)) {
    if (!p->read_line(line, 200)) continue;
    all += line + "\n";
    const size_t at = line.find("downloading at ");
    if (at == std::string::npos) continue;
    if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(10))
      late_rates.push_back(std::atoi(line.c_str() + at + 15));
  }
  ::kill(p->pid(), SIGTERM);
  p->wait_exit();
  ASSERT_FALSE(late_rates.empty()) << all;
  for (int r : late_rates) EXPECT_LE(r, 20) << all;
}

}  // namespace
}  // namespace e2e

// Releases made by a careless publisher or served by a hostile mirror.
namespace e2e {
namespace {

using testing_support::noise;

// Version names that are not names a person gives a version: a hidden
// folder, dots or blanks at the end, names Windows reserves. None is used,
// and nothing is installed or renamed.
TEST_F(InstallerFaultsE2E, VersionNamesThatAreNotPlainFolderNamesAreRefused) {
  publish(release(), "v1");
  testservers::NginxServer& web = serve();
  for (const std::string name : {".ssh", "v1.", "v1 ", "...", "CON", "nul.txt", "Com1"}) {
    fs::remove_all(www + "pub/" + name);
    fs::copy(www + "pub/v1", www + "pub/" + name, fs::copy_options::recursive);
    server_list(name, {web.host()});
    run_result r = run_joined({dest, "--headless", "--install", "--accept_eula"}, 30);
    EXPECT_EQ(r.status, 2) << "'" << name << "': " << joined(r);
    EXPECT_TRUE(r.printed("which is not a folder name I can use")) << "'" << name << "': " << joined(r);
    EXPECT_FALSE(fs::exists(work / ("dest/" + name))) << name;
    EXPECT_FALSE(fs::exists(dest)) << name;
    fs::remove_all(dest);
  }
}

// The destination takes the version's name only when nothing has that name
// already: an existing (even empty) folder is never replaced.
TEST_F(InstallerFaultsE2E, RenamingNeverTakesANameThatExists) {
  publish(release(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  fs::create_directories(work / "dest/v1");
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula"});
  ASSERT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(release()));
  EXPECT_TRUE(fs::is_empty(work / "dest/v1"));
  EXPECT_FALSE(r.printed("The installed Skyvane is now at")) << joined(r);
}

// A file that becomes a folder, and the folder that becomes a file again:
// each update completes in one run.
TEST_F(InstallerFaultsE2E, AFileBecomesAFolderAndAFileAgainInOneRunEach) {
  testservers::NginxServer& web = serve();
  for (const std::string streams : {"0", "1"}) {
    SCOPED_TRACE("streams " + streams);
    const std::string v = "s" + streams + "-";
    tree_map v1 = release();
    v1["Resources/x"] = "a file";
    tree_map v2 = release();
    v2["Resources/x/y.txt"] = "inside a folder";
    v2["Resources/x/z/deeper.txt"] = "deeper";
    tree_map v3 = release();
    v3["Resources/x"] = "a file again";
    publish(v1, v + "1");
    publish(v2, v + "2", v + "1");
    publish(v3, v + "3", v + "2");
    const std::vector<std::string> args = {dest, "--headless", "--install", "--accept_eula",
                                           "--pref:_rename_folder=0", "--pref:_stream_count=" + streams};
    fs::remove_all(dest);
    server_list(v + "1", {web.host()});
    ASSERT_EQ(run_joined(args).status, 0) << log();
    server_list(v + "2", {web.host()});
    run_result r = run_joined(args);
    EXPECT_EQ(r.status, 0) << joined(r) << log();
    EXPECT_TREE_EQ(read_tree(dest), linux_part(v2));
    server_list(v + "3", {web.host()});
    r = run_joined(args);
    EXPECT_EQ(r.status, 0) << joined(r) << log();
    EXPECT_TREE_EQ(read_tree(dest), linux_part(v3));
  }
}

// A folder the new release replaces with a file, holding a file the user
// made: kept when the user keeps it, replaced when the user says so.
TEST_F(InstallerFaultsE2E, AFolderHoldingTheUsersFileBecomesAFileOnlyWhenTheUserSaysSo) {
  tree_map v2 = release();
  v2["Resources/x/y.txt"] = "inside a folder";
  tree_map v3 = release();
  v3["Resources/x"] = "a file again";
  publish(v2, "v2");
  publish(v3, "v3", "v2");
  testservers::NginxServer& web = serve();
  server_list("v2", {web.host()});
  ASSERT_EQ(run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}).status, 0);
  write_file(dest + "Resources/x/mine.txt", "my own notes");
  server_list("v3", {web.host()});
  run_result r = run_joined(
      {dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0", "--modified=keep"});
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_EQ(read_file(dest + "Resources/x/mine.txt"), "my own notes");
  r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0", "--modified=replace"});
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(v3));
}

// A server list or a directory file far larger than any release needs is
// refused as that server's failure, and what arrived is removed.
TEST_F(InstallerFaultsE2E, OversizedServerListsAndDirectoryFilesAreRefused) {
  publish(release(), "v1");
  testservers::NginxServer& web = serve();
  // A server list of 2 MB: valid, but padded past any real list.
  write_file(www + "serverlist.txt", "I\n820 Version\nSERVERS\nBETA v1\nSERVER " + web.host() +
                                         "\n/pub/\nMain\nENDOFLIST\n" + std::string(2 << 20, '#'));
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--retry_backoff=0.01"}, 60);
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_TRUE(r.printed("larger than")) << joined(r);
  EXPECT_FALSE(fs::exists(private_tmp() + "serverlist.txt"));
  EXPECT_FALSE(fs::exists(dest));

  // A directory archive of 70 MB.
  server_list("v1", {web.host()});
  write_file(work / "big.py",
             "import sys, zipfile, os\n"
             "z = zipfile.ZipFile(sys.argv[1])\n"
             "t = z.read('directory.txt')\n"
             "z.close()\n"
             "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED) as z:\n"
             "    z.writestr('directory.txt', t)\n"
             "    z.writestr('padding.bin', os.urandom(70 << 20))\n");
  ASSERT_EQ(std::system(("python3 '" + work / "big.py" + "' '" + directory_of("v1") + "'").c_str()), 0);
  r = run_joined({dest, "--headless", "--install", "--accept_eula", "--retry_backoff=0.01"}, 120);
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_NE(log().find("refused: the server announced"), std::string::npos) << log();
  EXPECT_TRUE(partial_downloads().empty()) << partial_downloads().front();
  EXPECT_FALSE(fs::exists(dest));
}

// A small directory archive that expands far past any directory file: the
// extraction stops at a limit; the temporary folder does not fill up.
TEST_F(InstallerFaultsE2E, ADirectoryFileThatExpandsWithoutEndIsRefused) {
  publish(release(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  write_file(work / "bomb.py",
             "import sys, zipfile, zlib\n"
             "with zipfile.ZipFile(sys.argv[1]) as z:\n"
             "    t = z.read('directory.txt')\n"
             "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
             "    with z.open('directory.txt', 'w', force_zip64=True) as m:\n"
             "        m.write(t)\n"
             "        line = b'# a comment line that a directory file may hold, again and again\\n' * 16384\n"
             "        for i in range(200):\n"
             "            m.write(line)\n");
  ASSERT_EQ(std::system(("python3 '" + work / "bomb.py" + "' '" + directory_of("v1") + "'").c_str()), 0);
  ASSERT_LT(fs::file_size(directory_of("v1")), 4u << 20);
  const std::string small = work / "small/";
  Mounted tmp(small, "size=96m,mode=0777");
  if (!tmp.ok()) GTEST_SKIP() << "cannot mount a file system here";
  setenv("TMPDIR", small.c_str(), 1);
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--retry_backoff=0.01"}, 120);
  setenv("TMPDIR", (work / "tmp").c_str(), 1);
  EXPECT_EQ(r.status, 2) << joined(r);
  EXPECT_FALSE(r.printed("No space left on device")) << joined(r);
  EXPECT_NE(log().find("expands past"), std::string::npos) << log();
  EXPECT_FALSE(fs::exists(small + "skyvane-" + std::to_string(getuid()) + "/directory.txt"));
  EXPECT_FALSE(fs::exists(dest));
}

// Killed during a file of a folder that the next release drops: the hidden
// half-written file and the folder go with the update.
TEST_F(InstallerFaultsE2E, HalfWrittenFilesInAFolderTheReleaseDropsAreRemoved) {
  tree_map v1 = release();
  v1["Old stuff/big.bin"] = noise(30000, 4);
  publish(v1, "v1");
  publish(release(), "v2", "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  ASSERT_EQ(run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}).status, 0);
  // What a run killed during the extraction of big.bin leaves beside it.
  write_file(dest + "Old stuff/.big.bin.part-3141592653", noise(20000, 5));
  server_list("v2", {web.host()});
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_FALSE(fs::exists(dest + "Old stuff")) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(release()));
}

// Two runs of the same user with different temporary folders (a scheduled
// job and a person): the second stops at once, and the first one's files
// are untouched.
TEST_F(InstallerFaultsE2E, TheOneInstallerLockHoldsWhateverTheTemporaryFolder) {
  tree_map big = release();
  for (int i = 0; i < 12; ++i) big["Scenery/tile " + std::to_string(i) + ".bin"] = noise(200000, i);
  publish(big, "v1");
  testservers::NginxServer& slow = serve("127.0.0.1", "", "limit_rate 60k;");
  server_list("v1", {slow.host()});
  auto first = start({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
  std::string line;
  bool installing = false;
  while (first->read_line(line, 20000))
    if (line.find("OK I am installing this now...") != std::string::npos) {
      installing = true;
      break;
    }
  ASSERT_TRUE(installing);
  fs::create_directories(work / "tmp2");
  setenv("TMPDIR", (work / "tmp2").c_str(), 1);
  run_result second = run_joined({dest, "--headless", "--install", "--accept_eula"}, 20);
  setenv("TMPDIR", (work / "tmp").c_str(), 1);
  EXPECT_EQ(second.status, 2) << joined(second);
  EXPECT_TRUE(second.printed("Another Skyvane installer is already running for this user")) << joined(second);
  EXPECT_TRUE(first->running());
  kill(first->pid(), SIGKILL);
  first->wait_exit();
}

// A release file whose name looks like an extraction's leftover is the
// release's: no run deletes it.
TEST_F(InstallerFaultsE2E, AReleaseFileNamedLikeALeftoverStays) {
  publish(release(), "v1");
  add_to_release("v1", {{"Resources/.cache.part-12", "cached data"}});
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  for (int i = 0; i < 3; ++i) {
    run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
    EXPECT_EQ(r.status, 0) << joined(r) << log();
    EXPECT_EQ(read_file(dest + "Resources/.cache.part-12"), "cached data") << "run " << i;
  }
  EXPECT_EQ(requests_for(web, ".cache.part-12"), 1);
}

// A symbolic link below the destination that leads elsewhere: nothing is
// written or deleted through it, and the run says which link it stopped at.
TEST_F(InstallerFaultsE2E, NothingIsWrittenOrDeletedThroughASymbolicLink) {
  tree_map v1 = release();
  v1["Extras/old.txt"] = "old";
  tree_map v2 = release();
  v2["Extras/new.txt"] = "new";
  publish(v1, "v1");
  publish(v2, "v2", "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  ASSERT_EQ(run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}).status, 0);
  const std::string outside = work / "outside/";
  fs::create_directories(outside);
  fs::rename(dest + "Extras/old.txt", outside + "old.txt");
  fs::remove(dest + "Extras");
  fs::create_directory_symlink(outside, dest + "Extras");
  server_list("v2", {web.host()});
  run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
  EXPECT_EQ(r.status, 2) << joined(r) << log();
  EXPECT_TRUE(r.printed("symbolic link " + dest + "Extras")) << joined(r);
  EXPECT_EQ(read_file(outside + "old.txt"), "old");
  EXPECT_FALSE(fs::exists(outside + "new.txt"));
  EXPECT_FALSE(r.printed("INSTALLATION COMPLETE!")) << joined(r);
}

// A directory file with a FILE line without a name, or an empty one, is that
// server's fault: the run ends with status 2, never as a fatal error.
TEST_F(InstallerFaultsE2E, ADirectoryFileWithoutNamesOrEmptyIsRefused) {
  publish(release(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  for (const std::string& text : {std::string("I\n900\nINSTALLER\nDIR Skyvane/\nFILE 0 0 1 1 1 "
                                             "d41d8cd98f00b204e9800998ecf8427e\n"),
                                 std::string("I\n900\nINSTALLER\nDIR Skyvane/Resources/\nFILE 0 0 1 1 1 "
                                             "d41d8cd98f00b204e9800998ecf8427e \n"),
                                 std::string()}) {
    write_zip(directory_of("v1"), {{"directory.txt", text}});
    run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--retry_backoff=0.01"}, 60);
    EXPECT_EQ(r.status, 2) << joined(r) << log();
    EXPECT_FALSE(r.printed("INSTALLATION COMPLETE!"));
    EXPECT_FALSE(fs::exists(dest));
  }
}

}  // namespace
}  // namespace e2e
