#pragma once
// Forgiving command words: aliases, leading dashes, capitals and small typing
// errors map to one of "embed", "extract", "genkeys".

#include <cstdint>
#include <string>
#include <string_view>

namespace vellicor {

// The canonical command word, or an empty text when nothing is near enough.
// An approximate match is announced on standard output.
std::string correct_command(const std::string& typed);

// Edit distance (insert, delete, substitute; ASCII letters folded).
std::int32_t fuzzy_distance(std::string_view a, std::string_view b);

}  // namespace vellicor
