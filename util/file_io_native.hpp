#pragma once
// What the file layer needs from each platform, for file_io.cpp only; each
// platform's file defines it. Plain calls on handles and paths hold little
// but the system call; the pending file (below) is where the platforms
// differ most.
//
// Calls return false with the reason in `ec`: errno values in the generic
// category (Windows maps its common codes onto them), other Windows codes in
// a category of their own.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "util/file_io.hpp"  // InputOptions, OwnerStatus

namespace vellicor::native {

using Handle = std::intptr_t;
inline constexpr Handle no_handle = -1;
using Path = std::filesystem::path;

void close(Handle& h) noexcept;

using Kind = OwnerStatus::Kind;
// What is open at h, from one call: kind, size, mode and numeric owner (the
// system's own), and, with `owner`, how the owner stands to this process.
struct Status : OwnerStatus {
  std::uint64_t size = 0;
  std::uint32_t uid = 0, gid = 0, attributes = 0;
};
bool status(Handle h, Status& out, std::error_code& ec, bool owner = false);

bool open_read(const Path& path, Handle& h, std::error_code& ec, const InputOptions& options = {});
// Whether a path, or another handle, reaches what is open at h.
bool same_file(Handle h, const Path& path);
bool same_file(Handle h, Handle other);
inline constexpr std::uint64_t in_order = UINT64_MAX;  // for reads and writes: in order, not at an offset
// Up to n bytes in order from the handle's position, or at `offset`, which
// leaves a read handle's position where it was; got = 0 at or past the end.
bool read(Handle h, std::uint8_t* dst, std::size_t n, std::uint64_t offset, std::size_t& got, std::error_code& ec);
// Likewise (a handle written at offsets is written at offsets only: its
// position is then undefined); done = 0 means no space.
bool write(Handle h, const std::uint8_t* p, std::size_t n, std::uint64_t offset, std::size_t& done,
           std::error_code& ec);
// Copies up to `length` bytes of `from` at `offset` to `to` at `at` in the
// kernel, as far as the system offers it; the count copied (0: none).
std::uint64_t copy_in_kernel(Handle from, std::uint64_t offset, Handle to, std::uint64_t at, std::uint64_t length);
void reserve(Handle h, std::uint64_t length) noexcept;
// Advice for a pipe read in order: a buffer of `length` bytes (Linux; 64 KiB
// by default) halves what each block costs in switches to its writer.
void widen_pipe(Handle h, std::size_t length) noexcept;
// Flushes to the disk; a device or a pipe that cannot be flushed is no failure.
bool flush(Handle h, std::error_code& ec);

// A folder new files are made in: on Linux an open handle, so that every
// later step happens in the folder that was opened; on Windows its path.
struct Folder {
  Folder() = default;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder() { close(handle); }
  Path path;
  Handle handle = no_handle;
};
bool open_folder(const Path& path, Folder& folder, std::error_code& ec);

// Opens what `path` names for writing as the system's own open would, the
// caller's rights applied, without creating or truncating anything and
// without waiting for a pipe's reader where the system refuses the open
// anyway. A link at the path itself is refused when !follow_links.
bool open_target(const Path& path, bool follow_links, Handle& h, std::error_code& ec);
// The same where the path is a dangling link: the file it names is created
// (empty, `mode`) as the system's own open would create it. `created` false:
// another process made it first, and it was opened.
bool create_through_link(const Path& path, std::uint32_t mode, Handle& h, bool& created, std::error_code& ec);
// The folder and the name of the regular file open at `h`, as the kernel
// reached it (links resolved by the open, not by hand). `typed` is the path
// as it was given, for where the system cannot say.
bool locate(Handle h, const Path& typed, Folder& folder, Path& name, std::error_code& ec);
// Removes `name` from `folder` only while it is still the file open at `h`.
void remove_if_same(Handle h, const Folder& folder, const Path& name) noexcept;
// What a path names, links not followed.
enum class Entry { none, link, other };
bool lookup(const Path& path, Entry& entry, std::error_code& ec);
// The handle the process's standard output writes to (no_handle on Windows
// where it is no file on a disk); a second handle to standard input or
// output, reading or writing where it does (appending where it was opened
// for appending).
Handle standard_output();
enum class Standard { input, output };
bool duplicate_standard(Standard stream, Handle& h, std::error_code& ec);

// What a replaced file keeps: read from the file the target's open reached,
// given to the new file as it takes the name. `exists` false: a new target,
// made with `new_mode` as a plain open would.
struct Kept {
  bool exists = false;
  std::uint32_t new_mode = 0666;
  Status target;                       // mode, owner, group, attributes
  std::vector<std::uint8_t> security;  // the POSIX ACL, or the Windows security descriptor (read_security)
  std::vector<std::uint8_t> origin;    // where a download came from: see read_origin
};
void read_security(Handle target, std::vector<std::uint8_t>& security);
// Where the file open at `source` came from, as the system's downloaders
// mark it: the Zone.Identifier stream (Windows' Mark of the Web), or the
// user.xdg.origin.url attribute (Linux). Empty where it has none.
void read_origin(Handle source, std::vector<std::uint8_t>& origin);

// ---- the pending file: new content beside its target
//
// Its whole story, which each platform file follows.
// Linux: an unnamed file (O_TMPFILE) in the target's folder, which no path
//   reaches and a killed run leaves nowhere; where the file system has none
//   (vfat, NFS, CIFS), an owner-only file under its hidden name, removed on
//   SIGINT, SIGTERM and SIGHUP (SIGKILL or a power cut can leave it). A new
//   target: its mode and ACL first, then linked in under its name, which
//   never replaces. An existing target: linked in under the hidden name (if
//   unnamed), renamed over the target, and only then given its mode and ACL,
//   so a hidden copy stays the user's alone. The file and the folder are
//   flushed after.
// Windows: no unnamed files. A hidden file, opened with no sharing (no other
//   process opens it while its handle lives) and marked for deletion at once
//   (a killed run leaves nothing). It takes the old target's owner, access
//   list and hidden and system attributes (a new owner-only target: a list
//   for the user alone from the start) before it is named. A new target:
//   renamed, never replacing, while still marked; the mark comes off after.
//   An existing target: the mark comes off, then FileRenameInfoEx replaces it
//   with POSIX semantics, also while others hold it open; where the system
//   has no such rename (before Windows 10 1809, FAT, Wine), FileRenameInfo,
//   tried again for about two seconds while another program (an indexer, a
//   virus scanner) holds the target open. A kill between the mark coming off
//   and the rename leaves the complete file under its hidden name. It is
//   flushed through its handle, which on FAT also writes its folder entry;
//   Windows has no flush of a folder.

// Who may reach the content while it is pending: the user's own processes
// (the hidden name where there is one), or no other process at all, ever.
enum class Reach { owner, nobody };
struct Pending {
  Handle handle = no_handle;
  Path name;            // a fresh hidden name, given by the caller
  bool linked = false;  // the file has that name in the folder
};
// A new file beside the target in `folder` for a target of `mode`, under the
// hidden name `hidden` where it needs one (EEXIST when taken). ENOTSUP where
// the system cannot keep it from every other process (Reach::nobody).
bool create_pending(const Folder& folder, Reach reach, std::uint32_t mode, const Path& hidden, Pending& pending,
                    std::error_code& ec);
enum class Replace { no, yes };
// Gives the flushed pending file the name `name` in `folder`, with what
// `kept` says. Replace::no never replaces a name that appeared since the
// target was opened (EEXIST). False while the target is still as it was;
// once named, a failure to make the name last (flushing it) is only
// reported in `after`.
bool publish(Pending& pending, const Folder& folder, const Path& name, const Kept& kept, Replace replace,
             std::error_code& ec, std::error_code& after);
// Closes an unpublished pending file and removes what is left of it.
void abandon(Pending& pending, const Folder& folder) noexcept;

// A file in the system's temporary folder (under `hidden` where it needs a
// name) that no other process can open and that goes away when it is closed.
bool create_scratch(const Path& hidden, Handle& h, std::error_code& ec);

bool rename_no_replace(const Path& from, const Path& to, std::error_code& ec);
// Creates a folder for the user alone and flushes the folder that holds it;
// EEXIST when it is there.
bool make_private_folder(const Path& path, std::error_code& ec);
// Blocks until the lock is free; shared holders exclude only an exclusive one.
bool lock_folder(const Path& folder, bool shared, Handle& h, std::error_code& ec);

}  // namespace vellicor::native
