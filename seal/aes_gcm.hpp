#pragma once
// The AES-256 key from the KEM's shared secret, and AES-256-GCM with a 96-bit
// nonce, a 128-bit tag and no associated data. Every function writes its own
// "[ERR] " line and returns false on failure.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "util/byte_buffer.hpp"

namespace vellicor {

inline constexpr std::size_t aes_key_length = 32;
inline constexpr std::size_t gcm_nonce_length = 12;
inline constexpr std::size_t gcm_tag_length = 16;

// Long payloads are processed in pieces of this size: GCM makes two passes
// over what it is given (the counter mode and the hash), and a piece this
// small is still in the cache for the second (see bench/micro_bench.cpp).
inline constexpr std::size_t gcm_piece_length = std::size_t{1} << 18;

// key_out receives SHA-256(shared), all 32 bytes.
bool derive_aes256_from_shared(const std::uint8_t* shared, std::uint64_t shared_len, std::uint8_t* key_out);

// Seals a payload block by block as it arrives, so that each block is
// encrypted (and can be checksummed) while it is still in the cache. The
// result is the same as sealing the whole payload at once.
class GcmSealer {
 public:
  GcmSealer();
  ~GcmSealer();
  GcmSealer(const GcmSealer&) = delete;
  GcmSealer& operator=(const GcmSealer&) = delete;

  // Draws a fresh random nonce into nonce_out (12 bytes) and keys the cipher.
  bool start(const std::uint8_t* key, std::uint8_t* nonce_out);
  bool seal(std::span<std::uint8_t> block);  // in place, in pieces of gcm_piece_length
  bool finish(std::uint8_t* tag_out);        // 16 bytes

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Opens a ciphertext block by block as it arrives. The blocks are plaintext
// that has not been verified until finish() says the tag matched; on false
// finish() has written its line.
class GcmOpener {
 public:
  GcmOpener();
  ~GcmOpener();
  GcmOpener(const GcmOpener&) = delete;
  GcmOpener& operator=(const GcmOpener&) = delete;

  bool start(const std::uint8_t* key, const std::uint8_t* nonce, std::uint64_t nonce_len);
  void open(std::span<std::uint8_t> block);  // in place
  bool finish(const std::uint8_t* tag, std::uint64_t tag_len);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vellicor
