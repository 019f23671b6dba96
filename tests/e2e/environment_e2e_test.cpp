// The program among things it did not make (key folders and files others could
// change, pipes, devices and links as keys, outputs that are key files), one
// row per case. Each run ends within a second and leaves the keys as they were.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "tests/support/program_test.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using test::write_file;

class EnvironmentTest : public test::ProgramTest {
 public:
  EnvironmentTest() : ProgramTest("work") {}
  using ProgramTest::prog_dir, ProgramTest::w;
  fs::path key(const char* name = "") const { return prog_dir() / "keys" / name; }
};

using Setup = std::string (*)(const EnvironmentTest&);  // "" or why the row cannot run here
std::string posix() { return test::windows_program().empty() ? "" : "POSIX modes, pipes and links"; }
std::string as_root() { return ::geteuid() == 0 ? posix() : "only root can give files to another user"; }
void give_away(const fs::path& p) {
  EXPECT_EQ(::lchown(p.c_str(), 65534, 65534), 0);
  for (const auto& e : fs::recursive_directory_iterator(p)) EXPECT_EQ(::lchown(e.path().c_str(), 65534, 65534), 0);
}
std::string snapshot(const fs::path& folder) {  // names, and the bytes of the regular files
  std::string s = test::list_dir(folder);
  for (const auto& e : fs::directory_iterator(folder)) s += e.is_regular_file() ? test::read_text(e.path()) : "";
  return s;
}

struct Row {
  const char* name;
  Setup setup;
  std::vector<std::string> args;  // "W/x": x in the work folder
  std::vector<std::string> err;  // a piece of each line, in order
  std::string closing;
  int status;
  std::string work_after;
};
const std::string kWork = "carrier.png in.txt stego.png";
const std::vector<std::string> kEmbed = {"embed", "W/in.txt", "W/carrier.png", "W/out.png"};
const std::vector<std::string> kExtract = {"extract", "W/stego.png", "W/out.txt"};
const std::string kEmbedFailed = "[ERR] embed failed", kExtractFailed = "[ERR] extract failed";
const std::string kMismatch = "[ERR] 'keys/kyber.pub' is not the public key held in 'keys/kyber.prv'; nothing was sealed";

const Row kRows[] = {
    {"keys/ chmod 777", [](auto& t) { fs::permissions(t.key(), fs::perms(0777)); return posix(); }, kEmbed,
     {"[ERR] key folder 'keys/' is writable by others; run: chmod 700 '/"}, kEmbedFailed, 1, kWork},
    {"kyber.pub group-writable", [](auto& t) { fs::permissions(t.key("kyber.pub"), fs::perms(0664)); return posix(); },
     kExtract, {"[ERR] key file 'keys/kyber.pub' is writable by its group; run: chmod go-w '/"}, kExtractFailed, 1, kWork},
    {"kyber.pub not this pair's", [](auto& t) { write_file(t.key("kyber.pub"), test::noise(1568, 5)); return std::string(); },
     kEmbed, {kMismatch}, kEmbedFailed, 1, kWork},
    {"kyber.prv empty", [](auto& t) { write_file(t.key("kyber.prv"), ""); return std::string(); }, kEmbed,
     {"[ERR] key file 'keys/kyber.prv' has 0 bytes, expected 3168", kMismatch}, kEmbedFailed, 1, kWork},
    {"kyber.prv one byte long", [](auto& t) { fs::resize_file(t.key("kyber.prv"), 3169); return std::string(); }, kEmbed,
     {"[ERR] key file 'keys/kyber.prv' has 3169 bytes, expected 3168", kMismatch}, kEmbedFailed, 1, kWork},
    {"FIFO named kyber.pub", [](auto& t) { fs::remove(t.key("kyber.pub")); ::mkfifo(t.key("kyber.pub").c_str(), 0600); return posix(); },
     kEmbed, {"[ERR] key file 'keys/kyber.pub' is not a regular file (a pipe or a device)"}, kEmbedFailed, 1, kWork},
    {"kyber.prv a link to /dev/null", [](auto& t) { fs::remove(t.key("kyber.prv")); fs::create_symlink("/dev/null", t.key("kyber.prv")); return posix(); },
     kExtract, {"[ERR] key file 'keys/kyber.prv' is a link; move it away"}, kExtractFailed, 1, kWork},
    {"keys owned by another user", [](auto& t) { give_away(t.key()); return as_root(); }, kEmbed,
     {"[ERR] key folder 'keys/' belongs to another user (65534), not to you, root or the owner of the program's folder"},
     kEmbedFailed, 1, kWork},
    {"keys of the program folder's owner, under sudo", [](auto& t) { give_away(t.prog_dir()); return as_root(); },
     kExtract, {}, "[OK] Payload restored to file: ", 0, kWork + " out.txt"},
    {"kyber.prv mode 0644", [](auto& t) { fs::permissions(t.key("kyber.prv"), fs::perms(0644)); return posix(); }, kEmbed,
     {"[WARN] private key 'keys/kyber.prv' may be read by others; run: chmod 600 '/"}, "[OK] Stego PNG written: ", 0,
     "carrier.png in.txt out.png stego.png"},
    {"extract into keys/kyber.prv", [](auto&) { return std::string(); }, {"extract", "W/stego.png", "keys/kyber.prv"},
     {"[ERR] output 'keys/kyber.prv' is the key file 'keys/kyber.prv'; choose another output",
      "[ERR] cannot write outfile 'keys/kyber.prv'"}, kExtractFailed, 1, kWork},
    {"extract into a hard link of kyber.prv", [](auto& t) { fs::create_hard_link(t.key("kyber.prv"), t.w("held")); return posix(); },
     {"extract", "W/stego.png", "W/held"}, {"' is the key file 'keys/kyber.prv'", "[ERR] cannot write outfile '"},
     kExtractFailed, 1, kWork + " held"},
    {"embed into a link to kyber.pub", [](auto& t) { fs::create_symlink(t.key("kyber.pub"), t.w("s.png")); return posix(); },
     {"embed", "W/in.txt", "W/carrier.png", "W/s.png"}, {"' is the key file 'keys/kyber.pub'", "[ERR] embed_into_png() failed"},
     kEmbedFailed, 1, "carrier.png in.txt s.png stego.png"},
};

TEST_F(EnvironmentTest, KeyFolderKeyFilesAndOutputs) {
  ASSERT_EQ(run({"genkeys"}).status, 0);
  fs::copy(key(), dir_ / "pair", fs::copy_options::recursive);
  write_file(w("in.txt"), "the hidden file");
  write_file(w("carrier.png"), test::make_png(9, 7, 3));
  ASSERT_EQ(run({"embed", w("in.txt"), w("carrier.png"), w("stego.png")}).status, 0);
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(key());
    fs::copy(dir_ / "pair", key(), fs::copy_options::recursive);
    for (const char* name : {"out.png", "out.txt", "held", "s.png"}) fs::remove(w(name));
    if (::geteuid() == 0) { EXPECT_EQ(::chown(prog_dir().c_str(), 0, 0), 0); }
    if (const std::string skip = row.setup(*this); !skip.empty()) {
      std::cout << "[ SKIPPED  ] " << row.name << ": " << skip << "\n";
      continue;
    }
    const std::string keys_before = snapshot(key());
    std::vector<std::string> args;
    for (const std::string& a : row.args) args.push_back(a.rfind("W/", 0) ? a : test::as_program_sees(w(a.substr(2))));
    const auto start = std::chrono::steady_clock::now();
    const test::RunResult r = run(args);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(test::windows_program().empty() ? 1 : 20));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), std::ssize(row.err)) << r.err;
    std::size_t at = 0;
    for (const std::string& piece : row.err) EXPECT_NE(at = r.err.find(piece, at), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(row.closing), std::string::npos) << r.out;
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(test::list_dir(work_), row.work_after);
    EXPECT_EQ(snapshot(key()), keys_before) << "a run changed the key folder";
  }
}

}  // namespace
}  // namespace vellicor
