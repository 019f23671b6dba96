#include "keystore/key_store.hpp"

#include <ctime>
#include <optional>

#include "kem/kem.hpp"
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
// file is never paired with a new one.
bool generate_pair(bool orphan_found) {
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
  if (!write_key_file(private_key_path, secret_key.span(), true)) return generation_failed();
  out({"[INFO] Kyber-1024 keypair generated in '", printable(key_directory), "'\n"});
  return true;
}

}  // namespace

namespace {

bool ensure_pair() {
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
  return generate_pair(pub == Presence::absent && prv == Presence::present);
}

}  // namespace

bool ensure_kyber_keypair() {
  if (!ensure_pair()) return false;
  // A drive without access lists (FAT, exFAT) keeps the private key open to
  // anyone who has the drive, whatever the program asked for.
  if (!keeps_access_lists(key_directory))
    err({"[WARN] the drive of '", printable(key_directory), "' keeps no access lists (FAT or exFAT): '",
         printable(private_key_path), "' is not protected from other users there\n"});
  return true;
}

}  // namespace vellicor
