#include "util/console.hpp"

#include <chrono>
#include <cstdio>
#include <string>

namespace vellicor {

// Writes a piece of a line to a stream; each platform's console file has it.
void put(std::FILE* stream, std::string_view text);

namespace {
// The width of the progress line on standard error; 0 where none is shown.
std::size_t g_progress_width = 0;

void clear_progress() {
  if (g_progress_width == 0) return;
  std::string blank(g_progress_width + 2, ' ');
  blank.front() = blank.back() = '\r';
  put(stderr, blank);
  g_progress_width = 0;
}

// Where the lines meant for standard output go.
std::FILE* g_lines = stdout;
}  // namespace

void send_lines_to_error() { g_lines = stderr; }

void out(std::string_view text) {
  clear_progress();
  put(g_lines, text);
}

void flush_out() { std::fflush(stdout); }

void err(std::string_view text) {
  clear_progress();
  std::fflush(stdout);
  put(stderr, text);
  std::fflush(stderr);
}

void out(std::initializer_list<std::string_view> pieces) {
  clear_progress();
  for (std::string_view p : pieces) put(g_lines, p);
}

void err(std::initializer_list<std::string_view> pieces) {
  clear_progress();
  std::fflush(stdout);
  for (std::string_view p : pieces) put(stderr, p);
  std::fflush(stderr);
}

namespace {
std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

Progress::Progress(std::uint64_t total, bool total_known)
    : shown_(is_terminal(Stream::error)), total_(total), total_known_(total_known) {
  if (!shown_) return;
  start_ = now_ms();
  next_ = start_ + 1000;
}

Progress::~Progress() {
  if (shown_) clear_progress();
}

void Progress::add(std::uint64_t bytes) {
  done_ += bytes;
  if (!shown_) return;
  const std::int64_t now = now_ms();
  if (now < next_) return;
  next_ = now + 250;
  const double mib = 1024.0 * 1024.0, done = static_cast<double>(done_) / mib;
  const double rate = done / (static_cast<double>(now - start_) / 1000.0);
  char line[96];
  const int n = total_known_
                    ? std::snprintf(line, sizeof line, "%.1f MiB of %.1f MiB, %.1f MiB/s", done,
                                    static_cast<double>(total_) / mib, rate)
                    : std::snprintf(line, sizeof line, "%.1f MiB, %.1f MiB/s", done, rate);
  const std::size_t width = n > 0 ? static_cast<std::size_t>(n) : 0;
  // Blanks over what is left of a longer line before it.
  const std::size_t blanks = g_progress_width > width ? g_progress_width - width : 0;
  std::fflush(stdout);
  std::string shown(1, '\r');
  shown.append(line, width).append(blanks, ' ');
  put(stderr, shown);
  g_progress_width = width + blanks;
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
