#pragma once
// Every file-system call of the program goes through here; nothing here
// prints.
//
// Reads fail on a short read. New content for a file is written to a
// temporary file beside the target: an unnamed one where the kernel offers it
// (so a killed process leaves nothing behind), otherwise a hidden named one.
// It is flushed to disk, then takes the target's name, and then the folder is
// flushed, so the target is either as it was or complete, also after a power
// cut. A target that exists and is not a regular file (a terminal, a pipe,
// /dev/null) gets the finished bytes in place; a symlink is followed and the
// file it names is replaced; an existing file keeps its permission bits.
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

// Bytes that can be read at any position: an open file, or bytes in memory.
class PositionedSource {
 public:
  virtual ~PositionedSource() = default;
  virtual std::uint64_t size() const = 0;
  // Reads exactly n bytes at `offset`; false on an error or past the end.
  virtual bool read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::string* why = nullptr) const = 0;
};

class MemorySource final : public PositionedSource {
 public:
  explicit MemorySource(ByteView bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::string* why = nullptr) const override;

 private:
  ByteView bytes_;
};

// An open file to read from, in order or at positions.
class InputFile final : public PositionedSource {
 public:
  InputFile() = default;
  ~InputFile() override;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // False if the path cannot be opened or names a directory.
  bool open(const std::string& path, std::string* why = nullptr);
  // The same, for reading at positions: a source that cannot seek (a pipe) is
  // read whole into memory here, stopping with EFBIG past `limit` bytes.
  bool open_positioned(const std::string& path, std::uint64_t limit, std::string* why = nullptr);

  // The size of a regular file; for other kinds (a pipe) it is unknown.
  bool size_known() const { return size_known_; }
  std::uint64_t size() const override { return size_; }
  bool read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::string* why = nullptr) const override;

  // Reads exactly n bytes in order; false on an error or an end before n.
  bool read_exact(std::uint8_t* dst, std::size_t n, std::string* why = nullptr);
  // Reads up to n bytes in order, fewer only at the end; got = 0 is the end.
  bool read_some(std::uint8_t* dst, std::size_t n, std::size_t& got, std::string* why = nullptr);
  // Appends everything up to the end of the file, but stops once more than
  // `limit` bytes came in, so an endless source (/dev/zero) cannot exhaust
  // memory; the caller sees the overshoot in the size and refuses it.
  bool read_all(ByteBuffer& out, std::string* why = nullptr, std::uint64_t limit = UINT64_MAX);
  // True when a regular file is still the size it had when opened and has
  // nothing more to read: it did not grow or shrink while it was read.
  bool unchanged_at_end(std::string* why = nullptr);

 private:
  friend class AtomicFile;
  std::intptr_t fd_ = -1;
  bool size_known_ = false;
  std::uint64_t size_ = 0;
  ByteBuffer slurped_;  // a pipe opened for positioned reads
  bool in_memory_ = false;
};

// Which temporary file may hold the new content before it is complete.
enum class TempFile {
  unnamed_or_named,  // unnamed where the kernel offers it, else a hidden named one
  unnamed_only,      // unnamed or nothing: for bytes that must never be reachable by a path
};

// New content for one file, written in order or at positions, and made the
// target by commit(). Destroying it uncommitted leaves the target as it was
// and no file behind.
class AtomicFile {
 public:
  explicit AtomicFile(TempFile kind = TempFile::unnamed_or_named) : kind_(kind) {}
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // create_mode is used (less the umask) when the target does not exist yet.
  // With TempFile::unnamed_only, unnamed_refused() tells whether open failed
  // only because no unnamed file can be made there.
  bool open(const std::string& path, unsigned create_mode = 0666, std::string* why = nullptr);
  bool unnamed_refused() const { return unnamed_refused_; }
  bool is_unnamed() const { return unnamed_; }

  bool write(ByteView data, std::string* why = nullptr);
  // Writes data in blocks of write_block_length.
  bool write_in_blocks(ByteView data, std::string* why = nullptr);
  // Overwrites bytes already written.
  bool write_at(std::uint64_t offset, ByteView data, std::string* why = nullptr);
  // Appends `length` bytes of `source` from `offset`, in kernel where it can.
  bool copy_from(const PositionedSource& source, std::uint64_t offset, std::uint64_t length, std::string* why = nullptr);
  std::uint64_t size() const { return written_; }
  // Advice that about `length` bytes will be written: the file system may
  // set the space aside at once instead of block by block.
  void expect(std::uint64_t length) noexcept;

  bool commit(std::string* why = nullptr);

 private:
  void discard() noexcept;
  bool open_temp(const std::string& dir, const std::string& base, unsigned mode, std::string* why);
  bool name_it(std::string* why);
  bool deliver_in_place(std::string* why);

  TempFile kind_;
  // Handles are file descriptors on POSIX and HANDLEs on Windows; -1 is none.
  std::intptr_t fd_ = -1;         // the temporary file
  std::intptr_t target_fd_ = -1;  // a target that is not a regular file, written at commit
  bool unnamed_ = false;
  bool unnamed_refused_ = false;
  bool failed_ = false;
  std::uint64_t written_ = 0;
  unsigned mode_ = 0600;   // the permission bits the target gets
  std::string temp_path_;  // a named temporary file, to remove on failure
  std::string final_path_;
};

// Large writes go out in blocks of this size: a block copied while it is still
// in the cache is several times faster than one call for the whole buffer.
inline constexpr std::size_t write_block_length = std::size_t{1} << 20;

// An exclusive lock on a folder, held until destruction; blocks until it is
// free. Other processes taking the same lock wait for this one.
class FolderLock {
 public:
  FolderLock() = default;
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool lock(const std::string& folder, std::string* why = nullptr);

 private:
  std::intptr_t fd_ = -1;
};

// For tests: pretend that no file system offers unnamed files, so the
// fallbacks run.
void set_unnamed_files_allowed(bool allowed);

}  // namespace vellicor
