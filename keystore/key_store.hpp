#pragma once
// The one Kyber-1024 key pair, as two raw files in keys/ beside the program.

#include <string>

namespace vellicor {

extern const std::string key_directory;     // "keys/"
extern const std::string public_key_path;   // "keys/kyber.pub"
extern const std::string private_key_path;  // "keys/kyber.prv"

// True when both key files exist on return (found, or generated now).
bool ensure_kyber_keypair();

}  // namespace vellicor
