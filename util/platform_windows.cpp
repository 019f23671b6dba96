#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <system_error>

#include "util/platform.hpp"
#include "util/windows_error.hpp"

namespace vellicor {

std::string windows_error_text(unsigned long code) {
  char text[256];
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
  if (n > 0) return std::string(text, n);
  std::snprintf(text, sizeof text, "Windows error %lu", static_cast<unsigned long>(code));
  return text;
}

namespace {

bool fail(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

bool is_dot_or_dot_dot(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

// The module's own file, however long its name is.
bool module_file_name(std::wstring& name, std::string* why) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (got == 0) return fail(why, "GetModuleFileNameW: " + windows_error_text(::GetLastError()));
    if (got < buffer.size()) {
      buffer.resize(got);
      name.swap(buffer);
      return true;
    }
    if (buffer.size() >= 32768) return fail(why, "GetModuleFileNameW: the program's path is too long");
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

std::filesystem::path to_native_path(const std::string& text) {
  if (text.empty()) return {};
  // CP_ACP maps every byte to some character, so this cannot fail on content.
  const int wide = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring converted(static_cast<std::size_t>(wide > 0 ? wide : 0), L'\0');
  if (wide > 0)
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), converted.data(), wide);
  return std::filesystem::path(std::move(converted));
}

bool to_narrow_text(const std::filesystem::path& path, std::string& text) {
  const std::wstring& wide = path.native();
  if (wide.empty()) {
    text.clear();
    return true;
  }
  // A character without a form in the code page would come out as '?', a
  // different name; that counts as no narrow form at all.
  BOOL lossy = FALSE;
  const UINT page = ::GetACP();
  // UTF-7 and UTF-8 take no "used default char" flag, and lose nothing anyway.
  BOOL* lossy_flag = (page == CP_UTF8 || page == CP_UTF7) ? nullptr : &lossy;
  const int narrow = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                           nullptr, lossy_flag);
  if (narrow <= 0 || lossy) return false;
  std::string converted(static_cast<std::size_t>(narrow), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), converted.data(), narrow, nullptr,
                        nullptr);
  text.swap(converted);
  return true;
}

std::optional<std::string> program_directory(const std::string& argv0, std::string* why) {
  const std::filesystem::path typed = to_native_path(argv0);
  std::filesystem::path program;
  if (typed.has_parent_path()) {
    std::error_code ec;
    program = std::filesystem::absolute(typed, ec);
    if (ec) {
      fail(why, ec.message());
      return std::nullopt;
    }
  } else {
    // Started by a bare name, found through the search path or the program's
    // own folder: the system knows where the module really is.
    std::wstring module;
    if (!module_file_name(module, why)) return std::nullopt;
    program = std::filesystem::path(std::move(module));
  }
  std::string directory;
  if (!to_narrow_text(program.parent_path(), directory)) {
    fail(why, "the program's folder has a name outside the system code page");
    return std::nullopt;
  }
  return directory;
}

std::optional<std::string> user_default_locale_name() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};  // 85 wide characters
  static_assert(LOCALE_NAME_MAX_LENGTH == 85);
  if (::GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) <= 0) return std::nullopt;
  // Locale names are ASCII ("pt-BR", "zh-Hans-CN"); anything else is dropped
  // rather than guessed at, and the language is then found in none of them.
  std::string narrow;
  for (const wchar_t* c = name; *c != L'\0'; ++c) {
    if (*c > 0x7f) return std::nullopt;
    narrow.push_back(static_cast<char>(*c));
  }
  return narrow;
}

bool for_each_directory_entry(const std::filesystem::path& directory,
                              const std::function<bool(const std::filesystem::path& name)>& visit,
                              std::string* why) {
  std::wstring pattern = directory.native();
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/' && pattern.back() != L':')
    pattern.push_back(L'\\');
  pattern.push_back(L'*');

  WIN32_FIND_DATAW entry{};
  HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) return fail(why, windows_error_text(::GetLastError()));
  // Closed on every way out, a throwing `visit` too.
  const std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> closer(find, ::FindClose);
  DWORD error = ERROR_SUCCESS;
  do {
    if (!is_dot_or_dot_dot(entry.cFileName) && !visit(std::filesystem::path(std::wstring(entry.cFileName)))) {
      error = ERROR_NO_MORE_FILES;
      break;
    }
    if (!::FindNextFileW(find, &entry)) error = ::GetLastError();
  } while (error == ERROR_SUCCESS);
  if (error != ERROR_NO_MORE_FILES) return fail(why, windows_error_text(error));
  return true;
}

}  // namespace vellicor
