#pragma once
// The two console streams. Standard output is flushed before anything goes to
// standard error, and standard error is unbuffered, so a console shows the
// lines of both in the order they were written.

#include <string>
#include <string_view>

namespace vellicor {

// Call once at start: makes standard error unbuffered, and on Windows puts
// both streams in binary mode so that every byte (0x97, "\n") reaches a
// file or pipe as written, with no "\r" added.
void console_init();
void out(std::string_view text);
void err(std::string_view text);
// Sends what standard output holds on its way now, for when the output file
// may be that same stream (/dev/stdout) and must come after the lines.
void flush_out();

// Several pieces written as one message (prefix, path, suffix).
void out(std::initializer_list<std::string_view> pieces);
void err(std::initializer_list<std::string_view> pieces);

// A path or name as every printed line shows it: the control bytes 0x00-0x1F
// and 0x7F as "\x1b" (two lower-case hex digits), so that a name planted in a
// folder cannot move the cursor, wipe a line or reset the terminal; every
// other byte, UTF-8 included, as it is.
std::string printable(std::string_view name);

// An output that took its name but whose folder could not be flushed holds
// the new bytes; that is said on standard error, and is no failure. Nothing
// is written when `reason` is empty.
void warn_if_unflushed(std::string_view path, std::string_view reason);

}  // namespace vellicor
