#pragma once
// The number-theoretic transform of Z_q[X]/(X^256 + 1) with the 256th root of
// unity 17, in the layout round-3 Kyber uses: the output is 128 residues mod
// (X^2 - zeta_i) in bit-reversed order. Keys and ciphertexts depend on this
// exact layout, so it is part of the format.

#include <array>
#include <cstdint>

#include "kem/params.hpp"

namespace vellicor::kyber {

// 17^brv7(i) * 2^16 mod q, centered; index 0 is unused by the transforms.
extern const std::array<std::int16_t, 128> kZetas;

// In place; input |r[i]| < q, output bounded by 8q (not reduced).
void ntt(std::int16_t r[kN]);

// In place; inverse transform times the Montgomery factor 2^16, so that it
// cancels the 2^-16 of one basemul. Output in (-q, q).
void invntt(std::int16_t r[kN]);

// r = a * b * 2^-16 in Z_q[X]/(X^2 - zeta) for one pair of coefficients.
void basemul(std::int16_t r[2], const std::int16_t a[2], const std::int16_t b[2], std::int16_t zeta);

}  // namespace vellicor::kyber
