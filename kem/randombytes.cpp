#include "kem/randombytes.hpp"

#include <atomic>
#include <string>

#include "kem/oqs_kem.h"
#include "util/console.hpp"
#include "util/platform.hpp"

namespace vellicor::kyber {
namespace {

using Source = void (*)(std::uint8_t*, std::size_t);
std::atomic<Source> g_custom{nullptr};

}  // namespace

bool random_bytes(std::uint8_t* out, std::size_t n) {
  if (const Source custom = g_custom.load()) {
    custom(out, n);
    return true;
  }
  std::string why;
  if (vellicor::system_random(out, n, &why)) return true;
  err({"[ERR] the system's random generator failed: ", why, "\n"});
  return false;
}

}  // namespace vellicor::kyber

extern "C" void OQS_randombytes_custom_algorithm(void (*algorithm_ptr)(uint8_t*, size_t)) {
  vellicor::kyber::g_custom.store(algorithm_ptr);
}
