#pragma once
// The PNG chunk CRC (ISO 3309 / ITU-T V.42, reflected polynomial 0xEDB88320),
// computed piecewise so that a chunk's type and data need not sit in one buffer.

#include <cstdint>

#include "util/byte_buffer.hpp"

namespace vellicor {

// The CRC of one whole piece.
std::uint32_t png_crc32(ByteView bytes);

// Running value in the final (complemented) form: start from 0, feed pieces in
// order; the value after the last piece is the CRC of their concatenation.
std::uint32_t png_crc32_update(std::uint32_t crc, ByteView bytes);

// The CRC of A followed by B from the CRCs of A and B and the length of B, so
// that a block can be checksummed while it is hot and placed behind a header
// that is only known later.
std::uint32_t png_crc32_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b);

}  // namespace vellicor
