#include "util/terminal.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace vellicor {

namespace {

constexpr std::size_t kLongest = 1023;

// The terminal as it was, for the signal handler: echo comes back even where
// the person presses Ctrl-C at the prompt.
int g_tty = -1;
termios g_saved{};
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
struct sigaction g_old[sizeof kSignals / sizeof kSignals[0]];

void put_back_and_raise(int signal) {
  if (g_tty >= 0) ::tcsetattr(g_tty, TCSAFLUSH, &g_saved);
  for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
    if (kSignals[i] == signal) ::sigaction(signal, &g_old[i], nullptr);
  ::raise(signal);
}

bool fail(std::string* why, const char* text) {
  if (why != nullptr) *why = text;
  return false;
}

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

bool ask_terminal(std::string_view prompt, bool echo, SecretBytes& line, std::string* why) {
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return fail(why, "no terminal to ask on");
  termios saved{};
  const bool is_terminal = ::tcgetattr(tty, &saved) == 0;
  if (!is_terminal) {
    ::close(tty);
    return fail(why, "no terminal to ask on");
  }
  const bool quiet = !echo && (saved.c_lflag & ECHO) != 0;
  if (quiet) {
    g_tty = tty;
    g_saved = saved;
    struct sigaction act {};
    act.sa_handler = put_back_and_raise;
    sigemptyset(&act.sa_mask);
    for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) ::sigaction(kSignals[i], &act, &g_old[i]);
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    silent.c_lflag |= ICANON;
    ::tcsetattr(tty, TCSAFLUSH, &silent);
  }
  write_all(tty, prompt);
  SecretBytes buffer(kLongest + 1);
  std::size_t got = 0;
  bool ended = false, failed = false;
  while (!ended && !failed) {
    char c = 0;
    const ssize_t n = ::read(tty, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed = n < 0 || got == 0;
      ended = !failed;
    } else if (c == '\n') {
      ended = true;
    } else if (got < kLongest) {
      buffer.data()[got++] = static_cast<std::uint8_t>(c);
    } else {
      failed = true;
    }
  }
  if (quiet) {
    ::tcsetattr(tty, TCSAFLUSH, &saved);
    for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) ::sigaction(kSignals[i], &g_old[i], nullptr);
    g_tty = -1;
    write_all(tty, "\n");  // the line feed the person typed was not echoed
  }
  ::close(tty);
  if (failed) return fail(why, got > kLongest - 1 ? "the line is longer than 1023 bytes" : "nothing was typed");
  if (got > 0 && buffer.data()[got - 1] == '\r') --got;
  SecretBytes result(got);
  if (got > 0) std::memcpy(result.data(), buffer.data(), got);  // an empty answer has no buffer
  line = std::move(result);
  return true;
}

}  // namespace vellicor
