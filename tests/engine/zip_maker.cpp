#include "tests/engine/zip_maker.h"

#include <minizip/zip.h>
#include <zlib.h>

namespace engine_test {

bool make_zip(const std::string& path, const std::vector<ZipMember>& members) {
  zipFile zf = zipOpen(path.c_str(), APPEND_STATUS_CREATE);
  if (!zf) return false;
  bool ok = true;
  for (const ZipMember& m : members) {
    zip_fileinfo info{};
    info.external_fa = static_cast<uLong>(m.unix_mode) << 16;
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(m.data.data()), static_cast<uInt>(m.data.size()));
    if (m.bad_crc) {
      // Stored raw, so that the writer keeps the checksum we give it.
      ok = ok && zipOpenNewFileInZip2(zf, m.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, 0, 0, 1) == ZIP_OK;
      ok = ok && zipWriteInFileInZip(zf, m.data.data(), static_cast<unsigned>(m.data.size())) == ZIP_OK;
      ok = ok && zipCloseFileInZipRaw(zf, m.data.size(), crc ^ 0x5a5a5a5aUL) == ZIP_OK;
      continue;
    }
    // Members with a mode are written as the zip tools of Unix-like systems
    // write them ("made by" Unix).
    const uLong made_by = m.unix_mode ? (3u << 8) : 0;
    ok = ok && zipOpenNewFileInZip4(zf, m.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                    m.stored ? 0 : Z_DEFLATED, m.stored ? 0 : Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr,
                                    0, made_by, 0) == ZIP_OK;
    if (!m.data.empty())
      ok = ok && zipWriteInFileInZip(zf, m.data.data(), static_cast<unsigned>(m.data.size())) == ZIP_OK;
    ok = ok && zipCloseFileInZip(zf) == ZIP_OK;
  }
  return zipClose(zf, nullptr) == ZIP_OK && ok;
}

}  // namespace engine_test
