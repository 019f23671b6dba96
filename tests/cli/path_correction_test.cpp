#include "cli/path_correction.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/cli/path_correction_fixture.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using test::write_file;

class PathCorrection : public test::PathCorrectionFixture {
 protected:
  static std::string announcement(const std::string& typed, const std::string& corrected) {
    return "[SMART] corrected path '" + typed + "' -> '" + corrected + "'\n";
  }

  // Expects the typed path back, silently.
  static void expect_unchanged(const std::string& typed) {
    Outcome o = correct(typed);
    EXPECT_EQ(o.result, typed) << typed;
    EXPECT_EQ(o.out, "") << typed;
    EXPECT_EQ(o.err, "") << typed;
  }

  static void expect_corrected(const std::string& typed, const std::string& corrected) {
    Outcome o = correct(typed);
    EXPECT_EQ(o.result, corrected) << typed;
    EXPECT_EQ(o.out, announcement(typed, corrected)) << typed;
    EXPECT_EQ(o.err, "") << typed;
  }
};

TEST_F(PathCorrection, BareMistypedNameBecomesTheAbsolutePathOfTheNearestFile) {
  write_file("photo.png", "x");
  expect_corrected("photo.pgn", cwd_ + "/photo.png");
}

TEST_F(PathCorrection, DirectoryPartIsKeptAsTyped) {
  fs::create_directories("docs");
  fs::create_directories("a/b");
  write_file("docs/file.txt", "x");
  write_file("a/b/file.txt", "x");
  expect_corrected("docs/fiel.txt", "docs/file.txt");
  expect_corrected("a/b/fiel.txt", "a/b/file.txt");
  expect_corrected("./docs/fiel.txt", "./docs/file.txt");
  expect_corrected("docs//fiel.txt", "docs/file.txt");
  expect_corrected(cwd_ + "/docs/fiel.txt", cwd_ + "/docs/file.txt");
}

TEST_F(PathCorrection, ThresholdIsThreeEdits) {
  write_file("abcdefgh.bin", "x");
  expect_corrected("abcdeXXX.bin", cwd_ + "/abcdefgh.bin");  // 3 edits
  expect_unchanged("abcdXXXX.bin");                          // 4 edits
}

TEST_F(PathCorrection, NearestFileWinsAndCaseCostsNothing) {
  write_file("report-2.txt", "x");
  write_file("rep.txt", "x");
  write_file("zzzzzzzzzzzz", "x");
  expect_corrected("report-1.txt", cwd_ + "/report-2.txt");
  expect_corrected("REPORT-2.TXT", cwd_ + "/report-2.txt");  // distance 0, still announced
}

TEST_F(PathCorrection, OnlyRegularFilesAreCandidates) {
  fs::create_directory("datb");  // distance 1 from "data", but a directory
  ASSERT_EQ(::mkfifo("dat", 0600), 0);  // distance 1, but a pipe
  Outcome alone = correct("data");
  EXPECT_EQ(alone.result, "data");
  EXPECT_EQ(alone.out, "");
  write_file("dxtb", "x");  // distance 2
  expect_corrected("data", cwd_ + "/dxtb");
}

TEST_F(PathCorrection, LinksAreFollowedForCandidates) {
  write_file("target.dat", "x");
  fs::create_directory("realdir");
  fs::create_symlink("missing-target", "notes.txt");  // dangling: no candidate
  fs::create_symlink("realdir", "notes.txq");         // link to a directory: no candidate
  expect_unchanged("notes.tx");
  fs::create_symlink("target.dat", "notes.tzt");  // link to a file: a candidate, its own name
  expect_corrected("notes.tx", cwd_ + "/notes.tzt");
}

TEST_F(PathCorrection, DotFilesAreCandidates) {
  write_file(".config", "x");
  expect_corrected(".confgi", cwd_ + "/.config");
}

TEST_F(PathCorrection, ExistingThingsComeBackAsTyped) {
  write_file("file.txt", "x");
  write_file("file.txu", "x");
  fs::create_directory("folder");
  fs::create_symlink("file.txt", "link.txt");
  fs::create_symlink("folder", "dirlink");
  for (const char* typed : {"file.txu", "folder", "folder/", "link.txt", "dirlink", ".", "..", "./file.txu"})
    expect_unchanged(typed);
  expect_unchanged(cwd_ + "/file.txu");
}

TEST_F(PathCorrection, MissingDirectoryPartIsNotCorrected) {
  write_file("x.png", "x");
  fs::create_directory("nosuchdis");  // the directory part itself is never corrected
  expect_unchanged("nosuchdir/x.png");
  expect_unchanged("nosuchdir/deeper/x.png");
}

TEST_F(PathCorrection, PathEndingInSeparatorIsNotCorrected) {
  write_file("plain", "x");
  write_file("a", "x");  // one edit from the empty name, were the current folder searched
  expect_unchanged("missing/");
  expect_unchanged("plain/");  // a file, not a folder: cannot be listed
  expect_unchanged("plain/x");
}

TEST_F(PathCorrection, EmptyPathAndEmptyFolderGiveItBack) {
  expect_unchanged("anything.png");  // nothing to pick from
  write_file("b", "x");              // one edit from the empty name
  expect_unchanged("");
}

TEST_F(PathCorrection, TieGoesToTheEntryListedFirst) {
  write_file("cat1", "x");
  write_file("cat2", "x");
  write_file("cat3", "x");
  std::string first_listed;
  for (const fs::directory_entry& e : fs::directory_iterator(dir_.path())) {
    first_listed = e.path().filename().native();
    break;
  }
  expect_corrected("cat", cwd_ + "/" + first_listed);
}

TEST_F(PathCorrection, VanishedCurrentDirectoryIsReportedForBareNames) {
  fs::create_directory("gone");
  fs::current_path("gone");
  fs::remove(dir_ / "gone");
  Outcome o = correct("x.png");
  fs::current_path(dir_.path());
  EXPECT_EQ(o.result, std::nullopt);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err.rfind("[ERR] ", 0), 0u) << o.err;
  EXPECT_NE(o.err.find("'x.png'"), std::string::npos) << o.err;
  EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "one line: " << o.err;
}

// Permission checks need an unprivileged user: root reads every folder. As
// root the check runs in a child that has become "nobody".
struct ChildOutcome {
  int status = -1;
  std::string err;
};

ChildOutcome run_unprivileged(const std::function<int()>& body) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {};
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    ::dup2(pipe_fds[1], 2);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) _exit(100);
    int code = body();
    std::fflush(stdout);
    _exit(code);
  }
  ::close(pipe_fds[1]);
  ChildOutcome o;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0) o.err.append(buf, static_cast<std::size_t>(n));
  ::close(pipe_fds[0]);
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) o.status = WEXITSTATUS(wstatus);
  return o;
}

TEST_F(PathCorrection, UnreadableFoldersAreErrorsOrSilentByWhereTheyBite) {
  fs::permissions(dir_.path(), fs::perms::all);  // let "nobody" in
  fs::create_directory("sealed");
  write_file("sealed/file.txt", "x");
  fs::create_directory("blind");
  write_file("blind/file.txt", "x");
  fs::permissions("sealed", fs::perms::none);                          // not even searchable
  fs::permissions("blind", fs::perms::owner_write | fs::perms::owner_exec |
                               fs::perms::others_exec | fs::perms::group_exec);  // searchable, not listable

  // The existence test itself fails: reported, nothing corrected.
  ChildOutcome denied = run_unprivileged([] {
    std::optional<std::string> r = smart_correct_path("sealed/fiel.txt");
    return r ? 1 : 0;
  });
  ASSERT_NE(denied.status, 100) << "cannot become nobody";
  EXPECT_EQ(denied.status, 0) << "expected no result";
  EXPECT_EQ(denied.err.rfind("[ERR] ", 0), 0u) << denied.err;
  EXPECT_NE(denied.err.find("'sealed/fiel.txt'"), std::string::npos) << denied.err;
  EXPECT_NE(denied.err.find("ermission denied"), std::string::npos) << denied.err;

  // The file is surely absent but the folder cannot be listed: silently as typed.
  ChildOutcome unlisted = run_unprivileged([] {
    std::optional<std::string> r = smart_correct_path("blind/fiel.txt");
    return r == std::optional<std::string>("blind/fiel.txt") ? 0 : 1;
  });
  EXPECT_EQ(unlisted.status, 0);
  EXPECT_EQ(unlisted.err, "");
}

}  // namespace
}  // namespace vellicor
