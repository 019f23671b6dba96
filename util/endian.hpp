#pragma once
// Big-endian loads and stores, the byte order of every stored length.

#include <cstdint>

namespace vellicor {

inline std::uint64_t load_be(const std::uint8_t* p, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

inline void store_be(std::uint8_t* p, std::uint64_t v, int width) {
  for (int i = width - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

inline std::uint64_t load_be32(const std::uint8_t* p) { return load_be(p, 4); }
inline void store_be32(std::uint8_t* p, std::uint32_t v) { store_be(p, v, 4); }

}  // namespace vellicor
