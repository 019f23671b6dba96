#pragma once
// Whole-file reading and writing. The only place that talks to the operating
// system's file calls directly; nothing here prints.
//
// Reads fail on a short read. Writes go to a fresh temporary file beside the
// target that is renamed over it only once every byte is written and the file
// is closed, so a failed write never leaves a partial file and an existing
// target stays as it was. A target that exists and is not a regular file (a
// terminal, a pipe, /dev/null) is written in place; a symlink is followed and
// the file it names is replaced; an existing file keeps its permission bits.
//
// Where a `why` pointer is given, a failure stores a short reason there
// ("No such file or directory").

#include <cstdint>
#include <span>
#include <string>

#include "util/byte_buffer.hpp"

namespace vellicor {

bool read_whole_file(const std::string& path, ByteBuffer& out, std::string* why = nullptr);

bool write_whole_file(const std::string& path, ByteView data, std::string* why = nullptr);

// An open file to read from, for callers that read straight into a buffer of
// their own (the envelope, say) instead of through read_whole_file.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // False if the path cannot be opened or names a directory.
  bool open(const std::string& path, std::string* why = nullptr);
  // The size of a regular file; for other kinds (a pipe) it is unknown and
  // read_all must be used.
  bool size_known() const { return size_known_; }
  std::uint64_t size() const { return size_; }
  // Reads exactly n bytes; false on an error or an end of file before n.
  bool read_exact(std::uint8_t* dst, std::size_t n, std::string* why = nullptr);
  // Appends everything up to the end of the file, but stops once more than
  // `limit` bytes came in, so an endless source (/dev/zero) cannot exhaust
  // memory; the caller sees the overshoot in the size and refuses it.
  bool read_all(ByteBuffer& out, std::string* why = nullptr, std::uint64_t limit = UINT64_MAX);

 private:
  int fd_ = -1;
  bool size_known_ = false;
  std::uint64_t size_ = 0;
};

// New content for one file, written piece by piece and made visible by
// commit(). Destroying it uncommitted removes the temporary file.
class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // create_mode is used (less the umask) when the target does not exist yet.
  bool open(const std::string& path, unsigned create_mode = 0666, std::string* why = nullptr);
  bool write(ByteView data, std::string* why = nullptr);
  bool commit(std::string* why = nullptr);

 private:
  void discard() noexcept;

  int fd_ = -1;
  bool in_place_ = false;
  bool failed_ = false;
  std::string temp_path_;
  std::string final_path_;
};

}  // namespace vellicor
