// The built program, installed into a scratch folder and started from another
// folder, as a user would run it: exact console output, exit status and the
// files each run leaves behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/program_texts.hpp"
#include "tests/support/program_test.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using namespace test::texts;
using namespace test;

// The title carries the single byte 0x97 (not a UTF-8 dash); it is spelled
// out separately from the program's own literal on purpose.

const std::string kKeysInTheWay = "[ERR] cannot create key directory 'keys/': Not a directory\n";

// One installed program and a separate folder to start it from.
class DriverTest : public test::ProgramTest {
 protected:
  DriverTest() : ProgramTest("elsewhere") {}
};

struct Case {
  const char* name;
  std::function<void(const fs::path& prog)> setup;  // prepares the program folder
  std::vector<std::string> args;
  std::string out;  // after the banner
  std::string err;
  int status;
  std::string prog_files;  // entries of the program folder afterwards
  std::string key_files;   // entries of keys/ afterwards, if it is a folder
};

void nothing(const fs::path&) {}
void file_named_keys(const fs::path& prog) { write_file(prog / "keys", "not a folder"); }

TEST_F(DriverTest, EveryOutcomeWithoutAPayload) {
  const std::string kMissingEmbed = "Missing arguments for embed.\n";
  const std::string kMissingExtract = "Missing arguments for extract.\n";
  const Case cases[] = {
      {"no command word", nothing, {}, kUsage, "", 0, "vellicor", ""},
      {"only a language code", nothing, {"fr"}, kUsage, "", 0, "vellicor", ""},
      {"--help", nothing, {"--help"}, kUsage, "", 0, "vellicor", ""},
      {"-h", nothing, {"-h"}, kUsage, "", 0, "vellicor", ""},
      {"language then --help", nothing, {"pt", "--help"}, kUsage, "", 0, "vellicor", ""},
      {"--version", nothing, {"--version"}, kVersion, "", 0, "vellicor", ""},
      {"-v", nothing, {"-v"}, kVersion, "", 0, "vellicor", ""},
      {"word nothing is near", nothing, {"zzzzzzzzzz"}, "", kInvalidCommand, 1, "vellicor", ""},
      {"empty word", nothing, {""}, "", kInvalidCommand, 1, "vellicor", ""},
      {"genkeys creates the pair", nothing, {"genkeys"}, kGenerated + kReady, "", 0, "keys vellicor",
       "kyber.prv kyber.pub"},
      {"genkeys ignores further words", nothing, {"pt", "genkeys", "x", "y"}, kGenerated + kReady, "", 0,
       "keys vellicor", "kyber.prv kyber.pub"},
      {"genkeys without a usable key folder", file_named_keys, {"genkeys"}, "[ERR] genkeys failed\n",
       kKeysInTheWay, 1, "keys vellicor", ""},
      {"embed without a usable key folder", file_named_keys, {"embed", "a", "b", "c"}, kChecking,
       kKeysInTheWay + kNoKeys, 1, "keys vellicor", ""},
      {"extract without a usable key folder", file_named_keys, {"extract", "a", "b"}, kChecking,
       kKeysInTheWay + kNoKeys, 1, "keys vellicor", ""},
      {"embed alone still makes the pair", nothing, {"embed"}, kChecking + kGenerated + kUsage, kMissingEmbed, 1,
       "keys vellicor", "kyber.prv kyber.pub"},
      {"embed with two words", nothing, {"embed", "a", "b"}, kChecking + kGenerated + kUsage, kMissingEmbed, 1,
       "keys vellicor", "kyber.prv kyber.pub"},
      {"extract with one word", nothing, {"extract", "a"}, kChecking + kGenerated + kUsage, kMissingExtract, 1,
       "keys vellicor", "kyber.prv kyber.pub"},
      {"'help' is no help request", nothing, {"help"},
       "[SMART] corrected command 'help' -> 'embed'\n" + kChecking + kGenerated + kUsage, kMissingEmbed, 1,
       "keys vellicor", "kyber.prv kyber.pub"},
      {"'-V' is no version request", nothing, {"-V"},
       "[SMART] corrected command '-V' -> 'embed'\n" + kChecking + kGenerated + kUsage, kMissingEmbed, 1,
       "keys vellicor", "kyber.prv kyber.pub"},
      {"a control byte in a corrected word is shown, not sent", nothing, {"\x1b" "cemb"},
       "[SMART] corrected command '\\x1bcemb' -> 'embed'\n" + kChecking + kGenerated + kUsage, kMissingEmbed, 1,
       "keys vellicor", "kyber.prv kyber.pub"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(prog_dir() / "keys");
    c.setup(prog_dir());
    RunResult r = run(c.args);
    EXPECT_EQ(r.out, kBanner + c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(list_dir(prog_dir()), test::as_installed(c.prog_files));
    if (fs::is_directory(prog_dir() / "keys")) {
      EXPECT_EQ(list_dir(prog_dir() / "keys"), c.key_files);
    }
    EXPECT_EQ(list_dir(work_), "") << "nothing may land in the folder the program was started from";
  }
}

TEST_F(DriverTest, BannerHoldsTheSingleByte0x97) {
  RunResult r = run({"--version"});
  ASSERT_GE(r.out.size(), 10u);
  EXPECT_EQ(r.out.substr(0, 10), std::string("Vellicor ") + '\x97');
  EXPECT_EQ(r.out.find("\xE2\x80\x94"), std::string::npos) << "an em dash in UTF-8 slipped in";
  RunResult help = run({"--help"});
  EXPECT_EQ(help.out.substr(kBanner.size(), 21), std::string("Vellicor (PNG-only) ") + '\x97');
}

TEST_F(DriverTest, GenkeysTwiceKeepsThePair) {
  RunResult first = run({"genkeys"});
  ASSERT_EQ(first.status, 0);
  ByteBuffer pub = read_file(prog_dir() / "keys" / "kyber.pub");
  ByteBuffer prv = read_file(prog_dir() / "keys" / "kyber.prv");
  ASSERT_EQ(pub.size(), 1568u);
  ASSERT_EQ(prv.size(), 3168u);
  EXPECT_TRUE(std::equal(pub.begin(), pub.end(), prv.begin() + 1536));

  RunResult second = run({"genkeys"});
  EXPECT_EQ(second.out, kBanner + "[INFO] keys OK\n" + kReady);
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(read_file(prog_dir() / "keys" / "kyber.pub"), pub);
  EXPECT_EQ(read_file(prog_dir() / "keys" / "kyber.prv"), prv);
  EXPECT_EQ(list_dir(prog_dir() / "keys"), "kyber.prv kyber.pub");
}

TEST_F(DriverTest, OrphanPrivateKeyIsKeptWhenAPairIsMade) {
  fs::create_directories(prog_dir() / "keys");
  write_file(prog_dir() / "keys" / "kyber.prv", "old secret");
  RunResult r = run({"genkeys"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  ASSERT_NE(r.out.find(kGenerated + kReady), std::string::npos) << r.out;
  std::vector<std::string> orphans;
  for (const auto& e : fs::directory_iterator(prog_dir() / "keys"))
    if (e.path().filename().string().rfind("kyber.prv.orphan-", 0) == 0) orphans.push_back(e.path().string());
  ASSERT_EQ(orphans.size(), 1u);
  EXPECT_EQ(read_text(orphans[0]), "old secret");
  EXPECT_EQ(fs::file_size(prog_dir() / "keys" / "kyber.prv"), 3168u);
}

// What genkeys makes of a key folder it finds half filled or unusable.
TEST_F(DriverTest, GenkeysOnWhatItFinds) {
  struct KeyCase {
    const char* name;
    std::function<void(const fs::path& keys)> setup;
    std::string out;  // after the banner
    std::uintmax_t pub_size, prv_size;  // 0: a directory is expected there
  };
  const KeyCase cases[] = {
      {"only kyber.pub", [](const fs::path& k) { write_file(k / "kyber.pub", "old public key"); },
       kGenerated + kReady, 1568, 3168},
      {"directory kyber.pub beside file kyber.prv",
       [](const fs::path& k) {
         fs::create_directory(k / "kyber.pub");
         write_file(k / "kyber.prv", "old");
       },
       "[INFO] keys OK\n" + kReady, 0, 3},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path keys = prog_dir() / "keys";
    fs::remove_all(keys);
    fs::create_directory(keys);
    c.setup(keys);
    RunResult r = run({"genkeys"});
    EXPECT_EQ(r.out, kBanner + c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(list_dir(keys), "kyber.prv kyber.pub");
    if (c.pub_size == 0) {
      EXPECT_TRUE(fs::is_directory(keys / "kyber.pub"));
    } else {
      EXPECT_EQ(fs::file_size(keys / "kyber.pub"), c.pub_size);
    }
    EXPECT_EQ(fs::file_size(keys / "kyber.prv"), c.prv_size);
  }
}

// Root passes every permission check, so as root the program runs as "nobody".
TEST_F(DriverTest, ReadOnlyProgramFolderFailsGenkeysAndEmbed) {
  VELLICOR_POSIX_PROGRAM_ONLY("POSIX permission bits and a run as another user");
  fs::permissions(dir_.path(), fs::perms(0755), fs::perm_options::replace);
  fs::permissions(prog_dir(), fs::perms(0555), fs::perm_options::replace);
  test::RunOptions o;
  o.cwd = work_;
  if (::geteuid() == 0) o.run_as_uid = 65534;
  const std::string denied = "[ERR] cannot create key directory 'keys/': Permission denied\n";

  RunResult g = test::run_program(program_, {"genkeys"}, o);
  EXPECT_EQ(g.out, kBanner + "[ERR] genkeys failed\n");
  EXPECT_EQ(g.err, denied);
  EXPECT_EQ(g.status, 1);

  RunResult e = test::run_program(program_, {"embed", "a", "b", "c"}, o);
  EXPECT_EQ(e.out, kBanner + kChecking);
  EXPECT_EQ(e.err, denied + kNoKeys);
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(list_dir(prog_dir()), test::as_installed("vellicor"));
}

// Relative names are taken from the program's folder: the files live there,
// the run starts elsewhere, and the results land beside the program.
TEST_F(DriverTest, RoundTripWithPathsRelativeToTheProgram) {
  const std::string message = "a message that travels inside a picture\n";
  write_file(prog_dir() / "message.txt", message);
  write_file(prog_dir() / "carrier.png", test::make_png(8, 8));

  RunResult embed = run({"embed", "message.txt", "carrier.png", "stego.png"});
  EXPECT_EQ(embed.out, kBanner + kChecking + kGenerated +
                           "[INFO] Embedding 'message.txt' into carrier PNG 'carrier.png' -> 'stego.png'\n"
                           "[OK] Stego PNG written: stego.png\n");
  EXPECT_EQ(embed.err, "");
  EXPECT_EQ(embed.status, 0);

  RunResult extract = run({"ext", "stego.png", "back.txt", "ignored"});
  EXPECT_EQ(extract.out, kBanner + kChecking + "[INFO] keys OK\n" +
                             "[INFO] Extracting from stego PNG 'stego.png' -> 'back.txt'\n"
                             "[OK] Payload restored to file: back.txt\n");
  EXPECT_EQ(extract.err, "");
  EXPECT_EQ(extract.status, 0);
  EXPECT_EQ(read_text(prog_dir() / "back.txt"), message);
  EXPECT_EQ(list_dir(prog_dir()), test::as_installed("back.txt carrier.png keys message.txt stego.png vellicor"));
  EXPECT_EQ(list_dir(work_), "");
}

TEST_F(DriverTest, MistypedInputIsCorrectedInTheProgramFolder) {
  write_file(prog_dir() / "message.txt", "x");
  write_file(prog_dir() / "carrier.png", test::make_png(4, 4));
  RunResult r = run({"embd", "mesage.txt", "carrier.png", "stego.png", "fourth word"});
  const std::string corrected = test::as_program_sees(prog_dir() / "message.txt");
  EXPECT_EQ(r.out, kBanner + "[SMART] corrected command 'embd' -> 'embed'\n" + kChecking + kGenerated +
                       "[SMART] corrected path 'mesage.txt' -> '" + corrected + "'\n" +
                       "[INFO] Embedding '" + corrected + "' into carrier PNG 'carrier.png' -> 'stego.png'\n" +
                       "[OK] Stego PNG written: stego.png\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(fs::exists(prog_dir() / "stego.png"));
}

TEST_F(DriverTest, FailedEmbedAndExtractCloseWithTheirLines) {
  write_file(prog_dir() / "carrier.png", test::make_png(4, 4));
  const Case cases[] = {
      {"embed of a file that is not there", nothing, {"embed", "nothere.txt", "carrier.png", "out.png"},
       kChecking + kGenerated +
           "[INFO] Embedding 'nothere.txt' into carrier PNG 'carrier.png' -> 'out.png'\n"
           "[ERR] embed failed\n",
       "[ERR] cannot read input file 'nothere.txt'\n", 1, "carrier.png keys vellicor", "kyber.prv kyber.pub"},
      {"extract from a PNG without a payload", nothing, {"extract", "carrier.png", "out.bin"},
       kChecking + "[INFO] keys OK\n" +
           "[INFO] Extracting from stego PNG 'carrier.png' -> 'out.bin'\n"
           "[ERR] extract failed\n",
       "[ERR] no vcKy chunk found in PNG 'carrier.png'\n", 1, "carrier.png keys vellicor", "kyber.prv kyber.pub"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult r = run(c.args);
    EXPECT_EQ(r.out, kBanner + c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(list_dir(prog_dir()), test::as_installed(c.prog_files));
    EXPECT_EQ(list_dir(prog_dir() / "keys"), c.key_files);
  }
}

// However the program is started, its folder is the one that holds the
// program file, links resolved: one key pair for every way in.
TEST_F(DriverTest, EveryWayOfStartingUsesTheProgramsOwnFolder) {
  VELLICOR_POSIX_PROGRAM_ONLY("started through bash (exec -a, links, PATH), which does not reach a program under Wine");
  const fs::path links = dir_ / "links";
  fs::create_directory(links);
  fs::create_symlink(program_, links / "vellicor");
  struct StartCase {
    const char* name;
    std::string command;  // run by /bin/bash -c in cwd; $0 is the installed copy
    fs::path cwd;
    std::string path_env;  // PATH, or "" for the default
  };
  const std::string path_links = links.string() + ":/usr/bin:/bin", path_prog = prog_dir().string() + ":/usr/bin:/bin";
  const StartCase cases[] = {
      {"relative path with a folder", "exec prog/vellicor genkeys", dir_.path(), ""},
      {"absolute path", "exec \"$0\" genkeys", work_, ""},
      {"through a link in another folder", "exec ../links/vellicor genkeys", work_, ""},
      {"bare name through PATH", "vellicor genkeys", work_, path_prog},
      {"bare name through PATH, reaching a link", "vellicor genkeys", work_, path_links},
      {"argv[0] naming the current folder", "exec -a ./vellicor \"$0\" genkeys", work_, ""},
      {"argv[0] naming no folder at all", "exec -a /no/such/folder/vellicor \"$0\" genkeys", work_, ""},
      {"started in a folder removed meanwhile", "mkdir gone && cd gone && rmdir \"$PWD\" && exec -a ./vellicor \"$0\" genkeys",
       work_, ""},
  };
  for (const StartCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(prog_dir() / "keys");
    test::RunOptions o;
    o.cwd = c.cwd;
    if (!c.path_env.empty()) o.env["PATH"] = c.path_env;
    RunResult r = test::run_program("/bin/bash", {"-c", c.command, program_.string()}, o);
    EXPECT_EQ(r.out, kBanner + kGenerated + kReady);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(list_dir(prog_dir()), "keys vellicor");
    EXPECT_EQ(list_dir(work_), "");
    EXPECT_EQ(list_dir(links), "vellicor");
  }
}

// Windows takes the command line wide: an argument the system code page
// (1252 here) cannot hold exactly is refused rather than changed into a
// look-alike, and a program folder with such a name is still entered, as is
// the real folder of a program started through a link.
TEST_F(DriverTest, WindowsArgumentsAndFolderOutsideTheCodePage) {
  if (test::windows_program().empty()) GTEST_SKIP() << "POSIX arguments are bytes and reach the program as they are";
  const std::string lodz = "\xc5\x81\xc3\xb3" "d\xc5\xba";  // the UTF-8 the POSIX side passes to Wine
  const fs::path outside = dir_ / lodz;
  fs::create_directory(outside);
  fs::copy_file(program_, outside / program_.filename());
  // The program where the system's ANSI code page (1252 under Wine) stays in
  // force, as before Windows 10 1903: built beside the program for the tests.
  const fs::path system_code_page = fs::path(test::windows_program()).parent_path() / "vellicor_system_code_page.exe";
  if (!fs::exists(system_code_page)) GTEST_SKIP() << "no " << system_code_page << " beside the program";
  const fs::path legacy = prog_dir() / program_.filename();
  fs::copy_file(system_code_page, legacy, fs::copy_options::overwrite_existing);
  fs::create_directory(dir_ / "links");
  fs::create_symlink(program_, dir_ / "links" / program_.filename());
  struct ArgCase {
    fs::path program;
    std::vector<std::string> args;
    std::string out, err;
    int status;
    fs::path keys_in;
  } cases[] = {
      {legacy, {"genkeys", lodz + ".txt"}, "",
       "[ERR] argument 2 has characters that code page 1252 cannot hold (shown as ?): '?\xf3" "d?.txt'\n", 1, {}},
      {legacy, {"embed", "a.txt", "b.png", "\xe2\x88\x92" "1.png"}, "",  // a minus sign, best fit '-'
       "[ERR] argument 4 has characters that code page 1252 cannot hold (shown as ?): '?1.png'\n", 1, {}},
      {legacy, {"genkeys", "caf\xc3\xa9"}, kBanner + kGenerated + kReady, "", 0, prog_dir()},
      {dir_ / "links" / program_.filename(), {"genkeys", "link"}, kBanner + kGenerated + kReady, "", 0, prog_dir()},
      {outside / program_.filename(), {"genkeys"}, kBanner + kGenerated + kReady, "", 0, outside},
  };
  test::RunOptions o;
  o.cwd = work_;
  for (const ArgCase& c : cases) {
    SCOPED_TRACE(c.args.back());
    fs::remove_all(prog_dir() / "keys");
    RunResult r = test::run_program(c.program, c.args, o);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(fs::exists(prog_dir() / "keys"), c.keys_in == prog_dir());
    EXPECT_EQ(fs::exists(outside / "keys"), c.keys_in == outside);
    EXPECT_EQ(list_dir(work_), "");
  }
}

// Wine's drive `letter` made the folder `to` while it lives; then as it was.
class WineDrive {
 public:
  WineDrive(const char* letter, const fs::path& to) {
    if (const char* prefix = std::getenv("VELLICOR_WINEPREFIX")) link_ = fs::path(prefix) / "dosdevices" / letter;
    if (link_.empty()) return;
    std::error_code ec;
    was_ = fs::read_symlink(link_, ec);
    fs::remove(link_);
    fs::create_symlink(to, link_);
  }
  ~WineDrive() {
    if (link_.empty()) return;
    fs::remove(link_);
    if (!was_.empty()) fs::create_symlink(was_, link_);
  }
  bool mapped() const { return !link_.empty(); }

 private:
  fs::path link_, was_;
};

// A USB stick's root (E:\out.png): an existing file there is replaced by
// embed and by extract, as anywhere else. Wine's drive Q: is made a scratch
// folder for it.
TEST_F(DriverTest, WindowsOutputsAtADriveRootAreReplaced) {
  if (test::windows_program().empty()) GTEST_SKIP() << "drive letters are Windows'";
  const WineDrive drive("q:", work_);
  if (!drive.mapped()) GTEST_SKIP() << "no Wine prefix named (VELLICOR_WINEPREFIX)";
  write_file(w("message.txt"), "for the stick");
  write_file(w("carrier.png"), test::make_png(4, 4));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(run({"embed", "Q:\\message.txt", "Q:\\carrier.png", "Q:\\out.png"}).status, 0);
    RunResult r = run({"extract", "Q:\\out.png", "Q:\\out.txt"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_text(w("out.txt")), "for the stick");
  }
  EXPECT_EQ(list_dir(work_), "carrier.png message.txt out.png out.txt");
}

// A key folder on a drive that keeps no access lists (a FAT stick) is warned
// of by every command that uses the keys. scripts/wine-run.sh makes Wine's
// drive R: a CD drive, which Wine reports without access lists (the drive
// must be there when Wine starts: it is only pointed elsewhere here).
TEST_F(DriverTest, WindowsKeysOnADriveWithoutAccessListsAreWarnedOf) {
  if (test::windows_program().empty()) GTEST_SKIP() << "drive letters are Windows'";
  const WineDrive drive("r:", work_);
  if (!drive.mapped()) GTEST_SKIP() << "no Wine prefix named (VELLICOR_WINEPREFIX)";
  fs::copy_file(program_, w(program_.filename().string()));
  write_file(w("message.txt"), "on the stick");
  write_file(w("carrier.png"), test::make_png(4, 4));
  const std::string warning =
      "[WARN] the drive of 'keys/' keeps no access lists (FAT or exFAT): 'keys/kyber.prv' is not protected from "
      "other users there\n";
  test::RunOptions o;
  o.cwd = work_;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"genkeys"}, {"embed", "message.txt", "carrier.png", "out.png"}, {"extract", "out.png", "out.txt"}}) {
    SCOPED_TRACE(args.front());
    RunResult r = test::run_program("R:\\" + program_.filename().string(), args, o);
    EXPECT_EQ(r.err, warning);
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_EQ(read_text(w("out.txt")), "on the stick");
}

// An output that is the process's own standard output carries the bytes
// alone; the lines go to standard error, in their order.
TEST_F(DriverTest, OutputToStandardOutputCarriesTheBytesAlone) {
  VELLICOR_POSIX_PROGRAM_ONLY("/dev/stdout is a POSIX path");
  const std::string message = "the restored bytes\n";
  write_file(prog_dir() / "message.txt", message);
  write_file(prog_dir() / "carrier.png", test::make_png(4, 4));
  ASSERT_EQ(run({"embed", "message.txt", "carrier.png", "stego.png"}).status, 0);

  RunResult r = run({"extract", "stego.png", "/dev/stdout"});
  EXPECT_EQ(r.out, message);
  EXPECT_EQ(r.err, kBanner + kKeysChecked + "[INFO] Extracting from stego PNG 'stego.png' -> '/dev/stdout'\n" +
                       "[OK] Payload restored to file: /dev/stdout\n");
  EXPECT_EQ(r.status, 0);

  RunResult e = run({"embed", "message.txt", "carrier.png", "/proc/self/fd/1"});
  EXPECT_EQ(e.out.size(), read_text(prog_dir() / "stego.png").size());  // the same payload into the same carrier
  EXPECT_EQ(e.out.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_EQ(e.out.substr(e.out.size() - 12), std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12));
  EXPECT_EQ(e.err, kBanner + kKeysChecked +
                       "[INFO] Embedding 'message.txt' into carrier PNG 'carrier.png' -> '/proc/self/fd/1'\n" +
                       "[OK] Stego PNG written: /proc/self/fd/1\n");
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(list_dir(prog_dir()), test::as_installed("carrier.png keys message.txt stego.png vellicor"));
}

}  // namespace
}  // namespace vellicor
