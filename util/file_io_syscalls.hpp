#pragma once
// Every system call of the platform's file layer goes through one row of this
// table: its name, the function called now, and the system's own. A test
// swaps one row's function for a fault ("the second fsync fails with EIO")
// and puts it back (test::Override); the program never changes a row.

#ifdef _WIN32
#include <windows.h>

#include <aclapi.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>  // renameat2
#endif

namespace vellicor::native {

template <typename F>
struct Syscall {
  constexpr Syscall(const char* n, F* f) : name(n), current(f), original(f) {}
  const char* name;
  F* current;
  F* const original;
  template <typename... A>
  auto operator()(A... a) const {
    return current(a...);
  }
};

#ifdef _WIN32
#define VELLICOR_SYSCALL(name, from) Syscall<decltype(from)> name{#name, from}
namespace sys {
// The NT status behind the last error: a file being deleted and a file this
// user may not open both answer "access denied". 0 where ntdll has no such call.
LONG WINAPI RtlGetLastNtStatus();
}  // namespace sys
struct Syscalls {
  VELLICOR_SYSCALL(CreateFileW, ::CreateFileW);
  VELLICOR_SYSCALL(CloseHandle, ::CloseHandle);
  VELLICOR_SYSCALL(GetFileType, ::GetFileType);
  VELLICOR_SYSCALL(GetFileInformationByHandle, ::GetFileInformationByHandle);
  VELLICOR_SYSCALL(GetFileAttributesW, ::GetFileAttributesW);
  VELLICOR_SYSCALL(GetFinalPathNameByHandleW, ::GetFinalPathNameByHandleW);
  VELLICOR_SYSCALL(SetFileInformationByHandle, ::SetFileInformationByHandle);
  VELLICOR_SYSCALL(ReadFile, ::ReadFile);
  VELLICOR_SYSCALL(WriteFile, ::WriteFile);
  VELLICOR_SYSCALL(SetFilePointerEx, ::SetFilePointerEx);
  VELLICOR_SYSCALL(FlushFileBuffers, ::FlushFileBuffers);
  VELLICOR_SYSCALL(GetSecurityInfo, ::GetSecurityInfo);
  VELLICOR_SYSCALL(SetSecurityInfo, ::SetSecurityInfo);
  VELLICOR_SYSCALL(DuplicateHandle, ::DuplicateHandle);
  VELLICOR_SYSCALL(CreateDirectoryW, ::CreateDirectoryW);
  VELLICOR_SYSCALL(MoveFileExW, ::MoveFileExW);
  VELLICOR_SYSCALL(DeleteFileW, ::DeleteFileW);
  VELLICOR_SYSCALL(LockFileEx, ::LockFileEx);
  VELLICOR_SYSCALL(GetTempPathW, ::GetTempPathW);
  VELLICOR_SYSCALL(Sleep, ::Sleep);
  VELLICOR_SYSCALL(RtlGetLastNtStatus, sys::RtlGetLastNtStatus);
};
#undef VELLICOR_SYSCALL
#else
struct Syscalls {  // the variadic calls with the arguments the layer passes
  Syscall<int(const char*, int, mode_t)> open{"open", [](const char* p, int f, mode_t m) { return ::open(p, f, m); }};
  Syscall<int(int, const char*, int, mode_t)> openat{
      "openat", [](int d, const char* p, int f, mode_t m) { return ::openat(d, p, f, m); }};
  Syscall<int(int, int, int)> fcntl{"fcntl", [](int fd, int c, int a) { return ::fcntl(fd, c, a); }};
  Syscall<int(int)> close{"close", ::close};
  Syscall<int(int, struct stat*)> fstat{"fstat", ::fstat};
  Syscall<int(int, const char*, struct stat*, int)> fstatat{"fstatat", ::fstatat};
  Syscall<int(const char*, struct stat*)> stat{"stat", ::stat};
  Syscall<int(const char*, struct stat*)> lstat{"lstat", ::lstat};
  Syscall<ssize_t(int, void*, size_t)> read{"read", ::read};
  Syscall<ssize_t(int, void*, size_t, off_t)> pread{"pread", ::pread};
  Syscall<ssize_t(int, const void*, size_t)> write{"write", ::write};
  Syscall<ssize_t(int, const void*, size_t, off_t)> pwrite{"pwrite", ::pwrite};
  Syscall<ssize_t(int, loff_t*, int, loff_t*, size_t, unsigned)> copy_file_range{"copy_file_range", ::copy_file_range};
  Syscall<int(int, int, off_t, off_t)> fallocate{"fallocate", ::fallocate};
  Syscall<int(int)> fsync{"fsync", ::fsync};
  Syscall<ssize_t(const char*, char*, size_t)> readlink{"readlink", ::readlink};
  Syscall<int(int, const char*, int)> unlinkat{"unlinkat", ::unlinkat};
  Syscall<ssize_t(int, const char*, void*, size_t)> fgetxattr{"fgetxattr", ::fgetxattr};
  Syscall<int(int, const char*, const void*, size_t, int)> fsetxattr{"fsetxattr", ::fsetxattr};
  Syscall<int(int, const char*, int, const char*, int)> linkat{"linkat", ::linkat};
  Syscall<int(int, const char*, int, const char*)> renameat{"renameat", ::renameat};
  Syscall<int(int, const char*, int, const char*, unsigned)> renameat2{"renameat2", ::renameat2};
  Syscall<int(int, mode_t)> fchmod{"fchmod", ::fchmod};
  Syscall<int(int, uid_t, gid_t)> fchown{"fchown", ::fchown};
  Syscall<int(const char*, mode_t)> mkdir{"mkdir", ::mkdir};
  Syscall<int(int, int)> flock{"flock", ::flock};
};
#endif

// The one table of the process.
Syscalls& syscalls();

}  // namespace vellicor::native
