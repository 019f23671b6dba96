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
  void SetUp() override { ASSERT_TRUE(to_narrow_text(fs::current_path(), cwd_)); }

  TempDir dir_;
  test::CurrentFolder in_dir_{dir_.path()};
  std::string cwd_;
};

using ProgramDirectory = InScratchFolder;

TEST_F(ProgramDirectory, IsTheRunningModulesFolderWhateverTheFirstEntrySays) {
  // The test program is the running module: its folder holds this program,
  // whatever the first entry and the current folder are.
  for (const char* argv0 : {"tests_util.exe", "C:\\apps\\vellicor.exe", "bin/vellicor.exe", ""}) {
    std::string why;
    const std::optional<fs::path> dir = program_directory(argv0, &why);
    ASSERT_TRUE(dir.has_value()) << why;
    EXPECT_TRUE(fs::exists(*dir / "tests_util.exe")) << argv0;
    EXPECT_EQ(dir->native().rfind(L"\\\\?\\", 0), std::wstring::npos) << "given in the plain form";
  }
}

using SystemPath = InScratchFolder;

TEST_F(SystemPath, AbsoluteNormalisedAndExtendedLength) {
  const std::wstring cwd = fs::current_path().native();
  const std::wstring parent = fs::current_path().parent_path().native();
  const std::wstring drive = cwd.substr(0, 2);
  const std::wstring deep = L"C:\\" + std::wstring(300, L'd') + L"\\" + std::wstring(200, L'f');
  struct Case {
    std::wstring typed, system;
  } cases[] = {
      {L"C:\\", L"\\\\?\\C:\\"},
      {L"C:/apps/./x/../vellicor.exe", L"\\\\?\\C:\\apps\\vellicor.exe"},
      {L"C:\\apps\\name. .", L"\\\\?\\C:\\apps\\name"},  // trailing dots and blanks go, as Windows drops them
      {deep, L"\\\\?\\" + deep},
      {L"\\\\server\\share\\dir\\..\\x.png", L"\\\\?\\UNC\\server\\share\\x.png"},
      {L"//server/share/x.png", L"\\\\?\\UNC\\server\\share\\x.png"},
      {L"out.png", L"\\\\?\\" + cwd + L"\\out.png"},
      {L".", L"\\\\?\\" + cwd},
      {L"sub\\..\\..\\x", L"\\\\?\\" + parent + L"\\x"},
      {L"\\top.png", L"\\\\?\\" + drive + L"\\top.png"},  // the current drive's root
      {L"\\\\?\\C:\\a\\..\\b", L"\\\\?\\C:\\a\\..\\b"},  // taken literally by the system: kept
      {L"\\\\.\\pipe\\name", L"\\\\.\\pipe\\name"},
      {L"NUL", L"NUL"},  // a device, opened as it always was
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(to_system_path(fs::path(c.typed)).native(), c.system) << fs::path(c.typed);
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
  if (::GetACP() != 1252) GTEST_SKIP() << "the cases are spelled in code page 1252; this system uses " << ::GetACP();
  // Neither a look-alike ("best fit": \u0141 -> 'L') nor a '?' counts; a
  // message shows each missing character as '?'.
  struct Case {
    std::wstring wide;
    std::string message;
  } cases[] = {
      {L"\u4e2d\u6587.txt", "??.txt"},
      {L"\u0141\u00f3d\u017a.txt", "?\xf3" "d?.txt"},
      {L"\u2212" "1", "?1"},  // a minus sign, best fit '-'
  };
  for (const Case& c : cases) {
    std::string text = "unchanged";
    EXPECT_FALSE(to_narrow_text(fs::path(c.wide), text)) << c.message;
    EXPECT_EQ(to_message_text(fs::path(c.wide)), c.message);
  }
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

// What a console shows for a piece of a line, in the two process code pages
// the program meets: UTF-8 (its manifest) and a system's ANSI page.
TEST(Console, EachPieceIsShownByWhatItHolds) {
  const struct {
    const char* piece;
    unsigned page;
    std::wstring shown;
  } cases[] = {
      {"Vellicor \x97 Post", CP_UTF8, L"Vellicor \u2014 Post"},  // no UTF-8: read as 1252
      {"\xd0\xba\xd0\xb0\xd1\x80\xd1\x82\xd0\xb0.png", CP_UTF8, L"\u043a\u0430\u0440\u0442\u0430.png"},
      {"\xe5\x87\xba\xe5\x8a\x9b.png", CP_UTF8, L"\u51fa\u529b.png"},
      {"Vellicor \x97 Post", 1252, L"Vellicor \u2014 Post"},
      {"caf\xc3\xa9", 1252, L"caf\u00c3\u00a9"},  // a 1252 name that looks like UTF-8 stays 1252
      {"", CP_UTF8, L""},
  };
  for (const auto& c : cases) EXPECT_EQ(console_text(c.piece, c.page), c.shown) << c.piece << " in " << c.page;
}

// Which standard output gets the ANSI code page: a console only.
TEST(Console, CodePageIsSetOnAConsoleOnlyAndPutBack) {
  TempDir dir;
  const HANDLE file = ::CreateFileW((dir / "out").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  const HANDLE nul = ::CreateFileW(L"NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE pipe_read = nullptr, pipe_write = nullptr;
  ASSERT_TRUE(::CreatePipe(&pipe_read, &pipe_write, nullptr, 0));
  for (HANDLE h : {file, nul, pipe_write, HANDLE(nullptr), INVALID_HANDLE_VALUE})
    EXPECT_EQ(set_console_code_page(h, 1252), 0u) << "not a console: nothing set";
  for (HANDLE h : {file, nul, pipe_read, pipe_write}) ::CloseHandle(h);

  // A console: the test's own where it has one, else a new one. Wine without
  // a display makes none that works (no console mode): skipped there.
  const auto open_console = [] {
    return ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  };
  DWORD mode = 0;
  HANDLE handle = open_console();
  if (handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode)) {
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    ::FreeConsole();
    ::AllocConsole();
    handle = open_console();
  }
  const UINT was = ::GetConsoleOutputCP();
  if (handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode) || !::SetConsoleOutputCP(437))
    GTEST_SKIP() << "no working console here (Wine without a display has none)";
  const int console = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
  ASSERT_GE(console, 0);
  EXPECT_EQ(set_console_code_page(handle, 1252), 437u);
  EXPECT_EQ(::GetConsoleOutputCP(), 1252u);
  EXPECT_EQ(set_console_code_page(handle, 1252), 0u) << "already on that page";

  // The run's object, with that console as standard output.
  ASSERT_TRUE(::SetConsoleOutputCP(850));
  std::fflush(stdout);
  const int saved = _dup(_fileno(stdout));
  _dup2(console, _fileno(stdout));
  {
    const ConsoleRun run;
    EXPECT_EQ(::GetConsoleOutputCP(), ::GetACP());
  }
  EXPECT_EQ(::GetConsoleOutputCP(), 850u) << "put back";
  _dup2(saved, _fileno(stdout));
  _close(saved);
  _close(console);
  ::SetConsoleOutputCP(was);
}

}  // namespace
}  // namespace vellicor
