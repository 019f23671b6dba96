#pragma once
// Scalar compression x -> round(2^d / q * x) mod 2^d and decompression
// y -> round(q / 2^d * y), without division: a division by q takes time that
// depends on the dividend on many processors, and the dividend is secret.
//
// Compression multiplies by M = ceil(2^40 / q) and shifts by 40. With
// n = x * 2^d + (q - 1) / 2 < 2^23 (x < q, d <= 11) the error of the product
// is n * (M * q - 2^40) / (q * 2^40) < 2^23 * q / (q * 2^40), far below the
// gap 1/q between n/q and the next integer, so the floor is exact.

#include <cstdint>

#include "kem/params.hpp"

namespace vellicor::kyber {

inline constexpr int kCompressShift = 40;
inline constexpr std::uint64_t kCompressFactor =
    ((std::uint64_t{1} << kCompressShift) + kQ - 1) / kQ;  // folded at compile time

// x in [0, q), 1 <= d <= 11
constexpr std::uint16_t compress_scalar(std::uint16_t x, int d) {
  std::uint64_t n = (static_cast<std::uint64_t>(x) << d) + (kQ - 1) / 2;
  n = (n * kCompressFactor) >> kCompressShift;
  return static_cast<std::uint16_t>(n & ((1u << d) - 1));
}

// y in [0, 2^d), 1 <= d <= 11; rounds halves up.
constexpr std::uint16_t decompress_scalar(std::uint16_t y, int d) {
  const std::uint32_t t = static_cast<std::uint32_t>(y) * kQ + (1u << (d - 1));
  return static_cast<std::uint16_t>(t >> d);
}

}  // namespace vellicor::kyber
