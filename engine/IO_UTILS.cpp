#include "engine/IO_UTILS.h"

#include <libdeflate.h>
#include <minizip/unzip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <thread>
#include <memory>
#include <random>

#include "engine/xmap.h"
#include "support/errors.h"
#include "platform/file.h"
#include "platform/md5.h"
#include "platform/sha256.h"
#include "platform/system.h"
#include "support/alert.h"
#include "support/hl_init.h"

// Records where a failure happened, for the log lines of zip_to_file.
#define IO_FAIL_HERE() (sErrFile = "IO_UTILS.cpp", sErrLine = __LINE__)

// ------------------------------------------------------------------ [SECTION] signatures

std::string md5_hex(const void* data, std::size_t n) { return plat::md5_hex(data, n); }

namespace {

// The whole file through `Digest` (plat::Md5 or plat::Sha256).
template <typename Digest>
int calc_file_digest(const std::string& path, std::string& sig, bool* missing = nullptr) {
  // The file is read in 1 MiB blocks rather than through a mapping. Both run
  // at the same speed (bench/engine), but a mapping of a file that another
  // program shortens meanwhile kills the process with a bus error, and the
  // examination reads whatever lies in the user's folder; blocks also keep
  // the memory used small whatever the file's size.
  plat::File f;
  if (const int e = plat::file_open_read(app_path + path, f); e != 0) {
    IO_FAIL_HERE();
    if (missing) *missing = e == ENOENT;  // nothing by that name
    return err_file_open_read;
  }
  Digest digest;
  constexpr std::size_t kBlock = 1u << 20;
  static thread_local std::unique_ptr<unsigned char[]> buf(new unsigned char[kBlock]);
  std::uint64_t total = 0;
  for (;;) {
    std::size_t got = 0;
    if (plat::file_read(f, buf.get(), kBlock, got) != 0) {
      IO_FAIL_HERE();
      return err_file_open_read;
    }
    if (got == 0) break;
    digest.add(buf.get(), got);
    total += got;
  }
  if (total == 0) {  // an empty file counts as no file
    IO_FAIL_HERE();
    return err_file_open_read;
  }
  sig = digest.hex();
  return 0;
}

bool is_sha256_text(const std::string& s) {
  return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

int calc_file_md5(const std::string& path, std::string& sig) { return calc_file_digest<plat::Md5>(path, sig); }

int calc_file_sha256(const std::string& path, std::string& sig) { return calc_file_digest<plat::Sha256>(path, sig); }

int calc_file_md5(const std::string& path, std::string& sig, bool& missing) {
  missing = false;
  return calc_file_digest<plat::Md5>(path, sig, &missing);
}

int calc_file_sha256(const std::string& path, std::string& sig, bool& missing) {
  missing = false;
  return calc_file_digest<plat::Sha256>(path, sig, &missing);
}

struct content_digest::impl {
  std::unique_ptr<plat::Md5> md5;
  std::unique_ptr<plat::Sha256> sha;
};

content_digest::content_digest(const std::string& want) : impl_(new impl) {
  if (is_sha256_text(want))
    impl_->sha.reset(new plat::Sha256);
  else
    impl_->md5.reset(new plat::Md5);
}

content_digest::~content_digest() = default;

void content_digest::add(const void* data, std::size_t n) {
  if (impl_->sha)
    impl_->sha->add(data, n);
  else
    impl_->md5->add(data, n);
}

std::string content_digest::hex() { return impl_->sha ? impl_->sha->hex() : impl_->md5->hex(); }

int member_digest_check(const std::string& got, const std::string& want, std::string& why) {
  if (got == want) return 0;
  why = "has the " + std::string(got.size() == 64 ? "SHA-256 " : "signature ") + got + ", not " + want +
        "; the file was not replaced";
  return err_zip_wrong_contents;
}

int calc_file_md5_mapped(const std::string& path, std::string& sig) {
  xmap_class map(path);
  if (!map.mBegin) {
    IO_FAIL_HERE();
    return err_file_open_read;
  }
  sig = md5_hex(map.mBegin, static_cast<std::size_t>(map.size()));
  return 0;
}

// -------------------------------------------------------------------- [SECTION] archives

int relative_path_is_safe(const std::string& path) {
  if (path.empty() || path[0] == '/') return 0;
  // Backslashes and colons are folder and drive characters elsewhere.
  const char* p = path.data();
  const std::size_t n = path.size();
  if (std::memchr(p, '\\', n) || std::memchr(p, ':', n)) return 0;
  // A ".." component climbs out; most paths hold no ".." at all.
  for (std::size_t at = path.find(".."); at != std::string::npos; at = path.find("..", at + 1)) {
    const bool starts = at == 0 || p[at - 1] == '/';
    const bool ends = at + 2 == n || p[at + 2] == '/';
    if (starts && ends) return 0;
  }
  return 1;
}

namespace {

constexpr int kNameMax = 65535;  // longest member name a zip header can hold

bool begins_with_macosx(const char* name) { return std::strncmp(name, "__MACOSX", 8) == 0; }

// A name for the temporary file beside `target`, in the same folder so that
// the final rename stays on one file system.
std::string temp_name_for(const std::string& target, unsigned serial) {
  const std::size_t slash = target.find_last_of('/');
  const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.size() > 100) base.resize(100);  // keep within the file-name limit
  return folder + "." + base + ".part-" + std::to_string(serial);
}

unsigned next_serial() {
  static std::atomic<unsigned> serial{std::random_device{}()};
  return serial.fetch_add(1);
}

// An MD5 (32 hexadecimal digits) or a SHA-256 (64) to check a member against.
bool is_signature(const std::string& s) {
  return (s.size() == 32 || s.size() == 64) && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

// ------------------------------------------------------------ the member writer

int member_writer::open(const std::string& target, bool hash, std::uint64_t max_bytes, const std::string& want_sig,
                        const std::string& temp_path) {
  discard();
  target_ = target;
  max_bytes_ = max_bytes;
  written_ = 0;
  digest_.reset(hash ? new content_digest(want_sig) : nullptr);
  int err = 0;
  if (!temp_path.empty()) {
    temp_ = temp_path;
    err = plat::file_create(temp_, out_);
    if (err != 0) {
      IO_FAIL_HERE();
      temp_.clear();
    }
    return err;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_ = temp_name_for(target, next_serial());
    err = plat::file_create_new(temp_, out_);
    if (err != EEXIST) break;
  }
  if (err != 0) {
    IO_FAIL_HERE();
    temp_.clear();
  }
  return err;
}

int member_writer::write(const void* data, std::size_t n) {
  if (max_bytes_ && written_ + n > max_bytes_) {
    IO_FAIL_HERE();
    return EFBIG;
  }
  if (const int e = plat::file_write(out_, data, n); e != 0) {
    IO_FAIL_HERE();
    return e;
  }
  if (digest_) digest_->add(data, n);
  written_ += n;
  return 0;
}

int member_writer::make_executable() {
  const int e = plat::file_make_executable(out_);
  if (e != 0) IO_FAIL_HERE();
  return e;
}

int member_writer::commit(const std::string& want_sig, std::string* got_sig, std::string* why, bool strict) {
  const auto failed = [&](int err, const std::string& text) {
    IO_FAIL_HERE();
    if (why) *why = text;
    discard();
    return err;
  };
  if (const int e = plat::file_close(out_); e != 0) return failed(e, "the file cannot be written");
  if (digest_) {
    const std::string sig = digest_->hex();
    if (got_sig) *got_sig = sig;
    std::string text;
    if ((strict || is_signature(want_sig)) && member_digest_check(sig, want_sig, text) != 0)
      return failed(err_zip_wrong_contents, text);
  }
  if (const int e = plat::path_rename(temp_, target_); e != 0) return failed(e, "the file cannot take its name");
  temp_.clear();
  return 0;
}

void member_writer::discard() {
  if (out_.is_open()) plat::file_close(out_);
  if (!temp_.empty()) plat::path_remove_file(temp_);
  temp_.clear();
}

void member_writer::keep() {
  if (out_.is_open()) plat::file_close(out_);
  temp_.clear();
}

namespace {

// What one extraction must check and report: the expected digest (empty:
// none) and where the digest of the bytes written goes (null: not wanted).
struct member_check {
  std::string want_sig;
  std::string* got_sig = nullptr;
  std::uint64_t max_bytes = 0;  // 0: no limit
};

// ---- Archive reading in large blocks.
// minizip reads an archive in pieces of a few kilobytes and seeks before
// most of them (to the central directory, to each member's local header,
// to its data). Over the C library's streams that is a system call for
// every 4 or 16 KiB and a seek per piece. These file functions read through
// the platform layer instead: two blocks of up to 1 MiB, each filled by one
// positioned read, serve every piece that lies within them, and a seek only
// moves a number. Two blocks, because minizip alternates between the
// central directory and the members' data: each keeps its own.
constexpr std::size_t kZipBlock = 1u << 20;

struct zip_block {
  std::unique_ptr<char[]> data;
  std::uint64_t start = 0;  // file offset of data[0]
  std::size_t len = 0;      // bytes held; 0: empty
  unsigned used = 0;        // when it was last used (higher: more recently)
};

struct zip_stream {
  plat::File file;
  std::uint64_t size = 0;  // the file's size
  std::uint64_t pos = 0;   // minizip's position
  std::size_t block_size = 0;  // the file's size up to kZipBlock
  zip_block blocks[2];
  unsigned clock = 0;
  int err = 0;  // the first read error; reported through the error function
};

// `opaque`, when set, points at a zip_stream* that gets the stream opened,
// so that stored members can be read from the archive directly.
voidpf ZCALLBACK zs_open(voidpf opaque, const void* filename, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ || !filename) return nullptr;
  std::unique_ptr<zip_stream> s(new (std::nothrow) zip_stream);
  if (!s) return nullptr;
  if (plat::file_open_read(static_cast<const char*>(filename), s->file) != 0) return nullptr;
  if (plat::file_size(s->file, s->size) != 0) return nullptr;
  s->block_size = s->size < kZipBlock ? static_cast<std::size_t>(s->size) : kZipBlock;
  if (s->block_size == 0) s->block_size = 1;
  for (zip_block& b : s->blocks) {
    b.data.reset(new (std::nothrow) char[s->block_size]);
    if (!b.data) return nullptr;
  }
  if (opaque) *static_cast<zip_stream**>(opaque) = s.get();
  return s.release();
}

// Fills the least recently used block with the data at `pos`. A block that
// would run past the end of the file starts earlier instead, so that the
// end of the archive (its central directory) is read in one block.
bool zs_fill(zip_stream& s, std::uint64_t pos) {
  zip_block& b = s.blocks[0].used <= s.blocks[1].used ? s.blocks[0] : s.blocks[1];
  std::uint64_t start = pos;
  if (s.size >= s.block_size && start > s.size - s.block_size) start = s.size - s.block_size;
  b.len = 0;
  std::size_t got = 0;
  if (const int e = plat::file_read_at(s.file, start, b.data.get(), s.block_size, got); e != 0) {
    if (s.err == 0) s.err = e;
    return false;
  }
  b.start = start;
  b.len = got;
  b.used = ++s.clock;
  return pos >= start && pos < start + got;
}

uLong ZCALLBACK zs_read(voidpf, voidpf stream, void* out, uLong n) {
  zip_stream& s = *static_cast<zip_stream*>(stream);
  char* dst = static_cast<char*>(out);
  uLong done = 0;
  while (done < n && s.pos < s.size) {
    zip_block* hit = nullptr;
    for (zip_block& b : s.blocks)
      if (b.len && s.pos >= b.start && s.pos < b.start + b.len) hit = &b;
    if (!hit) {
      if (!zs_fill(s, s.pos)) break;
      continue;
    }
    hit->used = ++s.clock;
    const std::uint64_t at = s.pos - hit->start;
    const std::uint64_t avail = hit->len - at;
    const uLong take = static_cast<uLong>(avail < n - done ? avail : n - done);
    std::memcpy(dst + done, hit->data.get() + at, take);
    done += take;
    s.pos += take;
  }
  return done;
}

uLong ZCALLBACK zs_write(voidpf, voidpf, const void*, uLong) { return 0; }  // archives are only read

ZPOS64_T ZCALLBACK zs_tell(voidpf, voidpf stream) { return static_cast<zip_stream*>(stream)->pos; }

long ZCALLBACK zs_seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  zip_stream& s = *static_cast<zip_stream*>(stream);
  std::uint64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      base = 0;
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      base = s.pos;
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      base = s.size;
      break;
    default:
      return -1;
  }
  if (offset > UINT64_MAX - base) return -1;
  s.pos = base + offset;
  return 0;
}

int ZCALLBACK zs_close(voidpf, voidpf stream) {
  zip_stream* s = static_cast<zip_stream*>(stream);
  const int err = plat::file_close(s->file);
  delete s;
  return err == 0 ? 0 : -1;
}

int ZCALLBACK zs_error(voidpf, voidpf stream) { return static_cast<zip_stream*>(stream)->err; }

zlib_filefunc64_def block_file_functions(zip_stream** opened) {
  zlib_filefunc64_def f{};
  f.zopen64_file = zs_open;
  f.zread_file = zs_read;
  f.zwrite_file = zs_write;
  f.ztell64_file = zs_tell;
  f.zseek64_file = zs_seek;
  f.zclose_file = zs_close;
  f.zerror_file = zs_error;
  f.opaque = opened;
  return f;
}

// Extracts the current member into `target` through a member writer.
int extract_member(unzFile uf, zip_stream* zs, const unz_file_info& info, const std::string& target,
                   const member_check& check) {
  int err = unzOpenCurrentFile(uf);
  if (err != UNZ_OK) {
    IO_FAIL_HERE();
    return err;
  }

  // The digest is taken from the bytes on their way to the file, so the
  // check costs no second read.
  member_writer out;
  err = out.open(target, check.got_sig || is_signature(check.want_sig), check.max_bytes, check.want_sig);
  if (err != 0) {
    unzCloseCurrentFile(uf);
    xer << "Zip to file failed with error " << err << ". file = " << sErrFile << " line = " << sErrLine
        << ". inFile=" << target << ".\n";
    return err;
  }

  constexpr unsigned kChunk = 1u << 20;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kChunk]);
  std::uint64_t total = 0;
  if (!buf) {
    IO_FAIL_HERE();
    err = ENOMEM;
  }
  // A stored member is read from the archive straight into the buffer, in
  // large positioned reads: the reader would copy it byte by byte through a
  // small buffer of its own. Its checksum is then checked here (the reader
  // checks it only over what it read itself).
  const bool stored = zs && info.compression_method == 0 && (info.flag & 1) == 0;
  std::uint64_t at = stored ? static_cast<std::uint64_t>(unzGetCurrentFileZStreamPos64(uf)) : 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  if (stored && err == 0 && info.compressed_size != info.uncompressed_size) {
    IO_FAIL_HERE();
    err = err_zip_read;
  }
  while (err == 0) {
    int n = 0;
    if (stored) {
      const std::uint64_t left = info.uncompressed_size - total;
      if (left == 0) break;
      std::size_t got = 0;
      const int e = plat::file_read_at(zs->file, at, buf.get(), left < kChunk ? static_cast<std::size_t>(left) : kChunk,
                                       got);
      if (e != 0 || got == 0) {  // a read error, or the archive ends inside the member
        IO_FAIL_HERE();
        err = err_zip_read;
        break;
      }
      at += got;
      crc = crc32_z(crc, reinterpret_cast<const Bytef*>(buf.get()), got);
      n = static_cast<int>(got);
    } else {
      n = unzReadCurrentFile(uf, buf.get(), kChunk);
      if (n < 0) {
        IO_FAIL_HERE();
        err = err_zip_read;
        break;
      }
      if (n == 0) break;
    }
    err = out.write(buf.get(), static_cast<std::size_t>(n));
    if (err == EFBIG)
      xer << "zip_to_file: " << target << " grew past the " << check.max_bytes << " bytes it may have\n";
    total += static_cast<unsigned>(n);
  }
  if (err == 0 && total != info.uncompressed_size) {
    IO_FAIL_HERE();
    err = err_zip_read;
  }
  if (err == 0 && stored && crc != info.crc) {
    IO_FAIL_HERE();
    err = UNZ_CRCERROR;  // what the reader answers for a member whose checksum is wrong
  }
  // A program packed on a Unix-like system keeps its execute permission.
  const bool made_on_unix = (info.version >> 8) == 3;
  if (err == 0 && made_on_unix && ((info.external_fa >> 16) & 0111) != 0) err = out.make_executable();
  // Closing the member checks its CRC; a corrupt member fails here.
  const int close_err = unzCloseCurrentFile(uf);
  if (err == 0 && close_err != UNZ_OK) {
    IO_FAIL_HERE();
    err = close_err;
  }
  if (err == 0) {
    std::string why;
    err = out.commit(check.want_sig, check.got_sig, &why);
    if (err == err_zip_wrong_contents) xer << "zip_to_file: " << target << " " << why << "\n";
  }
  if (err != 0) {
    out.discard();
    xer << "Zip to file failed with error " << err << ". file = " << sErrFile << " line = " << sErrLine
        << ". inFile=" << target << ".\n";
  }
  return err;
}

// One member: a folder to make, a member to skip, or a file to extract.
// With `only` set, every member but that one file is skipped; `found` is
// set when it was met.
int handle_member(unzFile uf, zip_stream* zs, const std::string& out_folder, const std::string& only,
                  const member_check& check, bool& found) {
  unz_file_info info{};
  std::unique_ptr<char[]> name(new char[kNameMax + 1]);
  int err = unzGetCurrentFileInfo(uf, &info, name.get(), kNameMax + 1, nullptr, 0, nullptr, 0);
  if (err != UNZ_OK) {
    // Without its header the member cannot be placed; the archive is damaged.
    xer << "unzGetCurrentFileInfo err != UNZ_OK! err=" << err << "\n";
    IO_FAIL_HERE();
    return err;
  }
  name[kNameMax] = 0;
  const std::string n(name.get());
  const bool is_folder = !n.empty() && n.back() == '/';

  if (!only.empty()) {
    if (n != only) {
      xer << "zip_to_file: skipped member " << n << " of an archive that is for " << only << " only\n";
      return 0;
    }
    found = true;
  }
  const bool is_link = !is_folder && ((info.external_fa >> 16) & 0xA000) == 0xA000;
  if (!only.empty() && is_link) {
    // Links are never made: a link in place of the one file is not that file.
    IO_FAIL_HERE();
    xer << "zip_to_file: " << n << " is a symbolic link, not the file it was fetched for\n";
    return err_zip_wrong_contents;
  }
  if (begins_with_macosx(n.c_str())) return 0;  // resource-fork data of another system
  if (is_link) return 0;

  if (!relative_path_is_safe(n)) {
    IO_FAIL_HERE();
    xer << "zip_to_file: refused member " << n << ": its name would leave " << out_folder << "\n";
    return err_zip_unsafe_name;
  }
  if (is_folder) {
    const int r = make_folder(out_folder + n);
    return show_make_dir_err(r) ? r : 0;
  }
  return extract_member(uf, zs, info, out_folder + n, check);
}

}  // namespace

bool is_extraction_leftover(const std::string& name) {
  const std::size_t mark = name.rfind(".part-");
  if (name.size() < 2 || name[0] != '.' || mark == std::string::npos || mark < 2) return false;
  const std::size_t digits = mark + 6;
  return digits < name.size() && name.find_first_not_of("0123456789", digits) == std::string::npos;
}

int remove_extraction_leftovers(const std::string& folder,
                                const std::function<bool(const std::string&)>& is_release_file) {
  std::vector<plat::DirEntry> entries;
  if (plat::dir_list(app_path + folder, entries) != 0) return 0;
  int removed = 0;
  for (const plat::DirEntry& e : entries) {
    if (e.is_folder || !is_extraction_leftover(e.name)) continue;
    if (is_release_file && is_release_file(folder + e.name)) continue;
    if (plat::path_remove_file(app_path + folder + e.name) == 0) {
      xer << "Removed " << folder << e.name << ", left by an interrupted extraction.\n";
      ++removed;
    }
  }
  return removed;
}

int zip_to_file(const std::string& zip_file, const std::string& out_folder) {
  return zip_to_file(zip_file, out_folder, "", "", nullptr);
}

int zip_to_file(const std::string& zip_file, const std::string& out_folder, const std::string& member,
                const std::string& want_sig, std::string* got_sig, std::uint64_t max_bytes) {
  const member_check check{want_sig, got_sig, max_bytes};
  bool found = false;
  const std::string zip_path = app_path + zip_file;
  const std::string out = app_path + out_folder;
  int result = 0;
  zip_stream* opened = nullptr;
  zlib_filefunc64_def files = block_file_functions(&opened);
  unzFile uf = unzOpen2_64(zip_path.c_str(), &files);
  if (!uf) {
    xer << "OK I am about to report that I could not open a zip file for extraction!\n";
    xer << "That incoming file is " << zip_path << "\n";
    xer << "In c-form, it is " << zip_path.c_str() << "\n";
    xer << "The size is " << zip_path.size() << "\n";
    IO_FAIL_HERE();
    result = err_zip_open;
  } else {
    int err = unzGoToFirstFile(uf);
    if (err != UNZ_OK && err != UNZ_END_OF_LIST_OF_FILE) {
      IO_FAIL_HERE();
      result = err;
    }
    while (err == UNZ_OK) {
      const int r = handle_member(uf, opened, out, member, check, found);
      if (r != 0) {
        xer << "UNZIP zip_to_file failed with err=" << r << "\n";
        result = r;
        break;
      }
      err = unzGoToNextFile(uf);
      if (err != UNZ_OK && err != UNZ_END_OF_LIST_OF_FILE) {
        IO_FAIL_HERE();
        result = err;
      }
    }
    unzClose(uf);
    if (result == 0 && !member.empty() && !found) {
      IO_FAIL_HERE();
      xer << "zip_to_file: " << zip_path << " does not hold " << member << "\n";
      result = err_zip_member_missing;
    }
  }
  if (result != 0) {
    xer << "Zip to file failed with error err = " << result << ". file = " << sErrFile << " line = " << sErrLine
        << ". zip_file=" << zip_path << ", out_directory=" << out << ".\n";
  }
  return result;
}

// ---- Extraction while the archive downloads.
namespace {

std::uint16_t le16(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint16_t>(u[0] | (u[1] << 8));
}
std::uint32_t le32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint32_t>(u[0]) | (static_cast<std::uint32_t>(u[1]) << 8) |
         (static_cast<std::uint32_t>(u[2]) << 16) | (static_cast<std::uint32_t>(u[3]) << 24);
}
std::uint64_t le64(const char* p) { return le32(p) | (static_cast<std::uint64_t>(le32(p + 4)) << 32); }

constexpr std::size_t kLocalHeader = 30;
constexpr std::size_t kCentralHeader = 46;
constexpr std::size_t kEndRecord = 22;
constexpr std::size_t kTailMax = 1u << 20;        // most of a central directory kept after the member
constexpr std::size_t kHandOver = 256u * 1024;     // bytes given to the worker at a time
constexpr std::size_t kQueuedMax = 8u * 1024 * 1024;  // bytes a sink may hold before the transfer waits
constexpr std::size_t kInflateOut = 256u * 1024;

// The zip64 sizes of an extra field: the fields of tag 1 in their order,
// each present only where the fixed field holds 0xFFFFFFFF.
bool zip64_fields(const char* extra, std::size_t len, bool want_u, bool want_c, bool want_off, std::uint64_t& u,
                  std::uint64_t& c, std::uint64_t& off) {
  std::size_t at = 0;
  while (at + 4 <= len) {
    const std::uint16_t tag = le16(extra + at);
    const std::uint16_t size = le16(extra + at + 2);
    if (at + 4 + size > len) return false;
    if (tag == 1) {
      std::size_t f = at + 4;
      const std::size_t end = f + size;
      if (want_u) {
        if (f + 8 > end) return false;
        u = le64(extra + f);
        f += 8;
      }
      if (want_c) {
        if (f + 8 > end) return false;
        c = le64(extra + f);
        f += 8;
      }
      if (want_off) {
        if (f + 8 > end) return false;
        off = le64(extra + f);
      }
      return true;
    }
    at += 4 + size;
  }
  return false;
}

}  // namespace

struct member_sink::hashing {
  z_stream z{};
  bool z_open = false;
  bool z_ended = false;  // the deflate stream has ended
  std::unique_ptr<char[]> out;
  std::vector<char> whole_in;  // the compressed bytes of a member inflated whole, while they arrive
  ~hashing() {
    if (z_open) inflateEnd(&z);
  }
};

std::size_t member_sink::whole_inflate_max = member_sink::kInlineMax;

namespace {

// The whole-buffer decompressor and its output buffer, one per thread that
// extracts (the frame thread, each worker of the pool), kept from member to
// member so that small files cost no allocation each.
struct whole_inflater {
  libdeflate_decompressor* d = nullptr;
  std::vector<char> out;
  ~whole_inflater() {
    if (d) libdeflate_free_decompressor(d);
  }
  // Inflates exactly `in_n` bytes into exactly `out_n`; false on anything
  // else (damaged data, another size, input left over or missing).
  bool inflate(const char* in, std::size_t in_n, std::size_t out_n) {
    if (!d && !(d = libdeflate_alloc_decompressor())) return false;
    if (out.size() < out_n || out.empty()) out.resize(std::max<std::size_t>(out_n, 1));
    std::size_t used = 0, made = 0;
    const libdeflate_result r =
        libdeflate_deflate_decompress_ex(d, in, in_n, out.data(), out_n, &used, &made);
    return r == LIBDEFLATE_SUCCESS && used == in_n && made == out_n;
  }
};

whole_inflater& this_threads_inflater() {
  thread_local whole_inflater w;
  return w;
}

}  // namespace

// The extraction pool: long-lived threads, each working through the bodies
// of the sinks given to it, in order. A sink keeps one worker from start to
// end, so its bytes are handled in the order they came.
struct member_sink::worker {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::function<void()>> jobs;
  int sinks = 0;  // sinks attached (under pool_mutex())
  std::thread thread;

  worker() : thread([this] { run(); }) {}
  void post(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lock(m);
      jobs.push_back(std::move(job));
    }
    cv.notify_one();
  }
  void run() {
    std::vector<std::function<void()>> batch;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return !jobs.empty(); });
        batch.swap(jobs);
      }
      for (auto& job : batch) job();
      batch.clear();
    }
  }

  static std::mutex& pool_mutex() {
    static std::mutex m;
    return m;
  }
  // The worker with the fewest sinks. The pool lives as long as the
  // process: its threads wait for work and end with it.
  static worker* attach() {
    static std::vector<worker*>* pool = new std::vector<worker*>;
    std::lock_guard<std::mutex> lock(pool_mutex());
    constexpr std::size_t kWorkers = 4;  // one per download stream
    worker* best = nullptr;
    for (worker* w : *pool)
      if (!best || w->sinks < best->sinks) best = w;
    if (!best || (best->sinks > 0 && pool->size() < kWorkers)) {
      pool->push_back(new worker);
      best = pool->back();
    }
    ++best->sinks;
    return best;
  }
  static void detach(worker* w) {
    std::lock_guard<std::mutex> lock(pool_mutex());
    --w->sinks;
  }
};

member_sink::member_sink(std::string target, std::string want_sig, std::uint64_t max_bytes, std::string spool_path)
    : target_(app_path + target),
      want_sig_(std::move(want_sig)),
      spool_path_(app_path + spool_path),
      max_bytes_(max_bytes),
      h_(new hashing) {}

member_sink::~member_sink() { abort(); }

void member_sink::start(std::int64_t length) {
  if (!worker_ && length > kInlineMax) worker_ = worker::attach();
  if (received_ > 0) {
    // A whole body again, where the rest was asked for: what the earlier
    // bytes made is thrown away, in order with the work already handed over.
    received_ = 0;
    pending_.clear();
    if (worker_)
      worker_->post([this] {
        if (!aborted_.load()) start_again();
      });
    else
      start_again();
  }
  if (!raw_path_.empty() && length >= kKeepMin && worker_)
    worker_->post([this, length] {
      if (!aborted_.load()) begin_raw(length);
    });
}

void member_sink::keep_raw(std::string part, std::string info, std::string server_path, std::string data) {
  raw_path_ = app_path + part;
  info_path_ = app_path + info;
  server_path_ = std::move(server_path);
  data_path_ = app_path + data;
}

// Worker side: a new part file, and its description once the part file is
// there (a description never names a part file that is not).
void member_sink::begin_raw(std::int64_t length) {
  if (raw_.is_open()) plat::file_close(raw_);
  raw_begun_ = true;
  raw_length_ = length;
  if (plat::file_create(raw_path_, raw_) != 0) return;
  write_description(0);
}

// Worker side: the part file's description; with `data_from`, where the
// kept bytes of a stored member begin. False when none could be written
// (none is left then, and the part is not taken up).
bool member_sink::write_description(std::int64_t data_from) {
  std::string text = "Skyvane partial download 1\npath " + server_path_ + "\nvalidator " + validator_ +
                     "\nlength " + std::to_string(raw_length_) + "\nsignature " + want_sig_ + "\n";
  if (data_from > 0) text += "data-from " + std::to_string(data_from) + "\n";
  // One line per item: a value holding a line break is not written down
  // (the part file then has no description and is not taken up).
  if (std::count(text.begin(), text.end(), '\n') != (data_from > 0 ? 6 : 5) || validator_.empty()) {
    plat::path_remove_file(info_path_);
    return false;
  }
  plat::File info;
  if (plat::file_create(info_path_, info) != 0) return false;
  const int e = plat::file_write(info, text.data(), text.size());
  if (plat::file_close(info) != 0 || e != 0) {
    plat::path_remove_file(info_path_);
    return false;
  }
  return true;
}

// Worker side, once a stored member's header has been read and its
// temporary file (under the kept data name) opened: the part file is cut
// back to the `header` bytes of the local header, and no more raw bytes go
// to it; the description then says that the member's bytes follow in the
// data file. Every step leaves files a later run reads rightly: until the
// description is rewritten, the part file alone is a valid (shorter) start
// of the archive and the data file, which no description names, is thrown
// away.
void member_sink::keep_member_bytes(std::size_t header) {
  plat::file_close(raw_);
  data_kept_ = true;
  plat::File part;
  int e = plat::file_create(raw_path_, part);
  if (e == 0) {
    e = plat::file_write(part, head_.data(), header);
    if (const int c = plat::file_close(part); e == 0) e = c;
  }
  if (e != 0 || !write_description(static_cast<std::int64_t>(header))) {
    // Nothing a later run could take up: the part goes, the extraction goes
    // on, and its temporary file goes with it if the sink is stopped.
    plat::path_remove_file(info_path_);
    plat::path_remove_file(raw_path_);
    data_kept_ = false;
  }
}

// Removes the part file and its description, when this sink began them (a
// body too small to keep has none, and looking costs two path walks a file).
void member_sink::remove_raw() {
  if (raw_path_.empty() || !raw_begun_) return;
  if (raw_.is_open()) plat::file_close(raw_);
  plat::path_remove_file(info_path_);
  plat::path_remove_file(raw_path_);
}

void member_sink::preload(const std::string& previous, std::int64_t bytes, std::int64_t length,
                          const std::string& value, const std::string& previous_data) {
  validator_ = value;
  received_ = bytes;
  if (!worker_) worker_ = worker::attach();
  std::vector<std::string> from{app_path + previous};
  if (!previous_data.empty()) from.push_back(app_path + previous_data);
  queued_ += static_cast<std::size_t>(bytes);
  worker_->post([this, from, bytes, length] {
    std::int64_t done = 0;
    raw_begun_ = true;  // the earlier run's description goes with the new part
    raw_length_ = length;
    if (!aborted_.load() && plat::file_create(raw_path_, raw_) == 0) {
      std::vector<char> buf(kHandOver * 4);
      for (const std::string& path : from) {
        plat::File in;
        if (plat::file_open_read(path, in) != 0) break;
        while (done < bytes && !aborted_.load()) {
          std::size_t got = 0;
          const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(bytes - done, buf.size()));
          if (plat::file_read(in, buf.data(), want, got) != 0 || got == 0) break;
          // A stored member stops the raw copy once its header is read.
          if (raw_.is_open()) plat::file_write(raw_, buf.data(), got);
          feed(buf.data(), got);
          done += static_cast<std::int64_t>(got);
        }
        plat::file_close(in);
      }
    }
    // A part file that cannot be read whole: what follows cannot join it.
    if (!aborted_.load() && done < bytes && state_ != state::failed)
      fail(err_zip_read, "the kept part of the download cannot be read");
    for (const std::string& path : from) plat::path_remove_file(path);
    queued_ -= static_cast<std::size_t>(bytes);
  });
}

void member_sink::resume(std::int64_t offset) {
  // Nothing to do: the transfer asked from received() on and checked that
  // the answer starts there, so the next bytes follow the last ones taken.
  (void)offset;
}

void member_sink::start_again() {
  remove_raw();
  out_.discard();
  data_kept_ = false;
  if (spool_.is_open()) plat::file_close(spool_);
  plat::path_remove_file(spool_path_);
  state_ = state::head;
  head_.clear();
  tail_.clear();
  tail_start_ = csize_ = usize_ = consumed_ = written_ = 0;
  method_ = 0;
  h_ = std::make_unique<hashing>();
  err_ = 0;
  spooled_ = false;
  log_ += "Extraction of " + target_ + " starts again: the server sent the whole file instead of the rest\n";
}

bool member_sink::ready() const { return !worker_ || queued_.load() < kQueuedMax; }

void member_sink::take(const char* data, std::size_t n) {
  if (finishing_ || n == 0) return;
  received_ += static_cast<std::int64_t>(n);
  if (!worker_) {
    feed(data, n);
    return;
  }
  // One block per hand-over, made once at its full size (growing it piece
  // by piece would copy the bytes again and again).
  if (pending_.empty()) pending_.reserve(kHandOver + n);
  pending_.insert(pending_.end(), data, data + n);
  if (pending_.size() >= kHandOver) post_pending();
}

// A body worked on by the pool is received straight into the block that
// goes to the worker: its bytes are not copied on the receiving thread.
char* member_sink::receive_room(std::size_t& room) {
  if (!worker_ || finishing_ || room == 0) return nullptr;
  const std::size_t at = pending_.size();
  if (at == 0) pending_.reserve(kHandOver + std::max<std::size_t>(room, 64 * 1024));
  pending_.resize(at + room);  // within the reserved block: no copy, no zeros
  receiving_ = room;
  return pending_.data() + at;
}

void member_sink::took(std::size_t n) {
  if (receiving_ == 0) return;
  pending_.resize(pending_.size() - receiving_ + std::min(n, receiving_));
  receiving_ = 0;
  if (finishing_ || n == 0) return;
  received_ += static_cast<std::int64_t>(n);
  if (pending_.size() >= kHandOver) post_pending();
}

void member_sink::post_pending() {
  if (pending_.empty()) return;
  queued_ += pending_.size();
  worker_->post([this, bytes = std::move(pending_)] {
    if (raw_.is_open() && plat::file_write(raw_, bytes.data(), bytes.size()) != 0) plat::file_close(raw_);
    if (!aborted_.load()) feed(bytes.data(), bytes.size());
    // Room again: the transfer loop, which does not read this transfer's
    // socket while the sink is full, is woken.
    const std::size_t was = queued_.fetch_sub(bytes.size());
    if (was >= kQueuedMax && was - bytes.size() < kQueuedMax) plat::wake_signal(room_wake);
  });
  pending_.clear();
}

void member_sink::finish() {
  if (finishing_) return;
  finishing_ = true;
  if (!worker_) {
    complete();
    std::lock_guard<std::mutex> lock(m_);
    finished_ = true;
    return;
  }
  post_pending();
  worker_->post([this, wake = room_wake] {
    if (!aborted_.load()) complete();
    {
      std::lock_guard<std::mutex> lock(m_);
      finished_ = true;
    }
    cv_.notify_all();
    plat::wake_signal(wake);  // the sink may be gone by now: its copy of the handle is used
  });
}

bool member_sink::done() const {
  std::lock_guard<std::mutex> lock(m_);
  return finished_;
}

void member_sink::abort() {
  if (worker_) {
    aborted_ = true;
    if (!finishing_) {
      finishing_ = true;
      pending_.clear();
      worker_->post([this] {
        {
          std::lock_guard<std::mutex> lock(m_);
          finished_ = true;
        }
        cv_.notify_all();
      });
    }
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return finished_; });
    lock.unlock();
    worker::detach(worker_);
    worker_ = nullptr;
    if (raw_.is_open()) plat::file_close(raw_);  // kept for a later run
    if (state_ == state::finished) return;  // completed before the abort: the result stands
  } else if (state_ == state::finished) {
    return;
  }
  finishing_ = true;
  // A stored member's bytes kept for a later run stay, beside its part file.
  if (data_kept_) out_.keep();
  else discard_files();
  if (spool_.is_open() || spooled_) {
    plat::file_close(spool_);
    plat::path_remove_file(spool_path_);
    spooled_ = false;
  }
  state_ = state::failed;
  if (err_ == 0) err_ = ECANCELED;
}

void member_sink::discard_files() { out_.discard(); }

void member_sink::fail(int err, const std::string& why) {
  discard_files();
  remove_raw();
  data_kept_ = false;
  if (spool_.is_open()) {
    plat::file_close(spool_);
    plat::path_remove_file(spool_path_);
  }
  state_ = state::failed;
  err_ = err;
  log_ += "Extraction of " + target_ + " failed (" + error_str(err) + "): " + why + "\n";
}

void member_sink::feed(const char* data, std::size_t n) {
  while (n > 0) {
    switch (state_) {
      case state::head:
        feed_head(data, n);
        return;
      case state::data:
        feed_data(data, n);
        break;
      case state::tail:
        if (tail_.size() + n > kTailMax) {
          fail(err_zip_needs_file, "more follows the member than a central directory");
          return;
        }
        tail_.append(data, n);
        return;
      case state::spool:
        to_spool(data, n);
        return;
      case state::failed:
      case state::finished:
        return;
    }
  }
}

void member_sink::to_spool(const char* data, std::size_t n) {
  if (!spool_.is_open()) {
    state_ = state::spool;
    if (const int e = plat::file_create(spool_path_, spool_); e != 0) {
      fail(e, "the archive cannot be written to " + spool_path_);
      return;
    }
  }
  if (const int e = plat::file_write(spool_, data, n); e != 0) fail(e, "the archive cannot be written to " + spool_path_);
}

void member_sink::feed_head(const char* data, std::size_t n) {
  head_.append(data, n);
  if (head_.size() < kLocalHeader) return;
  const char* h = head_.data();
  const std::size_t name_len = le16(h + 26), extra_len = le16(h + 28);
  if (le32(h) == 0x04034b50 && head_.size() < kLocalHeader + name_len + extra_len) return;

  // The member of a one-file archive, as the publisher writes it: anything
  // else is extracted from a file the usual way.
  const std::size_t slash = target_.find_last_of('/');
  const std::string member = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  bool simple = le32(h) == 0x04034b50 && is_signature(want_sig_);
  std::uint16_t flags = 0;
  if (simple) {
    flags = le16(h + 6);
    method_ = le16(h + 8);
    csize_ = le32(h + 18);
    usize_ = le32(h + 22);
    const std::string name(h + kLocalHeader, name_len);
    simple = name == member && (flags & (1 | 8)) == 0 && (method_ == 0 || method_ == 8) &&
             !begins_with_macosx(name.c_str()) && relative_path_is_safe(name);
    if (simple && (csize_ == 0xFFFFFFFFu || usize_ == 0xFFFFFFFFu)) {
      std::uint64_t u = 0, c = 0, off = 0;
      simple = zip64_fields(h + kLocalHeader + name_len, extra_len, true, true, false, u, c, off);
      csize_ = c;
      usize_ = u;
    }
    if (simple && method_ == 0 && csize_ != usize_) simple = false;
    if (simple && max_bytes_ && usize_ > max_bytes_) {
      // Nothing is written of a member larger than its file may be.
      head_.clear();
      fail(EFBIG, "the member has " + std::to_string(usize_) + " bytes, more than the " + std::to_string(max_bytes_) +
                      " it may have");
      return;
    }
  }
  std::string rest;
  if (!simple) {
    rest.swap(head_);
    to_spool(rest.data(), rest.size());
    return;
  }
  // A temporary file beside the target; the target takes its name only at
  // the end, so it is never half-written. A stored member whose raw bytes
  // are being kept is extracted under the kept data name instead.
  const std::size_t header = kLocalHeader + name_len + extra_len;
  const bool keep_data = method_ == 0 && raw_.is_open() && !data_path_.empty();
  if (const int err = out_.open(target_, true, max_bytes_, want_sig_, keep_data ? data_path_ : std::string());
      err != 0) {
    fail(err, "the temporary file cannot be created");
    return;
  }
  if (keep_data) keep_member_bytes(header);
  // A small member is inflated in one call once its compressed bytes are
  // all here; a large one is streamed through zlib as it arrives.
  whole_ = method_ == 8 && csize_ <= whole_inflate_max && usize_ <= whole_inflate_max;
  if (method_ == 8 && !whole_ && !start_streaming()) return;
  state_ = csize_ == 0 && method_ == 0 ? state::tail : state::data;  // an empty file has no data
  tail_start_ = header + csize_;
  rest = head_.substr(header);
  head_.clear();
  head_.shrink_to_fit();
  feed(rest.data(), rest.size());
}

bool member_sink::start_streaming() {
  if (inflateInit2(&h_->z, -MAX_WBITS) != Z_OK) {
    fail(ENOMEM, "the inflater cannot start");
    return false;
  }
  h_->z_open = true;
  h_->out.reset(new char[kInflateOut]);
  return true;
}

// A member inflated whole: its compressed bytes are gathered (or used where
// they lie when they came in one piece) and inflated buffer to buffer into
// exactly the size the header gives. Anything else (damaged data, another
// size) goes through the streaming inflater instead, so that a failure is
// judged and reported the one way whichever path read the member.
void member_sink::feed_whole(const char*& data, std::size_t& n) {
  const std::size_t now = static_cast<std::size_t>(std::min<std::uint64_t>(n, csize_ - consumed_));
  const char* in = data;
  std::vector<char>& gathered = h_->whole_in;
  if (consumed_ > 0 || now < csize_) {
    if (gathered.empty()) gathered.reserve(static_cast<std::size_t>(csize_));
    gathered.insert(gathered.end(), data, data + now);
    consumed_ += now;
    data += now;
    n -= now;
    if (consumed_ < csize_) return;
    in = gathered.data();
  } else {
    consumed_ = csize_;
    data += now;
    n -= now;
  }
  whole_inflater& w = this_threads_inflater();
  if (w.inflate(in, static_cast<std::size_t>(csize_), static_cast<std::size_t>(usize_))) {
    if (const int e = out_.write(w.out.data(), static_cast<std::size_t>(usize_)); e != 0) {
      fail(e, e == EFBIG ? "the member grew past the " + std::to_string(max_bytes_) + " bytes it may have"
                         : std::string("the file cannot be written"));
      return;
    }
    written_ = usize_;
    gathered = std::vector<char>();
    state_ = state::tail;
    return;
  }
  // Streamed from the start, from the same bytes.
  whole_ = false;
  consumed_ = 0;
  if (!start_streaming()) return;
  std::vector<char> bytes;
  if (in == gathered.data()) bytes.swap(gathered);
  else bytes.assign(in, in + csize_);
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0 && state_ == state::data) feed_data(p, left);
}

void member_sink::feed_data(const char*& data, std::size_t& n) {
  if (whole_) {
    feed_whole(data, n);
    return;
  }
  const std::size_t now = static_cast<std::size_t>(std::min<std::uint64_t>(n, csize_ - consumed_));
  const auto write = [&](const char* bytes, std::size_t len) {
    if (written_ + len > usize_ && !(max_bytes_ && written_ + len > max_bytes_)) {
      fail(err_zip_read, "the member is longer than its header says");
      return false;
    }
    if (const int e = out_.write(bytes, len); e != 0) {
      fail(e, e == EFBIG ? "the member grew past the " + std::to_string(max_bytes_) + " bytes it may have"
                         : std::string("the file cannot be written"));
      return false;
    }
    written_ += len;
    return true;
  };
  if (method_ == 0) {
    if (!write(data, now)) return;
  } else {
    z_stream& z = h_->z;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z.avail_in = static_cast<uInt>(now);
    // Until the input is used and zlib holds no more output for it.
    while (!h_->z_ended) {
      z.next_out = reinterpret_cast<Bytef*>(h_->out.get());
      z.avail_out = static_cast<uInt>(kInflateOut);
      const int r = inflate(&z, Z_NO_FLUSH);
      if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) {
        fail(err_zip_read, "the compressed data is damaged");
        return;
      }
      const std::size_t made = kInflateOut - z.avail_out;
      if (made > 0 && !write(h_->out.get(), made)) return;
      if (r == Z_STREAM_END) {
        h_->z_ended = true;
        if (z.avail_in != 0 || consumed_ + now != csize_) {
          fail(err_zip_read, "the compressed data ends before the member does");
          return;
        }
        break;
      }
      if (z.avail_in == 0 && z.avail_out != 0) break;  // all used, nothing held back
      if (made == 0 && r == Z_BUF_ERROR) {
        fail(err_zip_read, "the compressed data is damaged");
        return;
      }
    }
  }
  consumed_ += now;
  data += now;
  n -= now;
  if (consumed_ < csize_) return;
  if (written_ != usize_ || (method_ == 8 && !h_->z_ended)) {
    fail(err_zip_read, "the member is shorter than its header says");
    return;
  }
  state_ = state::tail;
}

// Finds the member in the central directory at the end of the archive and
// checks that it describes what was read. err_zip_needs_file when the
// directory says something this reading cannot honour (a link, another
// member where this one was read).
int member_sink::check_central_directory(bool& executable) {
  const char* t = tail_.data();
  const std::size_t len = tail_.size();
  if (len < kEndRecord) return err_zip_open;
  std::size_t end = len - kEndRecord + 1;
  std::size_t eocd = std::string::npos;
  while (end-- > 0) {
    if (le32(t + end) == 0x06054b50) {
      eocd = end;
      break;
    }
  }
  if (eocd == std::string::npos) return err_zip_open;
  std::uint64_t entries = le16(t + eocd + 10);
  std::uint64_t cd_size = le32(t + eocd + 12);
  std::uint64_t cd_offset = le32(t + eocd + 16);
  if (entries == 0xFFFF || cd_size == 0xFFFFFFFFu || cd_offset == 0xFFFFFFFFu) {
    // zip64: the locator just before the end record gives the zip64 end record.
    if (eocd < 20 || le32(t + eocd - 20) != 0x07064b50) return err_zip_needs_file;
    const std::uint64_t rec = le64(t + eocd - 20 + 8);
    if (rec < tail_start_ || rec - tail_start_ + 56 > len) return err_zip_needs_file;
    const char* z = t + (rec - tail_start_);
    if (le32(z) != 0x06064b50) return err_zip_needs_file;
    entries = le64(z + 32);
    cd_size = le64(z + 40);
    cd_offset = le64(z + 48);
  }
  if (cd_offset < tail_start_ || cd_offset - tail_start_ > len || cd_size > len - (cd_offset - tail_start_))
    return err_zip_needs_file;
  const char* p = t + (cd_offset - tail_start_);
  const char* const cd_end = p + cd_size;
  bool seen = false;
  for (std::uint64_t i = 0; i < entries; ++i) {
    if (cd_end - p < static_cast<std::ptrdiff_t>(kCentralHeader) || le32(p) != 0x02014b50) return err_zip_needs_file;
    const std::size_t name_len = le16(p + 28), extra_len = le16(p + 30), comment_len = le16(p + 32);
    const std::size_t whole = kCentralHeader + name_len + extra_len + comment_len;
    if (static_cast<std::size_t>(cd_end - p) < whole) return err_zip_needs_file;
    std::uint64_t c = le32(p + 20), u = le32(p + 24), off = le32(p + 42);
    if (c == 0xFFFFFFFFu || u == 0xFFFFFFFFu || off == 0xFFFFFFFFu) {
      if (!zip64_fields(p + kCentralHeader + name_len, extra_len, u == 0xFFFFFFFFu, c == 0xFFFFFFFFu,
                        off == 0xFFFFFFFFu, u, c, off))
        return err_zip_needs_file;
    }
    const std::string name(p + kCentralHeader, name_len);
    const std::size_t slash = target_.find_last_of('/');
    const std::string member = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    if (name == member) {
      // The member read must be the one the directory lists, once, as a file.
      const std::uint32_t external = le32(p + 38);
      if (seen || off != 0 || le16(p + 10) != method_ || c != csize_ || u != usize_ ||
          ((external >> 16) & 0xA000) == 0xA000)
        return err_zip_needs_file;
      seen = true;
      const bool made_on_unix = (le16(p + 4) >> 8) == 3;
      executable = made_on_unix && ((external >> 16) & 0111) != 0;
    } else if (off == 0) {
      return err_zip_needs_file;
    } else {
      log_ += "Extraction: skipped member " + name + " of an archive that is for " + member + " only\n";
    }
    p += whole;
  }
  return seen ? 0 : err_zip_needs_file;
}

void member_sink::complete() {
  // The whole body is here: the part kept for a later run has served,
  // whatever comes of the extraction.
  remove_raw();
  switch (state_) {
    case state::head: {
      // Too short for a member header: the usual extraction says what it is.
      std::string rest;
      rest.swap(head_);
      to_spool(rest.data(), rest.size());
      if (state_ == state::failed) return;
      [[fallthrough]];
    }
    case state::spool:
      if (const int e = plat::file_close(spool_); e != 0) {
        fail(e, "the archive cannot be written to " + spool_path_);
        return;
      }
      spooled_ = true;
      state_ = state::finished;
      return;
    case state::data:
      fail(err_zip_read, "the archive ends inside the member");
      return;
    case state::failed:
    case state::finished:
      return;
    case state::tail:
      break;
  }
  bool executable = false;
  if (const int e = check_central_directory(executable); e != 0) {
    fail(e, e == err_zip_needs_file ? "its central directory must be read the usual way"
                                    : "the central directory is missing or damaged");
    return;
  }
  if (executable) {
    if (const int e = out_.make_executable(); e != 0) {
      fail(e, "the file cannot be made executable");
      return;
    }
  }
  std::string why;
  if (const int e = out_.commit(want_sig_, nullptr, &why, true); e != 0) {
    fail(e, e == err_zip_wrong_contents ? "it " + why : why);
    return;
  }
  state_ = state::finished;
}

// ------------------------------------------------------------ [SECTION] files and folders

int delete_file(const std::string& path) {
  if (path.empty()) {
    IO_FAIL_HERE();
    return ENOENT;
  }
  const std::string full = app_path + path;
  int r;
  if (full.back() == '/') {
    r = plat::path_remove_dir(full.substr(0, full.size() - 1));
  } else {
    r = plat::path_remove_file(full);
  }
  if (r != 0) IO_FAIL_HERE();
  return r;
}

int unlock_file(const std::string& path) {
  const int r = plat::path_add_owner_write(app_path + path);
  if (r != 0) IO_FAIL_HERE();
  return r;
}

int rename_file(const std::string& folder, const std::string& old_name, const std::string& new_name) {
  const int r = plat::path_rename(app_path + folder + old_name, app_path + folder + new_name);
  if (r != 0) IO_FAIL_HERE();
  return r;
}

int make_folder(const std::string& path) {
  std::string full = app_path + path;
  if (!full.empty() && full.back() == '/') full.pop_back();
  const int r = plat::path_make_dir(full);
  if (r != 0) IO_FAIL_HERE();
  return r;
}

int show_make_dir_err(int code) { return code == 0 || code == 17 || code == 183 ? 0 : 1; }

int make_folder_chain(const std::string& path, bool private_to_user, std::string* failed_at) {
  std::string full = path;
  if (!full.empty() && full.back() == '/') full.pop_back();
  // Every prefix ending before a "/", and the whole path; the first one too,
  // which on Windows is a folder below the drive ("C:\\Name" of "C:\\Name/Sub").
  for (std::size_t at = 0; at < full.size();) {
    const std::size_t slash = full.find('/', at + 1);
    const std::string prefix = slash == std::string::npos ? full : full.substr(0, slash);
    at = slash == std::string::npos ? full.size() : slash;
    if (prefix.empty() || prefix == "/") continue;
    plat::PathKind kind;
    std::uint64_t size;
    if (plat::path_stat(app_path + prefix, kind, size) == 0) continue;
    const int err = private_to_user ? plat::path_make_dir(app_path + prefix, 0700) : make_folder(prefix);
    if (show_make_dir_err(err)) {
      IO_FAIL_HERE();
      if (failed_at) *failed_at = prefix;
      return err;
    }
  }
  return 0;
}

int show_del_err(int) { return 0; }

int opensave_getitems(const std::string& folder, int mode, std::vector<std::string>& names,
                      std::vector<int>& is_folder) {
  names.clear();
  is_folder.clear();
  if (folder.empty() || (folder.back() != '/' && folder.back() != '\\')) {
    __MACIBM_alert(0, "Working path does not appear to be a directory!",
                   "This is not consistent with my labelling practices!",
                   "I need to end all paths with the directory indicator!", folder, t_exit, "IO_UTILS", 907);
  }
  std::vector<plat::DirEntry> entries;
  if (plat::dir_list(app_path + folder, entries) != 0) return 0;
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [](const plat::DirEntry& e) { return e.name.empty() || e.name[0] == '.'; }),
                entries.end());
  const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
  std::sort(entries.begin(), entries.end(), [&](const plat::DirEntry& a, const plat::DirEntry& b) {
    const std::size_t n = std::min(a.name.size(), b.name.size());
    for (std::size_t i = 0; i < n; ++i) {
      const int ca = lower(static_cast<unsigned char>(a.name[i]));
      const int cb = lower(static_cast<unsigned char>(b.name[i]));
      if (ca != cb) return ca < cb;
    }
    if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
    return a.name < b.name;  // names equal but for case: a fixed order all the same
  });
  for (const plat::DirEntry& e : entries) {
    names.push_back(e.name);
    is_folder.push_back(e.is_folder ? 1 : 0);
  }
  return static_cast<int>(names.size());
}

// ---------------------------------------------------------------- [SECTION] output files

std::ofstream ouf;

int ouf_open(const std::string& path, int type, int version) {
  if (type != xmap_binary && type != xmap_text) {
    __MACIBM_alert(0, "Bad ouf_open type!", path, "", "", t_exit, "IO_UTILS", 1010);
  }
  std::string full = app_path + path;
  if (full.size() > 3) {
    for (std::size_t i = full.size() - 3; i < full.size(); ++i) {
      if (full[i] >= 'A' && full[i] <= 'Z') full[i] = static_cast<char>(full[i] + 32);
    }
  }
  check_len(full);

  for (int attempt = 0; attempt < 2; ++attempt) {
    if (ouf.is_open()) ouf.close();
    ouf.clear();
    if (type == xmap_binary) {
      ouf.open(full, std::ios::out | std::ios::trunc | std::ios::binary);
      if (ouf.is_open()) {
        const std::uint32_t v = static_cast<std::uint32_t>(version);
        const char bytes[5] = {'i', static_cast<char>(v & 255), static_cast<char>((v >> 8) & 255),
                               static_cast<char>((v >> 16) & 255), static_cast<char>((v >> 24) & 255)};
        ouf.write(bytes, 5);
      }
    } else {
      ouf.open(full, std::ios::out | std::ios::trunc | std::ios::binary);
      if (ouf.is_open()) {
        ouf.setf(std::ios::fixed, std::ios::floatfield);
        ouf << "I\n" << version << " version\n";
      }
    }
    if (ouf.is_open() && ouf.good()) return 1;
    if (attempt == 0) {
      std::string folder = full.substr(0, full.size() - get_file_with_path(full).size());
      if (!folder.empty()) make_folder(folder);
    }
  }
  if (ouf.is_open()) ouf.close();
  __MACIBM_alert(0,
                 "I could not save the file! Could the directory that the file sits in be missing? Or flagged as "
                 "READ-ONLY by the operating system? (Windows machines typically do this).",
                 full, "Could the file be flagged as read-only? This happens in Windows if you copy it from a CD!",
                 "Try putting this app in the background and then flag the file as NOT read-only, or creating the "
                 "folder listed in the path above.",
                 t_alert, "IO_UTILS", 1064);
  return 0;
}

// ----------------------------------------------- [SECTION] operating-system folders, paths

namespace {

std::string with_slash(std::string p) {
  if (!p.empty() && p.back() != '/') p += '/';
  return p;
}

}  // namespace

void get_OS_abs_path(int which, std::string& path) {
  path.clear();
  switch (which) {
    case 0: {
      const std::string exe = plat::exe_path();
      const std::size_t slash = exe.find_last_of('/');
      if (slash != std::string::npos) path = exe.substr(0, slash + 1);
      break;
    }
    case 1: path = with_slash(plat::desktop_dir()); break;
    case 2: path = with_slash(plat::home_dir()); break;
    case 3: path = with_slash(plat::private_temp_dir()); break;
    case 4: {
      const std::string dir = plat::app_settings_dir();
      if (!plat::path_is_absolute(dir)) break;
      make_folder_chain(dir, true, nullptr);
      path = dir + "/";
      break;
    }
    default: break;
  }
}

std::string get_file_with_path(const std::string& path) {
  if (path.empty()) return path;
  std::size_t end = path.size();
  if (path[end - 1] == '/' || path[end - 1] == '\\') --end;
  if (end == 0) return path;
  const std::size_t sep = path.find_last_of("/\\", end - 1);
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string default_dest_root(const std::string& programs_folder) {
  std::string root = programs_folder;
  const bool drive = root.size() >= 2 && root[1] == ':' &&
                     ((root[0] >= 'A' && root[0] <= 'Z') || (root[0] >= 'a' && root[0] <= 'z'));
  if (!drive) return root;
  for (int i = 0; i < 10 && root.size() > 3; ++i) root.resize(root.size() - get_file_with_path(root).size());
  return root;
}

void trim_dest_folder(std::string& path) {
  const std::size_t slash = path.find('/');
  if (slash != std::string::npos) path.erase(0, slash + 1);
}
