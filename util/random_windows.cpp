// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <cstdio>
#include <string>

#include "util/platform.hpp"

namespace vellicor {

bool system_random(std::uint8_t* out, std::size_t n, std::string* why) {
  // BCryptGenRandom takes a ULONG count; larger requests go in pieces.
  constexpr std::size_t kMaxPiece = 1u << 30;
  while (n > 0) {
    const std::size_t piece = n < kMaxPiece ? n : kMaxPiece;
    const NTSTATUS status =
        ::BCryptGenRandom(nullptr, out, static_cast<ULONG>(piece), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) {
      if (why != nullptr) {
        char text[64];
        std::snprintf(text, sizeof text, "BCryptGenRandom failed (NTSTATUS 0x%08lx)",
                      static_cast<unsigned long>(status));
        *why = text;
      }
      return false;
    }
    out += piece;
    n -= piece;
  }
  return true;
}

}  // namespace vellicor
