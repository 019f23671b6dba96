#include "cli/command_correction.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "util/console.hpp"

namespace vellicor {

// Constant-initialised, so it is ready before any code runs.
constexpr std::array<CommandEntry, 3> command_aliases = {{
    {"embed", {"embed", "emb", "imbed", "emebd"}},
    {"extract", {"extract", "ext", "xtract", "extrct"}},
    {"genkeys", {"genkeys", "gen", "keys", "keygen"}},
}};

namespace {

constexpr std::int32_t kAcceptDistance = 3;

// Only the 26 ASCII capitals fold; bytes from 0x80 up stay as they are,
// whatever the user's locale says.
char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view strip_leading_dashes(std::string_view word) {
  std::size_t first = word.find_first_not_of('-');
  return first == std::string_view::npos ? std::string_view{} : word.substr(first);
}

const CommandEntry* exact_match(std::string_view typed, std::string_view stripped) {
  for (const CommandEntry& entry : command_aliases) {
    if (typed == entry.canonical) return &entry;
    for (std::string_view alias : entry.aliases)
      if (typed == alias || stripped == alias) return &entry;
  }
  return nullptr;
}

}  // namespace

std::int32_t fuzzy_distance(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  if (n == 0) return static_cast<std::int32_t>(m);
  if (m == 0) return static_cast<std::int32_t>(n);
  // Two rows are enough: each row depends only on the one before it.
  std::vector<std::int32_t> previous(m + 1);
  std::vector<std::int32_t> current(m + 1);
  for (std::size_t j = 0; j <= m; ++j) previous[j] = static_cast<std::int32_t>(j);
  for (std::size_t i = 1; i <= n; ++i) {
    current[0] = static_cast<std::int32_t>(i);
    const char ai = fold(a[i - 1]);
    for (std::size_t j = 1; j <= m; ++j) {
      const std::int32_t substitution = (ai == fold(b[j - 1])) ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + substitution});
    }
    previous.swap(current);
  }
  return previous[m];
}

std::string correct_command(const std::string& typed) {
  if (typed.empty()) return {};
  const std::string_view stripped = strip_leading_dashes(typed);
  if (const CommandEntry* entry = exact_match(typed, stripped)) return std::string(entry->canonical);

  std::string_view best_word;
  std::int32_t best_distance = std::numeric_limits<std::int32_t>::max();
  for (const CommandEntry& entry : command_aliases) {
    for (std::string_view alias : entry.aliases) {
      const std::int32_t d = fuzzy_distance(stripped, alias);
      // Strictly smaller only: among equally near aliases the first one listed wins.
      if (d < best_distance) {
        best_distance = d;
        best_word = entry.canonical;
      }
    }
  }
  if (best_distance > kAcceptDistance || best_word.empty()) return {};
  out({"[SMART] corrected command '", typed, "' -> '", best_word, "'\n"});
  return std::string(best_word);
}

}  // namespace vellicor
