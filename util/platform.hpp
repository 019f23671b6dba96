#pragma once
// The few things the program asks of the operating system beyond files. Each
// platform has its own definitions: platform_linux.cpp, platform_windows.cpp.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "util/byte_buffer.hpp"

namespace vellicor {

// The folder that holds the program. When the first command-line entry has a
// folder part ("bin/vellicor", "/opt/app/vellicor") it is made absolute against
// the current directory and its parent is taken. A bare name ("vellicor", as
// when the program was found through PATH) says nothing about where the
// program is, so the operating system is asked instead (/proc/self/exe on
// Linux, GetModuleFileNameW on Windows).
// nullopt (with a reason) if either fails.
std::optional<std::string> program_directory(const std::string& argv0, std::string* why = nullptr);

#if defined(_WIN32)
// The user's default locale name ("pt-BR"), from GetUserDefaultLocaleName;
// nullopt when the system gives none.
std::optional<std::string> user_default_locale_name();
#else
// The system's default locale name in the "pt-BR" form, taken from the LANG=
// line of the first locale file that exists; nullopt when none gives one.
// The files are a parameter so that tests can point at files of their own.
std::optional<std::string> user_default_locale_name(
    const std::vector<std::string>& locale_files = {"/etc/locale.conf", "/etc/default/locale"});
#endif

// Paths typed by the user are narrow text: bytes as they are on POSIX, the
// system code page (ANSI) on Windows. Every file-system call takes them
// through to_native_path; names coming back from the system go through
// to_narrow_text for messages and comparisons. On Windows a name with a
// character that the code page lacks has no narrow form: false.
std::filesystem::path to_native_path(const std::string& text);
bool to_narrow_text(const std::filesystem::path& path, std::string& text);

// The separator that joins a folder and a name: '/' on POSIX, '\' on Windows.
constexpr char preferred_separator = static_cast<char>(std::filesystem::path::preferred_separator);
// '/' everywhere, and '\' too on Windows.
constexpr bool is_separator(char c) { return c == '/' || c == preferred_separator; }

// Hands `visit` the names in one folder, one at a time, one level deep, in
// the order the system lists them, without "." and "..": a folder of any size
// costs the memory of one name. `visit` returns false to stop the listing
// there (the result is then true). False (with a reason) when the folder
// cannot be opened or the listing fails part way; the names already visited
// then do not count.
bool for_each_directory_entry(const std::filesystem::path& directory,
                              const std::function<bool(const std::filesystem::path& name)>& visit,
                              std::string* why = nullptr);

// n bytes from the operating system's generator (getrandom on Linux,
// BCryptGenRandom with the system-preferred generator on Windows). False,
// with a reason, when the system's generator fails.
bool system_random(std::uint8_t* out, std::size_t n, std::string* why = nullptr);

}  // namespace vellicor
