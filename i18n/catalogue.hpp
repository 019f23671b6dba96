#pragma once
// Keyed message texts in English, Portuguese and Spanish.

#include <map>
#include <string>
#include <string_view>

namespace vellicor {

using MessageTable = std::map<std::string, std::string, std::less<>>;

// The table for a language code; languages without their own table get the
// English one. The tables are built on the first call.
const MessageTable& message_table(std::string_view language);

// The text for the key in the current language, else in English, else the key.
std::string lookup_message(std::string_view key);

}  // namespace vellicor
