#include "tests/support/test_png.hpp"

#include <zlib.h>

namespace vellicor::test {

namespace {
void put_be32(ByteBuffer& b, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}
}  // namespace

void append(ByteBuffer& to, ByteView bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::uint64_t be(const std::uint8_t* p, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

ByteBuffer noise(std::size_t n, std::uint32_t seed) {
  ByteBuffer b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  return b;
}

ByteBuffer bytes(std::string_view text) { return ByteBuffer(text.begin(), text.end()); }

ByteBuffer make_chunk_with_crc(std::string_view type, ByteView data, std::uint32_t crc) {
  ByteBuffer c;
  put_be32(c, static_cast<std::uint32_t>(data.size()));
  c.insert(c.end(), type.begin(), type.end());
  append(c, data);
  put_be32(c, crc);
  return c;
}

ByteBuffer make_chunk(std::string_view type, ByteView data) {
  // zlib's crc32 is the PNG CRC; computed independently of the program's own.
  uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(type.data()), 4);
  if (!data.empty()) crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
  return make_chunk_with_crc(type, data, static_cast<std::uint32_t>(crc));
}

ByteBuffer make_png(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  ByteBuffer png = kPngSignature;
  ByteBuffer ihdr;
  put_be32(ihdr, width);
  put_be32(ihdr, height);
  for (std::uint8_t b : {8, 2, 0, 0, 0}) ihdr.push_back(b);  // depth 8, RGB, no interlace
  append(png, make_chunk("IHDR", ihdr));

  ByteBuffer raw;
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::uint32_t row = 0; row < height; ++row) {
    raw.push_back(0);  // filter: none
    for (std::uint32_t i = 0; i < width * 3; ++i) {
      x = x * 1103515245u + 12345u;
      raw.push_back(static_cast<std::uint8_t>(x >> 16));
    }
  }
  uLongf packed_len = compressBound(static_cast<uLong>(raw.size()));
  ByteBuffer packed(packed_len);
  compress2(packed.data(), &packed_len, raw.data(), static_cast<uLong>(raw.size()), 6);
  packed.resize(packed_len);
  append(png, make_chunk("IDAT", packed));
  append(png, make_chunk("IEND", {}));
  return png;
}

}  // namespace vellicor::test
