#pragma once
// Reading a raw Kyber key file whose size must be exactly what the KEM
// object expects, so that the KEM never reads past a short buffer.

#include <cstddef>
#include <string>
#include <string_view>

#include "keystore/passphrase.hpp"
#include "util/file_io.hpp"
#include "util/secret.hpp"

namespace vellicor {

// `file` was opened from `path`. A wrong size (or a file that is not a regular
// one) is refused with a line naming the path, the size found and the size
// expected, before any byte is read. A read error writes nothing; the caller's
// own line follows every false.
bool key_file_size_is(const InputFile& file, const std::string& path, std::size_t expected);
bool read_key_file(InputFile& file, const std::string& path, std::size_t expected, SecretBytes& out);

// The key pair, opened for one run of a pipeline.
struct KeyFiles {
  InputFile public_key;
  InputFile private_key;
};

// Opens keys/ and both key files (a link at a key file's own name is refused,
// a pipe or a device never waited for) and checks what was opened: each must
// belong to the user running the program, to root or to the owner of the
// program's folder, be writable by nobody else, and be a folder or a regular
// file. False after one "[ERR] " line that names the file, what is wrong and
// how to mend it. A kyber.prv that others may read gives a "[WARN] " line.
bool open_key_files(KeyFiles& keys);

// False, after a line, where `output_path` (links followed) is one of the
// opened key files, under any of its names.
bool output_is_not_a_key(const KeyFiles& keys, const std::string& output_path);

// `file` (opened) checked as a key file is: kind, owner and mode, `what`
// naming it in the lines ("key file '"); `refuse_readable` refuses one that
// others may read, where `secret` only warns of it.
bool check_opened(const InputFile& file, const std::string& path, bool folder, bool secret, std::string_view what,
                  bool refuse_readable);

// Whether kyber.prv, opened as `file`, has the size of a protected one (no
// raw key has it; FORMAT.md), so that it is read as one and a changed byte
// anywhere, the magic too, is told as such.
bool private_key_is_protected(const InputFile& file, std::size_t secret_key_length, std::size_t public_key_length);

// The secret key of kyber.prv, opened as `file`: raw, or opened with the
// passphrase from `passphrase`. False after its "[ERR] " lines (for a raw key
// the pipeline's "missing kyber.prv" line too).
bool read_secret_key(InputFile& file, const PassphraseSource& passphrase, std::size_t secret_key_length,
                     std::size_t public_key_length, SecretBytes& out);

// False, after a line, unless kyber.prv is a whole secret key of
// `secret_key_length` bytes that holds `public_key` (compared in constant
// time; only that half of it is read, or the clear public key of a protected
// file): nothing is sealed for a key that could not open it.
// `nothing_done` says what the refusal kept from happening.
bool key_pair_matches(KeyFiles& keys, ByteView public_key, std::size_t secret_key_length,
                      std::string_view nothing_done = "nothing was sealed");

// The own public key to seal for: kyber.pub read whole, kyber.prv checked to
// hold it (key_pair_matches), and the key checked to be one that only its
// secret opens (public_key_usable). False after its "[ERR] " line.
bool read_own_public_key(KeyFiles& keys, std::size_t public_key_length, std::size_t secret_key_length,
                         SecretBytes& public_key);

}  // namespace vellicor
