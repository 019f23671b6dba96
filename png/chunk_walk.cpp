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

ChunkSpot find_chunk(const InputFile& file, const ChunkType& type, std::size_t window_bytes) {
  const std::uint64_t size = file.size();
  if (size < png_signature.size()) return {WalkStatus::too_small};
  std::uint8_t signature[8];
  if (!file.read_at(0, signature, sizeof signature)) return {WalkStatus::read_error};
  if (!std::equal(png_signature.begin(), png_signature.end(), signature)) return {WalkStatus::bad_signature};

  // 64-bit positions: p + 12 + L cannot wrap for any 32-bit L.
  HeaderWindow headers(file, window_bytes);
  std::uint64_t p = png_signature.size();
  while (p + 8 <= size) {
    const std::uint8_t* head = headers.at(p);
    if (head == nullptr) return {WalkStatus::read_error};
    const std::uint64_t length = load_be32(head);
    if (p + 8 + length > size) return {WalkStatus::malformed};
    if (std::equal(type.begin(), type.end(), head + 4)) return {WalkStatus::found, p, length};
    p += length + 12;
  }
  return {WalkStatus::not_found};
}

}  // namespace vellicor
