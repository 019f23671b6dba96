#pragma once
// The calls the file layer needs from the system, for file_io.cpp only. Each
// platform defines them in its own file (file_io_linux.cpp,
// file_io_windows.cpp) and they hold nothing but system calls: the order of
// steps, block loops, fallbacks and error choices are file_io.cpp's.
//
// Every call returns false with the reason in `ec`: errno values in the
// generic category (Windows maps its common codes onto them, so that callers
// compare against std::errc on both), other Windows codes in a category of
// their own.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "util/file_io.hpp"

namespace vellicor::native {

using Handle = std::intptr_t;
inline constexpr Handle no_handle = -1;
using Path = std::filesystem::path;

void close(Handle& h) noexcept;

enum class Kind { regular, directory, other };
struct Status {
  Kind kind = Kind::other;
  std::uint64_t size = 0;
  std::uint32_t mode = 0, owner = 0, group = 0;
};
bool status(Handle h, Status& out, std::error_code& ec);

bool open_read(const Path& path, Handle& h, std::error_code& ec, const InputOptions& options = {});
// Kind, mode and owner of what is open at h; whether a path names it.
bool owner_status(Handle h, OwnerStatus& out, std::error_code& ec);
bool same_file(Handle h, const Path& path);
// In order from the handle's position; got = 0 at the end.
bool read(Handle h, std::uint8_t* dst, std::size_t n, std::size_t& got, std::error_code& ec);
// At an offset, leaving the position where it was; got = 0 past the end.
bool read_at(Handle h, std::uint8_t* dst, std::size_t n, std::uint64_t offset, std::size_t& got, std::error_code& ec);
// Up to n bytes in order, or at an offset (a handle written at offsets is
// written at offsets only: its position is then undefined); done = 0 means
// no space.
bool write(Handle h, const std::uint8_t* p, std::size_t n, std::size_t& done, std::error_code& ec);
bool write_at(Handle h, const std::uint8_t* p, std::size_t n, std::uint64_t offset, std::size_t& done,
              std::error_code& ec);
// Copies in the kernel from `from` at `offset` to `to` at `at`; returns how
// many bytes it moved (0 where it cannot, the caller then copies).
std::uint64_t copy_range(Handle from, std::uint64_t offset, Handle to, std::uint64_t at, std::uint64_t length) noexcept;
void reserve(Handle h, std::uint64_t length) noexcept;
// Flushes to the disk; a device or a pipe that cannot be flushed is no
// failure.
bool flush(Handle h, std::error_code& ec);

using Folder = file_io_detail::Folder;
bool open_folder(const Path& path, Folder& folder, std::error_code& ec);
void close(Folder& folder) noexcept;
bool flush_folder(const Folder& folder, std::error_code& ec);

// Opens what `path` names for writing as the system's own open would, the
// caller's rights applied, without creating or truncating anything. A link
// at the path itself is refused when !follow_links.
bool open_target(const Path& path, bool follow_links, Handle& h, std::error_code& ec);
// The same where the path is a dangling link: the file it names is created
// (empty, `mode`) as the system's own open would create it.
bool create_through_link(const Path& path, std::uint32_t mode, Handle& h, std::error_code& ec);
// The folder and the name of the regular file open at `h`, as the kernel
// reached it (links resolved by the open, not by hand).
bool locate(Handle h, Folder& folder, Path& name, std::error_code& ec);
bool is_link(const Path& path, bool& link, std::error_code& ec);
bool exists(const Path& path, bool& found, std::error_code& ec);  // links not followed

// A file with no name in `folder`; ENOTSUP where the system has none.
bool create_unnamed(const Folder& folder, bool owner_only, Handle& h, std::error_code& ec);
// A new file `name` in `folder` (EEXIST when the name is taken) that goes
// away by itself if the process dies before name_temporary.
bool create_temporary(const Folder& folder, const Path& name, bool owner_only, Handle& h, std::error_code& ec);
// A file in the system's temporary folder that no other process can open
// and that goes away when it is closed; `name` is used where the system
// needs one (EEXIST when it is taken).
bool create_scratch(const Path& name, Handle& h, std::error_code& ec);
// Whether create_temporary's files are already out of every other
// process's reach (no sharing) until they take their name.
extern const bool temporary_files_are_private;
// Gives an unnamed file the name `name` in `folder`; EEXIST when it is taken.
bool link_unnamed(Handle h, const Folder& folder, const Path& name, std::error_code& ec);
// Moves `from` (a temporary file open at `h`) over `to`, both in `folder`.
bool name_temporary(Handle h, const Folder& folder, const Path& from, const Path& to, std::error_code& ec);
void remove(const Folder& folder, const Path& name) noexcept;
bool rename_no_replace(const Path& from, const Path& to, std::error_code& ec);
// Owner, group and permission bits of the new file (POSIX only).
bool set_owner(Handle h, std::uint32_t owner, std::uint32_t group, std::error_code& ec);
bool set_mode(Handle h, std::uint32_t mode, std::error_code& ec);
std::uint32_t current_umask() noexcept;

bool make_private_folder(const Path& path, std::error_code& ec);  // EEXIST when it is there
bool lock_folder(const Path& folder, Handle& h, std::error_code& ec);

}  // namespace vellicor::native
