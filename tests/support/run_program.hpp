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

// Starts a program without waiting for it; its output is thrown away. The
// result is the child's process id.
int start_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                  const RunOptions& options = {});
// Waits for a started child: its exit status, or -signal when a signal ended it.
int wait_program(int pid);

// The built program copied into <dir>/prog/, as a user would install it, so
// its key folder lands beside that copy.
std::filesystem::path install_program_copy(const std::filesystem::path& dir);

}  // namespace vellicor::test
