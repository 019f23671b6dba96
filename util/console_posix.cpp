#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "util/console.hpp"

namespace vellicor {

// A standard stream the program was started without (`>&-`) is opened on
// /dev/null first, so that no file the run opens takes its number and gets
// the lines meant for it.
void console_init() {
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}

// The bytes as they are: a terminal shows them in its own character set.
void put(std::FILE* stream, std::string_view text) {
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stream);
}

bool is_terminal(Stream stream) { return ::isatty(stream == Stream::output ? STDOUT_FILENO : STDERR_FILENO) == 1; }

// A terminal here shows the bytes as its own character set: nothing to set.
ConsoleRun::ConsoleRun() { console_init(); }
ConsoleRun::~ConsoleRun() = default;

}  // namespace vellicor
