// The envelope's byte layout and every way parsing can refuse one.
#include "seal/envelope.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

// As the pipeline fills it: the KEM ciphertext, nonce and tag written at
// their places, then the two lengths.
TEST(Envelope, FieldsAndLengthsLieBigEndianAtTheirPlaces) {
  struct Case {
    std::size_t k;
    std::uint64_t c;
    ByteBuffer k_field, c_field;
  } cases[] = {
      {1568, 5, {0x06, 0x20}, {0, 0, 0, 0, 0, 0, 0, 5}},
      {300, 70000, {0x01, 0x2C}, {0, 0, 0, 0, 0, 0x01, 0x11, 0x70}},
  };
  for (const Case& c : cases) {
    const EnvelopeLayout at{c.k};
    ASSERT_EQ(at.ciphertext(), c.k + 38);
    ByteBuffer env(at.ciphertext() + c.c, 0xEE);
    store_envelope_lengths(env, c.k, c.c);
    EXPECT_EQ(ByteBuffer(env.begin(), env.begin() + 2), c.k_field) << c.k;
    EXPECT_EQ(at.nonce(), 2 + c.k);
    EXPECT_EQ(at.tag(), 14 + c.k);
    EXPECT_EQ(ByteBuffer(env.begin() + 30 + c.k, env.begin() + 38 + c.k), c.c_field) << c.k;
    EXPECT_EQ(std::count(env.begin(), env.end(), 0xEE), static_cast<std::ptrdiff_t>(env.size() - 10)) << c.k;
  }
}

// An envelope with the given K and C fields and `body` bytes after the fixed part.
ByteBuffer raw_envelope(std::uint16_t k, std::uint64_t c, std::size_t body, std::size_t kem_bytes) {
  ByteBuffer env{static_cast<std::uint8_t>(k >> 8), static_cast<std::uint8_t>(k)};
  for (std::size_t i = 0; i < kem_bytes + 28; ++i) env.push_back(static_cast<std::uint8_t>(i * 7));
  for (int shift = 56; shift >= 0; shift -= 8) env.push_back(static_cast<std::uint8_t>(c >> shift));
  env.resize(env.size() + body, 0x22);
  return env;
}

// The envelope is read where it lies in a file, behind the bytes before it.
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
  test::TempDir dir;
  const std::uint64_t before = 33;
  for (const Case& c : cases) {
    ByteBuffer file(before, 0x5A);
    test::append(file, c.env);
    test::append(file, ByteBuffer(9, 0x77));  // what follows the chunk's data
    test::write_file(dir / "s.png", file);
    InputFile in;
    ASSERT_TRUE(in.open((dir / "s.png").string()));
    EnvelopeHeader h;
    HeaderRead read = HeaderRead::read_error;
    EXPECT_EQ(test::capture([&] { read = parse_envelope(in, before, c.env.size(), h); }).err, c.expected_err) << c.name;
    EXPECT_EQ(read, c.expected_err.empty() ? HeaderRead::ok : HeaderRead::invalid) << c.name;
    if (read != HeaderRead::ok) continue;
    EXPECT_EQ(h.k, c.k) << c.name;
    EXPECT_EQ(h.c, c.c) << c.name;
    EXPECT_EQ(h.ciphertext_offset, before + 38 + c.k) << c.name;
    auto lies_at = [&](ByteView field, std::size_t from) {
      return std::equal(field.begin(), field.end(), c.env.begin() + static_cast<std::ptrdiff_t>(from));
    };
    EXPECT_TRUE(lies_at(h.kem_ciphertext(), 2) && lies_at(h.nonce(), 2 + c.k) && lies_at(h.tag(), 14 + c.k)) << c.name;
  }
}

}  // namespace
}  // namespace vellicor
