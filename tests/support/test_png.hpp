#pragma once
// PNG files made on the spot for tests: a valid image, and raw chunks for
// building malformed ones.

#include <cstdint>
#include <string_view>

#include "util/byte_buffer.hpp"

namespace vellicor::test {

inline const ByteBuffer kPngSignature{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

// A valid 8-bit RGB image whose pixels follow from the seed.
ByteBuffer make_png(std::uint32_t width, std::uint32_t height, std::uint32_t seed = 1);

// One chunk: length, type, data and the CRC over type and data (or the given CRC).
ByteBuffer make_chunk(std::string_view type, ByteView data);
ByteBuffer make_chunk_with_crc(std::string_view type, ByteView data, std::uint32_t crc);

void append(ByteBuffer& to, ByteView bytes);
std::uint32_t read_be32(const std::uint8_t* p);
// A big-endian unsigned integer of `width` bytes.
std::uint64_t be(const std::uint8_t* p, int width);

// Repeatable pseudo-random bytes, and the bytes of a text.
ByteBuffer noise(std::size_t n, std::uint32_t seed);
ByteBuffer bytes(std::string_view text);

}  // namespace vellicor::test
