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

// The folder that holds the program file itself, links resolved, the same
// however the program was started (by a path, through a link, by a bare name
// found through PATH). The system is asked which file runs: /proc/self/exe on
// Linux, GetModuleFileNameW on Windows (then the file's final path, links
// resolved, where the volume gives one). Where /proc is missing, the first
// command-line entry is used instead (see program_directory_from_argv0);
// Windows never looks at it. nullopt (with a reason) if this fails.
std::optional<std::filesystem::path> program_directory(const std::string& argv0, std::string* why = nullptr);

#if !defined(_WIN32)
// The fallback without /proc: `argv0` with a slash is the program's path
// (made absolute against the current folder); a bare name is looked up in
// `search_path` (PATH: ':'-separated, an empty entry being the current folder)
// as the shell found it, the first executable regular file of that name. The
// file's real path (links resolved) must exist; its folder is the result.
std::optional<std::filesystem::path> program_directory_from_argv0(const std::string& argv0,
                                                                   const std::string& search_path,
                                                                   std::string* why = nullptr);
#endif

// Closes this process to others, before any key, passphrase or plaintext is
// read: no core or crash dump, and no other process of the same user reads
// its memory or opens the files it holds. Linux: PR_SET_DUMPABLE 0 (which
// also makes /proc/<pid>/fd, /proc/<pid>/mem and ptrace root's alone) and
// RLIMIT_CORE 0. Windows: the process object's access list lets the user and
// SYSTEM only ask after it, wait for it and end it (no memory reads, no
// handle copies, no threads put in), and the system's fault dialog, which
// offers a dump, is off. False, with a reason, where the system refuses.
bool close_process_to_others(std::string* why = nullptr);

// The command line as narrow text, the program's path first. POSIX: argv as
// it is. Windows: the command line is read wide (GetCommandLineW,
// CommandLineToArgvW) and each argument after the program's path converted to
// the system code page with no look-alike ("best fit") replacement; an
// argument the code page cannot hold exactly is refused with an "[ERR] " line
// that names it, and the result is false.
bool command_line_arguments(int argc, char** argv, std::vector<std::string>& args);

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
// through to_native_path (and to_system_path); names coming back from the system go through
// to_narrow_text for messages and comparisons. On Windows a name with a
// character that the code page lacks has no narrow form: false.
std::filesystem::path to_native_path(const std::string& text);
bool to_narrow_text(const std::filesystem::path& path, std::string& text);
// A path for a message: its narrow text, where a character has none there
// '?' in its place (Windows only; POSIX names are bytes and always convert).
std::string to_message_text(const std::filesystem::path& path);

// The form of a path handed to the system's file calls. POSIX: unchanged.
// Windows: made absolute against the current folder and normalised as Windows
// itself does for a plain path (GetFullPathNameW: '/' to '\', "." and ".."
// taken out, trailing dots and blanks dropped), then given the extended-length
// prefix, \\?\C:\... or \\?\UNC\server\share\..., so that no 260-character
// limit applies whatever the system's long-path setting. A path already in
// the \\?\ or \\.\ (device) form, and a device name such as NUL or CON, stays as
// typed. Where Windows cannot make the path absolute, it is returned as it
// was, and the call fails or works as it would have.
std::filesystem::path to_system_path(const std::filesystem::path& path);

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

// Whether the file system that holds `folder` keeps access lists, so that a
// folder or file for the user alone stays so. Windows: the volume's
// FILE_PERSISTENT_ACLS (FAT and exFAT have none). POSIX: true; the mode
// bits that stand in for them are read where they matter.
bool keeps_access_lists(const std::string& folder);

// n bytes from the operating system's generator (getrandom on Linux,
// BCryptGenRandom with the system-preferred generator on Windows). False,
// with a reason, when the system's generator fails.
bool system_random(std::uint8_t* out, std::size_t n, std::string* why = nullptr);

}  // namespace vellicor
