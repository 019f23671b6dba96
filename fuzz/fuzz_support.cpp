#include "fuzz/fuzz_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

// Provided by the sanitizer runtime. Both write where sanitizer reports go,
// which libFuzzer keeps open when it closes the target's standard error
// (-close_fd_mask), so the message survives.
extern "C" void __sanitizer_print_stack_trace();
extern "C" void __sanitizer_report_error_summary(const char* summary);
extern "C" void __sanitizer_set_death_callback(void (*callback)());

namespace vellicor::fuzz {

namespace {

std::string make_scratch() {
  const char* base = std::getenv("VELLICOR_FUZZ_SCRATCH");
  std::string root = base != nullptr ? base : (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  std::string pattern = root + "/vellicor-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return pattern;
}

void remove_tree(const std::string& dir) {
  for (const std::string& name : list_dir(dir)) {
    std::string p = dir + "/" + name;
    struct stat st {};
    if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      ::chmod(p.c_str(), 0700);
      remove_tree(p);
    } else {
      ::unlink(p.c_str());
    }
  }
  ::rmdir(dir.c_str());
}

}  // namespace

const std::string& scratch_dir() {
  static const std::string dir = [] {
    std::string d = make_scratch();
    static const std::string for_exit = d;
    std::atexit([] { remove_tree(for_exit); });
    return d;
  }();
  return dir;
}

std::string fixture_dir() { return VELLICOR_FUZZ_DIR; }

bool write_bytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  while (size > 0) {
    ssize_t w = ::write(fd, data, size);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      break;
    }
    data += w;
    size -= static_cast<std::size_t>(w);
  }
  return ::close(fd) == 0 && ok;
}

bool read_bytes(const std::string& path, std::vector<std::uint8_t>& out) {
  out.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::uint8_t buf[65536];
  for (;;) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      ::close(fd);
      return false;
    }
    if (r == 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  ::close(fd);
  return true;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void remove_file(const std::string& path) { ::unlink(path.c_str()); }

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// Where standard error was before a capture took it, and the file that holds
// what was written since; a sanitizer report written inside a capture (where
// libFuzzer has not given the sanitizer a descriptor of its own) is copied
// back there as the process dies, so that it is never lost.
int g_saved_err = -1;
int g_captured_err = -1;

void show_captured_report() {
  if (g_saved_err < 0 || g_captured_err < 0) return;
  char block[4096];
  ssize_t got = 0;
  for (off_t at = 0; (got = ::pread(g_captured_err, block, sizeof block, at)) > 0; at += got)
    if (::write(g_saved_err, block, static_cast<std::size_t>(got)) != got) return;
}

// Points descriptor `fd` at a fresh scratch file until finish(); then reads
// back what was written there.
class Redirect {
 public:
  Redirect(int fd, const char* name) : fd_(fd), path_(scratch_dir() + "/" + name) {
    file_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    saved_ = ::dup(fd);
    if (file_ < 0 || saved_ < 0 || ::dup2(file_, fd) < 0) {
      std::perror("fuzz capture");
      std::abort();
    }
    if (fd == STDERR_FILENO) {
      g_saved_err = saved_;
      g_captured_err = file_;
      static const bool once = (__sanitizer_set_death_callback(show_captured_report), true);
      (void)once;
    }
  }
  ~Redirect() {
    if (saved_ >= 0) ::close(saved_);
    if (file_ >= 0) ::close(file_);
    ::unlink(path_.c_str());
  }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

  std::string finish() {
    ::dup2(saved_, fd_);
    if (fd_ == STDERR_FILENO) g_saved_err = g_captured_err = -1;
    std::vector<std::uint8_t> bytes;
    if (!read_bytes(path_, bytes)) std::abort();
    return std::string(bytes.begin(), bytes.end());
  }

 private:
  int fd_;
  std::string path_;
  int file_ = -1;
  int saved_ = -1;
};

}  // namespace

Printed capture(const std::function<void()>& run) {
  std::fflush(stdout);
  std::fflush(stderr);
  Redirect out(STDOUT_FILENO, "captured-out"), err(STDERR_FILENO, "captured-err");
  run();
  std::fflush(stdout);
  std::fflush(stderr);
  return {out.finish(), err.finish()};
}

void check_failed(const char* file, int line, const char* what) {
  char message[512];
  std::snprintf(message, sizeof message, "vellicor check failed at %s:%d: %s", file, line, what);
  __sanitizer_report_error_summary(message);
  __sanitizer_print_stack_trace();
  std::abort();
}

}  // namespace vellicor::fuzz
