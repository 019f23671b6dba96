#pragma once
// Asking the person at the terminal: the process's controlling terminal
// (/dev/tty) on POSIX, the console (CONIN$, CONOUT$) on Windows, never the
// standard streams, which may be pipes or files.

#include <string>
#include <string_view>

#include "util/secret.hpp"

namespace vellicor {

// Writes `prompt` to the terminal and reads one line from it, with echo off
// unless `echo` (a passphrase is never shown), up to 1023 bytes; the line
// ends at the line feed, which is not kept (nor a carriage return before it).
// On Windows the line is read as UTF-16 and kept as UTF-8. The terminal's
// echo is put back on every way out, an interrupt (Ctrl-C) included. False,
// with a reason, where the process has no terminal or reading fails.
bool ask_terminal(std::string_view prompt, bool echo, SecretBytes& line, std::string* why = nullptr);

}  // namespace vellicor
