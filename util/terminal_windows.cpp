#include <windows.h>

#include <cstring>

#include "util/platform.hpp"
#include "util/terminal.hpp"
#include "util/windows_error.hpp"

namespace vellicor {

namespace {

constexpr DWORD kLongest = 1023;

// The console's input mode as it was, for the Ctrl-C handler: echo comes
// back even where the person presses Ctrl-C at the prompt.
HANDLE g_input = INVALID_HANDLE_VALUE;
DWORD g_saved = 0;

BOOL WINAPI put_back(DWORD) {
  if (g_input != INVALID_HANDLE_VALUE) ::SetConsoleMode(g_input, g_saved);
  return FALSE;  // the default handler ends the process
}

bool fail(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

// Closes the two console handles on every way out.
struct ConsoleHandles {
  HANDLE in = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  HANDLE out = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ~ConsoleHandles() {
    if (in != INVALID_HANDLE_VALUE) ::CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
  }
};

}  // namespace

bool ask_terminal(std::string_view prompt, bool echo, SecretBytes& line, std::string* why) {
  ConsoleHandles console;
  DWORD saved = 0;
  if (console.in == INVALID_HANDLE_VALUE || console.out == INVALID_HANDLE_VALUE ||
      !::GetConsoleMode(console.in, &saved))
    return fail(why, "no console to ask on");
  const bool quiet = !echo;
  if (quiet) {
    g_input = console.in;
    g_saved = saved;
    ::SetConsoleCtrlHandler(put_back, TRUE);
    ::SetConsoleMode(console.in, (saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT |
                                     ENABLE_PROCESSED_INPUT);
  }
  DWORD written = 0;
  ::WriteConsoleA(console.out, prompt.data(), static_cast<DWORD>(prompt.size()), &written, nullptr);
  SecretBytes wide((kLongest + 3) * sizeof(wchar_t));
  wchar_t* text = reinterpret_cast<wchar_t*>(wide.data());
  DWORD got = 0;
  const bool read = ::ReadConsoleW(console.in, text, kLongest + 2, &got, nullptr) != 0;
  const DWORD error = ::GetLastError();
  if (quiet) {
    ::SetConsoleMode(console.in, saved);
    ::SetConsoleCtrlHandler(put_back, FALSE);
    g_input = INVALID_HANDLE_VALUE;
    ::WriteConsoleA(console.out, "\r\n", 2, &written, nullptr);
  }
  if (!read) return fail(why, windows_error_text(error));
  DWORD length = 0;
  while (length < got && text[length] != L'\r' && text[length] != L'\n') ++length;
  if (length == got && got > kLongest) return fail(why, "the line is longer than 1023 characters");
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  SecretBytes result(static_cast<std::size_t>(bytes));
  if (bytes > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), reinterpret_cast<char*>(result.data()), bytes,
                          nullptr, nullptr);
  line = std::move(result);
  return true;
}

}  // namespace vellicor
