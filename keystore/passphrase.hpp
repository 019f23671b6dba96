#pragma once
// Where the passphrase of a protected kyber.prv comes from: the first line of
// the file that --passphrase-file names, else the terminal with echo off.
// Never the command line or the environment.

#include <optional>
#include <string>

#include "util/secret.hpp"

namespace vellicor {

struct PassphraseSource {
  std::optional<std::string> file;  // --passphrase-file, as typed (never corrected)
};

// The passphrase that opens kyber.prv. False after one "[ERR] " line (no
// terminal and no file, a file others may read, an empty first line).
bool passphrase_to_open(const PassphraseSource& source, SecretBytes& out);

// A passphrase to protect kyber.prv with: the file's first line, else asked
// twice at the terminal. An empty answer at the terminal is given back empty
// (the caller decides what it means); one from a file is refused. False
// after one "[ERR] " line.
bool passphrase_to_set(const PassphraseSource& source, SecretBytes& out);

// Asks at the terminal (echo on) and tells whether the answer is "yes".
bool confirmed_at_terminal(const std::string& question);

}  // namespace vellicor
