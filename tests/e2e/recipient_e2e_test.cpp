// Sealing for someone else: two installed copies, A and B, each with its own
// keys. B shares its key with pubkey, A seals for it with embed --to, only B
// opens what A sealed, and every refusal leaves no file behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/program_texts.hpp"
#include "tests/support/program_test.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using namespace test;
using namespace test::texts;

const std::string kFingerprint = "[INFO] Fingerprint (SHA-256): ";
const std::string kRecipientFile = "[ERR] recipient file '";

class RecipientE2e : public ProgramTest {
 protected:
  RecipientE2e() {
    write_file(home_ / "carrier.png", make_png(5, 4, 2));
    write_file(home_ / "in.txt", std::string_view("for B only"));
    EXPECT_EQ(run({"genkeys"}).status, 0);
  }
  std::string embedding(const std::string& out) const {
    return kBanner + kKeysChecked + "[INFO] Embedding 'in.txt' into carrier PNG 'carrier.png' -> '" + out + "'\n";
  }
  fs::path b_ = install_program_copy(dir_ / "b");
  fs::path b_home_ = b_.parent_path();
};

TEST_F(RecipientE2e, BOpensWhatASealedForItsTextOrKeyFileAndANeitherDoes) {
  const RunResult shared = run_program(b_, {"pubkey"});
  const std::string text = shared.out.substr(kBanner.size() + kGenerated.size(), 2119);
  const std::string fingerprint = shared.out.substr(shared.out.rfind("): ") + 3);  // with its line feed
  EXPECT_EQ(shared.out, kBanner + kGenerated + text + "\n" + kFingerprint + fingerprint);
  EXPECT_EQ(fingerprint.size(), 80u);
  EXPECT_EQ(run_program(b_, {"pubkey", "b.txt"}).out,
            kBanner + kKeysOk + kFingerprint + fingerprint + "[OK] Public key text written: b.txt\n");
  EXPECT_EQ(read_text(b_home_ / "b.txt"), text + "\n");
  if (windows_program().empty()) {  // started with standard output closed: an existing output does not take its place
    write_file(b_home_ / "closed.txt", std::string_view("old"));
    const RunResult closed = run_program("/bin/sh", {"-c", "exec \"$0\" pubkey closed.txt >&-", b_.string()});
    EXPECT_EQ(closed.status, 0) << closed.err;
    EXPECT_EQ(read_text(b_home_ / "closed.txt"), text + "\n");
  }
  fs::copy_file(b_home_ / "b.txt", home_ / "b.txt");
  fs::copy_file(b_home_ / "keys/kyber.pub", home_ / "b.pub");
  for (const std::string& to : {text, std::string("b.txt"), std::string("b.pub")}) {
    RunResult r = run({"embed", "--to", to, "in.txt", "carrier.png", "s.png"});
    EXPECT_EQ(r.out, embedding("s.png") + "[INFO] Sealing for the recipient's key, fingerprint (SHA-256): " +
                         fingerprint + "[OK] Stego PNG written: s.png\n");
    EXPECT_EQ(r.status, 0) << r.err;
    fs::copy_file(home_ / "s.png", b_home_ / "s.png", fs::copy_options::overwrite_existing);
    r = run_program(b_, {"extract", "s.png", "back.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_text(b_home_ / "back.txt"), "for B only");
    r = run({"extract", "s.png", "back.txt"});
    EXPECT_EQ(r.err, kTagLines);
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_EQ(listing(), as_installed("b.pub b.txt carrier.png in.txt keys s.png vellicor"));
}

TEST_F(RecipientE2e, RefusalsWriteNothing) {
  write_file(home_ / "b.pub", noise(1568, 3));  // random bytes: coefficients up to 4095
  write_file(home_ / "short.pub", noise(1000, 3));
  ByteBuffer q(1568, 0);
  q[0] = 0x01, q[1] = 0x0D;  // the first coefficient is q = 3329 (0x0D01)
  write_file(home_ / "q.pub", q);
  write_file(home_ / "mail.txt", std::string_view("Hi, no key here.\n"));
  write_file(home_ / "zero.pub", ByteBuffer(1568, 0));  // t = 0: s = 0 opens it
  fs::create_hard_link(home_ / "in.txt", home_ / "in.lnk");
  fs::create_symlink("in.txt", home_ / "in.sym");
  std::string text = run({"pubkey"}).out.substr(kBanner.size() + kKeysOk.size(), 2119);
  const std::string good = text;
  text[100] = text[100] == 'A' ? 'B' : 'A';
  auto is_input = [](const std::string& out, const std::string& in = "in.txt") {
    return "[ERR] output '" + out + "' is the input file '" + in +
           "'; sealed for the recipient, it could not be restored here: choose another output\n";
  };
  const std::string invalid = "' is not a valid Kyber-1024 public key (a coefficient is 3329 or more)\n";
  const std::string checksum = "the key text does not match its checksum (a character is changed, missing or extra)\n";
  // The words after the positional three, the output, and the one line; an empty output: no Embedding line.
  const std::tuple<std::vector<std::string>, std::string, std::string> cases[] = {
      {{"--to", "b.pub", "--to", "b.pub"}, "", "[ERR] --to is given twice; name one recipient\n"},
      {{"--to"}, "", "[ERR] --to needs a value: the recipient's public key text, or the path of a file that holds it\n"},
      {{"--to", "b.pu"}, "o.png", "[ERR] cannot read recipient file 'b.pu': No such file or directory\n"},
      {{"--to", "mail.txt"}, "o.png",
       kRecipientFile + "mail.txt' holds no Vellicor public key text (none starts with 'vellicor-kyber1024-pub:')\n"},
      {{"--to", text}, "o.png", "[ERR] recipient text on the command line: " + checksum},
      {{"--to", "short.pub"}, "o.png", kRecipientFile + "short.pub' has 1000 bytes, but a raw Kyber-1024 public key has 1568\n"},
      {{"--to", "b.pub"}, "o.png", kRecipientFile + "b.pub" + invalid},
      {{"--to", "q.pub"}, "o.png", kRecipientFile + "q.pub" + invalid},
      {{"--to", "mail.txt"}, "mail.txt", "[ERR] output 'mail.txt' is the recipient file 'mail.txt'; choose another output\n"},
      {{"--to", "zero.pub"}, "o.png",
       kRecipientFile + "zero.pub' is a public key that anyone can open (every coefficient of its vector t is within "
                        "+-64 of zero); nothing was sealed\n"},
      {{"--to", good}, "in.txt", is_input("in.txt")},
      {{"--to", good}, "in.lnk", is_input("in.lnk")},
      {{"--to", good}, "in.sym", is_input("in.sym")},
  };
  const std::string before = listing();
  for (const auto& [extra, output, line] : cases) {
    std::vector<std::string> args = {"embed", "in.txt", "carrier.png", output.empty() ? "o.png" : output};
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult r = run(args);
    EXPECT_EQ(r.out, output.empty() ? kBanner + kKeysChecked : embedding(output) + "[ERR] embed failed\n") << line;
    EXPECT_EQ(r.err, line);
    EXPECT_EQ(r.status, 1) << line;
    EXPECT_EQ(listing(), before) << line;
  }
  EXPECT_EQ(read_text(home_ / "mail.txt"), "Hi, no key here.\n");
  EXPECT_EQ(read_text(home_ / "in.txt"), "for B only");
  const RunResult corrected = run({"embed", "in.tx", "carrier.png", "in.txt", "--to", good});  // in.tx -> in.txt
  EXPECT_EQ(corrected.err, is_input("in.txt", as_program_sees(path("in.txt"))));
  EXPECT_EQ(listing(), before);
  const RunResult r = run({"pubkey", "keys/kyber.prv"});  // never onto a key file
  EXPECT_EQ(r.out, kBanner + kKeysOk + "[ERR] pubkey failed\n");
  EXPECT_EQ(r.err, "[ERR] output 'keys/kyber.prv' is the key file 'keys/kyber.prv'; choose another output\n");
  EXPECT_EQ(r.status, 1);
  write_file(home_ / "keys" / "kyber.pub", ByteBuffer(1568, 0));  // not the half that kyber.prv holds
  EXPECT_NE(run({"pubkey"}).err.find("held in 'keys/kyber.prv'; no key was shared: restore"), std::string::npos);
}

}  // namespace
}  // namespace vellicor
