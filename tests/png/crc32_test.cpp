// The chunk CRC against published check values and against a bit-by-bit
// reference written from the PNG standard's definition.
#include "png/crc32.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "png/chunk_container.hpp"
#include "tests/support/temp_dir.hpp"

namespace vellicor {
namespace {

using test::as_bytes;

std::uint32_t reference_crc(ByteView bytes) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::uint8_t b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c ^ 0xFFFFFFFFu;
}

// The same, continuing from the CRC of earlier bytes.
std::uint32_t reference_crc_from(std::uint32_t crc, ByteView bytes) {
  std::uint32_t c = ~crc;
  for (std::uint8_t b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

TEST(PngCrc32, KnownValues) {
  struct Case {
    std::string input;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"", 0x00000000u},
      {"IEND", 0xAE426082u},       // the CRC every PNG ends with
      {"123456789", 0xCBF43926u},  // the CRC-32 check value
      {"vcKy", reference_crc(as_bytes("vcKy"))},
      {std::string(1, '\0'), 0xD202EF8Du},
  };
  for (const Case& c : cases) EXPECT_EQ(png_crc32(as_bytes(c.input)), c.expected) << "input '" << c.input << "'";
}

TEST(PngCrc32, PiecewiseEqualsWholeAndReference) {
  ByteBuffer data(70000);
  std::uint32_t x = 7;
  for (auto& b : data) b = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  const std::uint32_t whole = png_crc32(data);
  EXPECT_EQ(whole, reference_crc(data));
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{4}, std::size_t{65536}, data.size()}) {
    ByteView v(data);
    EXPECT_EQ(png_crc32_update(png_crc32_update(0, v.first(cut)), v.subspan(cut)), whole) << "cut at " << cut;
  }
}

TEST(PngCrc32, EveryLengthAndAlignmentAgreesWithTheReference) {
  // Covers the folded bulk, the 16-byte steps and the byte tail, from every
  // alignment, including starting from a running value.
  ByteBuffer data(1200);
  std::uint32_t x = 99;
  for (auto& b : data) b = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t n = 0; n + offset <= data.size(); n += (n < 300 ? 1 : 37)) {
      ByteView v = ByteView(data).subspan(offset, n);
      ASSERT_EQ(png_crc32(v), reference_crc(v)) << "offset " << offset << ", length " << n;
      ASSERT_EQ(png_crc32_update(0xA5A5A5A5u, v), reference_crc_from(0xA5A5A5A5u, v))
          << "running value, offset " << offset << ", length " << n;
    }
  }
}

TEST(PngCrc32, CombineJoinsTwoRanges) {
  ByteBuffer data(5000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ (i >> 7));
  for (std::size_t cut : {std::size_t{0}, std::size_t{3}, std::size_t{1606}, data.size()}) {
    ByteView v(data);
    EXPECT_EQ(png_crc32_combine(png_crc32(v.first(cut)), png_crc32(v.subspan(cut)), data.size() - cut), png_crc32(v))
        << "cut at " << cut;
  }
}

TEST(PngCrc32, CombineTakesLengthsBeyondThirtyTwoBits) {
  // A, then 2 GiB and 7 zero bytes: more than a 32-bit length holds, and more
  // than one of the pieces the combination is made in.
  const std::uint64_t zeros = (std::uint64_t{1} << 31) + 7;
  const ByteBuffer a = {0x49, 0x45, 0x4e, 0x44, 0x01};
  const ByteBuffer block(std::size_t{1} << 20, 0);
  std::uint32_t streamed = png_crc32(a);
  std::uint32_t zeros_crc = 0;
  for (std::uint64_t left = zeros; left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
    streamed = png_crc32_update(streamed, ByteView(block).first(n));
    zeros_crc = png_crc32_update(zeros_crc, ByteView(block).first(n));
    left -= n;
  }
  EXPECT_EQ(png_crc32_combine(png_crc32(a), zeros_crc, zeros), streamed);
}

}  // namespace
}  // namespace vellicor
