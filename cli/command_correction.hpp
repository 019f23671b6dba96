#pragma once
// Forgiving command words: aliases, leading dashes, capitals and small typing
// errors map to one of "embed", "extract", "genkeys".

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vellicor {

// One command and the words accepted for it without a message; the canonical
// word comes first. The order of entries and aliases decides ties.
struct CommandEntry {
  std::string_view canonical;
  std::array<std::string_view, 4> aliases;
};

extern const std::array<CommandEntry, 3> command_aliases;

// The canonical command word, or an empty text when nothing is near enough.
// An approximate match is announced on standard output, unless `announce` is
// false (the driver asks once before the banner, to know where lines go).
std::string correct_command(const std::string& typed, bool announce = true);

// Edit distance (insert, delete, substitute; ASCII letters folded).
std::int32_t fuzzy_distance(std::string_view a, std::string_view b);
// The same distance where it is at most `limit` (>= 0), otherwise limit + 1,
// found in time that grows with the shorter length times the limit.
std::int32_t fuzzy_distance_within(std::string_view a, std::string_view b, std::int32_t limit);

}  // namespace vellicor
