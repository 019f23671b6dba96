#pragma once
// The symmetric primitives of round-3 Kyber, all from Keccak (FIPS 202) as
// Crypto++ provides it: H = SHA3-256, G = SHA3-512, PRF and KDF = SHAKE-256,
// XOF = SHAKE-128. Inputs are given as up to two pieces so that callers need
// not copy secrets into a joint buffer.

#include <cstddef>
#include <cstdint>

#include "kem/params.hpp"

namespace vellicor::kyber {

// out (32 bytes) = SHA3-256(in)
void hash_h(std::uint8_t* out, const std::uint8_t* in, std::size_t len);

// out (64 bytes) = SHA3-512(a || b)
void hash_g(std::uint8_t* out, const std::uint8_t* a, std::size_t alen, const std::uint8_t* b,
            std::size_t blen);

// out (outlen bytes) = SHAKE-256(key || nonce)
void prf(std::uint8_t* out, std::size_t outlen, const std::uint8_t key[kSymBytes], std::uint8_t nonce);

// out (outlen bytes) = SHAKE-128(seed || x || y); a longer outlen yields the
// same prefix, so a caller that runs short may ask again for more.
void xof(std::uint8_t* out, std::size_t outlen, const std::uint8_t seed[kSymBytes], std::uint8_t x,
         std::uint8_t y);

// out (32 bytes) = SHAKE-256(a || b), cut to 32 bytes
void kdf(std::uint8_t* out, const std::uint8_t* a, std::size_t alen, const std::uint8_t* b,
         std::size_t blen);

}  // namespace vellicor::kyber
