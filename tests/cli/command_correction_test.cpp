#include "cli/command_correction.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/temp_dir.hpp"

namespace vellicor {
namespace {

struct Corrected {
  std::string word;
  std::string printed;
};

Corrected run_correct(const std::string& typed) {
  std::string word;
  std::string printed = test::capture([&] { word = correct_command(typed); }).out;
  return {word, printed};
}

std::string announcement(const std::string& typed, const std::string& result) {
  return "[SMART] corrected command '" + typed + "' -> '" + result + "'\n";
}

struct CommandCase {
  const char* typed;
  const char* expected;  // "" when nothing is near enough
  bool announced;
};

class CorrectCommandTable : public testing::TestWithParam<CommandCase> {};

TEST_P(CorrectCommandTable, GivesTheCommandAndAnnouncesOnlyApproximateMatches) {
  const CommandCase& c = GetParam();
  Corrected r = run_correct(c.typed);
  EXPECT_EQ(r.word, c.expected);
  EXPECT_EQ(r.printed, c.announced ? announcement(c.typed, c.expected) : "");
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, CorrectCommandTable,
    testing::Values(CommandCase{"embed", "embed", false}, CommandCase{"--embed", "embed", false},
                    CommandCase{"ext", "extract", false}, CommandCase{"keys", "genkeys", false},
                    CommandCase{"EMBED", "embed", true}, CommandCase{"embd", "embed", true},
                    CommandCase{"genkey", "genkeys", true}, CommandCase{"extracted", "extract", true},
                    CommandCase{"x", "extract", true}, CommandCase{"e", "embed", true},
                    CommandCase{"help", "embed", true}, CommandCase{"-", "embed", true},
                    CommandCase{"--", "embed", true}, CommandCase{"hello", "", false},
                    CommandCase{"encrypt", "", false}, CommandCase{"version", "", false}));

INSTANTIATE_TEST_SUITE_P(
    AliasesDashesAndCapitals, CorrectCommandTable,
    testing::Values(
        // Every listed alias is silent, with or without dashes in front.
        CommandCase{"imbed", "embed", false}, CommandCase{"emebd", "embed", false},
        CommandCase{"xtract", "extract", false}, CommandCase{"extrct", "extract", false},
        CommandCase{"gen", "genkeys", false}, CommandCase{"--keygen", "genkeys", false},
        CommandCase{"-gen", "genkeys", false}, CommandCase{"---ext", "extract", false},
        // Capitals go through the approximate pass and are shown as typed.
        CommandCase{"GENKEYS", "genkeys", true}, CommandCase{"--KEYGEN", "genkeys", true},
        CommandCase{"-Extract", "extract", true},
        // Only leading dashes are stripped.
        CommandCase{"embed-", "embed", true}, CommandCase{"em-bed", "embed", true},
        // Three-byte words: ties between emb, ext and gen go to the earlier entry.
        CommandCase{"abc", "embed", true}, CommandCase{"zzz", "embed", true},
        CommandCase{"xt", "extract", true}, CommandCase{"gn", "genkeys", true},
        // Bytes above 0x7f are never folded and count as edits.
        CommandCase{"emb\xc3\xa9", "embed", true}, CommandCase{"\xc3\x89MBED", "embed", true},
        CommandCase{"qqqqq", "", false}, CommandCase{"--hello", "", false}));

TEST(CorrectCommand, EmptyWordGivesNothingAndPrintsNothing) {
  Corrected r = run_correct("");
  EXPECT_EQ(r.word, "");
  EXPECT_EQ(r.printed, "");
}

TEST(CorrectCommand, EveryWordOfUpToThreeBytesFindsACommand) {
  for (const char* word : {"a", "zz", "q-q", "...", "\xff\xff\xff"}) {
    Corrected r = run_correct(word);
    EXPECT_FALSE(r.word.empty()) << word;
    EXPECT_EQ(r.printed, announcement(word, r.word)) << word;
  }
}

struct DistanceCase {
  const char* a;
  const char* b;
  std::int32_t expected;
};

class FuzzyDistanceTable : public testing::TestWithParam<DistanceCase> {};

TEST_P(FuzzyDistanceTable, IsTheEditDistanceEitherWayRound) {
  const DistanceCase& c = GetParam();
  EXPECT_EQ(fuzzy_distance(c.a, c.b), c.expected) << c.a << " / " << c.b;
  EXPECT_EQ(fuzzy_distance(c.b, c.a), c.expected) << c.b << " / " << c.a;
  // The bounded distance agrees with the full one up to its limit, and says
  // "over" (limit + 1) past it.
  for (std::int32_t limit = 0; limit <= 7; ++limit)
    EXPECT_EQ(fuzzy_distance_within(c.a, c.b, limit), std::min(c.expected, limit + 1)) << c.a << " / " << c.b
                                                                                        << " within " << limit;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FuzzyDistanceTable,
    testing::Values(DistanceCase{"", "keygen", 6}, DistanceCase{"", "", 0}, DistanceCase{"extact", "extract", 1},
                    DistanceCase{"emebd", "embed", 2}, DistanceCase{"ab", "ba", 2}, DistanceCase{"Emb", "emb", 0},
                    DistanceCase{"ZEBRA", "zebra", 0}, DistanceCase{"kitten", "sitting", 3},
                    DistanceCase{"photo.pgn", "photo.png", 2}, DistanceCase{"fiel.txt", "file.txt", 2},
                    // '@' and '[' sit next to 'A' and 'Z' and must not fold.
                    DistanceCase{"@[", "`{", 2}, DistanceCase{"\xc3\x89", "\xc3\xa9", 1},
                    DistanceCase{"abc", "xyz", 3}, DistanceCase{"a", "abcdef", 5},
                    // Edits at both ends and in the middle of longer names.
                    DistanceCase{"xabcdefghij.png", "abcdefghij.pngy", 2},
                    DistanceCase{"abcdefghij.png", "abcdeXfghij.pnG", 1},
                    DistanceCase{"report-2024-final.txt", "repotr-2024-fnial.text", 5},
                    DistanceCase{"aaaaaaaaaa", "aaaaaaab", 3}));

}  // namespace
}  // namespace vellicor
