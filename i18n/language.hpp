#pragma once
// The run's language: from a code before the command word, or else from the
// environment and the system's default locale.

#include <string>
#include <string_view>

namespace vellicor {

std::string normalize_language_code(std::string_view text);
bool set_language(std::string_view text);
void detect_language();
const std::string& current_language();

}  // namespace vellicor
