// The real installer against mirrors that cut their transfers: what arrived
// is kept and the rest asked for (Range / If-Range), from the same mirror or
// another; a mirror that answers a range with the whole file, and one that
// serves other bytes under the same name, still leave the exact tree.
#include <gtest/gtest.h>

#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/installer/e2e_fixture.h"

namespace fs = std::filesystem;
using testing_support::noise;
using testing_support::read_file;
using testing_support::write_file;

namespace e2e {
namespace {

// Bytes that deflate to about half: random letters of a small alphabet.
std::string half_compressible(std::size_t n, unsigned seed) {
  const std::string raw = noise(n, seed);
  std::string out(n, 'a');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>('a' + (static_cast<unsigned char>(raw[i]) % 16));
  return out;
}

// The size in bytes of the large archives below: SKYVANE_RESUME_MB million
// bytes when set (bench/resume/run-full.sh runs them at 400), else
// `small_mb`, small enough for every test run. The servers' cut points are
// fractions of it.
std::int64_t archive_bytes(std::int64_t small_mb) {
  const char* v = std::getenv("SKYVANE_RESUME_MB");
  const long long mb = v ? std::atoll(v) : 0;
  return (mb > 0 ? mb : small_mb) * 1000000;
}

class InstallerResumeE2E : public InstallerTest {
 protected:
  // Two large files, one stored in its archive (noise), one deflated, and
  // two small ones.
  const std::int64_t big = archive_bytes(9);
  tree_map big_release() {
    return {
        {"Resources/scenery/tile.bin", noise(static_cast<std::size_t>(big), 31)},
        {"Resources/scenery/tile.txt", half_compressible(static_cast<std::size_t>(big), 32)},
        {"Instructions/Guide.txt", "read me first\n"},
        {"Airfoils/Zephyr wing.dat", std::string(20000, 'w')},
    };
  }
  // `rule` with the byte count of a fraction of the large file.
  std::string at(const std::string& rule, std::int64_t num, std::int64_t den) const {
    return rule + "=" + std::to_string(big * num / den);
  }
  // A server list naming fault servers that serve www/ with `rules`
  // (see tests/servers/fault_server.py).
  void fault_list(const std::string& version, const std::vector<std::pair<std::string, std::string>>& hosts) {
    std::string text = "I\n820 Version\nSERVERS\nBETA " + version + "\nFINAL " + version + "\n";
    for (std::size_t i = 0; i < hosts.size(); ++i)
      text += "SERVER " + hosts[i].first + "\n/files/" + hosts[i].second + "/pub/\nMirror " + std::to_string(i) + "\n";
    text += "ENDOFLIST\n";
    write_file(www + "serverlist.txt", text);
  }
  // The bytes of every archive published below www/pub/.
  std::int64_t published_bytes() const {
    std::int64_t total = 0;
    for (const auto& e : fs::recursive_directory_iterator(www + "pub"))
      if (e.is_regular_file()) total += static_cast<std::int64_t>(e.file_size());
    return total;
  }
  // The file body bytes a fault server has sent so far.
  static std::int64_t sent_by(const testservers::FaultServer& s) {
    testservers::ChildProcess get;
    EXPECT_TRUE(get.start({"python3", "-c",
                           "import urllib.request,sys; print(urllib.request.urlopen(sys.argv[1]).read().decode())",
                           "http://" + s.host() + "/sent"},
                          true));
    std::string line;
    EXPECT_TRUE(get.read_line(line, 60000));  // python may start slowly on a loaded machine
    EXPECT_EQ(get.wait_exit(), 0);
    return std::stoll("0" + line);
  }
  // Runs an unattended install and notes how long it took.
  run_result install() {
    const auto t0 = std::chrono::steady_clock::now();
    run_result r = run_joined({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0"},
                              300 + static_cast<int>(archive_bytes(0) / 1000000));
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
  }
  double seconds = 0;  // of the last install()
  // One line of a case's figures (bench/resume/run-full.sh collects them).
  void figures(const std::string& what, const run_result& r, std::int64_t sent, std::int64_t of) const {
    std::printf("[ figures  ] %s: exit %d, %.1f s, sent %lld of %lld bytes (%.1f%%)\n", what.c_str(), r.status,
                seconds, static_cast<long long>(sent), static_cast<long long>(of),
                of > 0 ? 100.0 * static_cast<double>(sent) / static_cast<double>(of) : 0.0);
    std::fflush(stdout);
  }
};

// Every connection is cut after an eighth of the large file (50 MB of 400):
// each large file comes in pieces, each asked from where the last one
// stopped, and the mirror sends hardly more than the archives hold.
TEST_F(InstallerResumeE2E, AMirrorCuttingEveryConnectionDeliversWithinOneRun) {
  const tree_map tree = big_release();
  publish(tree, "v1");
  serve();  // the server list
  testservers::FaultServer cutting("127.0.0.1", www);
  ASSERT_TRUE(cutting.ok()) << cutting.failure();
  fault_list("v1", {{cutting.host(), at("cut", 1, 8)}});

  const run_result r = install();
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  // Once, on a loaded machine, this run ended with status 0 and nothing
  // installed; what it printed and logged is kept for the next time.
  EXPECT_TREE_EQ(read_tree(dest), linux_part(tree)) << joined(r) << log();
  EXPECT_NE(log().find("Continuing "), std::string::npos);
  const std::int64_t sent = sent_by(cutting);
  figures("every connection cut after " + std::to_string(big / 8) + " bytes", r, sent, published_bytes());
  EXPECT_LE(sent, published_bytes() * 11 / 10) << "sent " << sent << " of " << published_bytes();
}

// A mirror that answers the request for the rest with the whole file (200):
// the extraction starts again from the first byte, and the file is right.
TEST_F(InstallerResumeE2E, AMirrorAnsweringTheRangeWithTheWholeFile) {
  const tree_map tree = big_release();
  publish(tree, "v1");
  serve();
  testservers::FaultServer mirror("127.0.0.1", www);
  ASSERT_TRUE(mirror.ok()) << mirror.failure();
  fault_list("v1", {{mirror.host(), "norange," + at("cutonce", 1, 3)}});

  const run_result r = install();
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(tree));
  EXPECT_NE(log().find("starts again: the server sent the whole file"), std::string::npos) << log();
  figures("range answered with the whole file", r, sent_by(mirror), published_bytes());
}

// Two mirrors that each cut after some bytes and serve the same archives:
// the files complete from pieces of both.
TEST_F(InstallerResumeE2E, TwoCuttingMirrorsCompleteTheFilesTogether) {
  const tree_map tree = big_release();
  publish(tree, "v1");
  serve();
  testservers::FaultServer a("127.0.0.1", www), b("127.0.0.2", www);
  ASSERT_TRUE(a.ok() && b.ok()) << a.failure() << b.failure();
  fault_list("v1", {{a.host(), at("cut", 1, 6) + ",etag=same"}, {b.host(), at("cut", 5, 18) + ",etag=same"}});

  const run_result r = install();
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(tree));
  const std::string l = log();
  EXPECT_NE(l.find("(" + a.host() + ")"), std::string::npos) << l;
  EXPECT_NE(l.find("(" + b.host() + ")"), std::string::npos) << l;
  EXPECT_LE(sent_by(a) + sent_by(b), published_bytes() * 11 / 10);
  figures("two cutting mirrors", r, sent_by(a) + sent_by(b), published_bytes());
}

// One of two mirrors serves other bytes under the same names and the same
// validator: a file joined from both does not have the listed digest, is
// never kept, and is fetched again whole until it is right.
TEST_F(InstallerResumeE2E, AMirrorServingOtherBytesNeverSpoilsAFile) {
  const tree_map tree = big_release();
  publish(tree, "v1");
  serve();
  // The other mirror's copy: the same archives, one byte changed in the
  // middle of the stored file's.
  const std::string other = work / "other-www/";
  fs::copy(www, other, fs::copy_options::recursive);
  std::string bad_archive;
  for (const auto& e : fs::recursive_directory_iterator(other))
    if (e.path().filename() == "tile.bin.zip") bad_archive = e.path().string();
  ASSERT_FALSE(bad_archive.empty());
  std::string bytes = read_file(bad_archive);
  bytes[bytes.size() / 2] ^= 0x55;
  write_file(bad_archive, bytes);

  testservers::FaultServer good("127.0.0.1", www), bad("127.0.0.2", other);
  ASSERT_TRUE(good.ok() && bad.ok()) << good.failure() << bad.failure();
  fault_list("v1", {{good.host(), at("cutonce", 2, 9) + ",etag=same"}, {bad.host(), "etag=same"}});

  const run_result r = install();
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(tree));
  figures("one mirror serving other bytes", r, sent_by(good) + sent_by(bad), published_bytes());
}

// Body bytes nginx sent for requests of paths ending in `suffix` in the
// access log from byte `from` on.
std::int64_t nginx_sent(const std::string& access_log, std::size_t from, const std::string& suffix) {
  std::int64_t total = 0;
  for (std::size_t at = from; at < access_log.size();) {
    std::size_t end = access_log.find('\n', at);
    if (end == std::string::npos) end = access_log.size();
    const std::string line = access_log.substr(at, end - at);
    at = end + 1;
    const std::size_t req_end = line.find("HTTP/1.1\" ");
    if (req_end == std::string::npos || line.rfind(suffix + " HTTP/1.1\"", req_end) == std::string::npos) continue;
    // "... HTTP/1.1" STATUS BYTES ...
    const std::size_t status = req_end + 10;
    const std::size_t bytes = line.find(' ', status) + 1;
    total += std::atoll(line.c_str() + bytes);
  }
  return total;
}

// Across runs: a run stopped (kill -9, an interrupt) when about half of two
// large archives (one stored, one deflated member) has arrived keeps what
// arrived beside the targets; the next run asks only for the rest and the
// tree is exact, with no part file left.
class InstallerKeptDownloadE2E : public InstallerResumeE2E {
 protected:
  // The stored member's archive is `large` bytes; the deflated member's
  // about as many (its bytes deflate to a little over half).
  const std::int64_t large = archive_bytes(24);
  tree_map large_release() {
    return {
        {"Resources/scenery/tile.bin", noise(static_cast<std::size_t>(large), 41)},
        {"Resources/scenery/tile.txt", half_compressible(static_cast<std::size_t>(large / 24 * 44), 42)},
        {"Instructions/Guide.txt", "read me first\n"},
    };
  }
  // nginx logs a request when it notices the client has gone, which under
  // its rate limit may be a moment later: the stopped run's request of
  // `name` (logged after byte `before`) is waited for, so that it is not
  // counted for the next run. Returns the log's size then.
  static std::size_t logged(const testservers::NginxServer& web, std::size_t before, const std::string& name) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until &&
           web.access_log().find(name + ".zip HTTP", before) == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return web.access_log().size();
  }
  // Starts an install (one stream: the files come one after the other) and
  // stops it with `signo` once about half of `name`'s archive is kept.
  void stop_half_way(int signo, const std::string& name) {
    const std::int64_t size = static_cast<std::int64_t>(fs::file_size(archive_of(name)));
    auto p = start({dest, "--headless", "--install", "--accept_eula", "--pref:_rename_folder=0",
                    "--pref:_stream_count=1"});
    // At 12 MB/s a file twice the archives' size, and time to spare.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120 + large / 6000000);
    while (std::chrono::steady_clock::now() < until && part_size(name) < size * 47 / 100)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(p->pid(), signo);
    run_result r = finish(*p, 30);
    if (signo != SIGKILL) {
      EXPECT_EQ(r.status, 128 + signo);
    }
    ASSERT_GE(part_size(name), size * 47 / 100);
    const std::string kept = dest + "Resources/scenery/." + name + ".download";
    EXPECT_TRUE(fs::exists(kept + "-info"));
    // A stored member's bytes are written once, to its data file; the part
    // keeps only the member's header. A deflated one's part keeps them all.
    if (name == "tile.bin") {
      EXPECT_LT(fs::file_size(kept), 1024u);
      EXPECT_TRUE(fs::exists(kept + "-data"));
    } else {
      EXPECT_FALSE(fs::exists(kept + "-data"));
    }
  }
  // Publishes `tree` as v1 on a rate-limited nginx and kills an install once
  // about half of tile.bin's archive is kept; returns the server.
  testservers::NginxServer& kill_tile_bin_half_way(const tree_map& tree) {
    publish(tree, "v1");
    testservers::NginxServer& web = serve("127.0.0.1", "", "limit_rate 12m;");
    server_list("v1", {web.host()});
    const std::size_t before = web.access_log().size();
    stop_half_way(SIGKILL, "tile.bin");
    logged(web, before, "tile.bin");
    return web;
  }
};

TEST_F(InstallerKeptDownloadE2E, KilledHalfWayThenRerunSendsOnlyTheRest) {
  const tree_map tree = large_release();
  publish(tree, "v1");
  testservers::NginxServer& web = serve("127.0.0.1", "", "limit_rate 12m;");
  server_list("v1", {web.host()});
  // The stored member and the deflated one, each killed and each
  // interrupted with Ctrl+C.
  const std::pair<int, std::string> cases[] = {
      {SIGKILL, "tile.bin"}, {SIGKILL, "tile.txt"}, {SIGINT, "tile.bin"}, {SIGINT, "tile.txt"}};
  for (const auto& [signo, name] : cases) {
    SCOPED_TRACE(name + " stopped by signal " + std::to_string(signo));
    fs::remove_all(dest);
    const std::size_t before = web.access_log().size();
    stop_half_way(signo, name);
    const std::size_t mark = logged(web, before, name);
    const run_result r = install();
    EXPECT_EQ(r.status, 0) << joined(r) << log();
    EXPECT_TREE_EQ(read_tree(dest), linux_part(tree));
    EXPECT_TRUE(kept_files().empty());
    EXPECT_NE(log().find("kept by an earlier run"), std::string::npos) << log();
    const std::int64_t size = static_cast<std::int64_t>(fs::file_size(archive_of(name)));
    const std::int64_t again = nginx_sent(web.access_log(), mark, name + ".zip");
    EXPECT_LE(again, size * 55 / 100) << log();
    EXPECT_GT(again, 0);
    figures(name + ".zip stopped by signal " + std::to_string(signo) + ", second run", r, again, size);
  }
}

// Kept bytes damaged between the runs (a bad sector, another program): the
// continued file fails its digest and is fetched again whole; nothing of
// the damage is installed and nothing stays kept.
TEST_F(InstallerKeptDownloadE2E, DamagedKeptBytesAreNeverInstalled) {
  const tree_map tree = large_release();
  kill_tile_bin_half_way(tree);
  const std::string data = dest + "Resources/scenery/.tile.bin.download-data";
  ASSERT_TRUE(fs::exists(data));
  {
    std::fstream f(data, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(static_cast<std::streamoff>(fs::file_size(data) / 2));
    const char c = static_cast<char>(f.get());
    f.seekp(static_cast<std::streamoff>(fs::file_size(data) / 2));
    f.put(static_cast<char>(c ^ 0x5a));
  }
  const run_result r = install();
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_NE(log().find("kept by an earlier run"), std::string::npos) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(tree));
  EXPECT_TRUE(kept_files().empty());
}

// The file changed between the runs (another digest in the new release):
// what was kept of the old one is thrown away and the new file is right.
TEST_F(InstallerKeptDownloadE2E, AKeptPartOfAnotherReleasesFileIsThrownAway) {
  tree_map tree = large_release();
  testservers::NginxServer& web = kill_tile_bin_half_way(tree);

  tree["Resources/scenery/tile.bin"] = noise(static_cast<std::size_t>(large), 43);
  publish(tree, "v2", "v1");
  server_list("v2", {web.host()});
  const std::size_t mark = web.access_log().size();
  const run_result r = install();
  EXPECT_EQ(r.status, 0) << joined(r) << log();
  EXPECT_TREE_EQ(read_tree(dest), linux_part(tree));
  EXPECT_TRUE(kept_files().empty());
  EXPECT_NE(log().find("Deleted the kept part of"), std::string::npos) << log();
  const std::int64_t size = static_cast<std::int64_t>(fs::file_size(archive_of("tile.bin")));
  figures("tile.bin changed between runs, second run", r, nginx_sent(web.access_log(), mark, "tile.bin.zip"), size);
}

}  // namespace
}  // namespace e2e
