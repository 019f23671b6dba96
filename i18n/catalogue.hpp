#pragma once
// Keyed message texts in English, Portuguese and Spanish.

#include <string>
#include <string_view>

namespace vellicor {

// The text for the key in the current language, else in English, else the key.
std::string lookup_message(std::string_view key);

}  // namespace vellicor
