// A run that opens the key pair while another run is naming it: the naming
// is held open through the system-call table, in-process, on both platforms.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "keystore/key_file.hpp"
#include "keystore/key_store.hpp"
#include "tests/support/syscall_override.hpp"
#include "tests/support/temp_dir.hpp"

namespace vellicor {
namespace {

using namespace std::chrono_literals;

TEST(KeyRace, ARunThatOpensThePairWhileItIsNamedWaitsAndGetsItWhole) {
  test::TempDir dir;
  test::CurrentFolder in_dir(dir.path());
  std::thread reader;
  std::atomic<bool> done{false}, opened{false}, done_in_window{true};
  // Inside the window in which kyber.prv takes its name, another run opens
  // the pair; the window stays open long enough for it to get there.
  auto hold_window = [&] {
    reader = std::thread([&] {
      KeyFiles keys;
      opened = open_key_files(keys);
      done = true;
    });
    std::this_thread::sleep_for(300ms);
    done_in_window = done.load();
  };
#ifdef _WIN32
  // Renamed while still marked for deletion; this call takes the mark off.
  test::Override<&native::Syscalls::SetFileInformationByHandle> naming(
      [&](HANDLE h, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
        const bool unmark = kind == FileDispositionInfo && !static_cast<FILE_DISPOSITION_INFO*>(info)->DeleteFile;
        std::wstring path(MAX_PATH, L'\0');
        path.resize(::GetFinalPathNameByHandleW(h, path.data(), MAX_PATH, 0));
        if (unmark && path.ends_with(L"kyber.prv") && !reader.joinable()) hold_window();
        return ::SetFileInformationByHandle(h, kind, info, size);
      });
#else
  test::Override<&native::Syscalls::linkat> naming([&](int from, const char* a, int to, const char* b, int flags) {
    if (std::strcmp(b, "kyber.prv") == 0 && !reader.joinable()) hold_window();
    return ::linkat(from, a, to, b, flags);
  });
#endif
  const test::Printed printed = test::capture([] { EXPECT_TRUE(ensure_kyber_keypair()); });
  ASSERT_TRUE(reader.joinable()) << "kyber.prv was never named\n" << printed.out << printed.err;
  reader.join();
  EXPECT_FALSE(done_in_window) << "the reader did not wait for the pair to be named";
  EXPECT_TRUE(opened) << printed.err;
}

}  // namespace
}  // namespace vellicor
