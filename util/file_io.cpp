// The parts of the file layer that are the same on every platform, built on
// the platform's own InputFile and AtomicFile calls.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/file_io.hpp"
#include "util/file_io_failure.hpp"

namespace vellicor {

using file_io_failure::fail;
using file_io_failure::fail_text;

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
  return file.open(path, 0666, why) && file.write_in_blocks(data, why) && file.commit(why);
}

bool MemorySource::read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::string* why) const {
  if (offset > bytes_.size() || n > bytes_.size() - offset) return fail_text(why, "file ended early (short read)");
  if (n > 0) std::memcpy(dst, bytes_.data() + offset, n);
  return true;
}

bool InputFile::open_positioned(const std::string& path, std::uint64_t limit, std::string* why) {
  if (!open(path, why)) return false;
  if (size_known_) return true;
  if (!read_all(slurped_, why, limit)) return false;
  if (slurped_.size() > limit) return fail(why, EFBIG);
  in_memory_ = true;
  size_ = slurped_.size();
  return true;
}

bool InputFile::read_exact(std::uint8_t* dst, std::size_t n, std::string* why) {
  std::size_t got = 0;
  while (n > 0) {
    if (!read_some(dst, n, got, why)) return false;
    if (got == 0) return fail_text(why, "file ended early (short read)");
    dst += got;
    n -= got;
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
    std::size_t got = 0;
    if (!read_some(out.data() + have, kStep, got, why)) {
      out.resize(have);
      return false;
    }
    out.resize(have + got);
    if (got == 0) return true;
  }
}

bool AtomicFile::write_in_blocks(ByteView data, std::string* why) {
  for (std::size_t at = 0; at < data.size(); at += write_block_length)
    if (!write(data.subspan(at, std::min(write_block_length, data.size() - at)), why)) return false;
  return true;
}

}  // namespace vellicor
