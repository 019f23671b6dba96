#pragma once
// The roads that embed and extract take, driven from bytes in memory: the
// chunk writer and the chunk search of png/, and AES-256-GCM block by block
// as the pipelines seal and open.

#include <cstddef>
#include <cstdint>
#include <string>

#include "util/byte_buffer.hpp"

namespace vellicor::test {

// The carrier opened and walked, then `payload` written as one vcKy chunk: its
// first header_length bytes as the header that is written last (where the
// envelope header goes), the rest streamed in as the body.
bool embed_payload(const std::string& carrier, const std::string& output, ByteView payload,
                   std::size_t header_length = 0);
// The data of the first vcKy chunk; `out` is replaced only on success.
bool extract_payload(const std::string& stego, ByteBuffer& out);

// Seals `plain` under a fresh nonce.
bool seal_bytes(ByteView plain, const std::uint8_t* key, ByteBuffer& nonce, ByteBuffer& tag, ByteBuffer& ct);
// Opens `ct`; `plain` is replaced only when the tag verified.
bool open_bytes(ByteView ct, const std::uint8_t* key, const std::uint8_t* nonce, std::uint64_t nonce_len,
                const std::uint8_t* tag, std::uint64_t tag_len, ByteBuffer& plain);

}  // namespace vellicor::test
