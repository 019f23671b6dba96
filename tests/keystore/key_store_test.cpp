// The key store against a real folder: each test runs in a fresh scratch
// folder made current, with both console streams captured.
#include "keystore/key_store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>

#include "kem/kem.hpp"
#include "tests/support/temp_dir.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using namespace test;

constexpr std::string_view kGenerated = "[INFO] Kyber-1024 keypair generated in 'keys/'\n";
constexpr std::string_view kKeysOk = "[INFO] keys OK\n";

using Outcome = test::Outcome<bool>;

class KeyStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { old_umask_ = ::umask(022); }
  void TearDown() override { ::umask(old_umask_); }

  static Outcome ensure() { return outcome_of(ensure_kyber_keypair); }

  fs::path keys() const { return dir_ / "keys"; }
  fs::path pub() const { return dir_ / "keys" / "kyber.pub"; }
  fs::path prv() const { return dir_ / "keys" / "kyber.prv"; }

  // A fresh, usable pair: right sizes, owner-only secret key, the public key
  // embedded in the secret key, and the two actually belong together.
  void expect_valid_pair() const {
    ByteBuffer p = read_file(pub());
    ByteBuffer s = read_file(prv());
    ASSERT_EQ(p.size(), 1568u);
    ASSERT_EQ(s.size(), 3168u);
    EXPECT_EQ(mode_of(prv()), 0600u);
    EXPECT_TRUE(std::equal(p.begin(), p.end(), s.begin() + 1536)) << "bytes 1536..3103 of kyber.prv";

    KemHandle kem = make_kyber1024();
    ASSERT_TRUE(kem);
    ByteBuffer ct(kem->length_ciphertext), ss1(32), ss2(32);
    ASSERT_EQ(OQS_KEM_encaps(kem.get(), ct.data(), ss1.data(), p.data()), OQS_SUCCESS);
    ASSERT_EQ(OQS_KEM_decaps(kem.get(), ss2.data(), ct.data(), s.data()), OQS_SUCCESS);
    EXPECT_EQ(ss1, ss2) << "kyber.prv does not open what kyber.pub seals";
  }

  TempDir dir_;
  test::CurrentFolder in_dir_{dir_.path()};

 private:
  mode_t old_umask_ = 0;
};

TEST_F(KeyStoreTest, PathsAreTheFixedRelativeOnes) {
  EXPECT_EQ(key_directory, "keys/");
  EXPECT_EQ(public_key_path, "keys/kyber.pub");
  EXPECT_EQ(private_key_path, "keys/kyber.prv");
}

TEST_F(KeyStoreTest, NoKeyFolderGivesAnOwnerOnlyFolderAndAFreshPair) {
  Outcome o = ensure();
  EXPECT_TRUE(o.result);
  EXPECT_EQ(o.out, kGenerated);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(mode_of(keys()), 0700u);
  EXPECT_EQ(list_dir(keys()), "kyber.prv kyber.pub");
  expect_valid_pair();
}

TEST_F(KeyStoreTest, SecondCallFindsThePairAndChangesNothing) {
  ASSERT_TRUE(ensure().result);
  ByteBuffer p = read_file(pub()), s = read_file(prv());
  Outcome o = ensure();
  EXPECT_TRUE(o.result);
  EXPECT_EQ(o.out, kKeysOk);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(read_file(pub()), p);
  EXPECT_EQ(read_file(prv()), s);
  EXPECT_EQ(list_dir(keys()), "kyber.prv kyber.pub");
}

TEST_F(KeyStoreTest, ExistingEmptyKeyFolderKeepsItsPermissions) {
  fs::create_directory(keys());
  fs::permissions(keys(), fs::perms(0755), fs::perm_options::replace);
  Outcome o = ensure();
  EXPECT_TRUE(o.result);
  EXPECT_EQ(o.out, kGenerated);
  EXPECT_EQ(mode_of(keys()), 0755u);
  expect_valid_pair();
}

// Whatever sits under both names counts as the pair; nothing is opened.
TEST_F(KeyStoreTest, AnyEntryUnderBothNamesCountsAsComplete) {
  struct Case {
    const char* name;
    bool pub_is_directory;
    std::string pub_content, prv_content;
  };
  const Case cases[] = {
      {"two empty files", false, "", ""},
      {"two junk files", false, "not a key", "not a key either"},
      {"directory kyber.pub beside file kyber.prv", true, "", "junk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(keys());
    fs::create_directory(keys());
    if (c.pub_is_directory) {
      fs::create_directory(pub());
    } else {
      write_file(pub(), c.pub_content);
    }
    write_file(prv(), c.prv_content);
    Outcome o = ensure();
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.out, kKeysOk);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(fs::is_directory(pub()), c.pub_is_directory);
    if (!c.pub_is_directory) {
      EXPECT_EQ(read_text(pub()), c.pub_content);
    }
    EXPECT_EQ(read_text(prv()), c.prv_content);
    EXPECT_EQ(list_dir(keys()), "kyber.prv kyber.pub");
  }
}

// A link in keys/ counts as a file that is there, and no key is ever written
// through one: a private key planted as a dangling link is set aside like any
// orphan, and the new pair is made of regular files in keys/.
TEST_F(KeyStoreTest, KeysAreNeverWrittenThroughALink) {
  struct Case {
    const char* name;
    bool pub_link;  // kyber.pub a link to a file elsewhere, else absent
    const char* out_starts;
    bool new_pair;
  } cases[] = {
      {"both links", true, "[INFO] keys OK\n", false},
      {"dangling private key alone", false, "[INFO] 'keys/kyber.prv' had no public key; set aside as", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(keys());
    fs::create_directory(keys());
    write_file(dir_ / "elsewhere.pub", "x");
    if (c.pub_link) fs::create_symlink(dir_ / "elsewhere.pub", pub());
    fs::create_symlink(dir_ / "missing.prv", prv());
    Outcome o = ensure();
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.out.rfind(c.out_starts, 0), 0u) << o.out;
    EXPECT_EQ(read_text(dir_ / "elsewhere.pub"), "x");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "missing.prv")));
    EXPECT_EQ(fs::is_regular_file(fs::symlink_status(prv())), c.new_pair);
    if (c.new_pair) expect_valid_pair();
  }
}

TEST_F(KeyStoreTest, PublicKeyAloneIsReplacedByAFreshPair) {
  fs::create_directory(keys());
  write_file(pub(), "an old public key");
  Outcome o = ensure();
  EXPECT_TRUE(o.result);
  EXPECT_EQ(o.out, kGenerated);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(list_dir(keys()), "kyber.prv kyber.pub");
  expect_valid_pair();
}

TEST_F(KeyStoreTest, PrivateKeyAloneIsSetAsideBeforeTheNewPair) {
  fs::create_directory(keys());
  write_file(prv(), "an old secret key");
  Outcome o = ensure();
  EXPECT_TRUE(o.result);
  EXPECT_EQ(o.err, "");
  std::smatch m;
  const std::regex expected(
      "\\[INFO\\] 'keys/kyber\\.prv' had no public key; set aside as "
      "'(keys/kyber\\.prv\\.orphan-[0-9]{8}T[0-9]{6}Z)'\n"
      "\\[INFO\\] Kyber-1024 keypair generated in 'keys/'\n");
  ASSERT_TRUE(std::regex_match(o.out, m, expected)) << o.out;
  const fs::path orphan = dir_ / m[1].str();
  EXPECT_EQ(read_text(orphan), "an old secret key");
  EXPECT_EQ(list_dir(keys()), "kyber.prv " + orphan.filename().string() + " kyber.pub");
  expect_valid_pair();
}

std::string stamp_at(std::time_t t) {
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", std::gmtime(&t));
  return text;
}

TEST_F(KeyStoreTest, SetAsideNeverOverwritesAnEarlierOrphan) {
  fs::create_directory(keys());
  // Take the plain name for every second the call could see, so it has to
  // fall back to "-2" whenever it runs.
  std::time_t now = std::time(nullptr);
  for (int s = 0; s < 30; ++s) write_file(keys() / ("kyber.prv.orphan-" + stamp_at(now + s)), "earlier");
  write_file(prv(), "the latest orphan");
  Outcome o = ensure();
  ASSERT_TRUE(o.result) << o.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(o.out, m, std::regex("set aside as '(keys/kyber\\.prv\\.orphan-[0-9T]+Z-2)'")))
      << o.out;
  EXPECT_EQ(read_text(dir_ / m[1].str()), "the latest orphan");
  for (int s = 0; s < 30; ++s) EXPECT_EQ(read_text(keys() / ("kyber.prv.orphan-" + stamp_at(now + s))), "earlier");
}

TEST_F(KeyStoreTest, FileNamedKeysIsReportedNotReplaced) {
  write_file(keys(), "in the way");
  Outcome o = ensure();
  EXPECT_FALSE(o.result);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "[ERR] cannot create key directory 'keys/': Not a directory\n");
  EXPECT_EQ(read_text(keys()), "in the way");
}

// --- permission failures -------------------------------------------------
// Root passes every permission check, so these run in a child process that
// first drops to the unprivileged user "nobody" when the tests run as root.

constexpr uid_t kNobody = 65534;

Outcome run_unprivileged(const fs::path& cwd) {
  Outcome o;
  int out_pipe[2], err_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) {
    o.err = "pipe failed";
    return o;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) _exit(3);
    if (::chdir(cwd.c_str()) != 0) _exit(4);
    bool ok = ensure_kyber_keypair();
    std::fflush(stdout);
    _exit(ok ? 0 : 1);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);  // the child writes a line or two, far below a pipe's capacity
  char buf[4096];
  ssize_t n;
  while ((n = ::read(out_pipe[0], buf, sizeof buf)) > 0) o.out.append(buf, static_cast<std::size_t>(n));
  while ((n = ::read(err_pipe[0], buf, sizeof buf)) > 0) o.err.append(buf, static_cast<std::size_t>(n));
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) o.err += "child failed to start, status " + std::to_string(status);
  o.result = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return o;
}

TEST_F(KeyStoreTest, UnwritableOrUnsearchableFoldersGiveOneErrorLine) {
  struct Case {
    const char* name;
    unsigned folder_mode;           // the program folder
    std::optional<unsigned> keys_mode;  // an existing key folder, if any
    std::string expected_err;
  };
  const Case cases[] = {
      {"read-only program folder", 0555, std::nullopt,
       "[ERR] cannot create key directory 'keys/': Permission denied\n"},
      {"key folder without search permission", 0755, 0000,
       "[ERR] cannot check 'keys/kyber.pub': Permission denied\n"},
      {"read-only key folder", 0755, 0555, "[ERR] failed to generate or save Kyber keypair\n"},
  };
  // The scratch folder must be enterable by the unprivileged user.
  fs::permissions(dir_.path(), fs::perms(0755), fs::perm_options::replace);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path prog = dir_ / "prog";
    fs::create_directory(prog);
    if (c.keys_mode) {
      fs::create_directory(prog / "keys");
      fs::permissions(prog / "keys", fs::perms(*c.keys_mode), fs::perm_options::replace);
    }
    fs::permissions(prog, fs::perms(c.folder_mode), fs::perm_options::replace);
    Outcome o = run_unprivileged(prog);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, c.expected_err);
    fs::permissions(prog, fs::perms::owner_all, fs::perm_options::add);
    if (c.keys_mode) {
      fs::permissions(prog / "keys", fs::perms::owner_all, fs::perm_options::add);
      EXPECT_EQ(list_dir(prog / "keys"), "") << "no key file and no temporary file may be left";
    } else {
      EXPECT_EQ(list_dir(prog), "");
    }
    fs::remove_all(prog);
  }
}

}  // namespace
}  // namespace vellicor
