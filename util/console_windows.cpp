#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <string_view>

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

// Only a console handle has a console mode: a file, a pipe and NUL do not.
bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
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

// A console is written in its own characters (UTF-16); a file or a pipe gets
// the bytes as they are, as on Linux. Each piece is decoded by what it holds:
// UTF-8 where the process code page is UTF-8 and the piece is valid UTF-8
// (every path, then), else code page 1252 there (the banner's 0x97), else
// the process code page, which every path is in.
std::wstring console_text(std::string_view text, unsigned code_page) {
  const int size = static_cast<int>(text.size());
  UINT page = code_page;
  DWORD flags = 0;
  if (page == CP_UTF8) {
    flags = MB_ERR_INVALID_CHARS;
    if (::MultiByteToWideChar(CP_UTF8, flags, text.data(), size, nullptr, 0) <= 0) page = 1252, flags = 0;
  }
  const int wide = ::MultiByteToWideChar(page, flags, text.data(), size, nullptr, 0);
  std::wstring converted(static_cast<std::size_t>(wide > 0 ? wide : 0), L'\0');
  if (wide > 0) ::MultiByteToWideChar(page, flags, text.data(), size, converted.data(), wide);
  return converted;
}

void put(std::FILE* stream, std::string_view text) {
  if (text.empty()) return;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (!is_console(handle)) {
    std::fwrite(text.data(), 1, text.size(), stream);
    return;
  }
  std::fflush(stream);
  const std::wstring wide = console_text(text, ::GetACP());
  DWORD done = 0;
  ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
}

bool is_terminal(Stream stream) {
  return is_console(::GetStdHandle(stream == Stream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE));
}

unsigned set_console_code_page(void* handle, unsigned code_page) {
  if (!is_console(handle)) return 0;
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
