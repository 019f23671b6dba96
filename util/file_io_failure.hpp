#pragma once
// How the file layer's functions report a failure: false, with the reason
// stored where the caller asked for it. Shared by its files only.

#include <cstring>
#include <string>
#include <string_view>

namespace vellicor::file_io_failure {

inline bool fail(std::string* why, int error) {
  if (why != nullptr) *why = std::strerror(error);
  return false;
}

inline bool fail_text(std::string* why, std::string_view text) {
  if (why != nullptr) *why = text;
  return false;
}

}  // namespace vellicor::file_io_failure
