// File, path and archive utilities: signatures, zip extraction, deletion,
// renaming, folders, permissions, listing, the program's own output files
// and the operating system's folders.
//
// [SECTION] Signatures.
// [SECTION] Archives.
// [SECTION] Files and folders.
// [SECTION] Output files.
// [SECTION] Operating-system folders and path helpers.
//
// Paths are byte strings with "/" as the directory character; each is put
// behind app_path (empty in this installer). Operations that can fail return
// 0 or an error code (support/errors.h: a system error number or one of the
// program's own codes). A failure records its source location in sErrFile /
// sErrLine.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/http.h"
#include "platform/file.h"
#include "platform/md5.h"
#include "support/errors.h"

// -------------------------------------------------------------- [SECTION] signatures

// The MD5 of the whole file as 32 lower-case hex digits into `sig`. Returns
// 20006 and leaves `sig` untouched when the file is absent, empty or cannot
// be opened; any other read failure also returns 20006.
int calc_file_md5(const std::string& path, std::string& sig);

// The same through a read-only mapping of the whole file (kept to compare
// the two ways of reading in bench/engine).
int calc_file_md5_mapped(const std::string& path, std::string& sig);

// The MD5 of a block of bytes, as above.
std::string md5_hex(const void* data, std::size_t n);

// The SHA-256 of the whole file as 64 lower-case hex digits, with the same
// results as calc_file_md5 otherwise (a signed release is checked by it).
int calc_file_sha256(const std::string& path, std::string& sig);
// The same, setting `missing` when the open found nothing by that name
// (ENOENT); the result is the same as without it.
int calc_file_md5(const std::string& path, std::string& sig, bool& missing);
int calc_file_sha256(const std::string& path, std::string& sig, bool& missing);

// The digest a file is checked against, chosen by the wanted value: 64
// hexadecimal digits are a SHA-256 (a signed release), anything else an MD5.
class content_digest {
 public:
  explicit content_digest(const std::string& want);
  ~content_digest();
  content_digest(const content_digest&) = delete;
  content_digest& operator=(const content_digest&) = delete;
  void add(const void* data, std::size_t n);
  std::string hex();  // once, at the end

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

// The check that every extracted member passes before it takes its final
// name: 0 when its digest `got` is `want`, else err_zip_wrong_contents with
// `why` saying so (the caller removes the temporary file; the target is
// left as it was).
int member_digest_check(const std::string& got, const std::string& want, std::string& why);

// ---------------------------------------------------------------- [SECTION] archives

// Extracts every member of the zip file into `out_folder` (ending in "/"):
// folder entries are created; "__MACOSX" members and symbolic links are
// skipped; a member whose name is absolute, holds a ".." component, a drive
// prefix or a backslash is refused (20013) and nothing is written for it.
// A file member is written to a temporary file beside its target and moved
// over the target only once it was read whole and its checksum held, so the
// target is never left half-written; the temporary file is removed on
// failure. A member packed on a Unix-like system with an execute bit is made
// executable. Parent folders are not created for file members. Returns 0 or the
// first failure (20001 unopenable archive, 20002 short member, the reader's
// code for a corrupt member, errno of a file operation).
int zip_to_file(const std::string& zip_file, const std::string& out_folder);

// The archive of one known file: only the member named `member` (a plain
// file name, found at the top of the archive) is extracted into
// `out_folder`; every other member is skipped and logged, so an archive can
// never write beside its file. The member is hashed as it is written to its
// temporary file; when `want_sig` is an MD5 (32 hexadecimal digits) or a SHA-256 (64) and the digest
// differs, the temporary file is removed, the target is left as it was and
// the result is 20014, as it is when the member is a symbolic link (links
// are never made). An archive without the member gives 20015. `got_sig`
// (may be null) receives the digest of what was read, when the member was.
// A member larger than `max_bytes` (when not 0) is not written past that
// size: the extraction stops with 27 (file too large) and nothing is left,
// so a small archive cannot fill the disk.
int zip_to_file(const std::string& zip_file, const std::string& out_folder, const std::string& member,
                const std::string& want_sig, std::string* got_sig, std::uint64_t max_bytes = 0);

// One member on its way to its file: a hidden temporary file beside the
// target (".NAME.part-N"), written and hashed as the bytes come, that takes
// the target's name only in commit(), once it is whole and, when a
// signature is wanted, its contents are the ones listed. Both extractions
// (from a file, and while the archive downloads) write through it, so every
// check before the rename sits in one place. The temporary file is removed
// when the writer is discarded, or destroyed before it committed.
class member_writer {
 public:
  member_writer() = default;
  ~member_writer() { discard(); }
  member_writer(const member_writer&) = delete;
  member_writer& operator=(const member_writer&) = delete;

  // Creates the temporary file beside `target`; with `hash` the bytes'
  // digest is taken on the way. Past `max_bytes` (when not 0) nothing more
  // is written. 0 or the failure.
  // The digest is a SHA-256 when `want_sig` is one (64 hexadecimal digits:
  // a signed release), else an MD5.
  // `temp_path`, when given, is the temporary file's name (one of that name
  // is replaced) instead of a new hidden name of its own.
  int open(const std::string& target, bool hash, std::uint64_t max_bytes, const std::string& want_sig = "",
           const std::string& temp_path = "");
  // The next bytes: 0, EFBIG when they would pass max_bytes (nothing of
  // them is written), or the write's failure.
  int write(const void* data, std::size_t n);
  // Gives the file the execute permission. 0 or the failure.
  int make_executable();
  // Closes the file; when `want_sig` is a digest (an MD5 or a SHA-256),
  // or whatever it is when `strict`, checks the digest against it
  // (err_zip_wrong_contents when it differs); then gives the file the
  // target's name. `got_sig` (may be null) receives the digest when one was
  // taken; `why` (may be null) what failed, in words. 0, or the failure,
  // after which nothing is left beside the target.
  int commit(const std::string& want_sig, std::string* got_sig, std::string* why, bool strict = false);
  // Removes the temporary file, unless it has taken its name.
  void discard();
  // Closes the temporary file and leaves it where it is, for a later run.
  void keep();

  bool is_open() const { return !temp_.empty(); }
  std::uint64_t written() const { return written_; }

 private:
  std::string target_, temp_;
  plat::File out_;
  std::unique_ptr<content_digest> digest_;
  std::uint64_t max_bytes_ = 0;
  std::uint64_t written_ = 0;
};

// Extraction while the archive downloads: a sink for the body of the
// transfer that fetches the archive of one known file. The member is
// written to a hidden temporary file beside `target` and hashed on the way,
// and takes the target's name only once the whole archive has arrived, its
// central directory agrees with the member that was read, and the digest is
// `want_sig` (an MD5, or a SHA-256 in a signed release); nothing of the archive is written to
// disk. Archives of one member, stored or deflated, as the publisher writes
// them, take this way. Anything else (another member first, encryption, a
// data descriptor, other methods) is written whole to `spool_path` instead,
// to be extracted from there by zip_to_file; so is a body too short to hold
// a member header. A large body is worked on by a worker thread of the
// extraction pool while the next bytes arrive; a small one on the calling
// thread. Every call is made from one thread (the frame loop).
class member_sink final : public body_sink {
 public:
  // Bodies up to this size are worked on in the calls that deliver them.
  static constexpr std::int64_t kInlineMax = 1 << 20;
  // Deflated members whose sizes (compressed and not) are both at most this
  // are inflated in one call once all their bytes are here; larger ones are
  // inflated as they arrive. 0 streams every member (tests compare the two).
  static std::size_t whole_inflate_max;

  member_sink(std::string target, std::string want_sig, std::uint64_t max_bytes, std::string spool_path);
  ~member_sink() override;  // aborts what is not finished
  member_sink(const member_sink&) = delete;
  member_sink& operator=(const member_sink&) = delete;

  void start(std::int64_t length) override;
  void take(const char* data, std::size_t n) override;
  char* receive_room(std::size_t& room) override;
  void took(std::size_t n) override;
  bool ready() const override;
  void resume(std::int64_t offset) override;
  void validator(const std::string& value) override { validator_ = value; }

  // Bytes of the body taken so far (over every transfer that fed it).
  std::int64_t received() const { return received_; }
  // Whether a cut transfer may be continued into this sink by asking for
  // the rest: some bytes arrived, the answer named a validator, and the
  // body has not been finished. A start() after that (a whole answer
  // instead of the rest) makes the sink start again from the first byte.
  bool resumable() const { return received_ > 0 && !validator_.empty() && !finishing_; }
  const std::string& validator_value() const { return validator_; }

  // Across runs: a body of at least kKeepMin bytes is also kept as it
  // arrives, raw, in the hidden part file `part` beside the target, with a
  // description (`info`: the server path, the validator, the length and the
  // release's digest of the file) written when the body starts. The raw
  // bytes are kept, not the extraction's state: an inflater's state cannot
  // be written down and taken up again, and running the kept bytes through
  // a fresh extraction costs a local read while it checks them again.
  // A stored member is its own raw bytes: writing them twice would double
  // the bytes written for the large incompressible files. Its part file
  // keeps only the member's header, the member's bytes are extracted into
  // `data` (the temporary file, under that fixed name) and the description
  // says where they begin ("data-from"): the archive's bytes so far are the
  // part file followed by `data`.
  // The files go when the body is complete (whatever came of it), or fails;
  // they stay when the sink is aborted (a quit, an interrupt) or the
  // process dies.
  static constexpr std::int64_t kKeepMin = 16ll * 1024 * 1024;
  void keep_raw(std::string part, std::string info, std::string server_path, std::string data);
  // Takes up a part file of an earlier run (renamed first to `previous`,
  // which is read, fed to the extraction, copied to a new part file and
  // then removed; then, when not empty, `previous_data`, the stored
  // member's bytes that follow it, read and removed alike): received()
  // becomes `bytes` (both files) and the validator `value`; `length` is the
  // body's whole length, for the new part's description.
  void preload(const std::string& previous, std::int64_t bytes, std::int64_t length, const std::string& value,
               const std::string& previous_data = "");

  // Every byte of the body has arrived: the extraction completes (at once,
  // or on the worker; see done()).
  void finish();
  // After finish(): whether the outcome is known.
  bool done() const;
  // The outcome, once done(): 0 and spooled() false: the target holds the
  // member; 0 and spooled(): the archive is at spool_path, whole; else the
  // failure (as zip_to_file's, plus err_zip_needs_file when the archive
  // turned out to need the usual extraction after its bytes were used:
  // fetch it again into a file). Nothing is left beside the target after a
  // failure.
  int result() const { return err_; }
  bool spooled() const { return spooled_; }
  // What the extraction has to say for the log (the caller writes it).
  const std::string& log_text() const { return log_; }
  // The transfer failed or the install ends: the work stops, the temporary
  // and spool files are removed. Waits for the worker to let go.
  void abort();

 private:
  enum class state { head, data, tail, spool, failed, finished };
  void feed(const char* data, std::size_t n);
  void feed_head(const char* data, std::size_t n);
  void feed_data(const char*& data, std::size_t& n);
  void feed_whole(const char*& data, std::size_t& n);
  bool start_streaming();
  void to_spool(const char* data, std::size_t n);
  void fail(int err, const std::string& why);
  void complete();
  int check_central_directory(bool& executable);
  void post_pending();
  void discard_files();
  void start_again();
  void begin_raw(std::int64_t length);
  bool write_description(std::int64_t data_from);
  void keep_member_bytes(std::size_t header);
  void remove_raw();

  const std::string target_, want_sig_, spool_path_;
  const std::uint64_t max_bytes_;
  state state_ = state::head;
  std::string head_;            // the local header while it arrives
  std::string tail_;            // what follows the member: the central directory
  std::uint64_t tail_start_ = 0;  // archive offset of tail_[0]
  std::uint64_t csize_ = 0, usize_ = 0, consumed_ = 0, written_ = 0;
  std::uint16_t method_ = 0;
  bool whole_ = false;  // inflated in one call (see whole_inflate_max)
  member_writer out_;
  plat::File spool_;
  struct hashing;
  std::unique_ptr<hashing> h_;  // digest and inflater
  int err_ = 0;
  bool spooled_ = false;
  std::string log_;
  std::int64_t received_ = 0;  // bytes taken (main thread only)
  std::string validator_;      // of the answer that began the body
  std::string raw_path_, info_path_, server_path_, data_path_;  // keep_raw(); empty: nothing kept
  plat::File raw_;             // the part file while it is written (worker side)
  bool raw_begun_ = false;     // this sink has made (or tried to make) the part file (worker side)
  std::int64_t raw_length_ = 0;  // the body's length, as the description gives it (worker side)
  bool data_kept_ = false;     // the stored member's bytes are kept in data_path_ (worker side)

  // Hand-over to the worker (threaded bodies only).
  struct worker;
  worker* worker_ = nullptr;
  // An allocator that leaves new bytes as they are: a block grown to be
  // received into is not filled with zeros first.
  template <class T>
  struct uninit_allocator : std::allocator<T> {
    template <class U>
    struct rebind {
      using other = uninit_allocator<U>;
    };
    uninit_allocator() = default;
    template <class U>
    uninit_allocator(const uninit_allocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
      ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
      ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
  };
  std::vector<char, uninit_allocator<char>> pending_;  // bytes gathered before they go to the worker
  std::size_t receiving_ = 0;  // receive_room(): bytes of pending_ lent to the receive
  std::atomic<std::size_t> queued_{0};
  std::atomic<bool> aborted_{false};
  bool finishing_ = false;
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  bool finished_ = false;  // under m_
};

// Whether a file name is one of the hidden temporary files an extraction
// writes beside its target (".NAME.part-N"); an interrupted run leaves them.
// A release may not carry such names (the publisher refuses them).
bool is_extraction_leftover(const std::string& name);
// Deletes the extraction leftovers directly in `folder` (ending in "/"),
// except the paths for which `is_release_file` (when given) answers true:
// a file the release lists is the release's, whatever its name.
// Returns how many went.
int remove_extraction_leftovers(const std::string& folder,
                                const std::function<bool(const std::string&)>& is_release_file = nullptr);

// ------------------------------------------------------- [SECTION] files and folders

// Empty path: 2. A path ending in "/" removes that empty folder; any other
// path deletes the file. 0 or the failure code.
int delete_file(const std::string& path);
// Gives the owner write permission when it lacks it. 0 or the failure code.
int unlock_file(const std::string& path);
// Moves folder + old_name to folder + new_name. 0 or the failure code.
int rename_file(const std::string& folder, const std::string& old_name, const std::string& new_name);
// Creates one folder (one final "/" dropped), not its parents. 0 or the code.
int make_folder(const std::string& path);
// 0 when a folder-creation result needs no alert (0, 17 exists, 183), else 1.
int show_make_dir_err(int code);
// Creates every missing folder of `path` (a final "/" dropped), parents
// first, its first component too (on Windows "C:\\Name" of "C:\\Name/Sub");
// with `private_to_user` for the user alone (mode 0700). 0, or the first
// failure show_make_dir_err flags, with `failed_at` (may be null) naming
// that folder.
int make_folder_chain(const std::string& path, bool private_to_user, std::string* failed_at);
// Always 0: deletion failures are not shown.
int show_del_err(int code);
// Lists `folder` (which must end in "/" or "\", else the program ends):
// names not empty and not starting with "." with their folder flags, sorted
// by name without regard to case. Returns the count; 0 for a missing folder.
int opensave_getitems(const std::string& folder, int mode, std::vector<std::string>& names,
                      std::vector<int>& is_folder);

// ----------------------------------------------------------- [SECTION] output files

// The program's output stream, opened by ouf_open; the caller writes the
// body and closes it.
extern std::ofstream ouf;

// Opens app_path + path for writing with the common header: type 10000
// (binary: "i" + 4-byte version) or 10001 (text: "I\n" + version + " version\n");
// any other type ends the program. An upper-case three-letter ending is
// written in lower case. On a first failure the file's folder is created
// and the open tried again; a second failure raises a type 1 alert. 1 on
// success, 0 on failure.
int ouf_open(const std::string& path, int type, int version);

// ---------------------------------------- [SECTION] operating-system folders, paths

// Folders of the operating system, each ending in "/":
//   0 the folder holding the installer's executable;
//   1 the user's desktop folder;
//   2 the folder programs are installed under: on Linux the user's home;
//   3 a temporary folder private to this user (mode 0700), never the shared
//     /tmp itself; empty when no safe folder can be had;
//   4 the folder for preferences, $XDG_CONFIG_HOME/skyvane/ (default
//     ~/.config/skyvane/), created when missing.
void get_OS_abs_path(int which, std::string& path);

// The last component of a path with its trailing "/" or "\" if it has one
// ("a/b/" gives "b/", "a/b" gives "b", "b" gives "b").
std::string get_file_with_path(const std::string& path);

// The root under which the default destination "Skyvane/" is made, from the
// programs folder (kind 2). On systems with drive letters the start-up strips
// components down to the drive root; a POSIX home folder is itself that root,
// so on Linux the programs folder is returned unchanged and the default
// destination comes out as $HOME/Skyvane/.
std::string default_dest_root(const std::string& programs_folder);

// Removes everything up to and including the first "/"; a path without "/"
// is left alone (turns a manifest path into a path below the destination).
void trim_dest_folder(std::string& path);

// 1 when a zip member name or manifest path stays below the folder it is
// put under: not empty, not absolute, no ".." component, no drive prefix,
// no backslash. Else 0.
int relative_path_is_safe(const std::string& path);
