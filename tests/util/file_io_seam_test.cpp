// Faults at one system call of the file layer, each a row of the system-call
// table replaced for one case: what the layer answers and which files exist
// afterwards.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/syscall_override.hpp"
#include "tests/support/temp_dir.hpp"
#include "util/file_io.hpp"

namespace vellicor {
namespace {

using namespace test;
namespace fs = std::filesystem;
using native::Syscalls;

// "content" of a file, or "absent"; the hidden pending files count too.
std::string state_of(const fs::path& p) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(p.parent_path(), ec))
    if (is_pending_name(e.path())) return "stray " + e.path().filename().string();
  return fs::exists(p) ? read_text(p) : "absent";
}

// An output of "new" to `path`, committed; "committed", or the reason.
std::string commit_new(const fs::path& path) {
  AtomicFile f;
  std::error_code why;
  const bool ok = f.open(path.string(), {}, &why) && f.write(as_bytes("new"), &why) && f.commit(&why);
  return ok ? (!f.after_naming_warning() ? "committed" : "committed, warned: " + f.after_naming_warning().message())
            : why.message();
}

struct Case {
  const char* fault;
  std::function<std::string(const TempDir&)> run;  // what the layer answered, with the fault in place
  const char* answer;
  const char* target_after;  // "out" in the case's folder, or where its link leads
};

#ifndef _WIN32
bool is_folder(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}
#endif

TEST(Seam, AFaultAtOneCallLeavesTheTargetAsItWasOrWhole) {
  const Case cases[] = {
#ifndef _WIN32
      {"first fsync fails with EIO, out a dangling link",
       [](const TempDir& d) {
         Override<&Syscalls::fsync> eio([](int) { return errno = EIO, -1; });
         return commit_new(d / "out");
       },
       "Input/output error", "absent"},
      {"second fsync of an existing target fails: its folder is still flushed",
       [](const TempDir& d) {
         write_file(d / "out", "old");
         int files = 0;
         bool folder_flushed = false;
         Override<&Syscalls::fsync> eio([&](int fd) {
           if (is_folder(fd)) return folder_flushed = true, ::fsync(fd);
           return ++files == 2 ? (errno = EIO, -1) : ::fsync(fd);
         });
         const std::string answer = commit_new(d / "out");
         return answer + (folder_flushed ? ", folder flushed" : ", folder NOT flushed");
       },
       "committed, warned: Input/output error, folder flushed", "new"},
      {"target removed between its two opens",
       [](const TempDir& d) {
         write_file(d / "out", "old");
         Override<&Syscalls::open> vanish([&](const char* p, int flags, mode_t mode) {
           if ((flags & O_CREAT) != 0 && (flags & O_NONBLOCK) != 0) fs::remove(p);
           return ::open(p, flags, mode);
         });
         return commit_new(d / "out");
       },
       "Stale file handle", "absent"},
      {"another process makes a dangling link's target first; nothing committed",
       [](const TempDir& d) {
         Override<&Syscalls::open> first([&](const char* p, int flags, mode_t mode) {
           if ((flags & O_CREAT) != 0 && (flags & O_NONBLOCK) == 0) write_file(d / "real" / "later", "theirs");
           return ::open(p, flags, mode);
         });
         AtomicFile f;
         return f.open((d / "out").string()) && f.write(as_bytes("new")) ? std::string("opened") : "failed";
       },
       "opened", "theirs"},
      {"ENOSPC at the link",
       [](const TempDir& d) {
         Override<&Syscalls::linkat> full([](int, const char*, int, const char*, int) { return errno = ENOSPC, -1; });
         return commit_new(d / "out");
       },
       "No space left on device", "absent"},
      {"EINTR on a read",
       [](const TempDir& d) {
         write_file(d / "out", "abc");
         bool interrupted = false;
         Override<&Syscalls::read> eintr([&](int fd, void* p, size_t n) -> ssize_t {
           if (!interrupted) return interrupted = true, errno = EINTR, -1;
           return ::read(fd, p, n);
         });
         InputFile in;
         std::uint8_t got[3] = {};
         return in.open((d / "out").string()) && in.read_exact(got, 3) && interrupted ? std::string("read") : "failed";
       },
       "read", "abc"},
      {"standard output (\"-\") cannot be duplicated: nothing written anywhere",
       [](const TempDir&) {
         Override<&Syscalls::fcntl> full(
             [](int fd, int c, int a) { return c == F_DUPFD_CLOEXEC ? (errno = EMFILE, -1) : ::fcntl(fd, c, a); });
         return commit_new("-");
       },
       "Too many open files", "absent"},
#else
      {"the pending file cannot be marked for deletion; nothing committed",
       [](const TempDir& d) {
         Override<&Syscalls::SetFileInformationByHandle> refuse(
             [](HANDLE h, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
               if (kind == FileDispositionInfo && static_cast<FILE_DISPOSITION_INFO*>(info)->DeleteFile)
                 return ::SetLastError(ERROR_ACCESS_DENIED), FALSE;
               return ::SetFileInformationByHandle(h, kind, info, size);
             });
         AtomicFile f;
         std::error_code why;
         return f.open((d / "out").string(), {}, &why) ? std::string("opened") : why.message();
       },
       "Permission denied", "absent"},
      {"a folder opened by handle is a folder, not a regular file",
       [](const TempDir& d) {
         fs::create_directory(d / "out");
         InputOptions folder;
         folder.allow_folder = true;
         InputFile in;
         return !in.open((d / "out").string(), folder) ? std::string("failed") : in.size_known() ? "regular" : "folder";
       },
       "folder", ""},
      {"the second flush of an existing target fails",
       [](const TempDir& d) {
         write_file(d / "out", "old");
         int flushes = 0;
         Override<&Syscalls::FlushFileBuffers> eio([&](HANDLE h) {
           return ++flushes == 2 ? (::SetLastError(ERROR_IO_DEVICE), FALSE) : ::FlushFileBuffers(h);
         });
         return commit_new(d / "out").substr(0, 18);
       },
       "committed, warned:", "new"},
      {"standard output (\"-\") cannot be duplicated: nothing written anywhere",
       [](const TempDir&) {
         Override<&Syscalls::DuplicateHandle> refuse([](HANDLE, HANDLE, HANDLE, LPHANDLE, DWORD, BOOL, DWORD) {
           return ::SetLastError(ERROR_ACCESS_DENIED), FALSE;
         });
         return commit_new("-");
       },
       "Permission denied", "absent"},
#endif
  };
  for (const Case& c : cases) {
    TempDir dir;
    fs::path target = dir / "out";
#ifndef _WIN32
    if (std::string_view(c.fault).find("dangling") != std::string_view::npos) {
      fs::create_directory(dir / "real");
      fs::create_symlink("real/later", dir / "out");
      target = dir / "real" / "later";
    }
#endif
    EXPECT_EQ(c.run(dir), c.answer) << c.fault;
    if (*c.target_after != '\0') {
      EXPECT_EQ(state_of(target), c.target_after) << c.fault;
    }
  }
}

}  // namespace
}  // namespace vellicor
