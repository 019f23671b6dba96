#pragma once
// Hiding a byte string in a PNG as one private vcKy chunk before IEND, and
// finding it again.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "util/byte_buffer.hpp"

namespace vellicor {

// The PNG rules allow a chunk at most 2^31-1 data bytes.
inline constexpr std::uint64_t max_chunk_data_length = 0x7FFFFFFF;

std::uint32_t png_crc32(ByteView bytes);

bool embed_into_png(const std::string& carrier_path, const std::string& output_path, ByteView payload);
bool extract_from_png(const std::string& stego_path, ByteBuffer& payload_out);

// A stego PNG read whole, with the place of its first vcKy chunk's data, so a
// caller can open the payload where it lies instead of copying it out.
struct StegoFile {
  ByteBuffer bytes;
  std::size_t payload_offset = 0;
  std::size_t payload_length = 0;

  std::span<std::uint8_t> payload() { return {bytes.data() + payload_offset, payload_length}; }
};

// Reads and searches like extract_from_png and reports failures with the same
// lines; `out` is only replaced on success.
bool load_stego_png(const std::string& stego_path, StegoFile& out);

}  // namespace vellicor
