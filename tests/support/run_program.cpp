#include "tests/support/run_program.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <gtest/gtest.h>

namespace vellicor::test {

namespace {

// Reads both pipes together so that neither can fill up and stall the child.
void drain_both(int out_fd, int err_fd, std::string& out, std::string& err) {
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open_count = 2;
  char buf[65536];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i].fd = -1;
        --open_count;
      } else {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      }
    }
  }
}

[[noreturn]] void exec_child(const std::filesystem::path& program, const std::vector<std::string>& args,
                             const RunOptions& o) {
  if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) _exit(126);
  if (o.file_size_limit) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl {static_cast<rlim_t>(*o.file_size_limit), static_cast<rlim_t>(*o.file_size_limit)};
    ::setrlimit(RLIMIT_FSIZE, &rl);
  }
  if (o.run_as_uid && (::setgid(*o.run_as_uid) != 0 || ::setuid(*o.run_as_uid) != 0)) _exit(125);
  std::vector<std::string> env_strings;
  auto env = o.env;
  if (!env.count("PATH")) env["PATH"] = "/usr/bin:/bin";
  if (!env.count("HOME")) env["HOME"] = "/tmp";
  // A sanitizer build's children report where the test run asks them to.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* value = ::getenv(name); value != nullptr && !env.count(name)) env[name] = value;
  // A Windows program runs under its launcher, which needs its own settings.
  std::vector<std::string> copies;
  if (program.extension() == ".exe") {
    copies.push_back(windows_launcher());
    for (const char* name : {"VELLICOR_WINEPREFIX", "VELLICOR_CACHE", "VELLICOR_WINE", "WINEPREFIX", "WINEDEBUG"})
      if (const char* value = ::getenv(name); value != nullptr && !env.count(name)) env[name] = value;
  }
  for (auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp, argv;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  copies.push_back(program.string());
  copies.insert(copies.end(), args.begin(), args.end());
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execve(copies.front().c_str(), argv.data(), envp.data());
  _exit(127);
}

}  // namespace

namespace {

RunResult run_once(const std::filesystem::path& program, const std::vector<std::string>& args,
                   const RunOptions& options) {
  RunResult r;
  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0 || ::pipe(in_pipe) != 0) {
    ADD_FAILURE() << "pipe failed";
    return r;
  }
  // A child that stops before it read all of its input closes the pipe: the
  // write below then fails instead of ending the test program. The child
  // starts with the signal as it comes by default.
  ::signal(SIGPIPE, SIG_IGN);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], in_pipe[0], in_pipe[1]}) ::close(fd);
    exec_child(program, args, options);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ::close(in_pipe[0]);
  if (!options.stdin_text.empty())
    (void)!::write(in_pipe[1], options.stdin_text.data(), options.stdin_text.size());
  ::close(in_pipe[1]);
  drain_both(out_pipe[0], err_pipe[0], r.out, r.err);
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  int wstatus = 0;
  struct rusage usage {};
  while (::wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
  }
  r.peak_rss_kib = usage.ru_maxrss;
  if (WIFEXITED(wstatus)) {
    r.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    r.signal = WTERMSIG(wstatus);
  }
  return r;
}

}  // namespace

RunResult run_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  // The program prints something on every run, before it does anything else
  // (the banner, or the line that says why it cannot start). Under Wine a
  // start now and then prints nothing at all (once in about 800 starts of a
  // CI run here): Wine did not get the program going. Such a start is tried again, at most twice; a native
  // program is never retried.
  const bool under_wine = program.extension() == ".exe";
  RunResult r = run_once(program, args, options);
  for (int retry = 0; under_wine && retry < 2 && r.out.empty() && r.err.empty(); ++retry)
    r = run_once(program, args, options);
  return r;
}

namespace {
// The read end of each started child's output, by process id.
std::map<int, int>& started_output() {
  static std::map<int, int> pipes;
  return pipes;
}
}  // namespace

int start_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                  const RunOptions& options) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return -1;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    const int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, 0);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    if (null_fd > 2) ::close(null_fd);
    exec_child(program, args, options);
  }
  ::close(out[1]);
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    ::close(out[0]);
  } else {
    started_output()[pid] = out[0];
  }
  return pid;
}

int wait_program(int pid, std::string* output) {
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) return -1000;
  }
  // What the child wrote is in the pipe now (a pipe holds far more than a
  // run prints). It is read without waiting for the end: under Wine a
  // background process may hold the pipe open.
  if (auto it = started_output().find(pid); it != started_output().end()) {
    ::fcntl(it->second, F_SETFL, O_NONBLOCK);
    char buf[4096];
    for (ssize_t n; (n = ::read(it->second, buf, sizeof buf)) > 0;)
      if (output != nullptr) output->append(buf, static_cast<std::size_t>(n));
    ::close(it->second);
    started_output().erase(it);
  }
  if (WIFSIGNALED(wstatus)) return -WTERMSIG(wstatus);
  return WEXITSTATUS(wstatus);
}

bool wine_started_nothing(int status, const std::string& output) {
  return !windows_program().empty() && output.empty() && status >= 0;
}

std::string linux_program() {
  const char* program = ::getenv("VELLICOR_TEST_PROGRAM");
  return program != nullptr && *program != '\0' ? program : VELLICOR_PROGRAM;
}

std::string windows_program() {
  const char* exe = ::getenv("VELLICOR_TEST_WINDOWS_PROGRAM");
  return exe != nullptr ? exe : "";
}

std::string windows_launcher() {
  const char* launcher = ::getenv("VELLICOR_TEST_LAUNCHER");
  return launcher != nullptr && *launcher != '\0' ? launcher : VELLICOR_SOURCE_DIR "/scripts/wine-run.sh";
}

std::string as_program_sees(const std::filesystem::path& path) {
  std::string text = path.string();
  if (windows_program().empty()) return text;
  // Wine shows the POSIX root as drive Z:.
  for (char& c : text)
    if (c == '/') c = '\\';
  return path.is_absolute() ? "Z:" + text : text;
}

std::string as_installed(const std::string& listing) {
  if (windows_program().empty()) return listing;
  // Names are separated by single spaces; only the whole word is the program.
  std::string out;
  std::size_t start = 0;
  while (start <= listing.size()) {
    std::size_t end = listing.find(' ', start);
    if (end == std::string::npos) end = listing.size();
    const std::string word = listing.substr(start, end - start);
    out += (out.empty() ? "" : " ") + (word == "vellicor" ? std::string("vellicor.exe") : word);
    start = end + 1;
  }
  return out;
}

std::filesystem::path install_program_copy(const std::filesystem::path& dir) {
  std::filesystem::path prog_dir = dir / "prog";
  std::filesystem::create_directories(prog_dir);
  const std::string windows = windows_program();
  std::filesystem::path copy = prog_dir / (windows.empty() ? "vellicor" : "vellicor.exe");
  std::filesystem::copy_file(windows.empty() ? linux_program() : windows, copy,
                             std::filesystem::copy_options::overwrite_existing);
  return copy;
}

}  // namespace vellicor::test
