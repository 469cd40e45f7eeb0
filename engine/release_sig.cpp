#include "engine/release_sig.h"

#include <sodium.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "platform/sha256.h"

namespace rsig {

namespace {

// libsodium picks its fastest code once; without it nothing can be checked.
void sodium_ready() {
  static const bool ok = sodium_init() >= 0;
  if (!ok) std::abort();
}

// The lines of `text`, each without its line feed; false when the text does
// not end in one, or holds a carriage return or a NUL (the formats are
// written with line feeds only).
bool split_lines(const std::string& text, std::vector<std::string>& lines) {
  if (text.empty() || text.back() != '\n') return false;
  if (text.find('\r') != std::string::npos || text.find('\0') != std::string::npos) return false;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return true;
}

bool parse_serial(const std::string& s, std::uint64_t& out) {
  if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  out = std::strtoull(s.c_str(), nullptr, 10);
  return true;
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

}  // namespace

// ------------------------------------------------------------ keys and signatures

std::string b64_encode(const std::string& bytes) {
  sodium_ready();
  const std::size_t len = sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  std::string out(len, '\0');
  sodium_bin2base64(out.data(), len, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.resize(std::strlen(out.c_str()));
  return out;
}

bool b64_decode(const std::string& text, std::string& bytes) {
  sodium_ready();
  if (text.empty() || text.size() > (1u << 20)) return false;
  std::string out(text.size(), '\0');
  std::size_t got = 0;
  const char* end = nullptr;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(), text.size(), nullptr,
                        &got, &end, sodium_base64_VARIANT_ORIGINAL) != 0)
    return false;
  if (end != text.data() + text.size()) return false;
  out.resize(got);
  bytes = std::move(out);
  return true;
}

bool key_generate(std::string& seed, std::string& public_key) {
  sodium_ready();
  seed.assign(crypto_sign_SEEDBYTES, '\0');
  randombytes_buf(seed.data(), seed.size());
  return key_public_of(seed, public_key);
}

bool key_public_of(const std::string& seed, std::string& public_key) {
  sodium_ready();
  if (seed.size() != crypto_sign_SEEDBYTES) return false;
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(pk, sk, reinterpret_cast<const unsigned char*>(seed.data()));
  sodium_memzero(sk, sizeof sk);
  public_key.assign(reinterpret_cast<const char*>(pk), sizeof pk);
  return true;
}

bool key_parse_public(const std::string& b64, std::string& public_key) {
  std::string k;
  if (!b64_decode(b64, k) || k.size() != crypto_sign_PUBLICKEYBYTES) return false;
  public_key = k;
  return true;
}

std::string sign(const std::string& message, const std::string& seed) {
  sodium_ready();
  if (seed.size() != crypto_sign_SEEDBYTES) std::abort();
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(pk, sk, reinterpret_cast<const unsigned char*>(seed.data()));
  unsigned char sig[crypto_sign_BYTES];
  crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(message.data()), message.size(), sk);
  sodium_memzero(sk, sizeof sk);
  return std::string(reinterpret_cast<const char*>(sig), sizeof sig);
}

bool verify(const std::string& message, const std::string& signature, const std::string& public_key) {
  sodium_ready();
  if (signature.size() != crypto_sign_BYTES || public_key.size() != crypto_sign_PUBLICKEYBYTES) return false;
  return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                     reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                                     reinterpret_cast<const unsigned char*>(public_key.data())) == 0;
}

std::string secret_key_text(const std::string& seed) {
  std::string pk;
  key_public_of(seed, pk);
  return "I\n820\nSECRETKEY\nED25519 " + b64_encode(seed) + "\nPUBLIC " + b64_encode(pk) + "\n";
}

bool secret_key_parse(const std::string& text, std::string& seed, std::string& err) {
  std::vector<std::string> lines;
  if (!split_lines(text, lines) || lines.size() < 4 || lines[0] != "I" || lines[1] != "820" ||
      lines[2] != "SECRETKEY") {
    err = "not a secret key file of skyvane-publish";
    return false;
  }
  for (const std::string& l : lines)
    if (l.compare(0, 8, "ED25519 ") == 0) {
      std::string s;
      if (!b64_decode(l.substr(8), s) || s.size() != crypto_sign_SEEDBYTES) {
        err = "the key in it does not read";
        return false;
      }
      seed = s;
      return true;
    }
  err = "it holds no key";
  return false;
}

// --------------------------------------------------------------- the statement

const signed_version* statement::find(const std::string& name) const {
  for (const signed_version& v : versions)
    if (v.name == name) return &v;
  return nullptr;
}

std::string statement_text(const statement& st, const std::string& seed) {
  std::string body = "I\n820\nSIGNED\nPRODUCT " + st.product + "\nSERIAL " + std::to_string(st.serial) + "\n";
  if (st.has_expiry) body += "EXPIRES " + utc_text(st.expires) + "\n";
  body += "SERVERLIST " + st.serverlist_sha256 + "\n";
  for (const signed_version& v : st.versions)
    body += "VERSION " + v.directory_sha256 + " " + v.files_sha256 + " " + v.name + "\n";
  return body + "SIGNATURE " + b64_encode(sign(body, seed)) + "\n";
}

verdict statement_check(const std::string& text, const std::string& list, const std::vector<std::string>& keys,
                        std::int64_t now, std::uint64_t seen, statement& out) {
  out = statement{};
  out.product.clear();
  // The signature line is the last line; it signs every byte before it.
  if (text.size() > kStatementMax || text.empty() || text.back() != '\n') return verdict::not_signed;
  const std::size_t last = text.rfind('\n', text.size() - 2);
  const std::size_t sig_at = last == std::string::npos ? 0 : last + 1;
  if (text.compare(sig_at, 10, "SIGNATURE ") != 0) return verdict::not_signed;
  const std::string body = text.substr(0, sig_at);
  std::string signature;
  if (!b64_decode(text.substr(sig_at + 10, text.size() - sig_at - 11), signature)) return verdict::not_signed;
  bool trusted = false;
  for (const std::string& k : keys)
    if (verify(body, signature, k)) {
      trusted = true;
      break;
    }
  if (!trusted) return verdict::not_signed;

  std::vector<std::string> lines;
  if (!split_lines(body, lines) || lines.size() < 3 || lines[0] != "I" || lines[1] != "820" || lines[2] != "SIGNED")
    return verdict::unreadable;
  bool have_serial = false;
  for (std::size_t i = 3; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    const std::size_t sp = l.find(' ');
    const std::string key = l.substr(0, sp);
    const std::string value = sp == std::string::npos ? std::string() : l.substr(sp + 1);
    if (key == "PRODUCT") {
      out.product = value;
    } else if (key == "SERIAL") {
      if (!parse_serial(value, out.serial)) return verdict::unreadable;
      have_serial = true;
    } else if (key == "EXPIRES") {
      if (!utc_parse(value, out.expires)) return verdict::unreadable;
      out.has_expiry = true;
    } else if (key == "SERVERLIST") {
      if (!is_sha256(value)) return verdict::unreadable;
      out.serverlist_sha256 = value;
    } else if (key == "VERSION") {
      if (value.size() < 64 + 1 + 64 + 2 || value[64] != ' ' || value[129] != ' ') return verdict::unreadable;
      signed_version v{value.substr(130), value.substr(0, 64), value.substr(65, 64)};
      if (!is_sha256(v.directory_sha256) || !is_sha256(v.files_sha256) || v.name.empty()) return verdict::unreadable;
      out.versions.push_back(v);
    }
    // Other keywords are left for later versions of the format.
  }
  if (!have_serial || out.serverlist_sha256.empty()) return verdict::unreadable;
  if (out.product != kProduct) return verdict::other_product;
  const std::string hex = plat::sha256_hex(list.data(), list.size());
  if (hex != out.serverlist_sha256) return verdict::list_changed;
  if (out.has_expiry && now >= out.expires) return verdict::expired;
  if (out.serial < seen) return verdict::older;
  return verdict::ok;
}

std::string refusal_text(verdict v, const statement& st) {
  switch (v) {
    case verdict::ok: return "";
    case verdict::not_signed: return "The server list is not signed by a key this installer trusts.";
    case verdict::unreadable: return "The server list's signed statement is not in a format I can read.";
    case verdict::other_product: return "The server list is signed for another product.";
    case verdict::list_changed: return "The server list is not the one the publisher signed.";
    case verdict::expired: return "The server list expired on " + utc_text(st.expires).substr(0, 10) + ".";
    case verdict::older: return "The server list is older than one this installer has already seen.";
  }
  return "";
}

// ----------------------------------------------------------- the per-file list

std::string file_list_text(const std::vector<file_hash>& files) {
  std::string t = "I\n820\nFILEHASHES\n";
  for (const file_hash& f : files) t += f.sha256 + " " + f.path + "\n";
  return t;
}

bool file_list_parse(const std::string& text, std::vector<file_hash>& out, std::string& err) {
  out.clear();
  std::vector<std::string> lines;
  if (!split_lines(text, lines) || lines.size() < 3 || lines[0] != "I" || lines[1] != "820" ||
      lines[2] != "FILEHASHES") {
    err = "the list of file digests is not in a format I can read";
    return false;
  }
  out.reserve(lines.size() - 3);
  for (std::size_t i = 3; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (l.size() < 66 || l[64] != ' ' || !is_sha256(l.substr(0, 64))) {
      err = "line " + std::to_string(i + 1) + " of the list of file digests does not read";
      return false;
    }
    out.push_back(file_hash{l.substr(0, 64), l.substr(65)});
  }
  return true;
}

// --------------------------------------------------------------------- helpers

bool is_sha256(const std::string& s) {
  return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string utc_text(std::int64_t seconds) {
  std::int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) rest += 86400, --days;
  std::int64_t y;
  unsigned m, d;
  civil_from_days(days, y, m, d);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02dZ", static_cast<long long>(y), m, d,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return buf;
}

bool utc_parse(const std::string& t, std::int64_t& seconds) {
  // YYYY-MM-DDTHH:MM:SSZ exactly.
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  if (t.size() != sizeof kShape - 1) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (kShape[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != kShape[i]) return false;
  }
  const auto num = [&](std::size_t at, std::size_t n) { return std::atoi(t.substr(at, n).c_str()); };
  const int y = num(0, 4), mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2), s = num(17, 2);
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return false;
  const std::int64_t days = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  std::int64_t yy;
  unsigned mm, dd;
  civil_from_days(days, yy, mm, dd);
  if (yy != y || static_cast<int>(mm) != mo || static_cast<int>(dd) != d) return false;  // 31 April and the like
  seconds = days * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

}  // namespace rsig
