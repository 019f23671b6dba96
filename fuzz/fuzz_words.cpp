// The word matchers: correct_command and fuzzy_distance on fuzzed command
// words, normalize_language_code and set_language on fuzzed language codes.
// The input is split at its first zero byte into two texts a and b.
//
// fuzzy_distance is checked against a full-matrix edit distance and for the
// metric's own laws; correct_command against what its contract allows.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_correction.hpp"
#include "fuzz/fuzz_support.hpp"
#include "i18n/language.hpp"

namespace {

using namespace vellicor;

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The textbook n x m table; slow, but plainly right.
std::int32_t full_matrix_distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::int32_t>> t(a.size() + 1, std::vector<std::int32_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) t[i][0] = static_cast<std::int32_t>(i);
  for (std::size_t j = 0; j <= b.size(); ++j) t[0][j] = static_cast<std::int32_t>(j);
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j)
      t[i][j] = std::min({t[i - 1][j] + 1, t[i][j - 1] + 1,
                          t[i - 1][j - 1] + (fold(a[i - 1]) == fold(b[j - 1]) ? 0 : 1)});
  return t[a.size()][b.size()];
}

void check_distance(std::string_view a, std::string_view b) {
  const std::int32_t d = fuzzy_distance(a, b);
  FUZZ_CHECK(d == fuzzy_distance(b, a));
  const auto longer = static_cast<std::int32_t>(std::max(a.size(), b.size()));
  const auto gap = static_cast<std::int32_t>(std::max(a.size(), b.size()) - std::min(a.size(), b.size()));
  FUZZ_CHECK(d >= gap && d <= longer);
  if (a.size() * b.size() <= 64 * 64) {
    FUZZ_CHECK(fuzzy_distance(a, a) == 0);
    FUZZ_CHECK(d == full_matrix_distance(a, b));
  }
}

bool is_alias(std::string_view word) {
  for (const CommandEntry& e : command_aliases)
    for (std::string_view alias : e.aliases)
      if (alias == word) return true;
  return false;
}

void check_command(const std::string& typed) {
  const std::string got = correct_command(typed);
  FUZZ_CHECK(got.empty() || got == "embed" || got == "extract" || got == "genkeys");
  std::string_view stripped = typed;
  while (!stripped.empty() && stripped.front() == '-') stripped.remove_prefix(1);
  if (typed.empty()) {
    FUZZ_CHECK(got.empty());
    return;
  }
  // Every word of at most three bytes is within 3 of "emb", "ext" or "gen".
  if (stripped.size() <= 3) FUZZ_CHECK(!got.empty());
  if (is_alias(typed) || is_alias(stripped)) FUZZ_CHECK(!got.empty());
  if (is_alias(typed) || is_alias(stripped)) return;
  // Otherwise the nearest alias decides, the first in table order on a tie.
  std::int32_t best = 2147483647;
  std::string_view expected;
  for (const CommandEntry& e : command_aliases)
    for (std::string_view alias : e.aliases)
      if (const std::int32_t d = fuzzy_distance(stripped, alias); d < best) {
        best = d;
        expected = e.canonical;
      }
  FUZZ_CHECK(got == (best <= 3 ? expected : std::string_view()));
}

void check_language(const std::string& text) {
  static const std::vector<std::string> codes = {"en", "pt", "es", "fr", "de", "it",
                                                 "ru", "ar", "hi", "zh", "ja"};
  const std::string code = normalize_language_code(text);
  FUZZ_CHECK(code.size() <= 2);
  FUZZ_CHECK(code.find_first_of("-_") == std::string::npos);
  FUZZ_CHECK(std::none_of(code.begin(), code.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
  FUZZ_CHECK(normalize_language_code(code) == code);
  std::string head = text.substr(0, std::min(text.find_first_of("-_"), std::size_t{2}));
  std::transform(head.begin(), head.end(), head.begin(), fold);
  FUZZ_CHECK(code == head);
  const std::string before = current_language();
  const bool accepted = set_language(text);
  FUZZ_CHECK(accepted == (std::find(codes.begin(), codes.end(), code) != codes.end()));
  FUZZ_CHECK(current_language() == (accepted ? code : before));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t zero = input.find('\0');
  const std::string a = input.substr(0, zero);
  const std::string b = zero == std::string::npos ? std::string() : input.substr(zero + 1);
  check_distance(a, b);
  check_command(a);
  check_command(b);
  check_language(a);
  check_language(b);
  return 0;
}
