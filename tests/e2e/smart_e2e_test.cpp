// The forgiving layer seen from outside: language codes in front of the
// command word, corrected command words and corrected input file names, as
// the installed program prints and acts on them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
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

class SmartTest : public test::ProgramTest {
 protected:
  SmartTest() : ProgramTest("elsewhere") {
    // The program names its folder as the system does (links resolved).
    prog_ = test::as_program_sees(fs::canonical(program_.parent_path()));
  }

  RunResult run(const std::vector<std::string>& args, std::map<std::string, std::string> env = {}) const {
    test::RunOptions o;
    o.env = std::move(env);
    return ProgramTest::run(args, o);
  }

  std::string prog_;
  // The separator a corrected path is joined with.
  const std::string sep_ = test::windows_program().empty() ? "/" : "\\";
};

TEST_F(SmartTest, LanguageCodeIsConsumedOnlyInFront) {
  struct Case {
    std::vector<std::string> args;
    std::string out;  // after the banner
    std::string err;
    int status;
  };
  const Case cases[] = {
      {{"fr"}, kUsage, "", 0},
      {{"enbed"}, kUsage, "", 0},  // a mistyped command that starts with "en" is a language code
      {{"pt", "--version"}, kVersion, "", 0},
      {{"ES", "-h"}, kUsage, "", 0},
      {{"italiano", "-v"}, kVersion, "", 0},
      {{"english", "--version"}, kVersion, "", 0},
      {{"Deutsch", "--help"}, kUsage, "", 0},
      // Only one code is taken: the second is the command word, and "es" is near "emb".
      {{"pt", "es"}, corrected_command("es", "embed") + kChecking + kGenerated + kUsage, kMissingEmbed, 1},
      {{"--help", "pt"}, kUsage, "", 0},
      {{"-v"}, kVersion, "", 0},
      // Not a code, so it is the command word, and "--version" is only an argument.
      {{"xx", "--version"}, corrected_command("xx", "extract") + kChecking + kGenerated + kUsage,
       "Missing arguments for extract.\n", 1},
      {{"genkeys", "pt"}, kGenerated + kReady, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    fs::remove_all(prog_dir() / "keys");
    RunResult r = run(c.args);
    EXPECT_EQ(r.out, kBanner + c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
  }
}

TEST_F(SmartTest, CodesInFrontOfEveryCommandWord) {
  for (const char* code : {"pt", "ES", "english", "Deutsch", "ja_JP"}) {
    SCOPED_TRACE(code);
    fs::remove_all(prog_dir() / "keys");
    RunResult keys = run({code, "genkeys"});
    EXPECT_EQ(keys.out, kBanner + kGenerated + kReady);
    EXPECT_EQ(keys.err, "");
    EXPECT_EQ(keys.status, 0);
    EXPECT_EQ(list_dir(prog_dir() / "keys"), "kyber.prv kyber.pub");

    RunResult embed = run({code, "embd"});
    EXPECT_EQ(embed.out, kBanner + corrected_command("embd", "embed") + kChecking + kKeysOk + kUsage);
    EXPECT_EQ(embed.err, kMissingEmbed);
    EXPECT_EQ(embed.status, 1);
  }
}

// The language only decides catalogue texts; every line printed here is fixed
// English, whatever the environment says.
TEST_F(SmartTest, LanguageFromTheEnvironmentChangesNothingPrinted) {
  const RunResult plain = run({"embd"});
  fs::remove_all(prog_dir() / "keys");
  const RunResult localised =
      run({"embd"}, {{"KRV_LANG", "pt"}, {"LANG", "es_ES.UTF-8"}, {"LC_ALL", "de_DE.UTF-8"}, {"LANGUAGE", "fr"}});
  EXPECT_EQ(localised.out, plain.out);
  EXPECT_EQ(localised.err, plain.err);
  EXPECT_EQ(localised.status, 1);
  EXPECT_EQ(localised.out, kBanner + corrected_command("embd", "embed") + kChecking + kGenerated + kUsage);
}

TEST_F(SmartTest, CommandWordsAreCorrectedOrRejected) {
  struct Case {
    const char* typed;
    std::string out;
    std::string err;
    int status;
  };
  const Case cases[] = {
      {"--keygen", kGenerated + kReady, "", 0},
      {"keys", kKeysOk + kReady, "", 0},
      {"GENKEYS", corrected_command("GENKEYS", "genkeys") + kKeysOk + kReady, "", 0},
      {"--KEYGEN", corrected_command("--KEYGEN", "genkeys") + kKeysOk + kReady, "", 0},
      {"--", corrected_command("--", "embed") + kChecking + kKeysOk + kUsage, kMissingEmbed, 1},
      {"x", corrected_command("x", "extract") + kChecking + kKeysOk + kUsage, "Missing arguments for extract.\n", 1},
      {"hello", "", "Invalid command. Try: Vellicor --help\n", 1},
      {"version", "", "Invalid command. Try: Vellicor --help\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    RunResult r = run({c.typed});
    EXPECT_EQ(r.out, kBanner + c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
  }
}

// Both input names are mistyped; the output names are near existing files
// but are used exactly as typed.
TEST_F(SmartTest, InputPathsAreCorrectedInOrderAndOutputPathsNever) {
  const std::string message = "hidden words\n";
  const ByteBuffer carrier = test::make_png(6, 5, 7);
  fs::create_directory(prog_dir() / "in");
  write_file(prog_dir() / "in" / "message.txt", message);
  write_file(prog_dir() / "carrier.png", carrier);
  write_file(prog_dir() / "stego.png", "an older file");
  write_file(prog_dir() / "back.txt", "an older file");

  RunResult embed = run({"embed", "in/mesage.txt", "carier.png", "stego.pnh", "ignored"});
  EXPECT_EQ(embed.out, kBanner + kChecking + kGenerated + corrected_path("in/mesage.txt", "in" + sep_ + "message.txt") +
                           corrected_path("carier.png", prog_ + sep_ + "carrier.png") +
                           "[INFO] Embedding 'in" + sep_ + "message.txt' into carrier PNG '" + prog_ + sep_ +
                           "carrier.png' -> 'stego.pnh'\n"
                           "[OK] Stego PNG written: stego.pnh\n");
  EXPECT_EQ(embed.err, "");
  EXPECT_EQ(embed.status, 0);
  EXPECT_EQ(read_text(prog_dir() / "stego.png"), "an older file");

  // "ext" is a listed alias: no command message; the stego name is corrected.
  RunResult extract = run({"ext", "stego.pnhh", "back.txx"});
  EXPECT_EQ(extract.out, kBanner + kChecking + kKeysOk + corrected_path("stego.pnhh", prog_ + sep_ + "stego.pnh") +
                             "[INFO] Extracting from stego PNG '" + prog_ + sep_ + "stego.pnh' -> 'back.txx'\n"
                             "[OK] Payload restored to file: back.txx\n");
  EXPECT_EQ(extract.err, "");
  EXPECT_EQ(extract.status, 0);
  EXPECT_EQ(read_text(prog_dir() / "back.txx"), message);
  EXPECT_EQ(read_text(prog_dir() / "back.txt"), "an older file");
  EXPECT_EQ(read_file(prog_dir() / "carrier.png"), carrier);
  EXPECT_EQ(list_dir(prog_dir()), test::as_installed("back.txt back.txx carrier.png in keys stego.png stego.pnh vellicor"));
  EXPECT_EQ(list_dir(work_), "");
}

TEST_F(SmartTest, NamesTooFarOffAreLeftForThePipelineToReject) {
  write_file(prog_dir() / "carrier.png", test::make_png(4, 4));
  RunResult r = run({"extract", "cxxxxer.png", "out.bin"});
  EXPECT_EQ(r.out, kBanner + kChecking + kGenerated +
                       "[INFO] Extracting from stego PNG 'cxxxxer.png' -> 'out.bin'\n"
                       "[ERR] extract failed\n");
  EXPECT_NE(r.err.find("'cxxxxer.png'"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(list_dir(prog_dir()), test::as_installed("carrier.png keys vellicor"));
}

// A folder that cannot even be searched is an error, not an absent file: the
// run ends before the "[INFO] " line. Root reads everything, so as root the
// program runs as "nobody".
TEST_F(SmartTest, UnsearchableInputFolderEndsTheRun) {
  VELLICOR_POSIX_PROGRAM_ONLY("POSIX permission bits and a run as another user");
  test::RunOptions o;
  o.cwd = work_;
  if (::geteuid() == 0) {
    o.run_as_uid = 65534;
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(prog_dir(), fs::perms::all);
    fs::permissions(work_, fs::perms::all);
  }
  write_file(prog_dir() / "carrier.png", test::make_png(4, 4));
  fs::create_directory(prog_dir() / "sealed");
  write_file(prog_dir() / "sealed" / "message.txt", "x");
  fs::permissions(prog_dir() / "sealed", fs::perms::none);

  RunResult r = test::run_program(program_, {"embed", "sealed/mesage.txt", "carrier.png", "out.png"}, o);
  EXPECT_EQ(r.out, kBanner + kChecking + kGenerated);
  EXPECT_EQ(r.err, "[ERR] cannot check input path 'sealed/mesage.txt': Permission denied\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(list_dir(prog_dir()), test::as_installed("carrier.png keys sealed vellicor"));
}

// A name planted in the folder reaches the terminal with its control bytes
// escaped, in the typed name, the corrected one and the output alike; the
// files keep their real names, and UTF-8 is shown as it is.
TEST_F(SmartTest, ControlBytesInNamesArePrintedEscaped) {
  VELLICOR_POSIX_PROGRAM_ONLY("Windows file names cannot hold control characters");
  write_file(prog_dir() / "message.txt", "x");
  write_file(prog_dir() / "car\033c.png", test::make_png(4, 4));
  const std::string output = "sa\xc3\xad" "da\x7f.png";  // UTF-8 and DEL
  RunResult r = run({"embed", "message.txt", "car\tc.png", output});
  const std::string shown = prog_ + sep_ + "car\\x1bc.png";
  EXPECT_EQ(r.out, kBanner + kChecking + kGenerated + corrected_path("car\\x09c.png", shown) +
                       "[INFO] Embedding 'message.txt' into carrier PNG '" + shown +
                       "' -> 'sa\xc3\xad" "da\\x7f.png'\n[OK] Stego PNG written: sa\xc3\xad" "da\\x7f.png\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(list_dir(prog_dir()), test::as_installed("car\033c.png keys message.txt " + output + " vellicor"));
}

}  // namespace
}  // namespace vellicor
