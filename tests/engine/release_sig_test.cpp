// The texts and signatures of signed releases: a statement made with one key
// and checked the way the installer checks it, with every way it can be
// wrong (unknown key, a byte changed in the statement or in the list,
// expired, older, for another product), key rotation, the per-file list and
// the encodings beneath them.
#include "engine/release_sig.h"

#include <gtest/gtest.h>

#include "platform/sha256.h"

namespace {

const std::string kList = "I\n820\nSERVERS\nBETA Skyvane 2.00\nSERVER 127.0.0.1:8080\n/pub/\nMain\nENDOFLIST\n";
constexpr std::int64_t kNow = 1796000000;  // a fixed "now" for the expiry checks

struct keypair {
  std::string seed, pub;
  keypair() { EXPECT_TRUE(rsig::key_generate(seed, pub)); }
};

rsig::statement sample(std::uint64_t serial = 40) {
  rsig::statement st;
  st.serial = serial;
  st.serverlist_sha256 = plat::sha256_hex(kList.data(), kList.size());
  st.versions.push_back({"Skyvane 2.00", std::string(64, 'a'), std::string(64, 'b')});
  st.versions.push_back({"Skyvane 1.00 Final", std::string(64, 'c'), std::string(64, 'd')});
  return st;
}

rsig::verdict check(const std::string& text, const std::vector<std::string>& keys, std::uint64_t seen = 0,
                    const std::string& list = kList, std::int64_t now = kNow) {
  rsig::statement out;
  return rsig::statement_check(text, list, keys, now, seen, out);
}

TEST(ReleaseSignature, GoodStatementReadsBackWithItsFields) {
  keypair k;
  rsig::statement st = sample();
  st.has_expiry = true;
  st.expires = kNow + 86400;
  const std::string text = rsig::statement_text(st, k.seed);
  rsig::statement out;
  ASSERT_EQ(rsig::statement_check(text, kList, {k.pub}, kNow, 40, out), rsig::verdict::ok) << text;
  EXPECT_EQ(out.serial, 40u);
  EXPECT_EQ(out.expires, kNow + 86400);
  ASSERT_NE(out.find("Skyvane 1.00 Final"), nullptr);
  EXPECT_EQ(out.find("Skyvane 1.00 Final")->files_sha256, std::string(64, 'd'));
  EXPECT_EQ(out.find("Skyvane 2.00")->directory_sha256, std::string(64, 'a'));
  EXPECT_EQ(out.find("Skyvane 3.00"), nullptr);
}

TEST(ReleaseSignature, RefusesWhatIsNotSignedByATrustedKey) {
  keypair k, stranger;
  const std::string text = rsig::statement_text(sample(), k.seed);
  EXPECT_EQ(check(text, {stranger.pub}), rsig::verdict::not_signed);
  EXPECT_EQ(check(text, {}), rsig::verdict::not_signed);
  // Without its signature line, or with garbage in its place.
  const std::string body = text.substr(0, text.rfind("SIGNATURE "));
  EXPECT_EQ(check(body, {k.pub}), rsig::verdict::not_signed);
  EXPECT_EQ(check(body + "SIGNATURE !!!\n", {k.pub}), rsig::verdict::not_signed);
  EXPECT_EQ(check("", {k.pub}), rsig::verdict::not_signed);
  // One byte changed anywhere in the signed part.
  for (std::size_t at : {std::size_t(0), text.find("SERIAL") + 8, text.find("VERSION") + 20, body.size() - 2}) {
    std::string bad = text;
    bad[at] = static_cast<char>(bad[at] ^ 1);
    EXPECT_EQ(check(bad, {k.pub}), rsig::verdict::not_signed) << "byte " << at;
  }
  // One byte changed in the signature itself.
  std::string bad = text;
  bad[body.size() + 12] = bad[body.size() + 12] == 'A' ? 'B' : 'A';
  EXPECT_EQ(check(bad, {k.pub}), rsig::verdict::not_signed);
}

TEST(ReleaseSignature, EitherOfTwoTrustedKeysWillDo) {
  keypair old_key, new_key;
  EXPECT_EQ(check(rsig::statement_text(sample(), new_key.seed), {old_key.pub, new_key.pub}), rsig::verdict::ok);
  EXPECT_EQ(check(rsig::statement_text(sample(), old_key.seed), {old_key.pub, new_key.pub}), rsig::verdict::ok);
}

TEST(ReleaseSignature, TheListMustBeTheOneSignedByteForByte) {
  keypair k;
  const std::string text = rsig::statement_text(sample(), k.seed);
  std::string other = kList;
  other[other.find("8080")] = '9';
  EXPECT_EQ(check(text, {k.pub}, 0, other), rsig::verdict::list_changed);
  EXPECT_EQ(check(text, {k.pub}, 0, kList + "\n"), rsig::verdict::list_changed);
}

TEST(ReleaseSignature, ExpiryAndSerial) {
  keypair k;
  rsig::statement st = sample(40);
  st.has_expiry = true;
  st.expires = kNow;
  rsig::statement out;
  const std::string text = rsig::statement_text(st, k.seed);
  EXPECT_EQ(rsig::statement_check(text, kList, {k.pub}, kNow, 0, out), rsig::verdict::expired);
  EXPECT_EQ(rsig::refusal_text(rsig::verdict::expired, out),
            "The server list expired on " + rsig::utc_text(kNow).substr(0, 10) + ".");
  EXPECT_EQ(check(text, {k.pub}, 0, kList, kNow - 1), rsig::verdict::ok);
  // A serial below the one seen is a rollback; the same serial is the same publication.
  const std::string plain = rsig::statement_text(sample(40), k.seed);
  EXPECT_EQ(check(plain, {k.pub}, 41), rsig::verdict::older);
  EXPECT_EQ(check(plain, {k.pub}, 40), rsig::verdict::ok);
}

TEST(ReleaseSignature, RefusalTextsAreTheOnesUsersRead) {
  rsig::statement st;
  st.expires = 1796083200;  // 2026-12-01T00:00:00Z
  EXPECT_EQ(rsig::refusal_text(rsig::verdict::not_signed, st),
            "The server list is not signed by a key this installer trusts.");
  EXPECT_EQ(rsig::refusal_text(rsig::verdict::older, st),
            "The server list is older than one this installer has already seen.");
  EXPECT_EQ(rsig::refusal_text(rsig::verdict::expired, st), "The server list expired on 2026-12-01.");
}

TEST(ReleaseSignature, AnotherProductIsRefused) {
  keypair k;
  rsig::statement st = sample();
  st.product = "Otherthing";
  EXPECT_EQ(check(rsig::statement_text(st, k.seed), {k.pub}), rsig::verdict::other_product);
}

TEST(ReleaseSignature, KeysAndTheirFiles) {
  keypair k;
  std::string pub;
  ASSERT_TRUE(rsig::key_parse_public(rsig::b64_encode(k.pub), pub));
  EXPECT_EQ(pub, k.pub);
  EXPECT_FALSE(rsig::key_parse_public(rsig::b64_encode(k.pub.substr(1)), pub));
  EXPECT_FALSE(rsig::key_parse_public("not base64 at all", pub));
  EXPECT_FALSE(rsig::key_parse_public(rsig::b64_encode(k.pub) + "x", pub));
  std::string seed, err;
  ASSERT_TRUE(rsig::secret_key_parse(rsig::secret_key_text(k.seed), seed, err)) << err;
  EXPECT_EQ(seed, k.seed);
  EXPECT_FALSE(rsig::secret_key_parse("I\n820\nSECRETKEY\nED25519 AAAA\n", seed, err));
  EXPECT_FALSE(rsig::secret_key_parse(rsig::b64_encode(k.seed) + "\n", seed, err));
  const std::string sig = rsig::sign("message", k.seed);
  EXPECT_TRUE(rsig::verify("message", sig, k.pub));
  EXPECT_FALSE(rsig::verify("messagE", sig, k.pub));
}

TEST(ReleaseSignature, FileListReadsBackAndRefusesBadLines) {
  std::vector<rsig::file_hash> files{{std::string(64, '1'), "Skyvane/Craft/Kestrel 2/Kestrel 2.craft"},
                                     {std::string(64, 'f'), "Skyvane/trailing blank "}};
  std::vector<rsig::file_hash> back;
  std::string err;
  ASSERT_TRUE(rsig::file_list_parse(rsig::file_list_text(files), back, err)) << err;
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].path, files[0].path);
  EXPECT_EQ(back[1].path, "Skyvane/trailing blank ");
  EXPECT_EQ(back[1].sha256, files[1].sha256);
  EXPECT_FALSE(rsig::file_list_parse("I\n820\nFILEHASHES\n" + std::string(64, 'G') + " a\n", back, err));
  EXPECT_FALSE(rsig::file_list_parse("I\n820\nFILEHASHES\n" + std::string(63, 'a') + " a\n", back, err));
  EXPECT_FALSE(rsig::file_list_parse("I\n820\nFILEHASHES\r\n", back, err));
  EXPECT_FALSE(rsig::file_list_parse("I\n820\nSERVERS\n", back, err));
}

TEST(ReleaseSignature, DatesBothWays) {
  std::int64_t t = 0;
  ASSERT_TRUE(rsig::utc_parse("2026-11-30T12:34:56Z", t));
  EXPECT_EQ(rsig::utc_text(t), "2026-11-30T12:34:56Z");
  EXPECT_EQ(rsig::utc_text(0), "1970-01-01T00:00:00Z");
  ASSERT_TRUE(rsig::utc_parse("2028-02-29T00:00:00Z", t));
  EXPECT_EQ(rsig::utc_text(t), "2028-02-29T00:00:00Z");
  EXPECT_FALSE(rsig::utc_parse("2027-02-29T00:00:00Z", t));
  EXPECT_FALSE(rsig::utc_parse("2026-11-30 12:34:56Z", t));
  EXPECT_FALSE(rsig::utc_parse("2026-13-01T00:00:00Z", t));
}

TEST(ReleaseSignature, Sha256OfKnownInput) {
  EXPECT_EQ(plat::sha256_hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  plat::Sha256 s;
  s.add("a", 1);
  s.add("bc", 2);
  EXPECT_EQ(s.hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(s.hex(), plat::sha256_hex("", 0));  // a new stream after hex()
}

}  // namespace
