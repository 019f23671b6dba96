#pragma once
// Reading a raw Kyber key file whose size must be exactly what the KEM
// object expects, so that the KEM never reads past a short buffer.

#include <cstddef>
#include <string>

#include "util/file_io.hpp"
#include "util/secret.hpp"

namespace vellicor {

// `file` was opened from `path`. A wrong size (or a file that is not a regular
// one) is refused with a line naming the path, the size found and the size
// expected, before any byte is read. A read error writes nothing; the caller's
// own line follows every false.
bool read_key_file(InputFile& file, const std::string& path, std::size_t expected, SecretBytes& out);

}  // namespace vellicor
