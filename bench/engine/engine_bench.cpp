// Measures the engine's disk examination and directory-file reader; run.sh
// builds the inputs, times the peers (md5sum, awk) in the same run and prints
// the ratios.
//
//   engine_bench make-tree <folder> <files> <total bytes> <directory file> [match]
//       writes <files> files of pseudo-random bytes below <folder>/top/ and a
//       directory file listing them (signatures that do not match, so that
//       every file is hashed and counted; with "match" the true signatures:
//       an update with nothing to do)
//   engine_bench make-dir <directory file> <entries>
//       writes a directory file of <entries> FILE lines in folders of 50
//   engine_bench scan <destination folder> <directory file> [threads]
//       read_directory with the disk examination (hashing threads as
//       examine_threads, default 0: automatic); prints the seconds taken
//   engine_bench read <directory file>
//       read_directory without the examination, then frees the model; prints
//       the seconds taken by both
//   engine_bench md5 mapped|blocks <file list>
//       hashes every file named in the list one way; prints the seconds
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "engine/IO_UTILS.h"
#include "engine/utils.h"
#include "installer/main.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const char* const kTitle = "Scanning directory text file to see if you already have Skyvane installed...";

int make_tree(const std::string& folder, int files, long long total, const std::string& dir_file, bool match) {
  std::mt19937_64 rng(12345);
  std::ofstream d(dir_file, std::ios::binary);
  d << "I\n900\nINSTALLER\n";
  const long long mean = total / files;
  std::vector<std::uint64_t> buf;
  for (int i = 0; i < files; ++i) {
    // The manifest's first component names the installation's top folder,
    // which the destination folder stands for.
    const std::string sub = "f" + std::to_string(i / 100) + "/";
    if (i % 100 == 0) make_folder(folder + sub);
    // Sizes from 0.25x to 1.75x of the mean, summing to about the total.
    const long long size = mean / 4 + static_cast<long long>(rng() % static_cast<std::uint64_t>(mean * 3 / 2));
    buf.resize(static_cast<std::size_t>(size / 8 + 1));
    for (auto& w : buf) w = rng();
    const std::string name = "file" + std::to_string(i) + ".bin";
    std::ofstream f(folder + sub + name, std::ios::binary);
    f.write(reinterpret_cast<const char*>(buf.data()), size);
    const std::string sig = match ? md5_hex(buf.data(), static_cast<std::size_t>(size))
                                  : std::string("00000000000000000000000000000000");
    d << "DIR top/" << sub << "\nFILE 0 0 1 " << size / 1000 << " " << size / 1000 << " " << sig << " " << name
      << "\n";
  }
  return 0;
}

int make_dir(const std::string& dir_file, int entries) {
  std::ofstream d(dir_file, std::ios::binary);
  d << "I\n900\nINSTALLER\n";
  for (int i = 0; i < entries; ++i) {
    if (i % 50 == 0) d << "DIR Skyvane/Scenery/Region " << i / 50 << "/\n";
    d << "FILE 1 " << i % 4 << " 900 " << 1000 + i % 977 << " " << 2500 + i % 1307 << " "
      << md5_hex(&i, sizeof i) << " tile " << i << " mesh.terrain\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  if ((a.size() == 5 || a.size() == 6) && a[0] == "make-tree")
    return make_tree(a[1], std::stoi(a[2]), std::stoll(a[3]), a[4], a.size() == 6 && a[5] == "match");
  if (a.size() == 3 && a[0] == "make-dir") return make_dir(a[1], std::stoi(a[2]));
  if ((a.size() == 3 || a.size() == 4) && a[0] == "scan") {
    dest_dir_path = a[1];
    if (a.size() == 4) examine_threads = std::stoi(a[3]);
    const double t0 = now();
    const int r = read_directory(a[2], kTitle);
    const double t = now() - t0;
    if (r != 3) return 1;
    std::fprintf(stderr, "%zu paths, %lld kB to fetch\n", sim_info.files.size(), static_cast<long long>(stg.down_req));
    std::printf("%.6f\n", t);
    return 0;
  }
  if (a.size() == 2 && a[0] == "read") {
    const double t0 = now();
    const int r = read_directory_no_scan(a[1], kTitle);
    const std::size_t paths = sim_info.files.size();
    std::vector<file_history_struct>().swap(sim_info.files);
    sim_info.text_blocks.clear();
    const double t = now() - t0;
    if (r != 3) return 1;
    std::fprintf(stderr, "%zu paths\n", paths);
    std::printf("%.6f\n", t);
    return 0;
  }
  if (a.size() == 3 && a[0] == "md5") {
    std::ifstream list(a[2]);
    std::vector<std::string> files;
    for (std::string l; std::getline(list, l);) files.push_back(l);
    const bool mapped = a[1] == "mapped";
    const double t0 = now();
    for (const std::string& f : files) {
      std::string sig;
      if ((mapped ? calc_file_md5_mapped(f, sig) : calc_file_md5(f, sig)) != 0) return 1;
    }
    std::printf("%.6f\n", now() - t0);
    return 0;
  }
  std::fprintf(stderr, "usage: see the top of engine_bench.cpp\n");
  return 2;
}
