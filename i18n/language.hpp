#pragma once
// The run's language: from a code before the command word, or else from the
// environment and the system's default locale.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vellicor {

std::string normalize_language_code(std::string_view text);
bool set_language(std::string_view text);
void detect_language();
const std::string& current_language();

// Where detection gets the user's default locale name ("pt-BR" form);
// nullopt means the query failed. detect_language() uses the system's.
using LocaleSource = std::function<std::optional<std::string>()>;
void detect_language(const LocaleSource& locale_name);

}  // namespace vellicor
