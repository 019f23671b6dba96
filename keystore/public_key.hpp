#pragma once
// Public keys between two people: one's own, shared as text (pubkey), and the
// recipient's, read for embed --to.

#include <string>

#include "util/byte_buffer.hpp"

namespace vellicor {

// The own public key in its text form, with its fingerprint line: on standard
// output where `output_path` is empty, else written to that file (complete or
// not at all, never onto a key file). The pair is opened and checked as embed
// checks it, halves compared, first. False after its "[ERR] " line.
bool share_public_key(const std::string& output_path);

// The recipient of embed --to: a key text itself (it starts with the
// prefix), or the path of a file that holds a key text or the raw key of
// `key_length` bytes; the path is taken as typed. The key's coefficients are
// checked, and its fingerprint line is written. False after one "[ERR] "
// line, also where `output_path` names the recipient file.
bool read_recipient_key(const std::string& recipient, const std::string& output_path, std::size_t key_length,
                        ByteBuffer& key);

// False, after one "[ERR] " line that starts with `source`, where `key` is no
// valid Kyber-1024 public key of `key_length` bytes (a coefficient is q or
// more), or one that anyone can open (every coefficient of t is small).
bool public_key_usable(ByteView key, std::size_t key_length, std::string_view source);

}  // namespace vellicor
