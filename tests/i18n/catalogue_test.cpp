#include "i18n/catalogue.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "i18n/language.hpp"

namespace vellicor {
namespace {

std::vector<std::string> keys_of(const MessageTable& table) {
  std::vector<std::string> keys;
  for (const auto& [key, text] : table) keys.push_back(key);
  return keys;
}

class Catalogue : public testing::Test {
 protected:
  void TearDown() override { set_language("en"); }
};

TEST_F(Catalogue, ThreeTablesHoldTheSameKeysInTheirOwnLanguage) {
  const MessageTable& en = message_table("en");
  const MessageTable& pt = message_table("pt");
  const MessageTable& es = message_table("es");
  ASSERT_FALSE(en.empty());
  EXPECT_EQ(keys_of(pt), keys_of(en));
  EXPECT_EQ(keys_of(es), keys_of(en));
  EXPECT_NE(&pt, &en);
  EXPECT_NE(&es, &en);
  EXPECT_NE(&es, &pt);
  for (const auto& [key, text] : en) {
    EXPECT_FALSE(text.empty()) << key;
    EXPECT_NE(pt.at(key), "") << key;
    EXPECT_NE(es.at(key), "") << key;
  }
  EXPECT_NE(pt.at("invalid_command"), en.at("invalid_command"));
  EXPECT_NE(es.at("invalid_command"), pt.at("invalid_command"));
}

TEST_F(Catalogue, LanguagesWithoutATableGetEnglish) {
  const MessageTable& en = message_table("en");
  for (const char* code : {"fr", "de", "it", "ru", "ar", "hi", "zh", "ja", "xx", ""})
    EXPECT_EQ(&message_table(code), &en) << code;
}

TEST_F(Catalogue, LookupFollowsTheCurrentLanguageThenEnglishThenTheKey) {
  struct Case {
    const char* language;
    const char* key;
    std::string expected;
  };
  const Case cases[] = {
      {"en", "invalid_command", "Invalid command. Try: Vellicor --help"},
      {"pt", "invalid_command", "Comando inv\xc3\xa1lido. Tente: Vellicor --help"},
      {"es", "invalid_command", "Comando no v\xc3\xa1lido. Pruebe: Vellicor --help"},
      {"es", "corrected_path", "ruta corregida"},
      {"fr", "invalid_command", "Invalid command. Try: Vellicor --help"},
      {"ja", "usage_heading", "Usage:"},
      {"en", "no_such_key", "no_such_key"},
      {"pt", "no_such_key", "no_such_key"},
      {"fr", "", ""},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(set_language(c.language)) << c.language;
    EXPECT_EQ(lookup_message(c.key), c.expected) << c.language << " " << c.key;
  }
}

}  // namespace
}  // namespace vellicor
