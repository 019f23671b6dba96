// The file layer's logic, once for every platform, over the calls of
// file_io_native.hpp.
#include "util/file_io.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "util/file_io_native.hpp"
#include "util/platform.hpp"

namespace vellicor {

namespace {

using native::Handle;
using native::no_handle;
using native::Path;

std::atomic<bool> g_unnamed_allowed{true};

bool fail(std::string* why, const std::error_code& ec) {
  if (why != nullptr) *why = ec.message();
  return false;
}
bool fail(std::string* why, std::errc e) { return fail(why, std::make_error_code(e)); }
bool fail_text(std::string* why, const char* text) {
  if (why != nullptr) *why = text;
  return false;
}
bool short_read(std::string* why) { return fail_text(why, "file ended early (short read)"); }

// One read or write call is capped so that a huge request is never split
// oddly by the system's own limit.
constexpr std::size_t kMaxIo = std::size_t{1} << 30;

bool read_exact_at(Handle h, std::uint8_t* dst, std::size_t n, std::uint64_t offset, std::string* why) {
  while (n > 0) {
    std::size_t got = 0;
    std::error_code ec;
    if (!native::read_at(h, dst, std::min(n, kMaxIo), offset, got, ec)) return fail(why, ec);
    if (got == 0) return short_read(why);
    dst += got;
    n -= got;
    offset += got;
  }
  return true;
}

constexpr std::uint64_t kInOrder = UINT64_MAX;

// Writes every byte at `offset`, or in order (a device, a pipe) for kInOrder.
bool write_all(Handle h, const std::uint8_t* p, std::size_t n, std::uint64_t offset, std::string* why) {
  while (n > 0) {
    std::size_t done = 0;
    std::error_code ec;
    const std::size_t step = std::min(n, kMaxIo);
    if (!(offset == kInOrder ? native::write(h, p, step, done, ec) : native::write_at(h, p, step, offset, done, ec)))
      return fail(why, ec);
    if (done == 0) return fail(why, std::errc::no_space_on_device);
    p += done;
    n -= done;
    if (offset != kInOrder) offset += done;
  }
  return true;
}

// Writes `length` bytes of `from` at `offset` to `to` at `at` (kInOrder: in
// order), in the kernel where it can and through a block of memory for the
// rest.
bool copy_blocks(const PositionedSource& from, Handle from_handle, std::uint64_t offset, std::uint64_t length, Handle to,
                 std::uint64_t at, std::string* why) {
  if (from_handle != no_handle && at != kInOrder) {
    const std::uint64_t moved = native::copy_range(from_handle, offset, to, at, length);
    offset += moved;
    at += moved;
    length -= moved;
  }
  ByteBuffer block(static_cast<std::size_t>(std::min<std::uint64_t>(length, write_block_length)));
  while (length > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, block.size()));
    if (!from.read_at(offset, block.data(), n, why) || !write_all(to, block.data(), n, at, why)) return false;
    offset += n;
    length -= n;
    if (at != kInOrder) at += n;
  }
  return true;
}

// A hidden name for a temporary file, short enough beside any target name,
// unguessable, and new on each call.
bool random_name(Path& out, std::string* why) {
  static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uint8_t noise[12];
  if (!system_random(noise, sizeof noise, why)) return false;
  std::string name = ".vellicor-";
  for (std::uint8_t b : noise) name.push_back(kDigits[b % 36]);
  out = name;
  return true;
}

// A scratch file in the system's temporary folder, under a fresh name where
// the system needs one.
bool open_scratch(Handle& h, std::string* why) {
  std::error_code ec;
  for (int attempt = 0; attempt < 100; ++attempt) {
    Path name;
    if (!random_name(name, why)) return false;
    if (native::create_scratch(name, h, ec)) return true;
    if (ec != std::errc::file_exists) return fail(why, ec);
  }
  return fail(why, std::errc::file_exists);
}

// A path's folder and name, split once for the whole layer.
void split(const Path& path, Path& folder, Path& name) {
  folder = path.parent_path();
  if (folder.empty()) folder = ".";
  name = path.filename();
}

}  // namespace

void set_unnamed_files_allowed(bool allowed) { g_unnamed_allowed.store(allowed); }

bool read_whole_file(const std::string& path, ByteBuffer& out, std::string* why) {
  InputFile in;
  if (!in.open_positioned(path, UINT64_MAX, {}, why)) return false;
  ByteBuffer data;
  if (in.size() > data.max_size()) return fail(why, std::errc::file_too_large);
  data.resize(static_cast<std::size_t>(in.size()));
  if (!in.read_at(0, data.data(), data.size(), why)) return false;
  out.swap(data);
  return true;
}

bool write_whole_file(const std::string& path, ByteView data, std::string* why) {
  AtomicFile file;
  if (!file.open(path, {}, why)) return false;
  for (std::size_t at = 0; at < data.size(); at += write_block_length)
    if (!file.write(data.subspan(at, std::min(write_block_length, data.size() - at)), why)) return false;
  return file.commit(why);
}

bool MemorySource::read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::string* why) const {
  if (offset > bytes_.size() || n > bytes_.size() - offset) return short_read(why);
  if (n > 0) std::memcpy(dst, bytes_.data() + offset, n);
  return true;
}

// ---- reading

InputFile::~InputFile() { close(); }

void InputFile::close() noexcept { native::close(handle_); }

bool InputFile::open(const std::string& path, std::string* why) { return open(path, InputOptions{}, why); }

bool InputFile::open(const std::string& path, const InputOptions& options, std::string* why) {
  native::close(handle_);
  size_known_ = false;
  size_ = 0;
  std::error_code ec;
  native::Status st;
  if (!native::open_read(to_native_path(path), handle_, ec, options) || !native::status(handle_, st, ec)) {
    native::close(handle_);
    return fail(why, ec);
  }
  if (st.kind == native::Kind::directory && !options.allow_folder) {
    native::close(handle_);
    return fail(why, std::errc::is_a_directory);
  }
  size_known_ = st.kind == native::Kind::regular;
  size_ = size_known_ ? st.size : 0;
  return true;
}

bool InputFile::owner_status(OwnerStatus& out, std::string* why) const {
  std::error_code ec;
  return native::owner_status(handle_, out, ec) || fail(why, ec);
}

bool InputFile::is_same_file(const std::string& path) const {
  return handle_ != no_handle && native::same_file(handle_, to_native_path(path));
}

bool InputFile::open_positioned(const std::string& path, std::uint64_t limit, ByteView must_start_with,
                                std::string* why) {
  if (!open(path, why)) return false;
  return size_known_ || spool(limit, must_start_with, why);
}

// The source is copied in order into a scratch file, which then stands in
// for it: memory stays one block at any size, and an endless source stops at
// the limit or at its first byte that breaks the expected start.
bool InputFile::spool(std::uint64_t limit, ByteView must_start_with, std::string* why) {
  Handle scratch = no_handle;
  if (!open_scratch(scratch, why)) return false;
  ByteBuffer block(write_block_length);
  std::uint64_t total = 0;
  bool ok = true;
  for (;;) {
    // The expected start is read on its own, so that a source that breaks it
    // is not read any further.
    const std::size_t want = total < must_start_with.size() ? must_start_with.size() - total : block.size();
    std::size_t got = 0;
    if (!read_some(block.data(), want, got, why)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    if (total + got > limit) {
      ok = fail(why, std::errc::file_too_large);
      break;
    }
    if (!write_all(scratch, block.data(), got, total, why)) {
      ok = false;
      break;
    }
    const std::size_t checked = total < must_start_with.size() ? std::min(got, must_start_with.size() - total) : 0;
    const bool breaks = checked > 0 && std::memcmp(block.data(), must_start_with.data() + total, checked) != 0;
    total += got;
    if (breaks) break;
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

bool InputFile::read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::string* why) const {
  if (offset > size_ || n > size_ - offset) return short_read(why);
  return read_exact_at(handle_, dst, n, offset, why);
}

bool InputFile::read_some(std::uint8_t* dst, std::size_t n, std::size_t& got, std::string* why) {
  std::error_code ec;
  if (!native::read(handle_, dst, std::min(n, kMaxIo), got, ec)) return fail(why, ec);
  return true;
}

bool InputFile::read_exact(std::uint8_t* dst, std::size_t n, std::string* why) {
  while (n > 0) {
    std::size_t got = 0;
    if (!read_some(dst, n, got, why)) return false;
    if (got == 0) return short_read(why);
    dst += got;
    n -= got;
  }
  return true;
}

bool InputFile::unchanged_at_end(std::string* why) {
  if (!size_known_) return true;
  native::Status st;
  std::error_code ec;
  if (!native::status(handle_, st, ec)) return fail(why, ec);
  std::uint8_t probe = 0;
  std::size_t got = 0;
  if (!read_some(&probe, 1, got, why)) return false;
  if (got != 0 || st.size != size_) return fail_text(why, "file changed size");
  return true;
}

// ---- writing

namespace {

// An open handle read at positions, as a source for copy_blocks.
class HandleSource final : public PositionedSource {
 public:
  HandleSource(Handle h, std::uint64_t size) : h_(h), size_(size) {}
  std::uint64_t size() const override { return size_; }
  bool read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::string* why) const override {
    if (offset > size_ || n > size_ - offset) return short_read(why);
    return read_exact_at(h_, dst, n, offset, why);
  }

 private:
  Handle h_;
  std::uint64_t size_;
};

bool not_open(std::string* why) { return fail_text(why, "file is not open for writing"); }

}  // namespace

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() noexcept {
  native::close(handle_);
  native::close(device_);
  if (!temp_name_.empty()) native::remove(folder_, temp_name_);
  if (!placeholder_.empty()) native::remove(folder_, placeholder_);
  temp_name_.clear();
  placeholder_.clear();
  native::close(folder_);
}

bool AtomicFile::open(const std::string& path, const OutputOptions& options, std::string* why) {
  discard();
  options_ = options;
  unnamed_ = staged_ = existed_ = failed_ = false;
  written_ = 0;
  mode_ = (options.create_mode & ~native::current_umask()) & 07777;
  owner_ = group_ = UINT32_MAX;
  warning_.clear();
  if (path.empty()) return fail(why, std::errc::no_such_file_or_directory);
  const Path target = to_native_path(path);

  // The kernel says which file the path reaches, and whether this process
  // may write it, by opening it as a plain open would.
  Handle reached = no_handle;
  std::error_code ec;
  if (native::open_target(target, options.follow_links, reached, ec)) {
    native::Status st;
    if (!native::status(reached, st, ec)) {
      native::close(reached);
      return fail(why, ec);
    }
    if (st.kind != native::Kind::regular) {
      // A device or a pipe cannot be replaced: the content is put together
      // in a scratch file and handed over in order at commit.
      device_ = reached;
      if (!open_scratch(handle_, why)) {
        native::close(device_);
        return false;
      }
      return true;
    }
    const bool located = native::locate(reached, folder_, name_, ec);
    native::close(reached);
    if (!located) return fail(why, ec);
    existed_ = true;
    mode_ = st.mode & 07777;
    owner_ = st.owner;
    group_ = st.group;
    return open_temporary(why);
  }
  if (ec != std::errc::no_such_file_or_directory) return fail(why, ec);

  bool link = false;
  std::error_code link_ec;
  if (options.follow_links && native::is_link(target, link, link_ec) && link) {
    // A dangling link: its target is created as a plain open would create
    // it, and replaced at commit; it is removed again if nothing is.
    if (!native::create_through_link(target, mode_, reached, ec)) return fail(why, ec);
    const bool located = native::locate(reached, folder_, name_, ec);
    native::close(reached);
    if (!located) return fail(why, ec);
    placeholder_ = name_;
    existed_ = true;
    return open_temporary(why);
  }
  Path folder;
  split(target, folder, name_);
  if (name_.empty()) return fail(why, std::errc::is_a_directory);
  if (!native::open_folder(folder, folder_, ec)) return fail(why, ec);
  return open_temporary(why);
}

bool AtomicFile::open_temporary(std::string* why) {
  std::error_code ec = std::make_error_code(std::errc::not_supported);
  if (g_unnamed_allowed.load() && native::create_unnamed(folder_, options_.owner_only, handle_, ec)) {
    unnamed_ = true;
    return true;
  }
  if (ec != std::errc::not_supported) return fail(why, ec);
  if (kind_ == TempFile::private_only && !native::temporary_files_are_private) {
    // No unnamed file beside the target: the content waits in a scratch
    // file that no other process can open, and is copied over at commit.
    if (!open_scratch(handle_, why)) return false;
    staged_ = true;
    return true;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    Path name;
    if (!random_name(name, why)) return false;
    if (native::create_temporary(folder_, name, options_.owner_only, handle_, ec)) {
      temp_name_ = name;
      return true;
    }
    if (ec != std::errc::file_exists) return fail(why, ec);
  }
  return fail(why, std::errc::file_exists);
}

bool AtomicFile::write(ByteView data, std::string* why) {
  if (handle_ == no_handle || failed_) return not_open(why);
  failed_ = !write_all(handle_, data.data(), data.size(), written_, why);
  written_ += failed_ ? 0 : data.size();
  return !failed_;
}

bool AtomicFile::write_at(std::uint64_t offset, ByteView data, std::string* why) {
  if (handle_ == no_handle || failed_) return not_open(why);
  if (offset > written_ || data.size() > written_ - offset) return fail_text(why, "write past the bytes written");
  failed_ = !write_all(handle_, data.data(), data.size(), offset, why);
  return !failed_;
}

bool AtomicFile::copy_from(const PositionedSource& source, std::uint64_t offset, std::uint64_t length,
                           std::string* why) {
  if (handle_ == no_handle || failed_) return not_open(why);
  if (offset > source.size() || length > source.size() - offset) return short_read(why);
  const auto* file = dynamic_cast<const InputFile*>(&source);
  failed_ = !copy_blocks(source, file != nullptr ? file->handle_ : no_handle, offset, length, handle_, written_, why);
  written_ += failed_ ? 0 : length;
  return !failed_;
}

void AtomicFile::expect(std::uint64_t length) noexcept {
  if (handle_ != no_handle && device_ == no_handle && length > 0) native::reserve(handle_, length);
}

// Hands the finished content over: to a device in order, or from the scratch
// file of private content to a temporary file beside the target.
bool AtomicFile::deliver(Handle to, std::uint64_t at, std::string* why) {
  return copy_blocks(HandleSource(handle_, written_), handle_, 0, written_, to, at, why);
}

bool AtomicFile::name_it(std::string* why) {
  std::error_code ec;
  if (!unnamed_) {
    if (!native::name_temporary(handle_, folder_, temp_name_, name_, ec)) return fail(why, ec);
    temp_name_.clear();
    return true;
  }
  // A new target takes the name at once; a name that appeared since open is
  // not this open's to replace.
  if (!existed_) return native::link_unnamed(handle_, folder_, name_, ec) || fail(why, ec);
  // An existing one is replaced by a rename, for which the file needs a
  // name first.
  for (int attempt = 0; attempt < 100; ++attempt) {
    Path name;
    if (!random_name(name, why)) return false;
    if (!native::link_unnamed(handle_, folder_, name, ec)) {
      if (ec == std::errc::file_exists) continue;
      return fail(why, ec);
    }
    temp_name_ = name;
    if (!native::name_temporary(handle_, folder_, temp_name_, name_, ec)) return fail(why, ec);
    temp_name_.clear();
    return true;
  }
  return fail(why, std::errc::file_exists);
}

bool AtomicFile::commit(std::string* why) {
  bool ok = handle_ != no_handle && !failed_;
  if (!ok) not_open(why);
  if (ok && device_ != no_handle) {
    std::error_code ec;
    ok = deliver(device_, kInOrder, why) && (native::flush(device_, ec) || fail(why, ec));
    discard();
    return ok;
  }
  if (ok && staged_) {
    // The private content is complete: it now goes beside the target like
    // any other.
    Handle scratch = handle_;
    handle_ = no_handle;
    staged_ = false;
    kind_ = TempFile::unnamed_or_named;
    ok = open_temporary(why);
    std::swap(scratch, handle_);
    ok = ok && deliver(scratch, 0, why);
    std::swap(scratch, handle_);
    native::close(scratch);
  }
  // Owner, group and mode, then flushed before it takes the name, and the
  // folder after.
  std::error_code ec;
  if (ok && owner_ != UINT32_MAX) (void)native::set_owner(handle_, owner_, group_, ec);  // where allowed
  if (ok && !native::set_mode(handle_, mode_, ec)) ok = fail(why, ec);
  if (ok && !native::flush(handle_, ec)) ok = fail(why, ec);
  if (ok) ok = name_it(why);
  if (ok) {
    placeholder_.clear();  // replaced by the new file
    // The target holds the new bytes now, whatever the folder's flush says.
    if (!native::flush_folder(folder_, ec)) warning_ = ec.message();
  }
  discard();
  return ok;
}

// ---- folders

FolderLock::~FolderLock() { native::close(handle_); }

bool FolderLock::lock(const std::string& folder, std::string* why) {
  native::close(handle_);
  std::error_code ec;
  return native::lock_folder(to_native_path(folder), handle_, ec) || fail(why, ec);
}

bool make_private_folder(const std::string& path, bool& created, std::string* why) {
  created = false;
  Path folder = to_native_path(path);
  if (!folder.has_filename()) folder = folder.parent_path();  // "keys/" names the folder "keys"
  std::error_code ec;
  if (!native::make_private_folder(folder, ec)) {
    if (ec != std::errc::file_exists) return fail(why, ec);
    // Something is there: fine if it is a folder.
    native::Folder existing;
    const bool is_folder = native::open_folder(folder, existing, ec);
    native::close(existing);
    return is_folder || fail(why, ec);
  }
  created = true;
  // The new entry lasts only once the folder that holds it is flushed.
  native::Folder parent;
  const Path parent_path = folder.parent_path().empty() ? Path(".") : folder.parent_path();
  const bool ok = native::open_folder(parent_path, parent, ec) && native::flush_folder(parent, ec);
  native::close(parent);
  return ok || fail(why, ec);
}

bool entry_exists(const std::string& path, bool& exists, std::string* why) {
  std::error_code ec;
  return native::exists(to_native_path(path), exists, ec) || fail(why, ec);
}

bool rename_no_replace(const std::string& from, const std::string& to, std::string* why) {
  std::error_code ec;
  return native::rename_no_replace(to_native_path(from), to_native_path(to), ec) || fail(why, ec);
}

}  // namespace vellicor
