#include "png/chunk_container.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "png/chunk_walk.hpp"
#include "png/crc32.hpp"
#include "util/platform.hpp"
#include "util/console.hpp"
#include "util/file_io.hpp"

namespace vellicor {

namespace {

void store_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// The carrier's IEND, or false after the line that says why not.
bool locate_iend(const std::string& carrier_path, ByteView carrier, std::uint64_t& iend) {
  const ChunkSpot spot = find_chunk(carrier, iend_chunk_type);
  switch (spot.status) {
    case WalkStatus::found:
      iend = spot.offset;
      return true;
    case WalkStatus::too_small:
      err("[ERR] carrier file too small to be PNG\n");
      return false;
    case WalkStatus::bad_signature:
      err({"[ERR] carrier file '", carrier_path, "' is not a valid PNG (bad signature)\n"});
      return false;
    case WalkStatus::malformed:
      err("[ERR] malformed PNG: chunk length beyond file size\n");
      return false;
    case WalkStatus::not_found:
      break;
  }
  err({"[ERR] IEND chunk not found in PNG '", carrier_path, "'\n"});
  return false;
}

// Carrier before IEND, the new chunk, then IEND and everything after it, as
// five writes into one atomic file: no assembled copy of the output.
bool write_stego(const std::string& output_path, ByteView carrier, std::size_t iend, ByteView payload,
                 std::uint32_t payload_crc) {
  std::uint8_t header[8];
  store_be32(header, static_cast<std::uint32_t>(payload.size()));
  std::memcpy(header + 4, payload_chunk_type.data(), 4);
  std::uint8_t crc[4];
  store_be32(crc, png_crc32_combine(png_crc32(payload_chunk_type), payload_crc, payload.size()));

  AtomicFile out;
  return out.open(output_path) && out.write(carrier.first(iend)) && out.write(header) &&
         write_in_blocks(out, payload) && out.write(crc) && out.write(carrier.subspan(iend)) && out.commit();
}

// read_whole_file, with huge pages for a big file: the stego is the one
// buffer of extraction that is as large as the hidden file.
bool read_big_file(const std::string& path, ByteBuffer& out) {
  InputFile in;
  if (!in.open(path)) return false;
  if (!in.size_known()) return in.read_all(out);
  if (in.size() > out.max_size()) return false;
  try {
    out.resize(static_cast<std::size_t>(in.size()));
  } catch (const std::bad_alloc&) {
    return false;  // reported as a file that cannot be read
  }
  advise_huge_pages(out);
  return in.read_exact(out.data(), out.size());
}

bool fits_in_chunk(ByteView payload) {
  if (payload.size() <= max_chunk_data_length) return true;
  err({"[ERR] payload of ", std::to_string(payload.size()), " bytes does not fit in one PNG chunk (at most ",
       std::to_string(max_chunk_data_length), ")\n"});
  return false;
}

}  // namespace

bool write_in_blocks(AtomicFile& file, ByteView data) {
  for (std::size_t at = 0; at < data.size(); at += write_block_length)
    if (!file.write(data.subspan(at, std::min(write_block_length, data.size() - at)))) return false;
  return true;
}

bool embed_into_png(const std::string& carrier_path, const std::string& output_path, ByteView payload) {
  // Checked here too so that an oversized payload is not even checksummed.
  return fits_in_chunk(payload) && embed_into_png(carrier_path, output_path, payload, png_crc32(payload));
}

bool embed_into_png(const std::string& carrier_path, const std::string& output_path, ByteView payload,
                    std::uint32_t payload_crc) {
  if (!fits_in_chunk(payload)) return false;
  ByteBuffer carrier;
  if (!read_whole_file(carrier_path, carrier)) {
    err({"[ERR] cannot read carrier PNG '", carrier_path, "'\n"});
    return false;
  }
  std::uint64_t iend = 0;
  if (!locate_iend(carrier_path, carrier, iend)) return false;
  if (!write_stego(output_path, carrier, static_cast<std::size_t>(iend), payload, payload_crc)) {
    err({"[ERR] failed to write output PNG '", output_path, "'\n"});
    return false;
  }
  return true;
}

bool load_stego_png(const std::string& stego_path, StegoFile& out) {
  ByteBuffer bytes;
  if (!read_big_file(stego_path, bytes)) {
    err({"[ERR] cannot read PNG '", stego_path, "'\n"});
    return false;
  }
  const ChunkSpot spot = find_chunk(bytes, payload_chunk_type);
  switch (spot.status) {
    case WalkStatus::found:
      out.bytes.swap(bytes);
      out.payload_offset = static_cast<std::size_t>(spot.offset + 8);
      out.payload_length = static_cast<std::size_t>(spot.data_length);
      return true;
    case WalkStatus::too_small:
      err("[ERR] PNG too small\n");
      return false;
    case WalkStatus::bad_signature:
      err({"[ERR] file '", stego_path, "' is not a valid PNG (bad signature)\n"});
      return false;
    case WalkStatus::malformed:
      err("[ERR] malformed PNG while searching vcKy\n");
      return false;
    case WalkStatus::not_found:
      break;
  }
  err({"[ERR] no vcKy chunk found in PNG '", stego_path, "'\n"});
  return false;
}

bool extract_from_png(const std::string& stego_path, ByteBuffer& payload_out) {
  StegoFile stego;
  if (!load_stego_png(stego_path, stego)) return false;
  // Slide the data to the front of the file's own buffer rather than
  // allocating a second one of the payload's size.
  std::memmove(stego.bytes.data(), stego.bytes.data() + stego.payload_offset, stego.payload_length);
  stego.bytes.resize(stego.payload_length);
  payload_out.swap(stego.bytes);
  return true;
}

}  // namespace vellicor
