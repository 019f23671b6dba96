#pragma once
// Sizes of round-3 Kyber-1024. Every buffer in this folder is sized from these,
// and the asserts pin them to the lengths that the interface reports.

#include <cstddef>
#include <cstdint>

namespace vellicor::kyber {

inline constexpr int kN = 256;
inline constexpr int kQ = 3329;
inline constexpr int kK = 4;
inline constexpr int kEta1 = 2;
inline constexpr int kEta2 = 2;
inline constexpr int kDu = 11;
inline constexpr int kDv = 5;

inline constexpr std::size_t kSymBytes = 32;  // seeds, hashes, messages, shared secret
inline constexpr std::size_t kSharedSecretBytes = 32;

inline constexpr std::size_t kPolyBytes = 12 * kN / 8;  // 12-bit coefficients
inline constexpr std::size_t kPolyVecBytes = kK * kPolyBytes;
inline constexpr std::size_t kPolyCompressedBytes = kDv * kN / 8;
inline constexpr std::size_t kPolyVecCompressedBytes = kK * (kDu * kN / 8);

inline constexpr std::size_t kIndcpaPublicKeyBytes = kPolyVecBytes + kSymBytes;
inline constexpr std::size_t kIndcpaSecretKeyBytes = kPolyVecBytes;
inline constexpr std::size_t kIndcpaCiphertextBytes = kPolyVecCompressedBytes + kPolyCompressedBytes;

inline constexpr std::size_t kPublicKeyBytes = kIndcpaPublicKeyBytes;
// s-hat, the public key, H(pk), z
inline constexpr std::size_t kSecretKeyBytes =
    kIndcpaSecretKeyBytes + kIndcpaPublicKeyBytes + 2 * kSymBytes;
inline constexpr std::size_t kCiphertextBytes = kIndcpaCiphertextBytes;

// Bytes of PRF output for one noise polynomial: eta * n / 4.
inline constexpr std::size_t kEta1Bytes = kEta1 * kN / 4;
inline constexpr std::size_t kEta2Bytes = kEta2 * kN / 4;

static_assert(kN == 256 && kQ == 3329 && kK == 4);
static_assert(kEta1 == 2 && kEta2 == 2 && kDu == 11 && kDv == 5);
static_assert(kPublicKeyBytes == 1568);
static_assert(kSecretKeyBytes == 3168);
static_assert(kCiphertextBytes == 1568);
static_assert(kSharedSecretBytes == 32);
static_assert(kIndcpaSecretKeyBytes == 1536);

}  // namespace vellicor::kyber
