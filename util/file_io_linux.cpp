// The file layer's system calls on Linux (O_TMPFILE, copy_file_range and
// /proc/self/fd are Linux's own). Nothing here decides anything: see
// file_io.cpp for the logic.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "util/file_io_native.hpp"

namespace vellicor::native {

namespace {

int fd_of(Handle h) { return static_cast<int>(h); }

bool fail(std::error_code& ec, int error = errno) {
  ec.assign(error, std::generic_category());
  return false;
}

// The errors with which a kernel or file system says it has no unnamed files.
bool unnamed_not_offered(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOTSUP;
}

bool take(int fd, Handle& h, std::error_code& ec) {
  if (fd < 0) return fail(ec);
  h = fd;
  return true;
}

}  // namespace

void close(Handle& h) noexcept {
  if (h != no_handle) ::close(fd_of(h));
  h = no_handle;
}

void close(Folder& folder) noexcept { close(folder.handle); }

bool status(Handle h, Status& out, std::error_code& ec) {
  struct stat st {};
  if (::fstat(fd_of(h), &st) != 0) return fail(ec);
  out.kind = S_ISREG(st.st_mode) ? Kind::regular : S_ISDIR(st.st_mode) ? Kind::directory : Kind::other;
  out.size = out.kind == Kind::regular ? static_cast<std::uint64_t>(st.st_size) : 0;
  out.mode = st.st_mode & 07777;
  out.owner = st.st_uid;
  out.group = st.st_gid;
  return true;
}

bool open_read(const Path& path, Handle& h, std::error_code& ec, const InputOptions& options) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | (options.follow_links ? 0 : O_NOFOLLOW) |
                    (options.non_blocking ? O_NONBLOCK : 0);
  return take(::open(path.c_str(), flags), h, ec);
}

bool owner_status(Handle h, OwnerStatus& out, std::error_code& ec) {
  struct stat st {};
  if (::fstat(fd_of(h), &st) != 0) return fail(ec);
  out.kind = S_ISREG(st.st_mode) ? OwnerStatus::Kind::regular
             : S_ISDIR(st.st_mode) ? OwnerStatus::Kind::folder
                                   : OwnerStatus::Kind::other;
  out.mode_known = true;
  out.mode = st.st_mode & 07777;
  out.owner = std::to_string(st.st_uid);
  out.owned_by_user = st.st_uid == ::geteuid();
  out.owned_by_admin = st.st_uid == 0;
  return true;
}

bool same_file(Handle h, const Path& path) {
  struct stat opened {}, named {};
  return ::fstat(fd_of(h), &opened) == 0 && ::stat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
}

bool read(Handle h, std::uint8_t* dst, std::size_t n, std::size_t& got, std::error_code& ec) {
  ssize_t r;
  while ((r = ::read(fd_of(h), dst, n)) < 0 && errno == EINTR) {
  }
  if (r < 0) return fail(ec);
  got = static_cast<std::size_t>(r);
  return true;
}

bool read_at(Handle h, std::uint8_t* dst, std::size_t n, std::uint64_t offset, std::size_t& got, std::error_code& ec) {
  ssize_t r;
  while ((r = ::pread(fd_of(h), dst, n, static_cast<off_t>(offset))) < 0 && errno == EINTR) {
  }
  if (r < 0) return fail(ec);
  got = static_cast<std::size_t>(r);
  return true;
}

bool write(Handle h, const std::uint8_t* p, std::size_t n, std::size_t& done, std::error_code& ec) {
  ssize_t w;
  while ((w = ::write(fd_of(h), p, n)) < 0 && errno == EINTR) {
  }
  if (w < 0) return fail(ec);
  done = static_cast<std::size_t>(w);
  return true;
}

bool write_at(Handle h, const std::uint8_t* p, std::size_t n, std::uint64_t offset, std::size_t& done,
              std::error_code& ec) {
  ssize_t w;
  while ((w = ::pwrite(fd_of(h), p, n, static_cast<off_t>(offset))) < 0 && errno == EINTR) {
  }
  if (w < 0) return fail(ec);
  done = static_cast<std::size_t>(w);
  return true;
}

std::uint64_t copy_range(Handle from, std::uint64_t offset, Handle to, std::uint64_t at, std::uint64_t length) noexcept {
  loff_t in = static_cast<loff_t>(offset), out = static_cast<loff_t>(at);
  std::uint64_t moved = 0;
  while (moved < length) {
    const std::uint64_t left = length - moved;
    ssize_t n = ::copy_file_range(fd_of(from), &in, fd_of(to), &out, left < (1u << 30) ? left : (1u << 30), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // not offered here, or the source ended: the caller copies the rest
    moved += static_cast<std::uint64_t>(n);
  }
  return moved;
}

void reserve(Handle h, std::uint64_t length) noexcept {
  (void)::fallocate(fd_of(h), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
}

bool flush(Handle h, std::error_code& ec) {
  if (::fsync(fd_of(h)) == 0 || errno == EINVAL || errno == EROFS || errno == ENOTSUP) return true;
  return fail(ec);
}

bool open_folder(const Path& path, Folder& folder, std::error_code& ec) {
  close(folder);
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A folder one may write in but not list is still a place for files.
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  folder.path = path;
  return take(fd, folder.handle, ec);
}

bool flush_folder(const Folder& folder, std::error_code& ec) {
  if (::fsync(fd_of(folder.handle)) == 0 || errno == EINVAL || errno == EROFS) return true;
  return fail(ec);
}

bool open_target(const Path& path, bool follow_links, Handle& h, std::error_code& ec) {
  const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | (follow_links ? 0 : O_NOFOLLOW);
  if (!take(::open(path.c_str(), flags), h, ec)) return false;
  // Opened again as a creating open, which creates nothing here (the file is
  // there) but lets the kernel apply what it applies to such opens only:
  // another user's file or pipe in a sticky world-writable folder
  // (fs.protected_regular, fs.protected_fifos).
  const int again = ::open(path.c_str(), flags | O_CREAT, 0600);
  if (again < 0) {
    fail(ec);
    close(h);
    return false;
  }
  struct stat first {}, second {};
  const bool same = ::fstat(fd_of(h), &first) == 0 && ::fstat(again, &second) == 0 && first.st_dev == second.st_dev &&
                    first.st_ino == second.st_ino;
  ::close(again);
  if (!same) {
    close(h);
    return fail(ec, ESTALE);  // replaced between the two opens
  }
  return true;
}

bool create_through_link(const Path& path, std::uint32_t mode, Handle& h, std::error_code& ec) {
  return take(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, mode), h, ec);
}

bool locate(Handle h, Folder& folder, Path& name, std::error_code& ec) {
  std::error_code ignored;
  const Path where = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd_of(h)), ec);
  if (ec) return false;
  if (!open_folder(where.parent_path(), folder, ec)) return false;
  name = where.filename();
  // The name in that folder must still be the file that was opened.
  struct stat opened {}, named {};
  if (::fstat(fd_of(h), &opened) != 0 || ::fstatat(fd_of(folder.handle), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
    return fail(ec);
  if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) return fail(ec, ESTALE);
  return true;
}

bool is_link(const Path& path, bool& link, std::error_code& ec) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return fail(ec);
  link = S_ISLNK(st.st_mode);
  return true;
}

bool exists(const Path& path, bool& found, std::error_code& ec) {
  struct stat st {};
  found = ::lstat(path.c_str(), &st) == 0;
  return found || errno == ENOENT || errno == ENOTDIR || fail(ec);
}

bool create_unnamed(const Folder& folder, bool owner_only, Handle& h, std::error_code& ec) {
  (void)owner_only;  // the mode is owner-only until commit sets the target's
  const int fd = ::openat(fd_of(folder.handle), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && unnamed_not_offered(errno)) return fail(ec, ENOTSUP);
  return take(fd, h, ec);
}

bool create_temporary(const Folder& folder, const Path& name, bool owner_only, Handle& h, std::error_code& ec) {
  (void)owner_only;
  return take(::openat(fd_of(folder.handle), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600),
              h, ec);
}

// A named temporary file can be opened by the user's other processes.
const bool temporary_files_are_private = false;

bool create_scratch(const Path& name, Handle& h, std::error_code& ec) {
  (void)name;  // unnamed: nothing to name
  const char* tmp = std::getenv("TMPDIR");
  for (const char* dir : {tmp, "/tmp"}) {
    if (dir == nullptr || *dir == '\0') continue;
    const int fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return take(fd, h, ec);
  }
  return fail(ec);
}

bool link_unnamed(Handle h, const Folder& folder, const Path& name, std::error_code& ec) {
  if (::linkat(fd_of(h), "", fd_of(folder.handle), name.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno == EEXIST) return fail(ec);
  // Without the capability that AT_EMPTY_PATH needs, through /proc.
  const std::string self = "/proc/self/fd/" + std::to_string(fd_of(h));
  if (::linkat(AT_FDCWD, self.c_str(), fd_of(folder.handle), name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  return fail(ec);
}

bool name_temporary(Handle h, const Folder& folder, const Path& from, const Path& to, std::error_code& ec) {
  (void)h;
  const int dir = fd_of(folder.handle);
  return ::renameat(dir, from.c_str(), dir, to.c_str()) == 0 || fail(ec);
}

void remove(const Folder& folder, const Path& name) noexcept {
  if (folder.handle != no_handle) ::unlinkat(fd_of(folder.handle), name.c_str(), 0);
}

bool rename_no_replace(const Path& from, const Path& to, std::error_code& ec) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return fail(ec);
  // A file system without the flag: a second name that cannot replace, then
  // the first one goes.
  if (::link(from.c_str(), to.c_str()) != 0) return fail(ec);
  ::unlink(from.c_str());
  return true;
}

bool set_owner(Handle h, std::uint32_t owner, std::uint32_t group, std::error_code& ec) {
  return ::fchown(fd_of(h), owner, group) == 0 || fail(ec);
}

bool set_mode(Handle h, std::uint32_t mode, std::error_code& ec) { return ::fchmod(fd_of(h), mode) == 0 || fail(ec); }

std::uint32_t current_umask() noexcept {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

bool make_private_folder(const Path& path, std::error_code& ec) { return ::mkdir(path.c_str(), 0700) == 0 || fail(ec); }

bool lock_folder(const Path& folder, Handle& h, std::error_code& ec) {
  if (!take(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), h, ec)) return false;
  while (::flock(fd_of(h), LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    fail(ec);
    close(h);
    return false;
  }
  return true;
}

}  // namespace vellicor::native
