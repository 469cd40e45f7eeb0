// Signed releases: the publisher's statement beside the server list and the
// per-file SHA-256 list inside the directory archive, their texts, and the
// Ed25519 signatures (libsodium) over them.
//
// The statement, "serverlist.sig" beside "serverlist.txt" on the server-list
// host; one field a line, every line ending in a line feed:
//
//   I
//   820
//   SIGNED
//   PRODUCT Skyvane
//   SERIAL <decimal, grows with every publication>
//   EXPIRES <YYYY-MM-DDTHH:MM:SSZ>            (optional)
//   SERVERLIST <SHA-256 of serverlist.txt as served>
//   VERSION <SHA-256 of directory.txt> <SHA-256 of directory.sha256> <name>
//   ...                                        (one line per offered version)
//   SIGNATURE <base64 Ed25519 signature of every byte before this line>
//
// The per-file list, the member "directory.sha256" of "directory.txt.zip"
// beside "directory.txt" (which stays what it always was):
//
//   I
//   820
//   FILEHASHES
//   <SHA-256> <manifest path>                 (one line per file of the release)
//
// Digests are 64 lower-case hexadecimal digits; keys and signatures are
// standard base64 (with "=" padding).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rsig {

constexpr const char* kProduct = "Skyvane";
constexpr const char* kStatementName = "serverlist.sig";
constexpr const char* kFileListMember = "directory.sha256";
constexpr std::size_t kStatementMax = 64 * 1024;  // a statement is a few lines per version

// ---- keys and signatures

// Base64 of bytes, and back (false for anything but whole, valid base64).
std::string b64_encode(const std::string& bytes);
bool b64_decode(const std::string& text, std::string& bytes);

// A new secret key (its 32-byte seed) and its public key (32 bytes).
bool key_generate(std::string& seed, std::string& public_key);
// The public key of a seed; false for a seed of the wrong size.
bool key_public_of(const std::string& seed, std::string& public_key);
// A public key given as base64: true with its 32 bytes.
bool key_parse_public(const std::string& b64, std::string& public_key);
// The 64-byte signature of `message` by the key of `seed`.
std::string sign(const std::string& message, const std::string& seed);
bool verify(const std::string& message, const std::string& signature, const std::string& public_key);

// The text of a secret key file, and its reading (false with `err`).
std::string secret_key_text(const std::string& seed);
bool secret_key_parse(const std::string& text, std::string& seed, std::string& err);

// ---- the statement

struct signed_version {
  std::string name;
  std::string directory_sha256;  // of directory.txt
  std::string files_sha256;      // of directory.sha256
};

struct statement {
  std::string product = kProduct;
  std::uint64_t serial = 0;
  bool has_expiry = false;
  std::int64_t expires = 0;  // seconds since 1970-01-01 UTC
  std::string serverlist_sha256;
  std::vector<signed_version> versions;

  const signed_version* find(const std::string& name) const;
};

// The whole text of a statement signed by the key of `seed`.
std::string statement_text(const statement& st, const std::string& seed);

// What the check of a statement found, in the order it checks.
enum class verdict {
  ok,
  not_signed,     // no signature, or none by a trusted key
  unreadable,     // signed, but its fields do not read
  other_product,  // signed for another product
  list_changed,   // the server list is not the one signed
  expired,        // past its expiry
  older,          // a lower serial than one already seen
};

// Checks `text` (the statement as fetched) against the trusted `keys`, the
// server list's bytes `list`, the time `now` (seconds since 1970 UTC) and
// the highest serial seen so far `seen`; fills `out` from the signed fields
// when the signature holds.
verdict statement_check(const std::string& text, const std::string& list, const std::vector<std::string>& keys,
                        std::int64_t now, std::uint64_t seen, statement& out);

// The one line that says why a statement was refused.
std::string refusal_text(verdict v, const statement& st);

// ---- the per-file list

struct file_hash {
  std::string sha256;
  std::string path;
};
std::string file_list_text(const std::vector<file_hash>& files);
bool file_list_parse(const std::string& text, std::vector<file_hash>& out, std::string& err);

// ---- helpers

bool is_sha256(const std::string& s);
// "YYYY-MM-DDTHH:MM:SSZ" for seconds since 1970 UTC, and back.
std::string utc_text(std::int64_t seconds);
bool utc_parse(const std::string& text, std::int64_t& seconds);

}  // namespace rsig
