#pragma once
// The one Kyber-1024 key pair, as two raw files in keys/ beside the program.

#include <string>

#include "keystore/passphrase.hpp"

namespace vellicor {

extern const std::string key_directory;     // "keys/"
extern const std::string public_key_path;   // "keys/kyber.pub"
extern const std::string private_key_path;  // "keys/kyber.prv"

// True when both key files exist on return (found, or generated now).
bool ensure_kyber_keypair();
// The same, where a pair made now has its private key sealed under a
// passphrase from `protect` (asked twice at the terminal where it names no file).
bool ensure_protected_keypair(const PassphraseSource& protect);

// Whether keys/kyber.prv is there and protected by a passphrase.
bool private_key_protected();

// Adds, changes or removes the passphrase of the existing kyber.prv: the
// current one from `current` where there is one, the new one asked twice at
// the terminal (empty: removed, after a "yes"). kyber.prv is replaced whole
// or not at all. False after its "[ERR] " line.
bool change_passphrase(const PassphraseSource& current);

}  // namespace vellicor
