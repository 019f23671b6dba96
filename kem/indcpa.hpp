#pragma once
// The IND-CPA public-key encryption under the KEM: key generation from a
// 32-byte seed, encryption of a 32-byte message with 32 bytes of coins, and
// decryption. All of it is deterministic; randomness is drawn by the caller.

#include <cstdint>

#include "kem/params.hpp"
#include "kem/polyvec.hpp"

namespace vellicor::kyber {

// pk = t-hat || rho, sk = s-hat, with (rho, sigma) = G(d).
void indcpa_keypair(std::uint8_t pk[kIndcpaPublicKeyBytes], std::uint8_t sk[kIndcpaSecretKeyBytes],
                    const std::uint8_t d[kSymBytes]);

void indcpa_enc(std::uint8_t ct[kIndcpaCiphertextBytes], const std::uint8_t m[kSymBytes],
                const std::uint8_t pk[kIndcpaPublicKeyBytes], const std::uint8_t coins[kSymBytes]);

void indcpa_dec(std::uint8_t m[kSymBytes], const std::uint8_t ct[kIndcpaCiphertextBytes],
                const std::uint8_t sk[kIndcpaSecretKeyBytes]);

// The public matrix A (or its transpose) in the transform domain, sampled
// from rho by rejection; exposed for tests.
void gen_matrix(PolyVec a[kK], const std::uint8_t rho[kSymBytes], bool transposed);

}  // namespace vellicor::kyber
