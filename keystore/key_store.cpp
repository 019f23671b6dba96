#include "keystore/key_store.hpp"

#include <ctime>
#include <optional>

#include "kem/kem.hpp"
#include "keystore/key_file.hpp"
#include "keystore/protected_key.hpp"
#include "util/byte_buffer.hpp"
#include "util/console.hpp"
#include "util/file_io.hpp"
#include "util/platform.hpp"
#include "util/secret.hpp"

namespace vellicor {

const std::string key_directory = "keys/";
const std::string public_key_path = key_directory + "kyber.pub";
const std::string private_key_path = key_directory + "kyber.prv";

namespace {

enum class Presence { absent, present, unknown };

// An entry of any kind counts, and a link is not followed: a directory named
// kyber.pub, or a dangling link named kyber.prv, is "there" (and never
// written through). Only a real error (say, no search permission on the key
// folder) is reported; a missing parent is plain absence.
Presence probe(const std::string& path) {
  bool found = false;
  std::error_code why;
  if (!entry_exists(path, found, &why)) {
    err({"[ERR] cannot check '", printable(path), "': ", why.message(), "\n"});
    return Presence::unknown;
  }
  return found ? Presence::present : Presence::absent;
}

// A key folder made here is the user's alone from the start, and the folder
// that holds it is flushed, so it survives a power cut; one that already
// exists keeps its permissions, since the user may have chosen them.
bool make_key_directory() {
  bool created = false;
  std::error_code why;
  if (!make_private_folder(key_directory, created, &why)) {
    err({"[ERR] cannot create key directory '", printable(key_directory), "': ", why.message(), "\n"});
    return false;
  }
  return true;
}

std::string utc_stamp() {
  std::time_t now = std::time(nullptr);
  char text[32] = "unknown-time";
  if (const std::tm* utc = std::gmtime(&now)) std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", utc);
  return text;
}

// The first of name, name-2, name-3, ... that has no entry at all (a dangling
// link counts as taken, so nothing is ever overwritten through it).
std::optional<std::string> free_name_beside(const std::string& base) {
  for (int n = 1; n <= 1000; ++n) {
    std::string candidate = n == 1 ? base : base + "-" + std::to_string(n);
    bool taken = false;
    std::error_code why;
    if (!entry_exists(candidate, taken, &why)) {
      err({"[ERR] cannot check '", printable(candidate), "': ", why.message(), "\n"});
      return std::nullopt;
    }
    if (!taken) return candidate;
  }
  err({"[ERR] no free name to set aside '", printable(private_key_path), "'\n"});
  return std::nullopt;
}

// A private key without its public key may still open old envelopes, so it is
// moved out of the way rather than overwritten by the new pair.
bool set_aside_orphan() {
  std::optional<std::string> target = free_name_beside(private_key_path + ".orphan-" + utc_stamp());
  if (!target) return false;
  std::error_code why;
  if (!rename_no_replace(private_key_path, *target, &why)) {
    err({"[ERR] cannot set aside '", printable(private_key_path), "': ", why.message(), "\n"});
    return false;
  }
  out({"[INFO] '", printable(private_key_path), "' had no public key; set aside as '", printable(*target), "'\n"});
  return true;
}

// Key files are made as regular files in keys/, never through a link, and
// writable by the user alone; the private one readable by the user alone.
bool write_key_file(const std::string& path, ByteView bytes, bool secret) {
  OutputOptions options;
  options.follow_links = false;
  // Never group-writable, whatever the umask; the private key for the user
  // alone (on Windows an access list for the user alone).
  options.create_mode = secret ? 0600 : 0644;
  AtomicFile file;
  if (!(file.open(path, options) && file.write(bytes) && file.commit())) return false;
  warn_if_unflushed(path, file.after_naming_warning());
  return true;
}

bool generation_failed() {
  err("[ERR] failed to generate or save Kyber keypair\n");
  return false;
}

// Both files are written from one fresh pair, the public key first; an old
// file is never paired with a new one. With `protect`, the secret key is
// sealed under a passphrase before it reaches the disk.
bool generate_pair(bool orphan_found, const PassphraseSource* protect) {
  SecretBytes passphrase;
  if (protect != nullptr) {
    if (!passphrase_to_set(*protect, passphrase)) return false;
    if (passphrase.empty()) {
      err("[ERR] an empty passphrase protects nothing; no key pair was made\n");
      return false;
    }
  }
  KemHandle kem = make_kyber1024();
  if (!kem) {
    err("[ERR] OQS_KEM_new(OQS_KEM_alg_kyber_1024) failed (Kyber-1024 not enabled?)\n");
    return false;
  }
  ByteBuffer public_key;
  public_key.assign(kem->length_public_key, 0);
  SecretBytes secret_key(kem->length_secret_key);
  if (OQS_KEM_keypair(kem.get(), public_key.data(), secret_key.data()) != OQS_SUCCESS) return generation_failed();
  kem.reset();

  if (orphan_found && !set_aside_orphan()) return false;
  if (!write_key_file(public_key_path, public_key, false)) return generation_failed();
  ByteBuffer sealed;
  std::string why;
  if (protect != nullptr && !protect_secret_key(passphrase, secret_key, public_key.size(), sealed, why)) {
    err({"[ERR] cannot protect the new private key: ", why, "\n"});
    return generation_failed();
  }
  if (!write_key_file(private_key_path, protect != nullptr ? ByteView(sealed) : ByteView(secret_key.span()), true))
    return generation_failed();
  out({"[INFO] Kyber-1024 keypair generated in '", printable(key_directory), "'",
       protect != nullptr ? ", the private key protected by a passphrase\n" : "\n"});
  return true;
}

}  // namespace

namespace {

bool ensure_pair(const PassphraseSource* protect) {
  Presence pub = probe(public_key_path);
  if (pub == Presence::unknown) return false;
  Presence prv = probe(private_key_path);
  if (prv == Presence::unknown) return false;
  if (pub == Presence::present && prv == Presence::present) {
    out("[INFO] keys OK\n");
    return true;
  }
  if (!make_key_directory()) return false;
  // One process at a time generates; a process that waited finds the pair
  // the first one made and uses it, so concurrent first runs agree. Readers
  // take the same lock shared while they open the pair (open_key_files), so
  // none meets a key file that is being named.
  FolderLock lock;
  std::error_code ec;
  if (!lock.lock(key_directory, &ec)) {
    err({"[ERR] cannot lock key directory '", printable(key_directory), "': ", ec.message(), "\n"});
    return false;
  }
  pub = probe(public_key_path);
  if (pub == Presence::unknown) return false;
  prv = probe(private_key_path);
  if (prv == Presence::unknown) return false;
  if (pub == Presence::present && prv == Presence::present) {
    out("[INFO] keys OK\n");
    return true;
  }
  return generate_pair(pub == Presence::absent && prv == Presence::present, protect);
}

bool ensure_pair_of_kind(const PassphraseSource* protect) {
  if (!ensure_pair(protect)) return false;
  // A drive without access lists (FAT, exFAT) keeps the private key open to
  // anyone who has the drive, whatever the program asked for.
  if (!keeps_access_lists(key_directory))
    err({"[WARN] the drive of '", printable(key_directory), "' keeps no access lists (FAT or exFAT): '",
         printable(private_key_path), "' is not protected from other users there\n"});
  return true;
}

}  // namespace

bool ensure_kyber_keypair() { return ensure_pair_of_kind(nullptr); }

bool ensure_protected_keypair(const PassphraseSource& protect) { return ensure_pair_of_kind(&protect); }

bool private_key_protected() {
  KemHandle kem = make_kyber1024();
  InputOptions options;
  options.follow_links = false;
  options.non_blocking = true;
  InputFile file;
  return kem && file.open(private_key_path, options) &&
         private_key_is_protected(file, kem->length_secret_key, kem->length_public_key);
}

bool change_passphrase(const PassphraseSource& current) {
  KemHandle kem = make_kyber1024();
  KeyFiles keys;
  if (!kem) {
    err("[ERR] OQS_KEM_new(OQS_KEM_alg_kyber_1024) failed (Kyber-1024 not enabled?)\n");
    return false;
  }
  if (!open_key_files(keys)) return false;
  const std::size_t secret_length = kem->length_secret_key, public_length = kem->length_public_key;
  const bool was_protected = private_key_is_protected(keys.private_key, secret_length, public_length);
  SecretBytes secret_key;
  if (!read_secret_key(keys.private_key, current, secret_length, public_length, secret_key)) return false;
  SecretBytes passphrase;
  if (!passphrase_to_set(PassphraseSource{}, passphrase)) return false;
  ByteBuffer sealed;
  std::string why;
  if (passphrase.empty()) {
    if (!was_protected) {
      out({"[INFO] '", printable(private_key_path), "' has no passphrase; nothing was changed\n"});
      return true;
    }
    if (!confirmed_at_terminal("Remove the passphrase? Anyone who copies keys/ can then open what is sealed for "
                               "you. Type yes to remove it: ")) {
      err("[ERR] the passphrase was not removed; nothing was changed\n");
      return false;
    }
  } else if (!protect_secret_key(passphrase, secret_key, public_length, sealed, why)) {
    err({"[ERR] cannot protect '", printable(private_key_path), "': ", why, "\n"});
    return false;
  }
  // Replaced under the folder's lock, and only where kyber.prv is still the
  // file that was read.
  FolderLock lock;
  std::error_code ec;
  if (!lock.lock(key_directory, &ec)) {
    err({"[ERR] cannot lock key directory '", printable(key_directory), "': ", ec.message(), "\n"});
    return false;
  }
  if (!keys.private_key.is_same_file(private_key_path)) {
    err({"[ERR] '", printable(private_key_path), "' was replaced while it was read; nothing was changed\n"});
    return false;
  }
  keys.private_key.close();
  if (!write_key_file(private_key_path, passphrase.empty() ? ByteView(secret_key.span()) : ByteView(sealed), true)) {
    err({"[ERR] cannot write '", printable(private_key_path), "'; it is as it was\n"});
    return false;
  }
  out({"[OK] '", printable(private_key_path), "' ",
       passphrase.empty() ? "has no passphrase now\n"
                          : (was_protected ? "has a new passphrase\n" : "is protected by a passphrase now\n")});
  return true;
}

}  // namespace vellicor
