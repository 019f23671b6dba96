// The language taken from the user's default locale, as Windows reports it
// through GetUserDefaultLocaleName. The locale is set from outside, before the
// program starts (see locale_under_wine.sh); the expected answers come in as
// VELLICOR_EXPECT_LOCALE and VELLICOR_EXPECT_LANGUAGE.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>

#include "i18n/language.hpp"
#include "tests/support/environment.hpp"
#include "util/platform.hpp"

namespace vellicor {
namespace {

TEST(SystemLocale, LanguageFollowsTheUserDefaultLocaleName) {
  const char* locale = std::getenv("VELLICOR_EXPECT_LOCALE");
  const char* language = std::getenv("VELLICOR_EXPECT_LANGUAGE");
  if (locale == nullptr || language == nullptr)
    GTEST_SKIP() << "run by locale_under_wine.sh, which starts this program under a chosen locale";
  const std::string expected_locale = locale, expected_language = language;
  // Nothing in the environment may decide first.
  for (const char* name : {"KRV_LANG", "VC_LANG", "LANG", "LC_ALL", "LC_MESSAGES", "LANGUAGE"})
    test::unset_env(name);

  EXPECT_EQ(user_default_locale_name(), expected_locale);
  set_language("ru");
  detect_language();
  EXPECT_EQ(current_language(), expected_language) << "locale " << expected_locale;
  set_language("en");
}

}  // namespace
}  // namespace vellicor
