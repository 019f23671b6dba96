#pragma once
// For the Windows files of util/ only: the system's wording of an error code
// from GetLastError ("Access is denied"), or its number where it has none.

#include <string>

namespace vellicor {

std::string windows_error_text(unsigned long code);

}  // namespace vellicor
