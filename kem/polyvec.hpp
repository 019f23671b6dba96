#pragma once
// Vectors of k = 4 polynomials: the secret s, the public t, the ciphertext's u.

#include <cstdint>

#include "kem/params.hpp"
#include "kem/poly.hpp"

namespace vellicor::kyber {

struct PolyVec {
  Poly vec[kK];
};

void polyvec_tobytes(std::uint8_t r[kPolyVecBytes], const PolyVec& a);
void polyvec_frombytes(PolyVec& r, const std::uint8_t a[kPolyVecBytes]);
void polyvec_compress(std::uint8_t r[kPolyVecCompressedBytes], const PolyVec& a);
void polyvec_decompress(PolyVec& r, const std::uint8_t a[kPolyVecCompressedBytes]);

void polyvec_ntt(PolyVec& r);
void polyvec_invntt_tomont(PolyVec& r);
// r = sum of a[i] * b[i] in the transform domain, times 2^-16, reduced.
void polyvec_basemul_acc_montgomery(Poly& r, const PolyVec& a, const PolyVec& b);
void polyvec_reduce(PolyVec& r);
void polyvec_add(PolyVec& r, const PolyVec& a, const PolyVec& b);

}  // namespace vellicor::kyber
