#pragma once
// The two end-to-end operations behind embed and extract.

#include <cstddef>
#include <functional>
#include <string>

#include "keystore/passphrase.hpp"
#include "util/byte_buffer.hpp"

namespace vellicor {

// The public key of a recipient (embed --to), read by the caller when the
// pipeline needs it: false after its "[ERR] " line, else `key` holds
// `key_length` bytes.
using RecipientKey = std::function<bool(std::size_t key_length, ByteBuffer& key)>;

// With a recipient, the file is sealed for that public key instead of the
// own one. The own pair is still opened and checked (owner, mode) and the
// output refused where it is a key file; its halves are not compared, since
// neither is used.
bool encrypt_and_embed(const std::string& input_path, const std::string& carrier_path, const std::string& output_path,
                       const RecipientKey& recipient = {});
// A protected kyber.prv is opened with the passphrase from `passphrase`.
bool extract_and_decrypt(const std::string& stego_path, const std::string& output_path,
                         const PassphraseSource& passphrase = {});

}  // namespace vellicor
