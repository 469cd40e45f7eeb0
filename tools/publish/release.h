// Publishing one release: a folder tree in, the server layout out.
//
//   <out_root><prefix><version>/directory.txt.zip        holds "directory.txt"
//                                                        (and "directory.sha256",
//                                                        the per-file SHA-256
//                                                        list, when signed)
//   <out_root><prefix><version>/<manifest path>.zip      one per file, its one
//                                                        member the file itself
//
// The manifest paths start with the tree's own folder name (the
// installation's top folder). The release is built in a temporary folder
// beside its final place, read back with the installer's own reader, every
// archive unpacked and hashed again, and only then renamed into place: a
// failed or interrupted run never leaves a half-written release under the
// version's name.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/publish/manifest.h"

namespace pub {

struct release_options {
  std::string tree;          // the installation's top folder
  std::string version_name;  // the release's folder name on the servers
  std::string out_root;      // local folder the web server serves
  std::string prefix = "/";  // path prefix on the server, "/" ... "/"
  std::string previous;      // previous release's directory.txt or directory.txt.zip; empty: none
  std::string rules;         // rules file (os_type / use_type by pattern); empty: none
  int version_num = -1;      // number of this release's new versions; -1: one above the previous file's
  int jobs = 0;              // worker threads; 0: one per processor
  bool replace = false;      // replace an existing release of the same name
  bool sign = false;         // add the per-file SHA-256 list (a signed release)
  // Called once the tree has been listed, before any file is read (tests use
  // it to change the tree under a running publish).
  std::function<void()> after_listing;
};

struct release_report {
  std::string release_dir;    // where the release now is, ending in "/"
  int version_num = 0;
  int files = 0;              // files published
  merge_counts counts;
  std::uint64_t file_bytes = 0;
  std::uint64_t zip_bytes = 0;
  std::vector<std::string> warnings;
};

// Publishes one release. Returns false with `err` (nothing is left behind:
// neither the release nor its temporary folder).
bool publish_release(const release_options& o, release_report& report, std::string& err);

// Reads a directory file, plain or zipped (a path ending in ".zip" holds
// "directory.txt"), strictly (manifest_parse). False with `err`.
bool load_manifest(const std::string& path, manifest& out, std::string& err);

}  // namespace pub
