#include "tools/publish/archive.h"

#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/md5.h"
#include "platform/sha256.h"

namespace pub {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlock = 1u << 20;

// ------------------------------------------------------------- [SECTION] MD5 stream

// Signatures are made by the same digest the installer checks them with.
using md5_stream = plat::Md5;

struct file_closer {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// The member's date: the file's modification time (UTC), or 1980-01-01 when
// it cannot be read.
zip_fileinfo info_for(const std::string& src, bool executable) {
  zip_fileinfo zi{};
  zi.tmz_date.tm_year = 1980;
  zi.tmz_date.tm_mday = 1;
  std::error_code ec;
  auto t = fs::last_write_time(src, ec);
  if (!ec) {
    auto sys = std::chrono::file_clock::to_sys(t);
    auto day = std::chrono::floor<std::chrono::days>(sys);
    std::chrono::year_month_day ymd{day};
    std::chrono::hh_mm_ss hms{std::chrono::floor<std::chrono::seconds>(sys - day)};
    int year = static_cast<int>(ymd.year());
    if (year >= 1980 && year <= 2107) {
      zi.tmz_date.tm_year = static_cast<uInt>(year);
      zi.tmz_date.tm_mon = static_cast<uInt>(static_cast<unsigned>(ymd.month()) - 1);
      zi.tmz_date.tm_mday = static_cast<uInt>(static_cast<unsigned>(ymd.day()));
      zi.tmz_date.tm_hour = static_cast<uInt>(hms.hours().count());
      zi.tmz_date.tm_min = static_cast<uInt>(hms.minutes().count());
      zi.tmz_date.tm_sec = static_cast<uInt>(hms.seconds().count());
    }
  }
  // A regular file with its permission bits, in the upper half as the zip
  // tools of Unix-like systems write them (made by "Unix", below).
  unsigned long mode = 0100644 | (executable ? 0111 : 0);
  zi.external_fa = mode << 16;
  return zi;
}

// Opens a new archive with one member open for writing.
zipFile open_member(const std::string& zip_path, const std::string& member, const zip_fileinfo& zi, int method,
                    bool big, std::string& err) {
  zipFile zf = zipOpen64(zip_path.c_str(), APPEND_STATUS_CREATE);
  if (!zf) {
    err = "cannot create the archive " + zip_path;
    return nullptr;
  }
  const int made_by_unix = 3 << 8;
  int rc = zipOpenNewFileInZip4_64(zf, member.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, method,
                                   method ? Z_DEFAULT_COMPRESSION : 0, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                   Z_DEFAULT_STRATEGY, nullptr, 0, made_by_unix, 0, big ? 1 : 0);
  if (rc != ZIP_OK) {
    zipClose(zf, nullptr);
    err = "cannot start the member of " + zip_path + " (zip error " + std::to_string(rc) + ")";
    return nullptr;
  }
  return zf;
}

bool close_member(zipFile zf, const std::string& zip_path, bool ok, std::string& err) {
  int rc1 = zipCloseFileInZip(zf);
  int rc2 = zipClose(zf, nullptr);
  if (ok && (rc1 != ZIP_OK || rc2 != ZIP_OK)) {
    err = "cannot finish the archive " + zip_path + " (is the disk full?)";
    return false;
  }
  return ok;
}

// One pass over `src` into a new archive; returns false with `err`.
bool write_pass(const std::string& src, const std::string& zip_path, const std::string& member,
                std::uint64_t expected, int method, bool executable, std::vector<unsigned char>& buf,
                std::string* md5_out, std::string& err, std::string* sha256_out = nullptr) {
  file_ptr in(std::fopen(src.c_str(), "rb"));
  if (!in) {
    err = "cannot read " + src;
    return false;
  }
  zip_fileinfo zi = info_for(src, executable);
  zipFile zf = open_member(zip_path, member, zi, method, expected >= 0xffffffffull, err);
  if (!zf) return false;
  md5_stream md5;
  plat::Sha256 sha;
  std::uint64_t total = 0;
  bool ok = true;
  for (;;) {
    std::size_t n = std::fread(buf.data(), 1, buf.size(), in.get());
    if (n > 0) {
      md5.add(buf.data(), n);
      if (sha256_out) sha.add(buf.data(), n);
      total += n;
      if (zipWriteInFileInZip(zf, buf.data(), static_cast<unsigned>(n)) != ZIP_OK) {
        err = "cannot write the archive " + zip_path + " (is the disk full?)";
        ok = false;
        break;
      }
    }
    if (n < buf.size()) {
      if (std::ferror(in.get())) {
        err = "read error in " + src;
        ok = false;
      }
      break;
    }
  }
  if (ok && total != expected) {
    err = src + " changed while it was being published (" + std::to_string(expected) + " bytes listed, " +
          std::to_string(total) + " read)";
    ok = false;
  }
  if (!close_member(zf, zip_path, ok, err)) return false;
  if (md5_out) *md5_out = md5.hex();
  if (sha256_out) *sha256_out = sha.hex();
  return true;
}

}  // namespace

std::string md5_of(const std::string& bytes) {
  md5_stream md5;
  md5.add(bytes.data(), bytes.size());
  return md5.hex();
}

// ---------------------------------------------------------------- [SECTION] packing

bool pack_file(const std::string& src, const std::string& zip_path, const std::string& member,
               std::uint64_t expected_bytes, packed& out, std::string& err) {
  std::vector<unsigned char> buf(kBlock);
  std::error_code ec;
  auto perms = fs::status(src, ec).permissions();
  bool executable = !ec && (perms & fs::perms::owner_exec) != fs::perms::none;

  int method = expected_bytes == 0 ? 0 : Z_DEFLATED;
  if (!write_pass(src, zip_path, member, expected_bytes, method, executable, buf, &out.md5, err, &out.sha256))
    return false;
  auto zip_bytes = fs::file_size(zip_path, ec);
  if (ec) {
    err = "cannot measure the archive " + zip_path;
    return false;
  }
  // Stored, the archive would hold the file plus two headers and the end
  // record; deflating that did not beat that is redone as stored.
  std::uint64_t stored = expected_bytes + 2 * member.size() + 30 + 46 + 22;
  if (method != 0 && zip_bytes > stored) {
    std::string md5_again;
    if (!write_pass(src, zip_path, member, expected_bytes, 0, executable, buf, &md5_again, err)) return false;
    if (md5_again != out.md5) {
      err = src + " changed while it was being published";
      return false;
    }
    zip_bytes = fs::file_size(zip_path, ec);
    if (ec) {
      err = "cannot measure the archive " + zip_path;
      return false;
    }
  }
  out.file_bytes = expected_bytes;
  out.zip_bytes = zip_bytes;
  return true;
}

bool pack_bytes(const std::string& bytes, const std::string& zip_path, const std::string& member, std::string& err) {
  return pack_members({{member, bytes}}, zip_path, err);
}

bool pack_members(const std::vector<std::pair<std::string, std::string>>& members, const std::string& zip_path,
                  std::string& err) {
  zip_fileinfo zi{};
  zi.external_fa = 0100644ul << 16;
  auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  auto day = std::chrono::floor<std::chrono::days>(now);
  std::chrono::year_month_day ymd{day};
  std::chrono::hh_mm_ss hms{now - day};
  zi.tmz_date.tm_year = static_cast<uInt>(static_cast<int>(ymd.year()));
  zi.tmz_date.tm_mon = static_cast<uInt>(static_cast<unsigned>(ymd.month()) - 1);
  zi.tmz_date.tm_mday = static_cast<uInt>(static_cast<unsigned>(ymd.day()));
  zi.tmz_date.tm_hour = static_cast<uInt>(hms.hours().count());
  zi.tmz_date.tm_min = static_cast<uInt>(hms.minutes().count());
  zi.tmz_date.tm_sec = static_cast<uInt>(hms.seconds().count());
  zipFile zf = nullptr;
  bool ok = true;
  for (std::size_t k = 0; k < members.size() && ok; ++k) {
    const std::string& member = members[k].first;
    const std::string& bytes = members[k].second;
    if (k == 0) {
      zf = open_member(zip_path, member, zi, Z_DEFLATED, false, err);
      if (!zf) return false;
    } else {
      // The next member of the same archive: the one before is closed first.
      const int made_by_unix = 3 << 8;
      if (zipCloseFileInZip(zf) != ZIP_OK ||
          zipOpenNewFileInZip4_64(zf, member.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                  Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr,
                                  0, made_by_unix, 0, 0) != ZIP_OK) {
        err = "cannot start the member " + member + " of " + zip_path;
        ok = false;
        break;
      }
    }
    std::size_t off = 0;
    while (off < bytes.size()) {
      std::size_t n = std::min(bytes.size() - off, kBlock);
      if (zipWriteInFileInZip(zf, bytes.data() + off, static_cast<unsigned>(n)) != ZIP_OK) {
        err = "cannot write the archive " + zip_path + " (is the disk full?)";
        ok = false;
        break;
      }
      off += n;
    }
  }
  return close_member(zf, zip_path, ok, err);
}

// ---------------------------------------------------------------- [SECTION] reading

namespace {

// Opens `zip_path` positioned on its only member, checking its name.
unzFile open_single(const std::string& zip_path, const std::string& member, unz_file_info64& info,
                    std::string& err) {
  unzFile uf = unzOpen64(zip_path.c_str());
  if (!uf) {
    err = zip_path + " is not a readable zip archive";
    return nullptr;
  }
  unz_global_info64 gi{};
  if (unzGetGlobalInfo64(uf, &gi) != UNZ_OK || gi.number_entry != 1) {
    err = zip_path + " must hold exactly one member, it holds " + std::to_string(gi.number_entry);
    unzClose(uf);
    return nullptr;
  }
  char name[1024];
  if (unzGoToFirstFile(uf) != UNZ_OK ||
      unzGetCurrentFileInfo64(uf, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) {
    err = "cannot read the member of " + zip_path;
    unzClose(uf);
    return nullptr;
  }
  if (member != name) {
    err = zip_path + " holds \"" + name + "\" where \"" + member + "\" was expected";
    unzClose(uf);
    return nullptr;
  }
  if (unzOpenCurrentFile(uf) != UNZ_OK) {
    err = "cannot open the member of " + zip_path;
    unzClose(uf);
    return nullptr;
  }
  return uf;
}

// Opens the member named `member` of `zip_path` (among any others).
unzFile open_named(const std::string& zip_path, const std::string& member, std::string& err) {
  unzFile uf = unzOpen64(zip_path.c_str());
  if (!uf) {
    err = zip_path + " is not a readable zip archive";
    return nullptr;
  }
  if (unzLocateFile(uf, member.c_str(), 1) != UNZ_OK) {
    err = zip_path + " holds no member \"" + member + "\"";
    unzClose(uf);
    return nullptr;
  }
  if (unzOpenCurrentFile(uf) != UNZ_OK) {
    err = "cannot open the member " + member + " of " + zip_path;
    unzClose(uf);
    return nullptr;
  }
  return uf;
}

// Streams the open member to `sink`; returns false with `err`, including on a
// CRC mismatch (reported when the member is closed).
template <typename Sink>
bool stream_member(unzFile uf, const std::string& zip_path, Sink sink, std::string& err) {
  std::vector<unsigned char> buf(kBlock);
  bool ok = true;
  for (;;) {
    int n = unzReadCurrentFile(uf, buf.data(), static_cast<unsigned>(buf.size()));
    if (n < 0) {
      err = zip_path + " is damaged (read error " + std::to_string(n) + ")";
      ok = false;
      break;
    }
    if (n == 0) break;
    if (!sink(buf.data(), static_cast<std::size_t>(n))) {
      ok = false;
      break;
    }
  }
  int rc = unzCloseCurrentFile(uf);
  unzClose(uf);
  if (ok && rc != UNZ_OK) {
    err = zip_path + " is damaged (" + (rc == UNZ_CRCERROR ? std::string("CRC mismatch") : "error " + std::to_string(rc)) +
          ")";
    ok = false;
  }
  return ok;
}

}  // namespace

bool check_archive(const std::string& zip_path, const std::string& member, const std::string& md5,
                   std::uint64_t file_bytes, std::string& err) {
  unz_file_info64 info{};
  unzFile uf = open_single(zip_path, member, info, err);
  if (!uf) return false;
  md5_stream hash;
  std::uint64_t total = 0;
  if (!stream_member(
          uf, zip_path,
          [&](const unsigned char* p, std::size_t n) {
            hash.add(p, n);
            total += n;
            return true;
          },
          err))
    return false;
  if (total != file_bytes) {
    err = zip_path + " unpacks to " + std::to_string(total) + " bytes, not " + std::to_string(file_bytes);
    return false;
  }
  std::string got = hash.hex();
  if (got != md5) {
    err = zip_path + " unpacks to contents with MD5 " + got + ", not " + md5;
    return false;
  }
  return true;
}

bool read_member(const std::string& zip_path, const std::string& member, std::string& out, std::string& err,
                 std::uint64_t limit) {
  out.clear();
  unzFile uf = open_named(zip_path, member, err);
  if (!uf) return false;
  return stream_member(
      uf, zip_path,
      [&](const unsigned char* p, std::size_t n) {
        if (out.size() + n > limit) {
          err = zip_path + " holds more than " + std::to_string(limit) + " bytes";
          return false;
        }
        out.append(reinterpret_cast<const char*>(p), n);
        return true;
      },
      err);
}

}  // namespace pub
