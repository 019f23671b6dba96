// The file layer on Windows: plain calls on Win32 handles, and the pending
// file as file_io_native.hpp tells it.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "util/file_io_native.hpp"
#include "util/file_io_syscalls.hpp"
#include "util/owner_only_windows.hpp"
#include "util/platform.hpp"
#include "util/windows_error.hpp"

namespace vellicor::native {

LONG WINAPI sys::RtlGetLastNtStatus() {
  using Call = LONG(WINAPI*)();
  static const auto call = reinterpret_cast<Call>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetLastNtStatus")));
  return call != nullptr ? call() : 0;
}

namespace {

Syscalls os;

// Codes the layer compares against read as the generic ones; the rest keep
// the system's own words.
class WindowsCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "windows"; }
  std::string message(int code) const override { return windows_error_text(static_cast<unsigned long>(code)); }
};

bool fail(std::error_code& ec, DWORD code = ::GetLastError()) {
  static const WindowsCategory category;
  static const std::pair<DWORD, std::errc> kGeneric[] = {
      {ERROR_FILE_NOT_FOUND, std::errc::no_such_file_or_directory},
      {ERROR_PATH_NOT_FOUND, std::errc::no_such_file_or_directory},
      {ERROR_INVALID_NAME, std::errc::no_such_file_or_directory},
      {ERROR_BAD_NETPATH, std::errc::no_such_file_or_directory},
      {ERROR_DIRECTORY, std::errc::no_such_file_or_directory},
      {ERROR_ACCESS_DENIED, std::errc::permission_denied},
      {ERROR_DISK_FULL, std::errc::no_space_on_device},
      {ERROR_HANDLE_DISK_FULL, std::errc::no_space_on_device},
      {ERROR_ALREADY_EXISTS, std::errc::file_exists},
      {ERROR_FILE_EXISTS, std::errc::file_exists},
  };
  ec.assign(static_cast<int>(code), category);
  for (const auto& [windows, generic] : kGeneric)
    if (windows == code) ec = std::make_error_code(generic);
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

// The layer's plain opens share everything, as a POSIX open does.
HANDLE open_shared(const Path& path, DWORD access, DWORD disposition, DWORD flags) {
  return os.CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        disposition, flags, nullptr);
}

bool names_folder(const Path& path) {
  const DWORD attributes = os.GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool identity(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) { return os.GetFileInformationByHandle(h, &info) != 0; }
// The one identity test: the volume and the file's number on it, the same
// pair the same file; `exact`: and `b` is no link.
bool same_identity(HANDLE a, HANDLE b, bool exact = false) {
  BY_HANDLE_FILE_INFORMATION x{}, y{};
  return identity(a, x) && identity(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow &&
         !(exact && (y.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
}

// Keeps the handle opened at a path, unless links must not be followed and
// the path was itself a link: refused as O_NOFOLLOW refuses it (ELOOP).
bool keep_unless_link(HANDLE file, bool follow_links, Handle& h, std::error_code& ec) {
  if (!take(file, h, ec)) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (follow_links || !identity(file, info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  close(h);
  return fail(ec, std::errc::too_many_symbolic_link_levels);
}
// Whether `path` names the file open at `h`: links followed, or (`exact`)
// the path itself and no link.
bool path_names(const Path& path, HANDLE h, bool exact) {
  const HANDLE other =
      open_shared(path, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (exact ? FILE_FLAG_OPEN_REPARSE_POINT : 0));
  if (other == INVALID_HANDLE_VALUE) return false;
  const bool same = same_identity(h, other, exact);
  os.CloseHandle(other);
  return same;
}

// The full path of the file open at `h` (`flags` of GetFinalPathNameByHandleW).
bool final_path(HANDLE h, DWORD flags, std::wstring& path) {
  DWORD n = MAX_PATH;  // a call that finds the buffer too small answers the size it needs
  do {
    path.resize(n);
    n = os.GetFinalPathNameByHandleW(h, path.data(), n, flags);
  } while (n >= path.size());
  path.resize(n);
  return n != 0;
}

// A path's folder, its separator kept: "\\?\E:\x.png" is in "\\?\E:\"
// (without it, "\\?\E:" would name the volume device), and
// "\\?\UNC\server\share\x.png" in "\\?\UNC\server\share\".
void split_kept(const std::wstring& path, Path& folder, Path& name) {
  const std::size_t cut = path.find_last_of(L"\\/");
  folder = cut == std::wstring::npos ? Path(L".\\") : Path(path.substr(0, cut + 1));
  name = cut == std::wstring::npos ? Path(path) : Path(path.substr(cut + 1));
}

bool mark_for_deletion(HANDLE h, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  return os.SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

constexpr DWORD kReplaceIfExists = 0x1;  // FILE_RENAME_FLAG_REPLACE_IF_EXISTS
constexpr DWORD kPosixSemantics = 0x2;   // FILE_RENAME_FLAG_POSIX_SEMANTICS

// Renames the file open at `h` (opened with DELETE access) to `to`. With
// `flags`, through FileRenameInfoEx, whose first field holds them.
bool rename_handle(HANDLE h, const Path& to, bool replace, DWORD flags = 0) {
  const std::wstring& name = to.native();
  std::string buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t), '\0');
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  if (flags != 0)
    std::memcpy(buffer.data(), &flags, sizeof flags);
  else
    info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  name.copy(info->FileName, name.size());
  const auto kind = flags != 0 ? static_cast<FILE_INFO_BY_HANDLE_CLASS>(22) /* FileRenameInfoEx */ : FileRenameInfo;
  return os.SetFileInformationByHandle(h, kind, info, static_cast<DWORD>(buffer.size())) != 0;
}

}  // namespace

Syscalls& syscalls() { return os; }

void close(Handle& h) noexcept {
  if (h != no_handle) os.CloseHandle(as_handle(h));
  h = no_handle;
}

// The owner is compared with the process's user and with the accounts that
// stand for root (Administrators, SYSTEM); Windows has no mode bits.
bool status(Handle h, Status& out, std::error_code& ec, bool owner) {
  out = {};
  BY_HANDLE_FILE_INFORMATION info{};
  if (os.GetFileType(as_handle(h)) == FILE_TYPE_DISK) {  // else a console, a pipe, NUL
    if (!identity(as_handle(h), info)) return fail(ec);
    out.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::folder : Kind::regular;
    if (out.kind == Kind::regular) out.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    out.attributes = info.dwFileAttributes;
  }
  if (!owner) return true;
  PSID sid = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD code = os.GetSecurityInfo(as_handle(h), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr,
                                       nullptr, nullptr, &descriptor);
  if (code != ERROR_SUCCESS) return fail(ec, code);
  std::vector<unsigned char> user;
  out.owned_by_user = sid != nullptr && process_user(user) && ::EqualSid(sid, user_sid(user));
  out.owned_by_admin = sid != nullptr && (::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
                                          ::IsWellKnownSid(sid, WinLocalSystemSid));
  LPSTR text = nullptr;
  if (sid != nullptr && ::ConvertSidToStringSidA(sid, &text)) {
    out.owner = text;
    ::LocalFree(text);
  }
  ::LocalFree(descriptor);
  return true;
}

bool open_read(const Path& path, Handle& h, std::error_code& ec, const InputOptions& options) {
  if (!options.allow_folder && names_folder(path)) return fail(ec, std::errc::is_a_directory);
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (options.allow_folder ? FILE_FLAG_BACKUP_SEMANTICS : 0) |
                      (options.follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return keep_unless_link(open_shared(path, GENERIC_READ, OPEN_EXISTING, flags), options.follow_links, h, ec);
}

bool same_file(Handle h, const Path& path) { return path_names(path, as_handle(h), false); }

bool read(Handle h, std::uint8_t* dst, std::size_t n, std::uint64_t offset, std::size_t& got, std::error_code& ec) {
  // A positioned read moves a synchronous handle's pointer: it is put back,
  // so that an input read in order may also be read at positions.
  LARGE_INTEGER was{};
  if (offset != in_order) os.SetFilePointerEx(as_handle(h), LARGE_INTEGER{}, &was, FILE_CURRENT);
  OVERLAPPED o = at_offset(offset);
  DWORD r = 0;
  if (!os.ReadFile(as_handle(h), dst, part(n), &r, offset == in_order ? nullptr : &o)) {
    // The end: past it at an offset, or a pipe whose writer has gone (as on POSIX).
    const DWORD e = ::GetLastError();
    if (e != (offset == in_order ? ERROR_BROKEN_PIPE : ERROR_HANDLE_EOF)) return fail(ec, e);
    r = 0;
  }
  if (offset != in_order) os.SetFilePointerEx(as_handle(h), was, nullptr, FILE_BEGIN);
  got = r;
  return true;
}

bool write(Handle h, const std::uint8_t* p, std::size_t n, std::uint64_t offset, std::size_t& done,
           std::error_code& ec) {
  OVERLAPPED o = at_offset(offset);
  DWORD w = 0;
  if (!os.WriteFile(as_handle(h), p, part(n), &w, offset == in_order ? nullptr : &o)) return fail(ec);
  done = w;
  return true;
}

// Windows has no copy of a range between two handles that every file
// system offers: the bytes go through memory.
std::uint64_t copy_in_kernel(Handle, std::uint64_t, Handle, std::uint64_t, std::uint64_t) { return 0; }

// A pipe's buffer is set by whoever makes it: nothing to advise.
void widen_pipe(Handle, std::size_t) noexcept {}

void reserve(Handle h, std::uint64_t length) noexcept {
  // Only advice: the size stays as written.
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(length);
  (void)os.SetFileInformationByHandle(as_handle(h), FileAllocationInfo, &allocation, sizeof allocation);
}

bool flush(Handle h, std::error_code& ec) {
  // Only a file on a disk has anything to make lasting. A device refuses
  // (NUL "access denied", a console "invalid handle"), and a pipe's flush
  // waits until its reader has read everything, or fails under Wine.
  if (os.GetFileType(as_handle(h)) != FILE_TYPE_DISK) return true;
  return os.FlushFileBuffers(as_handle(h)) || fail(ec);
}

bool open_folder(const Path& path, Folder& folder, std::error_code& ec) {
  if (!names_folder(path)) {
    if (os.GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return fail(ec);
    return fail(ec, std::errc::not_a_directory);
  }
  folder.path = path;
  return true;
}

bool open_target(const Path& path, bool follow_links, Handle& h, std::error_code& ec) {
  if (names_folder(path)) return fail(ec, std::errc::is_a_directory);
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return keep_unless_link(open_shared(path, GENERIC_WRITE | READ_CONTROL, OPEN_EXISTING, flags), follow_links, h, ec);
}

bool create_through_link(const Path& path, std::uint32_t, Handle& h, bool& created, std::error_code& ec) {
  // OPEN_ALWAYS says whether the file was there: ERROR_ALREADY_EXISTS.
  if (!take(open_shared(path, GENERIC_WRITE | DELETE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL), h, ec)) return false;
  created = ::GetLastError() != ERROR_ALREADY_EXISTS;
  return true;
}

bool locate(Handle h, const Path& typed, Folder& folder, Path& name, std::error_code& ec) {
  // A volume the mount manager does not know (a RAM disk, a user-mode file
  // system) has no DOS name: the path as typed, checked below.
  std::wstring buffer;
  if (!final_path(as_handle(h), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS, buffer)) buffer = typed.native();
  Path where;
  split_kept(buffer, where, name);
  if (!open_folder(where, folder, ec)) return false;
  // The name in that folder must still be the file that was opened.
  return path_names(folder.path / name, as_handle(h), true) || fail(ec, static_cast<DWORD>(ERROR_FILE_INVALID));
}

void remove_if_same(Handle h, const Folder&, const Path&) noexcept {
  // Through the handle this run created it with: only that file goes.
  (void)mark_for_deletion(as_handle(h), true);
}

bool lookup(const Path& path, Entry& entry, std::error_code& ec) {
  const DWORD attributes = os.GetFileAttributesW(path.c_str());
  entry = attributes == INVALID_FILE_ATTRIBUTES                ? Entry::none
          : (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? Entry::link
                                                               : Entry::other;
  const DWORD e = ::GetLastError();
  return entry != Entry::none || e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || fail(ec, e);
}

bool same_file(Handle a, Handle b) { return same_identity(as_handle(a), as_handle(b)); }

// Only where it is a file on a disk.
Handle standard_output() {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  const bool file = out != nullptr && out != INVALID_HANDLE_VALUE && os.GetFileType(out) == FILE_TYPE_DISK;
  return file ? reinterpret_cast<Handle>(out) : no_handle;
}

bool duplicate_standard(Standard stream, Handle& h, std::error_code& ec) {
  HANDLE copy = nullptr;
  const DWORD which = stream == Standard::input ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE;
  if (!os.DuplicateHandle(::GetCurrentProcess(), ::GetStdHandle(which), ::GetCurrentProcess(), &copy, 0,
                         FALSE, DUPLICATE_SAME_ACCESS))
    return fail(ec);
  h = reinterpret_cast<Handle>(copy);
  return true;
}

void read_security(Handle target, std::vector<std::uint8_t>& security) {
  // The owner and the access list, where the file system keeps them.
  security.clear();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (os.GetSecurityInfo(as_handle(target), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return;
  const auto* bytes = static_cast<const std::uint8_t*>(descriptor);
  security.assign(bytes, bytes + ::GetSecurityDescriptorLength(descriptor));
  ::LocalFree(descriptor);
}

void read_origin(Handle source, std::vector<std::uint8_t>& origin) {
  origin.clear();
  std::wstring name;
  if (!final_path(as_handle(source), 0, name)) return;
  const HANDLE stream = os.CreateFileW((name + L":Zone.Identifier").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  if (stream == INVALID_HANDLE_VALUE) return;
  origin.resize(4096);
  DWORD got = 0;
  origin.resize(os.ReadFile(stream, origin.data(), static_cast<DWORD>(origin.size()), &got, nullptr) ? got : 0);
  os.CloseHandle(stream);
}

// ---- the pending file

namespace {

// Owner (where this user may set it) and access list of `kept` onto `h`.
bool apply_security(HANDLE h, const std::vector<std::uint8_t>& bytes) {
  auto* descriptor = const_cast<std::uint8_t*>(bytes.data());
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ||
      !::GetSecurityDescriptorControl(descriptor, &control, &revision))
    return false;
  if (!present) return true;
  const SECURITY_INFORMATION dacl_info =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  if (owner != nullptr &&
      os.SetSecurityInfo(h, SE_FILE_OBJECT, dacl_info | OWNER_SECURITY_INFORMATION, owner, nullptr, dacl, nullptr) ==
          ERROR_SUCCESS)
    return true;
  const DWORD e = os.SetSecurityInfo(h, SE_FILE_OBJECT, dacl_info, nullptr, nullptr, dacl, nullptr);
  ::SetLastError(e);
  return e == ERROR_SUCCESS;
}

// The Mark of the Web goes into the new file's own Zone.Identifier stream;
// sharing is per stream, so its unshared main stream allows it.
void mark_origin(const Path& pending, const std::vector<std::uint8_t>& origin) {
  if (origin.empty()) return;
  const HANDLE stream =
      os.CreateFileW((pending.native() + L":Zone.Identifier").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (stream == INVALID_HANDLE_VALUE) return;
  DWORD done = 0;
  (void)os.WriteFile(stream, origin.data(), static_cast<DWORD>(origin.size()), &done, nullptr);
  os.CloseHandle(stream);
}

bool take_over(HANDLE h, const Kept& kept) {
  if (kept.exists && !kept.security.empty() && !apply_security(h, kept.security)) return false;
  FILE_BASIC_INFO basic{};
  const DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  basic.FileAttributes = FILE_ATTRIBUTE_ARCHIVE | (kept.exists ? kept.target.attributes & kept_attributes : 0);
  return os.SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic) != 0;
}

bool held_by_another(DWORD e) { return e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION; }

// The layer's one wait: `attempt` again, `pause` ms apart, while its failure
// (the last error) is one that `again` says another holder will end.
template <typename Attempt, typename Again>
bool retry(Attempt attempt, Again again, DWORD pause) {
  while (!attempt()) {
    if (!again(::GetLastError())) return false;
    os.Sleep(pause);
  }
  return true;
}
}  // namespace

bool create_pending(const Folder& folder, Reach, std::uint32_t mode, const Path& hidden, Pending& pending,
                    std::error_code& ec) {
  pending = {no_handle, hidden, true};
  OwnerOnlyAttributes security;
  if ((mode & 077) == 0 && !security.build()) return fail(ec);
  const DWORD access = GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER;
  if (!take(os.CreateFileW((folder.path / hidden).c_str(), access, 0, security.get(), CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN, nullptr),
            pending.handle, ec))
    return false;
  if (mark_for_deletion(as_handle(pending.handle), true)) return true;
  // Unmarked, it would outlive a killed run: it goes now, by its name.
  fail(ec);
  close(pending.handle);
  os.DeleteFileW((folder.path / hidden).c_str());
  return false;
}

bool publish(Pending& pending, const Folder& folder, const Path& name, const Kept& kept, Replace replace,
             std::error_code& ec, std::error_code& after) {
  const HANDLE file = as_handle(pending.handle);
  if (!take_over(file, kept)) return fail(ec);
  const Path target = folder.path / name;
  if (replace == Replace::no) {
    if (!rename_handle(file, target, false)) return fail(ec);
    if (!mark_for_deletion(file, false)) {
      const DWORD e = ::GetLastError();
      rename_handle(file, folder.path / pending.name, false);
      return fail(ec, e);
    }
    mark_origin(target, kept.origin);  // a file marked for deletion takes no stream
  } else {
    if (!mark_for_deletion(file, false)) return fail(ec);
    mark_origin(folder.path / pending.name, kept.origin);
    int tries = 0;
    if (!rename_handle(file, target, true, kReplaceIfExists | kPosixSemantics) &&
        !retry([&] { return rename_handle(file, target, true); },
               [&](DWORD e) { return held_by_another(e) && ++tries <= 20; }, 100)) {
      const DWORD e = ::GetLastError();
      // Marked again, so that closing it removes it; where that fails, the
      // hidden file is left and said so.
      return mark_for_deletion(file, true) ? fail(ec, e) : fail(ec);
    }
  }
  pending.linked = false;
  (void)flush(pending.handle, after);
  return true;
}

void abandon(Pending& pending, const Folder&) noexcept {
  close(pending.handle);  // marked for deletion: it goes with its handle
  pending = {};
}

bool create_scratch(const Path& hidden, Handle& h, std::error_code& ec) {
  std::wstring buffer(os.GetTempPathW(0, nullptr), L'\0');
  const DWORD n = os.GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
  if (n == 0 || n >= buffer.size()) return fail(ec);
  buffer.resize(n);
  const DWORD flags = FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE;
  return take(os.CreateFileW((to_system_path(Path(buffer)) / hidden).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             CREATE_NEW, flags, nullptr),
              h, ec);
}

bool rename_no_replace(const Path& from, const Path& to, std::error_code& ec) {
  return os.MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) || fail(ec);
}

bool make_private_folder(const Path& path, std::error_code& ec) {
  OwnerOnlyAttributes security;
  if (!security.build()) return fail(ec);
  return os.CreateDirectoryW(path.c_str(), security.get()) || fail(ec);
}

// A folder cannot be locked itself: the lock is taken with LockFileEx on the
// file ".lock" in it, which removes itself when the last process that has it
// open closes it, so nothing is left in the folder. Once its first holder
// closes it, the file is being deleted: its name cannot be opened (access
// denied, the NT status STATUS_DELETE_PENDING) until every holder has closed
// it, and a new file can take the name. That wait is the lock's own: it
// lasts exactly as long as the holders hold it. Any other refusal is final.
bool lock_folder(const Path& folder, bool shared, Handle& h, std::error_code& ec) {
  constexpr LONG kDeletePending = static_cast<LONG>(0xC0000056);
  const Path name = folder / L".lock";
  HANDLE file = INVALID_HANDLE_VALUE;
  const auto open = [&] {
    file = open_shared(name, GENERIC_READ | GENERIC_WRITE | DELETE, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE);
    return file != INVALID_HANDLE_VALUE;
  };
  if (!retry(open, [&](DWORD e) { return e == ERROR_ACCESS_DENIED && os.RtlGetLastNtStatus() == kDeletePending; }, 1))
    return fail(ec);
  OVERLAPPED whole{};
  if (!os.LockFileEx(file, shared ? 0 : LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    const DWORD e = ::GetLastError();
    os.CloseHandle(file);
    return fail(ec, e);
  }
  h = reinterpret_cast<Handle>(file);
  return true;
}

}  // namespace vellicor::native
