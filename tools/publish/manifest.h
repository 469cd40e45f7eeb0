// The directory file as the publisher builds it: the model, the text it is
// written as, a strict reader for the previous release's file, and the merge
// of a release's files with the history of the releases before it.
//
// The text ("directory.txt"):
//   I
//   900
//   INSTALLER
//   DIR <folder>/                                  whenever the folder changes
//   FILE <use> <os> <ver> <down> <disk> <sig> <name>  one line per version
// All versions of one path are written on consecutive lines, oldest first
// (the installer groups consecutive lines with the same path into one
// history and acts on the last). Sizes are thousands of bytes rounded up.
// Lines end in a line feed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pub {

// One FILE line.
struct version {
  int use_type = 0;        // category 0..4
  int os_type = 0;         // 0 every system, 1 Macintosh, 2 Windows, 3 Linux, 6 also Linux, 4/5 none
  int version_num = 0;     // the release number that introduced this version
  long long down_size = 0; // archive size, thousands of bytes, rounded up; 0 for "GONE"
  long long disk_size = 0; // file size, thousands of bytes, rounded up; 0 for "GONE"
  std::string sig;         // MD5 as 32 lower-case hex digits, or "GONE"
  bool operator==(const version&) const = default;
};

// All versions of one manifest path ("Top/folder/name"), oldest first.
struct history {
  std::string path;
  std::vector<version> versions;
};

struct manifest {
  std::vector<history> files;
};

// One file of the release being published.
struct current_file {
  std::string path;  // manifest path, top folder first
  std::string sig;   // MD5 of its contents
  long long down_size = 0;
  long long disk_size = 0;
  int os_type = 0;
  int use_type = 0;
};

// What the merge did, for the report.
struct merge_counts {
  int added = 0;      // paths new in this release (or back after being gone)
  int changed = 0;    // paths whose contents changed
  int unchanged = 0;  // paths whose contents are the same as before
  int gone = 0;       // paths that this release removes
};

// ceil(bytes / 1000).
long long thousands_up(std::uint64_t bytes);

// Whether `sig` is 32 lower-case hex digits.
bool is_md5_hex(const std::string& sig);

// The folder part of a manifest path with its final "/", and the name after it.
std::string folder_of(const std::string& path);
std::string name_of(const std::string& path);

// Orders paths by folder, then by name (byte order), so that each folder's
// files are written under one DIR line.
bool path_less(const std::string& a, const std::string& b);

// The text of the directory file.
std::string manifest_text(const manifest& m);

// Reads the text of a directory file (the same syntax the installer reads:
// any mix of CR, LF and blanks between lines; unknown lines ignored), but
// strictly: numbers must be numbers in range, signatures 32 hex digits or
// "GONE", no FILE line before a DIR line, no path ending in "/". Versions of
// one path are gathered even when not consecutive. Returns false with `err`
// naming the line.
bool manifest_parse(const std::string& text, manifest& out, std::string& err);

// The manifest of a new release: every path of `prev` keeps all its versions;
// a path of `now` gets a new version when its signature differs from the
// current one (else its current version takes the new types and archive
// size); a path of `prev` missing from `now` gets a "GONE" version unless it
// is gone already. New versions carry `version_num`. Sorted by path_less.
manifest manifest_merge(const manifest* prev, const std::vector<current_file>& now, int version_num,
                        merge_counts& counts);

// The highest version_num of a manifest (0 when it is empty).
int manifest_top_version(const manifest& m);

}  // namespace pub
