#pragma once
// Constant-time selects: the value barrier keeps the compiler from learning
// that a flag is 0 or 1 and turning a masked select back into a branch.

#include <cstdint>

namespace vellicor::kyber {

template <typename T>
inline T value_barrier(T b) {
#if defined(__GNUC__)
  __asm__("" : "+r"(b));
#endif
  return b;
}

// r = v if b is 1, unchanged if b is 0, by masking.
inline void cmov_int16(std::int16_t& r, std::int16_t v, std::uint16_t b) {
  const std::uint16_t mask = static_cast<std::uint16_t>(-value_barrier(b));
  r = static_cast<std::int16_t>(static_cast<std::uint16_t>(r) ^
                                (mask & (static_cast<std::uint16_t>(r) ^ static_cast<std::uint16_t>(v))));
}

}  // namespace vellicor::kyber
