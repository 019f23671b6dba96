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

std::int32_t fuzzy_distance_within(std::string_view a, std::string_view b, std::int32_t limit) {
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  const std::size_t longer = std::max(n, m);
  // The distance never exceeds the longer length: no bound to apply.
  if (limit < 0 || static_cast<std::uint64_t>(limit) >= longer) return fuzzy_distance(a, b);
  const std::size_t k = static_cast<std::size_t>(limit);
  const std::int32_t over = limit + 1;
  if ((n > m ? n - m : m - n) > k) return over;
  // Only cells with |i - j| <= k can hold k or less; any other cell counts as
  // `over`, and so does every cell once a whole row is past k.
  std::vector<std::int32_t> previous(m + 1, over);
  std::vector<std::int32_t> current(m + 1, over);
  for (std::size_t j = 0; j <= std::min(m, k); ++j) previous[j] = static_cast<std::int32_t>(j);
  for (std::size_t i = 1; i <= n; ++i) {
    const std::size_t lo = i > k ? i - k : 1;
    const std::size_t hi = std::min(m, i + k);
    current[lo - 1] = lo == 1 && i <= k ? static_cast<std::int32_t>(i) : over;
    std::int32_t row_best = current[lo - 1];
    const char ai = fold(a[i - 1]);
    for (std::size_t j = lo; j <= hi; ++j) {
      const std::int32_t substitution = (ai == fold(b[j - 1])) ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + substitution, over});
      row_best = std::min(row_best, current[j]);
    }
    if (hi < m) current[hi + 1] = over;
    if (row_best > limit) return over;
    previous.swap(current);
  }
  return previous[m];
}

std::string correct_command(const std::string& typed, bool announce) {
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
  if (announce) out({"[SMART] corrected command '", printable(typed), "' -> '", best_word, "'\n"});
  return std::string(best_word);
}

}  // namespace vellicor
