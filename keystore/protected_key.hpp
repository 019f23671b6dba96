#pragma once
// The secret key file under a passphrase: scrypt turns the passphrase and a
// random salt into an AES-256 key, and AES-256-GCM seals the secret key. The
// public key stays readable beside it, and every clear byte is authenticated
// with the sealed one. FORMAT.md has the layout.
//
// Nothing here prints: a false comes with a short reason in `why` for the
// caller's own line. No exception leaves these functions.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/byte_buffer.hpp"
#include "util/secret.hpp"

namespace vellicor {

// Every protected key file starts with these 8 bytes.
inline constexpr std::string_view protected_key_magic = "vcKyPRV\n";
inline constexpr std::uint8_t protected_key_version = 1;
inline constexpr std::uint8_t protected_key_kdf_scrypt = 1;
// Magic, version, KDF id, log2 N, r, p, salt, nonce: what comes before the public key.
inline constexpr std::size_t protected_key_salt_length = 32;
inline constexpr std::size_t protected_key_header_length = 8 + 1 + 1 + 1 + 4 + 4 + protected_key_salt_length + 12;

// The scrypt cost stored in the file. The program writes N = 2^18, r = 8,
// p = 1 (128 * r * N * p = 256 MiB of memory). A reader accepts 2^10 <= N <=
// 2^22, r and p from 1 on, N < 2^(16 * r), and at most 1 GiB of memory.
struct KdfCost {
  std::uint8_t log2_n = 18;
  std::uint32_t r = 8;
  std::uint32_t p = 1;
};

// The whole length of a protected file for a KEM with these key lengths; it
// is always longer than the raw secret key, so the two never share a size.
std::size_t protected_key_length(std::size_t secret_key_length, std::size_t public_key_length);

// Whether the bytes start with the magic (a cheap look at the first bytes read).
bool looks_protected(ByteView first_bytes);

// The clear part of a protected file; every view points into the file parsed.
struct ProtectedKeyHeader {
  KdfCost cost;
  ByteView salt;
  ByteView nonce;
  ByteView public_key;
  ByteView associated_data;  // every byte before the sealed key
  ByteView sealed_key;
  ByteView tag;
};

// Checks the magic, the version, the KDF id, the length and the cost, in that
// order, and fills `out`. False with a reason such as "not a protected key
// file", "unknown version 7", "has 12 bytes, expected 4815" or "cost out of
// range (log2 N 30, r 8, p 1)".
bool parse_protected_key(ByteView file, std::size_t secret_key_length, std::size_t public_key_length,
                         ProtectedKeyHeader& out, std::string& why);

// scrypt(passphrase, salt, N, r, p) into `key`, 32 bytes. The cost is checked
// first as a reader checks it.
bool derive_protection_key(const SecretBytes& passphrase, ByteView salt, const KdfCost& cost, SecretBytes& key,
                           std::string& why);

// Seals `secret_key` (its public half at secret_key_length - public_key_length
// - 64) under `passphrase`, which may not be empty, with a fresh random salt
// and nonce. `file` gets the whole protected file.
bool protect_secret_key(const SecretBytes& passphrase, const SecretBytes& secret_key, std::size_t public_key_length,
                        ByteBuffer& file, std::string& why, const KdfCost& cost = {});

// The same with the salt (32 bytes) and the nonce (12 bytes) given: for
// known-answer checks only: one salt and nonce used twice under one
// passphrase reveal the XOR of the two secret keys.
bool protect_secret_key_with(const SecretBytes& passphrase, const SecretBytes& secret_key,
                             std::size_t public_key_length, const KdfCost& cost, ByteView salt, ByteView nonce,
                             ByteBuffer& file, std::string& why);

// Opens a protected file into `secret_key`. False with "wrong passphrase, or
// the file was changed" where the tag does not verify, with "the sealed key
// does not hold the public key beside it" where the opened key's public half
// differs from the clear one, or with parse_protected_key's reason.
// `secret_key` is left empty on every false.
bool unprotect_secret_key(ByteView file, const SecretBytes& passphrase, std::size_t secret_key_length,
                          std::size_t public_key_length, SecretBytes& secret_key, std::string& why);

}  // namespace vellicor
