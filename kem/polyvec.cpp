#include "kem/polyvec.hpp"

#include "kem/wipe.hpp"

namespace vellicor::kyber {

void polyvec_tobytes(std::uint8_t r[kPolyVecBytes], const PolyVec& a) {
  for (int i = 0; i < kK; ++i) poly_tobytes(r + i * kPolyBytes, a.vec[i]);
}

void polyvec_frombytes(PolyVec& r, const std::uint8_t a[kPolyVecBytes]) {
  for (int i = 0; i < kK; ++i) poly_frombytes(r.vec[i], a + i * kPolyBytes);
}

void polyvec_compress(std::uint8_t r[kPolyVecCompressedBytes], const PolyVec& a) {
  for (int i = 0; i < kK; ++i) poly_compress_du(r + i * kPolyCompressedDuBytes, a.vec[i]);
}

void polyvec_decompress(PolyVec& r, const std::uint8_t a[kPolyVecCompressedBytes]) {
  for (int i = 0; i < kK; ++i) poly_decompress_du(r.vec[i], a + i * kPolyCompressedDuBytes);
}

void polyvec_ntt(PolyVec& r) {
  for (Poly& p : r.vec) poly_ntt(p);
}

void polyvec_invntt_tomont(PolyVec& r) {
  for (Poly& p : r.vec) poly_invntt_tomont(p);
}

void polyvec_basemul_acc_montgomery(Poly& r, const PolyVec& a, const PolyVec& b) {
  Scrubbed<Poly> t;
  poly_basemul_montgomery(r, a.vec[0], b.vec[0]);
  for (int i = 1; i < kK; ++i) {
    poly_basemul_montgomery(t.value, a.vec[i], b.vec[i]);
    poly_add(r, r, t.value);
  }
  poly_reduce(r);
}

void polyvec_reduce(PolyVec& r) {
  for (Poly& p : r.vec) poly_reduce(p);
}

void polyvec_add(PolyVec& r, const PolyVec& a, const PolyVec& b) {
  for (int i = 0; i < kK; ++i) poly_add(r.vec[i], a.vec[i], b.vec[i]);
}

}  // namespace vellicor::kyber
