#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "util/platform.hpp"

namespace vellicor {

bool system_random(std::uint8_t* out, std::size_t n, std::string* why) {
  while (n > 0) {
    const ssize_t got = ::getrandom(out, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (why != nullptr) *why = std::strerror(errno);
      return false;
    }
    out += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace vellicor
