// The program among things it did not make: key folders and files others could change, pipes, devices and links
// as keys, outputs that are key files. Each run ends within a second and leaves the keys as they were.
#include <gtest/gtest.h>
#include <unistd.h>
#include <chrono>
#include "tests/support/program_test.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {
namespace fs = std::filesystem;

struct EnvironmentTest : test::ProgramTest {
  EnvironmentTest() : ProgramTest("work") {}
};
std::string snapshot(const fs::path& folder, std::string s = "") {  // names, and the bytes of the regular files
  for (const auto& e : fs::directory_iterator(folder)) s += e.is_regular_file() ? test::read_text(e.path()) : "";
  return test::list_dir(folder) + s;
}
// posix: modes, pipes and links; root: giving files to another user; bare: root, a program without the
// sanitizer runtime (which reads its options and maps from /proc), and a mount namespace of its own
enum Needs { any, posix, root, bare };
struct Row {
  const char* name;
  Needs needs;
  const char* setup;              // shell, in the program's folder; $W is the work folder
  std::vector<std::string> args;  // "W/x": x in the work folder
  std::vector<std::string> err;   // a piece of each line, in order
  int status;                     // and the closing line: "[OK] " or "[ERR] <command> failed"
  std::string work_after;
  const char* via = nullptr;  // shell that runs the program as "$0" "$@" (a redirection, a namespace)
};
const std::string kWork = "carrier.png in.txt stego.png";
const std::vector<std::string> kEmbed = {"embed", "W/in.txt", "W/carrier.png", "W/out.png"};
const std::vector<std::string> kExtract = {"extract", "W/stego.png", "W/out.txt"};
const std::string kMismatch = "'keys/kyber.pub' is not the public key held in 'keys/kyber.prv'; nothing was sealed";

const Row kRows[] = {
    {"keys/ chmod 777", posix, "chmod 777 keys", kEmbed, {"'keys/' is writable by others; run: chmod 700 '"}, 1, kWork},
    {"kyber.pub group-writable", posix, "chmod 664 keys/kyber.pub", kExtract,
     {"[ERR] key file 'keys/kyber.pub' is writable by its group; run: chmod go-w '/"}, 1, kWork},
    {"kyber.pub not this pair's", any, "head -c 1568 /dev/urandom >keys/kyber.pub", kEmbed, {kMismatch}, 1, kWork},
    {"kyber.prv empty", any, ": >keys/kyber.prv", kEmbed, {"'keys/kyber.prv' has 0 bytes", kMismatch}, 1, kWork},
    {"kyber.prv a byte long", any, "echo >>keys/kyber.prv", kEmbed, {"3169 bytes, expected 3168", kMismatch}, 1, kWork},
    {"FIFO as kyber.pub", posix, "cd keys; rm kyber.pub; mkfifo kyber.pub", kEmbed, {"' is not a regular"}, 1, kWork},
    {"kyber.prv a link to /dev/null", posix, "ln -sf /dev/null keys/kyber.prv", kExtract, {"prv' is a link"}, 1, kWork},
    {"keys owned by another user", root, "chown -R 65534:65534 keys", kEmbed,
     {"[ERR] key folder 'keys/' belongs to another user (65534), not to you, root or the owner of the"}, 1, kWork},
    {"keys of the program folder's owner (sudo)", root, "chown -R 65534:65534 .", kExtract, {}, 0,
     "carrier.png in.txt out.txt stego.png"},
    {"kyber.prv mode 0644", posix, "chmod 644 keys/kyber.prv", kEmbed,
     {"[WARN] private key 'keys/kyber.prv' may be read by others; run: chmod 600 '/"}, 0,
     "carrier.png in.txt out.png stego.png"},
    {"output a pipe another user planted in a sticky folder", root,
     "mkdir -m 1777 $W/sticky && mkfifo $W/sticky/p && chown 65534 $W/sticky/p && echo 1 >/proc/sys/fs/protected_fifos",
     {"embed", "W/in.txt", "W/carrier.png", "W/sticky/p"}, {"failed to write output PNG", "embed_into_png"}, 1,
     "carrier.png in.txt stego.png sticky"},
    {"output a pipe of one's own, with a reader", posix, "mkfifo $W/fifo && { cat $W/fifo >$W/got & }",
     {"extract", "W/stego.png", "W/fifo"}, {}, 0, "carrier.png fifo got in.txt stego.png"},
    {"no /proc: an existing output is still replaced", bare, "cp $W/stego.png $W/out.png", kEmbed, {}, 0,
     "carrier.png in.txt out.png stego.png", "unshare -m sh -c 'mount -t tmpfs none /proc && exec \"$0\" \"$@\"'"},
    {"extract to /dev/stdout appended to a log", posix, "echo old >$W/app.log", {"extract", "W/stego.png", "/dev/stdout"},
     {"Stego", "https", "", "[SMART]", "keys OK", "-> '/dev/stdout'", "[OK] Payload restored"}, 0,
     "app.log carrier.png in.txt stego.png", "exec >>\"$W/app.log\";"},
    {"extract into keys/kyber.prv", any, ":", {"extract", "W/stego.png", "keys/kyber.prv"},
     {"output 'keys/kyber.prv' is the key file 'keys/kyber.prv'; choose another", "cannot write outfile"}, 1, kWork},
    {"extract into a hard link of kyber.prv", any, "ln keys/kyber.prv $W/held", {"extract", "W/stego.png", "W/held"},
     {"held' is the key file 'keys/kyber.prv'", "cannot write outfile"}, 1, "carrier.png held in.txt stego.png"},
    {"embed into a link to kyber.pub", posix, "ln -s $PWD/keys/kyber.pub $W/s.png",
     {"embed", "W/in.txt", "W/carrier.png", "W/s.png"}, {"s.png' is the key file 'keys/kyber.pub'", "embed_into_png"},
     1, "carrier.png in.txt s.png stego.png"},
};

TEST_F(EnvironmentTest, KeyFolderKeyFilesAndOutputs) {
  ASSERT_EQ(run({"genkeys"}).status, 0);
  fs::copy(prog_dir() / "keys", dir_ / "pair", fs::copy_options::recursive);
  test::write_file(w("in.txt"), "the hidden file");
  test::write_file(w("carrier.png"), test::make_png(9, 7, 3));
  ASSERT_EQ(run({"embed", w("in.txt"), w("carrier.png"), w("stego.png")}).status, 0);
  const bool windows = !test::windows_program().empty();
  std::string skipped;
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    const char* skip = row.needs == any ? "" : windows ? "POSIX only" : row.needs >= root && ::geteuid() ? "root"
                       : row.needs != bare ? ""
                       : std::getenv("ASAN_OPTIONS") ? "a program without the sanitizer"
                       : std::system("unshare -m true 2>/dev/null") ? "a mount namespace of its own (not in a chroot)" : "";
    if (*skip != '\0') {
      skipped += std::string(skipped.empty() ? "" : "; ") + row.name + " (needs " + skip + ")";
      continue;
    }
    // Keys as made, outputs gone, the program folder its first owner's again; then the row's own set-up.
    ASSERT_EQ(std::system(("cd " + prog_dir().string() + " && W=" + work_.string() + " && rm -rf keys $W/out.* $W/held $W/sticky $W/fifo $W/got $W/app.log "
        "$W/s.png && cp -a ../pair keys && { chown --reference=.. . 2>/dev/null; true; } && " + row.setup).c_str()), 0);
    const std::string keys_before = snapshot(prog_dir() / "keys");
    std::vector<std::string> args;
    for (const std::string& a : row.args) args.push_back(a.rfind("W/", 0) ? a : test::as_program_sees(w(a.substr(2))));
    std::vector<std::string> shell = {"-c", std::string(row.via ? row.via : "") + " \"$0\" \"$@\"", program_.string()};
    shell.insert(shell.end(), args.begin(), args.end());
    test::RunOptions via;
    via.cwd = work_;
    via.env = {{"W", work_.string()}};
    const test::RunResult r = row.via ? test::run_program("/bin/sh", shell, via) : run(args);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), std::ssize(row.err)) << r.err;
    std::size_t at = 0;
    for (const std::string& piece : row.err) EXPECT_NE(at = r.err.find(piece, at), std::string::npos) << r.err;
    EXPECT_NE((r.out + r.err).find(row.status ? "[ERR] " + row.args[0] + " failed\n" : "\n[OK] "), std::string::npos) << r.out;
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(test::list_dir(work_), row.work_after);
    EXPECT_EQ(snapshot(prog_dir() / "keys"), keys_before) << "a run changed the key folder";
  }
  // Rows that could not run here are reported as skipped, never as passed.
  if (!skipped.empty()) GTEST_SKIP() << "rows not run: " << skipped;
}
}  // namespace
}  // namespace vellicor
