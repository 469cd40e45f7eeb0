// The manifest in memory, the reader of the directory file, the examination
// of the destination disk and the choice of files to fetch or delete.
//
// [SECTION] Data model: sim_info_struct, file_history_struct, file_version_struct.
// [SECTION] Reader: read_directory, new_format, path_has_no_file.
// [SECTION] Selection: choose_files, the OS match, local paths.
// [SECTION] Seams for the interface: select_alert, dir_progress_bar.
//
// The directory file ("directory.txt") is a text file with the common header
// "I" / 840 or 900 / "INSTALLER", then lines of three kinds:
//   DIR <folder>                    sets the current folder (written with its final "/")
//   FILE <use> <os> <ver> <down> <disk> <sig> <name...>
//                                   one version of the path folder + name
//   anything else                   ignored
// Consecutive FILE lines with the same path are the versions of one path,
// oldest first; the last one is the current version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/IO_UTILS.h"

// ------------------------------------------------------------ [SECTION] data model

// A text of the manifest model: a pointer and a length, without a heap block
// of its own when it points into the text table of the manifest (the reader)
// or at a fixed text ("NONE", "GONE"); any other text assigned to it is
// copied into a block it owns. Always followed by a NUL, so c_str() holds.
// Reads like a const std::string: it converts to std::string and
// std::string_view, compares with ==, concatenates with +. A text that points
// into the table lives as long as the table: until the next read_directory
// or engine_state_reset (copy it into a std::string to keep it longer).
class mtext {
 public:
  static constexpr std::size_t npos = std::string::npos;

  mtext() = default;
  mtext(const char* s) { assign(std::string_view(s)); }
  mtext(const std::string& s) { assign(std::string_view(s)); }
  mtext(std::string_view s) { assign(s); }
  mtext(const mtext& o) { copy_from(o); }
  mtext(mtext&& o) noexcept : p_(o.p_), n_(o.n_), owned_(o.owned_) { o.p_ = ""; o.n_ = 0; o.owned_ = false; }
  ~mtext() {
    if (owned_) delete[] p_;
  }
  mtext& operator=(const mtext& o) {
    if (this != &o) {
      release();
      copy_from(o);
    }
    return *this;
  }
  mtext& operator=(mtext&& o) noexcept {
    if (this != &o) {
      release();
      p_ = o.p_;
      n_ = o.n_;
      owned_ = o.owned_;
      o.p_ = "";
      o.n_ = 0;
      o.owned_ = false;
    }
    return *this;
  }
  mtext& operator=(const char* s) { return *this = mtext(s); }
  mtext& operator=(const std::string& s) { return *this = mtext(s); }
  mtext& operator=(std::string_view s) { return *this = mtext(s); }

  // A text that does not own its bytes: `s` must stay valid and have a NUL at s[n].
  static mtext borrowed(const char* s, std::size_t n) {
    mtext t;
    t.p_ = s;
    t.n_ = static_cast<std::uint32_t>(n);
    return t;
  }

  const char* c_str() const { return p_; }
  const char* data() const { return p_; }
  std::size_t size() const { return n_; }
  std::size_t length() const { return n_; }
  bool empty() const { return n_ == 0; }
  char operator[](std::size_t i) const { return p_[i]; }
  char front() const { return p_[0]; }
  char back() const { return p_[n_ - 1]; }
  const char* begin() const { return p_; }
  const char* end() const { return p_ + n_; }
  std::string_view view() const { return std::string_view(p_, n_); }
  std::string str() const { return std::string(p_, n_); }
  operator std::string_view() const { return view(); }
  operator std::string() const { return str(); }
  std::size_t find(char c, std::size_t pos = 0) const { return view().find(c, pos); }
  std::size_t find(std::string_view s, std::size_t pos = 0) const { return view().find(s, pos); }
  std::size_t rfind(char c, std::size_t pos = npos) const { return view().rfind(c, pos); }
  std::size_t find_last_of(char c, std::size_t pos = npos) const { return view().find_last_of(c, pos); }
  std::string substr(std::size_t pos = 0, std::size_t n = npos) const { return std::string(view().substr(pos, n)); }
  int compare(std::string_view s) const { return view().compare(s); }

  friend bool operator==(const mtext& a, const mtext& b) { return a.view() == b.view(); }
  friend bool operator==(const mtext& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const mtext& a, const std::string& b) { return a.view() == std::string_view(b); }
  friend bool operator==(const mtext& a, const char* b) { return a.view() == std::string_view(b); }
  friend bool operator<(const mtext& a, const mtext& b) { return a.view() < b.view(); }
  friend std::string operator+(const mtext& a, std::string_view b) { return std::string(a.view()).append(b); }
  friend std::string operator+(const mtext& a, const std::string& b) { return std::string(a.view()).append(b); }
  friend std::string operator+(const mtext& a, const char* b) { return std::string(a.view()).append(b); }
  friend std::string operator+(const mtext& a, char b) { return std::string(a.view()) + b; }
  friend std::string operator+(const std::string& a, const mtext& b) { return std::string(a).append(b.view()); }
  friend std::string operator+(std::string&& a, const mtext& b) { return std::move(a.append(b.view())); }
  friend std::string operator+(const char* a, const mtext& b) { return std::string(a).append(b.view()); }
  friend std::ostream& operator<<(std::ostream& o, const mtext& t) { return o << t.view(); }

 private:
  void assign(std::string_view s);
  void copy_from(const mtext& o) {
    if (o.owned_) {
      assign(o.view());
    } else {
      p_ = o.p_;
      n_ = o.n_;
      owned_ = false;
    }
  }
  void release() {
    if (owned_) delete[] p_;
    p_ = "";
    n_ = 0;
    owned_ = false;
  }
  const char* p_ = "";
  std::uint32_t n_ = 0;
  bool owned_ = false;
};

// One FILE line: one version of one path. The constructor sets every member
// and nothing more: a value-initialised version is not cleared byte by byte
// first (the reader makes one per FILE line, in memory it just touched).
struct file_version_struct {
  file_version_struct() noexcept {}
  int use_type = 0;        // category 0..4; carried, never branched on
  int os_type = 0;         // 0 every system, 1 Macintosh, 2 Windows, 3 Linux, 6 also Linux, 4/5 none
  int version_num = 0;     // carried, never compared
  std::int64_t down_size = 0;  // transfer size, thousands of bytes
  std::int64_t disk_size = 0;  // installed size, thousands of bytes
  mtext sig_want;          // MD5 as 32 lower-case hex digits, or "GONE" (the release removes the path)
  mtext sig_have;          // signature on disk, "NONE" when there is no file; empty until examined
  mtext path;              // manifest path: top folder name + "/" + ... ; "/" only
  int on_disk = 0;         // sig_have equals sig_want
  int want_to_grab_it = 0; // the executor must fetch this file
  int want_to_nuke_it = 0; // the executor must delete this file
  int absent = 0;          // examined, and opening it found nothing by that name (no file, folder in its place)
};

// The versions of one path. Most paths have one version, held in place; the
// list moves to a heap block of its own only from the second one on. Reads
// and grows like a std::vector (back, [], size, range-for, push_back,
// emplace_back, resize, clear); pointers into it stay valid until it grows.
class version_list {
 public:
  using value_type = file_version_struct;
  using size_type = std::size_t;
  using reference = file_version_struct&;
  using const_reference = const file_version_struct&;
  using iterator = file_version_struct*;
  using const_iterator = const file_version_struct*;

  version_list() = default;
  version_list(const version_list& o) {
    reserve(o.n_);
    for (const file_version_struct& v : o) push_back(v);
  }
  version_list(version_list&& o) noexcept { take(std::move(o)); }
  ~version_list() {
    file_version_struct* const d = data();
    for (std::uint32_t i = 0; i < n_; ++i) d[i].~file_version_struct();
    if (heap_) ::operator delete(heap_);
  }
  version_list& operator=(const version_list& o) {
    if (this != &o) {
      version_list copy(o);
      free_all();
      take(std::move(copy));
    }
    return *this;
  }
  version_list& operator=(version_list&& o) noexcept {
    if (this != &o) {
      free_all();
      take(std::move(o));
    }
    return *this;
  }

  file_version_struct* data() { return heap_ ? heap_ : slot(); }
  const file_version_struct* data() const { return heap_ ? heap_ : slot(); }
  std::size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  iterator begin() { return data(); }
  iterator end() { return data() + n_; }
  const_iterator begin() const { return data(); }
  const_iterator end() const { return data() + n_; }
  file_version_struct& operator[](std::size_t i) { return data()[i]; }
  const file_version_struct& operator[](std::size_t i) const { return data()[i]; }
  file_version_struct& front() { return data()[0]; }
  const file_version_struct& front() const { return data()[0]; }
  file_version_struct& back() { return data()[n_ - 1]; }
  const file_version_struct& back() const { return data()[n_ - 1]; }

  void reserve(std::size_t want) {
    if (want <= cap_) return;
    auto* block = static_cast<file_version_struct*>(::operator new(want * sizeof(file_version_struct)));
    file_version_struct* from = data();
    for (std::size_t i = 0; i < n_; ++i) {
      new (block + i) file_version_struct(std::move(from[i]));
      from[i].~file_version_struct();
    }
    if (heap_) ::operator delete(heap_);
    heap_ = block;
    cap_ = static_cast<std::uint32_t>(want);
  }
  template <class... A>
  file_version_struct& emplace_back(A&&... a) {
    if (n_ == cap_) {
      // The argument may be one of this list's versions: made before the move.
      file_version_struct made(std::forward<A>(a)...);
      reserve(std::size_t{cap_} * 2);
      file_version_struct* at = new (data() + n_) file_version_struct(std::move(made));
      ++n_;
      return *at;
    }
    file_version_struct* at = new (data() + n_) file_version_struct(std::forward<A>(a)...);
    ++n_;
    return *at;
  }
  void push_back(const file_version_struct& v) { emplace_back(v); }
  void push_back(file_version_struct&& v) { emplace_back(std::move(v)); }
  void pop_back() { data()[--n_].~file_version_struct(); }
  void resize(std::size_t n) {
    while (n_ > n) pop_back();
    reserve(n);
    while (n_ < n) emplace_back();
  }
  void clear() {
    while (n_ > 0) pop_back();
  }

 private:
  file_version_struct* slot() { return reinterpret_cast<file_version_struct*>(inline_); }
  const file_version_struct* slot() const { return reinterpret_cast<const file_version_struct*>(inline_); }
  void free_all() {
    clear();
    if (heap_) ::operator delete(heap_);
    heap_ = nullptr;
    cap_ = 1;
  }
  // Takes o's versions; this list must be empty and in place.
  void take(version_list&& o) {
    if (o.heap_) {
      heap_ = o.heap_;
      cap_ = o.cap_;
      n_ = o.n_;
      o.heap_ = nullptr;
      o.cap_ = 1;
      o.n_ = 0;
    } else if (o.n_ == 1) {
      new (slot()) file_version_struct(std::move(*o.slot()));
      n_ = 1;
      o.pop_back();
    }
  }
  file_version_struct* heap_ = nullptr;  // the versions when more than one fit in place
  std::uint32_t n_ = 0;
  std::uint32_t cap_ = 1;
  alignas(file_version_struct) unsigned char inline_[sizeof(file_version_struct)];
};

// All versions of one path, in the order of the file; the last is current.
// (Its constructor, like the version's, leaves out the clearing of the
// whole entry that a value-initialised aggregate would get.)
struct file_history_struct {
  file_history_struct() noexcept {}
  version_list versions;
};

// The whole manifest, in the order of the file.
struct sim_info_struct {
  std::vector<file_history_struct> files;
  // The text table the model's paths and signatures point into: blocks that
  // never move, filled one after the other by the reader.
  std::vector<std::unique_ptr<char[]>> text_blocks;
  // A signed release: the SHA-256 of each entry's current version, in the
  // order of `files` (empty for a GONE version), from the per-file list.
  // Empty for an unsigned release, which is checked by MD5 alone.
  std::vector<std::string> sha256;
};

extern sim_info_struct sim_info;
// Folders (with final "/") strictly inside the destination that held a file
// this install deleted; emptied by read_directory.
extern std::set<std::string> deleted_files;
// Set when a file still to fetch belongs to one operating system; never cleared.
extern int this_install_has_exes;
// Threads that hash files during the disk examination: 0 (the default) one
// per processor, at most two; 1 hashes on the calling thread. The results are
// the same either way.
extern int examine_threads;

// ---------------------------------------------------------------- [SECTION] reader

// Reads the directory file `file` into sim_info and examines the destination
// (dest_dir_path) for every current version: sig_have, on_disk and the totals
// stg.down_req / stg.disk_req. `title` is the caption of the progress box.
// Returns 3 when read and examined; 2 when the header was rejected (in a
// network install the user is then told to get a newer installer) or when a
// path of the file would leave the destination or holds a control character
// (a type 1 alert names it and sim_info is left empty). An absent or empty file, or a FILE path that ends
// in "/", ends the program (type 2 alert).
int read_directory(const std::string& file, const std::string& title);

// The per-file SHA-256 list of a signed release ("directory.sha256"), read by
// the next read_directory into sim_info.sha256 before the examination, which
// then hashes with SHA-256 instead of MD5. Empty: an unsigned release. A list
// that does not read, or lacks a file the release installs, makes
// read_directory refuse the directory file (2).
extern std::string file_hashes_path;

// What a file fetched for entry `entry` must hash to: its SHA-256 in a signed
// release, else its MD5 (the manifest's signature).
std::string wanted_digest(std::size_t entry);

// Tells the user that the directory file is newer than this installer
// understands, opens the download page and ends the run after this frame.
void new_format(const std::string& file);

// 1 when the path ends in "/" (it names no file), else 0. The path must not be empty.
int path_has_no_file(const std::string& path);

// 1 when a manifest path stays inside the destination: relative, no ".."
// component, no drive prefix ("C:"), no backslash, not empty. Else 0.
int manifest_path_is_safe(const std::string& path);

// Reads the directory file without examining the disk (publisher checks, the
// bench): the same as read_directory up to the examination. Same results.
int read_directory_no_scan(const std::string& file, const std::string& title);

// ------------------------------------------------------------- [SECTION] selection

// 1 when the version belongs to the system chosen in stg.download_os: its
// os_type equals it, or is 0, or is 6 while Linux (3) is chosen.
int os_match(const file_version_struct& v);

// The most bytes a file or archive listed as `thousands` thousand bytes may
// have: sizes are listed rounded, so one thousand more. In 64-bit integers,
// so that files far beyond 16 GB are held to their listed size exactly.
std::int64_t listed_bytes_limit(std::int64_t thousands);

// The signature of a file on disk (calc_file_md5): an empty file has none,
// like a missing one, unless `empty_listed` (the release lists this path as
// an empty file), when it has the MD5 of no bytes. 0 or calc_file_md5's
// code, with `sig` untouched on failure.
int file_signature(const std::string& local, std::string& sig, bool empty_listed);
// The same with the SHA-256 instead of the MD5 when `sha256`.
int file_digest(const std::string& local, std::string& sig, bool empty_listed, bool sha256, bool* missing = nullptr);
// Whether any version of the path is an empty file.
bool lists_empty_file(const file_history_struct& h);

// dest_dir_path + the manifest path without its first component.
std::string local_path_of(const std::string& manifest_path);

// The folder of a local path, keeping its final "/"; a path of three
// characters or fewer is its own folder.
std::string local_folder_of(const std::string& local_path);

// Marks every current version to fetch (want_to_grab_it) or delete
// (want_to_nuke_it), asking about files the user changed (select_alert).
// Returns 1 when every entry was decided, 0 when the user cancelled the
// whole installation (the entries from the cancelled one on keep their flags).
int choose_files();

// -------------------------------------------------------------- [SECTION] executor

// What a download stream is doing. A stream works on one manifest entry at
// a time and keeps it until the entry is finished.
enum class stream_phase {
  idle,        // not in use: not started, or retired by the stream rule
  waiting,     // takes the next entry no other stream has, at its next turn
  working,     // works on its entry: deletes or skips it, or fetches it (a
               // transfer in its slot, or one to start once a server may be asked)
  extracting,  // every byte of the entry's archive has arrived; its extraction is ending
};

// Failed fetches of a stream's entry from one server.
struct fetch_failures {
  int count = 0;
  double next_try = 0;  // seconds on the executor's clock before which it is not asked again
  std::string reason;   // of the last failure
};

// One download stream of the running install; stream s uses pool slot s + 2.
struct stream_record {
  stream_phase phase = stream_phase::idle;
  int entry = 0;                      // the manifest entry it works on
  int server = 0;                     // the server its transfer asks
  std::unique_ptr<member_sink> sink;  // the extraction its transfer feeds; null when none
  fetch_failures failures[10];        // of its entry, per server (the server tables' ten)
  int bad_archives = 0;               // of its entry: arrived unreadable or with the wrong contents
  bool whole_archive = false;         // its entry's archive is fetched into a file and extracted from there
  std::int64_t resumed_at = 0;        // bytes its sink held when the running transfer began (0: a whole body)

  bool active() const { return phase != stream_phase::idle; }
  // Takes entry `i` to work on: its counts start again.
  void take(int i);
  // Ends its extraction and forgets its counts (a new install starts).
  void forget();
};

// Streams and progress of the running install. The executor advances it;
// the state machine restarts it when an install starts, ends or is abandoned.
class next_class {
 public:
  int next_index = 0;           // next manifest entry to hand to a stream
  int dir_done = 0;             // every stream has run past the last entry; never cleared
  stream_record stream[4];      // the download streams
  float star_time = 0;          // real time of the last restart
  double file_down = 0;         // thousands of bytes received of the entries downloading now
  std::int64_t comp_down = 0;   // download size of the entries fully fetched in this install
  std::int64_t totl_disk = 0;   // installed size of the entries fully fetched in this install

  // Streams in use.
  int active_streams() const;
};

extern next_class next;

// Restart of the bookkeeping: partial downloads of the active streams are
// deleted, two streams (one for other install types) wait for entries, and
// the counters and the start time are reset. dir_done is left alone.
void restart_bookkeeping();

// After stream s finished its entry: follows the measured rate with the
// number of streams (2 below 50 thousand bytes/s, 4 above), or the
// preference. May start one more stream, retire s (idle), or let s wait
// for the next entry.
void next_stream_rule(int s);

// The archive a stream downloads into: temp_path + s + ".zip".
std::string stream_archive_path(int s);

// Creates the destination (and the folders above it that are missing), every
// folder the release needs, and the fixed folders Output/... and Resources/...
// Failures are shown with make_dir_error; the install goes on.
void make_dirs();
void make_dir_error(const std::string& path, int code);

// What one step of the executor came to.
enum class executor_step {
  progressed,  // a stream took an entry, started or ended a transfer, received bytes or finished its entry
  idle,        // every stream waits: on the network, an extraction, or a server's retry delay
  done,        // every stream ran out of entries and the install has ended (got_failed_install
               // tells whether a failure met on the way spoils it)
  failed,      // the install has ended as failed (got_failed_install is set; the user was told why)
};

// One step of the install: every active stream takes its step (step_stream):
// it polls its transfer, extracts a finished archive next to its file,
// deletes an obsolete file, or skips an entry, then takes the next one. A
// file whose signature is wrong after extraction is fetched again from
// another server (given up after a few tries). Once every stream has run
// out of entries the install ends (finish_install): empty folders left by
// deletions are removed and the destination may take the version's name.
executor_step grab_files();

// Extracts `archive` into the folder of `dest_file` and deletes the archive.
// With `want_sig` (the manifest's signature), only the member named like
// `dest_file` is extracted, and it takes its name only when its contents
// match. Returns 0 or the failure; a fault of the archive (it cannot be read,
// lacks the file, or holds other contents: archive_fault) is left to the
// caller to fetch again; any other failure sets got_failed_install and is
// shown.
int extract_and_delete_file(const std::string& archive, const std::string& dest_file,
                            const std::string& want_sig = "", std::uint64_t max_bytes = 0);

// The end of an extraction of `archive` (a file, or the address it was
// extracted from while it arrived) into `dest_file`: a failure that is not
// the archive's own (or any failure, unless the contents were `checked`
// against the release) sets got_failed_install and is shown; the result is
// logged. Returns `err`.
// `on_server` says that `archive` is the address of an archive on a server
// (extracted while it arrived) rather than a file on this machine.
int extraction_outcome(int err, const std::string& archive, const std::string& dest_file, bool checked,
                       bool on_server = false);

// Ends the extractions of the streams that are running or ending: their
// work stops and what they wrote is removed (the install ends, or starts).
void end_extractions();

// Whether an extraction failure lies in the fetched archive itself (fetch it
// again elsewhere) rather than on this machine (a full disk, no permission).
bool archive_fault(int err);

// ---------------------------------------------------- [SECTION] interface seams

// The answers of select_alert.
enum select_answer {
  sel_replace = 1,      // replace or delete this one file
  sel_keep = 2,         // leave this one file alone
  sel_cancel = 3,       // cancel the whole installation
  sel_replace_all = 4,  // replace or delete every such file in this folder
  sel_keep_all = 5,     // keep every such file in this folder
};

// Asks what to do with a locally modified file at `local_path` (`is_gone`:
// the release deletes it). With select_alert_hook set (the window build),
// the hook asks; otherwise the answer is select_alert_default and the
// question is logged.
int select_alert(const std::string& local_path, int is_gone);
extern int (*select_alert_hook)(const std::string& local_path, int is_gone);
// Answer without a window: 2 (keep) unless set, e.g. from --modified=.
extern int select_alert_default;
// Sets select_alert_default from the text of the --modified= option:
// "keep" (2), "replace" (1) or "cancel" (3). Returns 0 and changes nothing
// for any other text.
int select_alert_default_from(const std::string& value);

// The progress box while the file is read (phase 0) and the disk examined
// (phase 1). With dir_progress_hook set, it draws and presents one frame;
// otherwise nothing is shown (a line reaches the log now and then).
void dir_progress_bar(float lo, float cur, float hi, int phase, const std::string& title,
                      const std::string& detail);
extern void (*dir_progress_hook)(float lo, float cur, float hi, int phase, const std::string& title,
                                 const std::string& detail);

// The texts the progress box shows: the phase line and the filled fraction.
std::string dir_progress_phase_text(int phase);
float dir_progress_fraction(float lo, float cur, float hi);

// Puts sim_info, deleted_files, this_install_has_exes and the hooks' defaults
// back to their start values (tests).
void engine_state_reset();
