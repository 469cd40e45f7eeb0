#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/installer/e2e_fixture.h"

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::write_file;

namespace e2e {
namespace {

// Release A: files for every system, names with blanks, an empty file,
// nested folders.
tree_map release_a() {
  return {
      {"Craft/Kestrel 2/Kestrel 2.craft", std::string(150000, 'c')},
      {"Craft/Kestrel 2/paint schemes/Blue Sky/paint.png", std::string(40000, 'b')},
      {"Wing Sections/Section 0012.wing", "section"},
      {"Instructions/Manual.txt", "read me first\n"},
      {"Resources/shared data/beacon list.txt", std::string(300000, 'n')},
      {"Resources/empty marker.txt", ""},
      {"Resources/add-ons/driver.linux", "linux driver"},
      {"Resources/add-ons/driver.win", "windows driver"},
      {"Resources/add-ons/driver.mac", "mac driver"},
      {"Old Stuff/legacy/remove me.txt", "old"},
      {"Skyvane.linux", std::string(200000, 'x')},
  };
}

// Release B: one file changed, one added, a whole folder removed.
tree_map release_b() {
  tree_map b = release_a();
  b["Wing Sections/Section 0012.wing"] = "section, revised";
  b["Wing Sections/Section 2412.wing"] = "new section";
  b.erase("Old Stuff/legacy/remove me.txt");
  return b;
}

using testing_support::noise;

class InstallerE2E : public InstallerTest {};

TEST_F(InstallerE2E, FreshInstallThenUpdateThenNothingToDo) {
  publish(release_a(), "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});  // rewritten below once the port is known
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});

  // Checking only: the sizes, and nothing written.
  run_result check = run({dest, "--headless"});
  EXPECT_EQ(check.status, 0);
  EXPECT_TRUE(check.printed("You are about to install")) << log();
  EXPECT_FALSE(fs::exists(dest));

  run_result r = run({dest, "--headless", "--install", "--accept_eula"});
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TRUE(r.printed("INSTALLATION COMPLETE!"));
  // The destination took the version's name: it holds system-specific files.
  const std::string installed = work / "dest/Skyvane 9.01/";
  EXPECT_FALSE(fs::exists(dest));
  EXPECT_TREE_EQ(read_tree(installed), linux_part(release_a()));
  for (const char* f : {"Output/FMS plans", "Output/logbooks", "Output/movies", "Output/situations",
                        "Resources/preferences"})
    EXPECT_TRUE(fs::is_directory(installed + f)) << f;
  // The Windows and Macintosh files were neither fetched nor counted.
  EXPECT_EQ(archive_requests(web), static_cast<int>(linux_part(release_a()).size()));

  // The update fetches the changed and the new file only, deletes the
  // removed one and the folders it leaves empty.
  publish(release_b(), "Skyvane 9.02", "Skyvane 9.01");
  server_list("Skyvane 9.02", {web.host()});
  const int before = archive_requests(web);
  r = run({installed, "--headless", "--install", "--accept_eula"});
  ASSERT_EQ(r.status, 0) << log();
  // Only files for every system were fetched, so the folder keeps its name.
  const std::string updated = installed;
  EXPECT_TREE_EQ(read_tree(updated), linux_part(release_b()));
  EXPECT_EQ(archive_requests(web) - before, 2);
  EXPECT_FALSE(fs::exists(updated + "Old Stuff"));

  // Nothing left to do: no archive is fetched, and the run says so.
  r = run({updated, "--headless", "--install", "--accept_eula"});
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TRUE(r.printed("Your copy of Skyvane is already the latest version."));
  EXPECT_EQ(archive_requests(web) - before, 2);
}

TEST_F(InstallerE2E, ModifiedFilesAreKeptReplacedOrCancelAsTold) {
  publish(release_a(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  ASSERT_EQ(run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}).status, 0) << log();

  // The user edits a file that the next release changes, and one that it removes.
  write_file(dest + "Wing Sections/Section 0012.wing", "my own section");
  write_file(dest + "Old Stuff/legacy/remove me.txt", "my notes");
  publish(release_b(), "v2", "v1");
  server_list("v2", {web.host()});

  run_result r = run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
                      "--modified=cancel"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(read_file(dest + "Wing Sections/Section 0012.wing"), "my own section");
  EXPECT_FALSE(fs::exists(dest + "Wing Sections/Section 2412.wing"));

  r = run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});  // keep is the default
  EXPECT_EQ(r.status, 0) << log();
  EXPECT_EQ(read_file(dest + "Wing Sections/Section 0012.wing"), "my own section");
  EXPECT_EQ(read_file(dest + "Old Stuff/legacy/remove me.txt"), "my notes");
  EXPECT_EQ(read_file(dest + "Wing Sections/Section 2412.wing"), "new section");
  EXPECT_NE(log().find("File: " + dest + "Wing Sections/Section 0012.wing  sig_want="), std::string::npos);

  r = run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0", "--modified=replace"});
  EXPECT_EQ(r.status, 0) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(release_b()));
}

TEST_F(InstallerE2E, FailsOverToAnotherServerAndSurvivesBadOnes) {
  publish(release_a(), "v1");
  // A mirror that has the directory file but lacks most archives (404), a
  // server that refuses connections, and a complete one.
  const std::string partial = work / "partial/";
  fs::create_directories(partial + "pub/v1");
  fs::copy_file(www + "pub/v1/directory.txt.zip", partial + "pub/v1/directory.txt.zip");
  testservers::NginxServer& good = serve("127.0.0.1");
  testservers::NginxServer& holes = serve("127.0.0.2", partial);
  const int refused = testservers::free_port("127.0.0.3");
  server_list("v1", {holes.host(), good.host(), "127.0.0.3:" + std::to_string(refused)});

  run_result r = run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(release_a()));
  if (archive_requests(holes) > 0) {
    EXPECT_NE(log().find("HTTP Error for "), std::string::npos);
    EXPECT_TRUE(r.printed("I can NOT download the file '") || r.printed("INSTALLATION COMPLETE!"));
  }
}

TEST_F(InstallerE2E, CorruptArchiveEndsTheInstallWithoutAHalfWrittenFile) {
  publish(release_a(), "v1");
  // Truncate one archive: it downloads completely but cannot be opened.
  const std::string archive = www + "pub/v1/Skyvane/Resources/shared data/beacon list.txt.zip";
  const std::string whole = read_file(archive);
  write_file(archive, whole.substr(0, whole.size() / 2));
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});

  // It is fetched again a few times (the only server, so each time from it).
  run_result r =
      run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0", "--retry_backoff=0.05"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.printed("The installation was not completed because an error occurred."));
  EXPECT_FALSE(fs::exists(dest + "Resources/shared data/beacon list.txt"));
  for (const auto& e : fs::recursive_directory_iterator(dest))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();

  // Once the server is mended, the next run completes the install.
  write_file(archive, whole);
  r = run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
  EXPECT_EQ(r.status, 0) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(release_a()));
}

TEST_F(InstallerE2E, KilledMidInstallThenRerunCompletesWithoutQuestions) {
  // Incompressible files served slowly, so that the install is surely under
  // way when it is killed; the rerun fetches from an unhurried server.
  tree_map big = release_a();
  for (int i = 0; i < 24; ++i) big["Scenery/tile " + std::to_string(i) + ".terrain"] = noise(200000, i);
  publish(big, "v1");
  testservers::NginxServer& slow = serve("127.0.0.1", "", "limit_rate 40k;");
  server_list("v1", {slow.host()});

  auto p = start({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
  std::string line;
  bool installing = false;
  while (p->read_line(line, 20000))
    if (line.find("OK I am installing this now...") != std::string::npos) {
      installing = true;
      break;
    }
  ASSERT_TRUE(installing);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  if (!p->running()) {
    std::string rest;
    while (p->read_line(line, 100)) rest += line + "\n";
    FAIL() << "the install ended before it was killed (status " << p->wait_exit() << "):\n" << rest;
  }
  kill(p->pid(), SIGKILL);
  p->wait_exit();
  ASSERT_LT(read_tree(dest).size(), linux_part(big).size());

  // Any question about a modified file would cancel: none may come up.
  testservers::NginxServer& fast = serve("127.0.0.2");
  server_list("v1", {fast.host()});
  run_result r = run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
                      "--modified=cancel"});
  EXPECT_EQ(r.status, 0) << log();
  EXPECT_EQ(log().find("File: "), std::string::npos);
  EXPECT_TREE_EQ(read_tree(dest), linux_part(big));
}

TEST_F(InstallerE2E, PreferencesAreSavedAndReadBackWithOverrides) {
  publish(release_a(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  run_result r = run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
                      "--pref:_stream_count=1", "--pref:_log_actions=1"});
  ASSERT_EQ(r.status, 0) << log();
  const std::string prefs = read_file(home + "/.config/skyvane/Skyvane Installer.prf");
  EXPECT_NE(prefs.find("_stream_count 1\n"), std::string::npos) << prefs;
  EXPECT_NE(prefs.find("_rename_folder 0\n"), std::string::npos);
  EXPECT_NE(prefs.find("_dest_dir_path " + dest + "\n"), std::string::npos);
  EXPECT_NE(log().find("EXPANDING file " + dest), std::string::npos);

  // The next start takes the saved destination and settings: no argument.
  r = run({"--headless"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.printed("Installing to " + dest));
  EXPECT_TRUE(r.printed("Your copy of Skyvane is already the latest version.")) << log();
}

TEST_F(InstallerE2E, UnattendedModeNeverWaitsForever) {
  // Nothing listens where the server list should be.
  const int port = testservers::free_port("127.0.0.1");
  run_result r =
      run({dest, "--headless", "--retry_backoff=0.05", "--server_list_host=127.0.0.1:" + std::to_string(port)}, 60);
  EXPECT_EQ(r.status, 2);

  // Installing needs the agreement.
  r = run({dest, "--headless", "--install", "--server_list_host=127.0.0.1:1"}, 10);
  EXPECT_EQ(r.status, 2);

  // A list without servers.
  const std::string empty_www = work / "empty/";
  write_file(empty_www + "serverlist.txt", "I\n820\nSERVERS\nBETA v1\nENDOFLIST\n");
  testservers::NginxServer& web = serve("127.0.0.1", empty_www);
  r = run({dest, "--headless", "--server_list_host=" + web.host()}, 30);
  EXPECT_EQ(r.status, 2);
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// An archive read as it arrived whose central directory then lists its file
// twice is fetched once more, whole, and extracted from the file as before.
TEST_F(InstallerE2E, AnArchiveWhoseDirectoryDisagreesIsFetchedAgainWhole) {
  publish(release_a(), "v1");
  const std::string archive = www + "pub/v1/Skyvane/Skyvane.linux.zip";
  fs::remove(archive);
  write_file(work / "twice.py",
             "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n"
             "for i in range(2):\n    z.writestr('Skyvane.linux', 'x' * 200000)\nz.close()\n");
  ASSERT_EQ(std::system(("python3 '" + work / "twice.py" + "' '" + archive + "' 2>/dev/null").c_str()), 0);
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  const run_result r = run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
  EXPECT_EQ(r.status, 0) << log();
  EXPECT_TRUE(read_file(dest + "Skyvane.linux") == std::string(200000, 'x'));
  EXPECT_EQ(requests_for(web, "Skyvane.linux"), 2);
  EXPECT_NE(log().find("is fetched again to be extracted from a file"), std::string::npos) << log();
  EXPECT_EQ(read_file(dest + "Craft/Kestrel 2/Kestrel 2.craft"), std::string(150000, 'c'));
}

// A server's archive for one file also carries a sibling that the user
// edited and chose to keep, and a second file's archive has contents other
// than the release lists: the sibling is never touched, the wrong file never
// takes its name, and the run does not call itself complete.
TEST_F(InstallerE2E, AnArchiveCannotWriteBesideItsFileNorLeaveWrongContents) {
  publish(release_a(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  ASSERT_EQ(run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"}).status, 0) << log();

  write_file(dest + "Wing Sections/Section 0012.wing", "my own section");
  publish(release_b(), "v2", "v1");
  server_list("v2", {web.host()});
  // Rebuild the new file's archive with a sibling member beside it.
  const std::string stage = work / "stage/";
  write_file(stage + "Section 2412.wing", "new section");
  write_file(stage + "Section 0012.wing", "the server's copy");
  const std::string archive = www + "pub/v2/Skyvane/Wing Sections/Section 2412.wing.zip";
  fs::remove(archive);
  ASSERT_EQ(std::system(("cd '" + stage + "' && zip -q -X '" + archive + "' 'Section 2412.wing' 'Section 0012.wing'")
                            .c_str()),
            0);

  run_result r = run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
  EXPECT_EQ(r.status, 0) << log();
  EXPECT_EQ(read_file(dest + "Wing Sections/Section 0012.wing"), "my own section");
  EXPECT_EQ(read_file(dest + "Wing Sections/Section 2412.wing"), "new section");
  EXPECT_NE(log().find("skipped member Section 0012.wing"), std::string::npos) << log();

  // Now the new file's only archive holds the wrong contents.
  fs::remove(dest + "Wing Sections/Section 2412.wing");
  write_file(stage + "Section 2412.wing", "not the release's section");
  fs::remove(archive);
  ASSERT_EQ(std::system(("cd '" + stage + "' && zip -q -X '" + archive + "' 'Section 2412.wing'").c_str()), 0);
  r = run({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"});
  EXPECT_EQ(r.status, 2) << log();
  EXPECT_FALSE(r.printed("INSTALLATION COMPLETE!"));
  EXPECT_FALSE(fs::exists(dest + "Wing Sections/Section 2412.wing"));
  for (const auto& e : fs::recursive_directory_iterator(dest))
    EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// "--progress=json": every line of standard output is one JSON object (read
// by Python's json module, not by the program's own code); the counts never
// go back and reach their totals in the last line, which says "complete";
// while installing a line comes at least every second or so. The other
// texts go to standard error.
TEST_F(InstallerE2E, JsonProgressLinesParseAndTheCountsGrowToTheTotals) {
  tree_map tree;
  // Files larger than a second of the server's rate (nginx sends the first
  // second's worth at once), so that the install spans several seconds.
  for (int i = 0; i < 4; ++i) tree["Data/part " + std::to_string(i) + ".bin"] = noise(400000, 17 + i);
  tree["Data/readme.txt"] = "read me\n";
  publish(tree, "Skyvane 9.01");
  server_list("Skyvane 9.01", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve("127.0.0.1", "", "limit_rate 100k;");
  server_list("Skyvane 9.01", {web.host()});

  run_result r = run({dest, "--headless", "--install", "--accept_eula", "--progress=json"});
  ASSERT_EQ(r.status, 0) << log();
  ASSERT_FALSE(r.out.empty());
  std::string lines;
  for (const std::string& l : r.out) lines += l + "\n";
  write_file(work / "progress.jsonl", lines);
  write_file(work / "check.py", R"(import json, sys
keys = ["state", "status", "files_done", "files_total", "bytes_received", "bytes_total", "rate",
        "seconds_left", "file"]
objs = []
for n, line in enumerate(open(sys.argv[1], encoding="utf-8"), 1):
    o = json.loads(line)
    assert isinstance(o, dict), "line %d is not an object" % n
    assert sorted(o) == sorted(keys), "line %d has keys %s" % (n, sorted(o))
    objs.append(o)
inst = [o for o in objs if o["state"] == "installing"]
assert len(inst) >= 2, "%d installing lines" % len(inst)
assert objs[0]["state"] in ("checking", "ready"), objs[0]
last = objs[-1]
assert last["state"] == "complete", last
assert last["files_total"] == 5 and last["files_done"] == 5, last
assert last["bytes_total"] > 4 * 400000 and last["bytes_received"] == last["bytes_total"], last
prev = inst[0]
assert prev["files_done"] < prev["files_total"] and prev["bytes_received"] < prev["bytes_total"], prev
for o in inst + [last]:
    assert o["files_total"] == last["files_total"] and o["bytes_total"] == last["bytes_total"], o
    assert o["files_done"] >= prev["files_done"] and o["bytes_received"] >= prev["bytes_received"], (prev, o)
    prev = o
assert any(0 < o["files_done"] < o["files_total"] for o in inst), "no line in the middle"
assert any(o["rate"] > 0 for o in inst), "no rate"
assert any(isinstance(o["seconds_left"], int) for o in inst), "no time left"
assert any(o["file"].endswith(".bin.zip") for o in inst), "no file"
print("OK", len(objs))
)");
  testservers::ChildProcess py;
  ASSERT_TRUE(py.start({"/bin/sh", "-c", "exec python3 \"$0\" \"$1\" 2>&1", work / "check.py",
                        work / "progress.jsonl"},
                       true));
  std::string out, line;
  while (py.read_line(line, 10000)) out += line + "\n";
  EXPECT_EQ(py.wait_exit(), 0) << out << "\n" << lines;
  EXPECT_EQ(out.rfind("OK", 0), 0u) << out << "\n" << lines;
  EXPECT_TREE_EQ(read_tree(dest), tree);
}

// An option nothing looks up is still ignored, but each one is named on
// standard error and in the log; the options the program knows are not.
TEST_F(InstallerE2E, OptionsNothingKnowsAreNamedAndIgnored) {
  publish(release_a(), "v1");
  server_list("v1", {"127.0.0.1:0"});
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  run_result r = run_joined({dest, "--headless", "--acept_eula", "--pref:_stream_cont=1", "--pref:_stream_count=1",
                             "--modified=keep", "--retry_backoff=1"});
  EXPECT_EQ(r.status, 0) << joined(r);
  EXPECT_TRUE(r.printed("option --acept_eula is not one this installer knows; ignored")) << joined(r);
  EXPECT_TRUE(r.printed("option --pref:_stream_cont is not one this installer knows; ignored")) << joined(r);
  int warnings = 0;
  for (const std::string& l : r.out) warnings += l.find("not one this installer knows") != std::string::npos;
  EXPECT_EQ(warnings, 2) << joined(r);
  EXPECT_NE(log().find("option --acept_eula is not one this installer knows; ignored"), std::string::npos);
  EXPECT_TRUE(r.printed("You are about to install")) << joined(r);
  EXPECT_FALSE(fs::exists(dest));
}

}  // namespace
}  // namespace e2e
