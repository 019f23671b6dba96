#pragma once
// Whole-file buffers of hundreds of megabytes cost more in page faults than in
// copying when they are backed by 4 KiB pages; asking for huge pages halves
// the time to read such a file in (see bench/). Only advice: where the system
// has no such thing, nothing changes.

#include "util/byte_buffer.hpp"

namespace vellicor {

// Call after the buffer has its final size and before its bytes are first
// written. Small buffers are left alone.
void advise_huge_pages(ByteBuffer& buffer) noexcept;

}  // namespace vellicor
