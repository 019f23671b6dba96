#pragma once
// One row of the file layer's system-call table replaced for as long as the
// override lives, then put back: "the second fsync fails with EIO" is
//   int n = 0;
//   test::Override<&native::Syscalls::fsync> o([&](int fd) { return ++n == 2 ? (errno = EIO, -1) : ::fsync(fd); });
// The fake may capture; the row's own function stays in `original`.

#include <cerrno>
#include <functional>
#include <type_traits>

#include "util/file_io_syscalls.hpp"

namespace vellicor::test {

template <auto Row>
class Override {
  using Entry = std::remove_reference_t<decltype(native::syscalls().*Row)>;
  using Function = std::remove_pointer_t<decltype(Entry::current)>;

  template <typename F>
  struct Trampoline;
  template <typename R, typename... A>
  struct Trampoline<R(A...)> {
    static R call(A... a) { return fake(a...); }
  };

 public:
  explicit Override(std::function<Function> f) : was_(entry().current) {
    fake = std::move(f);
    entry().current = &Trampoline<Function>::call;
  }
  ~Override() {
    entry().current = was_;
    fake = nullptr;
  }
  Override(const Override&) = delete;
  Override& operator=(const Override&) = delete;

  // The system's own function of this row.
  static Function* original() { return entry().original; }

 private:
  static Entry& entry() { return native::syscalls().*Row; }
  static inline std::function<Function> fake;
  Function* was_;
};

#ifndef _WIN32
// While it lives, unnamed files are refused as a file system without them
// refuses them (vfat, NFS), or, `offered`, counted where they are made.
class UnnamedFiles {
 public:
  explicit UnnamedFiles(bool offered = false)
      : row_([this, offered](int dir, const char* path, int flags, mode_t mode) {
          if ((flags & O_TMPFILE) != O_TMPFILE) return ::openat(dir, path, flags, mode);
          if (!offered) return errno = EOPNOTSUPP, -1;
          const int fd = ::openat(dir, path, flags, mode);
          made_ += fd >= 0;
          return fd;
        }) {}
  int made() const { return made_; }

 private:
  int made_ = 0;
  Override<&native::Syscalls::openat> row_;
};
#endif

}  // namespace vellicor::test
