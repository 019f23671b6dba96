#pragma once
// Round-3 Kyber-1024 as a KEM: the Fujisaki-Okamoto style transform of that
// round over the IND-CPA encryption (m = H(random), Kbar || r = G(m || H(pk)),
// ss = KDF(Kbar || H(c)), implicit rejection with z). This is not the later
// ML-KEM: its shared secrets differ.

#include <cstdint>

#include "kem/params.hpp"

namespace vellicor::kyber {

// Each returns false only when random bytes could not be had (said on the
// console); the outputs are then unspecified.
bool kem_keypair(std::uint8_t pk[kPublicKeyBytes], std::uint8_t sk[kSecretKeyBytes]);
bool kem_encaps(std::uint8_t ct[kCiphertextBytes], std::uint8_t ss[kSharedSecretBytes],
                const std::uint8_t pk[kPublicKeyBytes]);
// Never fails: a ciphertext that does not re-encrypt to itself yields the
// pseudo-random KDF(z || H(c)) instead of an error.
void kem_decaps(std::uint8_t ss[kSharedSecretBytes], const std::uint8_t ct[kCiphertextBytes],
                const std::uint8_t sk[kSecretKeyBytes]);

}  // namespace vellicor::kyber
