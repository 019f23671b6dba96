#pragma once
// Runs a program as a child process and collects what it printed.

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vellicor::test {

struct RunResult {
  std::string out;   // standard output
  std::string err;   // standard error
  int status = -1;   // exit status, or -1 when the child died by a signal
  int signal = 0;    // the signal that ended it, if any
  // The child's peak resident size in KiB (wait4's ru_maxrss): the largest
  // of every program its process id ran (a launcher that execs the program
  // becomes the program) and of the children it waited for.
  long peak_rss_kib = 0;
};

struct RunOptions {
  std::filesystem::path cwd;  // empty: the test's own
  // Environment of the child: exactly these variables (plus PATH and HOME
  // unless given), so the language variables are under the test's control.
  std::map<std::string, std::string> env;
  std::optional<unsigned long long> file_size_limit;  // RLIMIT_FSIZE; SIGXFSZ is ignored
  std::optional<unsigned> run_as_uid;                 // drop to this user first (needs root)
  std::string stdin_text;
};

RunResult run_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const RunOptions& options = {});

// Starts a program without waiting for it, its standard input empty. The
// result is the child's process id.
int start_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                  const RunOptions& options = {});
// Waits for a started child: its exit status, or -signal when a signal ended
// it; `output` gets what it printed, standard output and error together.
int wait_program(int pid, std::string* output = nullptr);
// Whether a started Windows program's end was Wine not getting it going: it
// printed nothing at all (the program prints before anything else) and no
// signal ended it. run_program makes such a start again; callers of
// start_program decide for themselves.
bool wine_started_nothing(int status, const std::string& output);

// The program under test is normally the one built here, or the Linux program
// VELLICOR_TEST_PROGRAM names (scripts/release.sh names the shipped one):
// linux_program() gives it. With VELLICOR_TEST_WINDOWS_PROGRAM naming a
// vellicor.exe, it is that exe instead, started through VELLICOR_TEST_LAUNCHER
// (by default scripts/wine-run.sh), as every program whose name ends in ".exe"
// is; windows_program() gives that path, or "" for the Linux program.
std::string linux_program();
std::string windows_program();
std::string windows_launcher();

// A path as the program under test names it: unchanged for the program built
// here; for the Windows program under Wine an absolute POSIX path is on drive
// Z: and every separator is '\'.
std::string as_program_sees(const std::filesystem::path& path);

// A listing of the program folder written for the program built here
// ("keys vellicor"), with the program's file name as installed
// ("keys vellicor.exe" for the Windows program).
std::string as_installed(const std::string& listing);

// Cases that only the POSIX program can meet are skipped for the Windows one,
// with the reason.
#define VELLICOR_POSIX_PROGRAM_ONLY(reason) \
  do {                                      \
    if (!::vellicor::test::windows_program().empty()) GTEST_SKIP() << "Windows program: " << reason; \
  } while (0)

// The built program copied into <dir>/prog/, as a user would install it, so
// its key folder lands beside that copy.
std::filesystem::path install_program_copy(const std::filesystem::path& dir);

}  // namespace vellicor::test
