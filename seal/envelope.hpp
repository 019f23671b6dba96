#pragma once
// The sealed envelope, all integers big-endian:
//   K (16 bits) | KEM ciphertext (K) | nonce (12) | tag (16) | C (64 bits) | ciphertext (C)
// Bytes after the ciphertext are ignored by the reader.

#include <cstddef>
#include <cstdint>
#include <span>

#include "seal/aes_gcm.hpp"
#include "util/byte_buffer.hpp"
#include "util/file_io.hpp"

namespace vellicor {

// Where each field starts for a KEM ciphertext of k bytes.
struct EnvelopeLayout {
  std::size_t k;
  constexpr std::size_t kem_ciphertext() const { return 2; }
  constexpr std::size_t nonce() const { return 2 + k; }
  constexpr std::size_t tag() const { return nonce() + gcm_nonce_length; }
  constexpr std::size_t ciphertext_length() const { return tag() + gcm_tag_length; }
  constexpr std::size_t ciphertext() const { return ciphertext_length() + 8; }  // 38 + K
};

// The envelope is filled field by field where it lies (the KEM and the cipher
// write theirs in place); this writes K (its low 16 bits) and C into theirs.
void store_envelope_lengths(std::span<std::uint8_t> envelope, std::size_t k, std::uint64_t c);

// The fixed fields of an envelope that stays where it lies (in a file), read
// and checked against its real size; the ciphertext is then read in blocks
// from ciphertext_offset.
struct EnvelopeHeader {
  ByteBuffer bytes;  // K, KEM ciphertext, nonce, tag, C: 38 + K bytes
  std::size_t k = 0;
  std::uint64_t c = 0;
  std::uint64_t ciphertext_offset = 0;

  ByteView kem_ciphertext() const { return ByteView(bytes).subspan(2, k); }
  ByteView nonce() const { return ByteView(bytes).subspan(EnvelopeLayout{k}.nonce(), gcm_nonce_length); }
  ByteView tag() const { return ByteView(bytes).subspan(EnvelopeLayout{k}.tag(), gcm_tag_length); }
};

enum class HeaderRead { ok, invalid, read_error };

// Reads `size` bytes of envelope at `offset` of `source` and checks the
// lengths against that real size. invalid has written the reason and then
// "[ERR] invalid envelope in stego PNG"; read_error has written nothing.
HeaderRead parse_envelope(const InputFile& source, std::uint64_t offset, std::uint64_t size,
                          EnvelopeHeader& out);

}  // namespace vellicor
