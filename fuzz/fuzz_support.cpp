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

void check_failed(const char* file, int line, const char* what) {
  char message[512];
  std::snprintf(message, sizeof message, "vellicor check failed at %s:%d: %s", file, line, what);
  __sanitizer_report_error_summary(message);
  __sanitizer_print_stack_trace();
  std::abort();
}

}  // namespace vellicor::fuzz
