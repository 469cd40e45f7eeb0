// The bandwidth cap of the download pool, on loopback against nginx.
//
// Four streams (slots 2..5) fetch 20 MB files one after the other for
// --seconds (default 60) under a cap of --rate thousand bytes a second
// (default 2000), while slot 1 fetches a small file every 3 s, as the
// directory file is fetched beside the streams. The loop stands in for the
// frame loop: one net_check per slot, then wait_for_activity(16).
//
// Goals: every 10 s window within +-10% of the cap (bytes of all bodies
// together), and no frame longer than 50 ms. Prints each window and the
// longest frame; exits 1 when a goal is missed. With each frame over 50 ms
// go the processor time this thread spent in it and the time in the wait:
// a long frame with little processor time and a long wait was the machine's
// load (the thread waiting to run), not work of ours.
//   build/bench/cap/cap_bench [--rate 2000] [--seconds 60]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "net/http.h"
#include "tests/servers/servers.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

// Counts the body bytes and keeps none of them.
class CountingSink : public body_sink {
 public:
  void start(std::int64_t) override {}
  void take(const char*, std::size_t n) override { *total += static_cast<std::int64_t>(n); }
  bool ready() const override { return true; }
  std::int64_t* total = nullptr;
};

// Processor time of this thread, in seconds.
double thread_cpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  int rate = 2000, seconds = 60;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rate")) rate = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::atoi(argv[i + 1]);
  }
  testing_support::TempDir root;
  testing_support::write_file(root / "big.bin", testing_support::noise(20u * 1000 * 1000, 1));
  testing_support::write_file(root / "small.txt", std::string(30000, 's'));
  testservers::NginxServer web(root.path());
  if (!web.ok()) {
    std::fprintf(stderr, "nginx: %s\n", web.failure().c_str());
    return 2;
  }
  http.reset();
  http.max_rate = 1000.0 * rate;

  std::int64_t total = 0;
  CountingSink sinks[http_class::kSlots];
  for (auto& s : sinks) s.total = &total;
  std::string dests[http_class::kSlots];
  for (int i = 0; i < http_class::kSlots; ++i) dests[i] = root / ("out" + std::to_string(i));

  const auto t0 = Clock::now();
  const auto secs = [&] { return std::chrono::duration<double>(Clock::now() - t0).count(); };
  std::vector<std::int64_t> at_window{0};
  double longest_frame = 0, next_small = 0, longest_cpu = 0, longest_frame_cpu = 0;
  int frames = 0, long_frames = 0;
  bool small_running = false;
  while (secs() < seconds) {
    const auto frame_start = Clock::now();
    const double cpu_start = thread_cpu();
    for (int slot = 2; slot < 6; ++slot) {
      if (!http.down[slot]) http.prepare(slot, {0, &sinks[slot], {}});
      if (http.net_check(slot, web.host(), "/big.bin", dests[slot]) == 2) std::fprintf(stderr, "slot %d failed\n", slot);
    }
    if (small_running || secs() >= next_small) {
      if (!small_running) http.prepare(1, {0, &sinks[1], {}});
      small_running = http.net_check(1, web.host(), "/small.txt", dests[1]) == 0;
      if (!small_running) next_small = secs() + 3;
    }
    const auto wait_start = Clock::now();
    http.wait_for_activity(16);
    const double waited = std::chrono::duration<double>(Clock::now() - wait_start).count();
    const double frame = std::chrono::duration<double>(Clock::now() - frame_start).count();
    const double cpu = thread_cpu() - cpu_start;
    ++frames;
    if (frame > 0.05) {
      ++long_frames;
      std::printf("frame of %.1f ms at %.1f s (processor %.1f ms, wait %.1f ms)\n", frame * 1000, secs(),
                  cpu * 1000, waited * 1000);
    }
    if (frame > longest_frame) longest_frame_cpu = cpu;
    longest_frame = std::max(longest_frame, frame);
    longest_cpu = std::max(longest_cpu, cpu);
    if (secs() >= 10.0 * static_cast<double>(at_window.size())) at_window.push_back(total);
  }
  bool ok = longest_frame <= 0.05;
  const double want = 1000.0 * rate * 10;
  for (std::size_t w = 1; w < at_window.size(); ++w) {
    const double got = static_cast<double>(at_window[w] - at_window[w - 1]);
    const bool within = got >= 0.9 * want && got <= 1.1 * want;
    ok = ok && within;
    std::printf("window %2zu: %12.0f bytes/s (%+.1f%%)%s\n", w, got / 10, 100.0 * (got - want) / want,
                within ? "" : "  MISSED");
  }
  std::printf("longest frame: %.1f ms (processor %.1f ms in it)%s\n", longest_frame * 1000, longest_frame_cpu * 1000,
              longest_frame <= 0.05 ? "" : "  MISSED");
  std::printf("most processor time in a frame: %.1f ms; %d of %d frames over 50 ms\n", longest_cpu * 1000,
              long_frames, frames);
  std::printf("%s\n", ok ? "cap held" : "cap goals missed");
  return ok ? 0 : 1;
}
