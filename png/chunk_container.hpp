#pragma once
// Hiding a byte string in a PNG as one private vcKy chunk before IEND, and
// finding it again.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "util/byte_buffer.hpp"
#include "util/file_io.hpp"

namespace vellicor {

// The PNG rules allow a chunk at most 2^31-1 data bytes.
inline constexpr std::uint64_t max_chunk_data_length = 0x7FFFFFFF;

std::uint32_t png_crc32(ByteView bytes);

bool embed_into_png(const std::string& carrier_path, const std::string& output_path, ByteView payload);
bool extract_from_png(const std::string& stego_path, ByteBuffer& payload_out);

// The same, for a caller that already has png_crc32(payload) from its own pass
// over the payload, which saves one more pass over it.
bool embed_into_png(const std::string& carrier_path, const std::string& output_path, ByteView payload,
                    std::uint32_t payload_crc);

// Large writes go out in blocks of this size: a block copied while it is still
// in the cache is several times faster than one call for the whole buffer.
inline constexpr std::size_t write_block_length = std::size_t{1} << 20;

// Writes data to an open file block by block.
bool write_in_blocks(AtomicFile& file, ByteView data);

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
