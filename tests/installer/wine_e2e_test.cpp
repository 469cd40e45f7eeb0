// The Windows programs of the cross build under Wine, against nginx on
// loopback.
//
// The servers are started here, by this Linux test, exactly as for the Linux
// programs: Wine runs the Windows programs as processes of this machine, so
// they reach 127.0.0.1 like any other program, while a Windows test program
// could not start nginx. The programs are given Windows paths: a drive
// folder of the build's private Wine prefix ("C:\..."), or the test's own
// folder through the drive Wine maps the Linux file system to ("Z:\...").
// Each run goes through the build's Wine wrapper (SKYVANE_WINE_RUN).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "tests/installer/e2e_fixture.h"

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::write_file;

namespace e2e {
namespace {

using testing_support::noise;

// A release with files for every system, names with blanks, nested folders.
tree_map release_a() {
  return {
      {"Craft/Kestrel 2/Kestrel 2.craft", noise(700000, 1)},
      {"Wing Sections/Section 0012.wing", "section"},
      {"Instructions/Manual.txt", "read me first\r\n"},
      {"Resources/empty marker.txt", ""},
      {"Resources/add-ons/driver.linux", "linux driver"},
      {"Resources/add-ons/driver.win", "windows driver"},
      {"Resources/add-ons/driver.mac", "mac driver"},
      {"Old Stuff/legacy/remove me.txt", "old"},
      {"Skyvane.win", noise(300000, 2)},
      {"Skyvane.linux", noise(200000, 3)},
  };
}

// One file changed, one added, a whole folder removed.
tree_map release_b() {
  tree_map b = release_a();
  b["Wing Sections/Section 0012.wing"] = "section, revised";
  b["Wing Sections/Section 2412.wing"] = "new section";
  b.erase("Old Stuff/legacy/remove me.txt");
  return b;
}

// What a tree installs on Windows: the files not meant for other systems.
tree_map windows_part(const tree_map& tree) {
  tree_map t;
  auto ends = [](const std::string& s, const std::string& x) {
    return s.size() >= x.size() && s.compare(s.size() - x.size(), x.size(), x) == 0;
  };
  for (const auto& [rel, bytes] : tree)
    if (!ends(rel, ".linux") && !ends(rel, ".mac")) t[rel] = bytes;
  return t;
}

class WindowsInstallerE2E : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    // The program and its log ("Log.txt" beside it) in the test's folder.
    exe = work / "skyvane-installer.exe";
    fs::copy_file(SKYVANE_WIN_INSTALLER_EXE, exe, fs::copy_options::overwrite_existing);
    program = SKYVANE_WINE_RUN;
    // The Windows user's own folders in the prefix: the preferences and
    // the temporary folder of an earlier run are not this test's.
    for (const fs::path& user : users()) {
      std::error_code ec;
      fs::remove_all(user / "AppData/Roaming/Skyvane", ec);
      fs::remove_all(user / "Temp/skyvane", ec);
    }
    // A fresh folder on drive C: of the prefix.
    std::random_device rd;
    drive_folder = "Skyvane test " + std::to_string(rd() % 1000000);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(fs::path(SKYVANE_WINEPREFIX) / "drive_c" / drive_folder, ec);
    InstallerTest::TearDown();
  }

  static std::vector<fs::path> users() {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(SKYVANE_WINEPREFIX) / "drive_c/users", ec))
      if (e.is_directory() && e.path().filename() != "Public") out.push_back(e.path());
    return out;
  }

  // Publishes `tree` as `version` with the Windows publisher under Wine.
  void publish_windows(const tree_map& tree, const std::string& version, const std::string& previous = "",
                       const std::string& key = "") {
    const std::string root = work / ("trees/" + version + "/");
    fs::remove_all(root);
    for (const auto& [rel, bytes] : tree) write_file(root + "Skyvane/" + rel, bytes);
    write_file(work / "rules.txt", "os=3 *.linux\nos=2 *.win\nos=1 *.mac\n");
    std::vector<std::string> argv = {SKYVANE_WINE_RUN, SKYVANE_WIN_PUBLISH_EXE, "release",
                                     "--tree", windows_path(root + "Skyvane"), "--version", version,
                                     "--out", windows_path(www), "--prefix", "/pub/",
                                     "--rules", windows_path(work / "rules.txt")};
    if (!previous.empty()) {
      argv.push_back("--previous");
      argv.push_back(windows_path(directory_of(previous)));
    }
    if (!key.empty()) {
      argv.push_back("--sign");
      argv.push_back(windows_path(key));
    }
    testservers::ChildProcess p;
    ASSERT_TRUE(p.start(argv, true));
    std::string line, out;
    while (p.read_line(line, 120000)) out += line + "\n";
    ASSERT_EQ(p.wait_exit(), 0) << "publishing " << version << " under Wine failed:\n" << out;
    EXPECT_NE(out.find("Published \"" + version + "\""), std::string::npos) << out;
  }

  // An nginx serving www/ over TLS with the test certificate `name`
  // (made by make_test_certs in certs/).
  testservers::NginxServer& serve_tls(const std::string& name) {
    const testservers::NginxTls tls{work / ("certs/" + name + ".pem"), work / ("certs/" + name + ".key")};
    servers.push_back(std::make_unique<testservers::NginxServer>(www, "127.0.0.1", "", &tls));
    EXPECT_TRUE(servers.back()->ok()) << servers.back()->failure();
    return *servers.back();
  }

  // run() with the program's standard error joined to its output.
  run_result run_joined(std::vector<std::string> args, int timeout_s) {
    args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" 2>&1", SKYVANE_WINE_RUN});
    program = "/bin/sh";
    run_result r = run(std::move(args), timeout_s);
    program = SKYVANE_WINE_RUN;
    return r;
  }

  // Runs the Windows publisher under Wine; its exit status and output.
  int publisher(std::vector<std::string> args, std::string& out) {
    args.insert(args.begin(), {SKYVANE_WINE_RUN, SKYVANE_WIN_PUBLISH_EXE});
    testservers::ChildProcess p;
    EXPECT_TRUE(p.start(args, true));
    std::string line;
    out.clear();
    while (p.read_line(line, 120000)) out += line + "\n";
    return p.wait_exit();
  }

  std::string exe;
  std::string drive_folder;
};

// A release made by the Windows publisher, installed by the Windows
// installer into a folder with a blank on drive C:, byte for byte, with
// the Windows files chosen by default; then updated in place.
TEST_F(WindowsInstallerE2E, InstallsAndUpdatesOnDriveCWithTheWindowsFiles) {
  publish_windows(release_a(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});

  const std::string target = "C:\\" + drive_folder + "\\Skyvane";
  run_result r = run({windows_path(exe), "--headless", "--install", "--accept_eula", target});
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TRUE(r.printed("INSTALLATION COMPLETE!")) << log();
  // The destination takes the version's name, as on every system.
  const fs::path drive_c = fs::path(SKYVANE_WINEPREFIX) / "drive_c";
  const std::string installed = (drive_c / drive_folder / "v1").string() + "/";
  EXPECT_FALSE(fs::exists(drive_c / drive_folder / "Skyvane"));
  EXPECT_TREE_EQ(read_tree(installed), windows_part(release_a()));
  // Only the Windows files and the files for every system were fetched.
  EXPECT_EQ(archive_requests(web), static_cast<int>(windows_part(release_a()).size()));
  EXPECT_NE(log().find("dest_dir_path=C:\\"), std::string::npos) << log();
  // The preferences went to %APPDATA%\Skyvane.
  bool prefs = false;
  for (const fs::path& user : users()) prefs |= fs::exists(user / "AppData/Roaming/Skyvane/Skyvane Installer.prf");
  EXPECT_TRUE(prefs);

  // The update fetches the changed and the new file only and deletes the
  // removed one with the folders it leaves empty.
  publish_windows(release_b(), "v2", "v1");
  server_list("v2", {web.host()});
  const int before = archive_requests(web);
  r = run({windows_path(exe), "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
           "C:\\" + drive_folder + "\\v1\\"});
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TREE_EQ(read_tree(installed), windows_part(release_b()));
  EXPECT_EQ(archive_requests(web) - before, 2);
  EXPECT_FALSE(fs::exists(installed + "Old Stuff"));
}

// Signed releases on Windows: the Windows publisher makes the key, signs the
// release and the list; the Windows installer given the key installs it
// (SHA-256 from the system's bcrypt, signatures from libsodium built for
// Windows), and refuses the list once a byte of the directory file changed
// on the server, writing nothing.
TEST_F(WindowsInstallerE2E, SignedReleaseInstallsAndAChangedDirectoryFileIsRefused) {
  const std::string key = work / "release.key";
  std::string out;
  ASSERT_EQ(publisher({"keygen", "--out", windows_path(key)}, out), 0) << out;
  std::string pub = out.substr(0, out.find_first_of("\r\n"));
  ASSERT_EQ(pub.size(), 44u) << out;
  publish_windows(release_a(), "v1", "", key);
  testservers::NginxServer& web = serve();
  ASSERT_EQ(publisher({"serverlist", "--out", windows_path(www), "--beta", "v1", "--server", web.host(), "/pub/",
                       "Main", "--sign", windows_path(key), "--expires", "7"},
                      out),
            0)
      << out;
  ASSERT_TRUE(fs::exists(www + "serverlist.sig")) << out;

  const std::string target = windows_path(dest);
  run_result r = run({windows_path(exe), "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
                      "--release_key=" + pub, target});
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TREE_EQ(read_tree(dest), windows_part(release_a()));
  EXPECT_NE(log().find("Server list: signed, serial"), std::string::npos) << log();

  // One byte of directory.txt changed on the server: refused, nothing written.
  const std::string zip = www + "pub/v1/directory.txt.zip";
  std::map<std::string, std::string> members;
  for (const char* name : {"directory.txt", "directory.sha256"}) {
    ASSERT_EQ(std::system(("python3 -c \"import sys,zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))\" '" +
                           zip + "' " + name + " > '" + work / name + "'").c_str()),
              0);
    members[name] = read_file(work / name);
  }
  members["directory.txt"][members["directory.txt"].find("Kestrel")] = 'k';
  write_zip(zip, members);
  const std::string fresh = work / "fresh/Skyvane/";
  r = run_joined({windows_path(exe), "--headless", "--install", "--accept_eula", "--retry_backoff=0.01",
                  "--release_key=" + pub, windows_path(fresh)},
                 180);
  EXPECT_EQ(r.status, 2) << log();
  EXPECT_TRUE(r.printed("The directory file from " + web.host() + " is not the one the publisher signed.")) << log();
  EXPECT_TRUE(read_tree(fresh).empty());
}

// A release made by the Linux publisher installs the same on Windows, into
// a folder given with "\" on the drive that shows the Linux file system.
TEST_F(WindowsInstallerE2E, ReleaseOfTheLinuxPublisherInstallsOnWindows) {
  publish(release_a(), "Skyvane 9.01");
  testservers::NginxServer& web = serve();
  server_list("Skyvane 9.01", {web.host()});

  run_result r = run({windows_path(exe), "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
                      windows_path(dest)});
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TREE_EQ(read_tree(dest), windows_part(release_a()));
  // Asked for the Macintosh files instead, the same release gives those.
  r = run({windows_path(exe), "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
           "--download_os=1", windows_path(work / "mac/Skyvane/")});
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TRUE(fs::exists(work / "mac/Skyvane/Resources/add-ons/driver.mac"));
  EXPECT_FALSE(fs::exists(work / "mac/Skyvane/Resources/add-ons/driver.win"));
}

// Folders whose names are not ASCII: the program's own folder (its log is
// written there through the C library) and the destination.
TEST_F(WindowsInstallerE2E, FoldersWithNamesBeyondAscii) {
  publish(release_a(), "v1");
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  const std::string home = work / "J\xc3\xbcrgen \xe6\x97\xa5/";  // "Jürgen 日"
  fs::create_directories(home);
  const std::string exe_here = home + "skyvane-installer.exe";
  fs::copy_file(exe, exe_here);
  const std::string target = home + "Fl\xc3\xbcgel/Skyvane/";
  run_result r = run({windows_path(exe_here), "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
                      windows_path(target)});
  ASSERT_EQ(r.status, 0);
  EXPECT_TREE_EQ(read_tree(target), windows_part(release_a()));
  const std::string own_log = read_file(home + "Log.txt");
  EXPECT_NE(own_log.find("dest_dir_path="), std::string::npos) << "no log beside the program";
}

// The disc search asks Windows for the CD-ROM drives: a folder made drive
// R: of type CD-ROM in the prefix (Wine's drive table) holds the disc's
// marker file, and the run finds it; a marker of another version is not
// taken.
TEST_F(WindowsInstallerE2E, InstallationDiscInACdRomDriveIsFound) {
  const fs::path prefix = SKYVANE_WINEPREFIX;
  const std::string disc = work / "disc/";
  fs::create_directories(disc);
  const fs::path drive = prefix / "dosdevices/r:";
  ASSERT_FALSE(fs::exists(fs::symlink_status(drive))) << "drive R: is in use in the prefix";
  fs::create_directory_symlink(disc, drive);
  // Wine reads its drive table when its server starts: restart it around the change.
  const std::string wine_run = SKYVANE_WINE_RUN;
  const std::string prefix_env = "WINEPREFIX='" + prefix.string() + "' ";
  auto restart_server = [&] { std::system((prefix_env + "wineserver -k >/dev/null 2>&1").c_str()); };
  ASSERT_EQ(std::system((wine_run + " reg add 'HKLM\\Software\\Wine\\Drives' /v r: /d cdrom /f >/dev/null 2>&1").c_str()),
            0);
  restart_server();
  struct cleanup {
    std::function<void()> f;
    ~cleanup() { f(); }
  } undo{[&] {
    std::error_code ec;
    fs::remove(drive, ec);
    std::system((wine_run + " reg delete 'HKLM\\Software\\Wine\\Drives' /v r: /f >/dev/null 2>&1").c_str());
    restart_server();
  }};

  const int port = testservers::free_port("127.0.0.1");  // nothing to fetch: the search is at start-up
  write_file(disc + "dvd_version.txt", "I\n901 version\nDVD\n");
  run({windows_path(exe), "--headless", "--retry_backoff=0.01", "--server_list_host=127.0.0.1:" + std::to_string(port),
       windows_path(dest)});
  EXPECT_NE(log().find("After searching, I think that dvd_path=\n"), std::string::npos) << log();

  write_file(disc + "dvd_version.txt", "I\n900 version\nDVD\n");
  run({windows_path(exe), "--headless", "--retry_backoff=0.01", "--server_list_host=127.0.0.1:" + std::to_string(port),
       windows_path(dest)});
  EXPECT_NE(log().find("After searching, I think that dvd_path=R:\\\n"), std::string::npos) << log();
}

// Nothing listening: the Windows socket layer reports the refused
// connection at once, as the Linux one does (not by the transfer's
// time-out), and the run gives up after its ten attempts, writing nothing.
TEST_F(WindowsInstallerE2E, RefusedConnectionsAreSeenAtOnceAndTheRunGivesUp) {
  const int port = testservers::free_port("127.0.0.1");
  const auto t0 = std::chrono::steady_clock::now();
  run_result r = run_joined({windows_path(exe), "--headless", "--install", "--accept_eula", "--retry_backoff=0.05",
                             "--server_list_host=127.0.0.1:" + std::to_string(port), windows_path(dest)},
                            180);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(r.status, 2) << log();
  EXPECT_TRUE(r.printed("I could not fetch the server list after 10 attempts in a row.")) << log();
  // Nine waits of at most 1.5 s, and ten refusals seen at once.
  EXPECT_LT(secs, 60.0);
  EXPECT_FALSE(fs::exists(dest));
}

// An https server whose certificate the installer cannot trust (its root
// is private and not given with --ca_file) fails with that reason, and the
// plain server beside it serves the install. The plain server cuts its
// first answer for each file after one byte, so the directory file fails
// there once and the https server is tried whichever server the run
// draws first.
TEST_F(WindowsInstallerE2E, AnHttpsServerFailsClearlyAndThePlainOneServes) {
  publish_windows(release_a(), "v1");
  std::string failure;
  ASSERT_TRUE(testservers::make_test_certs(work / "certs/", failure)) << failure;
  serve();  // the server list
  testservers::FaultServer plain("127.0.0.1", www);
  ASSERT_TRUE(plain.ok()) << plain.failure();
  const std::string secure = serve_tls("good").host();
  write_file(www + "serverlist.txt", "I\n820 Version\nSERVERS\nBETA v1\nFINAL v1\nSERVER " + secure +
                                         "\n/pub/\nServer 0\nSERVER " + plain.host() +
                                         "\n/files/cutonce=1/pub/\nServer 1\nENDOFLIST\n");
  const std::string target = "C:\\" + drive_folder + "\\Skyvane";
  run_result r = run({windows_path(exe), "--headless", "--install", "--accept_eula", "--retry_backoff=0.05", target});
  ASSERT_EQ(r.status, 0) << log();
  const fs::path drive_c = fs::path(SKYVANE_WINEPREFIX) / "drive_c";
  EXPECT_TREE_EQ(read_tree((drive_c / drive_folder / "v1").string() + "/"), windows_part(release_a()));
  EXPECT_NE(log().find("certificate is not trusted"), std::string::npos) << log();

  // The server list itself over https: the run gives up with the reason.
  run_result list = run_joined({windows_path(exe), "--headless", "--install", "--accept_eula",
                                "--retry_backoff=0.05", "--server_list_host=" + secure, windows_path(dest)},
                               180);
  EXPECT_EQ(list.status, 2) << log();
  EXPECT_TRUE(list.printed("The last failure: " + secure + ": certificate is not trusted.")) << joined(list);
  EXPECT_FALSE(fs::exists(dest));
}

// A release served only over HTTPS installs byte for byte with the
// system's TLS, the server list too; then behind a plain server that
// redirects every file to the TLS one; then through tinyproxy by CONNECT.
TEST_F(WindowsInstallerE2E, AReleaseOverHttpsInstallsByteForByteDirectlyRedirectedAndByConnect) {
  publish_windows(release_a(), "v1");
  std::string failure;
  ASSERT_TRUE(testservers::make_test_certs(work / "certs/", failure)) << failure;
  testservers::NginxServer& tls = serve_tls("good");
  server_list("v1", {tls.host()});
  const std::string ca = "--ca_file=" + windows_path(work / "certs/ca.pem");
  const fs::path drive_c = fs::path(SKYVANE_WINEPREFIX) / "drive_c";
  const std::string installed = (drive_c / drive_folder / "v1").string() + "/";
  auto target = [&](const std::string& name) { return "C:\\" + drive_folder + "\\" + name; };
  // A file that holds no certificate (a key), or none at all, is refused at start.
  for (const std::string bad : {"certs/good.key", "certs/missing.pem"}) {
    run_result refused = run_joined({windows_path(exe), "--headless", "--server_list_host=" + tls.host(),
                                     "--ca_file=" + windows_path(work / bad), windows_path(dest)},
                                    120);
    EXPECT_EQ(refused.status, 1) << bad << ": " << joined(refused);
    EXPECT_TRUE(refused.printed("--ca_file: no certificates could be read from")) << bad << ": " << joined(refused);
  }
  run_result r = run({windows_path(exe), "--headless", "--install", "--accept_eula", "--server_list_host=" + tls.host(),
                      ca, target("Skyvane")},
                     180);
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TRUE(r.printed("INSTALLATION COMPLETE!"));
  EXPECT_TREE_EQ(read_tree(installed), windows_part(release_a()));
  EXPECT_EQ(archive_requests(tls), static_cast<int>(windows_part(release_a()).size()));

  fs::remove_all(drive_c / drive_folder);
  testservers::NginxServer& plain =
      serve("127.0.0.1", "", "location /pub/ { return 301 " + tls.host() + "$request_uri; }\n");
  server_list("v1", {plain.host()});
  r = run({windows_path(exe), "--headless", "--install", "--accept_eula", "--server_list_host=" + plain.host(), ca,
           target("Skyvane")},
          180);
  ASSERT_EQ(r.status, 0) << log();
  EXPECT_TREE_EQ(read_tree(installed), windows_part(release_a()));
  EXPECT_NE(log().find(", redirected to " + tls.host() + "/pub/"), std::string::npos) << log();

  fs::remove_all(drive_c / drive_folder);
  testservers::TinyProxy proxy;
  ASSERT_TRUE(proxy.ok()) << proxy.failure();
  server_list("v1", {tls.host()});
  const std::string port = std::to_string(proxy.port());
  r = run({windows_path(exe), "--headless", "--install", "--accept_eula", "--server_list_host=" + plain.host(), ca,
           "--pref:_proxy_host=127.0.0.1", "--pref:_proxy_port=" + port, "--pref:_proxy_port_int=" + port,
           target("Skyvane")},
          180);
  ASSERT_EQ(r.status, 0) << log() << proxy.log();
  EXPECT_TREE_EQ(read_tree(installed), windows_part(release_a()));
  EXPECT_NE(proxy.log().find("CONNECT"), std::string::npos) << proxy.log();
}

// Mirrors with bad certificates beside a good one: the install completes.
// Each bad one alone: the run ends with status 2 and the certificate's
// reason, in the message and in the log.
TEST_F(WindowsInstallerE2E, BadCertificatesFailTheirServerWithTheReasonAndTheGoodMirrorCompletes) {
  publish_windows(release_a(), "v1");
  std::string failure;
  ASSERT_TRUE(testservers::make_test_certs(work / "certs/", failure)) << failure;
  const std::string expired = serve_tls("expired").host();
  const std::string wrong = serve_tls("wronghost").host();
  const std::string unknown = serve_tls("unknownca").host();
  const std::string good = serve_tls("good").host();
  testservers::NginxServer& lister = serve();
  const std::string ca = "--ca_file=" + windows_path(work / "certs/ca.pem");
  const std::string target = "C:\\" + drive_folder + "\\Skyvane";
  const fs::path drive_c = fs::path(SKYVANE_WINEPREFIX) / "drive_c";
  const std::pair<std::string, std::string> bad[] = {{expired, "certificate has expired"},
                                                     {wrong, "certificate is for another host"},
                                                     {unknown, "certificate is not trusted"}};
  // One bad mirror and the good one at a time: the installer draws the
  // server of each attempt at random, and with one good server in two ten
  // failed draws in a row are not to be expected.
  for (const auto& [server, reason] : bad) {
    fs::remove_all(drive_c / drive_folder);
    server_list("v1", {server, good});
    run_result r = run({windows_path(exe), "--headless", "--install", "--accept_eula", "--retry_backoff=0.05",
                        "--server_list_host=" + lister.host(), ca, target},
                       180);
    ASSERT_EQ(r.status, 0) << reason << "\n" << log();
    EXPECT_TREE_EQ(read_tree((drive_c / drive_folder / "v1").string() + "/"), windows_part(release_a()));
  }

  // Each alone: status 2, and its reason in the one line that says so.
  for (const auto& [server, reason] : bad) {
    server_list("v1", {server});
    run_result failed = run_joined({windows_path(exe), "--headless", "--install", "--accept_eula",
                                    "--retry_backoff=0.05", "--server_list_host=" + lister.host(), ca,
                                    windows_path(dest)},
                                   180);
    EXPECT_EQ(failed.status, 2) << joined(failed);
    bool one_line = false;
    for (const std::string& line : failed.out)
      one_line |= line.find("I could not fetch the directory file") != std::string::npos &&
                  line.find(server + ": " + reason) != std::string::npos;
    EXPECT_TRUE(one_line) << reason << "\n" << joined(failed);
    EXPECT_NE(log().find("   reason     =" + reason + "\n"), std::string::npos) << log();
  }
  EXPECT_FALSE(fs::exists(dest));
}

// Two release files whose names differ only in letter case are one file on
// Windows: such a release cannot be installed there. The run says so and
// ends with status 2 before it writes anything.
TEST_F(WindowsInstallerE2E, NamesDifferingOnlyInCaseAreRefusedBeforeAnythingIsWritten) {
  publish(release_a(), "v1");
  add_to_release("v1", {{"Resources/a.txt", "lower case"}, {"Resources/A.TXT", "UPPER CASE"}});
  testservers::NginxServer& web = serve();
  server_list("v1", {web.host()});
  run_result r = run_joined({windows_path(exe), "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
                             windows_path(dest)},
                            180);
  EXPECT_EQ(r.status, 2) << log();
  EXPECT_FALSE(r.printed("INSTALLATION COMPLETE!")) << log();
  EXPECT_TRUE(r.printed("differ only in letter case")) << log();
  EXPECT_TRUE(r.printed("Resources/A.TXT")) << log();
  EXPECT_FALSE(fs::exists(dest));
  EXPECT_EQ(archive_requests(web), 0);
}

// Names Windows reserves for devices, with or without an ending, for a file
// or a folder, and names ending in a dot or a blank: the Windows installer
// names the one it cannot hold and ends before it writes anything.
TEST_F(WindowsInstallerE2E, NamesWindowsCannotHoldAreRefusedBeforeAnythingIsWritten) {
  testservers::NginxServer& web = serve();
  int n = 0;
  for (const std::string bad : {"Resources/aux.txt", "COM1.dat", "CON/inside.txt", "Resources/dotted."}) {
    const std::string version = "v" + std::to_string(++n);
    publish(release_a(), version);
    add_to_release(version, {{bad, "cannot be held"}});
    server_list(version, {web.host()});
    run_result r = run_joined({windows_path(exe), "--headless", "--install", "--accept_eula",
                               "--pref:_rename_folder=0", windows_path(dest)},
                              180);
    EXPECT_EQ(r.status, 2) << bad << ": " << log();
    EXPECT_TRUE(r.printed("Windows cannot hold")) << bad << ": " << log();
    EXPECT_TRUE(r.printed(bad)) << bad << ": " << log();
    EXPECT_FALSE(fs::exists(dest)) << bad;
  }
  EXPECT_EQ(archive_requests(web), 0);
}

// Resuming under Wine. Bytes that deflate to about half: random letters of
// a small alphabet.
std::string half_compressible(std::size_t n, unsigned seed) {
  std::string out = noise(n, seed);
  for (char& c : out) c = static_cast<char>('a' + (static_cast<unsigned char>(c) % 16));
  return out;
}

// The Linux process Wine runs the Windows program in: the descendant of
// `top` (the Wine wrapper's shell) whose command line starts with the
// program's Windows name. 0 when there is none (yet).
int wine_process_of(int top, const std::string& exe_name) {
  std::map<int, int> parent;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = read_file(e.path() / "stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    int ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) == 1) parent[std::stoi(name)] = ppid;
  }
  for (const auto& [pid, ppid] : parent) {
    bool below = false;
    for (int up = ppid, hops = 0; up > 1 && hops < 64 && !below; up = parent.count(up) ? parent[up] : 0, ++hops)
      below = up == top;
    if (!below) continue;
    std::string cmd = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    cmd = cmd.substr(0, cmd.find('\0'));
    std::string lower;
    for (char c : cmd) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.size() >= exe_name.size() && lower.compare(lower.size() - exe_name.size(), exe_name.size(), exe_name) == 0)
      return pid;
  }
  return 0;
}

class WindowsResumeE2E : public WindowsInstallerE2E {
 protected:
  std::vector<std::string> install_args() {
    return {windows_path(exe), "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
            windows_path(dest)};
  }
};

// A run of the Windows installer killed, or interrupted with Ctrl+C, when
// about half of a large archive (stored member, deflated member) is kept:
// the next run asks nginx only for the rest, and the tree is exact with no
// part file left.
TEST_F(WindowsResumeE2E, AStoppedRunsKeptDownloadIsContinuedByTheNext) {
  const tree_map tree = {
      // Archives above the 16 MiB from which a body is kept across runs.
      {"Resources/scenery/tile.bin", noise(20000000, 51)},
      {"Resources/scenery/tile.txt", half_compressible(40000000, 52)},
      {"Instructions/Guide.txt", "read me first\r\n"},
  };
  publish(tree, "v1");
  testservers::NginxServer& web = serve("127.0.0.1", "", "limit_rate 4m;");
  server_list("v1", {web.host()});
  const std::pair<int, std::string> cases[] = {{SIGKILL, "tile.bin"}, {SIGINT, "tile.txt"}};
  for (const auto& [signo, name] : cases) {
    SCOPED_TRACE(name + " stopped by signal " + std::to_string(signo));
    fs::remove_all(dest);
    const std::int64_t size = static_cast<std::int64_t>(fs::file_size(archive_of(name)));
    const std::size_t before = web.access_log().size();
    std::vector<std::string> args = install_args();
    args.push_back("--pref:_stream_count=1");
    auto p = start(args);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(180);
    while (std::chrono::steady_clock::now() < until && part_size(name) < size * 47 / 100)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int windows_pid = wine_process_of(p->pid(), "skyvane-installer.exe");
    ASSERT_GT(windows_pid, 0);
    kill(windows_pid, signo);
    const run_result stopped = finish(*p, 60);
    if (signo != SIGKILL) {
      EXPECT_EQ(stopped.status, 128 + signo) << log();
    }
    ASSERT_GE(part_size(name), size * 47 / 100);
    EXPECT_TRUE(fs::exists(dest + "Resources/scenery/." + name + ".download-info"));
    // The stopped run's request is logged when nginx notices the client
    // has gone: it is waited for, so that it is not counted for the next.
    const auto logged = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < logged &&
           web.access_log().find(name + ".zip HTTP", before) == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int before_requests = requests_for(web, name);
    const std::size_t mark = web.access_log().size();

    const run_result r = run_joined(install_args(), 300);
    EXPECT_EQ(r.status, 0) << joined(r) << log();
    EXPECT_TREE_EQ(read_tree(dest), tree);
    EXPECT_TRUE(kept_files().empty());
    EXPECT_NE(log().find("kept by an earlier run"), std::string::npos) << log();
    // Body bytes of the rerun's requests of this archive, from the log's
    // "... HTTP/1.1" STATUS BYTES fields.
    std::int64_t again = 0;
    const std::string access = web.access_log();
    for (std::size_t at = mark; at < access.size();) {
      std::size_t end = access.find('\n', at);
      if (end == std::string::npos) end = access.size();
      const std::string line = access.substr(at, end - at);
      at = end + 1;
      const std::size_t req_end = line.find(".zip HTTP/1.1\" ");
      if (req_end == std::string::npos || line.rfind(name, req_end) != req_end - name.size()) continue;
      again += std::atoll(line.c_str() + line.find(' ', req_end + 15) + 1);
    }
    EXPECT_EQ(requests_for(web, name) - before_requests, 1);
    EXPECT_GT(again, 0);
    EXPECT_LE(again, size * 55 / 100) << log();
  }
}

// Mirrors that cut every connection, the Windows installer against the
// project's fault server: the files come in pieces from both, each asked
// from where the last stopped; a mirror answering the range with the whole
// file makes the extraction start again; both leave the exact tree.
TEST_F(WindowsResumeE2E, CuttingMirrorsAndAWholeFileForARangeLeaveTheExactTree) {
  const tree_map tree = {
      {"Resources/scenery/tile.bin", noise(6000000, 53)},
      {"Resources/scenery/tile.txt", half_compressible(6000000, 54)},
      {"Instructions/Guide.txt", "read me first\r\n"},
  };
  publish(tree, "v1");
  serve();  // the server list
  testservers::FaultServer a("127.0.0.1", www), b("127.0.0.2", www);
  ASSERT_TRUE(a.ok() && b.ok()) << a.failure() << b.failure();
  const auto list = [&](const std::vector<std::pair<std::string, std::string>>& hosts) {
    std::string text = "I\n820 Version\nSERVERS\nBETA v1\nFINAL v1\n";
    for (std::size_t i = 0; i < hosts.size(); ++i)
      text += "SERVER " + hosts[i].first + "\n/files/" + hosts[i].second + "/pub/\nMirror " + std::to_string(i) + "\n";
    write_file(www + "serverlist.txt", text + "ENDOFLIST\n");
  };
  list({{a.host(), "cut=1000000,etag=same"}, {b.host(), "cut=1700000,etag=same"}});
  run_result r = run_joined(install_args(), 300);
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(dest), tree);
  EXPECT_NE(log().find("Continuing "), std::string::npos) << log();
  EXPECT_NE(log().find("(" + a.host() + ")"), std::string::npos) << log();
  EXPECT_NE(log().find("(" + b.host() + ")"), std::string::npos) << log();

  fs::remove_all(dest);
  list({{a.host(), "norange,cutonce=2000000"}});
  r = run_joined(install_args(), 300);
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(dest), tree);
  EXPECT_NE(log().find("starts again: the server sent the whole file"), std::string::npos) << log();
}

}  // namespace
}  // namespace e2e
