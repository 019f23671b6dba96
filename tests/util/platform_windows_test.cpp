// The Windows side of the platform layer: the program's folder, the code-page
// conversion of paths, the folder listing, the random source and the console.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"
#include "util/console.hpp"
#include "util/platform.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::write_file;

// Runs the body with the scratch folder as the current directory.
class InScratchFolder : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = fs::current_path();
    fs::current_path(dir_.path());
    ASSERT_TRUE(to_narrow_text(fs::current_path(), cwd_));
  }
  void TearDown() override { fs::current_path(saved_); }

  TempDir dir_;
  fs::path saved_;
  std::string cwd_;
};

using ProgramDirectory = InScratchFolder;

TEST_F(ProgramDirectory, PathWithAFolderIsMadeAbsoluteAgainstTheCurrentOne) {
  struct Case {
    std::string argv0;
    std::string expected;
  } cases[] = {
      {"C:\\apps\\vellicor.exe", "C:\\apps"},
      {"C:/apps/vellicor.exe", "C:/apps"},  // already absolute: kept as typed
      {"bin\\vellicor.exe", cwd_ + "\\bin"},
      {"bin/vellicor.exe", cwd_ + "\\bin"},
      {".\\vellicor.exe", cwd_},
  };
  for (const Case& c : cases) EXPECT_EQ(program_directory(c.argv0), c.expected) << c.argv0;
}

TEST_F(ProgramDirectory, BareNameIsLookedUpAsTheRunningModule) {
  // The test program is the running module: its folder is found whatever the
  // current folder is, and it holds this very program.
  std::string why;
  const std::optional<std::string> dir = program_directory("tests_util.exe", &why);
  ASSERT_TRUE(dir.has_value()) << why;
  EXPECT_NE(*dir, cwd_);
  EXPECT_TRUE(fs::exists(to_native_path(*dir) / "tests_util.exe")) << *dir;
}

TEST(NativePath, CodePageTextRoundTrips) {
  if (::GetACP() != 1252) GTEST_SKIP() << "the cases are spelled in code page 1252; this system uses " << ::GetACP();
  struct Case {
    std::string narrow;
    std::wstring wide;
  } cases[] = {
      {"plain.txt", L"plain.txt"},
      {"caf\xe9.png", L"caf\u00e9.png"},
      {"a\x97" "b", L"a\u2014b"},  // the banner's em dash
      {"dir\\sub/x", L"dir\\sub/x"},
      {"", L""},
  };
  for (const Case& c : cases) {
    const fs::path native = to_native_path(c.narrow);
    EXPECT_EQ(native.native(), c.wide) << c.narrow;
    std::string back = "unchanged";
    EXPECT_TRUE(to_narrow_text(native, back)) << c.narrow;
    EXPECT_EQ(back, c.narrow);
  }
}

TEST(NativePath, NameOutsideTheCodePageHasNoNarrowForm) {
  if (::GetACP() == CP_UTF8) GTEST_SKIP() << "with UTF-8 as the code page every name has a narrow form";
  std::string text = "unchanged";
  EXPECT_FALSE(to_narrow_text(fs::path(L"\u4e2d\u6587.txt"), text));
}

// Every name the listing hands over, or nullopt when it fails.
std::optional<std::vector<std::wstring>> listed(const fs::path& folder, std::string& why) {
  std::vector<std::wstring> got;
  if (!for_each_directory_entry(folder, [&](const fs::path& name) {
        got.push_back(name.native());
        return true;
      }, &why))
    return std::nullopt;
  std::sort(got.begin(), got.end());
  return got;
}

TEST(ForEachDirectoryEntry, GivesEveryEntryButDotAndDotDot) {
  TempDir dir;
  write_file(dir / "b.txt", "x");
  write_file(dir / ".hidden", "x");
  write_file(dir / "A", "x");
  fs::create_directory(dir / "sub");
  std::string why;
  EXPECT_EQ(listed(dir.path(), why), (std::vector<std::wstring>{L".hidden", L"A", L"b.txt", L"sub"})) << why;
  EXPECT_EQ(listed(dir / "sub", why), std::vector<std::wstring>{}) << why;
  int visits = 0;
  EXPECT_TRUE(for_each_directory_entry(dir.path(), [&](const fs::path&) { return ++visits < 2; }, &why));
  EXPECT_EQ(visits, 2) << "stops where the visitor says";
}

TEST(ForEachDirectoryEntry, FailsOnWhatIsNoFolder) {
  TempDir dir;
  write_file(dir / "file", "x");
  for (const fs::path& p : {dir / "missing", dir / "file", dir / "missing" / "deeper"}) {
    std::string why;
    EXPECT_EQ(listed(p, why), std::nullopt) << p;
    EXPECT_FALSE(why.empty()) << p;
  }
}

TEST(SystemRandom, FillsBuffersThatDiffer) {
  std::vector<std::uint8_t> a(64, 0), b(64, 0);
  std::string why;
  ASSERT_TRUE(system_random(a.data(), a.size(), &why)) << why;
  ASSERT_TRUE(system_random(b.data(), b.size(), &why)) << why;
  EXPECT_NE(a, b);
  EXPECT_NE(a, std::vector<std::uint8_t>(64, 0));
  EXPECT_TRUE(system_random(nullptr, 0, &why)) << "nothing asked, nothing to fail";
}

TEST(Console, InitPutsBothStreamsInBinaryMode) {
  std::fflush(stdout);
  (void)_setmode(_fileno(stdout), _O_TEXT);
  (void)_setmode(_fileno(stderr), _O_TEXT);
  console_init();
  // _setmode returns the mode it replaces.
  EXPECT_EQ(_setmode(_fileno(stdout), _O_BINARY), _O_BINARY);
  EXPECT_EQ(_setmode(_fileno(stderr), _O_BINARY), _O_BINARY);
}

}  // namespace
}  // namespace vellicor
