// The chunk walk behind embed (looking for IEND) and extract (looking for
// vcKy) on the input as a file, against a plain reference walk; then the
// roads embed and extract take on that file (open_carrier and the StegoWriter,
// with the payload split into a header written last and a body streamed in
// pieces; extract_from_png), checking what each promises about its output and
// that no temporary file is left.
// The chunk CRC (folded with carry-less multiplication for long ranges) is
// checked against a bit-at-a-time CRC, whole, piecewise and combined.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "png/chunk_container.hpp"
#include "png/chunk_walk.hpp"
#include "png/crc32.hpp"

namespace {

using namespace vellicor;
using Bytes = std::vector<std::uint8_t>;

std::uint64_t be32(const std::uint8_t* p) {
  return (std::uint64_t{p[0]} << 24) | (std::uint64_t{p[1]} << 16) | (std::uint64_t{p[2]} << 8) | p[3];
}

// Walks the chunks as the PNG layout reads, one chunk record at a time.
ChunkSpot reference_walk(const std::uint8_t* d, std::size_t n, const ChunkType& type) {
  if (n < 8) return {WalkStatus::too_small};
  if (std::memcmp(d, png_signature.data(), 8) != 0) return {WalkStatus::bad_signature};
  std::uint64_t p = 8;
  while (n - p >= 8) {
    const std::uint64_t length = be32(d + p);
    if (length > n - p - 8) return {WalkStatus::malformed};
    if (std::memcmp(d + p + 4, type.data(), 4) == 0) return {WalkStatus::found, p, length};
    if (length + 12 >= n - p) break;  // the next chunk would start at or past the end
    p += length + 12;
  }
  return {WalkStatus::not_found};
}

// The PNG CRC one bit at a time, straight from its definition.
std::uint32_t bitwise_crc(const std::uint8_t* d, std::size_t n, std::uint32_t reg = 0xFFFFFFFF) {
  for (std::size_t i = 0; i < n; ++i) {
    reg ^= d[i];
    for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1u)));
  }
  return reg;
}

void check_crc(const std::uint8_t* d, std::size_t n) {
  const std::uint32_t whole = ~bitwise_crc(d, n);
  FUZZ_CHECK(png_crc32(ByteView(d, n)) == whole);
  const std::size_t cut = n == 0 ? 0 : d[0] % (n + 1);
  const ByteView a(d, cut), b(d + cut, n - cut);
  FUZZ_CHECK(png_crc32_update(png_crc32(a), b) == whole);
  FUZZ_CHECK(png_crc32_combine(png_crc32(a), png_crc32(b), b.size()) == whole);
}

bool same_spot(const ChunkSpot& a, const ChunkSpot& b) {
  if (a.status != b.status) return false;
  return a.status != WalkStatus::found || (a.offset == b.offset && a.data_length == b.data_length);
}

Bytes stego_expected(const std::uint8_t* d, std::size_t n, std::uint64_t iend, const Bytes& payload) {
  Bytes out(d, d + iend);
  const std::uint32_t len = static_cast<std::uint32_t>(payload.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(len >> shift));
  out.insert(out.end(), payload_chunk_type.begin(), payload_chunk_type.end());
  out.insert(out.end(), payload.begin(), payload.end());
  Bytes typed(payload_chunk_type.begin(), payload_chunk_type.end());
  typed.insert(typed.end(), payload.begin(), payload.end());
  const std::uint32_t crc = ~bitwise_crc(typed.data(), typed.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(crc >> shift));
  out.insert(out.end(), d + iend, d + n);
  return out;
}

// Writes the stego as encrypt_and_embed does: the header last, at its place,
// the body in pieces whose sizes come from the input.
bool embed(const std::string& carrier_path, const std::string& output, const Bytes& payload) {
  const std::size_t header_length = payload.empty() ? 0 : payload[0] % (payload.size() + 1);
  const ByteView header(payload.data(), header_length);
  const std::size_t piece = payload.size() < 2 ? 1 : 1 + payload[1] % 64;
  Carrier carrier;
  StegoWriter writer;
  if (!open_carrier(carrier_path, carrier) || !writer.open(output, carrier, header_length)) return false;
  for (std::size_t at = header_length; at < payload.size(); at += piece)
    if (!writer.append(ByteView(payload.data() + at, std::min(piece, payload.size() - at)))) return false;
  return writer.finish(header);
}

// The data of the first vcKy chunk, as extract_and_decrypt reads it.
bool extract(const std::string& stego_path, Bytes& out) {
  StegoPayload stego;
  if (!extract_from_png(stego_path, stego)) return false;
  out.resize(stego.length);
  FUZZ_CHECK(stego.file.read_at(stego.offset, out.data(), out.size()));
  return true;
}

void check_embed(const std::string& dir, const std::uint8_t* d, std::size_t n, const ChunkSpot& iend,
                 const ChunkSpot& first_payload, const Bytes& payload) {
  const std::string carrier = dir + "/carrier.png";
  const std::string output = dir + "/out.png";
  fuzz::remove_file(output);
  const bool ok = embed(carrier, output, payload);
  FUZZ_CHECK(ok == (iend.status == WalkStatus::found));
  if (!ok) {
    FUZZ_CHECK(fuzz::list_dir(dir) == std::vector<std::string>{"carrier.png"});
    return;
  }
  FUZZ_CHECK((fuzz::list_dir(dir) == std::vector<std::string>{"carrier.png", "out.png"}));
  Bytes written;
  FUZZ_CHECK(fuzz::read_bytes(output, written));
  FUZZ_CHECK(written == stego_expected(d, n, iend.offset, payload));

  // The new chunk sits before IEND, so only a vcKy chunk in front of it wins.
  Bytes got;
  FUZZ_CHECK(extract(output, got));
  const bool older_first = first_payload.status == WalkStatus::found && first_payload.offset < iend.offset;
  if (older_first)
    FUZZ_CHECK(got == Bytes(d + first_payload.offset + 8, d + first_payload.offset + 8 + first_payload.data_length));
  else
    FUZZ_CHECK(got == payload);
  fuzz::remove_file(output);
}

void check_extract(const std::string& carrier, const std::uint8_t* d, const ChunkSpot& first_payload) {
  Bytes got;
  const bool ok = extract(carrier, got);
  FUZZ_CHECK(ok == (first_payload.status == WalkStatus::found));
  if (ok)
    FUZZ_CHECK(got == Bytes(d + first_payload.offset + 8, d + first_payload.offset + 8 + first_payload.data_length));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_crc(data, size);
  const ChunkSpot iend = reference_walk(data, size, iend_chunk_type);
  const ChunkSpot first_payload = reference_walk(data, size, payload_chunk_type);

  const std::string& dir = fuzz::scratch_dir();
  if (!fuzz::write_bytes(dir + "/carrier.png", data, size)) return 0;
  // The walk by positioned reads on the file agrees with the reference.
  InputFile file;
  FUZZ_CHECK(file.open(dir + "/carrier.png"));
  FUZZ_CHECK(same_spot(find_chunk(file, iend_chunk_type), iend));
  FUZZ_CHECK(same_spot(find_chunk(file, payload_chunk_type), first_payload));
  // A header window that ends inside headers gives the same spots.
  const std::size_t window = 8 + (size == 0 ? 0 : data[size - 1] % 24);
  FUZZ_CHECK(same_spot(find_chunk(file, iend_chunk_type, window), iend));
  FUZZ_CHECK(same_spot(find_chunk(file, payload_chunk_type, window), first_payload));
  // The payload is taken from the input too, so its length varies (0 to 200,
  // long enough for the CRC's folding path).
  const Bytes payload(data, data + (size < 200 ? size : 200));
  check_embed(dir, data, size, iend, first_payload, payload);
  check_extract(dir + "/carrier.png", data, first_payload);
  return 0;
}
