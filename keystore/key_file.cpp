#include "keystore/key_file.hpp"

#include <filesystem>
#include <system_error>

#include "keystore/key_store.hpp"
#include "keystore/protected_key.hpp"
#include "keystore/public_key.hpp"
#include "util/console.hpp"
#include "util/platform.hpp"

namespace vellicor {

bool key_file_size_is(const InputFile& file, const std::string& path, std::size_t expected) {
  const std::string want = std::to_string(expected);
  if (!file.size_known()) {
    err({"[ERR] key file '", printable(path), "' is not a regular file (expected ", want, " bytes)\n"});
    return false;
  }
  if (file.size() != expected) {
    err({"[ERR] key file '", printable(path), "' has ", std::to_string(file.size()), " bytes, expected ", want, "\n"});
    return false;
  }
  return true;
}

bool read_key_file(InputFile& file, const std::string& path, std::size_t expected, SecretBytes& out) {
  if (!key_file_size_is(file, path, expected)) return false;
  SecretBytes bytes(expected);
  if (!file.read_exact(bytes.data(), bytes.size())) return false;
  out = std::move(bytes);
  return true;
}

namespace {

// A key path made absolute and quoted, for a command the user can run from
// any folder (the key paths are relative to the program's folder).
std::string for_shell(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(to_native_path(path), ec);
  std::string text;
  if (ec || !to_narrow_text(absolute, text)) text = path;
  return "'" + text + "'";
}

// The owner of the program's folder (the current folder), so that a run
// under sudo in one's own folder still uses one's own keys.
bool owns_program_folder(const std::string& owner) {
  InputOptions options;
  options.allow_folder = true;
  InputFile folder;
  OwnerStatus st;
  return !owner.empty() && folder.open(".", options) && folder.owner_status(st) && st.owner == owner;
}

}  // namespace

// What was opened must be of the right kind, the user's (or root's, or the
// program folder owner's) and writable by no one else.
bool check_opened(const InputFile& file, const std::string& path, bool folder, bool secret, std::string_view what,
                  bool refuse_readable) {
  OwnerStatus st;
  std::error_code why;
  if (!file.owner_status(st, &why))
    return refuse({"[ERR] cannot check ", what, printable(path), "': ", why.message(), "\n"});
  if (st.kind != (folder ? OwnerStatus::Kind::folder : OwnerStatus::Kind::regular))
    return refuse({"[ERR] ", what, printable(path),
                   folder ? "' is not a folder" : "' is not a regular file (a pipe or a device)",
                   refuse_readable ? "; the passphrase must be in a regular file of your own\n"
                                   : "; move it away and put the keys themselves there\n"});
  if (!st.owned_by_user && !st.owned_by_admin && !owns_program_folder(st.owner))
    return refuse({"[ERR] ", what, printable(path), "' belongs to another user (", st.owner,
                   "), not to you, root or the owner of the program's folder; move it away, or make it yours ",
                   "(chown)\n"});
  if (st.mode_known && (st.mode & 022) != 0)
    return refuse({"[ERR] ", what, printable(path), "' is writable by ", (st.mode & 002) != 0 ? "others" : "its group",
                   "; run: chmod ", folder ? "700 " : "go-w ", printable(for_shell(path)), "\n"});
  if (refuse_readable && st.mode_known && (st.mode & 044) != 0)
    return refuse({"[ERR] ", what, printable(path), "' may be read by others; run: chmod 600 ",
                   printable(for_shell(path)), "\n"});
  if (secret && st.mode_known && (st.mode & 044) != 0)
    err({"[WARN] private key '", printable(path), "' may be read by others; run: chmod 600 ",
         printable(for_shell(path)), "\n"});
  return true;
}

namespace {

bool check_opened(const InputFile& file, const std::string& path, bool folder, bool secret) {
  return check_opened(file, path, folder, secret, folder ? "key folder '" : "key file '", false);
}

// A key file is opened without following a link at its own name and without
// waiting (a pipe or a device opens at once and is then refused). A file that
// cannot be opened gets the pipeline's own line for it.
bool open_key(InputFile& file, const std::string& path, bool secret, std::string_view cannot_open) {
  InputOptions options;
  options.follow_links = false;
  options.non_blocking = true;
  std::error_code why;
  if (file.open(path, options, &why)) return check_opened(file, path, false, secret);
  if (why == std::errc::too_many_symbolic_link_levels)
    return refuse(
        {"[ERR] key file '", printable(path), "' is a link; move it away and put the key file itself there\n"});
  return refuse({cannot_open, printable(path), "'\n"});
}

}  // namespace

bool open_key_files(KeyFiles& keys) {
  InputOptions options;
  options.non_blocking = true;
  options.allow_folder = true;
  InputFile folder;
  std::error_code why;
  if (!folder.open(key_directory, options, &why))
    return refuse({"[ERR] cannot open key folder '", printable(key_directory), "': ", why.message(), "\n"});
  if (!check_opened(folder, key_directory, true, false)) return false;
  // A run that makes the pair holds this lock exclusive while it names the
  // two files: shared here, the pair is opened whole or not yet there. A
  // folder this user may not write to (another owner's keys) has no
  // generating run of this user's, and is opened without it.
  FolderLock lock;
  std::error_code ec;
  if (!lock.lock(key_directory, &ec, LockKind::shared) && ec != std::errc::permission_denied)
    return refuse({"[ERR] cannot lock key directory '", printable(key_directory), "': ", ec.message(), "\n"});
  return open_key(keys.public_key, public_key_path, false, "[ERR] cannot read Kyber public key from '") &&
         open_key(keys.private_key, private_key_path, true, "[ERR] missing kyber.prv in '");
}

bool output_is_not_a_key(const KeyFiles& keys, const std::string& output_path) {
  for (const auto& [file, path] :
       {std::pair{&keys.public_key, &public_key_path}, {&keys.private_key, &private_key_path}})
    if (file->is_same_file(output_path))
      return refuse({"[ERR] output '", printable(output_path), "' is the key file '", printable(*path),
                     "'; choose another output\n"});
  return true;
}

bool private_key_is_protected(const InputFile& file, std::size_t secret_key_length, std::size_t public_key_length) {
  return file.size_known() && file.size() == protected_key_length(secret_key_length, public_key_length);
}

namespace {

// The whole protected file, parsed; false after its line.
bool read_protected(InputFile& file, std::size_t secret_key_length, std::size_t public_key_length, ByteBuffer& bytes,
                    ProtectedKeyHeader& header) {
  bytes.assign(file.size(), 0);
  std::string why;
  if (!file.read_at(0, bytes.data(), bytes.size()))
    return refuse({"[ERR] cannot read key file '", printable(private_key_path), "'\n"});
  if (!parse_protected_key(bytes, secret_key_length, public_key_length, header, why))
    return refuse({"[ERR] key file '", printable(private_key_path), "': ", why, "\n"});
  return true;
}

}  // namespace

bool key_pair_matches(KeyFiles& keys, ByteView public_key, std::size_t secret_key_length,
                      std::string_view nothing_done) {
  // The secret key is the secret vector, then the public key, its hash and
  // the implicit-rejection value (32 bytes each): only the public half is
  // read, never the secret vector. A protected file holds it in the clear.
  const std::size_t at = secret_key_length - public_key.size() - 64;
  ByteBuffer held(public_key.size());
  bool read = false;
  if (private_key_is_protected(keys.private_key, secret_key_length, public_key.size())) {
    ByteBuffer bytes;
    ProtectedKeyHeader header;
    if (!read_protected(keys.private_key, secret_key_length, public_key.size(), bytes, header)) return false;
    held.assign(header.public_key.begin(), header.public_key.end());
    read = true;
  } else {
    read = secret_key_length >= public_key.size() + 64 &&
           key_file_size_is(keys.private_key, private_key_path, secret_key_length) &&
           keys.private_key.read_at(at, held.data(), held.size());
  }
  if (read && equal_in_constant_time(held.data(), public_key.data(), public_key.size())) return true;
  return refuse({"[ERR] '", printable(public_key_path), "' is not the public key held in '",
                 printable(private_key_path),
                 "'; ", nothing_done, ": restore the pair from its backup, or move both files away for a new pair\n"});
}

bool read_secret_key(InputFile& file, const PassphraseSource& passphrase, std::size_t secret_key_length,
                     std::size_t public_key_length, SecretBytes& out) {
  if (!private_key_is_protected(file, secret_key_length, public_key_length)) {
    if (read_key_file(file, private_key_path, secret_key_length, out)) return true;
    return refuse({"[ERR] missing kyber.prv in '", printable(private_key_path), "'\n"});
  }
  ByteBuffer bytes;
  ProtectedKeyHeader header;
  SecretBytes words;
  std::string why;
  if (!read_protected(file, secret_key_length, public_key_length, bytes, header) ||
      !passphrase_to_open(passphrase, words))
    return false;
  if (!unprotect_secret_key(bytes, words, secret_key_length, public_key_length, out, why))
    return refuse({"[ERR] cannot open '", printable(private_key_path), "': ", why, "\n"});
  return true;
}

bool read_own_public_key(KeyFiles& keys, std::size_t public_key_length, std::size_t secret_key_length,
                         SecretBytes& public_key) {
  if (!read_key_file(keys.public_key, public_key_path, public_key_length, public_key))
    return refuse({"[ERR] cannot read Kyber public key from '", printable(public_key_path), "'\n"});
  return key_pair_matches(keys, public_key.span(), secret_key_length) &&
         public_key_usable(public_key.span(), public_key_length, "key file '" + printable(public_key_path) + "'");
}

}  // namespace vellicor
