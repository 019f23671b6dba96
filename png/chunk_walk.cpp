#include "png/chunk_walk.hpp"

#include <algorithm>

#include "util/endian.hpp"

namespace vellicor {

ChunkSpot find_chunk(const PositionedSource& file, const ChunkType& type) {
  const std::uint64_t size = file.size();
  if (size < png_signature.size()) return {WalkStatus::too_small};
  std::uint8_t head[8];
  if (!file.read_at(0, head, sizeof head)) return {WalkStatus::read_error};
  if (!std::equal(png_signature.begin(), png_signature.end(), head)) return {WalkStatus::bad_signature};

  // 64-bit positions: p + 12 + L cannot wrap for any 32-bit L.
  std::uint64_t p = png_signature.size();
  while (p + 8 <= size) {
    if (!file.read_at(p, head, sizeof head)) return {WalkStatus::read_error};
    const std::uint64_t length = load_be32(head);
    if (p + 8 + length > size) return {WalkStatus::malformed};
    if (std::equal(type.begin(), type.end(), head + 4)) return {WalkStatus::found, p, length};
    p += length + 12;
  }
  return {WalkStatus::not_found};
}

}  // namespace vellicor
