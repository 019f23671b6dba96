#include "png/crc32.hpp"

#include <zlib.h>


#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELLICOR_CRC_CLMUL 1
#include <immintrin.h>
#endif

namespace vellicor {

namespace {

std::uint32_t zlib_crc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  // A null buffer asks zlib for the initial value instead of a no-op.
  return n == 0 ? crc : static_cast<std::uint32_t>(crc32_z(crc, p, n));
}

#ifdef VELLICOR_CRC_CLMUL
// Carry-less multiplication folding for the reflected polynomial 0xEDB88320:
// 64 bytes are folded 512 bits ahead at a time, the four lanes are folded
// into one, and the last 128 bits are reduced to 32 with a Barrett step. The
// constants are x^k mod P for the fold distances, bit-reflected:
// k1 = x^(4*128+32), k2 = x^(4*128-32), k3 = x^(128+32), k4 = x^(128-32),
// k5 = x^64, and the Barrett pair mu = floor(x^64 / P) and P itself.
__attribute__((target("pclmul,sse4.1"))) __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

__attribute__((target("pclmul,sse4.1"))) __m128i load(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// `reg` is the raw shift register (not complemented); n is a multiple of 16, at least 64.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t clmul_crc(std::uint32_t reg, const std::uint8_t* p,
                                                                 std::size_t n) {
  const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
  const __m128i mu_p = _mm_set_epi64x(0x1f7011641, 0x1db710641);
  const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);

  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
  for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
    x0 = fold(x0, k1k2, load(p));
    x1 = fold(x1, k1k2, load(p + 16));
    x2 = fold(x2, k1k2, load(p + 32));
    x3 = fold(x3, k1k2, load(p + 48));
  }
  x0 = fold(fold(fold(x0, k3k4, x1), k3k4, x2), k3k4, x3);
  for (; n >= 16; p += 16, n -= 16) x0 = fold(x0, k3k4, load(p));

  x0 = _mm_xor_si128(_mm_srli_si128(x0, 8), _mm_clmulepi64_si128(x0, k3k4, 0x10));                      // 128 -> 64
  x0 = _mm_xor_si128(_mm_srli_si128(x0, 4), _mm_clmulepi64_si128(_mm_and_si128(x0, low32), k5, 0x00));  // -> 32
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x0, low32), mu_p, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), mu_p, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x0, t), 1));
}

bool have_clmul() {
  static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return yes;
}
#endif

}  // namespace

// zlib's crc32 is the PNG CRC; where the CPU has carry-less multiplication the
// bulk of a long range is folded with it instead, several times faster (see
// bench/micro_bench.cpp), and zlib takes the short tail.
std::uint32_t png_crc32_update(std::uint32_t crc, ByteView bytes) {
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
#ifdef VELLICOR_CRC_CLMUL
  if (n >= 64 && have_clmul()) {
    const std::size_t bulk = n & ~std::size_t{15};
    crc = ~clmul_crc(~crc, p, bulk);
    p += bulk;
    n -= bulk;
  }
#endif
  return zlib_crc(crc, p, n);
}

// zlib's length type is 32 bits wide on some systems (Windows), and only some
// builds offer the 64-bit variant. Combining shifts crc_a by length_b zero
// bytes and adds crc_b, so a long length is taken in pieces, with nothing
// added until the last.
std::uint32_t png_crc32_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b) {
  constexpr std::uint64_t kPiece = std::uint64_t{1} << 30;
  uLong crc = crc_a;
  for (; length_b > kPiece; length_b -= kPiece) crc = crc32_combine(crc, 0, static_cast<z_off_t>(kPiece));
  return static_cast<std::uint32_t>(crc32_combine(crc, crc_b, static_cast<z_off_t>(length_b)));
}

std::uint32_t png_crc32(ByteView bytes) { return png_crc32_update(0, bytes); }

}  // namespace vellicor
