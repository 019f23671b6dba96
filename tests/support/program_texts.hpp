#pragma once
// The program's fixed texts as the tests expect them, spelled out here apart
// from the program's own literals so that a change to either shows. The
// title lines carry the single byte 0x97, not a UTF-8 dash.

#include <string>

namespace vellicor::test::texts {

inline const std::string kBanner = std::string("Vellicor ") + '\x97' +
                                   " Post-Quantum Stego (SMART CLI)\n"
                                   "https://vellicor.example.org\n\n";

inline const std::string kUsage = std::string("Vellicor (PNG-only) ") + '\x97' +
                                  " Post-Quantum Stego\n"
                                  "Usage:\n"
                                  "  Vellicor [Lang] genkeys\n"
                                  "  Vellicor [Lang] embed   <infile> <carrier.png> <outfile.png>\n"
                                  "  Vellicor [Lang] extract <stego.png> <outfile>\n"
                                  "  Vellicor [Lang] --help\n"
                                  "  Vellicor [Lang] --version\n"
                                  "\n"
                                  "SMART features:\n"
                                  "  - Fuzzy command detection (embd -> embed, ext -> extract, etc.)\n"
                                  "  - Fuzzy path correction in current directory\n"
                                  "  - Optional language code as first argument (en, pt, es, fr, ...)\n";

inline const std::string kVersion = "Vellicor v1.3.0 (Korvane Suite) - SMART CLI\n";
inline const std::string kChecking = "[SMART] Checking Kyber-1024 keypair in 'keys/'...\n";
inline const std::string kKeysOk = "[INFO] keys OK\n";
inline const std::string kKeysChecked = kChecking + kKeysOk;
inline const std::string kGenerated = "[INFO] Kyber-1024 keypair generated in 'keys/'\n";
inline const std::string kReady = "[OK] Kyber-1024 keys ready in 'keys/'\n";
inline const std::string kNoKeys =
    "[ERR] could not generate/load Kyber keys (keys\\kyber.pub, keys\\kyber.prv)\n";
inline const std::string kSaveFailed = "[ERR] failed to generate or save Kyber keypair\n";
inline const std::string kInvalidCommand = "Invalid command. Try: Vellicor --help\n";
inline const std::string kMissingEmbed = "Missing arguments for embed.\n";
inline const std::string kMissingExtract = "Missing arguments for extract.\n";
inline const std::string kTagLines =
    "[ERR] Crypto++ aes_gcm_decrypt (tag mismatch?): HashVerificationFilter: message hash or MAC not valid\n"
    "[ERR] AES-GCM decrypt fail (tag mismatch?)\n";
inline const std::string kInvalidEnvelope = "[ERR] invalid envelope in stego PNG\n";
inline const std::string kEmbedFailed = "[ERR] embed_into_png() failed\n";

inline std::string corrected_command(const std::string& typed, const std::string& to) {
  return "[SMART] corrected command '" + typed + "' -> '" + to + "'\n";
}
inline std::string corrected_path(const std::string& typed, const std::string& to) {
  return "[SMART] corrected path '" + typed + "' -> '" + to + "'\n";
}

}  // namespace vellicor::test::texts
