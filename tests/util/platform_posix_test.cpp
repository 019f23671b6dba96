// Where the program finds its folder and the system's default locale.

#include "util/platform.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_dir.hpp"

namespace vellicor {
namespace {

using test::TempDir;
using test::write_file;

TEST(ProgramDirectory, IsTheAbsoluteParentOfTheProgramPath) {
  std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(program_directory("/opt/app/vellicor"), "/opt/app");
  EXPECT_EQ(program_directory("bin/vellicor"), cwd + "/bin");
  // Started by a bare name found on the search path: the current folder stays.
  EXPECT_EQ(program_directory("vellicor"), cwd);
}

TEST(UserDefaultLocaleName, TakesTheLangLineOfTheFirstFileThatExists) {
  TempDir dir;
  struct Case {
    const char* content;
    std::optional<std::string> expected;
  } cases[] = {
      {"LANG=pt_BR.UTF-8\n", "pt-BR"},
      {"# comment\nLC_TIME=C\n  LANG=\"es_419.UTF-8\"\n", "es-419"},
      {"LANG='de_DE@euro'\n", "de-DE"},
      {"LANG=C.UTF-8\n", "C"},
      {"LC_ALL=fr_FR.UTF-8\n", std::nullopt},
      {"LANG=\n", std::nullopt},
  };
  for (const Case& c : cases) {
    write_file(dir / "locale", c.content);
    EXPECT_EQ(user_default_locale_name({(dir / "missing").string(), (dir / "locale").string()}), c.expected)
        << c.content;
  }
  EXPECT_EQ(user_default_locale_name({(dir / "missing").string()}), std::nullopt);
}

}  // namespace
}  // namespace vellicor
