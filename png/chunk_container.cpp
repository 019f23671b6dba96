#include "png/chunk_container.hpp"

#include <cstring>

#include "png/crc32.hpp"
#include "util/console.hpp"
#include "util/endian.hpp"

namespace vellicor {

namespace {

// A source that cannot seek (a pipe) is copied into an unnamed temporary file
// to be walked, as long as it starts as a PNG does, and up to this size; a
// regular file is only read where the walk or the copy needs it.
constexpr std::uint64_t kPipeLimit = std::uint64_t{64} << 30;

// Opens a carrier or stego for reading at positions. Where it comes through
// a pipe and the temporary folder cannot hold its copy, that folder is named
// first; the caller's line for the file follows.
bool open_png(InputFile& file, const std::string& path) {
  std::error_code why;
  if (file.open_positioned(path, kPipeLimit, png_signature, &why)) return true;
  if (in_temporary_folder(why))
    err({"[ERR] cannot copy '", printable(path), "' into the temporary folder: ", why.message(), "\n"});
  return false;
}

bool fits_in_chunk(std::uint64_t length) {
  if (length <= max_chunk_data_length) return true;
  err({"[ERR] payload of ", std::to_string(length), " bytes does not fit in one PNG chunk (at most ",
       std::to_string(max_chunk_data_length), ")\n"});
  return false;
}

}  // namespace

bool open_carrier(const std::string& carrier_path, Carrier& out) {
  out.path = carrier_path;
  if (!open_png(out.file, carrier_path)) {
    err({"[ERR] cannot read carrier PNG '", printable(carrier_path), "'\n"});
    return false;
  }
  const ChunkSpot spot = find_chunk(out.file, iend_chunk_type);
  switch (spot.status) {
    case WalkStatus::found:
      out.iend = spot.offset;
      if (spot.payloads_before > 0)
        err({"[WARN] carrier PNG '", printable(carrier_path),
             "' already hides a file: extract will restore that one, not the new one\n"});
      return true;
    case WalkStatus::too_small:
      err("[ERR] carrier file too small to be PNG\n");
      return false;
    case WalkStatus::bad_signature:
      err({"[ERR] carrier file '", printable(carrier_path), "' is not a valid PNG (bad signature)\n"});
      return false;
    case WalkStatus::malformed:
      err("[ERR] malformed PNG: chunk length beyond file size\n");
      return false;
    case WalkStatus::read_error:
      err({"[ERR] cannot read carrier PNG '", printable(carrier_path), "'\n"});
      return false;
    case WalkStatus::not_found:
      break;
  }
  err({"[ERR] IEND chunk not found in PNG '", printable(carrier_path), "'\n"});
  return false;
}

bool StegoWriter::failed() {
  // A carrier that ended early (it shrank while it was copied) is what
  // failed, not the output.
  if (carrier_ != nullptr && why_ == FileError::short_read) {
    err({"[ERR] cannot read carrier PNG '", printable(carrier_->path), "'\n"});
    return false;
  }
  err({"[ERR] failed to write output PNG '", printable(output_path_), "'\n"});
  return false;
}

bool StegoWriter::open(const std::string& output_path, Carrier& carrier, std::size_t header_length,
                       std::uint64_t body_length) {
  output_path_ = output_path;
  carrier_ = &carrier;
  header_at_ = carrier.iend;
  header_length_ = header_length;
  body_length_ = 0;
  body_crc_ = 0;
  // The chunk's length, type and header are written for real in finish().
  const ByteBuffer placeholder(8 + header_length, 0);
  why_.clear();
  if (!out_.open(output_path, {}, &why_)) return failed();
  out_.expect(carrier.file.size() + 12 + header_length + body_length);
  if (!(out_.copy_from(carrier.file, 0, carrier.iend, &why_) && out_.write(placeholder, &why_)))
    return failed();
  return true;
}

bool StegoWriter::append(ByteView body_block) {
  if (!fits_in_chunk(header_length_ + body_length_ + body_block.size())) return false;
  if (!out_.write(body_block, &why_)) return failed();
  body_crc_ = png_crc32_update(body_crc_, body_block);
  body_length_ += body_block.size();
  return true;
}

bool StegoWriter::finish(ByteView header) {
  if (header.size() != header_length_) return failed();
  const std::uint64_t data_length = header_length_ + body_length_;
  ByteBuffer head(8 + header_length_);
  store_be32(head.data(), static_cast<std::uint32_t>(data_length));
  std::memcpy(head.data() + 4, payload_chunk_type.data(), 4);
  if (!header.empty()) std::memcpy(head.data() + 8, header.data(), header.size());
  std::uint8_t crc[4];
  const std::uint32_t head_crc = png_crc32(ByteView(head).subspan(4));
  store_be32(crc, png_crc32_combine(head_crc, body_crc_, body_length_));
  Carrier& c = *carrier_;
  if (!(out_.write(crc, &why_) && out_.copy_from(c.file, c.iend, c.file.size() - c.iend, &why_) &&
        out_.write_at(header_at_, head, &why_)))
    return failed();
  c.file.close();
  if (!out_.commit(&why_)) return failed();
  warn_if_unflushed(output_path_, out_.after_naming_warning());
  return true;
}

bool extract_from_png(const std::string& stego_path, StegoPayload& out) {
  if (!open_png(out.file, stego_path)) {
    err({"[ERR] cannot read PNG '", printable(stego_path), "'\n"});
    return false;
  }
  const ChunkSpot spot = find_chunk(out.file, payload_chunk_type);
  switch (spot.status) {
    case WalkStatus::found: {
      out.offset = spot.offset + 8;
      out.length = spot.data_length;
      const std::uint64_t count = 1 + count_payload_chunks(out.file, out.offset + out.length + 4);
      if (count > 1)
        err({"[WARN] PNG '", printable(stego_path), "' hides ", std::to_string(count),
             " files (vcKy chunks); the first one is restored\n"});
      return true;
    }
    case WalkStatus::too_small:
      err("[ERR] PNG too small\n");
      return false;
    case WalkStatus::bad_signature:
      err({"[ERR] file '", printable(stego_path), "' is not a valid PNG (bad signature)\n"});
      return false;
    case WalkStatus::malformed:
      err("[ERR] malformed PNG while searching vcKy\n");
      return false;
    case WalkStatus::read_error:
      err({"[ERR] cannot read PNG '", printable(stego_path), "'\n"});
      return false;
    case WalkStatus::not_found:
      break;
  }
  err({"[ERR] no vcKy chunk found in PNG '", printable(stego_path), "'\n"});
  return false;
}

}  // namespace vellicor
