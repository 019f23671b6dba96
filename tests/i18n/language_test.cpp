#include "i18n/language.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "tests/support/environment.hpp"

namespace vellicor {
namespace {

constexpr std::array<const char*, 6> kVariables = {"KRV_LANG", "VC_LANG", "LANG", "LC_ALL", "LC_MESSAGES", "LANGUAGE"};

// Saves the six language variables, clears them for the test and puts the
// saved values back afterwards; the language goes back to "en" as well.
class LanguageEnvironment : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kVariables) {
      if (const char* v = std::getenv(name)) saved_[name] = v;
      test::unset_env(name);
    }
    set_language("en");
  }
  void TearDown() override {
    for (const char* name : kVariables) {
      auto it = saved_.find(name);
      if (it != saved_.end())
        test::set_env(name, it->second);
      else
        test::unset_env(name);
    }
    set_language("en");
  }

  static LocaleSource fixed_locale(std::optional<std::string> name) {
    return [name] { return name; };
  }

  std::map<std::string, std::string> saved_;
};

TEST(NormalizeLanguageCode, TakesTheFirstTwoLettersBeforeAnySeparator) {
  const std::map<std::string, std::string> cases = {
      {"pt_BR.UTF-8", "pt"}, {"de-DE", "de"}, {"EN", "en"}, {"de:en", "de"}, {"english", "en"},
      {"C", "c"},            {"C.UTF-8", "c."}, {"POSIX", "po"}, {"-pt", ""},  {"_pt", ""},
      {"", ""},              {"e", "e"},       {"ES", "es"},   {"Deutsch", "de"}, {"--help", ""},
      {"-h", ""},            {"genkeys", "ge"}, {"embed", "em"}, {"extract", "ex"}, {"\xc3\x89S", "\xc3\x89"},
      {"p_t", "p"},
  };
  for (const auto& [text, code] : cases) EXPECT_EQ(normalize_language_code(text), code) << text;
}

TEST_F(LanguageEnvironment, SetLanguageKeepsTheNormalisedCodeOrRejects) {
  struct Case {
    const char* text;
    bool accepted;
    const char* language_after;
  };
  const Case cases[] = {
      {"ES", true, "es"},         {"english", true, "en"},  {"Deutsch", true, "de"}, {"italiano", true, "it"},
      {"enbed", true, "en"},      {"ja_JP", true, "ja"},     {"pt", true, "pt"},      {"genkeys", false, "pt"},
      {"embed", false, "pt"},     {"extract", false, "pt"},  {"--help", false, "pt"}, {"-h", false, "pt"},
      {"--version", false, "pt"}, {"-v", false, "pt"},       {"", false, "pt"},       {"xx", false, "pt"},
      {"C", false, "pt"},         {"e", false, "pt"},        {"ZH-Hans", true, "zh"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(set_language(c.text), c.accepted) << c.text;
    EXPECT_EQ(current_language(), c.language_after) << c.text;
  }
}

TEST_F(LanguageEnvironment, EnvironmentIsReadInItsOrder) {
  struct Case {
    std::map<std::string, std::string> env;
    const char* expected;
  };
  const Case cases[] = {
      {{{"LANG", "pt_BR.UTF-8"}, {"KRV_LANG", "xx"}}, "pt"},
      {{{"LANG", "C"}, {"LC_ALL", "de_DE.UTF-8"}}, "de"},
      {{{"LANG", "pt_BR.UTF-8"}, {"LC_ALL", "de_DE.UTF-8"}}, "pt"},
      {{{"LANGUAGE", "es:en"}}, "es"},
      {{{"KRV_LANG", "ja"}, {"VC_LANG", "fr"}, {"LANG", "de"}}, "ja"},
      {{{"KRV_LANG", ""}, {"VC_LANG", "fr"}, {"LANG", "de"}}, "fr"},
      {{{"LC_MESSAGES", "it_IT"}, {"LANGUAGE", "ru"}}, "it"},
      {{{"LANG", "C.UTF-8"}, {"LC_ALL", "POSIX"}, {"LC_MESSAGES", "en_GB"}}, "en"},
  };
  for (const Case& c : cases) {
    for (const char* name : kVariables) test::unset_env(name);
    for (const auto& [name, value] : c.env) test::set_env(name, value);
    set_language("en");
    // A locale answer would say "ar"; the environment must win before it is asked.
    bool asked = false;
    detect_language([&asked] {
      asked = true;
      return std::optional<std::string>("ar-EG");
    });
    EXPECT_EQ(current_language(), c.expected) << "case expecting " << c.expected;
    EXPECT_FALSE(asked) << "case expecting " << c.expected;
  }
}

TEST_F(LanguageEnvironment, LocaleNameIsSearchedForTheFirstCodeCaseSensitively) {
  test::set_env("LANG", "C");  // rejected, so the locale is asked
  test::set_env("LANGUAGE", "");
  const std::map<std::string, std::string> cases = {
      {"pt-BR", "pt"}, {"es-419", "es"}, {"zh-Hans-CN", "zh"}, {"en-US", "en"}, {"sr-Latn-RS", "en"},
      {"fr-CA", "fr"}, {"en-PT", "en"},  {"ja", "ja"},          {"hi-IN", "hi"}, {"", "en"},
      // "es" occurs before "de" in the list, wherever they stand in the name.
      {"de-es", "es"},
  };
  for (const auto& [name, expected] : cases) {
    set_language("ru");
    detect_language(fixed_locale(name));
    EXPECT_EQ(current_language(), expected) << name;
  }
}

TEST_F(LanguageEnvironment, FailedLocaleQueryLeavesTheLanguage) {
  set_language("it");
  detect_language(fixed_locale(std::nullopt));
  EXPECT_EQ(current_language(), "it");
  set_language("en");
  detect_language(fixed_locale(std::nullopt));
  EXPECT_EQ(current_language(), "en");
}

}  // namespace
}  // namespace vellicor
