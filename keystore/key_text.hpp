#pragma once
// A Kyber-1024 public key as text to share: one line of plain ASCII that
// names what it is, carries the key's 1568 bytes in an alphabet that survives
// copy and paste, and a checksum; the key's fingerprint; and the check that
// 1568 bytes are an encoded public key at all. FORMAT.md has the layout.

#include <cstddef>
#include <string>
#include <string_view>

#include "util/byte_buffer.hpp"

namespace vellicor {

// Every key text starts with this, so that any other text is refused at once.
inline constexpr std::string_view key_text_prefix = "vellicor-kyber1024-pub:";
// The key the text form carries, and its characters after the prefix: the key
// and a 4-byte checksum, 1572 bytes, in base64url without padding.
inline constexpr std::size_t key_text_key_length = 1568;
inline constexpr std::size_t key_text_characters = (key_text_key_length + 4) / 3 * 4;

// The text form of a public key of key_text_key_length bytes: one line,
// without its line feed.
std::string public_key_text(ByteView key);

// The SHA-256 of the key, all 64 lower-case hex digits, in 16 groups of 4
// separated by spaces (the digits `sha256sum` prints for the raw key file).
std::string key_fingerprint(ByteView key);

// The encapsulation-key check of FIPS 203 on the round-3 layout: all bytes
// but the last 32 hold 12-bit coefficients, two in every 3 bytes (the low
// byte first), and each must be below q = 3329.
bool key_coefficients_valid(ByteView key);

// The largest centered coefficient of the vector t that still makes a key
// one that anyone can open (see key_opens_without_secret).
inline constexpr unsigned open_key_bound = 64;

// Whether every coefficient of the key's vector t, centered in (-q/2, q/2],
// lies within +-open_key_bound: a key that the secret s = 0 opens. Only for a
// key whose coefficients are valid.
bool key_opens_without_secret(ByteView key);

// Whether `text` holds a key text's prefix anywhere (spaces, tabs and line
// breaks may stand between its characters).
bool holds_key_text(std::string_view text);

// The key of the key text in `text`: the text from the prefix on, with
// spaces, tabs and line breaks inside it skipped; other text around it is
// ignored. Every key text in `text` must give the same key. False after one
// "[ERR] " line that starts with `source` (say, "recipient file 'b.txt'").
bool key_from_text(std::string_view text, std::string_view source, ByteBuffer& key);

}  // namespace vellicor
