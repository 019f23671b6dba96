#include "i18n/language.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "util/platform.hpp"

namespace vellicor {

namespace {

constexpr std::array<std::string_view, 11> kAcceptedCodes = {"en", "pt", "es", "fr", "de", "it",
                                                             "ru", "ar", "hi", "zh", "ja"};
// Tried as substrings of the locale name; "en" is what is left when none occurs.
constexpr std::array<std::string_view, 10> kLocaleCodes = {"pt", "es", "fr", "de", "it",
                                                           "ru", "ar", "hi", "zh", "ja"};
// The suite's own variables first; LANG before the more specific ones.
constexpr std::array<const char*, 6> kLanguageVariables = {"KRV_LANG", "VC_LANG",     "LANG",
                                                           "LC_ALL",   "LC_MESSAGES", "LANGUAGE"};

std::string& language_slot() {
  static std::string language = "en";
  return language;
}

bool language_from_environment() {
  for (const char* name : kLanguageVariables) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    if (set_language(value)) return true;
  }
  return false;
}

}  // namespace

std::string normalize_language_code(std::string_view text) {
  std::string code;
  for (char c : text.substr(0, text.find_first_of("-_"))) {
    if (code.size() == 2) break;
    code.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return code;
}

bool set_language(std::string_view text) {
  std::string code = normalize_language_code(text);
  if (std::find(kAcceptedCodes.begin(), kAcceptedCodes.end(), code) == kAcceptedCodes.end()) return false;
  language_slot() = std::move(code);
  return true;
}

const std::string& current_language() { return language_slot(); }

void detect_language(const LocaleSource& locale_name) {
  if (language_from_environment()) return;
  const std::optional<std::string> name = locale_name ? locale_name() : std::nullopt;
  if (!name) return;  // no answer from the system: keep the language as it is
  // Case-sensitive on purpose: the upper-case region ("-PT", "-ES") must not match.
  std::string_view code = "en";
  for (std::string_view candidate : kLocaleCodes) {
    if (name->find(candidate) != std::string::npos) {
      code = candidate;
      break;
    }
  }
  set_language(code);
}

void detect_language() {
  detect_language([] { return user_default_locale_name(); });
}

}  // namespace vellicor
