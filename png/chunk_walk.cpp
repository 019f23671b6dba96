#include "png/chunk_walk.hpp"

#include <algorithm>
#include <vector>

#include "util/endian.hpp"

namespace vellicor {

namespace {

// The chunk headers as the walk reaches them, read a window at a time: a file
// of millions of empty chunks costs one read per window, not one per chunk.
class HeaderWindow {
 public:
  HeaderWindow(const InputFile& file, std::size_t window_bytes)
      : file_(file), size_(file.size()), bytes_(std::max<std::size_t>(window_bytes, 8)) {}

  // The 8 header bytes at p (p + 8 <= size), or nullptr when they cannot be read.
  const std::uint8_t* at(std::uint64_t p) {
    if (p >= start_ && p - start_ + 8 <= held_) return bytes_.data() + (p - start_);
    held_ = 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes_.size(), size_ - p));
    // Where the window cannot be read whole (the file shrank behind its
    // size), the 8 bytes alone decide, as they would without a window.
    if (!file_.read_at(p, bytes_.data(), n)) {
      if (!file_.read_at(p, bytes_.data(), 8)) return nullptr;
      start_ = p;
      held_ = 8;
      return bytes_.data();
    }
    start_ = p;
    held_ = n;
    return bytes_.data();
  }

 private:
  const InputFile& file_;
  std::uint64_t size_;
  std::vector<std::uint8_t> bytes_;
  std::uint64_t start_ = 0;
  std::size_t held_ = 0;
};

}  // namespace

namespace {

// The walk itself: `visit(p, length, type)` for each chunk header from
// offset `from` (8, the first chunk, by default), until it returns false.
// The status where the walk ended.
template <typename Visit>
WalkStatus walk(const InputFile& file, std::size_t window_bytes, std::uint64_t from, Visit visit) {
  const std::uint64_t size = file.size();
  if (size < png_signature.size()) return WalkStatus::too_small;
  std::uint8_t signature[8];
  if (!file.read_at(0, signature, sizeof signature)) return WalkStatus::read_error;
  if (!std::equal(png_signature.begin(), png_signature.end(), signature)) return WalkStatus::bad_signature;

  // 64-bit positions: p + 12 + L cannot wrap for any 32-bit L.
  HeaderWindow headers(file, window_bytes);
  std::uint64_t p = std::max<std::uint64_t>(from, png_signature.size());
  while (p + 8 <= size) {
    const std::uint8_t* head = headers.at(p);
    if (head == nullptr) return WalkStatus::read_error;
    const std::uint64_t length = load_be32(head);
    if (p + 8 + length > size) return WalkStatus::malformed;
    if (!visit(p, length, head + 4)) return WalkStatus::found;
    p += length + 12;
  }
  return WalkStatus::not_found;
}

bool is(const ChunkType& type, const std::uint8_t* bytes) { return std::equal(type.begin(), type.end(), bytes); }

}  // namespace

ChunkSpot find_chunk(const InputFile& file, const ChunkType& type, std::size_t window_bytes) {
  ChunkSpot spot;
  spot.status = walk(file, window_bytes, 0, [&](std::uint64_t p, std::uint64_t length, const std::uint8_t* found) {
    if (!is(type, found)) {
      spot.payloads_before += is(payload_chunk_type, found) ? 1 : 0;
      return true;
    }
    spot.offset = p;
    spot.data_length = length;
    return false;
  });
  if (spot.status != WalkStatus::found) spot = ChunkSpot{spot.status};
  return spot;
}

std::uint64_t count_payload_chunks(const InputFile& file, std::uint64_t from, std::size_t window_bytes) {
  std::uint64_t count = 0;
  walk(file, window_bytes, from, [&](std::uint64_t, std::uint64_t, const std::uint8_t* type) {
    count += is(payload_chunk_type, type) ? 1 : 0;
    return true;
  });
  return count;
}

}  // namespace vellicor
