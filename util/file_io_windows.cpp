// The file layer on Windows, over Win32 handles. New content is written to a
// temporary file beside the target (Windows has no unnamed files; this one is
// marked for deletion until it is complete, so a killed run leaves nothing), flushed
// with FlushFileBuffers and moved over the target in one step with
// MoveFileExW(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH). A target
// that another program holds open cannot be replaced: the move fails, the
// temporary file is removed and the target keeps its bytes. The folder lock is
// a LockFileEx lock on a file in that folder that removes itself.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "util/file_io.hpp"
#include "util/file_io_failure.hpp"
#include "util/platform.hpp"
#include "util/windows_error.hpp"

namespace vellicor {

namespace {

using file_io_failure::fail;
using file_io_failure::fail_text;

// The common failures read as they do on POSIX ("No such file or
// directory"); the rest in the system's own words.
bool fail_code(std::string* why, DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_DIRECTORY:
      return fail(why, ENOENT);
    case ERROR_ACCESS_DENIED:
      return fail(why, EACCES);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return fail(why, ENOSPC);
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return fail(why, EEXIST);
    default:
      return fail_text(why, windows_error_text(code));
  }
}

bool fail_last(std::string* why) { return fail_code(why, ::GetLastError()); }

HANDLE as_handle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
std::intptr_t as_int(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }

void close_handle(std::intptr_t& handle) noexcept {
  if (handle != -1) ::CloseHandle(as_handle(handle));
  handle = -1;
}

// One ReadFile or WriteFile call moves at most this much.
constexpr std::size_t kMaxIo = std::size_t{1} << 30;

OVERLAPPED at_offset(std::uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset & 0xffffffffu);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

bool write_all(HANDLE h, const std::uint8_t* p, std::size_t n, std::string* why) {
  while (n > 0) {
    DWORD w = 0;
    if (!::WriteFile(h, p, static_cast<DWORD>(std::min(n, kMaxIo)), &w, nullptr)) return fail_last(why);
    if (w == 0) return fail(why, ENOSPC);
    p += w;
    n -= w;
  }
  return true;
}

// Positioned I/O moves a synchronous handle's file pointer too; it is put
// back, so that reads and writes in order carry on where they were.
class KeepFilePointer {
 public:
  explicit KeepFilePointer(HANDLE h) : h_(h) { ok_ = ::SetFilePointerEx(h_, LARGE_INTEGER{}, &saved_, FILE_CURRENT); }
  ~KeepFilePointer() {
    if (ok_) ::SetFilePointerEx(h_, saved_, nullptr, FILE_BEGIN);
  }
  KeepFilePointer(const KeepFilePointer&) = delete;
  KeepFilePointer& operator=(const KeepFilePointer&) = delete;

 private:
  HANDLE h_;
  LARGE_INTEGER saved_{};
  BOOL ok_ = FALSE;
};

bool read_exact_at(HANDLE h, std::uint8_t* dst, std::size_t n, std::uint64_t offset, std::string* why) {
  KeepFilePointer keep(h);
  while (n > 0) {
    OVERLAPPED o = at_offset(offset);
    DWORD r = 0;
    if (!::ReadFile(h, dst, static_cast<DWORD>(std::min(n, kMaxIo)), &r, &o)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) return fail_text(why, "file ended early (short read)");
      return fail_last(why);
    }
    if (r == 0) return fail_text(why, "file ended early (short read)");
    dst += r;
    n -= r;
    offset += r;
  }
  return true;
}

bool write_all_at(HANDLE h, const std::uint8_t* p, std::size_t n, std::uint64_t offset, std::string* why) {
  KeepFilePointer keep(h);
  while (n > 0) {
    OVERLAPPED o = at_offset(offset);
    DWORD w = 0;
    if (!::WriteFile(h, p, static_cast<DWORD>(std::min(n, kMaxIo)), &w, &o)) return fail_last(why);
    if (w == 0) return fail(why, ENOSPC);
    p += w;
    n -= w;
    offset += w;
  }
  return true;
}

std::wstring native(const std::string& path) { return to_native_path(path).native(); }

// Everything up to and including the last separator ("" for a bare name; a
// bare drive keeps its colon), and the rest.
std::wstring directory_part(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L"\\/:");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

std::wstring base_name_part(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L"\\/:");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// A fresh, unguessable name beside `base` in `dir`, opened so that no other
// program can read or write it while it is being written.
HANDLE create_temporary(const std::wstring& dir, const std::wstring& base, DWORD flags, std::wstring& path,
                        std::string* why) {
  static const wchar_t kDigits[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::uint8_t noise[6];
    if (!system_random(noise, sizeof noise, why)) return INVALID_HANDLE_VALUE;
    std::wstring name = dir + L"." + base + L".tmp-";
    for (std::uint8_t b : noise) name.push_back(kDigits[b % 36]);
    // Shared for deletion only, which is what lets it be moved over the
    // target while this handle is still open.
    HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_HIDDEN | flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      path = name;
      return h;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) {
      fail_last(why);
      return INVALID_HANDLE_VALUE;
    }
  }
  fail(why, EEXIST);
  return INVALID_HANDLE_VALUE;
}

bool set_delete_on_close(HANDLE h, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  return ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// A target that is no file on disk (NUL, CON, a named pipe) is written in
// place; its content is put together first in a scratch file that removes
// itself when closed.
std::wstring scratch_folder() {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD n = ::GetTempPathW(MAX_PATH + 2, buffer);
  return (n > 0 && n <= MAX_PATH + 1) ? std::wstring(buffer, n) : std::wstring();
}

}  // namespace

// Windows offers no unnamed files; there is nothing to switch off.
void set_unnamed_files_allowed(bool allowed) { (void)allowed; }

InputFile::~InputFile() { close_handle(fd_); }

bool InputFile::open(const std::string& path, std::string* why) {
  close_handle(fd_);
  in_memory_ = false;
  ByteBuffer().swap(slurped_);
  const std::wstring name = native(path);
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return fail(why, EISDIR);
  HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_last(why);
  fd_ = as_int(h);
  size_known_ = ::GetFileType(h) == FILE_TYPE_DISK;
  size_ = 0;
  if (size_known_) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h, &size)) return fail_last(why);
    size_ = static_cast<std::uint64_t>(size.QuadPart);
  }
  return true;
}

bool InputFile::read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::string* why) const {
  if (in_memory_) return MemorySource(slurped_).read_at(offset, dst, n, why);
  return read_exact_at(as_handle(fd_), dst, n, offset, why);
}

bool InputFile::read_some(std::uint8_t* dst, std::size_t n, std::size_t& got, std::string* why) {
  DWORD r = 0;
  if (!::ReadFile(as_handle(fd_), dst, static_cast<DWORD>(std::min(n, kMaxIo)), &r, nullptr)) {
    // A pipe whose writer has gone is at its end, as on POSIX.
    if (::GetLastError() != ERROR_BROKEN_PIPE) return fail_last(why);
    r = 0;
  }
  got = r;
  return true;
}

bool InputFile::unchanged_at_end(std::string* why) {
  if (!size_known_) return true;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(as_handle(fd_), &size)) return fail_last(why);
  std::uint8_t probe = 0;
  std::size_t got = 0;
  if (!read_some(&probe, 1, got, why)) return false;
  if (got != 0 || static_cast<std::uint64_t>(size.QuadPart) != size_) return fail_text(why, "file changed size");
  return true;
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() noexcept {
  close_handle(fd_);
  close_handle(target_fd_);
  if (!temp_path_.empty()) ::DeleteFileW(native(temp_path_).c_str());
  temp_path_.clear();
}

bool AtomicFile::open_temp(const std::string& dir, const std::string& base, unsigned mode, std::string* why) {
  (void)mode;  // no POSIX modes: the file takes its folder's access control list
  if (kind_ == TempFile::unnamed_only) {
    unnamed_refused_ = true;
    return fail_text(why, "this system has no unnamed files");
  }
  std::wstring path;
  HANDLE h = create_temporary(native(dir), native(base), FILE_ATTRIBUTE_NORMAL, path, why);
  if (h == INVALID_HANDLE_VALUE) return false;
  fd_ = as_int(h);
  // Windows has no unnamed files, but a file marked for deletion goes away
  // when its last handle closes, also when the process is killed. The mark is
  // taken off just before the file takes the target's name. (Where the file
  // system refuses the mark, a killed run may leave the file behind.)
  set_delete_on_close(h, true);
  if (!to_narrow_text(std::filesystem::path(path), temp_path_)) {
    // Not expected: the name is the target's, which came as narrow text.
    close_handle(fd_);
    ::DeleteFileW(path.c_str());
    return fail_text(why, "the temporary file's name does not convert to the system code page");
  }
  return true;
}

bool AtomicFile::open(const std::string& path, unsigned create_mode, std::string* why) {
  (void)create_mode;
  discard();
  failed_ = false;
  unnamed_ = false;
  unnamed_refused_ = false;
  written_ = 0;
  final_path_.clear();
  if (path.empty()) return fail(why, ENOENT);
  const std::wstring target = native(path);

  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return fail(why, EISDIR);
  // Only a device or a pipe opens here as something other than a disk file.
  HANDLE existing = ::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (existing != INVALID_HANDLE_VALUE && ::GetFileType(existing) != FILE_TYPE_DISK) {
    target_fd_ = as_int(existing);
    if (kind_ == TempFile::unnamed_only) {
      unnamed_refused_ = true;
      close_handle(target_fd_);
      return fail_text(why, "this system has no unnamed files");
    }
    std::wstring scratch;
    HANDLE h = create_temporary(scratch_folder(), L"vellicor-scratch", FILE_FLAG_DELETE_ON_CLOSE, scratch, why);
    if (h == INVALID_HANDLE_VALUE) {
      close_handle(target_fd_);
      return false;
    }
    fd_ = as_int(h);
    return true;
  }
  if (existing != INVALID_HANDLE_VALUE) ::CloseHandle(existing);

  final_path_ = path;
  const std::wstring dir = directory_part(target);
  std::string narrow_dir, narrow_base;
  if (!to_narrow_text(std::filesystem::path(dir), narrow_dir) ||
      !to_narrow_text(std::filesystem::path(base_name_part(target)), narrow_base))
    return fail_text(why, "the file name does not convert to the system code page");
  return open_temp(narrow_dir, narrow_base, 0, why);
}

bool AtomicFile::write(ByteView data, std::string* why) {
  if (fd_ == -1 || failed_) return fail_text(why, "file is not open for writing");
  if (!write_all(as_handle(fd_), data.data(), data.size(), why)) {
    failed_ = true;
    return false;
  }
  written_ += data.size();
  return true;
}

bool AtomicFile::write_at(std::uint64_t offset, ByteView data, std::string* why) {
  if (fd_ == -1 || failed_) return fail_text(why, "file is not open for writing");
  if (offset > written_ || data.size() > written_ - offset) return fail_text(why, "write past the bytes written");
  if (!write_all_at(as_handle(fd_), data.data(), data.size(), offset, why)) {
    failed_ = true;
    return false;
  }
  return true;
}

bool AtomicFile::copy_from(const PositionedSource& source, std::uint64_t offset, std::uint64_t length,
                           std::string* why) {
  if (fd_ == -1 || failed_) return fail_text(why, "file is not open for writing");
  if (offset > source.size() || length > source.size() - offset) return fail_text(why, "file ended early (short read)");
  ByteBuffer block;
  while (length > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, write_block_length));
    block.resize(n);
    if (!source.read_at(offset, block.data(), n, why) || !write(block, why)) {
      failed_ = true;
      return false;
    }
    offset += n;
    length -= n;
  }
  return true;
}

void AtomicFile::expect(std::uint64_t length) noexcept {
  if (fd_ == -1 || target_fd_ != -1) return;
  // Only advice: the size stays as written; where the file system refuses,
  // space is found block by block as usual.
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(length);
  (void)::SetFileInformationByHandle(as_handle(fd_), FileAllocationInfo, &allocation, sizeof allocation);
}

bool AtomicFile::deliver_in_place(std::string* why) {
  ByteBuffer block(write_block_length);
  for (std::uint64_t at = 0; at < written_;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(written_ - at, block.size()));
    if (!read_exact_at(as_handle(fd_), block.data(), n, at, why) ||
        !write_all(as_handle(target_fd_), block.data(), n, why))
      return false;
    at += n;
  }
  // A device or a pipe may not flush (NUL answers "access denied", a console
  // "invalid handle"); that is no failure of the write.
  if (!::FlushFileBuffers(as_handle(target_fd_))) {
    const DWORD e = ::GetLastError();
    if (e != ERROR_INVALID_HANDLE && e != ERROR_INVALID_FUNCTION && e != ERROR_NOT_SUPPORTED &&
        e != ERROR_ACCESS_DENIED)
      return fail_code(why, e);
  }
  return true;
}

bool AtomicFile::name_it(std::string* why) {
  const std::wstring temp = native(temp_path_), target = native(final_path_);
  constexpr DWORD kReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (::MoveFileExW(temp.c_str(), target.c_str(), kReplace)) {
    temp_path_.clear();
    return true;
  }
  const DWORD refused = ::GetLastError();
  if (refused != ERROR_ACCESS_DENIED && refused != ERROR_SHARING_VIOLATION) return fail_code(why, refused);
  // Windows does not replace a file that is open, even by a reader that lets
  // it be deleted, as this program's own reader of the carrier does when the
  // carrier is also the output. Such a file can still be renamed: it is moved
  // aside under a hidden name, the new file takes its name, and the old one
  // is deleted (it goes once its last reader closes it). A file another
  // program holds open without that permission cannot be moved aside either,
  // and the first refusal is the answer.
  std::wstring aside;
  for (int attempt = 0; attempt < 100 && aside.empty(); ++attempt) {
    std::uint8_t noise[6];
    if (!system_random(noise, sizeof noise, why)) return false;
    std::wstring name = directory_part(target) + L"." + base_name_part(target) + L".old-";
    for (std::uint8_t b : noise) name.push_back(L"0123456789abcdef"[b & 15]);
    if (::GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES) aside = name;
  }
  if (aside.empty() || !::MoveFileExW(target.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH))
    return fail_code(why, refused);
  if (!::MoveFileExW(temp.c_str(), target.c_str(), kReplace)) {
    const DWORD e = ::GetLastError();
    ::MoveFileExW(aside.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);  // the old file back
    return fail_code(why, e);
  }
  temp_path_.clear();
  ::DeleteFileW(aside.c_str());
  return true;
}

bool AtomicFile::commit(std::string* why) {
  if (fd_ == -1 || failed_) {
    discard();
    return fail_text(why, "file is not open for writing");
  }
  bool ok = true;
  if (target_fd_ != -1) {
    ok = deliver_in_place(why);
    close_handle(target_fd_);
    discard();
    return ok;
  }
  // Flushed before it takes the name; the hidden mark of a temporary file is
  // taken off, so the target is an ordinary file. The file is moved while
  // still open, right after its deletion mark is taken off: a run killed
  // before that leaves nothing, one killed after it a complete target.
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!::FlushFileBuffers(as_handle(fd_))) ok = fail_last(why);
  if (ok && !::SetFileInformationByHandle(as_handle(fd_), FileBasicInfo, &basic, sizeof basic)) ok = fail_last(why);
  if (ok && !set_delete_on_close(as_handle(fd_), false)) ok = fail_last(why);
  if (ok) ok = name_it(why);
  discard();
  return ok;
}

FolderLock::~FolderLock() { close_handle(fd_); }

// A folder cannot be locked itself: the lock is taken with LockFileEx on the
// file ".lock" in it. That file removes itself when the last process that
// has it open closes it, so nothing is left in the folder. While it is being
// removed its name cannot be opened (access denied); the next process tries
// again until the name is free, for a while, since the same answer may also
// mean that the folder is not writable.
bool FolderLock::lock(const std::string& folder, std::string* why) {
  close_handle(fd_);
  std::wstring name = native(folder);
  if (!name.empty() && name.back() != L'\\' && name.back() != L'/') name.push_back(L'\\');
  name += L".lock";
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0;; ++attempt) {
    h = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) break;
    const DWORD e = ::GetLastError();
    if (e != ERROR_ACCESS_DENIED || attempt >= 1000) return fail_code(why, e);
    ::Sleep(10);
  }
  OVERLAPPED whole{};
  if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    const DWORD e = ::GetLastError();
    ::CloseHandle(h);
    return fail_code(why, e);
  }
  fd_ = as_int(h);
  return true;
}

}  // namespace vellicor
