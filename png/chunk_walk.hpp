#pragma once
// The chunk walk: the one loop behind both embedding (looking for IEND) and
// extracting (looking for vcKy). It reads only the chunk headers, at their
// positions, and prints nothing.

#include <array>
#include <cstddef>
#include <cstdint>

#include "util/byte_buffer.hpp"
#include "util/file_io.hpp"

namespace vellicor {

using ChunkType = std::array<std::uint8_t, 4>;

inline constexpr std::array<std::uint8_t, 8> png_signature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
inline constexpr ChunkType iend_chunk_type = {'I', 'E', 'N', 'D'};
inline constexpr ChunkType payload_chunk_type = {'v', 'c', 'K', 'y'};

enum class WalkStatus {
  found,
  too_small,  // under 8 bytes: not even a signature
  bad_signature,
  malformed,  // a chunk's length runs past the end of the file
  not_found,
  read_error,  // the file could not be read where a header should be
};

struct ChunkSpot {
  WalkStatus status = WalkStatus::not_found;
  std::uint64_t offset = 0;       // start of the chunk (its length field) when found
  std::uint64_t data_length = 0;  // L of that chunk
  std::uint64_t payloads_before = 0;  // vcKy chunks the walk passed on its way there
};

// Checks the signature, then walks the chunks from offset 8 and stops at the
// first chunk of the given type. Only lengths and types are read: no CRC, no
// chunk order, no IEND stop. The CRC of the last chunk may be missing.
// The headers are read a window of `window_bytes` (at least 8) at a time, so
// a file of many small chunks costs about one read of the file; the spot is
// the same for any window.
inline constexpr std::size_t chunk_header_window = std::size_t{64} << 10;
ChunkSpot find_chunk(const InputFile& file, const ChunkType& type,
                     std::size_t window_bytes = chunk_header_window);

// The number of vcKy chunks from the chunk at `from` on, as far as the walk
// can go (up to the end, or to where it cannot go on).
std::uint64_t count_payload_chunks(const InputFile& file, std::uint64_t from,
                                   std::size_t window_bytes = chunk_header_window);

}  // namespace vellicor
