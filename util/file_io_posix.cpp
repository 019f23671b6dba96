#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "util/file_io.hpp"
#include "util/file_io_failure.hpp"

namespace vellicor {

namespace {

using file_io_failure::fail;
using file_io_failure::fail_text;

std::atomic<bool> g_unnamed_allowed{true};

int as_fd(std::intptr_t handle) { return static_cast<int>(handle); }

void close_handle(std::intptr_t& handle) noexcept {
  if (handle >= 0) ::close(as_fd(handle));
  handle = -1;
}

// One read or write call is capped so that a huge request is never split
// oddly by the kernel's own limit.
constexpr std::size_t kMaxIo = std::size_t{1} << 30;

// Writes every byte, in order at the file's position or, given an offset,
// there (without moving the position).
constexpr std::int64_t kAtPosition = -1;

bool write_all(int fd, const std::uint8_t* p, std::size_t n, std::string* why, std::int64_t offset = kAtPosition) {
  while (n > 0) {
    const std::size_t chunk = n < kMaxIo ? n : kMaxIo;
    ssize_t w = offset == kAtPosition ? ::write(fd, p, chunk) : ::pwrite(fd, p, chunk, static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      return fail(why, errno);
    }
    if (w == 0) return fail(why, ENOSPC);
    p += w;
    n -= static_cast<std::size_t>(w);
    if (offset != kAtPosition) offset += w;
  }
  return true;
}

bool pread_exact(int fd, std::uint8_t* dst, std::size_t n, std::uint64_t offset, std::string* why) {
  while (n > 0) {
    ssize_t r = ::pread(fd, dst, n < kMaxIo ? n : kMaxIo, static_cast<off_t>(offset));
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail(why, errno);
    }
    if (r == 0) return fail_text(why, "file ended early (short read)");
    dst += r;
    n -= static_cast<std::size_t>(r);
    offset += static_cast<std::uint64_t>(r);
  }
  return true;
}

std::string directory_of(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_name_of(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symlinks by hand so that a dangling link still names the file to
// create, and the temporary file lands beside the real target.
bool resolve_links(std::string path, std::string& resolved, std::string* why) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      resolved = path;
      return true;
    }
    char target[PATH_MAX];
    ssize_t len = ::readlink(path.c_str(), target, sizeof target - 1);
    if (len < 0) return fail(why, errno);
    std::string link(target, static_cast<std::size_t>(len));
    path = (link.front() == '/') ? link : directory_of(path) + "/" + link;
  }
  return fail(why, ELOOP);
}

// The errors with which a kernel or file system says it has no unnamed files.
bool unnamed_not_offered(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOTSUP;
}

// A name for a hidden temporary file beside `base`, different on each call.
std::string temp_name(const std::string& dir, const std::string& base) {
  static std::atomic<unsigned> counter{0};
  const auto now = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  const unsigned long long mix = now ^ (static_cast<unsigned long long>(::getpid()) << 32) ^ (counter++ * 0x9E3779B9ULL);
  static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix;
  unsigned long long v = mix;
  for (int i = 0; i < 6; ++i, v /= 36) suffix += digits[v % 36];
  return dir + "/." + base + ".tmp-" + suffix;
}

// Gives an unnamed file a name; false with EEXIST when the name is taken.
bool link_unnamed(int fd, const std::string& name, std::string* why) {
  if (::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno == EEXIST) return fail(why, EEXIST);
  // Without the capability that AT_EMPTY_PATH needs, go through /proc.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  return fail(why, errno);
}

// After a rename or link the folder entry is made durable too. A file system
// that cannot flush a folder (EINVAL) has nothing more to do.
bool sync_folder(const std::string& dir, std::string* why) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail(why, errno);
  int rc = ::fsync(fd);
  int e = errno;
  ::close(fd);
  if (rc != 0 && e != EINVAL && e != EROFS) return fail(why, e);
  return true;
}

std::string scratch_folder() {
  const char* tmp = std::getenv("TMPDIR");
  return (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
}

}  // namespace

void set_unnamed_files_allowed(bool allowed) { g_unnamed_allowed.store(allowed); }

InputFile::~InputFile() { close_handle(fd_); }

bool InputFile::open(const std::string& path, std::string* why) {
  close_handle(fd_);
  in_memory_ = false;
  ByteBuffer().swap(slurped_);
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return fail(why, errno);
  struct stat st {};
  if (::fstat(as_fd(fd_), &st) != 0) return fail(why, errno);
  if (S_ISDIR(st.st_mode)) return fail(why, EISDIR);
  size_known_ = S_ISREG(st.st_mode);
  size_ = size_known_ ? static_cast<std::uint64_t>(st.st_size) : 0;
  return true;
}

bool InputFile::read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::string* why) const {
  if (in_memory_) return MemorySource(slurped_).read_at(offset, dst, n, why);
  return pread_exact(as_fd(fd_), dst, n, offset, why);
}

bool InputFile::read_some(std::uint8_t* dst, std::size_t n, std::size_t& got, std::string* why) {
  for (;;) {
    ssize_t r = ::read(as_fd(fd_), dst, n < kMaxIo ? n : kMaxIo);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return fail(why, errno);
    got = static_cast<std::size_t>(r);
    return true;
  }
}

bool InputFile::unchanged_at_end(std::string* why) {
  if (!size_known_) return true;
  struct stat st {};
  if (::fstat(as_fd(fd_), &st) != 0) return fail(why, errno);
  std::uint8_t probe = 0;
  std::size_t got = 0;
  if (!read_some(&probe, 1, got, why)) return false;
  if (got != 0 || static_cast<std::uint64_t>(st.st_size) != size_) return fail_text(why, "file changed size");
  return true;
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() noexcept {
  close_handle(fd_);
  close_handle(target_fd_);
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
  temp_path_.clear();
}

bool AtomicFile::open_temp(const std::string& dir, const std::string& base, unsigned mode, std::string* why) {
  (void)mode;
  int error = EOPNOTSUPP;
  if (g_unnamed_allowed.load()) {
    // No path reaches this file, and its mode stays owner-only until commit.
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_ = fd;
      unnamed_ = true;
      return true;
    }
    error = errno;
    if (!unnamed_not_offered(error)) return fail(why, error);
  }
  if (kind_ == TempFile::unnamed_only) {
    unnamed_refused_ = true;
    return fail(why, error);
  }
  std::string pattern = dir + "/." + base + ".tmp-XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) return fail(why, errno);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  fd_ = fd;
  temp_path_ = pattern;
  return true;
}

bool AtomicFile::open(const std::string& path, unsigned create_mode, std::string* why) {
  discard();
  failed_ = false;
  unnamed_ = false;
  unnamed_refused_ = false;
  written_ = 0;
  final_path_.clear();
  if (path.empty()) return fail(why, ENOENT);

  struct stat st {};
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return fail(why, EISDIR);
  if (exists && !S_ISREG(st.st_mode)) {
    // Devices and pipes cannot be replaced by a rename: the content is put
    // together in a scratch file and handed over in order at commit.
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_TRUNC);
    if (fd < 0) return fail(why, errno);
    target_fd_ = fd;
    if (!open_temp(scratch_folder(), "vellicor-scratch", 0600, why)) {
      close_handle(target_fd_);
      return false;
    }
    if (!temp_path_.empty()) {
      ::unlink(temp_path_.c_str());
      temp_path_.clear();
    }
    return true;
  }
  if (!resolve_links(path, final_path_, why)) return false;

  if (exists) {
    mode_ = st.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode_ = static_cast<mode_t>(create_mode) & ~mask;
  }
  return open_temp(directory_of(final_path_), base_name_of(final_path_), mode_, why);
}

bool AtomicFile::write(ByteView data, std::string* why) {
  if (fd_ < 0 || failed_) return fail_text(why, "file is not open for writing");
  if (!write_all(as_fd(fd_), data.data(), data.size(), why)) {
    failed_ = true;
    return false;
  }
  written_ += data.size();
  return true;
}

bool AtomicFile::write_at(std::uint64_t offset, ByteView data, std::string* why) {
  if (fd_ < 0 || failed_) return fail_text(why, "file is not open for writing");
  if (offset > written_ || data.size() > written_ - offset) return fail_text(why, "write past the bytes written");
  if (!write_all(as_fd(fd_), data.data(), data.size(), why, static_cast<std::int64_t>(offset))) {
    failed_ = true;
    return false;
  }
  return true;
}

bool AtomicFile::copy_from(const PositionedSource& source, std::uint64_t offset, std::uint64_t length,
                           std::string* why) {
  if (fd_ < 0 || failed_) return fail_text(why, "file is not open for writing");
  if (offset > source.size() || length > source.size() - offset) return fail_text(why, "file ended early (short read)");
  const auto* file = dynamic_cast<const InputFile*>(&source);
  if (file != nullptr && !file->in_memory_) {
    // In the kernel, without a trip through user memory where it can.
    loff_t in_at = static_cast<loff_t>(offset);
    std::uint64_t left = length;
    while (left > 0) {
      ssize_t n = ::copy_file_range(as_fd(file->fd_), &in_at, as_fd(fd_), nullptr, left < kMaxIo ? left : kMaxIo, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // not offered here, or the source ended: the plain copy below sorts it out
      left -= static_cast<std::uint64_t>(n);
      written_ += static_cast<std::uint64_t>(n);
    }
    offset += length - left;
    length = left;
  }
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
  if (fd_ >= 0 && target_fd_ < 0 && length > 0)
    (void)::fallocate(as_fd(fd_), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
}

bool AtomicFile::deliver_in_place(std::string* why) {
  ByteBuffer block(write_block_length);
  for (std::uint64_t at = 0; at < written_;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(written_ - at, block.size()));
    if (!pread_exact(as_fd(fd_), block.data(), n, at, why) || !write_all(as_fd(target_fd_), block.data(), n, why))
      return false;
    at += n;
  }
  // A device or a pipe may not flush; that is no failure of the write.
  if (::fsync(as_fd(target_fd_)) != 0 && errno != EINVAL && errno != EROFS && errno != ENOTSUP) return fail(why, errno);
  return true;
}

bool AtomicFile::name_it(std::string* why) {
  if (!unnamed_) {
    if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0) return fail(why, errno);
    temp_path_.clear();
    return true;
  }
  // A new target takes the file's name at once. An existing one is replaced
  // by a rename, for which the file needs a name first.
  std::string error;
  if (link_unnamed(as_fd(fd_), final_path_, &error)) return true;
  if (error != std::strerror(EEXIST)) return fail_text(why, error);
  const std::string dir = directory_of(final_path_);
  const std::string base = base_name_of(final_path_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = temp_name(dir, base);
    if (!link_unnamed(as_fd(fd_), temp, &error)) {
      if (error == std::strerror(EEXIST)) continue;
      return fail_text(why, error);
    }
    if (::rename(temp.c_str(), final_path_.c_str()) != 0) {
      int e = errno;
      ::unlink(temp.c_str());
      return fail(why, e);
    }
    return true;
  }
  return fail(why, EEXIST);
}

bool AtomicFile::commit(std::string* why) {
  if (fd_ < 0 || failed_) {
    discard();
    return fail_text(why, "file is not open for writing");
  }
  bool ok = true;
  if (target_fd_ >= 0) {
    ok = deliver_in_place(why);
    if (ok && ::close(as_fd(target_fd_)) != 0) ok = fail(why, errno);
    target_fd_ = -1;
    discard();
    return ok;
  }
  // Flushed before it takes the name, and the folder after.
  if (::fchmod(as_fd(fd_), mode_) != 0 || ::fsync(as_fd(fd_)) != 0) ok = fail(why, errno);
  if (ok && !unnamed_ && ::close(as_fd(fd_)) != 0) ok = fail(why, errno);
  if (!unnamed_) fd_ = -1;
  if (ok) ok = name_it(why);
  if (ok) ok = sync_folder(directory_of(final_path_), why);
  discard();
  return ok;
}

FolderLock::~FolderLock() { close_handle(fd_); }

bool FolderLock::lock(const std::string& folder, std::string* why) {
  close_handle(fd_);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail(why, errno);
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    int e = errno;
    ::close(fd);
    return fail(why, e);
  }
  fd_ = fd;
  return true;
}

}  // namespace vellicor
