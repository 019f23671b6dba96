#pragma once
// Where the KEM's random bytes come from: the operating system's generator,
// unless OQS_randombytes_custom_algorithm installed another source.

#include <cstddef>
#include <cstdint>

namespace vellicor::kyber {

// Fills out with n random bytes. False (with an "[ERR] " line) only when the
// operating system's generator fails.
bool random_bytes(std::uint8_t* out, std::size_t n);

}  // namespace vellicor::kyber
