#include "util/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

namespace vellicor {

namespace {

bool fail(std::string* why, int error) {
  if (why != nullptr) *why = std::strerror(error);
  return false;
}

bool fail_text(std::string* why, std::string_view text) {
  if (why != nullptr) *why = text;
  return false;
}

// One read call is capped so that a huge request is never split oddly by the
// kernel's own limit.
constexpr std::size_t kMaxIo = std::size_t{1} << 30;

bool write_all(int fd, const std::uint8_t* p, std::size_t n, std::string* why) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n < kMaxIo ? n : kMaxIo);
    if (w < 0) {
      if (errno == EINTR) continue;
      return fail(why, errno);
    }
    if (w == 0) return fail(why, ENOSPC);
    p += w;
    n -= static_cast<std::size_t>(w);
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

}  // namespace

bool read_whole_file(const std::string& path, ByteBuffer& out, std::string* why) {
  InputFile in;
  if (!in.open(path, why)) return false;
  ByteBuffer data;
  if (in.size_known()) {
    if (in.size() > data.max_size()) return fail(why, EFBIG);
    data.resize(static_cast<std::size_t>(in.size()));
    if (!in.read_exact(data.data(), data.size(), why)) return false;
  } else if (!in.read_all(data, why)) {
    return false;
  }
  out.swap(data);
  return true;
}

bool write_whole_file(const std::string& path, ByteView data, std::string* why) {
  AtomicFile file;
  return file.open(path, 0666, why) && file.write(data, why) && file.commit(why);
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool InputFile::open(const std::string& path, std::string* why) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return fail(why, errno);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return fail(why, errno);
  if (S_ISDIR(st.st_mode)) return fail(why, EISDIR);
  size_known_ = S_ISREG(st.st_mode);
  size_ = size_known_ ? static_cast<std::uint64_t>(st.st_size) : 0;
  return true;
}

bool InputFile::read_exact(std::uint8_t* dst, std::size_t n, std::string* why) {
  while (n > 0) {
    ssize_t r = ::read(fd_, dst, n < kMaxIo ? n : kMaxIo);
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail(why, errno);
    }
    if (r == 0) return fail_text(why, "file ended early (short read)");
    dst += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool InputFile::read_all(ByteBuffer& out, std::string* why, std::uint64_t limit) {
  constexpr std::size_t kStep = 1 << 16;
  const std::size_t start = out.size();
  for (;;) {
    if (out.size() - start > limit) return true;
    std::size_t have = out.size();
    out.resize(have + kStep);
    ssize_t r = ::read(fd_, out.data() + have, kStep);
    if (r < 0 && errno == EINTR) {
      out.resize(have);
      continue;
    }
    if (r < 0) {
      out.resize(have);
      return fail(why, errno);
    }
    out.resize(have + static_cast<std::size_t>(r));
    if (r == 0) return true;
  }
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!in_place_ && !temp_path_.empty()) ::unlink(temp_path_.c_str());
  temp_path_.clear();
}

bool AtomicFile::open(const std::string& path, unsigned create_mode, std::string* why) {
  discard();
  failed_ = false;
  in_place_ = false;
  if (path.empty()) return fail(why, ENOENT);

  struct stat st {};
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return fail(why, EISDIR);
  if (exists && !S_ISREG(st.st_mode)) {
    // Devices and pipes cannot be replaced by a rename; they get the bytes as is.
    in_place_ = true;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_TRUNC);
    return fd_ >= 0 || fail(why, errno);
  }
  if (!resolve_links(path, final_path_, why)) return false;

  std::string pattern = directory_of(final_path_) + "/." + base_name_of(final_path_) + ".tmp-XXXXXX";
  fd_ = ::mkstemp(pattern.data());
  if (fd_ < 0) return fail(why, errno);
  temp_path_ = pattern;
  mode_t mode;
  if (exists) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = static_cast<mode_t>(create_mode) & ~mask;
  }
  if (::fchmod(fd_, mode) != 0) {
    int e = errno;
    discard();
    return fail(why, e);
  }
  return true;
}

bool AtomicFile::write(ByteView data, std::string* why) {
  if (fd_ < 0 || failed_) return fail_text(why, "file is not open for writing");
  if (!write_all(fd_, data.data(), data.size(), why)) {
    failed_ = true;
    return false;
  }
  return true;
}

bool AtomicFile::commit(std::string* why) {
  if (fd_ < 0 || failed_) {
    discard();
    return fail_text(why, "file is not open for writing");
  }
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    int e = errno;
    discard();
    return fail(why, e);
  }
  if (in_place_) return true;
  if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0) {
    int e = errno;
    discard();
    return fail(why, e);
  }
  temp_path_.clear();
  return true;
}

}  // namespace vellicor
