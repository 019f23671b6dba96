#include "util/console.hpp"

#include <cstdio>

namespace vellicor {

// Writes a piece of a line to a stream; each platform's console file has it.
void put(std::FILE* stream, std::string_view text);

namespace {
// Where the lines meant for standard output go.
std::FILE* g_lines = stdout;
}  // namespace

void send_lines_to_error() { g_lines = stderr; }

void out(std::string_view text) { put(g_lines, text); }

void flush_out() { std::fflush(stdout); }

void err(std::string_view text) {
  std::fflush(stdout);
  put(stderr, text);
  std::fflush(stderr);
}

void out(std::initializer_list<std::string_view> pieces) {
  for (std::string_view p : pieces) put(g_lines, p);
}

void err(std::initializer_list<std::string_view> pieces) {
  std::fflush(stdout);
  for (std::string_view p : pieces) put(stderr, p);
  std::fflush(stderr);
}

std::string printable(std::string_view name) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      shown += "\\x";
      shown += hex[byte >> 4];
      shown += hex[byte & 0xf];
    } else {
      shown += c;
    }
  }
  return shown;
}

void warn_if_unflushed(std::string_view path, const std::error_code& reason) {
  if (reason)
    err({"[WARN] '", printable(path), "' is written, but its folder could not be flushed: ", reason.message(), "\n"});
}

bool refuse(std::initializer_list<std::string_view> pieces) {
  err(pieces);
  return false;
}

}  // namespace vellicor
