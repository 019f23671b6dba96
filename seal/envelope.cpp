#include "seal/envelope.hpp"

#include "util/console.hpp"

namespace vellicor {

namespace {

void store_be(std::uint8_t* p, std::uint64_t v, int width) {
  for (int i = width - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

std::uint64_t load_be(const std::uint8_t* p, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

bool invalid(const char* reason) {
  err(reason);
  err("[ERR] invalid envelope in stego PNG\n");
  return false;
}

}  // namespace

ByteBuffer build_envelope(ByteView kem_ciphertext, ByteView nonce, ByteView tag, ByteView ciphertext) {
  ByteBuffer env;
  env.reserve(2 + kem_ciphertext.size() + nonce.size() + tag.size() + 8 + ciphertext.size());
  std::uint8_t k[2], c[8];
  store_be(k, kem_ciphertext.size() & 0xFFFF, 2);
  store_be(c, ciphertext.size(), 8);
  for (ByteView piece : {ByteView(k), kem_ciphertext, nonce, tag, ByteView(c), ciphertext})
    env.insert(env.end(), piece.begin(), piece.end());
  return env;
}

void store_envelope_lengths(std::span<std::uint8_t> envelope, std::size_t k, std::uint64_t c) {
  const EnvelopeLayout at{k};
  store_be(envelope.data(), k & 0xFFFF, 2);
  store_be(envelope.data() + at.ciphertext_length(), c, 8);
}

bool parse_envelope(std::span<std::uint8_t> envelope, EnvelopeFields& out) {
  const std::uint64_t size = envelope.size();
  if (size < 2) return invalid("[ERR] envelope too small (no encaps length)\n");
  const EnvelopeLayout at{static_cast<std::size_t>(load_be(envelope.data(), 2))};
  if (size < at.ciphertext()) return invalid("[ERR] envelope size inconsistent\n");
  // Compared in subtracted form so that a huge C cannot wrap around.
  const std::uint64_t c = load_be(envelope.data() + at.ciphertext_length(), 8);
  if (c > size - at.ciphertext()) return invalid("[ERR] envelope claims ciphertext bigger than buffer\n");

  out.kem_ciphertext = ByteView(envelope.data() + at.kem_ciphertext(), at.k);
  out.nonce = ByteView(envelope.data() + at.nonce(), gcm_nonce_length);
  out.tag = ByteView(envelope.data() + at.tag(), gcm_tag_length);
  out.ciphertext = envelope.subspan(at.ciphertext(), static_cast<std::size_t>(c));
  return true;
}

}  // namespace vellicor
