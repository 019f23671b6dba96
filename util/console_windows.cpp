#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "util/console.hpp"

namespace vellicor {

void console_init() {
  // Text mode would turn each "\n" into "\r\n"; the output must be the same
  // bytes as on every other platform.
  (void)_setmode(_fileno(stdout), _O_BINARY);
  (void)_setmode(_fileno(stderr), _O_BINARY);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}

}  // namespace vellicor
