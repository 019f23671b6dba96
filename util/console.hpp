#pragma once
// The two console streams. Standard output is flushed before anything goes to
// standard error, and standard error is unbuffered, so a console shows the
// lines of both in the order they were written.

#include <string_view>

namespace vellicor {

void console_init();  // makes standard error unbuffered; call once at start
void out(std::string_view text);
void err(std::string_view text);

// Several pieces written as one message (prefix, path, suffix).
void out(std::initializer_list<std::string_view> pieces);
void err(std::initializer_list<std::string_view> pieces);

}  // namespace vellicor
