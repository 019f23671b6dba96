#pragma once
// The two end-to-end operations behind embed and extract.

#include <optional>
#include <string>

#include "keystore/passphrase.hpp"

namespace vellicor {

// With a recipient (embed --to), the file is sealed for that public key
// instead of the own one. The own pair is still opened and checked (owner,
// mode) and the output refused where it is a key file; its halves are not
// compared, since neither is used.
bool encrypt_and_embed(const std::string& input_path, const std::string& carrier_path, const std::string& output_path,
                       const std::optional<std::string>& recipient = std::nullopt);
// A protected kyber.prv is opened with the passphrase from `passphrase`.
bool extract_and_decrypt(const std::string& stego_path, const std::string& output_path,
                         const PassphraseSource& passphrase = {});

}  // namespace vellicor
