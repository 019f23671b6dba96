// The whole-file helpers on Windows. Reads go through the C runtime's file
// descriptors; writes go to a temporary file beside the target, which is
// flushed to disk (FlushFileBuffers) and then moved over the target in one
// step (MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
// A target that another program holds open cannot be replaced: the move
// fails, the temporary file is removed, and the target stays as it was.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "util/file_io.hpp"
#include "util/platform.hpp"
#include "util/windows_error.hpp"

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

bool fail_last_error(std::string* why) {
  const DWORD code = ::GetLastError();
  if (why != nullptr) *why = windows_error_text(code);
  return false;
}

// The C runtime counts in unsigned int; one call moves at most this much.
constexpr std::size_t kMaxIo = std::size_t{1} << 30;

bool write_all(int fd, const std::uint8_t* p, std::size_t n, std::string* why) {
  while (n > 0) {
    const int w = ::_write(fd, p, static_cast<unsigned>(n < kMaxIo ? n : kMaxIo));
    if (w < 0) return fail(why, errno);
    if (w == 0) return fail(why, ENOSPC);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Everything up to the last separator, or "" for a bare name; a bare drive
// keeps its colon ("C:" for "C:name").
std::wstring directory_part(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L"\\/:");
  if (cut == std::wstring::npos) return L"";
  return path.substr(0, cut + 1);
}

std::wstring base_name_part(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L"\\/:");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// A fresh, unguessable name beside the target, created so that no other
// program may open it while it is being written.
HANDLE create_temporary_beside(const std::wstring& target, std::wstring& temp_path, std::string* why) {
  static const wchar_t kHex[] = L"0123456789abcdef";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::uint8_t noise[6];
    std::string random_why;
    if (!system_random(noise, sizeof noise, &random_why)) {
      fail_text(why, random_why);
      return INVALID_HANDLE_VALUE;
    }
    std::wstring name = directory_part(target) + L"." + base_name_part(target) + L".tmp-";
    for (std::uint8_t b : noise) {
      name.push_back(kHex[b >> 4]);
      name.push_back(kHex[b & 15]);
    }
    HANDLE h = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      temp_path = name;
      return h;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) {
      fail_last_error(why);
      return INVALID_HANDLE_VALUE;
    }
  }
  fail_text(why, "no free name for a temporary file");
  return INVALID_HANDLE_VALUE;
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
  if (fd_ >= 0) ::_close(fd_);
}

bool InputFile::open(const std::string& path, std::string* why) {
  if (fd_ >= 0) ::_close(fd_);
  fd_ = -1;
  const std::wstring native = to_native_path(path).native();
  const DWORD attributes = ::GetFileAttributesW(native.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return fail(why, EISDIR);
  fd_ = ::_wopen(native.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd_ < 0) return fail(why, errno);
  struct _stat64 st {};
  if (::_fstat64(fd_, &st) != 0) return fail(why, errno);
  size_known_ = (st.st_mode & _S_IFMT) == _S_IFREG;
  size_ = size_known_ ? static_cast<std::uint64_t>(st.st_size) : 0;
  return true;
}

bool InputFile::read_exact(std::uint8_t* dst, std::size_t n, std::string* why) {
  while (n > 0) {
    const int r = ::_read(fd_, dst, static_cast<unsigned>(n < kMaxIo ? n : kMaxIo));
    if (r < 0) return fail(why, errno);
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
    const std::size_t have = out.size();
    out.resize(have + kStep);
    const int r = ::_read(fd_, out.data() + have, kStep);
    if (r < 0) {
      // A pipe whose writer has gone reads as its end, as on POSIX.
      const int e = errno;
      out.resize(have);
      if (e == EPIPE) return true;
      return fail(why, e);
    }
    out.resize(have + static_cast<std::size_t>(r));
    if (r == 0) return true;
  }
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() noexcept {
  if (fd_ >= 0) ::_close(fd_);
  fd_ = -1;
  if (!in_place_ && !temp_path_.empty()) ::DeleteFileW(to_native_path(temp_path_).c_str());
  temp_path_.clear();
}

bool AtomicFile::open(const std::string& path, unsigned create_mode, std::string* why) {
  (void)create_mode;  // no POSIX modes: a new file takes its folder's ACL
  discard();
  failed_ = false;
  in_place_ = false;
  if (path.empty()) return fail(why, ENOENT);
  const std::wstring target = to_native_path(path).native();

  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return fail(why, EISDIR);
  // A device ("NUL", "CON") cannot be replaced by a move; it gets the bytes as is.
  HANDLE existing = ::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (existing != INVALID_HANDLE_VALUE) {
    if (::GetFileType(existing) != FILE_TYPE_DISK) {
      fd_ = ::_open_osfhandle(reinterpret_cast<intptr_t>(existing), _O_WRONLY | _O_BINARY);
      if (fd_ < 0) {
        ::CloseHandle(existing);
        return fail(why, errno);
      }
      in_place_ = true;
      return true;
    }
    ::CloseHandle(existing);
  }

  std::wstring temp;
  HANDLE h = create_temporary_beside(target, temp, why);
  if (h == INVALID_HANDLE_VALUE) return false;
  fd_ = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  if (fd_ < 0) {
    const int e = errno;
    ::CloseHandle(h);
    ::DeleteFileW(temp.c_str());
    return fail(why, e);
  }
  // Kept as narrow text like the rest of the class; converted back on use.
  if (!to_narrow_text(std::filesystem::path(temp), temp_path_) || !to_narrow_text(std::filesystem::path(target), final_path_)) {
    ::_close(fd_);
    fd_ = -1;
    ::DeleteFileW(temp.c_str());
    temp_path_.clear();
    return fail_text(why, "the file name does not convert back to the system code page");
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
  if (in_place_) {
    const int fd = fd_;
    fd_ = -1;
    return ::_close(fd) == 0 || fail(why, errno);
  }
  HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd_));
  if (!::FlushFileBuffers(h)) {
    const bool reported = fail_last_error(why);
    discard();
    return reported;
  }
  const int fd = fd_;
  fd_ = -1;
  if (::_close(fd) != 0) {
    const int e = errno;
    discard();
    return fail(why, e);
  }
  const std::wstring temp = to_native_path(temp_path_).native();
  const std::wstring target = to_native_path(final_path_).native();
  if (!::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const bool reported = fail_last_error(why);
    discard();
    return reported;
  }
  temp_path_.clear();
  return true;
}

}  // namespace vellicor
