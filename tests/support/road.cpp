#include "tests/support/road.hpp"

#include <algorithm>

#include "png/chunk_container.hpp"
#include "seal/aes_gcm.hpp"

namespace vellicor::test {

bool embed_payload(const std::string& carrier_path, const std::string& output, ByteView payload,
                   std::size_t header_length) {
  const ByteView header = payload.first(header_length), body = payload.subspan(header_length);
  Carrier carrier;
  StegoWriter writer;
  if (!open_carrier(carrier_path, carrier) || !writer.open(output, carrier, header.size(), body.size())) return false;
  for (std::size_t at = 0; at < body.size(); at += write_block_length)
    if (!writer.append(body.subspan(at, std::min(write_block_length, body.size() - at)))) return false;
  return writer.finish(header);
}

bool extract_payload(const std::string& stego_path, ByteBuffer& out) {
  StegoPayload stego;
  if (!extract_from_png(stego_path, stego)) return false;
  ByteBuffer data(static_cast<std::size_t>(stego.length));
  if (!stego.file.read_at(stego.offset, data.data(), data.size())) return false;
  out.swap(data);
  return true;
}

bool seal_bytes(ByteView plain, const std::uint8_t* key, ByteBuffer& nonce, ByteBuffer& tag, ByteBuffer& ct) {
  nonce.assign(gcm_nonce_length, 0);
  tag.assign(gcm_tag_length, 0);
  ct.assign(plain.begin(), plain.end());
  GcmSealer sealer;
  return sealer.start(key, nonce.data()) && sealer.seal(ct) && sealer.finish(tag.data());
}

bool open_bytes(ByteView ct, const std::uint8_t* key, const std::uint8_t* nonce, std::uint64_t nonce_len,
                const std::uint8_t* tag, std::uint64_t tag_len, ByteBuffer& plain) {
  ByteBuffer opened(ct.begin(), ct.end());
  GcmOpener opener;
  if (!opener.start(key, nonce, nonce_len)) return false;
  opener.open(opened);
  if (!opener.finish(tag, tag_len)) return false;
  plain.swap(opened);
  return true;
}

}  // namespace vellicor::test
