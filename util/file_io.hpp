#pragma once
// Every file-system call of the program goes through here; nothing here
// prints. The logic is written once (file_io.cpp) over a few calls per
// platform (file_io_native.hpp).
//
// Reads fail on a short read. A source that cannot seek (a pipe, a terminal,
// /dev/zero) is copied, where positions are needed, into a temporary file
// that no path reaches, never into memory.
//
// New content for a file goes to a temporary file beside the target: an
// unnamed one where the kernel offers it (so a killed process leaves nothing
// behind), otherwise a hidden one. It is flushed, then takes the target's
// name, and then the folder is flushed, so the target is either as it was or
// complete, also after a power cut.
//
// Which file is the target is the kernel's decision, not this layer's: the
// path is first opened for writing as a plain open would (links followed with
// the caller's rights, read-only files refused), and the new file is put
// beside the file that open reached. A target that is not a regular file (a
// terminal, a pipe, /dev/null) gets the finished bytes in place. An existing
// file keeps its owner, group and permission bits where the process may set
// them.
//
// Where a `why` pointer is given, a failure stores a short reason there
// ("No such file or directory").

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "util/byte_buffer.hpp"

namespace vellicor {

namespace file_io_detail {
// A folder that new files are made in: on Linux an open handle, so that every
// later step happens in the folder that was opened; on Windows its path.
struct Folder {
  std::filesystem::path path;
  std::intptr_t handle = -1;
};
}  // namespace file_io_detail

bool read_whole_file(const std::string& path, ByteBuffer& out, std::string* why = nullptr);

bool write_whole_file(const std::string& path, ByteView data, std::string* why = nullptr);

// How InputFile::open reaches what it opens (for the key files: no link at
// the path, no wait for a pipe's writer, and the key folder itself).
struct InputOptions {
  bool follow_links = true;   // false: a link at the path itself fails (ELOOP)
  bool non_blocking = false;  // a pipe or a device opens at once, never waits
  bool allow_folder = false;  // a folder opens too, for its owner and mode
};

// What an opened file or folder is and who owns it, as the kernel reports it.
struct OwnerStatus {
  enum class Kind { regular, folder, other } kind = Kind::other;
  bool mode_known = false;  // POSIX permission bits; Windows has none
  std::uint32_t mode = 0;
  std::string owner;            // the uid, or the owner's SID on Windows
  bool owned_by_user = false;   // the user this process runs as
  bool owned_by_admin = false;  // root; Administrators or SYSTEM on Windows
};

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
  bool open(const std::string& path, const InputOptions& options, std::string* why = nullptr);
  bool owner_status(OwnerStatus& out, std::string* why = nullptr) const;
  // Whether `path`, links followed, names this very file (device and inode,
  // so another name or a hard link too); false where it names nothing.
  bool is_same_file(const std::string& path) const;
  // Lets go of the file: an output over it can then replace it at once on
  // Windows, which replaces no open file.
  void close() noexcept;
  // The same, for reading at positions. A source that cannot seek is copied
  // into an unnamed temporary file first: only while it starts with
  // `must_start_with` (a source that does not is kept to its first bytes, for
  // the caller to refuse), and failing with EFBIG past `limit` bytes.
  bool open_positioned(const std::string& path, std::uint64_t limit, ByteView must_start_with = {},
                       std::string* why = nullptr);

  // The size of a regular file (or of the copy of a source that cannot seek);
  // for a source read in order only, it is unknown.
  bool size_known() const { return size_known_; }
  std::uint64_t size() const override { return size_; }
  bool read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::string* why = nullptr) const override;

  // Reads exactly n bytes in order; false on an error or an end before n.
  bool read_exact(std::uint8_t* dst, std::size_t n, std::string* why = nullptr);
  // Reads up to n bytes in order, fewer only at the end; got = 0 is the end.
  bool read_some(std::uint8_t* dst, std::size_t n, std::size_t& got, std::string* why = nullptr);
  // True when a regular file is still the size it had when opened and has
  // nothing more to read: it did not grow or shrink while it was read.
  bool unchanged_at_end(std::string* why = nullptr);

 private:
  friend class AtomicFile;
  bool spool(std::uint64_t limit, ByteView must_start_with, std::string* why);

  std::intptr_t handle_ = -1;
  bool size_known_ = false;
  std::uint64_t size_ = 0;
};

// Who may reach the new content before it is complete.
enum class TempFile {
  // An unnamed file where the kernel offers it, else a hidden named one.
  unnamed_or_named,
  // No other process, ever: an unnamed file beside the target, or else one in
  // the temporary folder that is copied to the target at commit (for bytes
  // that must never be reachable before they are verified).
  private_only,
};

struct OutputOptions {
  unsigned create_mode = 0666;  // less the umask, for a target that does not exist yet
  bool follow_links = true;     // false: a link at the path is refused, never written through
  bool owner_only = false;      // Windows: the file gets a DACL for the user alone
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

  bool open(const std::string& path, const OutputOptions& options = {}, std::string* why = nullptr);
  // The new content has no name while it is written (Linux's unnamed files).
  bool is_unnamed() const { return unnamed_; }

  bool write(ByteView data, std::string* why = nullptr);
  // Overwrites bytes already written.
  bool write_at(std::uint64_t offset, ByteView data, std::string* why = nullptr);
  // Appends `length` bytes of `source` from `offset`, in kernel where it can.
  bool copy_from(const PositionedSource& source, std::uint64_t offset, std::uint64_t length, std::string* why = nullptr);
  std::uint64_t size() const { return written_; }
  // Advice that about `length` bytes will be written: the file system may
  // set the space aside at once instead of block by block.
  void expect(std::uint64_t length) noexcept;

  // False only while the target is still as it was. A failure after the
  // target took its name (flushing its folder) is no failure of the write:
  // commit succeeds and the reason is in after_naming_warning().
  bool commit(std::string* why = nullptr);
  const std::string& after_naming_warning() const { return warning_; }

 private:
  void discard() noexcept;
  bool open_temporary(std::string* why);
  bool name_it(std::string* why);
  bool deliver(std::intptr_t to, std::uint64_t at, std::string* why);

  TempFile kind_;
  OutputOptions options_;
  std::intptr_t handle_ = -1;         // the temporary file
  std::intptr_t device_ = -1;         // a target that is not a regular file, written in place at commit
  file_io_detail::Folder folder_;     // where the target's name is
  std::filesystem::path name_;        // the target's name in that folder
  std::filesystem::path temp_name_;   // a named temporary file in folder_, removed unless it took the name
  std::filesystem::path placeholder_; // an empty file this open made at a dangling link's target
  bool unnamed_ = false;
  bool staged_ = false;  // private content kept in the temporary folder, copied over at commit
  bool existed_ = false;
  bool failed_ = false;
  std::uint64_t written_ = 0;
  std::uint32_t mode_ = 0600;
  std::uint32_t owner_ = UINT32_MAX, group_ = UINT32_MAX;  // UINT32_MAX: leave as created
  std::string warning_;
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
  std::intptr_t handle_ = -1;
};

// Creates a folder for the user alone (0700 on POSIX, a DACL of the user's on
// Windows) and flushes the folder that holds it, so that the new entry
// survives a power cut. `created` tells whether it was made here (false when
// it was there already, which is no failure).
bool make_private_folder(const std::string& path, bool& created, std::string* why = nullptr);

// Whether a path names anything at all, links not followed (a dangling link
// counts); false with a reason in `why` when the system cannot tell.
bool entry_exists(const std::string& path, bool& exists, std::string* why = nullptr);
// Renames within one folder without replacing: fails where `to` exists.
bool rename_no_replace(const std::string& from, const std::string& to, std::string* why = nullptr);

// For tests: pretend that no file system offers unnamed files, so the
// fallbacks run.
void set_unnamed_files_allowed(bool allowed);

}  // namespace vellicor
