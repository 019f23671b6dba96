#pragma once
// Every file-system call of the program goes through here; nothing here
// prints. The logic is written once (file_io.cpp) over a few calls per
// platform (file_io_native.hpp).
//
// Which file is the target is the kernel's decision: the path is first
// opened for writing as a plain open would (links followed with the caller's
// rights, read-only files refused). New content goes to a pending file
// beside the file that open reached, out of other users' reach; it is
// flushed, takes the target's name and its owner, group and permissions
// where the process may set them, and the folder is flushed, so the target
// is either as it was or complete, also after a power cut. A target that is
// not a regular file (a terminal, a pipe, /dev/null) gets the finished bytes
// in place.
//
// The path "-" names the process's standard streams: InputFile reads
// standard input in order, AtomicFile hands the finished bytes to standard
// output, and is_same_file compares with standard output. A file named "-"
// is reached as "./-".
//
// Where a `why` pointer is given, a failure stores its reason there: the
// system's error, or one of the layer's own (FileError).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "util/byte_buffer.hpp"

namespace vellicor {

inline constexpr std::string_view standard_stream = "-";

// The layer's own reasons for a failure, beside the system's.
enum class FileError { short_read = 1, not_open, past_written, changed_size };
const std::error_category& file_error_category();
inline std::error_code make_error_code(FileError e) { return {static_cast<int>(e), file_error_category()}; }
// Whether a failure was the temporary folder's (full, or not writable), not
// the file's: open_positioned copying a pipe.
bool in_temporary_folder(const std::error_code& ec);

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

// An open file to read from, in order or at positions.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // False if the path cannot be opened or names a directory.
  bool open(const std::string& path, std::error_code* why = nullptr);
  bool open(const std::string& path, const InputOptions& options, std::error_code* why = nullptr);
  bool owner_status(OwnerStatus& out, std::error_code* why = nullptr) const;
  // Whether `path`, links followed, names this very file (device and inode,
  // so another name or a hard link too); false where it names nothing.
  bool is_same_file(const std::string& path) const;
  // The same, for reading at positions. A source that cannot seek is copied
  // into an unnamed temporary file first: only while it starts with
  // `must_start_with` (a source that does not is kept to its first bytes, for
  // the caller to refuse), and failing with EFBIG past `limit` bytes.
  bool open_positioned(const std::string& path, std::uint64_t limit, ByteView must_start_with = {},
                       std::error_code* why = nullptr);
  // Lets go of the file: an output over it can then replace it at once on
  // Windows, which replaces no open file.
  void close() noexcept;

  // The size of a regular file (or of the copy of a source that cannot seek);
  // for a source read in order only, it is unknown.
  bool size_known() const { return size_known_; }
  std::uint64_t size() const { return size_; }
  bool read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::error_code* why = nullptr) const;

  // Reads exactly n bytes in order; false on an error or an end before n.
  bool read_exact(std::uint8_t* dst, std::size_t n, std::error_code* why = nullptr);
  // Reads up to n bytes in order, fewer only at the end; got = 0 is the end.
  bool read_some(std::uint8_t* dst, std::size_t n, std::size_t& got, std::error_code* why = nullptr);
  // True when a regular file is still the size it had when opened and has
  // nothing more to read: it did not grow or shrink while it was read.
  bool unchanged_at_end(std::error_code* why = nullptr);

 private:
  friend class AtomicFile;
  bool spool(std::uint64_t limit, ByteView must_start_with, std::error_code* why);

  std::intptr_t handle_ = -1;
  bool size_known_ = false;
  std::uint64_t size_ = 0;
};

// Who may reach the new content before it is complete.
enum class TempFile {
  // The user's own processes at most: an unnamed file where the kernel
  // offers it, else a hidden owner-only one beside the target.
  unnamed_or_named,
  // No other process, ever: an unnamed file beside the target, or else one in
  // the temporary folder that is copied to the target at commit (for bytes
  // that must never be reachable before they are verified).
  private_only,
};

struct OutputOptions {
  unsigned create_mode = 0666;  // less the umask, for a target that does not exist yet
                                // (on Windows, a mode for the owner alone gives a DACL
                                // for the user alone)
  bool follow_links = true;     // false: a link at the path is refused, never written through
};

// New content for one file, written in order or at positions, and made the
// target by commit(). Destroying it uncommitted leaves the target as it was
// and no file behind.
//
// Its states, each holding at most one file of new content:
//   closed   nothing open: before open, after commit, after any failure of
//            open or commit.
//   beside   the content is a pending file in the target's folder (unnamed,
//            or hidden and out of other users' reach); commit flushes it and
//            gives it the target's name.
//   scratch  the content is put together in a scratch file and delivered at
//            commit: in order where the target is no regular file (a
//            terminal, a pipe, /dev/null, the process's own standard
//            output), else, for private content where the target's folder
//            can keep no file from every other process, copied into a
//            pending file beside the target and named as in `beside`.
//   broken   a write failed: nothing more is written, commit fails, the
//            target stays as it was.
class AtomicFile {
 public:
  explicit AtomicFile(TempFile kind = TempFile::unnamed_or_named);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  bool open(const std::string& path, const OutputOptions& options = {}, std::error_code* why = nullptr);

  bool write(ByteView data, std::error_code* why = nullptr);
  // Overwrites bytes already written.
  bool write_at(std::uint64_t offset, ByteView data, std::error_code* why = nullptr);
  // Appends `length` bytes of `source` from `offset`, in kernel where it can.
  bool copy_from(const InputFile& source, std::uint64_t offset, std::uint64_t length, std::error_code* why = nullptr);
  std::uint64_t size() const;
  // Advice that about `length` bytes will be written: the file system may
  // set the space aside at once instead of block by block.
  void expect(std::uint64_t length) noexcept;

  // The new file carries the mark of where `source` came from (a download's
  // Mark of the Web), so the system still warns of its content.
  void carry_origin(const InputFile& source);

  // False only while the target is still as it was. A failure after the
  // target took its name (flushing its folder) is no failure of the write:
  // commit succeeds and the reason is in after_naming_warning().
  bool commit(std::error_code* why = nullptr);
  const std::error_code& after_naming_warning() const { return warning_; }

 private:
  struct State;
  bool open_beside(std::error_code* why);
  bool open_standard_output(std::error_code* why);
  bool open_in_order(std::intptr_t device, std::error_code* why);
  TempFile kind_;
  std::unique_ptr<State> state_;
  std::error_code warning_;
};

// Where opened plaintext goes before its tag has verified: an AtomicFile that
// no other process can reach (TempFile::private_only). Where the target
// cannot be opened at all, the blocks go nowhere, so that the caller still
// checks the tag (and says so) before commit reports the failure.
class PlaintextSink {
 public:
  PlaintextSink(const std::string& path, std::uint64_t length);
  void put(ByteView block);
  // The restored file is marked as coming from where `source` came from.
  void carry_origin(const InputFile& source) { file_.carry_origin(source); }
  // Only after the tag has verified: the file is flushed and takes its name.
  bool commit(std::error_code* why = nullptr);
  const std::error_code& after_naming_warning() const { return file_.after_naming_warning(); }

 private:
  AtomicFile file_{TempFile::private_only};
  std::error_code failed_;  // why the target could not be opened or written
};

// Large writes go out in blocks of this size: a block copied while it is still
// in the cache is several times faster than one call for the whole buffer.
inline constexpr std::size_t write_block_length = std::size_t{1} << 20;

// A lock on a folder, held until destruction; blocks until it is free. An
// exclusive holder waits for every other holder, shared ones only for an
// exclusive one.
enum class LockKind { exclusive, shared };
class FolderLock {
 public:
  FolderLock() = default;
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool lock(const std::string& folder, std::error_code* ec = nullptr, LockKind kind = LockKind::exclusive);

 private:
  std::intptr_t handle_ = -1;
};

// Creates a folder for the user alone (0700 on POSIX, a DACL of the user's on
// Windows) and flushes the folder that holds it, so that the new entry
// survives a power cut. `created` tells whether it was made here (false when
// it was there already, which is no failure).
bool make_private_folder(const std::string& path, bool& created, std::error_code* why = nullptr);

// Whether a path reaches the file the process's standard output writes to
// (/dev/stdout, /proc/self/fd/1, or the same file by another name).
bool names_standard_output(const std::string& path);

// Whether a path names anything at all, links not followed (a dangling link
// counts); false with a reason in `why` when the system cannot tell.
bool entry_exists(const std::string& path, bool& exists, std::error_code* why = nullptr);
// Renames within one folder without replacing: fails where `to` exists.
bool rename_no_replace(const std::string& from, const std::string& to, std::error_code* why = nullptr);

}  // namespace vellicor

template <>
struct std::is_error_code_enum<vellicor::FileError> : std::true_type {};
