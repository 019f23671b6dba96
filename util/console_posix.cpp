#include <cstdio>

#include "util/console.hpp"

namespace vellicor {

void console_init() { std::setvbuf(stderr, nullptr, _IONBF, 0); }

}  // namespace vellicor
