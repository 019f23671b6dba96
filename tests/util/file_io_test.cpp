// The file layer as the program reads and writes: a failed read or write
// never passes for success, and a failed write leaves the target as it was
// with no stray file.

#include "util/file_io.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/support/syscall_override.hpp"
#include "tests/support/temp_dir.hpp"

namespace vellicor {
namespace {

using namespace test;
namespace fs = std::filesystem;

// Runs fn in a child process (so limits and redirections stay there) and
// returns its exit status.
int in_child(const std::function<int()>& fn) {
  pid_t pid = ::fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Every byte of a file and of an empty one, read at their positions.
TEST(InputFile, ReadsEveryByteAndEmptyFiles) {
  TempDir dir;
  std::string content(200000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  for (const std::string& text : {content, std::string()}) {
    write_file(dir / "data", text);
    InputFile in;
    ASSERT_TRUE(in.open_positioned((dir / "data").string(), UINT64_MAX));
    std::string got(text.size(), '\0');
    ASSERT_TRUE(in.read_at(0, reinterpret_cast<std::uint8_t*>(got.data()), got.size()));
    EXPECT_EQ(got, text);
  }
}

TEST(InputFile, OpenFailsWithAReason) {
  TempDir dir;
  fs::create_directory(dir / "folder");
  struct Case {
    const char* name;
    fs::path path;
  } cases[] = {{"missing", dir / "nope"}, {"directory", dir / "folder"}, {"empty path", ""}};
  for (const Case& c : cases) {
    InputFile in;
    std::error_code why;
    EXPECT_FALSE(in.open(c.path.string(), &why)) << c.name;
    EXPECT_TRUE(why) << c.name;
  }
}

TEST(InputFile, ShortReadIsAFailure) {
  TempDir dir;
  write_file(dir / "shrinks", std::string(4096, 'x'));
  InputFile in;
  ASSERT_TRUE(in.open((dir / "shrinks").string()));
  ASSERT_EQ(in.size(), 4096u);
  fs::resize_file(dir / "shrinks", 100);  // the file shrinks between size and read
  ByteBuffer buf(4096);
  std::error_code why;
  EXPECT_FALSE(in.read_exact(buf.data(), buf.size(), &why));
  EXPECT_EQ(why, FileError::short_read) << why.message();
}

// Read in order, as the input of embed is, to its end.
TEST(InputFile, ReadsAPipeToItsEnd) {
  int status = in_child([] {
    int fds[2];
    if (::pipe(fds) != 0) return 2;
    std::string text(100000, 'p');
    if (::fork() == 0) {
      ::close(fds[0]);
      (void)!::write(fds[1], text.data(), text.size());
      _exit(0);
    }
    ::close(fds[1]);
    InputFile in;
    if (!in.open("/dev/fd/" + std::to_string(fds[0]))) return 1;
    std::uint8_t block[4096];
    std::size_t total = 0, n = 0;
    while (in.read_some(block, sizeof block, n) && n > 0) total += n;
    return total == text.size() && !in.size_known() ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

TEST(AtomicFile, CreatesReplacesAndKeepsPermissionBits) {
  TempDir dir;
  fs::path target = dir / "out.bin";
  ASSERT_TRUE(write_through(target.string(), as_bytes("first")));
  EXPECT_EQ(read_text(target), "first");

  ::chmod(target.c_str(), 0640);
  ASSERT_TRUE(write_through(target.string(), as_bytes("second, longer")));
  EXPECT_EQ(read_text(target), "second, longer");
  EXPECT_EQ(mode_of(target), 0640u);

  ASSERT_TRUE(write_through(target.string(), {}));
  EXPECT_EQ(fs::file_size(target), 0u);
  EXPECT_EQ(list_dir(dir.path()), "out.bin");

  // An access ACL (0600 and u:65534:rw-, so the group bits hold its mask)
  // is carried over, not folded into the group bits.
  const std::uint8_t acl[] = {2, 0, 0, 0,                             // version
                              0x01, 0, 6, 0, 0xff, 0xff, 0xff, 0xff,  // owner rw-
                              0x02, 0, 6, 0, 0xfe, 0xff, 0, 0,        // user 65534 rw-
                              0x04, 0, 0, 0, 0xff, 0xff, 0xff, 0xff,  // owning group ---
                              0x10, 0, 6, 0, 0xff, 0xff, 0xff, 0xff,  // mask rw-
                              0x20, 0, 0, 0, 0xff, 0xff, 0xff, 0xff}; // others ---
  if (::setxattr(target.c_str(), "system.posix_acl_access", acl, sizeof acl, 0) != 0)
    GTEST_SKIP() << "no ACLs here: " << std::strerror(errno);
  ASSERT_TRUE(write_through(target.string(), as_bytes("third")));
  std::uint8_t kept[sizeof acl + 8] = {};
  EXPECT_EQ(::getxattr(target.c_str(), "system.posix_acl_access", kept, sizeof kept), ssize_t{sizeof acl});
  EXPECT_EQ(std::memcmp(kept, acl, sizeof acl), 0);
  EXPECT_EQ(mode_of(target), 0660u);
}

TEST(AtomicFile, NewFileTakesTheCreateModeLessTheUmask) {
  TempDir dir;
  AtomicFile f;
  ASSERT_TRUE(f.open((dir / "secret").string(), {.create_mode = 0600}));
  ASSERT_TRUE(f.write(as_bytes("k")));
  ASSERT_TRUE(f.commit());
  EXPECT_EQ(mode_of(dir / "secret"), 0600u);
}

TEST(AtomicFile, UncommittedWriteLeavesNothingBehind) {
  TempDir dir;
  write_file(dir / "keep", "original");
  {
    AtomicFile f;
    ASSERT_TRUE(f.open((dir / "keep").string()));
    ASSERT_TRUE(f.write(as_bytes("half of the new")));
  }  // dropped without commit
  EXPECT_EQ(read_text(dir / "keep"), "original");
  EXPECT_EQ(list_dir(dir.path()), "keep");
}

TEST(AtomicFile, DiskFullFailsAndLeavesTargetIntact) {
  TempDir dir;
  fs::path target = dir / "target";
  write_file(target, "old content");
  std::string big(1 << 20, 'n');
  int status = in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl {4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    std::string why;
    bool ok = write_through(target.string(), as_bytes(big), &why);
    return ok ? 0 : (why.find("too large") != std::string::npos ? 3 : 4);
  });
  EXPECT_EQ(status, 3) << "the write must fail with EFBIG";
  EXPECT_EQ(read_text(target), "old content");
  EXPECT_EQ(list_dir(dir.path()), "target");
}

TEST(AtomicFile, FailsWhereNoFileCanBe) {
  TempDir dir;
  fs::create_directory(dir / "folder");
  struct Case {
    const char* name;
    fs::path path;
  } cases[] = {{"missing folder", dir / "no" / "file"}, {"a directory", dir / "folder"}, {"empty path", ""}};
  for (const Case& c : cases) {
    std::string why;
    EXPECT_FALSE(write_through(c.path.string(), as_bytes("x"), &why)) << c.name;
    EXPECT_FALSE(why.empty()) << c.name;
  }
  EXPECT_EQ(list_dir(dir.path()), "folder");
  EXPECT_EQ(list_dir(dir / "folder"), "");
}

TEST(AtomicFile, FollowsASymlinkAndReplacesTheFileItNames) {
  TempDir dir;
  fs::create_directory(dir / "real");
  write_file(dir / "real" / "file", "old");
  fs::create_symlink("real/file", dir / "link");
  ASSERT_TRUE(write_through((dir / "link").string(), as_bytes("new")));
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(read_text(dir / "real" / "file"), "new");
  EXPECT_EQ(list_dir(dir / "real"), "file");

  fs::create_symlink("real/created", dir / "dangling");
  ASSERT_TRUE(write_through((dir / "dangling").string(), as_bytes("made")));
  EXPECT_EQ(read_text(dir / "real" / "created"), "made");

  // Through a dangling link an abandoned write removes only the file it
  // made, not one that another program put under that name meanwhile.
  fs::create_symlink("real/later", dir / "dangling2");
  {
    AtomicFile f;
    ASSERT_TRUE(f.open((dir / "dangling2").string()));
    EXPECT_EQ(list_dir(dir / "real"), "created file later");
    fs::remove(dir / "real" / "later");
    write_file(dir / "real" / "later", "someone else's");
  }
  EXPECT_EQ(read_text(dir / "real" / "later"), "someone else's");
}

// A member of a file's group who rewrites it cannot give it its owner back,
// but keeps its group: a team file stays the team's.
TEST(WriteWholeFile, MemberKeepsTheGroupOfATeamFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  TempDir dir;
  ::chmod(dir.path().c_str(), 0777);
  const fs::path team_file = dir / "team.txt";
  write_file(team_file, "old");
  ASSERT_EQ(::chown(team_file.c_str(), 0, 4242), 0);
  ASSERT_EQ(::chmod(team_file.c_str(), 0660), 0);
  const int status = in_child([&] {
    const gid_t team = 4242;
    if (::setgroups(1, &team) != 0 || ::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
      return 2;
    return write_through(team_file.string(), as_bytes("new")) ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  struct stat st {};
  ASSERT_EQ(::stat(team_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 4242u);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(read_text(team_file), "new");
}

// A restored download stays marked as one: the mark of where its source came
// from goes onto the new file.
TEST(AtomicFile, CarriesTheOriginOfItsSource) {
  TempDir dir;
  write_file(dir / "stego.png", "downloaded");
  const std::string url = "https://example.org/stego.png";
  if (::setxattr((dir / "stego.png").c_str(), "user.xdg.origin.url", url.data(), url.size(), 0) != 0)
    GTEST_SKIP() << "no user attributes here: " << std::strerror(errno);
  InputFile source;
  ASSERT_TRUE(source.open((dir / "stego.png").string()));
  AtomicFile f;
  ASSERT_TRUE(f.open((dir / "out.txt").string()) && f.write(as_bytes("restored")));
  f.carry_origin(source);
  ASSERT_TRUE(f.commit());
  char got[64] = {};
  EXPECT_EQ(std::string(got, static_cast<std::size_t>(std::max<ssize_t>(
                                 0, ::getxattr((dir / "out.txt").c_str(), "user.xdg.origin.url", got, sizeof got)))),
            url);
}

// Where the new content has a hidden name (no unnamed files), SIGINT,
// SIGTERM and SIGHUP remove it before the process ends.
TEST(AtomicFile, SignalRemovesTheHiddenFile) {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    TempDir dir;
    const int status = in_child([&] {
      UnnamedFiles none;
      AtomicFile f;
      if (!f.open((dir / "out").string()) || !f.write(as_bytes("partial"))) return 1;
      if (list_dir(dir.path()).find(".vellicor-") == std::string::npos) return 2;
      ::raise(signal_number);
      return 3;
    });
    EXPECT_EQ(status, 128 + signal_number);
    EXPECT_EQ(list_dir(dir.path()), "");
  }
}

TEST(AtomicFile, WritesDevicesAndPipesInPlace) {
  TempDir dir;
  ASSERT_TRUE(write_through("/dev/null", as_bytes("discarded")));

  // /dev/stdout of a child whose standard output is a pipe.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int status = in_child([&] {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    return write_through("/dev/stdout", as_bytes("through stdout")) ? 0 : 1;
  });
  ::close(fds[1]);
  char buf[64] = {};
  ssize_t n = ::read(fds[0], buf, sizeof buf);
  ::close(fds[0]);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), "through stdout");

  // A standard output opened for appending is appended to, not replaced.
  write_file(dir / "app.log", "old line\n");
  status = in_child([&] {
    const int log = ::open((dir / "app.log").c_str(), O_WRONLY | O_APPEND);
    ::dup2(log, 1);
    return write_through("/dev/stdout", as_bytes("new bytes")) ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_text(dir / "app.log"), "old line\nnew bytes");

  // A pipe of the user's own gets the bytes once it has a reader.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const pid_t reader = ::fork();
  if (reader == 0) _exit(read_text(dir / "fifo") == "through a fifo" ? 0 : 1);
  EXPECT_TRUE(write_through((dir / "fifo").string(), as_bytes("through a fifo")));
  ASSERT_EQ(::waitpid(reader, &status, 0), reader);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(list_dir(dir.path()), "app.log fifo");
}

}  // namespace
}  // namespace vellicor

namespace vellicor {
namespace {

// A source that cannot seek is copied aside to be read at positions: an
// endless one stops at the limit, or at once where it does not start as
// expected; one that ends is read whole.
TEST(InputFile, SourcesThatCannotSeekAreCopiedAsideWithinLimits) {
  const std::uint8_t start[] = {0x89, 'P', 'N', 'G'};
  struct Case {
    const char* name;
    const char* path;
    std::uint64_t limit;
    ByteView must_start_with;
    bool opens;
    std::uint64_t size;
  } cases[] = {
      {"endless, over the limit", "/dev/zero", 300000, {}, false, 0},
      {"endless, wrong start", "/dev/zero", UINT64_MAX, start, true, sizeof start},
      {"empty", "/dev/null", 10, start, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InputFile in;
    std::error_code why;
    ASSERT_EQ(in.open_positioned(c.path, c.limit, c.must_start_with, &why), c.opens) << why.message();
    if (!c.opens) {
      EXPECT_EQ(why, std::errc::file_too_large);
      continue;
    }
    EXPECT_TRUE(in.size_known());
    EXPECT_EQ(in.size(), c.size);
  }
}

}  // namespace
}  // namespace vellicor

namespace vellicor {
namespace {

// While it is being written, new content has no name in the target's folder
// (unnamed file) or a hidden one (the fallback); private content never has
// one there, and waits in the temporary folder where no unnamed file can be
// made. Either way commit gives the same target and nothing else.
TEST(AtomicFile, TemporaryFileKinds) {
  struct Case {
    const char* name;
    bool unnamed_allowed;
    TempFile kind;
    bool visible_while_written;  // a hidden .vellicor-* entry in the folder
  };
  const Case cases[] = {
      {"unnamed, any", true, TempFile::unnamed_or_named, false},
      {"unnamed, private", true, TempFile::private_only, false},
      {"no unnamed, any", false, TempFile::unnamed_or_named, true},
      {"no unnamed, private", false, TempFile::private_only, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir / "target", "old");
    UnnamedFiles unnamed(c.unnamed_allowed);
    AtomicFile f(c.kind);
    ASSERT_TRUE(f.open((dir / "target").string()));
    EXPECT_EQ(unnamed.made(), c.unnamed_allowed ? 1 : 0);
    ASSERT_TRUE(f.write(as_bytes("new content")));
    EXPECT_EQ(list_dir(dir.path()).find(".vellicor-") != std::string::npos, c.visible_while_written);
    ASSERT_TRUE(f.commit());
    EXPECT_EQ(read_text(dir / "target"), "new content");
    EXPECT_EQ(list_dir(dir.path()), "target");
  }
}

// A target whose name is as long as a name may be (255 bytes) is replaced
// too: the temporary name beside it does not grow with it.
TEST(AtomicFile, ReplacesATargetWithTheLongestName) {
  TempDir dir;
  const fs::path target = dir / std::string(255, 'n');
  for (bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed" : "named");
    std::string why;
    {
      UnnamedFiles files(unnamed);
      EXPECT_TRUE(write_through(target.string(), as_bytes("first"), &why)) << why;
      EXPECT_TRUE(write_through(target.string(), as_bytes("second"), &why)) << why;
    }
    EXPECT_EQ(read_text(target), "second");
    EXPECT_EQ(list_dir(dir.path()), target.filename().string());
  }
}

// Bytes written in order, patched at their place, and copied in from a file,
// in kernel or not, end up exactly where they belong.
TEST(AtomicFile, WriteAtAndCopyFrom) {
  TempDir dir;
  std::string source_text;
  for (int i = 0; i < 300000; ++i) source_text += static_cast<char>('a' + i % 26);
  write_file(dir / "source", source_text);
  InputFile source;
  ASSERT_TRUE(source.open((dir / "source").string()));

  AtomicFile f;
  ASSERT_TRUE(f.open((dir / "out").string()));
  ASSERT_TRUE(f.write(as_bytes("HEAD")));
  ASSERT_TRUE(f.copy_from(source, 10, 250000));
  ASSERT_TRUE(f.copy_from(source, 5, 3));
  EXPECT_EQ(f.size(), 4u + 250000 + 3);
  ASSERT_TRUE(f.write_at(1, as_bytes("ea")));
  EXPECT_FALSE(f.write_at(f.size() - 1, as_bytes("past")));  // only over bytes already there
  EXPECT_FALSE(f.copy_from(source, source_text.size() - 2, 3));
  ASSERT_TRUE(f.commit());
  EXPECT_EQ(read_text(dir / "out"), "HeaD" + source_text.substr(10, 250000) + source_text.substr(5, 3));
}

TEST(InputFile, PositionedReadsAndSizeChanges) {
  TempDir dir;
  write_file(dir / "f", "0123456789");
  InputFile in;
  ASSERT_TRUE(in.open((dir / "f").string()));
  std::uint8_t buf[4] = {};
  ASSERT_TRUE(in.read_at(6, buf, 4));
  EXPECT_EQ(std::string(buf, buf + 4), "6789");
  EXPECT_FALSE(in.read_at(7, buf, 4));  // past the end
  std::uint8_t all[10];
  ASSERT_TRUE(in.read_exact(all, 10));
  EXPECT_TRUE(in.unchanged_at_end());
  std::ofstream(dir / "f", std::ios::app) << "more";
  EXPECT_FALSE(in.unchanged_at_end());

  // A pipe opened for positioned reads is read into memory, within a limit.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "pipe bytes", 10), 10);
  ::close(fds[1]);
  const std::string pipe_path = "/proc/self/fd/" + std::to_string(fds[0]);
  InputFile piped;
  ASSERT_TRUE(piped.open_positioned(pipe_path, 100));
  EXPECT_EQ(piped.size(), 10u);
  ASSERT_TRUE(piped.read_at(5, buf, 4));
  EXPECT_EQ(std::string(buf, buf + 4), "byte");
  ::close(fds[0]);
}

// A second holder of the folder lock waits until the first lets go.
TEST(FolderLock, SecondHolderWaits) {
  TempDir dir;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    FolderLock lock;
    if (!lock.lock(dir.path().string())) _exit(1);
    (void)!::write(ready[1], "L", 1);
    ::usleep(200000);
    std::ofstream(dir / "first-done") << "x";
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  FolderLock lock;
  ASSERT_TRUE(lock.lock(dir.path().string()));
  EXPECT_TRUE(fs::exists(dir / "first-done")) << "the lock was taken while the first holder still had it";
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_FALSE(lock.lock((dir / "missing").string()));
}

}  // namespace
}  // namespace vellicor
