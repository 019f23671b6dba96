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

void store_envelope_lengths(std::span<std::uint8_t> envelope, std::size_t k, std::uint64_t c) {
  const EnvelopeLayout at{k};
  store_be(envelope.data(), k & 0xFFFF, 2);
  store_be(envelope.data() + at.ciphertext_length(), c, 8);
}

HeaderRead parse_envelope(const InputFile& source, std::uint64_t offset, std::uint64_t size,
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

}  // namespace vellicor
