// Where the program finds its folder and the system's default locale.

#include "util/platform.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_dir.hpp"

namespace vellicor {
namespace {

using test::TempDir;
using test::write_file;

// The system says which file runs: the first command-line entry, whatever
// it holds, changes nothing.
TEST(ProgramDirectory, IsTheRunningFilesFolderWhateverTheFirstEntrySays) {
  const std::filesystem::path own = std::filesystem::canonical(VELLICOR_TEST_PROGRAM).parent_path();
  for (const char* argv0 : {"/opt/app/vellicor", "bin/vellicor", "vellicor", ""})
    EXPECT_EQ(program_directory(argv0), own) << "argv[0] '" << argv0 << "'";
}

// Without /proc: the first entry, found as the shell found it, links resolved.
TEST(ProgramDirectory, WithoutProcFromTheFirstEntry) {
  TempDir dir;
  std::filesystem::create_directories(dir / "real");
  std::filesystem::create_directories(dir / "bin");
  std::filesystem::create_directories(dir / "plain");
  write_file(dir / "real" / "vellicor", "#!/bin/sh\n");
  std::filesystem::permissions(dir / "real" / "vellicor", std::filesystem::perms::owner_all);
  write_file(dir / "plain" / "vellicor", "not executable");
  std::filesystem::create_symlink(dir / "real" / "vellicor", dir / "bin" / "vellicor");
  test::CurrentFolder in_dir(dir.path());
  const std::string real = std::filesystem::canonical(dir / "real").string();
  const std::string bin = (dir / "bin").string(), plain = (dir / "plain").string();
  struct Case {
    std::string argv0, search_path;
    std::optional<std::string> expected;
  } cases[] = {
      {(dir / "real" / "vellicor").string(), "", real},
      {"bin/vellicor", "", real},                             // through a link, relative
      {"real/../bin/vellicor", "", real},
      {"vellicor", "/nonexistent:" + plain + ":" + bin, real},  // the first executable file on PATH
      {"vellicor", "/nonexistent:", std::nullopt},             // "" is the current folder: no such file there
      {"vellicor", plain, std::nullopt},                        // not executable
      {"real/missing", bin, std::nullopt},
      {"", bin, std::nullopt},
  };
  for (const Case& c : cases) {
    std::string why;
    const std::optional<std::filesystem::path> got = program_directory_from_argv0(c.argv0, c.search_path, &why);
    EXPECT_EQ(got ? std::optional<std::string>(got->string()) : std::nullopt, c.expected)
        << "argv[0] '" << c.argv0 << "', PATH '" << c.search_path << "'";
    EXPECT_EQ(why.empty(), c.expected.has_value()) << c.argv0;
  }
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
