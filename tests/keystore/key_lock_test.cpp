// The key folder's lock refused at one system call, in-process: a reader goes
// on unlocked only where this user may not take the lock (a folder of another
// owner's keys has no generating run of this user's); any other refusal, and
// every refusal to a run that makes the pair, ends the run with its line.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <string_view>

#include "keystore/key_file.hpp"
#include "keystore/key_store.hpp"
#include "tests/support/syscall_override.hpp"
#include "tests/support/temp_dir.hpp"

namespace vellicor {
namespace {

using native::Syscalls;

// A run that reads the pair: "read" or "refused", and how many key files it opened.
std::string read_keys() {
  KeyFiles keys;
  const bool ok = open_key_files(keys);
  const int opened = keys.public_key.is_same_file(public_key_path) + keys.private_key.is_same_file(private_key_path);
  return (ok ? "read, " : "refused, ") + std::to_string(opened) + " opened";
}

// A run that makes the pair: "made" or "refused", and what keys/ holds then.
std::string make_keys() {
  const bool made = ensure_kyber_keypair();
  return (made ? "made, keys/: " : "refused, keys/: ") + test::list_dir("keys");
}

#ifdef _WIN32
constexpr LONG kDeletePending = static_cast<LONG>(0xC0000056), kAccessDenied = static_cast<LONG>(0xC0000022);
constexpr int kEvery = 1 << 30;

// The first `refusals` opens of keys/.lock fail with `error`, `status` the NT
// status behind each; the waits between them are counted.
class LockFileRefused {
 public:
  LockFileRefused(int refusals, DWORD error, LONG status)
      : create_([=, this](LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD c, DWORD f, HANDLE t) {
          refusing_ = std::wstring_view(p).ends_with(L".lock") && opens_++ < refusals;
          if (refusing_) return ::SetLastError(error), INVALID_HANDLE_VALUE;
          return ::CreateFileW(p, a, s, sa, c, f, t);
        }),
        status_([=, this] { return refusing_ ? status : Status::original()(); }),
        sleep_([this](DWORD ms) { slept_ += ms, ::Sleep(ms); }) {}
  std::string tries() const { return " after " + std::to_string(opens_) + " opens, " + std::to_string(slept_) + " ms"; }

 private:
  using Status = test::Override<&Syscalls::RtlGetLastNtStatus>;
  int opens_ = 0;
  DWORD slept_ = 0;
  bool refusing_ = false;
  test::Override<&Syscalls::CreateFileW> create_;
  Status status_;
  test::Override<&Syscalls::Sleep> sleep_;
};

std::string lock_keys(const LockFileRefused& fault) {
  FolderLock lock;
  std::error_code ec;
  const std::string answer = lock.lock(key_directory, &ec, LockKind::shared) ? "locked" : ec.message();
  return answer + fault.tries();
}
#else
// The lock's own open of keys/ (the one open of it as a folder that these
// runs make before the lock) fails with `error`; or flock itself does.
test::Override<&Syscalls::open> lock_open_fails(int error) {
  return test::Override<&Syscalls::open>([error](const char* p, int flags, mode_t mode) {
    if ((flags & O_DIRECTORY) != 0 && std::string_view(p) == key_directory) return errno = error, -1;
    return ::open(p, flags, mode);
  });
}
test::Override<&Syscalls::flock> flock_fails(int error) {
  return test::Override<&Syscalls::flock>([error](int, int) { return errno = error, -1; });
}
#endif

struct Row {
  const char* fault;
  bool pair_first;                   // the pair is made before the fault is in place
  std::function<std::string()> run;  // with the fault in place: what the run did
  const char* answer;
  std::string err;
};

const std::string kCannotLock = "[ERR] cannot lock key directory 'keys/': ";

TEST(KeyLock, OnlyAReaderDeniedTheLockGoesOnWithoutIt) {
  const Row rows[] = {
#ifdef _WIN32
      {"lock file cannot be made (disk full): reading refused", true,
       [] { LockFileRefused f(kEvery, ERROR_DISK_FULL, 0); return read_keys(); },
       "refused, 0 opened", kCannotLock + "No space left on device\n"},
      {"lock file denied, not being deleted: read unlocked", true,
       [] { LockFileRefused f(kEvery, ERROR_ACCESS_DENIED, kAccessDenied); return read_keys(); },
       "read, 2 opened", ""},
      {"lock file cannot be made (disk full): making refused", false,
       [] { LockFileRefused f(kEvery, ERROR_DISK_FULL, 0); return make_keys(); },
       "refused, keys/: ", kCannotLock + "No space left on device\n"},
      {"lock file denied: making refused, never unlocked", false,
       [] { LockFileRefused f(kEvery, ERROR_ACCESS_DENIED, kAccessDenied); return make_keys(); },
       "refused, keys/: ", kCannotLock + "Permission denied\n"},
      {"lock file being deleted 3 times: waited for, 1 ms each", true,
       [] { LockFileRefused f(3, ERROR_ACCESS_DENIED, kDeletePending); return lock_keys(f); },
       "locked after 4 opens, 3 ms", ""},
      {"lock file denied with no NT status: refused at once", true,
       [] { LockFileRefused f(kEvery, ERROR_ACCESS_DENIED, 0); return lock_keys(f); },
       "Permission denied after 1 opens, 0 ms", ""},
#else
      {"flock fails (ENOLCK): reading refused", true,
       [] { auto f = flock_fails(ENOLCK); return read_keys(); },
       "refused, 0 opened", kCannotLock + "No locks available\n"},
      {"the lock's open fails (EMFILE): reading refused", true,
       [] { auto f = lock_open_fails(EMFILE); return read_keys(); },
       "refused, 0 opened", kCannotLock + "Too many open files\n"},
      {"the lock's open denied (EACCES): read unlocked", true,
       [] { auto f = lock_open_fails(EACCES); return read_keys(); },
       "read, 2 opened", ""},
      {"flock fails (ENOLCK): making refused", false,
       [] { auto f = flock_fails(ENOLCK); return make_keys(); },
       "refused, keys/: ", kCannotLock + "No locks available\n"},
      {"the lock's open denied (EACCES): making refused, never unlocked", false,
       [] { auto f = lock_open_fails(EACCES); return make_keys(); },
       "refused, keys/: ", kCannotLock + "Permission denied\n"},
#endif
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fault);
    test::TempDir dir;
    test::CurrentFolder in_dir(dir.path());
    if (row.pair_first) {
      ASSERT_TRUE(test::outcome_of(ensure_kyber_keypair).result);
    }
    const auto got = test::outcome_of(row.run);
    EXPECT_EQ(got.result, row.answer);
    EXPECT_EQ(got.err, row.err);
  }
}

}  // namespace
}  // namespace vellicor
