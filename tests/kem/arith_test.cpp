// The arithmetic under the KEM, against definitions written out plainly:
// rounding compression, the transform's products, and matrix sampling.

#include <cryptopp/shake.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kem/compress.hpp"
#include "kem/indcpa.hpp"
#include "kem/ntt.hpp"
#include "kem/poly.hpp"

namespace vellicor::kyber {
namespace {

TEST(KyberCompress, MatchesRoundingFormulaForEveryValue) {
  for (const int d : {1, 5, 11}) {
    const std::uint32_t two_d = 1u << d;
    for (std::uint32_t x = 0; x < kQ; ++x) {
      // round(2^d / q * x) = floor((2^(d+1) x + q) / 2q); q is odd, so no ties
      const std::uint32_t expected = ((2 * two_d * x + kQ) / (2 * kQ)) % two_d;
      ASSERT_EQ(compress_scalar(static_cast<std::uint16_t>(x), d), expected) << "d " << d << " x " << x;
    }
    for (std::uint32_t y = 0; y < two_d; ++y) {
      // round(q / 2^d * y), halves up
      const std::uint32_t expected = (2 * kQ * y + two_d) / (2 * two_d);
      ASSERT_EQ(decompress_scalar(static_cast<std::uint16_t>(y), d), expected) << "d " << d << " y " << y;
    }
  }
}

int canonical(int a) { return ((a % kQ) + kQ) % kQ; }

Poly random_poly(std::mt19937& rng) {
  std::uniform_int_distribution<int> dist(-(kQ - 1) / 2, (kQ - 1) / 2);
  Poly p;
  for (auto& c : p.c) c = static_cast<std::int16_t>(dist(rng));
  return p;
}

// a * b in Z_q[X]/(X^256 + 1), the slow way.
std::vector<int> schoolbook(const Poly& a, const Poly& b) {
  std::vector<long long> r(kN, 0);
  for (int i = 0; i < kN; ++i)
    for (int j = 0; j < kN; ++j) {
      const long long p = static_cast<long long>(a.c[i]) * b.c[j];
      if (i + j < kN)
        r[i + j] += p;
      else
        r[i + j - kN] -= p;  // X^256 = -1
    }
  std::vector<int> out(kN);
  for (int i = 0; i < kN; ++i) out[i] = static_cast<int>(((r[i] % kQ) + kQ) % kQ);
  return out;
}

TEST(KyberNtt, TransformProductEqualsNegacyclicProduct) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 3; ++round) {
    const Poly a = random_poly(rng), b = random_poly(rng);
    Poly ta = a, tb = b, prod;
    poly_ntt(ta);
    poly_ntt(tb);
    poly_basemul_montgomery(prod, ta, tb);  // times 2^-16 ...
    poly_invntt_tomont(prod);               // ... undone here
    const std::vector<int> expected = schoolbook(a, b);
    for (int i = 0; i < kN; ++i) ASSERT_EQ(canonical(prod.c[i]), expected[i]) << "round " << round << " i " << i;
  }
}

TEST(KyberNtt, InverseUndoesForwardUpToMontgomeryFactor) {
  std::mt19937 rng(7);
  const Poly a = random_poly(rng);
  Poly t = a;
  poly_ntt(t);
  poly_invntt_tomont(t);
  for (int i = 0; i < kN; ++i) ASSERT_EQ(canonical(t.c[i]), canonical(a.c[i] * 65536)) << "i " << i;
}

// Entry (0, 0) of A parsed from a long SHAKE-128 output in one go.
std::vector<int> reference_entry(const std::uint8_t rho[32]) {
  std::vector<std::uint8_t> buf(168 * 12);
  CryptoPP::SHAKE128 shake(static_cast<unsigned>(buf.size()));
  const std::uint8_t ij[2] = {0, 0};
  shake.Update(rho, 32);
  shake.Update(ij, 2);
  shake.TruncatedFinal(buf.data(), buf.size());
  std::vector<int> out;
  for (std::size_t pos = 0; out.size() < kN; pos += 3) {
    const int v0 = buf[pos] | ((buf[pos + 1] & 0x0F) << 8);
    const int v1 = (buf[pos + 1] >> 4) | (buf[pos + 2] << 4);
    if (v0 < kQ) out.push_back(v0);
    if (v1 < kQ && out.size() < kN) out.push_back(v1);
  }
  return out;
}

// Accepted candidates in the first three SHAKE-128 blocks.
int accepted_in_first_blocks(const std::uint8_t rho[32]) {
  std::uint8_t buf[3 * 168];
  CryptoPP::SHAKE128 shake(sizeof buf);
  const std::uint8_t ij[2] = {0, 0};
  shake.Update(rho, 32);
  shake.Update(ij, 2);
  shake.TruncatedFinal(buf, sizeof buf);
  int n = 0;
  for (std::size_t pos = 0; pos < sizeof buf; pos += 3) {
    n += (buf[pos] | ((buf[pos + 1] & 0x0F) << 8)) < kQ;
    n += ((buf[pos + 1] >> 4) | (buf[pos + 2] << 4)) < kQ;
  }
  return n;
}

// About one entry in a hundred needs more than three blocks; both kinds are
// checked, the longer one being where a resumed parse could go wrong.
TEST(KyberMatrix, SamplingResumesWhenThreeBlocksRunShort) {
  bool seen_short = false, seen_enough = false;
  for (int k = 0; k < 5000 && !(seen_short && seen_enough); ++k) {
    std::uint8_t rho[32] = {};
    rho[0] = static_cast<std::uint8_t>(k);
    rho[1] = static_cast<std::uint8_t>(k >> 8);
    const bool short_run = accepted_in_first_blocks(rho) < kN;
    if ((short_run && seen_short) || (!short_run && seen_enough)) continue;
    (short_run ? seen_short : seen_enough) = true;
    PolyVec a[kK];
    gen_matrix(a, rho, false);
    const std::vector<int> expected = reference_entry(rho);
    for (int i = 0; i < kN; ++i) ASSERT_EQ(a[0].vec[0].c[i], expected[i]) << "rho " << k << " i " << i;
  }
  EXPECT_TRUE(seen_short);
  EXPECT_TRUE(seen_enough);
}

}  // namespace
}  // namespace vellicor::kyber
