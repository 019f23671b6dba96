// Faults from outside, through the built program: a full disk (a file size
// limit on the child), a write that fails while carrier and output are one
// file, missing folders, directories where files belong, /dev/full, symlinks,
// and a key folder the program may not write. Every case checks the exact
// lines, the exit status, and that the scratch folder afterwards is exactly
// what it was before (no output, no changed target, no temporary file).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/program_texts.hpp"
#include "tests/support/program_test.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using test::RunResult;
using namespace test::texts;

// Everything under a folder: "d" for a folder, "l:" and the target for a
// link, "f<mode>:" and the bytes for a file. Two equal snapshots mean nothing
// was created, removed or changed, temporary files included.
void snapshot_into(const fs::path& root, const fs::path& dir, std::map<std::string, std::string>& all) {
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
    const fs::file_status st = e.symlink_status();
    const std::string key = e.path().lexically_relative(root).string();
    if (fs::is_symlink(st)) {
      all[key] = "l:" + fs::read_symlink(e.path()).string();
    } else if (fs::is_directory(st)) {
      all[key] = "d";
      snapshot_into(root, e.path(), all);
    } else {
      const ByteBuffer bytes = test::read_file(e.path());
      all[key] = "f" + std::to_string(static_cast<unsigned>(st.permissions())) + ":" +
                 std::string(bytes.begin(), bytes.end());
    }
  }
}

std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> all;
  snapshot_into(root, root, all);
  return all;
}

std::vector<std::string> temp_files_under(const fs::path& root) {
  std::vector<std::string> found;
  for (const auto& [name, what] : snapshot(root))
    if (test::is_pending_name(name)) found.push_back(name);
  return found;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

ByteBuffer message_bytes() {
  ByteBuffer m;
  for (std::uint32_t i = 0; i < 4000; ++i) m.push_back(static_cast<std::uint8_t>((i * 2654435761u) >> 13));
  return m;
}

// A program copy with its key pair, and a work folder holding an input, a
// carrier, a stego PNG made from them, a folder, a link target and links.
class FaultTest : public test::ProgramTest {
 protected:
  FaultTest() : ProgramTest("work") {}
  void SetUp() override {
    VELLICOR_POSIX_PROGRAM_ONLY("symlinks, /dev/full, RLIMIT_FSIZE and POSIX permission bits");
    fs::create_directories(work_ / "adir");
    fs::create_directories(work_ / "real");
    test::write_file(work_ / "in.bin", message_bytes());
    test::write_file(work_ / "carrier.png", test::make_png(16, 16, 7));
    test::write_file(work_ / "real" / "target.png", "the old target");
    fs::create_symlink(work_ / "real" / "target.png", work_ / "link.png");
    fs::create_symlink(work_ / "nodir" / "x.png", work_ / "link-nodir.png");
    fs::create_symlink("link-loop.png", work_ / "link-loop.png");
    ASSERT_EQ(run({"genkeys"}).status, 0);
    RunResult made = run({"embed", w("in.bin"), w("carrier.png"), w("stego.png")});
    ASSERT_EQ(made.status, 0) << made.err;
  }

  RunResult run(const std::vector<std::string>& args, std::optional<unsigned long long> limit = {},
                std::optional<unsigned> uid = {}) const {
    test::RunOptions o;
    o.file_size_limit = limit;
    o.run_as_uid = uid;
    return ProgramTest::run(args, o);
  }
};

struct FaultCase {
  const char* name;
  std::vector<std::string> args;  // "{W}" stands for the work folder
  std::optional<unsigned long long> file_size_limit;
  std::string err;  // "{W}" as above
};

// An output bigger than 3000 bytes cannot be written under the limit: the
// stego PNG is about 6.4 KB and the restored file 4000 bytes.
constexpr unsigned long long kFull = 3000;

const std::vector<FaultCase> kCases = {
    {"embed, full disk", {"embed", "{W}/in.bin", "{W}/carrier.png", "{W}/out.png"}, kFull,
     "[ERR] failed to write output PNG '{W}/out.png'\n[ERR] embed_into_png() failed\n"},
    {"embed, carrier is the output, full disk", {"embed", "{W}/in.bin", "{W}/carrier.png", "{W}/carrier.png"}, kFull,
     "[ERR] failed to write output PNG '{W}/carrier.png'\n[ERR] embed_into_png() failed\n"},
    {"embed, output folder missing", {"embed", "{W}/in.bin", "{W}/carrier.png", "{W}/nodir/out.png"}, {},
     "[ERR] failed to write output PNG '{W}/nodir/out.png'\n[ERR] embed_into_png() failed\n"},
    {"embed, input is a folder", {"embed", "{W}/adir", "{W}/carrier.png", "{W}/out.png"}, {},
     "[ERR] cannot read input file '{W}/adir'\n"},
    {"embed, carrier is a folder", {"embed", "{W}/in.bin", "{W}/adir", "{W}/out.png"}, {},
     "[ERR] cannot read carrier PNG '{W}/adir'\n[ERR] embed_into_png() failed\n"},
    {"embed, output is a folder", {"embed", "{W}/in.bin", "{W}/carrier.png", "{W}/adir"}, {},
     "[ERR] failed to write output PNG '{W}/adir'\n[ERR] embed_into_png() failed\n"},
    {"embed, output /dev/full", {"embed", "{W}/in.bin", "{W}/carrier.png", "/dev/full"}, {},
     "[ERR] failed to write output PNG '/dev/full'\n[ERR] embed_into_png() failed\n"},
    {"embed, output a symlink, full disk", {"embed", "{W}/in.bin", "{W}/carrier.png", "{W}/link.png"}, kFull,
     "[ERR] failed to write output PNG '{W}/link.png'\n[ERR] embed_into_png() failed\n"},
    {"embed, output a symlink into a missing folder",
     {"embed", "{W}/in.bin", "{W}/carrier.png", "{W}/link-nodir.png"}, {},
     "[ERR] failed to write output PNG '{W}/link-nodir.png'\n[ERR] embed_into_png() failed\n"},
    {"embed, output a symlink loop", {"embed", "{W}/in.bin", "{W}/carrier.png", "{W}/link-loop.png"}, {},
     "[ERR] failed to write output PNG '{W}/link-loop.png'\n[ERR] embed_into_png() failed\n"},
    {"extract, full disk", {"extract", "{W}/stego.png", "{W}/out.bin"}, kFull,
     "[ERR] cannot write outfile '{W}/out.bin'\n"},
    {"extract, stego is the output, full disk", {"extract", "{W}/stego.png", "{W}/stego.png"}, kFull,
     "[ERR] cannot write outfile '{W}/stego.png'\n"},
    {"extract, output folder missing", {"extract", "{W}/stego.png", "{W}/nodir/out.bin"}, {},
     "[ERR] cannot write outfile '{W}/nodir/out.bin'\n"},
    {"extract, stego is a folder", {"extract", "{W}/adir", "{W}/out.bin"}, {}, "[ERR] cannot read PNG '{W}/adir'\n"},
    {"extract, output is a folder", {"extract", "{W}/stego.png", "{W}/adir"}, {},
     "[ERR] cannot write outfile '{W}/adir'\n"},
    {"extract, output /dev/full", {"extract", "{W}/stego.png", "/dev/full"}, {},
     "[ERR] cannot write outfile '/dev/full'\n"},
    {"extract, output a symlink, full disk", {"extract", "{W}/stego.png", "{W}/link.png"}, kFull,
     "[ERR] cannot write outfile '{W}/link.png'\n"},
};

std::string info_line(const std::vector<std::string>& a) {
  if (a[0] == "embed") return "[INFO] Embedding '" + a[1] + "' into carrier PNG '" + a[2] + "' -> '" + a[3] + "'\n";
  return "[INFO] Extracting from stego PNG '" + a[1] + "' -> '" + a[2] + "'\n";
}

TEST_F(FaultTest, EachFaultFailsWithItsLinesAndChangesNothing) {
  for (const FaultCase& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(replace_all(a, "{W}", work_.string()));
    const auto before = snapshot(dir_.path());
    const RunResult r = run(args, c.file_size_limit);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, replace_all(c.err, "{W}", work_.string()));
    EXPECT_EQ(r.out, kBanner + kChecking + kKeysOk + info_line(args) + "[ERR] " + args[0] + " failed\n");
    EXPECT_EQ(snapshot(dir_.path()), before) << "files changed";
  }
}

// The same outputs without the fault work, so the faults above are what made
// the runs fail; a symlink output replaces the file it names and stays a link.
TEST_F(FaultTest, WithoutTheFaultTheSameOutputsWork) {
  RunResult r = run({"embed", w("in.bin"), w("carrier.png"), w("link.png")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(work_ / "link.png"));
  EXPECT_GT(fs::file_size(work_ / "real" / "target.png"), fs::file_size(work_ / "carrier.png"));

  r = run({"extract", w("link.png"), w("restored.bin")}, kFull * 10);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(work_ / "restored.bin"), message_bytes());

  r = run({"embed", w("in.bin"), w("carrier.png"), w("carrier.png")});
  ASSERT_EQ(r.status, 0) << r.err;
  r = run({"extract", w("carrier.png"), w("carrier.png")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(work_ / "carrier.png"), message_bytes());
  EXPECT_EQ(temp_files_under(dir_.path()), std::vector<std::string>{});
}

// genkeys on a full disk: failing at the public key writes nothing; failing
// at the private key leaves the new public key alone, which the next run
// replaces with a fresh, matching pair. genkeys exits 1 either way.
TEST_F(FaultTest, GenkeysOnAFullDisk) {
  struct Row {
    unsigned long long limit;
    std::vector<std::string> keys_left;
  };
  for (const Row& row : {Row{1000, {}}, Row{2000, {"kyber.pub"}}}) {
    SCOPED_TRACE(row.limit);
    fs::remove_all(prog_dir() / "keys");
    fs::create_directory(prog_dir() / "keys");
    const RunResult r = run({"genkeys"}, row.limit);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kBanner + "[ERR] genkeys failed\n");
    EXPECT_EQ(r.err, kSaveFailed);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(prog_dir() / "keys")) left.push_back(e.path().filename().string());
    EXPECT_EQ(left, row.keys_left);

    const RunResult again = run({"genkeys"});
    EXPECT_EQ(again.out, kBanner + "[INFO] Kyber-1024 keypair generated in 'keys/'\n[OK] Kyber-1024 keys ready in 'keys/'\n");
    const ByteBuffer pub = test::read_file(prog_dir() / "keys" / "kyber.pub");
    const ByteBuffer prv = test::read_file(prog_dir() / "keys" / "kyber.prv");
    ASSERT_EQ(pub.size(), 1568u);
    ASSERT_EQ(prv.size(), 3168u);
    EXPECT_TRUE(std::equal(pub.begin(), pub.end(), prv.begin() + 1536)) << "the pair does not match";
  }
  EXPECT_EQ(temp_files_under(dir_.path()), std::vector<std::string>{});
}

// A key folder the program may not write: as root, the unprivileged user runs
// it (and may write the work folder alone); else the write bit is taken away.
TEST_F(FaultTest, KeyFolderThatCannotBeWritten) {
  const std::optional<unsigned> uid = unprivileged_user();
  if (IsSkipped()) return;
  if (uid) fs::permissions(work_, fs::perms::all);
  auto lock = [&](const fs::path& p) {
    if (!uid) fs::permissions(p, fs::perms::owner_write, fs::perm_options::remove);
  };
  fs::remove_all(prog_dir() / "keys");

  // No key folder, and the program's folder is closed for writing.
  lock(prog_dir());
  const std::string no_folder = "[ERR] cannot create key directory 'keys/': Permission denied\n";
  RunResult r = run({"genkeys"}, {}, uid);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner + "[ERR] genkeys failed\n");
  EXPECT_EQ(r.err, no_folder);
  r = run({"embed", w("in.bin"), w("carrier.png"), w("out.png")}, {}, uid);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner + kChecking);
  EXPECT_EQ(r.err, no_folder + kNoKeys);
  EXPECT_FALSE(fs::exists(prog_dir() / "keys"));

  // An empty key folder that is closed for writing.
  fs::permissions(prog_dir(), fs::perms::owner_write, fs::perm_options::add);
  fs::create_directory(prog_dir() / "keys");
  fs::permissions(prog_dir() / "keys", fs::perms(0755));
  lock(prog_dir() / "keys");
  r = run({"extract", w("stego.png"), w("out.bin")}, {}, uid);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner + kChecking);
  EXPECT_EQ(r.err, kSaveFailed + kNoKeys);
  EXPECT_TRUE(fs::is_empty(prog_dir() / "keys"));
  EXPECT_FALSE(fs::exists(work_ / "out.bin"));
  EXPECT_FALSE(fs::exists(work_ / "out.png"));
}


// The kernel's protections of sticky world-writable folders, switched on for
// one test (root only) and put back as they were after it.
class KernelProtection {
 public:
  KernelProtection(const char* name, int at_least) : path_(std::string("/proc/sys/fs/") + name) {
    std::ifstream(path_) >> old_;
    if (old_ < at_least) std::ofstream(path_) << at_least;
    int now = -1;
    std::ifstream(path_) >> now;
    ok_ = now >= at_least;
  }
  ~KernelProtection() {
    if (ok_ && old_ >= 0) std::ofstream(path_) << old_;
  }
  bool ok() const { return ok_; }

 private:
  std::string path_;
  int old_ = -1;
  bool ok_ = false;
};

// Another local user (65534) plants links and files where this user's
// outputs go, in a sticky world-writable folder as /tmp is, and in the key
// folder. Each planted path is refused with the operation's own write line,
// exit 1, and nothing is written anywhere, the planted link's target included.
TEST_F(FaultTest, AnotherUsersLinksAndFilesAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: plants files as user 65534 and sets the kernel's protections";
  KernelProtection symlinks("protected_symlinks", 1), regular("protected_regular", 1);
  if (!symlinks.ok() || !regular.ok()) GTEST_SKIP() << "the kernel's link protections cannot be switched on here";
  const fs::path sticky = dir_ / "sticky", theirs = dir_ / "theirs";
  fs::create_directories(sticky);
  fs::permissions(sticky, fs::perms::all | fs::perms::sticky_bit);
  fs::create_directories(theirs);
  test::write_file(theirs / "file", "theirs");
  test::give_to_nobody(theirs);
  fs::permissions(theirs / "file", fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
  fs::create_symlink(theirs / "loot", sticky / "dangling.out");
  fs::create_symlink(theirs / "file", sticky / "existing.out");
  test::write_file(sticky / "planted.out", "");
  for (const char* name : {"dangling.out", "existing.out", "planted.out"}) test::give_to_nobody(sticky / name);

  const std::string s = sticky.string() + "/";
  struct Attack {
    const char* name;
    std::vector<std::string> args;
    std::string err;
  } attacks[] = {
      {"extract through their dangling link", {"extract", w("stego.png"), s + "dangling.out"},
       "[ERR] cannot write outfile '" + s + "dangling.out'\n"},
      {"embed through their dangling link", {"embed", w("in.bin"), w("carrier.png"), s + "dangling.out"},
       "[ERR] failed to write output PNG '" + s + "dangling.out'\n[ERR] embed_into_png() failed\n"},
      {"extract through their link to their file", {"extract", w("stego.png"), s + "existing.out"},
       "[ERR] cannot write outfile '" + s + "existing.out'\n"},
      {"embed over their pre-created file", {"embed", w("in.bin"), w("carrier.png"), s + "planted.out"},
       "[ERR] failed to write output PNG '" + s + "planted.out'\n[ERR] embed_into_png() failed\n"},
  };
  for (const Attack& a : attacks) {
    SCOPED_TRACE(a.name);
    const auto before = snapshot(dir_.path());
    const RunResult r = run(a.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, a.err);
    EXPECT_EQ(r.out, kBanner + kChecking + kKeysOk + info_line(a.args) + "[ERR] " + a.args[0] + " failed\n");
    EXPECT_EQ(snapshot(dir_.path()), before) << "files changed";
  }

  // A private key planted as their link in the key folder: set aside like
  // any orphan, and the new pair is made of regular files; nothing goes
  // through the link.
  fs::remove(prog_dir() / "keys" / "kyber.pub");
  fs::remove(prog_dir() / "keys" / "kyber.prv");
  fs::create_symlink(theirs / "loot.prv", prog_dir() / "keys" / "kyber.prv");
  test::give_to_nobody(prog_dir() / "keys" / "kyber.prv");
  const RunResult keys = run({"genkeys"});
  EXPECT_EQ(keys.status, 0) << keys.err;
  EXPECT_NE(keys.out.find("[INFO] 'keys/kyber.prv' had no public key; set aside as"), std::string::npos) << keys.out;
  EXPECT_FALSE(fs::exists(fs::symlink_status(theirs / "loot.prv")));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(prog_dir() / "keys" / "kyber.prv")));
  EXPECT_EQ(fs::status(prog_dir() / "keys" / "kyber.prv").permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// The user's own read-only file is not replaced: as root nothing is read-only,
// so the unprivileged user runs the program, owning the file and its folder.
TEST_F(FaultTest, OwnReadOnlyFileIsNotReplaced) {
  const std::optional<unsigned> uid = unprivileged_user();
  if (IsSkipped()) return;
  for (const char* name : {"ro.png", "ro.bin"}) test::write_file(work_ / name, "read-only");
  if (uid) test::give_to_nobody(dir_.path());
  for (const char* name : {"ro.png", "ro.bin"}) fs::permissions(work_ / name, fs::perms(0444));
  const auto before = snapshot(dir_.path());
  RunResult r = run({"embed", w("in.bin"), w("carrier.png"), w("ro.png")}, {}, uid);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[ERR] failed to write output PNG '" + w("ro.png") + "'\n[ERR] embed_into_png() failed\n");
  r = run({"extract", w("stego.png"), w("ro.bin")}, {}, uid);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[ERR] cannot write outfile '" + w("ro.bin") + "'\n");
  EXPECT_EQ(snapshot(dir_.path()), before) << "files changed";
}

// Before it reads anything, a run is closed to the other processes of its
// user: while it waits at the open of a pipe, its /proc entries are root's,
// so they cannot open its files or read its memory, and it leaves no core.
TEST_F(FaultTest, NoOtherProcessOfTheUserLooksIntoARun) {
  const std::optional<unsigned> uid = unprivileged_user();
  if (IsSkipped()) return;
  if (uid) test::give_to_nobody(dir_.path());
  const fs::path fifo = work_ / "stego.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  test::RunOptions as;
  as.run_as_uid = uid;
  const int pid = test::start_program(program_, {"extract", fifo.string(), w("out.bin")}, as);
  int writer = -1;  // opens once the run has opened the pipe
  for (int tries = 0; writer < 0 && tries < 10000; ++tries)
    if ((writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0) ::usleep(1000);
  ASSERT_GE(writer, 0) << "the run never opened the pipe";
  const std::string proc = "/proc/" + std::to_string(pid);
  struct stat st {};
  ASSERT_EQ(::stat((proc + "/fd").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u) << "the run's /proc entries are its user's";
  std::ifstream limits(proc + "/limits");
  std::string line;
  while (std::getline(limits, line) && !line.starts_with("Max core file size")) {
  }
  EXPECT_EQ(line.substr(26, 22), "0                    0") << line;
  ::close(writer);
  std::string output;
  EXPECT_EQ(test::wait_program(pid, &output), 1) << output;
}

// A folder flush that fails after the output took its name: the output holds
// the new bytes, so the run succeeds and says so on standard error.
TEST_F(FaultTest, FailedFolderFlushAfterNamingIsAWarningNotAFailure) {
  std::error_code ec;
  if (!fs::exists("/usr/bin/strace", ec)) GTEST_SKIP() << "strace is not installed";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    fs::path target;
    const char* folder_fsync;  // which fsync is the folder's
  } cases[] = {
      // A new target is linked in flushed: the file's fsync, then the folder's.
      {"embed", {"embed", w("in.bin"), w("carrier.png"), w("new.png")}, work_ / "new.png", "2"},
      // A replaced one is flushed again once renamed and given its mode.
      {"embed over the carrier", {"embed", w("in.bin"), w("carrier.png"), w("carrier.png")}, work_ / "carrier.png", "3"},
      {"extract", {"extract", w("stego.png"), w("new.bin")}, work_ / "new.bin", "2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteBuffer old = fs::exists(c.target) ? test::read_file(c.target) : ByteBuffer{};
    std::vector<std::string> args = {"-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                                     std::string("inject=fsync:error=EIO:when=") + c.folder_fsync, program_.string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    test::RunOptions o;
    o.cwd = work_;
    o.env = {{"ASAN_OPTIONS", "detect_leaks=0"}};
    const RunResult r = test::run_program("/usr/bin/strace", args, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "[WARN] '" + c.args.back() + "' is written, but its folder could not be flushed: " +
                         std::strerror(EIO) + "\n");
    EXPECT_NE(test::read_file(c.target), old);
    EXPECT_EQ(temp_files_under(dir_.path()), std::vector<std::string>{});
  }
  EXPECT_EQ(test::read_file(work_ / "new.bin"), message_bytes());
}

}  // namespace
}  // namespace vellicor
