#pragma once
// The two console streams. Standard output is flushed before anything goes to
// standard error, and standard error is unbuffered, so a console shows the
// lines of both in the order they were written.

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace vellicor {

// The console set up for one run: console_init, and on Windows, where
// standard output is a console, that console's output code page set to the
// process code page, the one the program's bytes are written in (the lines
// themselves reach a console as UTF-16, see console_text). The old code page is
// put back when the object goes, after standard output is flushed, and also
// when Ctrl+C or a closed window ends the run. A file or a pipe as standard
// output changes nothing; the bytes are the same either way.
class ConsoleRun {
 public:
  ConsoleRun();
  ~ConsoleRun();
  ConsoleRun(const ConsoleRun&) = delete;
  ConsoleRun& operator=(const ConsoleRun&) = delete;

 private:
  unsigned restore_ = 0;  // the code page to put back; 0 for none
};

#if defined(_WIN32)
// What a console shows for a piece of a line written in the process code
// page `code_page`: where that is UTF-8, a piece that is no valid UTF-8 (the
// banner's 0x97) is read in code page 1252.
std::wstring console_text(std::string_view text, unsigned code_page);
// ConsoleRun's decision for one handle: where it is a console whose output
// code page is not `code_page`, that page is set and the one it had is
// returned; 0 where nothing changes (a file, a pipe, a device, a console
// already on that page, or one that refuses it).
unsigned set_console_code_page(void* handle, unsigned code_page);
#endif

// Call once at start: makes standard error unbuffered, and on Windows puts
// the three streams in binary mode so that every byte (0x97, "\n") reaches a
// file or pipe as written, with no "\r" added.
void console_init();
// Whether a standard stream is a terminal (on Windows a console).
enum class Stream { output, error };
bool is_terminal(Stream stream);

void out(std::string_view text);
void err(std::string_view text);
// For a run whose output file is the process's own standard output: from
// now on every line meant for standard output goes to standard error, so
// that standard output carries the file's bytes alone.
void send_lines_to_error();
// Sends what standard output holds on its way now, for when the output file
// may be that same stream (/dev/stdout) and must come after the lines.
void flush_out();

// One line on standard error for long work, where standard error is a
// terminal (on Windows a console): once the work has run for a second, the
// bytes done, the total where it is known, and the rate, rewritten in place
// at most four times a second. Any line written meanwhile, and the object's
// end, clears it first, so the closing lines stand alone. Elsewhere nothing is
// written, and each add() is one comparison.
class Progress {
 public:
  explicit Progress(std::uint64_t total, bool total_known);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void add(std::uint64_t bytes);

 private:
  bool shown_ = false;  // standard error is a terminal
  std::uint64_t done_ = 0, total_ = 0;
  bool total_known_ = false;
  std::int64_t start_ = 0, next_ = 0;  // steady clock, in milliseconds
};

// Several pieces written as one message (prefix, path, suffix).
void out(std::initializer_list<std::string_view> pieces);
void err(std::initializer_list<std::string_view> pieces);
// err(pieces), then false: a refusal in one statement.
bool refuse(std::initializer_list<std::string_view> pieces);

// A path or name as every printed line shows it: the control bytes 0x00-0x1F
// and 0x7F as "\x1b" (two lower-case hex digits), so that a name planted in a
// folder cannot move the cursor, wipe a line or reset the terminal; every
// other byte, UTF-8 included, as it is.
std::string printable(std::string_view name);

// An output that took its name but whose folder could not be flushed holds
// the new bytes; that is said on standard error, and is no failure. Nothing
// is written when there is no `reason`.
void warn_if_unflushed(std::string_view path, const std::error_code& reason);

}  // namespace vellicor
