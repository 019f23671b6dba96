// The file layer's logic, once for every platform, over the calls of
// file_io_native.hpp.
#include "util/file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/file_io_native.hpp"
#include "util/platform.hpp"
#include "util/secret.hpp"

namespace vellicor {

namespace {

using native::Handle;
using native::no_handle;
using native::Path;

bool fail(std::error_code* why, const std::error_code& ec) {
  if (why != nullptr) *why = ec;
  return false;
}
bool fail(std::error_code* why, std::errc e) { return fail(why, std::make_error_code(e)); }
bool fail(std::error_code* why, FileError e) { return fail(why, make_error_code(e)); }
bool short_read(std::error_code* why) { return fail(why, FileError::short_read); }

// The layer's own reasons, and the temporary folder's failures (the
// system's reason, told apart by its category).
class FileErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "file"; }
  std::string message(int code) const override {
    static const char* const kTexts[] = {"file error", "file ended early (short read)", "file is not open for writing",
                                         "write past the bytes written", "file changed size"};
    return kTexts[code >= 1 && code <= static_cast<int>(FileError::changed_size) ? code : 0];
  }
};
class TemporaryFolderCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "temporary folder"; }
  std::string message(int code) const override { return std::generic_category().message(code); }
};
const TemporaryFolderCategory temporary_folder_category;

bool fail_in_temporary_folder(std::error_code* why, const std::error_code& ec) {
  return fail(why, ec.category() == std::generic_category() ? std::error_code(ec.value(), temporary_folder_category) : ec);
}

// Moves all n bytes with `call` (native::read or native::write), at `offset`
// or in order (native::in_order), one call at most 1 GiB, so that a huge
// request is never split oddly by the system's own limit; `ended` is the
// answer to a call that moved nothing.
template <typename Call, typename Byte>
bool move_all(Call call, Handle h, Byte* p, std::size_t n, std::uint64_t offset, std::error_code ended,
              std::error_code* why) {
  for (std::size_t at = 0, done = 0; at < n; at += done) {
    std::error_code ec;
    if (!call(h, p + at, std::min<std::size_t>(n - at, std::size_t{1} << 30), offset, done, ec)) return fail(why, ec);
    if (done == 0) return fail(why, ended);
    if (offset != native::in_order) offset += done;
  }
  return true;
}

bool read_all(Handle h, std::uint8_t* dst, std::size_t n, std::uint64_t offset, std::error_code* why) {
  return move_all(native::read, h, dst, n, offset, FileError::short_read, why);
}

bool write_all(Handle h, const std::uint8_t* p, std::size_t n, std::uint64_t offset, std::error_code* why) {
  return move_all(native::write, h, p, n, offset, std::make_error_code(std::errc::no_space_on_device), why);
}



// Writes `length` bytes of `from` at `offset` to `to` at `at` (in order for
// native::in_order): in the kernel as far as it goes, the rest a block at a
// time through memory (FileError::short_read where `from` ended early). The
// block may hold verified plaintext: it is wiped on every way out.
bool copy(Handle from, std::uint64_t offset, Handle to, std::uint64_t at, std::uint64_t length, std::error_code* why) {
  const std::uint64_t moved = at == native::in_order ? 0 : native::copy_in_kernel(from, offset, to, at, length);
  offset += moved;
  length -= moved;
  if (at != native::in_order) at += moved;
  SecretBytes block(static_cast<std::size_t>(std::min<std::uint64_t>(length, write_block_length)));
  for (std::size_t n = 0; length > 0; offset += n, length -= n) {
    n = static_cast<std::size_t>(std::min<std::uint64_t>(length, block.size()));
    if (!read_all(from, block.data(), n, offset, why) || !write_all(to, block.data(), n, at, why)) return false;
    if (at != native::in_order) at += n;
  }
  return true;
}

// Calls `attempt` with fresh hidden names (".vellicor-<random>": short beside
// any target name, unguessable) until one is not taken (EEXIST), for at most
// 100 names.
template <typename Attempt>
bool with_fresh_name(Attempt attempt, std::error_code& ec) {
  static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int tries = 0; tries < 100; ++tries) {
    std::uint8_t noise[12];
    if (!system_random(noise, sizeof noise)) {
      ec = std::make_error_code(std::errc::io_error);
      return false;
    }
    std::string name = ".vellicor-";
    for (std::uint8_t b : noise) name.push_back(kDigits[b % 36]);
    if (attempt(Path(name))) return true;
    if (ec != std::errc::file_exists) return false;
  }
  return false;
}

bool create_pending(const native::Folder& folder, native::Reach reach, std::uint32_t mode, native::Pending& pending,
                    std::error_code& ec) {
  return with_fresh_name([&](const Path& n) { return native::create_pending(folder, reach, mode, n, pending, ec); }, ec);
}

bool open_scratch(Handle& h, std::error_code* why) {
  std::error_code ec;
  return with_fresh_name([&](const Path& hidden) { return native::create_scratch(hidden, h, ec); }, ec) || fail(why, ec);
}

bool not_open(std::error_code* why) { return fail(why, FileError::not_open); }

// A path as the program holds it (UTF-8), as the system takes it.
Path system_path(const std::string& path) { return to_system_path(to_native_path(path)); }

bool is_standard_output(Handle h) {
  const Handle out = native::standard_output();
  return out != no_handle && native::same_file(h, out);
}

}  // namespace

const std::error_category& file_error_category() {
  static const FileErrorCategory category;
  return category;
}

bool in_temporary_folder(const std::error_code& ec) { return &ec.category() == &temporary_folder_category; }

// ---- reading

InputFile::~InputFile() { close(); }

void InputFile::close() noexcept { native::close(handle_); }

bool InputFile::open(const std::string& path, std::error_code* why) { return open(path, InputOptions{}, why); }

bool InputFile::open(const std::string& path, const InputOptions& options, std::error_code* why) {
  native::close(handle_);
  size_known_ = false;
  size_ = 0;
  std::error_code ec;
  native::Status st;
  // Standard input is read in order from where it stands, a redirected file
  // as a pipe: its size is not taken.
  const bool standard = path == standard_stream;
  if (!(standard ? native::duplicate_standard(native::Standard::input, handle_, ec)
                 : native::open_read(system_path(path), handle_, ec, options)) ||
      !native::status(handle_, st, ec)) {
    native::close(handle_);
    return fail(why, ec);
  }
  if (st.kind == native::Kind::folder && !options.allow_folder) {
    native::close(handle_);
    return fail(why, std::errc::is_a_directory);
  }
  size_known_ = st.kind == native::Kind::regular && !standard;
  if (st.kind == native::Kind::other) native::widen_pipe(handle_, write_block_length);
  size_ = size_known_ ? st.size : 0;
  return true;
}

bool InputFile::owner_status(OwnerStatus& out, std::error_code* why) const {
  std::error_code ec;
  native::Status st;
  if (!native::status(handle_, st, ec, true)) return fail(why, ec);
  out = st;
  return true;
}

bool InputFile::is_same_file(const std::string& path) const {
  if (path == standard_stream) return handle_ != no_handle && is_standard_output(handle_);
  return handle_ != no_handle && native::same_file(handle_, system_path(path));
}

bool InputFile::open_positioned(const std::string& path, std::uint64_t limit, ByteView must_start_with,
                                std::error_code* why) {
  if (!open(path, why)) return false;
  return size_known_ || spool(limit, must_start_with, why);
}

// The source is copied in order into a scratch file, which then stands in
// for it: memory stays one block at any size, and an endless source stops at
// the limit or at its first byte that breaks the expected start.
bool InputFile::spool(std::uint64_t limit, ByteView must_start_with, std::error_code* why) {
  Handle scratch = no_handle;
  std::error_code ec;
  if (!open_scratch(scratch, &ec)) return fail_in_temporary_folder(why, ec);
  SecretBytes block(write_block_length);
  const std::size_t start = must_start_with.size();
  std::uint64_t total = 0;
  bool ok = true, breaks = false;
  for (std::size_t got = 1; ok && got > 0 && !breaks; total += got) {
    // The expected start is read on its own, so that a source that breaks it
    // is not read any further.
    ok = read_some(block.data(), total < start ? start - total : block.size(), got, why) &&
         (total + got <= limit || fail(why, std::errc::file_too_large)) &&
         (write_all(scratch, block.data(), got, total, &ec) || fail_in_temporary_folder(why, ec));
    breaks = ok && total < start && std::memcmp(block.data(), must_start_with.data() + total, got) != 0;
  }
  native::close(handle_);
  if (!ok) {
    native::close(scratch);
    return false;
  }
  handle_ = scratch;
  size_known_ = true;
  size_ = total;
  return true;
}

bool InputFile::read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::error_code* why) const {
  if (offset > size_ || n > size_ - offset) return short_read(why);
  return read_all(handle_, dst, n, offset, why);
}

bool InputFile::read_some(std::uint8_t* dst, std::size_t n, std::size_t& got, std::error_code* why) {
  std::error_code ec;
  if (!native::read(handle_, dst, std::min<std::size_t>(n, std::size_t{1} << 30), native::in_order, got, ec))
    return fail(why, ec);
  return true;
}

bool InputFile::read_exact(std::uint8_t* dst, std::size_t n, std::error_code* why) {
  return read_all(handle_, dst, n, native::in_order, why);
}

bool InputFile::unchanged_at_end(std::error_code* why) {
  if (!size_known_) return true;
  native::Status st;
  std::error_code ec;
  if (!native::status(handle_, st, ec)) return fail(why, ec);
  std::uint8_t probe = 0;
  std::size_t got = 0;
  if (!read_some(&probe, 1, got, why)) return false;
  if (got != 0 || st.size != size_) return fail(why, FileError::changed_size);
  return true;
}

// ---- writing

struct AtomicFile::State {
  enum class Route { closed, scratch, beside, broken };
  Route route = Route::closed;
  Handle content = no_handle;  // scratch: the content
  Handle device = no_handle;   // scratch, where the target is a device: written in order at commit
  native::Pending pending;     // beside: the new file
  native::Folder folder;       // beside, staged: where the target's name is
  Path name;                   // the target's name in that folder
  native::Kept kept;           // what the new file takes over
  Handle placeholder = no_handle;  // an empty file this open made at a dangling link's target
  std::uint64_t written = 0;

  ~State() { close(); }
  // Back to `closed`: every file of new content closed and removed, the
  // placeholder too, the target as it was.
  void close() noexcept {
    native::close(content);
    native::close(device);
    native::abandon(pending, folder);
    if (placeholder != no_handle) native::remove_if_same(placeholder, folder, name);
    native::close(placeholder);
    route = Route::closed;
  }
  Handle file() const { return route == Route::beside ? pending.handle : content; }
  bool writable() const { return route == Route::scratch || route == Route::beside; }
};

AtomicFile::AtomicFile(TempFile kind) : kind_(kind), state_(std::make_unique<State>()) {}
AtomicFile::~AtomicFile() = default;

std::uint64_t AtomicFile::size() const { return state_->written; }

bool AtomicFile::open(const std::string& path, const OutputOptions& options, std::error_code* why) {
  State& s = *state_;
  s.close();
  s.written = 0;
  s.kept = {};
  s.kept.new_mode = options.create_mode & 07777;
  warning_.clear();
  if (path.empty()) return fail(why, std::errc::no_such_file_or_directory);
  std::error_code ec;
  if (path == standard_stream) return open_standard_output(why);
  const Path target = to_native_path(path);
  const Path system = to_system_path(target);

  // The kernel says which file the path reaches, and whether this process
  // may write it, by opening it as a plain open would.
  Handle reached = no_handle;
  bool opened = native::open_target(system, options.follow_links, reached, ec);
  if (!opened && ec == std::errc::no_such_file_or_directory) {
    native::Entry entry = native::Entry::none;
    std::error_code link_ec;
    if (options.follow_links && native::lookup(system, entry, link_ec) && entry == native::Entry::link) {
      // A dangling link: its target is created as a plain open would (the
      // placeholder), and removed again as the new file takes its name or
      // when nothing is committed; one another process made first is an
      // existing target like any other, never removed.
      bool created = false;
      if (!native::create_through_link(system, s.kept.new_mode, reached, created, ec)) return fail(why, ec);
      opened = true;
      if (created) {
        if (!native::locate(reached, system, s.folder, s.name, ec)) {
          native::remove_if_same(reached, s.folder, s.name);
          native::close(reached);
          return fail(why, ec);
        }
        s.placeholder = reached;
        return open_beside(why);
      }
    }
  }
  if (!opened) {
    if (ec != std::errc::no_such_file_or_directory) return fail(why, ec);
    const Path folder = target.parent_path().empty() ? Path(".") : target.parent_path();
    s.name = target.filename();
    if (s.name.empty()) return fail(why, std::errc::is_a_directory);
    // The name as the system takes the whole path: Windows drops trailing
    // dots and blanks from a plain path, which the extended-length folder
    // would keep.
    if (s.name != "." && s.name != ".." && system.has_filename()) s.name = system.filename();
    if (!native::open_folder(to_system_path(folder), s.folder, ec)) return fail(why, ec);
    return open_beside(why);
  }
  native::Status st;
  bool ok = native::status(reached, st, ec) || fail(why, ec);
  if (ok && (st.kind != native::Kind::regular || is_standard_output(reached))) {
    // A device, a pipe, or the process's own standard output cannot be
    // replaced: the content is put together in a scratch file and handed
    // over in order at commit (through the standard output itself, so that
    // a file opened for appending is appended to).
    if (!is_standard_output(reached)) return open_in_order(reached, why);
    native::close(reached);
    return open_standard_output(why);
  }
  ok = ok && (native::locate(reached, system, s.folder, s.name, ec) || fail(why, ec));
  if (ok) {
    s.kept.exists = true;
    s.kept.target = st;
    native::read_security(reached, s.kept.security);
  }
  native::close(reached);
  return ok && open_beside(why);
}

bool AtomicFile::open_standard_output(std::error_code* why) {
  Handle out = no_handle;
  std::error_code ec;
  return (native::duplicate_standard(native::Standard::output, out, ec) || fail(why, ec)) &&
         open_in_order(out, why);
}

// The content waits in a scratch file and goes to `device` in order at
// commit; `device` is closed on a failure.
bool AtomicFile::open_in_order(Handle device, std::error_code* why) {
  State& s = *state_;
  if (!open_scratch(s.content, why)) {
    native::close(device);
    return false;
  }
  s.device = device;
  s.route = State::Route::scratch;
  return true;
}

bool AtomicFile::open_beside(std::error_code* why) {
  State& s = *state_;
  std::error_code ec;
  const native::Reach reach = kind_ == TempFile::private_only ? native::Reach::nobody : native::Reach::owner;
  if (create_pending(s.folder, reach, s.kept.new_mode, s.pending, ec)) {
    s.route = State::Route::beside;
    return true;
  }
  if (ec != std::errc::not_supported || reach != native::Reach::nobody) {
    s.close();
    return fail(why, ec);
  }
  // The folder can keep no file from every other process: the content waits
  // in a scratch file, and goes beside the target once it is verified.
  if (!open_scratch(s.content, why)) {
    s.close();
    return false;
  }
  s.route = State::Route::scratch;
  return true;
}

bool AtomicFile::write(ByteView data, std::error_code* why) {
  State& s = *state_;
  if (!s.writable()) return not_open(why);
  if (!write_all(s.file(), data.data(), data.size(), s.written, why)) {
    s.route = State::Route::broken;
    return false;
  }
  s.written += data.size();
  return true;
}

bool AtomicFile::write_at(std::uint64_t offset, ByteView data, std::error_code* why) {
  State& s = *state_;
  if (!s.writable()) return not_open(why);
  if (offset > s.written || data.size() > s.written - offset) return fail(why, FileError::past_written);
  if (!write_all(s.file(), data.data(), data.size(), offset, why)) s.route = State::Route::broken;
  return s.writable();
}

bool AtomicFile::copy_from(const InputFile& source, std::uint64_t offset, std::uint64_t length, std::error_code* why) {
  State& s = *state_;
  if (!s.writable()) return not_open(why);
  if (offset > source.size() || length > source.size() - offset) return short_read(why);
  if (!copy(source.handle_, offset, s.file(), s.written, length, why)) {
    s.route = State::Route::broken;
    return false;
  }
  s.written += length;
  return true;
}

void AtomicFile::carry_origin(const InputFile& source) { native::read_origin(source.handle_, state_->kept.origin); }

void AtomicFile::expect(std::uint64_t length) noexcept {
  State& s = *state_;
  if (s.route == State::Route::beside && length > 0) native::reserve(s.pending.handle, length);
}

bool AtomicFile::commit(std::error_code* why) {
  State& s = *state_;
  std::error_code ec, after;
  bool ok = s.writable() || not_open(why);
  if (ok && s.route == State::Route::scratch && s.device != no_handle) {
    ok = copy(s.content, 0, s.device, native::in_order, s.written, why) &&
         (native::flush(s.device, ec) || fail(why, ec));
    s.close();
    return ok;
  }
  if (ok && s.route == State::Route::scratch) {
    // Private content, complete and verified: it now goes beside the target
    // like any other.
    ok = (create_pending(s.folder, native::Reach::owner, s.kept.new_mode, s.pending, ec) || fail(why, ec)) &&
         copy(s.content, 0, s.pending.handle, 0, s.written, why);
    native::close(s.content);
    s.route = State::Route::beside;
  }
  ok = ok && (native::flush(s.pending.handle, ec) || fail(why, ec));
  // The placeholder goes first; the new file then takes a name that nothing
  // may have taken since.
  if (ok && s.placeholder != no_handle) {
    native::remove_if_same(s.placeholder, s.folder, s.name);
    native::close(s.placeholder);
  }
  const native::Replace replace = s.kept.exists ? native::Replace::yes : native::Replace::no;
  ok = ok && (native::publish(s.pending, s.folder, s.name, s.kept, replace, ec, after) || fail(why, ec));
  if (ok) warning_ = after;
  s.close();
  return ok;
}

// ---- folders

FolderLock::~FolderLock() { native::close(handle_); }

bool FolderLock::lock(const std::string& folder, std::error_code* ec, LockKind kind) {
  native::close(handle_);
  std::error_code e;
  return native::lock_folder(system_path(folder), kind == LockKind::shared, handle_, e) || fail(ec, e);
}

PlaintextSink::PlaintextSink(const std::string& path, std::uint64_t length) {
  if (file_.open(path, {}, &failed_)) file_.expect(length);
}

void PlaintextSink::put(ByteView block) {
  if (!failed_) (void)file_.write(block, &failed_);
}

bool PlaintextSink::commit(std::error_code* why) {
  if (failed_) return fail(why, failed_);
  return file_.commit(why);
}

bool make_private_folder(const std::string& path, bool& created, std::error_code* why) {
  created = false;
  Path folder = to_native_path(path);
  if (!folder.has_filename()) folder = folder.parent_path();  // "keys/" names the folder "keys"
  folder = to_system_path(folder);
  std::error_code ec;
  created = native::make_private_folder(folder, ec);
  if (created) return true;
  if (ec != std::errc::file_exists) return fail(why, ec);
  // Something is there: fine if it is a folder.
  native::Folder existing;
  return native::open_folder(folder, existing, ec) || fail(why, ec);
}

bool names_standard_output(const std::string& path) {
  const Handle out = native::standard_output();
  return out != no_handle && native::same_file(out, system_path(path));
}

bool entry_exists(const std::string& path, bool& exists, std::error_code* why) {
  std::error_code ec;
  native::Entry entry = native::Entry::none;
  if (!native::lookup(system_path(path), entry, ec)) return fail(why, ec);
  exists = entry != native::Entry::none;
  return true;
}

bool rename_no_replace(const std::string& from, const std::string& to, std::error_code* why) {
  std::error_code ec;
  return native::rename_no_replace(system_path(from), system_path(to), ec) || fail(why, ec);
}

}  // namespace vellicor
