// Where the program finds its folder and the system's default locale.

#include "util/platform.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_dir.hpp"

namespace vellicor {
namespace {

using test::TempDir;
using test::write_file;

TEST(ProgramDirectory, FromTheFolderPartOrElseFromTheSystem) {
  // Run from a folder other than this test program's, so the two cannot be
  // mistaken for each other.
  TempDir elsewhere;
  const std::filesystem::path started_in = std::filesystem::current_path();
  std::filesystem::current_path(elsewhere.path());
  const std::string cwd = std::filesystem::current_path().string();
  // This test program's own folder, as the build placed it (links resolved,
  // as the system reports a running program's file).
  const std::string own = std::filesystem::canonical(VELLICOR_TEST_PROGRAM).parent_path().string();
  struct Case {
    const char* argv0;
    std::string expected;
  } cases[] = {
      {"/opt/app/vellicor", "/opt/app"},
      {"bin/vellicor", cwd + "/bin"},
      // A bare name, as when found through PATH: the folder of the running
      // program, not the current one.
      {"vellicor", own},
      {"", own},
  };
  for (const Case& c : cases) EXPECT_EQ(program_directory(c.argv0), c.expected) << "argv[0] '" << c.argv0 << "'";
  std::filesystem::current_path(started_in);
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
