#include "kem/indcpa.hpp"

#include <array>
#include <cstring>
#include <vector>

#include "kem/declassify.hpp"
#include "kem/symmetric.hpp"
#include "kem/wipe.hpp"

namespace vellicor::kyber {
namespace {

constexpr std::size_t kXofBlockBytes = 168;  // the SHAKE-128 rate
// Enough for 256 accepted candidates in nearly every case (about 336 offered
// against 256 needed at an acceptance of q / 4096).
constexpr std::size_t kXofFirstBytes = 3 * kXofBlockBytes;
static_assert(kXofBlockBytes % 3 == 0, "a candidate pair never straddles a block");

// Takes 12-bit candidates from buf[pos..len) in pairs of three bytes and keeps
// those below q until r is full. Branches only on public data (the matrix).
std::size_t rej_uniform(Poly& r, int& filled, const std::vector<std::uint8_t>& buf, std::size_t pos) {
  for (; filled < kN && pos + 3 <= buf.size(); pos += 3) {
    const std::uint16_t v0 = static_cast<std::uint16_t>((buf[pos] | (buf[pos + 1] << 8)) & 0xFFF);
    const std::uint16_t v1 = static_cast<std::uint16_t>(((buf[pos + 1] >> 4) | (buf[pos + 2] << 4)) & 0xFFF);
    if (v0 < kQ) r.c[filled++] = static_cast<std::int16_t>(v0);
    if (filled < kN && v1 < kQ) r.c[filled++] = static_cast<std::int16_t>(v1);
  }
  return pos;
}

// Crypto++'s SHAKE cannot be squeezed further after it has been finalised, so
// when the first output runs short it is recomputed one block longer; the
// earlier bytes come out the same and parsing resumes where it stopped.
void sample_uniform(Poly& r, std::vector<std::uint8_t>& buf, const std::uint8_t rho[kSymBytes],
                    std::uint8_t x, std::uint8_t y) {
  int filled = 0;
  std::size_t pos = 0;
  for (std::size_t len = kXofFirstBytes;; len += kXofBlockBytes) {
    buf.resize(len);
    xof(buf.data(), len, rho, x, y);
    pos = rej_uniform(r, filled, buf, pos);
    if (filled == kN) return;
  }
}

}  // namespace

void gen_matrix(PolyVec a[kK], const std::uint8_t rho[kSymBytes], bool transposed) {
  declassify(rho, kSymBytes);
  std::vector<std::uint8_t> buf;
  buf.reserve(kXofFirstBytes + 4 * kXofBlockBytes);
  for (int i = 0; i < kK; ++i) {
    for (int j = 0; j < kK; ++j) {
      const auto row = static_cast<std::uint8_t>(i);
      const auto col = static_cast<std::uint8_t>(j);
      // The XOF input is rho || column || row for A, rho || row || column for A^T.
      if (transposed)
        sample_uniform(a[i].vec[j], buf, rho, row, col);
      else
        sample_uniform(a[i].vec[j], buf, rho, col, row);
    }
  }
}

void indcpa_keypair(std::uint8_t pk[kIndcpaPublicKeyBytes], std::uint8_t sk[kIndcpaSecretKeyBytes],
                    const std::uint8_t d[kSymBytes]) {
  Scrubbed<std::array<std::uint8_t, 2 * kSymBytes>> seeds;  // rho || sigma
  hash_g(seeds.value.data(), d, kSymBytes, nullptr, 0);
  const std::uint8_t* rho = seeds.value.data();
  const std::uint8_t* sigma = seeds.value.data() + kSymBytes;

  PolyVec a[kK];
  gen_matrix(a, rho, false);

  Scrubbed<PolyVec> s, e;
  std::uint8_t nonce = 0;
  for (Poly& p : s.value.vec) poly_getnoise(p, sigma, nonce++);
  for (Poly& p : e.value.vec) poly_getnoise(p, sigma, nonce++);
  polyvec_ntt(s.value);
  polyvec_ntt(e.value);

  PolyVec t;
  for (int i = 0; i < kK; ++i) {
    polyvec_basemul_acc_montgomery(t.vec[i], a[i], s.value);
    poly_tomont(t.vec[i]);  // the basemul left a factor 2^-16
  }
  polyvec_add(t, t, e.value);
  polyvec_reduce(t);

  polyvec_tobytes(sk, s.value);
  polyvec_tobytes(pk, t);
  std::memcpy(pk + kPolyVecBytes, rho, kSymBytes);
}

void indcpa_enc(std::uint8_t ct[kIndcpaCiphertextBytes], const std::uint8_t m[kSymBytes],
                const std::uint8_t pk[kIndcpaPublicKeyBytes], const std::uint8_t coins[kSymBytes]) {
  PolyVec t;
  polyvec_frombytes(t, pk);
  PolyVec at[kK];
  gen_matrix(at, pk + kPolyVecBytes, true);

  Scrubbed<Poly> k, e2, v;
  Scrubbed<PolyVec> r, e1, u;
  poly_frommsg(k.value, m);
  std::uint8_t nonce = 0;
  for (Poly& p : r.value.vec) poly_getnoise(p, coins, nonce++);
  for (Poly& p : e1.value.vec) poly_getnoise(p, coins, nonce++);
  poly_getnoise(e2.value, coins, nonce++);
  polyvec_ntt(r.value);

  for (int i = 0; i < kK; ++i) polyvec_basemul_acc_montgomery(u.value.vec[i], at[i], r.value);
  polyvec_basemul_acc_montgomery(v.value, t, r.value);
  polyvec_invntt_tomont(u.value);
  poly_invntt_tomont(v.value);

  polyvec_add(u.value, u.value, e1.value);
  poly_add(v.value, v.value, e2.value);
  poly_add(v.value, v.value, k.value);
  polyvec_reduce(u.value);
  poly_reduce(v.value);

  polyvec_compress(ct, u.value);
  poly_compress(ct + kPolyVecCompressedBytes, v.value);
}

void indcpa_dec(std::uint8_t m[kSymBytes], const std::uint8_t ct[kIndcpaCiphertextBytes],
                const std::uint8_t sk[kIndcpaSecretKeyBytes]) {
  Scrubbed<PolyVec> u, s;
  Scrubbed<Poly> v, w;
  polyvec_decompress(u.value, ct);
  poly_decompress(v.value, ct + kPolyVecCompressedBytes);
  polyvec_frombytes(s.value, sk);

  polyvec_ntt(u.value);
  polyvec_basemul_acc_montgomery(w.value, s.value, u.value);
  poly_invntt_tomont(w.value);
  poly_sub(w.value, v.value, w.value);  // v - s^T u = noise + the message
  poly_reduce(w.value);
  poly_tomsg(m, w.value);
}

}  // namespace vellicor::kyber
