// Download throughput of the pool against curl and aria2c, measured in the
// same run on the same files from the same nginx on loopback.
//
//   1. One slot polled in a tight loop fetches one 200 MB file; peer: curl -o.
//      Goal: at least 0.7 x curl's throughput.
//   2. Four slots fetch 200 files of 2.5 MB, each slot taking the next file
//      when its transfer ends; peer: aria2c -j4 on the same list.
//      Goal: at least 0.8 x aria2c's throughput.
//
// Each measurement is repeated (--runs N, default 3) and the best time of
// each side is compared. Needs nginx, curl and aria2c:
//   apt-get install nginx curl aria2
// Run: build/bench/net/net_bench [--runs N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "net/http.h"
#include "tests/servers/servers.h"
#include "tests/support/temp_dir.h"
#include "platform/system.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::size_t kBigSize = 200u * 1000 * 1000;
constexpr std::size_t kSmallSize = 2500u * 1000;
constexpr int kSmallCount = 200;

void write_random(const std::string& path, std::size_t size, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::size_t left = size;
  while (left > 0) {
    for (auto& v : block) v = gen();
    const std::size_t n = std::min(left, block.size() * sizeof(std::uint64_t));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    left -= n;
  }
}

// Runs a command (no shell) and returns its wall time in seconds; negative
// when it fails.
double time_command(const std::vector<std::string>& argv) {
  const auto t0 = Clock::now();
  testservers::ChildProcess child;
  if (!child.start(argv, false)) return -1.0;
  const int status = child.wait_exit();
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  return status == 0 ? secs : -1.0;
}

// One slot, polled without pause until the transfer ends.
double pool_single(const std::string& host, const std::string& dest) {
  const auto t0 = Clock::now();
  std::string d = dest;
  int r = 0;
  while (r == 0) {
    r = http.net_check(2, host, "/big.bin", d);
  }
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  std::error_code ec;
  return r == 1 && fs::file_size(dest, ec) == kBigSize ? secs : -1.0;
}

// Four slots (2..5) sharing one queue of files.
double pool_four(const std::string& host, const std::string& out_dir) {
  std::deque<int> queue;
  for (int i = 0; i < kSmallCount; ++i) queue.push_back(i);
  int current[4] = {-1, -1, -1, -1};
  std::string dest[4];
  int failed = 0, active = 0;
  const auto t0 = Clock::now();
  auto take = [&](int k) {
    if (queue.empty()) return;
    current[k] = queue.front();
    queue.pop_front();
    char name[32];
    std::snprintf(name, sizeof name, "f%03d.bin", current[k]);
    dest[k] = out_dir + name;
    ++active;
  };
  for (int k = 0; k < 4; ++k) take(k);
  while (active > 0) {
    for (int k = 0; k < 4; ++k) {
      if (current[k] < 0) continue;
      char path[32];
      std::snprintf(path, sizeof path, "/set/f%03d.bin", current[k]);
      const int r = http.net_check(2 + k, host, path, dest[k]);
      if (r == 0) continue;
      if (r == 2) ++failed;
      current[k] = -1;
      --active;
      take(k);
    }
  }
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  std::error_code ec;
  for (int i = 0; i < kSmallCount; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%03d.bin", i);
    if (fs::file_size(out_dir + name, ec) != kSmallSize) ++failed;
  }
  return failed == 0 ? secs : -1.0;
}

double best(double a, double b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}

void clear_dir(const std::string& d) {
  std::error_code ec;
  fs::remove_all(d, ec);
  fs::create_directories(d, ec);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));

  for (const char* prog : {"curl", "aria2c"}) {
    if (testservers::find_program({prog}).empty()) {
      std::fprintf(stderr, "%s is missing: apt-get install nginx curl aria2\n", prog);
      return 2;
    }
  }

  testing_support::TempDir root, out;
  std::printf("writing the files ...\n");
  write_random(root / "big.bin", kBigSize, 1);
  fs::create_directories(root / "set");
  std::string list;
  testservers::NginxServer server(root.path());
  if (!server.ok()) {
    std::fprintf(stderr, "nginx: %s\n", server.failure().c_str());
    return 2;
  }
  for (int i = 0; i < kSmallCount; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%03d.bin", i);
    write_random(root / (std::string("set/") + name), kSmallSize, 100 + i);
    list += "http://" + server.host() + "/set/" + name + "\n";
  }
  std::ofstream(out / "list.txt") << list;

  double t_curl = -1, t_one = -1, t_aria = -1, t_four = -1;
  for (int run = 0; run < runs; ++run) {
    clear_dir(out / "c");
    t_curl = best(t_curl, time_command({"curl", "-s", "-o", out / "c/big.bin", "http://" + server.host() + "/big.bin"}));
    clear_dir(out / "c");
    t_one = best(t_one, pool_single(server.host(), out / "c/big.bin"));
    clear_dir(out / "c");
    t_aria = best(t_aria, time_command({"aria2c", "-q", "-j4", "-x1", "-s1", "--file-allocation=none",
                                        "--allow-overwrite=true", "--auto-file-renaming=false", "-d", out / "c",
                                        "-i", out / "list.txt"}));
    clear_dir(out / "c");
    t_four = best(t_four, pool_four(server.host(), out / "c/"));
  }
  clear_dir(out / "c");

  const double big_mb = kBigSize / 1e6, set_mb = kSmallSize * kSmallCount / 1e6;
  std::printf("one 200 MB file   curl   %6.3f s %8.1f MB/s   pool, 1 slot  %6.3f s %8.1f MB/s   ratio %.2f (goal >= 0.70)\n",
              t_curl, big_mb / t_curl, t_one, big_mb / t_one, t_curl / t_one);
  std::printf("200 x 2.5 MB      aria2c %6.3f s %8.1f MB/s   pool, 4 slots %6.3f s %8.1f MB/s   ratio %.2f (goal >= 0.80)\n",
              t_aria, set_mb / t_aria, t_four, set_mb / t_four, t_aria / t_four);
  if (t_curl < 0 || t_one < 0 || t_aria < 0 || t_four < 0) {
    std::printf("a transfer failed\n");
    return 1;
  }
  return 0;
}
