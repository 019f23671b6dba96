#include "kem/kyber_kem.hpp"

#include <array>
#include <cstring>

#include "kem/indcpa.hpp"
#include "kem/randombytes.hpp"
#include "kem/symmetric.hpp"
#include "kem/verify.hpp"
#include "kem/wipe.hpp"

namespace vellicor::kyber {
namespace {

// Where the parts of the secret key begin.
constexpr std::size_t kSkPublicKey = kIndcpaSecretKeyBytes;
constexpr std::size_t kSkHashPk = kSkPublicKey + kIndcpaPublicKeyBytes;
constexpr std::size_t kSkZ = kSkHashPk + kSymBytes;
static_assert(kSkZ + kSymBytes == kSecretKeyBytes);

// 1 if the buffers differ, else 0, after looking at every byte.
std::uint8_t differ(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  std::uint8_t acc = 0;
  for (std::size_t i = 0; i < n; ++i) acc = static_cast<std::uint8_t>(acc | (a[i] ^ b[i]));
  return static_cast<std::uint8_t>((0u - static_cast<std::uint32_t>(acc)) >> 31);
}

// r = x if b is 1, unchanged if b is 0, by masking.
void conditional_move(std::uint8_t* r, const std::uint8_t* x, std::size_t n, std::uint8_t b) {
  const std::uint8_t mask = static_cast<std::uint8_t>(-value_barrier(b));
  for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<std::uint8_t>(r[i] ^ (mask & (r[i] ^ x[i])));
}

}  // namespace

bool kem_keypair(std::uint8_t pk[kPublicKeyBytes], std::uint8_t sk[kSecretKeyBytes]) {
  Scrubbed<std::array<std::uint8_t, kSymBytes>> d;
  if (!random_bytes(d.value.data(), kSymBytes)) return false;
  indcpa_keypair(pk, sk, d.value.data());
  std::memcpy(sk + kSkPublicKey, pk, kPublicKeyBytes);
  hash_h(sk + kSkHashPk, pk, kPublicKeyBytes);
  return random_bytes(sk + kSkZ, kSymBytes);
}

bool kem_encaps(std::uint8_t ct[kCiphertextBytes], std::uint8_t ss[kSharedSecretBytes],
                const std::uint8_t pk[kPublicKeyBytes]) {
  Scrubbed<std::array<std::uint8_t, 2 * kSymBytes>> mh;  // m || H(pk)
  Scrubbed<std::array<std::uint8_t, 2 * kSymBytes>> kr;  // Kbar || r, later Kbar || H(c)
  std::uint8_t* m = mh.value.data();
  if (!random_bytes(m, kSymBytes)) return false;
  hash_h(m, m, kSymBytes);  // never sends the generator's raw output
  hash_h(m + kSymBytes, pk, kPublicKeyBytes);
  hash_g(kr.value.data(), m, 2 * kSymBytes, nullptr, 0);
  indcpa_enc(ct, m, pk, kr.value.data() + kSymBytes);
  hash_h(kr.value.data() + kSymBytes, ct, kCiphertextBytes);
  kdf(ss, kr.value.data(), 2 * kSymBytes, nullptr, 0);
  return true;
}

void kem_decaps(std::uint8_t ss[kSharedSecretBytes], const std::uint8_t ct[kCiphertextBytes],
                const std::uint8_t sk[kSecretKeyBytes]) {
  Scrubbed<std::array<std::uint8_t, 2 * kSymBytes>> mh;  // m' || H(pk)
  Scrubbed<std::array<std::uint8_t, 2 * kSymBytes>> kr;  // Kbar' || r', later Kbar' || H(c)
  Scrubbed<std::array<std::uint8_t, kCiphertextBytes>> again;
  std::uint8_t* m = mh.value.data();
  indcpa_dec(m, ct, sk);
  std::memcpy(m + kSymBytes, sk + kSkHashPk, kSymBytes);
  hash_g(kr.value.data(), m, 2 * kSymBytes, nullptr, 0);
  indcpa_enc(again.value.data(), m, sk + kSkPublicKey, kr.value.data() + kSymBytes);
  const std::uint8_t fail = differ(ct, again.value.data(), kCiphertextBytes);
  hash_h(kr.value.data() + kSymBytes, ct, kCiphertextBytes);
  conditional_move(kr.value.data(), sk + kSkZ, kSymBytes, fail);  // implicit rejection
  kdf(ss, kr.value.data(), 2 * kSymBytes, nullptr, 0);
}

}  // namespace vellicor::kyber
