#include "kem/randombytes.hpp"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "kem/oqs_kem.h"
#include "util/console.hpp"

namespace vellicor::kyber {
namespace {

using Source = void (*)(std::uint8_t*, std::size_t);
std::atomic<Source> g_custom{nullptr};

bool system_random(std::uint8_t* out, std::size_t n) {
  while (n > 0) {
    const ssize_t got = getrandom(out, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      err({"[ERR] the system's random generator failed: ", std::strerror(errno), "\n"});
      return false;
    }
    out += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

bool random_bytes(std::uint8_t* out, std::size_t n) {
  if (const Source custom = g_custom.load()) {
    custom(out, n);
    return true;
  }
  return system_random(out, n);
}

}  // namespace vellicor::kyber

extern "C" void OQS_randombytes_custom_algorithm(void (*algorithm_ptr)(uint8_t*, size_t)) {
  vellicor::kyber::g_custom.store(algorithm_ptr);
}
