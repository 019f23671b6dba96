#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "util/console.hpp"
#include "util/owner_only_windows.hpp"
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

bool starts_with(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// The final path of the file `name` names, links resolved, in the plain
// form (C:\..., \\server\share\...); false where the volume gives no DOS name
// (volumes the mount manager does not know) or the file cannot be opened.
bool final_path(const std::wstring& name, std::wstring& result) {
  const HANDLE file = ::CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::wstring buffer(MAX_PATH, L'\0');
  DWORD n = 0;
  for (;;) {
    n = ::GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n < buffer.size()) break;
    buffer.resize(n + 1);
  }
  ::CloseHandle(file);
  if (n == 0) return false;
  buffer.resize(n);
  if (starts_with(buffer, L"\\\\?\\UNC\\"))
    result = L"\\\\" + buffer.substr(8);
  else if (starts_with(buffer, L"\\\\?\\"))
    result = buffer.substr(4);
  else
    result = std::move(buffer);
  return true;
}

// Code-page text that turns back into exactly `wide`: no look-alike ("best
// fit") characters and no default character ('?') in the place of one the
// code page lacks. UTF-8 as the code page takes no such flags; lone
// surrogates are refused there instead.
bool narrow_exactly(const std::wstring& wide, std::string& text) {
  if (wide.empty()) {
    text.clear();
    return true;
  }
  const UINT page = ::GetACP();
  const bool utf = page == CP_UTF8 || page == CP_UTF7;
  const DWORD flags = page == CP_UTF8 ? WC_ERR_INVALID_CHARS : (utf ? 0 : WC_NO_BEST_FIT_CHARS);
  BOOL lossy = FALSE;
  BOOL* lossy_flag = utf ? nullptr : &lossy;
  const int size = static_cast<int>(wide.size());
  const int narrow = ::WideCharToMultiByte(CP_ACP, flags, wide.data(), size, nullptr, 0, nullptr, lossy_flag);
  if (narrow <= 0 || lossy) return false;
  std::string converted(static_cast<std::size_t>(narrow), '\0');
  if (::WideCharToMultiByte(CP_ACP, flags, wide.data(), size, converted.data(), narrow, nullptr, lossy_flag) != narrow ||
      lossy)
    return false;
  // The way back must give the same characters.
  std::wstring back(wide.size(), L'\0');
  const int again =
      ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, converted.data(), narrow, back.data(), size);
  if (again != size || back != wide) return false;
  text.swap(converted);
  return true;
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
  // A character without its own form in the code page would come out as a
  // look-alike or '?', a different name; that counts as no narrow form.
  return narrow_exactly(path.native(), text);
}

std::string to_message_text(const std::filesystem::path& path) {
  const std::wstring& wide = path.native();
  std::string text;
  if (narrow_exactly(wide, text)) return text;
  const UINT page = ::GetACP();
  const bool utf = page == CP_UTF8 || page == CP_UTF7;
  const DWORD flags = utf ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* question = utf ? nullptr : "?";
  const int size = static_cast<int>(wide.size());
  const int narrow = ::WideCharToMultiByte(CP_ACP, flags, wide.data(), size, nullptr, 0, question, nullptr);
  if (narrow <= 0) return "?";
  text.assign(static_cast<std::size_t>(narrow), '\0');
  ::WideCharToMultiByte(CP_ACP, flags, wide.data(), size, text.data(), narrow, question, nullptr);
  return text;
}

std::filesystem::path to_system_path(const std::filesystem::path& path) {
  const std::wstring& typed = path.native();
  // \\?\ is taken literally by the system: nothing to add or normalise. The
  // device form \\.\ needs no prefix.
  if (typed.empty() || starts_with(typed, L"\\\\?\\") || starts_with(typed, L"\\\\.\\")) return path;
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFullPathNameW(typed.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return path;
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);  // n counts the terminating null here
  }
  // Device names (NUL, CON, COM1) come back as \\.\NUL: they stay as typed,
  // so that the system opens them as it always has (CON for writing is the
  // console's output).
  if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) return path;
  if (starts_with(full, L"\\\\")) return std::filesystem::path(L"\\\\?\\UNC\\" + full.substr(2));
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return std::filesystem::path(L"\\\\?\\" + full);
  return std::filesystem::path(std::move(full));
}

std::optional<std::filesystem::path> program_directory(const std::string&, std::string* why) {
  // The module's own file, by its wide name: a folder with characters
  // outside the code page is found too, and the first command-line entry
  // (whatever the starting program put there) is not looked at.
  std::wstring module;
  if (!module_file_name(module, why)) return std::nullopt;
  // Started through a link, the module's name is the link's: the file it
  // reaches decides. Where the volume gives no DOS name, the module's name
  // stands as the system gave it.
  std::wstring real;
  if (final_path(module, real)) module.swap(real);
  return std::filesystem::path(std::move(module)).parent_path();
}

bool command_line_arguments(int argc, char** argv, std::vector<std::string>& args) {
  args.assign(1, argc > 0 && argv[0] != nullptr ? argv[0] : "");
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) {
    err({"[ERR] cannot read the command line: ", windows_error_text(::GetLastError()), "\n"});
    return false;
  }
  bool ok = true;
  for (int i = 1; i < count && ok; ++i) {
    std::string text;
    const std::wstring argument = wide[i];
    if (narrow_exactly(argument, text)) {
      args.push_back(std::move(text));
      continue;
    }
    err({"[ERR] argument ", std::to_string(i), " has characters that code page ", std::to_string(::GetACP()),
         " cannot hold (shown as ?): '", printable(to_message_text(std::filesystem::path(argument))), "'\n"});
    ok = false;
  }
  ::LocalFree(wide);
  return ok;
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
  // The folder as given, not in the extended-length form: path correction
  // asks std::filesystem (the C runtime's _wstat64, which takes no \\?\ path)
  // what a path is, and both must see the same folders.
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

bool keeps_access_lists(const std::string& folder) {
  // Asked of the folder itself: asking the volume by its root name would
  // need access to the volume device.
  const HANDLE h = ::CreateFileW(to_system_path(to_native_path(folder)).c_str(), 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return true;  // not known: nothing to warn of
  DWORD flags = 0;
  const bool known = ::GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) != 0;
  ::CloseHandle(h);
  return !known || (flags & FILE_PERSISTENT_ACLS) != 0;
}

bool close_process_to_others(std::string* why) {
  ::SetErrorMode(::GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  std::vector<unsigned char> user;
  LPWSTR sid = nullptr;
  if (!process_user(user) || !::ConvertSidToStringSidW(user_sid(user), &sid))
    return fail(why, windows_error_text(::GetLastError()));
  // Query (limited), wait and end: 0x1000 | 0x100000 | 0x1.
  const std::wstring sddl = L"D:P(A;;0x101001;;;" + std::wstring(sid) + L")(A;;0x101001;;;SY)";
  ::LocalFree(sid);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return fail(why, windows_error_text(::GetLastError()));
  const bool ok = ::SetKernelObjectSecurity(::GetCurrentProcess(), DACL_SECURITY_INFORMATION, descriptor) != 0;
  const DWORD error = ::GetLastError();
  ::LocalFree(descriptor);
  return ok || fail(why, windows_error_text(error));
}

}  // namespace vellicor
