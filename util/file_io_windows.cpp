// The file layer's system calls on Windows, over Win32 handles. Nothing here
// decides anything: see file_io.cpp for the logic.
//
// Windows has no unnamed files. A temporary file beside the target is opened
// with no sharing at all, so no other process can open it, and is marked for
// deletion at once, so that a killed run leaves nothing; the mark is taken
// off just before it is renamed over the target through its own handle.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cerrno>
#include <string>
#include <vector>

#include "util/file_io_native.hpp"
#include "util/owner_only_windows.hpp"
#include "util/windows_error.hpp"

namespace vellicor::native {

namespace {

// Codes the layer compares against read as the generic ones; the rest keep
// the system's own words.
class WindowsCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "windows"; }
  std::string message(int code) const override { return windows_error_text(static_cast<unsigned long>(code)); }
};

bool fail(std::error_code& ec, DWORD code = ::GetLastError()) {
  static const WindowsCategory category;
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_DIRECTORY:
      ec = std::make_error_code(std::errc::no_such_file_or_directory);
      break;
    case ERROR_ACCESS_DENIED:
      ec = std::make_error_code(std::errc::permission_denied);
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      ec = std::make_error_code(std::errc::no_space_on_device);
      break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      ec = std::make_error_code(std::errc::file_exists);
      break;
    default:
      ec.assign(static_cast<int>(code), category);
  }
  return false;
}
bool fail(std::error_code& ec, std::errc e) {
  ec = std::make_error_code(e);
  return false;
}

HANDLE as_handle(Handle h) { return reinterpret_cast<HANDLE>(h); }

bool take(HANDLE h, Handle& out, std::error_code& ec) {
  if (h == INVALID_HANDLE_VALUE) return fail(ec);
  out = reinterpret_cast<Handle>(h);
  return true;
}

DWORD part(std::size_t n) { return static_cast<DWORD>(n < (1u << 30) ? n : (1u << 30)); }

OVERLAPPED at_offset(std::uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset & 0xffffffffu);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

bool names_folder(const Path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool mark_for_deletion(HANDLE h, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  return ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Renames the file open at `h` (opened with DELETE access) to `to`.
bool rename_handle(HANDLE h, const Path& to, bool replace) {
  const std::wstring& name = to.native();
  std::string buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t), '\0');
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  name.copy(info->FileName, name.size());
  return ::SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != 0;
}

}  // namespace

void close(Handle& h) noexcept {
  if (h != no_handle) ::CloseHandle(as_handle(h));
  h = no_handle;
}

void close(Folder& folder) noexcept { folder.handle = no_handle; }

bool status(Handle h, Status& out, std::error_code& ec) {
  out = {};
  out.kind = ::GetFileType(as_handle(h)) == FILE_TYPE_DISK ? Kind::regular : Kind::other;
  if (out.kind == Kind::regular) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(as_handle(h), &size)) return fail(ec);
    out.size = static_cast<std::uint64_t>(size.QuadPart);
  }
  return true;
}

bool open_read(const Path& path, Handle& h, std::error_code& ec, const InputOptions& options) {
  if (!options.allow_folder && names_folder(path)) return fail(ec, std::errc::is_a_directory);
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (options.allow_folder ? FILE_FLAG_BACKUP_SEMANTICS : 0) |
                      (options.follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  if (!take(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, flags, nullptr),
            h, ec))
    return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (options.follow_links || !::GetFileInformationByHandle(as_handle(h), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    return true;
  close(h);
  return fail(ec, std::errc::too_many_symbolic_link_levels);  // a link, as O_NOFOLLOW reports it
}

// The owner is compared with the process's user and with the accounts that
// stand for root (Administrators, SYSTEM); Windows has no mode bits.
bool owner_status(Handle h, OwnerStatus& out, std::error_code& ec) {
  out = {};
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(as_handle(h), &info)) return fail(ec);
  const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out.kind = folder ? OwnerStatus::Kind::folder
             : ::GetFileType(as_handle(h)) == FILE_TYPE_DISK ? OwnerStatus::Kind::regular
                                                             : OwnerStatus::Kind::other;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD code = ::GetSecurityInfo(as_handle(h), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                       nullptr, nullptr, &descriptor);
  if (code != ERROR_SUCCESS) return fail(ec, code);
  TOKEN_USER* user = nullptr;
  std::vector<unsigned char> buffer(256);
  HANDLE token = nullptr;
  DWORD size = 0;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    if (::GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size))
      user = reinterpret_cast<TOKEN_USER*>(buffer.data());
    ::CloseHandle(token);
  }
  out.owned_by_user = owner != nullptr && user != nullptr && ::EqualSid(owner, user->User.Sid);
  out.owned_by_admin = owner != nullptr && (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                            ::IsWellKnownSid(owner, WinLocalSystemSid));
  LPSTR text = nullptr;
  if (owner != nullptr && ::ConvertSidToStringSidA(owner, &text)) {
    out.owner = text;
    ::LocalFree(text);
  }
  ::LocalFree(descriptor);
  return true;
}

bool same_file(Handle h, const Path& path) {
  HANDLE named = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  const bool same = ::GetFileInformationByHandle(as_handle(h), &a) && ::GetFileInformationByHandle(named, &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                    a.nFileIndexLow == b.nFileIndexLow;
  ::CloseHandle(named);
  return same;
}

bool read(Handle h, std::uint8_t* dst, std::size_t n, std::size_t& got, std::error_code& ec) {
  DWORD r = 0;
  if (!::ReadFile(as_handle(h), dst, part(n), &r, nullptr)) {
    // A pipe whose writer has gone is at its end, as on POSIX.
    if (::GetLastError() != ERROR_BROKEN_PIPE) return fail(ec);
    r = 0;
  }
  got = r;
  return true;
}

bool read_at(Handle h, std::uint8_t* dst, std::size_t n, std::uint64_t offset, std::size_t& got, std::error_code& ec) {
  // A positioned read moves a synchronous handle's pointer: it is put back,
  // so that an input read in order may also be read at positions.
  LARGE_INTEGER was{};
  ::SetFilePointerEx(as_handle(h), LARGE_INTEGER{}, &was, FILE_CURRENT);
  OVERLAPPED o = at_offset(offset);
  DWORD r = 0;
  const bool ok = ::ReadFile(as_handle(h), dst, part(n), &r, &o) || ::GetLastError() == ERROR_HANDLE_EOF;
  if (!ok) return fail(ec);
  ::SetFilePointerEx(as_handle(h), was, nullptr, FILE_BEGIN);
  got = r;
  return true;
}

bool write(Handle h, const std::uint8_t* p, std::size_t n, std::size_t& done, std::error_code& ec) {
  DWORD w = 0;
  if (!::WriteFile(as_handle(h), p, part(n), &w, nullptr)) return fail(ec);
  done = w;
  return true;
}

bool write_at(Handle h, const std::uint8_t* p, std::size_t n, std::uint64_t offset, std::size_t& done,
              std::error_code& ec) {
  OVERLAPPED o = at_offset(offset);
  DWORD w = 0;
  if (!::WriteFile(as_handle(h), p, part(n), &w, &o)) return fail(ec);
  done = w;
  return true;
}

std::uint64_t copy_range(Handle, std::uint64_t, Handle, std::uint64_t, std::uint64_t) noexcept { return 0; }

void reserve(Handle h, std::uint64_t length) noexcept {
  // Only advice: the size stays as written.
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(length);
  (void)::SetFileInformationByHandle(as_handle(h), FileAllocationInfo, &allocation, sizeof allocation);
}

bool flush(Handle h, std::error_code& ec) {
  if (::FlushFileBuffers(as_handle(h))) return true;
  // A device or a pipe may not flush (NUL answers "access denied", a console
  // "invalid handle"); that is no failure of the write.
  const DWORD e = ::GetLastError();
  if (e == ERROR_INVALID_HANDLE || e == ERROR_INVALID_FUNCTION || e == ERROR_NOT_SUPPORTED || e == ERROR_ACCESS_DENIED)
    return true;
  return fail(ec, e);
}

bool open_folder(const Path& path, Folder& folder, std::error_code& ec) {
  if (!names_folder(path)) {
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return fail(ec);
    return fail(ec, std::errc::not_a_directory);
  }
  folder.path = path;
  return true;
}

// The rename itself is written through; Windows offers no flush of a folder.
bool flush_folder(const Folder&, std::error_code&) { return true; }

bool open_target(const Path& path, bool follow_links, Handle& h, std::error_code& ec) {
  if (names_folder(path)) return fail(ec, std::errc::is_a_directory);
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  if (!take(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, flags, nullptr),
            h, ec))
    return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!follow_links && ::GetFileInformationByHandle(as_handle(h), &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    close(h);
    return fail(ec, std::errc::too_many_symbolic_link_levels);
  }
  return true;
}

bool create_through_link(const Path& path, std::uint32_t, Handle& h, std::error_code& ec) {
  return take(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
              h, ec);
}

bool locate(Handle h, Folder& folder, Path& name, std::error_code& ec) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFinalPathNameByHandleW(as_handle(h), buffer.data(), static_cast<DWORD>(buffer.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return fail(ec);
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(n + 1);
  }
  const Path where(buffer);
  name = where.filename();
  return open_folder(where.parent_path(), folder, ec);
}

bool is_link(const Path& path, bool& link, std::error_code& ec) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return fail(ec);
  link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return true;
}

bool exists(const Path& path, bool& found, std::error_code& ec) {
  found = ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (found) return true;
  const DWORD e = ::GetLastError();
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || fail(ec, e);
}

bool create_unnamed(const Folder&, bool, Handle&, std::error_code& ec) { return fail(ec, std::errc::not_supported); }

// A temporary file here is shared with nobody until it takes its name.
const bool temporary_files_are_private = true;

bool create_temporary(const Folder& folder, const Path& name, bool owner_only, Handle& h, std::error_code& ec) {
  OwnerOnlyAttributes security;
  if (owner_only && !security.build()) return fail(ec);
  if (!take(::CreateFileW((folder.path / name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, security.get(),
                          CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr),
            h, ec))
    return false;
  // Gone when its last handle closes, also when the process is killed.
  mark_for_deletion(as_handle(h), true);
  return true;
}

bool create_scratch(const Path& name, Handle& h, std::error_code& ec) {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD n = ::GetTempPathW(MAX_PATH + 2, buffer);
  if (n == 0 || n > MAX_PATH + 1) return fail(ec);
  return take(::CreateFileW((Path(std::wstring(buffer, n)) / name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                            nullptr),
              h, ec);
}

bool link_unnamed(Handle, const Folder&, const Path&, std::error_code& ec) {
  return fail(ec, std::errc::not_supported);
}

bool name_temporary(Handle h, const Folder& folder, const Path& from, const Path& to, std::error_code& ec) {
  const HANDLE file = as_handle(h);
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic)) return fail(ec);
  const Path target = folder.path / to;
  // A new target takes its name while the file is still marked for
  // deletion, and the mark comes off after: a run killed in between leaves
  // no file at all. (Replacing cannot go in that order: the old target would
  // be lost with the new one.)
  if (rename_handle(file, target, false)) {
    if (mark_for_deletion(file, false)) return true;
    const DWORD e = ::GetLastError();
    rename_handle(file, folder.path / from, false);
    return fail(ec, e);
  }
  if (!mark_for_deletion(file, false)) return fail(ec);
  if (rename_handle(file, target, true)) return true;
  const DWORD refused = ::GetLastError();
  mark_for_deletion(file, true);
  if (refused != ERROR_ACCESS_DENIED && refused != ERROR_SHARING_VIOLATION) return fail(ec, refused);
  // Windows replaces no file that is open, even by a reader that lets it be
  // deleted, as this program's own reader of the carrier does when the
  // carrier is also the output. Such a file can still be renamed: it is moved
  // aside beside the temporary file's name, the new file takes its name, and
  // the old one is deleted (it goes once its last reader closes it).
  const Path aside = folder.path / (from.native() + L"-old");
  if (!::MoveFileExW(target.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) return fail(ec, refused);
  mark_for_deletion(file, false);
  if (!rename_handle(file, target, false)) {
    const DWORD e = ::GetLastError();
    mark_for_deletion(file, true);
    ::MoveFileExW(aside.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);  // the old file back
    return fail(ec, e);
  }
  ::DeleteFileW(aside.c_str());
  return true;
}

void remove(const Folder& folder, const Path& name) noexcept { ::DeleteFileW((folder.path / name).c_str()); }

bool rename_no_replace(const Path& from, const Path& to, std::error_code& ec) {
  return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) || fail(ec);
}

bool set_owner(Handle, std::uint32_t, std::uint32_t, std::error_code&) { return true; }
bool set_mode(Handle, std::uint32_t, std::error_code&) { return true; }
std::uint32_t current_umask() noexcept { return 0; }

bool make_private_folder(const Path& path, std::error_code& ec) {
  OwnerOnlyAttributes security;
  if (!security.build()) return fail(ec);
  return ::CreateDirectoryW(path.c_str(), security.get()) || fail(ec);
}

// A folder cannot be locked itself: the lock is taken with LockFileEx on the
// file ".lock" in it. That file removes itself when the last process that
// has it open closes it, so nothing is left in the folder. While it is being
// removed its name cannot be opened (access denied); the next process tries
// again until the name is free, for a while, since the same answer may also
// mean that the folder is not writable.
bool lock_folder(const Path& folder, Handle& h, std::error_code& ec) {
  const Path name = folder / L".lock";
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0;; ++attempt) {
    file = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) break;
    const DWORD e = ::GetLastError();
    if (e != ERROR_ACCESS_DENIED || attempt >= 1000) return fail(ec, e);
    ::Sleep(10);
  }
  OVERLAPPED whole{};
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    const DWORD e = ::GetLastError();
    ::CloseHandle(file);
    return fail(ec, e);
  }
  h = reinterpret_cast<Handle>(file);
  return true;
}

}  // namespace vellicor::native
