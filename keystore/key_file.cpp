#include "keystore/key_file.hpp"

#include "util/console.hpp"

namespace vellicor {

bool read_key_file(InputFile& file, const std::string& path, std::size_t expected, SecretBytes& out) {
  const std::string want = std::to_string(expected);
  if (!file.size_known()) {
    err({"[ERR] key file '", printable(path), "' is not a regular file (expected ", want, " bytes)\n"});
    return false;
  }
  if (file.size() != expected) {
    err({"[ERR] key file '", printable(path), "' has ", std::to_string(file.size()), " bytes, expected ", want, "\n"});
    return false;
  }
  SecretBytes bytes(expected);
  if (!file.read_exact(bytes.data(), bytes.size())) return false;
  out = std::move(bytes);
  return true;
}

}  // namespace vellicor
