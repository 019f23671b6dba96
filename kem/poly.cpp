#include "kem/poly.hpp"

#include <array>

#include "kem/compress.hpp"
#include "kem/ntt.hpp"
#include "kem/reduce.hpp"
#include "kem/symmetric.hpp"
#include "kem/verify.hpp"
#include "kem/wipe.hpp"

namespace vellicor::kyber {
namespace {

// Packs 256 values of D bits each, least significant bit first: the layout of
// every encoding in Kyber (12-bit keys, 11- and 5-bit ciphertext parts).
template <int D>
void pack_bits(std::uint8_t* out, const std::uint16_t (&in)[kN]) {
  std::uint32_t acc = 0;
  int bits = 0;
  for (int i = 0; i < kN; ++i) {
    acc |= static_cast<std::uint32_t>(in[i]) << bits;
    bits += D;
    while (bits >= 8) {
      *out++ = static_cast<std::uint8_t>(acc);
      acc >>= 8;
      bits -= 8;
    }
  }
}

template <int D>
void unpack_bits(std::uint16_t (&out)[kN], const std::uint8_t* in) {
  std::uint32_t acc = 0;
  int bits = 0;
  for (int i = 0; i < kN; ++i) {
    while (bits < D) {
      acc |= static_cast<std::uint32_t>(*in++) << bits;
      bits += 8;
    }
    out[i] = static_cast<std::uint16_t>(acc & ((1u << D) - 1));
    acc >>= D;
    bits -= D;
  }
}

template <int D>
void compress_into(std::uint8_t* out, const Poly& a) {
  Scrubbed<std::uint16_t[kN]> t;
  for (int i = 0; i < kN; ++i) t.value[i] = compress_scalar(to_canonical(a.c[i]), D);
  pack_bits<D>(out, t.value);
}

template <int D>
void decompress_from(Poly& r, const std::uint8_t* in) {
  Scrubbed<std::uint16_t[kN]> t;
  unpack_bits<D>(t.value, in);
  for (int i = 0; i < kN; ++i) r.c[i] = static_cast<std::int16_t>(decompress_scalar(t.value[i], D));
}

}  // namespace

void poly_tobytes(std::uint8_t r[kPolyBytes], const Poly& a) {
  Scrubbed<std::uint16_t[kN]> t;
  for (int i = 0; i < kN; ++i) t.value[i] = to_canonical(a.c[i]);
  pack_bits<12>(r, t.value);
}

void poly_frombytes(Poly& r, const std::uint8_t a[kPolyBytes]) {
  Scrubbed<std::uint16_t[kN]> t;
  unpack_bits<12>(t.value, a);
  for (int i = 0; i < kN; ++i) r.c[i] = static_cast<std::int16_t>(t.value[i]);
}

void poly_compress(std::uint8_t r[kPolyCompressedBytes], const Poly& a) { compress_into<kDv>(r, a); }
void poly_decompress(Poly& r, const std::uint8_t a[kPolyCompressedBytes]) { decompress_from<kDv>(r, a); }
void poly_compress_du(std::uint8_t r[kPolyCompressedDuBytes], const Poly& a) { compress_into<kDu>(r, a); }
void poly_decompress_du(Poly& r, const std::uint8_t a[kPolyCompressedDuBytes]) {
  decompress_from<kDu>(r, a);
}

void poly_frommsg(Poly& r, const std::uint8_t msg[kSymBytes]) {
  constexpr std::uint16_t one = decompress_scalar(1, 1);  // (q + 1) / 2
  for (int i = 0; i < kN; ++i) {
    r.c[i] = 0;
    cmov_int16(r.c[i], static_cast<std::int16_t>(one), static_cast<std::uint16_t>((msg[i >> 3] >> (i & 7)) & 1));
  }
}

void poly_tomsg(std::uint8_t msg[kSymBytes], const Poly& a) {
  for (std::size_t i = 0; i < kSymBytes; ++i) msg[i] = 0;
  for (int i = 0; i < kN; ++i) {
    const std::uint16_t bit = compress_scalar(to_canonical(a.c[i]), 1);
    msg[i >> 3] = static_cast<std::uint8_t>(msg[i >> 3] | (bit << (i & 7)));
  }
}

void poly_getnoise(Poly& r, const std::uint8_t seed[kSymBytes], std::uint8_t nonce) {
  static_assert(kEta1 == 2 && kEta2 == 2, "only the eta = 2 sampler is written");
  Scrubbed<std::array<std::uint8_t, kEta1Bytes>> buf;
  prf(buf.value.data(), buf.value.size(), seed, nonce);
  // Each coefficient is (a0 + a1) - (b0 + b1) over four consecutive bits.
  for (int i = 0; i < kN / 8; ++i) {
    const std::uint8_t* p = buf.value.data() + 4 * i;
    const std::uint32_t t = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                            (static_cast<std::uint32_t>(p[2]) << 16) |
                            (static_cast<std::uint32_t>(p[3]) << 24);
    const std::uint32_t d = (t & 0x55555555u) + ((t >> 1) & 0x55555555u);
    for (int j = 0; j < 8; ++j) {
      const std::int16_t x = static_cast<std::int16_t>((d >> (4 * j)) & 3);
      const std::int16_t y = static_cast<std::int16_t>((d >> (4 * j + 2)) & 3);
      r.c[8 * i + j] = static_cast<std::int16_t>(x - y);
    }
  }
}

void poly_ntt(Poly& r) {
  ntt(r.c);
  poly_reduce(r);
}

void poly_invntt_tomont(Poly& r) { invntt(r.c); }

void poly_basemul_montgomery(Poly& r, const Poly& a, const Poly& b) {
  // Pairs 4i and 4i+2 are the residues mod X^2 - zeta and X^2 + zeta.
  for (int i = 0; i < kN / 4; ++i) {
    const std::int16_t zeta = kZetas[64 + i];
    basemul(&r.c[4 * i], &a.c[4 * i], &b.c[4 * i], zeta);
    basemul(&r.c[4 * i + 2], &a.c[4 * i + 2], &b.c[4 * i + 2], static_cast<std::int16_t>(-zeta));
  }
}

void poly_tomont(Poly& r) {
  constexpr std::int16_t f = static_cast<std::int16_t>((std::uint64_t{1} << 32) % kQ);  // 2^32 mod q
  for (int i = 0; i < kN; ++i) r.c[i] = fqmul(r.c[i], f);
}

void poly_reduce(Poly& r) {
  for (int i = 0; i < kN; ++i) r.c[i] = barrett_reduce(r.c[i]);
}

void poly_add(Poly& r, const Poly& a, const Poly& b) {
  for (int i = 0; i < kN; ++i) r.c[i] = static_cast<std::int16_t>(a.c[i] + b.c[i]);
}

void poly_sub(Poly& r, const Poly& a, const Poly& b) {
  for (int i = 0; i < kN; ++i) r.c[i] = static_cast<std::int16_t>(a.c[i] - b.c[i]);
}

}  // namespace vellicor::kyber
