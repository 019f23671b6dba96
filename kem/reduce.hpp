#pragma once
// Modular reductions mod q without division: Montgomery (R = 2^16) for
// products and Barrett for sums. Both are straight-line arithmetic, so their
// time does not depend on the values.

#include <cstdint>

#include "kem/params.hpp"

namespace vellicor::kyber {

// q^-1 mod 2^16, as a signed 16-bit value.
inline constexpr std::int32_t kQinv = -3327;
static_assert(((kQinv * kQ) & 0xFFFF) == 1);

// For |a| < q * 2^15 returns a * 2^-16 mod q, in (-q, q).
inline std::int16_t montgomery_reduce(std::int32_t a) {
  const std::int16_t t = static_cast<std::int16_t>(static_cast<std::int16_t>(a) * kQinv);
  return static_cast<std::int16_t>((a - static_cast<std::int32_t>(t) * kQ) >> 16);
}

// a * b * 2^-16 mod q
inline std::int16_t fqmul(std::int16_t a, std::int16_t b) {
  return montgomery_reduce(static_cast<std::int32_t>(a) * b);
}

// Centered representative of a mod q, in [-(q-1)/2, (q-1)/2].
inline std::int16_t barrett_reduce(std::int16_t a) {
  constexpr std::int32_t v = ((1 << 26) + kQ / 2) / kQ;  // folded at compile time
  const std::int16_t t = static_cast<std::int16_t>((v * a + (1 << 25)) >> 26);
  return static_cast<std::int16_t>(a - t * kQ);
}

// Maps a value in (-q, q) to [0, q) with a mask instead of a branch.
inline std::uint16_t to_canonical(std::int16_t a) {
  return static_cast<std::uint16_t>(a + ((a >> 15) & kQ));
}

}  // namespace vellicor::kyber
