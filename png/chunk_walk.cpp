#include "png/chunk_walk.hpp"

#include <algorithm>

namespace vellicor {

namespace {
std::uint64_t load_be32(const std::uint8_t* p) {
  return (std::uint64_t{p[0]} << 24) | (std::uint64_t{p[1]} << 16) | (std::uint64_t{p[2]} << 8) | p[3];
}
}  // namespace

ChunkSpot find_chunk(ByteView file, const ChunkType& type) {
  const std::uint64_t size = file.size();
  if (size < png_signature.size()) return {WalkStatus::too_small};
  if (!std::equal(png_signature.begin(), png_signature.end(), file.begin())) return {WalkStatus::bad_signature};

  // 64-bit positions: p + 12 + L cannot wrap for any 32-bit L.
  std::uint64_t p = png_signature.size();
  while (p + 8 <= size) {
    const std::uint64_t length = load_be32(file.data() + p);
    if (p + 8 + length > size) return {WalkStatus::malformed};
    if (std::equal(type.begin(), type.end(), file.begin() + static_cast<std::ptrdiff_t>(p + 4)))
      return {WalkStatus::found, p, length};
    p += length + 12;
  }
  return {WalkStatus::not_found};
}

}  // namespace vellicor
