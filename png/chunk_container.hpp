#pragma once
// Hiding a byte string in a PNG as one private vcKy chunk before IEND, and
// finding it again. Files are never read whole: the chunk walk reads headers
// at their positions, and the carrier's bytes are copied in ranges.

#include <cstddef>
#include <cstdint>
#include <string>

#include "png/chunk_walk.hpp"
#include "util/byte_buffer.hpp"
#include "util/file_io.hpp"

namespace vellicor {

// The PNG rules allow a chunk at most 2^31-1 data bytes.
inline constexpr std::uint64_t max_chunk_data_length = 0x7FFFFFFF;

// A carrier opened and walked to its first IEND.
struct Carrier {
  InputFile file;
  std::uint64_t iend = 0;
  std::string path;  // as typed, for its lines
};

// Opens the carrier and finds its IEND, or writes the line that says why not.
bool open_carrier(const std::string& carrier_path, Carrier& out);

// Writes a stego PNG in order: the carrier before IEND; the vcKy chunk, whose
// data is a header that is known only at the end followed by a body that is
// streamed in; then IEND and everything after it. Each failure writes the
// output line ("failed to write output PNG").
class StegoWriter {
 public:
  // body_length: the body's length where it is known in advance (0 if not).
  // The carrier is let go of once its bytes are copied, before the output
  // takes its name (it may be the output).
  bool open(const std::string& output_path, Carrier& carrier, std::size_t header_length,
            std::uint64_t body_length = 0);
  bool append(ByteView body_block);
  // header.size() must be the header_length given to open.
  bool finish(ByteView header);

 private:
  bool failed();

  AtomicFile out_;
  Carrier* carrier_ = nullptr;
  std::string output_path_;
  std::error_code why_;  // the last failure of the output, or of the carrier read into it
  std::uint64_t header_at_ = 0;  // where the chunk's length field starts
  std::size_t header_length_ = 0;
  std::uint64_t body_length_ = 0;
  std::uint32_t body_crc_ = 0;
};

// A stego PNG opened, with the place of its first vcKy chunk's data.
struct StegoPayload {
  InputFile file;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Opens a stego PNG and finds its first vcKy chunk, or writes the line that
// says why not.
bool extract_from_png(const std::string& stego_path, StegoPayload& out);

}  // namespace vellicor
