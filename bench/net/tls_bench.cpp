// HTTPS against plain HTTP, side by side, from the same nginx files on
// loopback (one plain server, one TLS server with a certificate made at run
// time and trusted through tls_add_roots):
//
//   1. Four slots fetch one large file each (default 4 x 400 MB).
//      Goal: HTTPS throughput at least 0.8 x plain.
//   2. Four slots fetch many small files (default 20,000 of 2 KB) on kept
//      connections. Goal: HTTPS time at most 1.3 x plain.
//   3. Frame time while four handshakes run: four slots each fetch small
//      files on a fresh connection per file (keep-alive off), and the time of
//      each "frame" (one net_check of every slot) is measured.
//      Goal: the longest frame under 2.5 ms. Each frame's processor time
//      (this thread's) is shown beside its wall time: on a busy machine a
//      frame can wait for a core, which is not a wait on a handshake.
//
// Each measurement runs --runs N times (default 3); min and median are shown.
// Run: build/bench/net/tls_bench [--runs N] [--big-mb MB] [--small N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "net/http.h"
#include "platform/tls.h"
#include "tests/servers/servers.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

void write_random(const std::string& path, std::size_t size, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::vector<std::uint64_t> block(1 << 17);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::size_t left = size;
  while (left > 0) {
    for (auto& v : block) v = gen();
    const std::size_t n = std::min(left, block.size() * sizeof(std::uint64_t));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    left -= n;
  }
}

struct frames {
  double longest_ms = 0;
  std::vector<double> all_ms;
  std::vector<double> cpu_ms;  // the frame thread's processor time in each frame
};

// This thread's processor time, in milliseconds: a frame that took long on
// the wall clock but little here was waiting for a core, not working.
double thread_cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Four slots (2..5) work through `paths`; each file goes to out_dir. The
// wall time, or negative on a failure. With `f`, every frame is timed.
double fetch_all(const std::string& host, const std::vector<std::string>& paths, const std::string& out_dir,
                 frames* f) {
  std::size_t next = 0;
  int current[4] = {-1, -1, -1, -1};
  std::string dest[4];
  int failed = 0, active = 0;
  auto take = [&](int k) {
    if (next >= paths.size()) return;
    current[k] = static_cast<int>(next++);
    dest[k] = out_dir + std::to_string(k) + ".bin";
    ++active;
  };
  const auto t0 = Clock::now();
  for (int k = 0; k < 4; ++k) take(k);
  while (active > 0) {
    const auto f0 = Clock::now();
    const double c0 = f ? thread_cpu_ms() : 0.0;
    for (int k = 0; k < 4; ++k) {
      if (current[k] < 0) continue;
      const int r = http.net_check(2 + k, host, paths[static_cast<std::size_t>(current[k])], dest[k]);
      if (r == 0) continue;
      if (r == 2) ++failed;
      current[k] = -1;
      --active;
      take(k);
    }
    if (f) {
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - f0).count();
      f->all_ms.push_back(ms);
      f->cpu_ms.push_back(thread_cpu_ms() - c0);
      f->longest_ms = std::max(f->longest_ms, ms);
    }
    http.wait_for_activity(5);
  }
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  return failed == 0 ? secs : -1.0;
}

void show(const char* what, std::vector<double> plain, std::vector<double> tls) {
  std::sort(plain.begin(), plain.end());
  std::sort(tls.begin(), tls.end());
  std::printf("%-34s plain min %8.3f s median %8.3f s | https min %8.3f s median %8.3f s | ratio (median) %.2f\n",
              what, plain.front(), plain[plain.size() / 2], tls.front(), tls[tls.size() / 2],
              tls[tls.size() / 2] / plain[plain.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3, big_mb = 400, small = 20000;
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (a == "--big-mb") big_mb = std::max(1, std::atoi(argv[i + 1]));
    if (a == "--small") small = std::max(4, std::atoi(argv[i + 1]));
  }
  testing_support::TempDir root, out, certs;
  std::string failure;
  if (!testservers::make_test_certs(certs.path(), failure)) {
    std::fprintf(stderr, "%s\n", failure.c_str());
    return 2;
  }
  std::printf("writing the files (4 x %d MB, %d x 2 KB) ...\n", big_mb, small);
  std::vector<std::string> big, many;
  for (int k = 0; k < 4; ++k) {
    write_random(root / ("big" + std::to_string(k) + ".bin"), static_cast<std::size_t>(big_mb) * 1000 * 1000, k + 1);
    big.push_back("/big" + std::to_string(k) + ".bin");
  }
  fs::create_directories(root / "set");
  for (int i = 0; i < small; ++i) {
    const std::string name = "set/" + std::to_string(i) + ".bin";
    write_random(root / name, 2000, 100 + static_cast<unsigned>(i));
    many.push_back("/" + name);
  }
  const testservers::NginxTls tls{certs / "good.pem", certs / "good.key"};
  testservers::NginxServer plain_server(root.path()), tls_server(root.path(), "127.0.0.1", "", &tls);
  if (!plain_server.ok() || !tls_server.ok()) {
    std::fprintf(stderr, "nginx: %s %s\n", plain_server.failure().c_str(), tls_server.failure().c_str());
    return 2;
  }
  std::vector<double> p_big, t_big, p_small, t_small;
  for (int r = 0; r < runs; ++r) {
    for (int side = 0; side < 2; ++side) {
      http.reset();
      plat::tls_clear_roots();
      plat::tls_add_roots(certs / "ca.pem");
      const std::string host = side ? tls_server.host() : plain_server.host();
      const double b = fetch_all(host, big, out.path(), nullptr);
      http.reset();
      plat::tls_add_roots(certs / "ca.pem");
      const double s = fetch_all(host, many, out.path(), nullptr);
      if (b < 0 || s < 0) {
        std::fprintf(stderr, "a transfer failed (%s)\n", side ? "https" : "plain");
        return 1;
      }
      (side ? t_big : p_big).push_back(b);
      (side ? t_small : p_small).push_back(s);
      std::printf("run %d %s: 4 large %.3f s (%.0f MB/s), %d small %.3f s\n", r + 1, side ? "https" : "plain", b,
                  4.0 * big_mb / b, small, s);
      std::fflush(stdout);
    }
  }
  show("4 large files, 4 slots", p_big, t_big);
  show("small files, kept connections", p_small, t_small);

  // Frames while handshakes run: a fresh connection (and handshake) per
  // file; the same with plain connections beside it, for the machine's share.
  std::vector<std::string> first(many.begin(), many.begin() + std::min<std::size_t>(many.size(), 400));
  for (int side = 0; side < 2; ++side) {
    http.reset();
    plat::tls_clear_roots();
    plat::tls_add_roots(certs / "ca.pem");
    http.keep_alive = 0;
    frames f;
    const long before = http.connections_opened;
    if (fetch_all(side ? tls_server.host() : plain_server.host(), first, out.path(), &f) < 0) {
      std::fprintf(stderr, "the handshake run failed\n");
      return 1;
    }
    std::sort(f.all_ms.begin(), f.all_ms.end());
    std::sort(f.cpu_ms.begin(), f.cpu_ms.end());
    std::printf("frames, a new connection per file, %s (%ld connections): %zu frames, median %.3f ms, p99 %.3f ms, "
                "longest %.3f ms; processor time in a frame: median %.3f ms, p99 %.3f ms, longest %.3f ms\n",
                side ? "https" : "plain", http.connections_opened - before, f.all_ms.size(),
                f.all_ms[f.all_ms.size() / 2], f.all_ms[f.all_ms.size() * 99 / 100], f.longest_ms,
                f.cpu_ms[f.cpu_ms.size() / 2], f.cpu_ms[f.cpu_ms.size() * 99 / 100], f.cpu_ms.back());
  }
  return 0;
}
