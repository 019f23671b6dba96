#pragma once
// Hiding a byte string in a PNG as one private vcKy chunk before IEND, and
// finding it again.

#include <cstdint>
#include <string>

#include "util/byte_buffer.hpp"

namespace vellicor {

std::uint32_t png_crc32(ByteView bytes);

bool embed_into_png(const std::string& carrier_path, const std::string& output_path, ByteView payload);
bool extract_from_png(const std::string& stego_path, ByteBuffer& payload_out);

}  // namespace vellicor
