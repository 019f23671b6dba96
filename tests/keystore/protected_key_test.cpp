// The passphrase-protected secret key file, at the low cost 2^10/8/1, for the key whose byte i is i mod 251.
#include "keystore/protected_key.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "keystore/key_text.hpp"

namespace vellicor {
namespace {

constexpr std::size_t kSecret = 3168, kPublic = 1568, kFile = 4815;
constexpr KdfCost kLow{10, 8, 1};

SecretBytes secret(std::string_view text) {
  SecretBytes s(text.size());
  std::copy(text.begin(), text.end(), s.data());
  return s;
}

SecretBytes test_key() {
  SecretBytes key(kSecret);
  for (std::size_t i = 0; i < kSecret; ++i) key.data()[i] = static_cast<std::uint8_t>(i % 251);
  return key;
}

ByteBuffer counting(std::uint8_t from, std::size_t n) {
  ByteBuffer b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(from + i);
  return b;
}

// Expected values from Python's hashlib.scrypt and cryptography's AESGCM on the same inputs.
TEST(ProtectedKey, MatchesAnIndependentScryptAndGcm) {
  SecretBytes key;
  std::string why;
  const ByteBuffer nacl{'N', 'a', 'C', 'l'};  // RFC 7914's second vector, its first 32 bytes
  ASSERT_TRUE(derive_protection_key(secret("password"), nacl, {10, 8, 16}, key, why)) << why;
  EXPECT_EQ(key_fingerprint(key.span()), key_fingerprint(ByteBuffer{0xfd, 0xba, 0xbe, 0x1c, 0x9d, 0x34, 0x72, 0x00, 0x78, 0x56, 0xe7,
                                                        0x19, 0x0d, 0x01, 0xe9, 0xfe, 0x7c, 0x6a, 0xd7, 0xcb, 0xc8, 0x23,
                                                        0x78, 0x30, 0xe7, 0x73, 0x76, 0x63, 0x4b, 0x37, 0x31, 0x62}));
  ByteBuffer file;
  ASSERT_TRUE(protect_secret_key_with(secret("correct horse"), test_key(), kPublic, kLow, counting(0, 32),
                                      counting(32, 12), file, why)) << why;
  EXPECT_EQ(key_fingerprint(file), "39fc 85e7 007b 89c7 3f08 4a13 44ba 5b70 74ea a256 c0f1 46c0 eabf 2c70 9624 d01a");
}

// One written file, changed one way per row, opened with a passphrase; an empty reason means opened.
TEST(ProtectedKey, OpensOnlyTheUnchangedFileWithItsPassphrase) {
  ByteBuffer written;
  std::string why;
  ASSERT_TRUE(protect_secret_key(secret("correct horse"), test_key(), kPublic, written, why, kLow)) << why;
  const std::string changed = "wrong passphrase, or the file was changed";
  struct Row { const char* what; std::size_t at; std::uint8_t flip; long grow; const char* passphrase; std::string why; };
  const Row rows[] = {
      {"untouched", 0, 0, 0, "correct horse", ""},
      {"other passphrase", 0, 0, 0, "correct horsE", changed},
      {"empty passphrase", 0, 0, 0, "", "the passphrase is empty"},
      {"magic", 0, 0x20, 0, "correct horse", "not a protected key file"},
      {"version", 8, 0x06, 0, "correct horse", "unknown version 7"},
      {"KDF id", 9, 0x02, 0, "correct horse", "unknown key derivation 3"},
      {"log2 N, still in range", 10, 0x01, 0, "correct horse", changed},
      {"log2 N", 10, 0x80, 0, "correct horse", "cost out of range (log2 N 138, r 8, p 1)"},
      {"r", 11, 0x80, 0, "correct horse", "cost out of range (log2 N 10, r 2147483656, p 1)"},
      {"p, still in range", 18, 0x02, 0, "correct horse", changed},
      {"p", 18, 0x01, 0, "correct horse", "cost out of range (log2 N 10, r 8, p 0)"},
      {"salt", 50, 0x01, 0, "correct horse", changed},
      {"nonce", 51, 0x01, 0, "correct horse", changed},
      {"public key", 63 + 1567, 0x01, 0, "correct horse", changed},
      {"sealed key", 1631, 0x01, 0, "correct horse", changed},
      {"tag", kFile - 1, 0x01, 0, "correct horse", changed},
      {"one byte short", 0, 0, -1, "correct horse", "has 4814 bytes, expected 4815"},
      {"one byte more", 0, 0, 1, "correct horse", "has 4816 bytes, expected 4815"},
      {"magic only", 0, 0, 8 - long{kFile}, "correct horse", "has 8 bytes, expected 4815"},
  };
  for (const Row& row : rows) {
    ByteBuffer file = written;
    file[row.at] ^= row.flip;
    file.resize(file.size() + row.grow, 0);
    SecretBytes opened;
    why.clear();
    const bool ok = unprotect_secret_key(file, secret(row.passphrase), kSecret, kPublic, opened, why);
    EXPECT_EQ(why, row.why) << row.what;
    EXPECT_EQ(ok, row.why.empty()) << row.what;
    EXPECT_EQ(ok && std::equal(opened.data(), opened.data() + kSecret, test_key().data()), ok) << row.what;
    EXPECT_EQ(opened.empty(), !ok) << row.what;
  }
}

// The cost bounds of a reader: a hostile file may not ask for more than 1 GiB.
TEST(ProtectedKey, ReadsOnlyBoundedCosts) {
  ByteBuffer file;
  std::string why;
  ASSERT_TRUE(protect_secret_key(secret("correct horse"), test_key(), kPublic, file, why, kLow)) << why;
  struct Row { KdfCost cost; bool read; };
  const Row rows[] = {{{9, 8, 1}, false},  {{10, 8, 1}, true},     {{20, 8, 1}, true},   {{21, 8, 1}, false},
                      {{22, 2, 1}, true},  {{23, 1, 1}, false},    {{15, 1, 1}, true},   {{16, 1, 1}, false},
                      {{10, 0, 1}, false}, {{10, 8, 0}, false},    {{10, 8, 1024}, true}, {{10, 8, 1025}, false},
                      {{10, 0xFFFFFFFF, 0xFFFFFFFF}, false}, {{10, 0x20000, 0x20000}, false}};
  for (const Row& row : rows) {
    file[10] = row.cost.log2_n;
    for (int i = 0; i < 4; ++i) file[11 + i] = static_cast<std::uint8_t>(row.cost.r >> (24 - 8 * i));
    for (int i = 0; i < 4; ++i) file[15 + i] = static_cast<std::uint8_t>(row.cost.p >> (24 - 8 * i));
    ProtectedKeyHeader header;
    EXPECT_EQ(parse_protected_key(file, kSecret, kPublic, header, why), row.read)
        << int{row.cost.log2_n} << " " << row.cost.r << " " << row.cost.p << ": " << why;
  }
}

TEST(ProtectedKey, WritesTheDefaultCostAFreshSaltAndNonceAndNeverAnEmptyPassphrase) {
  ByteBuffer first, second;
  std::string why;
  ASSERT_TRUE(protect_secret_key(secret("correct horse"), test_key(), kPublic, first, why)) << why;
  ASSERT_TRUE(protect_secret_key(secret("correct horse"), test_key(), kPublic, second, why, kLow)) << why;
  ProtectedKeyHeader a, b;
  ASSERT_TRUE(parse_protected_key(first, kSecret, kPublic, a, why) && parse_protected_key(second, kSecret, kPublic, b, why));
  EXPECT_EQ(std::tuple(int{a.cost.log2_n}, a.cost.r, a.cost.p), std::tuple(18, 8u, 1u));
  EXPECT_FALSE(std::equal(a.salt.begin(), a.salt.end(), b.salt.begin()));
  EXPECT_FALSE(std::equal(a.nonce.begin(), a.nonce.end(), b.nonce.begin()));
  EXPECT_FALSE(protect_secret_key(SecretBytes(), test_key(), kPublic, first, why, kLow));
  EXPECT_EQ(why, "the passphrase is empty");
}

}  // namespace
}  // namespace vellicor
