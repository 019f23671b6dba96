// The file layer on Linux: plain calls on file descriptors, and the pending
// file (O_TMPFILE, linkat, renameat, the hidden fallback) as
// file_io_native.hpp tells it.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/file_io_native.hpp"
#include "util/file_io_syscalls.hpp"

namespace vellicor::native {

namespace {

constinit Syscalls os;  // set before any constructor runs

int fd_of(Handle h) { return static_cast<int>(h); }

bool fail(std::error_code& ec, int error = errno) {
  ec.assign(error, std::generic_category());
  return false;
}

bool take(int fd, Handle& h, std::error_code& ec) {
  if (fd < 0) return fail(ec);
  h = fd;
  return true;
}

// The one identity test: 0 when `got` (the call that filled `other`)
// succeeded and the file open at `h` is the same file; else why not (ESTALE:
// another file).
int same_as(Handle h, int got, const struct stat& other) {
  struct stat st {};
  if (got != 0 || os.fstat(fd_of(h), &st) != 0) return errno;
  return st.st_dev == other.st_dev && st.st_ino == other.st_ino ? 0 : ESTALE;
}

// 0 while `name` in `folder` (no link followed) is the file open at `h`.
int still_named(Handle h, const Folder& folder, const Path& name) {
  struct stat named {};
  return same_as(h, os.fstatat(fd_of(folder.handle), name.c_str(), &named, AT_SYMLINK_NOFOLLOW), named);
}

// Whether the file open at `h` can be one that a creating open just made.
bool made_here(Handle h) {
  struct stat st {};
  return os.fstat(fd_of(h), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 && st.st_nlink == 1 &&
         st.st_uid == ::geteuid();
}

// A read or write call, made again where a signal interrupted it; its count
// in `n`.
template <typename Call>
bool counted(Call call, std::size_t& n, std::error_code& ec) {
  ssize_t r;
  while ((r = call()) < 0 && errno == EINTR) {
  }
  if (r < 0) return fail(ec);
  n = static_cast<std::size_t>(r);
  return true;
}

}  // namespace

Syscalls& syscalls() { return os; }

void close(Handle& h) noexcept {
  if (h != no_handle) os.close(fd_of(h));
  h = no_handle;
}

bool status(Handle h, Status& out, std::error_code& ec, bool) {
  struct stat st {};
  if (os.fstat(fd_of(h), &st) != 0) return fail(ec);
  out.kind = S_ISREG(st.st_mode) ? Kind::regular : S_ISDIR(st.st_mode) ? Kind::folder : Kind::other;
  out.size = out.kind == Kind::regular ? static_cast<std::uint64_t>(st.st_size) : 0;
  out.mode_known = true;
  out.mode = st.st_mode & 07777;
  out.uid = st.st_uid;
  out.gid = st.st_gid;
  out.owner = std::to_string(st.st_uid);
  out.owned_by_user = st.st_uid == ::geteuid();
  out.owned_by_admin = st.st_uid == 0;
  return true;
}

bool open_read(const Path& path, Handle& h, std::error_code& ec, const InputOptions& options) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | (options.follow_links ? 0 : O_NOFOLLOW) |
                    (options.non_blocking ? O_NONBLOCK : 0);
  return take(os.open(path.c_str(), flags, 0), h, ec);
}

bool same_file(Handle h, const Path& path) {
  struct stat named {};
  return same_as(h, os.stat(path.c_str(), &named), named) == 0;
}

bool read(Handle h, std::uint8_t* dst, std::size_t n, std::uint64_t offset, std::size_t& got, std::error_code& ec) {
  const auto at = static_cast<off_t>(offset);
  return counted([&] { return offset == in_order ? os.read(fd_of(h), dst, n) : os.pread(fd_of(h), dst, n, at); }, got, ec);
}

bool write(Handle h, const std::uint8_t* p, std::size_t n, std::uint64_t offset, std::size_t& done,
           std::error_code& ec) {
  const auto at = static_cast<off_t>(offset);
  return counted([&] { return offset == in_order ? os.write(fd_of(h), p, n) : os.pwrite(fd_of(h), p, n, at); }, done, ec);
}

std::uint64_t copy_in_kernel(Handle from, std::uint64_t offset, Handle to, std::uint64_t at, std::uint64_t length) {
  // As far as it goes: it may not between file systems.
  loff_t in = static_cast<loff_t>(offset), out = static_cast<loff_t>(at);
  for (std::uint64_t left = length; left > 0;) {
    const ssize_t n = os.copy_file_range(fd_of(from), &in, fd_of(to), &out, std::min<std::uint64_t>(left, 1u << 30), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    left -= static_cast<std::uint64_t>(n);
  }
  return static_cast<std::uint64_t>(in) - offset;
}

void widen_pipe(Handle h, std::size_t length) noexcept {
  // Only advice: a pipe that keeps its size (a user's limit, no pipe at all) is read as it is.
  (void)os.fcntl(fd_of(h), F_SETPIPE_SZ, static_cast<int>(length));
}

void reserve(Handle h, std::uint64_t length) noexcept {
  (void)os.fallocate(fd_of(h), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
}

bool flush(Handle h, std::error_code& ec) {
  if (os.fsync(fd_of(h)) == 0 || errno == EINVAL || errno == EROFS || errno == ENOTSUP) return true;
  return fail(ec);
}

bool open_folder(const Path& path, Folder& folder, std::error_code& ec) {
  close(folder.handle);
  int fd = os.open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  // A folder one may write in but not list is still a place for files.
  if (fd < 0 && errno == EACCES) fd = os.open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  folder.path = path;
  return take(fd, folder.handle, ec);
}

bool open_target(const Path& path, bool follow_links, Handle& h, std::error_code& ec) {
  const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | (follow_links ? 0 : O_NOFOLLOW);
  // Without waiting: a pipe with no reader answers ENXIO at once.
  if (!take(os.open(path.c_str(), flags | O_NONBLOCK, 0), h, ec)) {
    if (ec.value() != ENXIO) return false;
    // A pipe with no reader yet. Only a creating open lets the kernel refuse
    // another user's pipe in a sticky folder (fs.protected_fifos), and it
    // does so at once; the user's own pipe waits for its reader, as a plain
    // write to it would.
    if (!take(os.open(path.c_str(), flags | O_CREAT, 0600), h, ec)) return false;
    struct stat st {};
    if (os.fstat(fd_of(h), &st) != 0 || !S_ISFIFO(st.st_mode)) {
      close(h);
      return fail(ec, ESTALE);  // the pipe went away in between
    }
    return true;
  }
  // Opened again as a creating open, which creates nothing here (the file is
  // there) but lets the kernel apply what it applies to such opens only:
  // another user's file or pipe in a sticky world-writable folder
  // (fs.protected_regular, fs.protected_fifos).
  const int again = os.open(path.c_str(), flags | O_NONBLOCK | O_CREAT, 0600);
  struct stat second {};
  const bool same = again >= 0 && same_as(h, os.fstat(again, &second), second) == 0;
  const int error = again < 0 ? errno : ESTALE;  // ESTALE: replaced between the two opens
  if (again >= 0 && !same && made_here(again)) {
    // The target went between the two opens, and the creating one made an
    // empty file in its place: it goes again.
    Folder folder;
    Path name;
    std::error_code ignored;
    if (locate(again, path, folder, name, ignored)) remove_if_same(again, folder, name);
  }
  if (again >= 0) os.close(again);
  if (!same || os.fcntl(fd_of(h), F_SETFL, os.fcntl(fd_of(h), F_GETFL, 0) & ~O_NONBLOCK) != 0) {
    close(h);
    return fail(ec, error);
  }
  return true;
}

bool create_through_link(const Path& path, std::uint32_t mode, Handle& h, bool& created, std::error_code& ec) {
  // O_EXCL refuses every link, so whether this open made the file is told by
  // what it opened: an empty file of this user's with no other name.
  if (!take(os.open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, mode), h, ec)) return false;
  created = made_here(h);
  return true;
}

bool locate(Handle h, const Path& typed, Folder& folder, Path& name, std::error_code& ec) {
  char buffer[PATH_MAX];
  const ssize_t n = os.readlink(("/proc/self/fd/" + std::to_string(fd_of(h))).c_str(), buffer, sizeof buffer);
  Path where = typed;
  if (n > 0 && static_cast<std::size_t>(n) < sizeof buffer) {
    where = std::string(buffer, static_cast<std::size_t>(n));
  } else {
    // No /proc (a chroot, say): the folder of the path as typed, opened by
    // the kernel's rules for its links, where the path is itself no link.
    struct stat st {};
    if (os.lstat(typed.c_str(), &st) != 0) return fail(ec);
    if (S_ISLNK(st.st_mode)) return fail(ec, ELOOP);
  }
  if (!open_folder(where.parent_path().empty() ? Path(".") : where.parent_path(), folder, ec)) return false;
  name = where.filename();
  // The name in that folder must still be the file that was opened.
  const int error = still_named(h, folder, name);
  return error == 0 || fail(ec, error);
}

void remove_if_same(Handle h, const Folder& folder, const Path& name) noexcept {
  if (still_named(h, folder, name) == 0) os.unlinkat(fd_of(folder.handle), name.c_str(), 0);
}

bool lookup(const Path& path, Entry& entry, std::error_code& ec) {
  struct stat st {};
  entry = os.lstat(path.c_str(), &st) != 0 ? Entry::none : S_ISLNK(st.st_mode) ? Entry::link : Entry::other;
  return entry != Entry::none || errno == ENOENT || errno == ENOTDIR || fail(ec);
}

bool same_file(Handle a, Handle b) {
  struct stat other {};
  return same_as(a, os.fstat(fd_of(b), &other), other) == 0;
}

Handle standard_output() { return STDOUT_FILENO; }

bool duplicate_standard(Standard stream, Handle& h, std::error_code& ec) {
  return take(os.fcntl(stream == Standard::input ? STDIN_FILENO : STDOUT_FILENO, F_DUPFD_CLOEXEC, 0), h, ec);
}

void read_security(Handle target, std::vector<std::uint8_t>& security) {
  // The access ACL, where the file has one beyond its mode bits.
  security.clear();
  const ssize_t n = os.fgetxattr(fd_of(target), "system.posix_acl_access", nullptr, 0);
  if (n <= 0) return;
  security.resize(static_cast<std::size_t>(n));
  const ssize_t got = os.fgetxattr(fd_of(target), "system.posix_acl_access", security.data(), security.size());
  security.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
}

void read_origin(Handle source, std::vector<std::uint8_t>& origin) {
  origin.assign(4096, 0);
  const ssize_t n = os.fgetxattr(fd_of(source), "user.xdg.origin.url", origin.data(), origin.size());
  origin.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
}

// ---- the pending file

namespace {

// Hidden names of this run, removed by the signal handler. A handful at
// most: one output at a time, and its hidden link.
struct HiddenName {
  volatile sig_atomic_t used = 0;
  int folder = -1;
  char name[40] = {};
};
HiddenName g_hidden[4];

extern "C" void remove_hidden_and_die(int signal_number) {
  for (HiddenName& h : g_hidden)
    if (h.used != 0) os.unlinkat(h.folder, h.name, 0);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void remember_hidden(const Folder& folder, const Path& name) {
  static bool installed = false;
  if (!installed) {
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction action {};
      if (::sigaction(s, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;  // left ignored
      action.sa_handler = remove_hidden_and_die;
      sigemptyset(&action.sa_mask);
      action.sa_flags = 0;
      ::sigaction(s, &action, nullptr);
    }
    installed = true;
  }
  for (HiddenName& h : g_hidden) {
    if (h.used != 0) continue;
    h.folder = fd_of(folder.handle);
    std::strncpy(h.name, name.c_str(), sizeof h.name - 1);
    std::atomic_signal_fence(std::memory_order_release);  // the slot is whole before the handler may see it used
    h.used = 1;
    return;
  }
}

void forget_hidden(const Path& name) {
  for (HiddenName& h : g_hidden)
    if (h.used != 0 && name == h.name) h.used = 0;
}

// Gives the unnamed file at `h` the name `name`; EEXIST when it is taken.
bool link_in(Handle h, const Folder& folder, const Path& name, std::error_code& ec) {
  if (os.linkat(fd_of(h), "", fd_of(folder.handle), name.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno == EEXIST) return fail(ec);
  // Without the capability that AT_EMPTY_PATH needs, through /proc.
  const std::string self = "/proc/self/fd/" + std::to_string(fd_of(h));
  return os.linkat(AT_FDCWD, self.c_str(), fd_of(folder.handle), name.c_str(), AT_SYMLINK_FOLLOW) == 0 || fail(ec);
}

bool rename_in(int dir, const Path& from, const Path& to, Replace replace, std::error_code& ec) {
  if (replace == Replace::yes) return os.renameat(dir, from.c_str(), dir, to.c_str()) == 0 || fail(ec);
  if (os.renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return fail(ec);
  // A file system without the flag: a second name that cannot replace, then
  // the first one goes.
  if (os.linkat(dir, from.c_str(), dir, to.c_str(), 0) != 0) return fail(ec);
  os.unlinkat(dir, from.c_str(), 0);
  return true;
}

// The target's mode and ACL; where the ACL cannot be carried over, the mode
// for the owner alone, so the new file is never wider than the old one.
bool set_permissions(Handle h, const Kept& kept, std::error_code& ec) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const std::uint32_t mode = kept.exists ? kept.target.mode : kept.new_mode & ~mask & 07777;
  if (os.fchmod(fd_of(h), mode) != 0) return fail(ec);
  if (kept.security.empty()) return true;
  if (os.fsetxattr(fd_of(h), "system.posix_acl_access", kept.security.data(), kept.security.size(), 0) == 0) return true;
  const int error = errno;
  os.fchmod(fd_of(h), mode & 0700);
  return fail(ec, error);
}

}  // namespace

bool create_pending(const Folder& folder, Reach reach, std::uint32_t, const Path& hidden, Pending& pending,
                    std::error_code& ec) {
  pending = {no_handle, hidden};  // owner-only until it has its name: see publish
  const int fd = os.openat(fd_of(folder.handle), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return take(fd, pending.handle, ec);
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOTSUP) return fail(ec);  // offered, failed
  if (reach == Reach::nobody) return fail(ec, ENOTSUP);  // a named file is open to the user's other processes
  const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  if (!take(os.openat(fd_of(folder.handle), hidden.c_str(), flags, 0600), pending.handle, ec)) return false;
  pending.linked = true;
  remember_hidden(folder, hidden);
  return true;
}

bool publish(Pending& pending, const Folder& folder, const Path& name, const Kept& kept, Replace replace,
             std::error_code& ec, std::error_code& after) {
  if (!kept.origin.empty())
    (void)os.fsetxattr(fd_of(pending.handle), "user.xdg.origin.url", kept.origin.data(), kept.origin.size(), 0);
  // The owner and group where allowed; else the group alone; else the new
  // file stays this user's.
  if (kept.exists && os.fchown(fd_of(pending.handle), kept.target.uid, kept.target.gid) != 0)
    (void)os.fchown(fd_of(pending.handle), static_cast<uid_t>(-1), kept.target.gid);
  // A new target linked straight in has no hidden copy: its mode and ACL
  // come first, and the folder's flush after the link makes them last.
  const bool direct = !pending.linked && replace == Replace::no;
  if (direct) {
    if (!set_permissions(pending.handle, kept, ec) || !link_in(pending.handle, folder, name, ec)) return false;
  } else {
    if (!pending.linked) {
      if (!link_in(pending.handle, folder, pending.name, ec)) return false;
      pending.linked = true;
      remember_hidden(folder, pending.name);
    }
    if (!rename_in(fd_of(folder.handle), pending.name, name, replace, ec)) return false;
    forget_hidden(pending.name);
    pending.linked = false;
  }
  // Named: what follows cannot undo it, and the folder is flushed whatever
  // failed before it; the first failure is the one reported.
  std::error_code e;
  const auto note = [&](bool done) {
    if (!done && !after) after = e;
  };
  if (!direct) {
    note(set_permissions(pending.handle, kept, e));
    note(flush(pending.handle, e));
  }
  note(flush(folder.handle, e));
  return true;
}

void abandon(Pending& pending, const Folder& folder) noexcept {
  close(pending.handle);
  if (pending.linked) {
    os.unlinkat(fd_of(folder.handle), pending.name.c_str(), 0);
    forget_hidden(pending.name);
  }
  pending = {};
}

bool create_scratch(const Path&, Handle& h, std::error_code& ec) {
  const char* tmp = std::getenv("TMPDIR");
  for (const char* dir : {tmp, "/tmp"}) {
    if (dir == nullptr || *dir == '\0') continue;
    const int fd = os.open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return take(fd, h, ec);
  }
  return fail(ec);
}

bool rename_no_replace(const Path& from, const Path& to, std::error_code& ec) {
  return rename_in(AT_FDCWD, from, to, Replace::no, ec);
}

bool make_private_folder(const Path& path, std::error_code& ec) {
  if (os.mkdir(path.c_str(), 0700) != 0) return fail(ec);
  // The new entry lasts only once the folder that holds it is flushed.
  Folder parent;
  return open_folder(path.parent_path().empty() ? Path(".") : path.parent_path(), parent, ec) &&
         flush(parent.handle, ec);
}

bool lock_folder(const Path& folder, bool shared, Handle& h, std::error_code& ec) {
  if (!take(os.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0), h, ec)) return false;
  while (os.flock(fd_of(h), shared ? LOCK_SH : LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    fail(ec);
    close(h);
    return false;
  }
  return true;
}

}  // namespace vellicor::native
