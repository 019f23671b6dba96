#pragma once
// Polynomials of Z_q[X]/(X^256 + 1) with signed 16-bit coefficients, and their
// byte encodings. Every function here takes the same time for every value.

#include <cstdint>

#include "kem/params.hpp"

namespace vellicor::kyber {

struct Poly {
  std::int16_t c[kN];
};

// 12 bits per coefficient, canonical representatives; input in (-q, q).
void poly_tobytes(std::uint8_t r[kPolyBytes], const Poly& a);
void poly_frombytes(Poly& r, const std::uint8_t a[kPolyBytes]);

// dv bits per coefficient (the v part of a ciphertext); input in (-q, q).
void poly_compress(std::uint8_t r[kPolyCompressedBytes], const Poly& a);
void poly_decompress(Poly& r, const std::uint8_t a[kPolyCompressedBytes]);

// du bits per coefficient (one polynomial of the u part); input in (-q, q).
inline constexpr std::size_t kPolyCompressedDuBytes = kDu * kN / 8;
void poly_compress_du(std::uint8_t r[kPolyCompressedDuBytes], const Poly& a);
void poly_decompress_du(Poly& r, const std::uint8_t a[kPolyCompressedDuBytes]);

// One message bit per coefficient: 0 -> 0, 1 -> (q + 1) / 2, and back by
// rounding. poly_tomsg takes input in (-q, q).
void poly_frommsg(Poly& r, const std::uint8_t msg[kSymBytes]);
void poly_tomsg(std::uint8_t msg[kSymBytes], const Poly& a);

// Centered binomial noise with eta = 2 from PRF(seed, nonce).
void poly_getnoise(Poly& r, const std::uint8_t seed[kSymBytes], std::uint8_t nonce);

// Forward transform followed by a reduction, so the result is in (-q, q).
void poly_ntt(Poly& r);
void poly_invntt_tomont(Poly& r);
// Product in the transform domain, times 2^-16.
void poly_basemul_montgomery(Poly& r, const Poly& a, const Poly& b);
// Multiplies by 2^16 mod q.
void poly_tomont(Poly& r);
void poly_reduce(Poly& r);
void poly_add(Poly& r, const Poly& a, const Poly& b);
void poly_sub(Poly& r, const Poly& a, const Poly& b);

}  // namespace vellicor::kyber
