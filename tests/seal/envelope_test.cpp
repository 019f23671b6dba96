// The envelope's byte layout and every way parsing can refuse one.
#include "seal/envelope.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellicor {
namespace {

ByteBuffer filled(std::size_t n, std::uint8_t v) { return ByteBuffer(n, v); }

TEST(Envelope, BuildLaysFieldsOutBigEndian) {
  const ByteBuffer kem = filled(1568, 0xC1), nonce = filled(12, 0x4E), tag = filled(16, 0x7A);
  const ByteBuffer ct{1, 2, 3, 4, 5};
  const ByteBuffer env = build_envelope(kem, nonce, tag, ct);
  ASSERT_EQ(env.size(), ct.size() + 1606);
  EXPECT_EQ(env[0], 0x06);
  EXPECT_EQ(env[1], 0x20);
  EXPECT_EQ(ByteBuffer(env.begin() + 2, env.begin() + 1570), kem);
  EXPECT_EQ(ByteBuffer(env.begin() + 1570, env.begin() + 1582), nonce);
  EXPECT_EQ(ByteBuffer(env.begin() + 1582, env.begin() + 1598), tag);
  EXPECT_EQ(ByteBuffer(env.begin() + 1598, env.begin() + 1606), (ByteBuffer{0, 0, 0, 0, 0, 0, 0, 5}));
  EXPECT_EQ(ByteBuffer(env.begin() + 1606, env.end()), ct);
}

TEST(Envelope, LengthsWrittenInPlaceMatchBuild) {
  const ByteBuffer kem = filled(300, 1), nonce = filled(12, 2), tag = filled(16, 3), ct = filled(70000, 4);
  const ByteBuffer built = build_envelope(kem, nonce, tag, ct);
  const EnvelopeLayout at{kem.size()};
  ByteBuffer env(at.ciphertext() + ct.size(), 0);
  std::copy(kem.begin(), kem.end(), env.begin() + 2);
  std::copy(nonce.begin(), nonce.end(), env.begin() + static_cast<std::ptrdiff_t>(at.nonce()));
  std::copy(tag.begin(), tag.end(), env.begin() + static_cast<std::ptrdiff_t>(at.tag()));
  std::copy(ct.begin(), ct.end(), env.begin() + static_cast<std::ptrdiff_t>(at.ciphertext()));
  store_envelope_lengths(env, kem.size(), ct.size());
  EXPECT_EQ(env, built);
}

// An envelope with the given K and C fields and `body` bytes after the fixed part.
ByteBuffer raw_envelope(std::uint16_t k, std::uint64_t c, std::size_t body, std::size_t kem_bytes) {
  ByteBuffer env{static_cast<std::uint8_t>(k >> 8), static_cast<std::uint8_t>(k)};
  env.resize(2 + kem_bytes + 28, 0x11);
  for (int shift = 56; shift >= 0; shift -= 8) env.push_back(static_cast<std::uint8_t>(c >> shift));
  env.resize(env.size() + body, 0x22);
  return env;
}

TEST(Envelope, ParseChecksEveryLengthAgainstTheRealSize) {
  const std::string invalid = "[ERR] invalid envelope in stego PNG\n";
  struct Case {
    const char* name;
    ByteBuffer env;
    std::string expected_err;  // empty: accepted
    std::size_t k = 0, c = 0;
  };
  ByteBuffer short_by_one = raw_envelope(1568, 0, 0, 1568);
  short_by_one.pop_back();
  const std::vector<Case> cases = {
      {"empty", {}, "[ERR] envelope too small (no encaps length)\n" + invalid},
      {"one byte", {0x06}, "[ERR] envelope too small (no encaps length)\n" + invalid},
      {"K only", {0x06, 0x20}, "[ERR] envelope size inconsistent\n" + invalid},
      {"one short of K + 38", short_by_one, "[ERR] envelope size inconsistent\n" + invalid},
      {"K of 65535 in a small envelope", raw_envelope(0xFFFF, 0, 10, 1568),
       "[ERR] envelope size inconsistent\n" + invalid},
      {"C one past the end", raw_envelope(1568, 11, 10, 1568),
       "[ERR] envelope claims ciphertext bigger than buffer\n" + invalid},
      {"C of 2^64-1", raw_envelope(1568, ~std::uint64_t{0}, 10, 1568),
       "[ERR] envelope claims ciphertext bigger than buffer\n" + invalid},
      {"exactly K + 38 with C = 0", raw_envelope(1568, 0, 0, 1568), "", 1568, 0},
      {"extra bytes after the ciphertext", raw_envelope(1568, 4, 10, 1568), "", 1568, 4},
      {"K = 0", raw_envelope(0, 3, 3, 0), "", 0, 3},
  };
  for (const Case& c : cases) {
    ByteBuffer env = c.env;
    EnvelopeFields f;
    testing::internal::CaptureStderr();
    const bool ok = parse_envelope(env, f);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected_err) << c.name;
    EXPECT_EQ(ok, c.expected_err.empty()) << c.name;
    if (!ok) continue;
    EXPECT_EQ(f.kem_ciphertext.data(), env.data() + 2) << c.name;
    EXPECT_EQ(f.kem_ciphertext.size(), c.k) << c.name;
    EXPECT_EQ(f.nonce.data(), env.data() + 2 + c.k) << c.name;
    EXPECT_EQ(f.nonce.size(), 12u);
    EXPECT_EQ(f.tag.data(), env.data() + 14 + c.k) << c.name;
    EXPECT_EQ(f.tag.size(), 16u);
    EXPECT_EQ(f.ciphertext.data(), env.data() + 38 + c.k) << c.name;
    EXPECT_EQ(f.ciphertext.size(), c.c) << c.name;
  }
}

}  // namespace
}  // namespace vellicor
