#include "kem/ntt.hpp"

#include "kem/reduce.hpp"

namespace vellicor::kyber {
namespace {

consteval int bit_reverse7(int i) {
  int r = 0;
  for (int b = 0; b < 7; ++b) r |= ((i >> b) & 1) << (6 - b);
  return r;
}

// Worked out by the compiler from the definition rather than typed in.
consteval std::array<std::int16_t, 128> make_zetas() {
  std::array<std::int16_t, 128> z{};
  for (int i = 0; i < 128; ++i) {
    std::int64_t v = (1 << 16) % kQ;  // Montgomery form
    for (int e = 0; e < bit_reverse7(i); ++e) v = v * 17 % kQ;
    if (v > kQ / 2) v -= kQ;
    z[i] = static_cast<std::int16_t>(v);
  }
  return z;
}

}  // namespace

constexpr std::array<std::int16_t, 128> kZetasTable = make_zetas();
const std::array<std::int16_t, 128> kZetas = kZetasTable;
static_assert(kZetasTable[0] == -1044 && kZetasTable[1] == -758 && kZetasTable[127] == 1628);

void ntt(std::int16_t r[kN]) {
  int k = 1;
  for (int len = 128; len >= 2; len >>= 1) {
    for (int start = 0; start < kN; start += 2 * len) {
      const std::int16_t zeta = kZetasTable[k++];
      for (int j = start; j < start + len; ++j) {
        const std::int16_t t = fqmul(zeta, r[j + len]);
        r[j + len] = static_cast<std::int16_t>(r[j] - t);
        r[j] = static_cast<std::int16_t>(r[j] + t);
      }
    }
  }
}

void invntt(std::int16_t r[kN]) {
  // 2^32 / 128 mod q: undoes the factor 128 of the seven layers and leaves 2^16.
  constexpr std::int16_t f = 1441;
  static_assert((static_cast<std::int64_t>(f) * 128) % kQ == (std::int64_t{1} << 32) % kQ);
  int k = 127;
  for (int len = 2; len <= 128; len <<= 1) {
    for (int start = 0; start < kN; start += 2 * len) {
      // -zeta^-1 of the forward layer is the table entry met in reverse order.
      const std::int16_t zeta = kZetasTable[k--];
      for (int j = start; j < start + len; ++j) {
        const std::int16_t t = r[j];
        r[j] = barrett_reduce(static_cast<std::int16_t>(t + r[j + len]));
        r[j + len] = fqmul(zeta, static_cast<std::int16_t>(r[j + len] - t));
      }
    }
  }
  for (int j = 0; j < kN; ++j) r[j] = fqmul(r[j], f);
}

void basemul(std::int16_t r[2], const std::int16_t a[2], const std::int16_t b[2], std::int16_t zeta) {
  r[0] = fqmul(fqmul(a[1], b[1]), zeta);
  r[0] = static_cast<std::int16_t>(r[0] + fqmul(a[0], b[0]));
  r[1] = static_cast<std::int16_t>(fqmul(a[0], b[1]) + fqmul(a[1], b[0]));
}

}  // namespace vellicor::kyber
