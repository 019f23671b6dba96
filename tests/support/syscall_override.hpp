#pragma once
// One row of the file layer's system-call table replaced for as long as the
// override lives, then put back: "the second fsync fails with EIO" is
//   int n = 0;
//   test::Override<&native::Syscalls::fsync> o([&](int fd) { return ++n == 2 ? (errno = EIO, -1) : ::fsync(fd); });
// The fake may capture; the row's own function stays in `original`.

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

}  // namespace vellicor::test
