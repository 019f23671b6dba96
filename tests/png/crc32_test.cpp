// The chunk CRC against published check values and against a bit-by-bit
// reference written from the PNG specification's definition.
#include <gtest/gtest.h>

#include <string>

#include "png/chunk_container.hpp"
#include "png/crc32.hpp"
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

TEST(PngCrc32, KnownValues) {
  struct Case {
    std::string input;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"", 0x00000000u},
      {"IEND", 0xAE426082u},         // the CRC every PNG ends with
      {"123456789", 0xCBF43926u},    // the CRC-32 check value
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

}  // namespace
}  // namespace vellicor
