#include <cstdio>

#include "util/console.hpp"

namespace vellicor {

void console_init() { std::setvbuf(stderr, nullptr, _IONBF, 0); }

// A terminal here shows the bytes as its own character set: nothing to set.
ConsoleRun::ConsoleRun() { console_init(); }
ConsoleRun::~ConsoleRun() = default;

}  // namespace vellicor
