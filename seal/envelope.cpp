#include "seal/envelope.hpp"

#include "util/console.hpp"
#include "util/endian.hpp"

namespace vellicor {

namespace {

HeaderRead invalid(const char* reason) {
  err(reason);
  err("[ERR] invalid envelope in stego PNG\n");
  return HeaderRead::invalid;
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

HeaderRead read_envelope_header(const PositionedSource& source, std::uint64_t offset, std::uint64_t size,
                                EnvelopeHeader& out) {
  if (size < 2) return invalid("[ERR] envelope too small (no encaps length)\n");
  std::uint8_t k_field[2];
  if (!source.read_at(offset, k_field, 2)) return HeaderRead::read_error;
  const EnvelopeLayout at{static_cast<std::size_t>(load_be(k_field, 2))};
  if (size < at.ciphertext()) return invalid("[ERR] envelope size inconsistent\n");
  // At most 38 + 65535 bytes, and no more than the envelope really has.
  ByteBuffer bytes(at.ciphertext());
  if (!source.read_at(offset, bytes.data(), bytes.size())) return HeaderRead::read_error;
  // Compared in subtracted form so that a huge C cannot wrap around.
  const std::uint64_t c = load_be(bytes.data() + at.ciphertext_length(), 8);
  if (c > size - at.ciphertext())
    return invalid("[ERR] envelope claims ciphertext bigger than buffer\n");
  out.bytes.swap(bytes);
  out.k = at.k;
  out.c = c;
  out.ciphertext_offset = offset + at.ciphertext();
  return HeaderRead::ok;
}

bool parse_envelope(std::span<std::uint8_t> envelope, EnvelopeFields& out) {
  EnvelopeHeader header;
  if (read_envelope_header(MemorySource(envelope), 0, envelope.size(), header) != HeaderRead::ok) return false;
  const EnvelopeLayout at{header.k};
  out.kem_ciphertext = ByteView(envelope.data() + at.kem_ciphertext(), at.k);
  out.nonce = ByteView(envelope.data() + at.nonce(), gcm_nonce_length);
  out.tag = ByteView(envelope.data() + at.tag(), gcm_tag_length);
  out.ciphertext = envelope.subspan(at.ciphertext(), static_cast<std::size_t>(header.c));
  return true;
}

}  // namespace vellicor
