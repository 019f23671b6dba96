// Sealing for someone else: two installed copies, A and B, each with its own
// keys. B shares its key with pubkey, A seals for it with embed --to, and only
// B opens what A sealed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/program_texts.hpp"
#include "tests/support/program_test.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

using namespace test;
using namespace test::texts;

class RecipientE2e : public ProgramTest {
 protected:
  RecipientE2e() {
    write_file(home_ / "carrier.png", make_png(5, 4, 2));
    write_file(home_ / "in.txt", std::string_view("for B only"));
    EXPECT_EQ(run({"genkeys"}).status, 0);
  }
  RunResult run_b(const std::vector<std::string>& args) const { return run_program(b_, args); }
  std::string embedding(const std::string& out) const {
    return kBanner + kKeysChecked + "[INFO] Embedding 'in.txt' into carrier PNG 'carrier.png' -> '" + out + "'\n";
  }

  std::filesystem::path b_ = install_program_copy(dir_ / "b");
  std::filesystem::path b_home_ = b_.parent_path();
};

TEST_F(RecipientE2e, BOpensWhatASealedForItsTextOrKeyFileAndANeitherDoes) {
  const RunResult shared = run_b({"pubkey"});
  ASSERT_EQ(shared.status, 0) << shared.err;
  const std::string text = shared.out.substr(kBanner.size() + kGenerated.size(), 2119);
  const std::string fingerprint = shared.out.substr(shared.out.rfind("): ") + 3);  // with its line feed
  EXPECT_EQ(shared.out, kBanner + kGenerated + text + "\n[INFO] Fingerprint (SHA-256): " + fingerprint);
  EXPECT_EQ(fingerprint.size(), 80u);
  EXPECT_EQ(run_b({"pubkey", "b.txt"}).out, kBanner + kKeysOk + "[INFO] Fingerprint (SHA-256): " + fingerprint +
                                                "[OK] Public key text written: b.txt\n");
  EXPECT_EQ(read_text(b_home_ / "b.txt"), text + "\n");
  std::filesystem::copy_file(b_home_ / "b.txt", home_ / "b.txt");
  std::filesystem::copy_file(b_home_ / "keys/kyber.pub", home_ / "b.pub");
  const std::string sealing = "[INFO] Sealing for the recipient's key, fingerprint (SHA-256): " + fingerprint;
  const std::vector<std::string> recipients = {text, "b.txt", "b.pub"};
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    const std::string stego = "s" + std::to_string(i) + ".png";
    RunResult r = run({"embed", "--to", recipients[i], "in.txt", "carrier.png", stego});
    EXPECT_EQ(r.out, embedding(stego) + sealing + "[OK] Stego PNG written: " + stego + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    std::filesystem::copy_file(home_ / stego, b_home_ / stego);
    r = run_b({"extract", stego, "back.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_text(b_home_ / "back.txt"), "for B only");
    r = run({"extract", stego, "back.txt"});
    EXPECT_EQ(r.err, kTagLines);
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_EQ(listing(), as_installed("b.pub b.txt carrier.png in.txt keys s0.png s1.png s2.png vellicor"));
}

TEST_F(RecipientE2e, RefusalsWriteNothing) {
  write_file(home_ / "b.pub", noise(1568, 3));  // random bytes: coefficients of up to 4095
  write_file(home_ / "short.pub", noise(1000, 3));
  write_file(home_ / "mail.txt", std::string_view("Hi, no key here.\n"));
  std::string text = run({"pubkey"}).out.substr(kBanner.size() + kKeysOk.size(), 2119);
  text[100] = text[100] == 'A' ? 'B' : 'A';
  struct Case {
    std::vector<std::string> extra;
    std::string output, err;
    bool embedding;  // the run got as far as the Embedding line
  };
  const std::string file = "[ERR] recipient file '";
  const Case cases[] = {
      {{"--to", "b.pub", "--to", "b.pub"}, "o.png", "[ERR] --to is given twice; name one recipient\n", false},
      {{"--to"}, "o.png", "[ERR] --to needs a value: the recipient's public key text, or the path of a file that holds it\n", false},
      {{"--to", "b.pu"}, "o.png", "[ERR] cannot read recipient file 'b.pu': No such file or directory\n", true},
      {{"--to", "mail.txt"}, "o.png", file + "mail.txt' holds no Vellicor public key text (none starts with 'vellicor-kyber1024-pub:')\n", true},
      {{"--to", text}, "o.png", "[ERR] recipient text on the command line: the key text does not match its checksum (a character is changed, missing or extra)\n", true},
      {{"--to", "short.pub"}, "o.png", file + "short.pub' has 1000 bytes, but a raw Kyber-1024 public key has 1568\n", true},
      {{"--to", "b.pub"}, "o.png", file + "b.pub' is not a valid Kyber-1024 public key (a coefficient is 3329 or more)\n", true},
      {{"--to", "mail.txt"}, "mail.txt", "[ERR] output 'mail.txt' is the recipient file 'mail.txt'; choose another output\n", true},
  };
  const std::string before = listing();
  for (const Case& c : cases) {
    std::vector<std::string> args = {"embed", "in.txt", "carrier.png", c.output};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const RunResult r = run(args);
    EXPECT_EQ(r.out, c.embedding ? embedding(c.output) + "[ERR] embed failed\n" : kBanner + kKeysChecked) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(listing(), before) << c.err;
  }
  EXPECT_EQ(read_text(home_ / "mail.txt"), "Hi, no key here.\n");
  const ByteBuffer secret = read_file(home_ / "keys/kyber.prv");
  const RunResult r = run({"pubkey", "keys/kyber.prv"});
  EXPECT_EQ(r.out, kBanner + kKeysOk + "[ERR] pubkey failed\n");
  EXPECT_EQ(r.err, "[ERR] output 'keys/kyber.prv' is the key file 'keys/kyber.prv'; choose another output\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(home_ / "keys/kyber.prv"), secret);
}

}  // namespace
}  // namespace vellicor
