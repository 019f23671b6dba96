// Path correction on Windows: names are joined with '\', typed paths may use
// either separator or a drive, the file system ignores case, and names are
// narrow text in the system code page.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "tests/cli/path_correction_fixture.hpp"
#include "util/platform.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using test::write_file;

class PathCorrectionWindows : public test::PathCorrectionFixture {
 protected:
  // Every case: the typed path and what comes back; an announcement is
  // expected exactly when the two differ.
  struct Case {
    std::string typed;
    std::string expected;
  };
  static void check(const Case& c) {
    Outcome o = correct(c.typed);
    EXPECT_EQ(o.result, c.expected) << c.typed;
    const std::string announced =
        c.expected == c.typed ? "" : "[SMART] corrected path '" + c.typed + "' -> '" + c.expected + "'\n";
    EXPECT_EQ(o.out, announced) << c.typed;
    EXPECT_EQ(o.err, "") << c.typed;
  }
};

TEST_F(PathCorrectionWindows, CorrectedNamesAreJoinedWithBackslash) {
  fs::create_directories("docs");
  fs::create_directories("a/b");
  write_file("photo.png", "x");
  write_file("docs/file.txt", "x");
  write_file("a/b/file.txt", "x");
  const std::string drive = cwd_.substr(0, 2);  // "C:", or "Z:" under Wine
  const Case cases[] = {
      {"photo.pgn", cwd_ + "\\photo.png"},                        // bare name: absolute
      {"docs\\fiel.txt", "docs\\file.txt"},                       // folder kept as typed
      {"docs/fiel.txt", "docs\\file.txt"},                        // a typed '/' stays, the join is '\'
      {"a/b/fiel.txt", "a/b\\file.txt"},
      {"a\\b\\fiel.txt", "a\\b\\file.txt"},
      {"docs\\\\fiel.txt", "docs\\file.txt"},                     // doubled separator: one folder name
      {cwd_ + "\\docs\\fiel.txt", cwd_ + "\\docs\\file.txt"},     // absolute with its drive
      {drive + "photo.pgn", drive + "photo.png"},                 // drive-relative: no separator added
      {"nosuchdir\\photo.pgn", "nosuchdir\\photo.pgn"},           // the folder part is never corrected
      {"docs\\abcdefgh.txt", "docs\\abcdefgh.txt"},               // 4 edits from file.txt: too far
  };
  for (const Case& c : cases) check(c);
}

TEST_F(PathCorrectionWindows, ExistingPathsInAnyCaseOrSeparatorComeBackAsTyped) {
  fs::create_directories("docs");
  write_file("docs/File.txt", "x");
  const Case cases[] = {
      {"docs\\File.txt", "docs\\File.txt"}, {"DOCS\\FILE.TXT", "DOCS\\FILE.TXT"}, {"docs/file.txt", "docs/file.txt"},
      {"docs", "docs"},                     {"docs\\", "docs\\"},                 {"", ""},
  };
  for (const Case& c : cases) check(c);
}

TEST_F(PathCorrectionWindows, OnlyRegularFilesAreCandidates) {
  fs::create_directory("datb");  // distance 1, but a folder
  check({"data", "data"});
  write_file("dxtb", "x");  // distance 2, a file
  check({"data", cwd_ + "\\dxtb"});
}

TEST_F(PathCorrectionWindows, NamesAreCodePageText) {
  if (::GetACP() != 1252) GTEST_SKIP() << "the names are spelled in code page 1252; this system uses " << ::GetACP();
  std::ofstream(fs::path(L"caf\u00e9.png")) << "x";
  // Typed with the code page's byte for e-acute; found, and given back in bytes.
  check({"caf\xe9.pgn", cwd_ + "\\caf\xe9.png"});
  check({"caf\xe9.png", "caf\xe9.png"});
}

TEST_F(PathCorrectionWindows, NameTheCodePageCannotSpellIsNoCandidate) {
  if (::GetACP() == CP_UTF8) GTEST_SKIP() << "with UTF-8 as the code page every name can be spelled";
  std::ofstream(fs::path(L"\u4e2d.txt")) << "x";  // one edit from "x.txt", but not expressible
  check({"x.txt", "x.txt"});
  write_file("xy.txt", "x");  // two edits, expressible
  check({"x.txt", cwd_ + "\\xy.txt"});
}

}  // namespace
}  // namespace vellicor
