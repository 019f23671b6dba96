#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "util/console.hpp"

namespace vellicor {

namespace {

// The code page to put back when Ctrl+C, Ctrl+Break or a closed window ends
// the run; the system calls the handler on a thread of its own, as it does for
// its default handler, which then ends the process.
std::atomic<unsigned> g_restore{0};

BOOL WINAPI restore_on_control(DWORD) {
  const unsigned page = g_restore.exchange(0);
  if (page != 0) ::SetConsoleOutputCP(page);
  return FALSE;  // the next handler (the system's) ends the process
}

}  // namespace

void console_init() {
  // Text mode would turn each "\n" into "\r\n"; the output must be the same
  // bytes as on every other platform.
  (void)_setmode(_fileno(stdin), _O_BINARY);
  (void)_setmode(_fileno(stdout), _O_BINARY);
  (void)_setmode(_fileno(stderr), _O_BINARY);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}

bool is_terminal(Stream stream) {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(stream == Stream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) != 0;
}

unsigned set_console_code_page(void* handle, unsigned code_page) {
  DWORD mode = 0;
  // Only a console handle has a console mode: a file, a pipe and NUL do not.
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode)) return 0;
  const UINT current = ::GetConsoleOutputCP();
  if (current == 0 || current == code_page || !::SetConsoleOutputCP(code_page)) return 0;
  return current;
}

ConsoleRun::ConsoleRun() {
  console_init();
  restore_ = set_console_code_page(reinterpret_cast<void*>(_get_osfhandle(_fileno(stdout))), ::GetACP());
  if (restore_ != 0) {
    g_restore.store(restore_);
    ::SetConsoleCtrlHandler(restore_on_control, TRUE);
  }
}

ConsoleRun::~ConsoleRun() {
  if (restore_ == 0) return;
  // What is still buffered is shown in the run's code page.
  std::fflush(stdout);
  ::SetConsoleCtrlHandler(restore_on_control, FALSE);
  if (g_restore.exchange(0) != 0) ::SetConsoleOutputCP(restore_);
}

}  // namespace vellicor
