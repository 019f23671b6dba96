// embed and extract through the built program, installed in a scratch folder:
// round trips, the stego layout, and every failure a user can reach, each with
// its exact standard error, the closing line, exit status 1 and no output file.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
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

std::string embed_out(const std::string& in, const std::string& carrier, const std::string& out, bool ok) {
  return kBanner + kKeysChecked + "[INFO] Embedding '" + in + "' into carrier PNG '" + carrier + "' -> '" + out +
         "'\n" + (ok ? "[OK] Stego PNG written: " + out + "\n" : "[ERR] embed failed\n");
}

std::string extract_out(const std::string& stego, const std::string& out, bool ok) {
  return kBanner + kKeysChecked + "[INFO] Extracting from stego PNG '" + stego + "' -> '" + out + "'\n" +
         (ok ? "[OK] Payload restored to file: " + out + "\n" : "[ERR] extract failed\n");
}

// The program in <tmp>/prog with its key pair made; files live beside it, since
// the program works from its own folder.
class PipelineE2e : public test::ProgramTest {
 protected:
  PipelineE2e() {
    RunResult r = test::run_program(program_, {"genkeys"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    carrier_ = test::make_png(9, 6, 4);
    write_file(home_ / "carrier.png", carrier_);
  }

  RunResult embed(const std::string& in, const std::string& carrier, const std::string& out,
                  const test::RunOptions& options = {}) {
    return run({"embed", in, carrier, out}, options);
  }
  RunResult extract(const std::string& stego, const std::string& out, const test::RunOptions& options = {}) {
    return run({"extract", stego, out}, options);
  }
  ByteBuffer make_stego(const ByteBuffer& input, const std::string& name = "stego.png") {
    write_file(home_ / "input.bin", input);
    RunResult r = embed("input.bin", "carrier.png", name);
    EXPECT_EQ(r.status, 0) << r.err;
    return read_file(home_ / name);
  }

  ByteBuffer carrier_;
};

TEST_F(PipelineE2e, RoundTrips) {
  for (std::size_t n : {0, 1, 15, 16, 17, 1 << 20}) {
    const ByteBuffer input = noise(n, static_cast<std::uint32_t>(n) * 7 + 1);
    write_file(home_ / "input.bin", input);
    RunResult r = embed("input.bin", "carrier.png", "stego.png");
    EXPECT_EQ(r.status, 0) << n;
    EXPECT_EQ(r.err, "") << n;
    EXPECT_EQ(r.out, embed_out("input.bin", "carrier.png", "stego.png", true)) << n;

    const ByteBuffer stego = read_file(home_ / "stego.png");
    ASSERT_EQ(stego.size(), carrier_.size() + 12 + 1606 + n) << n;
    const std::size_t p = carrier_.size() - 12;  // where IEND was
    EXPECT_TRUE(std::equal(carrier_.begin(), carrier_.begin() + static_cast<std::ptrdiff_t>(p), stego.begin()));
    EXPECT_TRUE(std::equal(carrier_.end() - 12, carrier_.end(), stego.end() - 12));
    EXPECT_EQ(be(stego.data() + p, 4), 1606 + n);
    EXPECT_EQ(std::string(stego.begin() + static_cast<std::ptrdiff_t>(p + 4),
                          stego.begin() + static_cast<std::ptrdiff_t>(p + 8)),
              "vcKy");
    EXPECT_EQ(stego[p + 8], 0x06);
    EXPECT_EQ(stego[p + 9], 0x20);
    EXPECT_EQ(be(stego.data() + p + 8 + 1598, 8), n);
    const ByteBuffer rebuilt = test::make_chunk("vcKy", ByteView(stego).subspan(p + 8, 1606 + n));
    EXPECT_TRUE(std::equal(rebuilt.begin(), rebuilt.end(), stego.begin() + static_cast<std::ptrdiff_t>(p)))
        << "chunk CRC, " << n;

    r = extract("stego.png", "restored.bin");
    EXPECT_EQ(r.status, 0) << n;
    EXPECT_EQ(r.err, "") << n;
    EXPECT_EQ(r.out, extract_out("stego.png", "restored.bin", true)) << n;
    EXPECT_EQ(read_file(home_ / "restored.bin"), input) << n;
  }
  EXPECT_EQ(listing(), test::as_installed("carrier.png input.bin keys restored.bin stego.png vellicor"));
}

struct FailureCase {
  const char* name;
  std::function<void(const fs::path& home)> prepare;
  std::string expected_err;
};

TEST_F(PipelineE2e, EmbedFailures) {
  const ByteBuffer& sig = test::kPngSignature;
  const ByteBuffer carrier = carrier_;
  const std::vector<FailureCase> cases = {
      {"input missing", [](const fs::path& h) { fs::remove(h / "input.bin"); },
       "[ERR] cannot read input file 'input.bin'\n"},
      {"carrier missing", [](const fs::path& h) { fs::remove(h / "carrier.png"); },
       "[ERR] cannot read carrier PNG 'carrier.png'\n" + kEmbedFailed},
      {"carrier not a PNG",
       [](const fs::path& h) { write_file(h / "carrier.png", std::string_view("GIF89a, really")); },
       "[ERR] carrier file 'carrier.png' is not a valid PNG (bad signature)\n" + kEmbedFailed},
      {"carrier under 8 bytes", [](const fs::path& h) { write_file(h / "carrier.png", std::string_view("\x89PNG\r")); },
       "[ERR] carrier file too small to be PNG\n" + kEmbedFailed},
      {"carrier signature only", [&](const fs::path& h) { write_file(h / "carrier.png", sig); },
       "[ERR] IEND chunk not found in PNG 'carrier.png'\n" + kEmbedFailed},
      {"carrier without IEND",
       [&](const fs::path& h) { write_file(h / "carrier.png", ByteView(carrier).first(carrier.size() - 12)); },
       "[ERR] IEND chunk not found in PNG 'carrier.png'\n" + kEmbedFailed},
      {"carrier chunk length past the end",
       [&](const fs::path& h) {
         ByteBuffer bad = sig;
         test::append(bad, ByteBuffer{0, 0, 9, 0, 'I', 'H', 'D', 'R', 0, 0});
         write_file(h / "carrier.png", bad);
       },
       "[ERR] malformed PNG: chunk length beyond file size\n" + kEmbedFailed},
      {"public key empty", [](const fs::path& h) { write_file(h / "keys/kyber.pub", std::string_view()); },
       "[ERR] key file 'keys/kyber.pub' has 0 bytes, expected 1568\n"
       "[ERR] cannot read Kyber public key from 'keys/kyber.pub'\n"},
      {"public key truncated", [](const fs::path& h) { fs::resize_file(h / "keys/kyber.pub", 1000); },
       "[ERR] key file 'keys/kyber.pub' has 1000 bytes, expected 1568\n"
       "[ERR] cannot read Kyber public key from 'keys/kyber.pub'\n"},
      {"public key a folder",
       [](const fs::path& h) {
         fs::remove(h / "keys/kyber.pub");
         fs::create_directory(h / "keys/kyber.pub");
       },
       "[ERR] cannot read Kyber public key from 'keys/kyber.pub'\n"},
  };
  const ByteBuffer pub = read_file(home_ / "keys/kyber.pub");
  for (const FailureCase& c : cases) {
    write_file(home_ / "input.bin", std::string_view("the file to hide"));
    write_file(home_ / "carrier.png", carrier_);
    c.prepare(home_);
    const std::string before = listing();
    RunResult r = embed("input.bin", "carrier.png", "out.png");
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, c.expected_err) << c.name;
    EXPECT_EQ(r.out, embed_out("input.bin", "carrier.png", "out.png", false)) << c.name;
    EXPECT_EQ(listing(), before) << c.name << ": no output, no temporary file";
    std::error_code ec;
    fs::remove_all(home_ / "keys/kyber.pub", ec);
    write_file(home_ / "keys/kyber.pub", pub);
  }
}

TEST_F(PipelineE2e, EmbedOutputCannotBeWritten) {
  write_file(home_ / "input.bin", noise(5000, 1));
  RunResult r = embed("input.bin", "carrier.png", "no-such-folder/out.png");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[ERR] failed to write output PNG 'no-such-folder/out.png'\n" + kEmbedFailed);
  EXPECT_EQ(r.out, embed_out("input.bin", "carrier.png", "no-such-folder/out.png", false));
  VELLICOR_POSIX_PROGRAM_ONLY("the rest fails the write half way with RLIMIT_FSIZE");

  // A write that fails half way (the file size limit) leaves the old target as it was.
  write_file(home_ / "out.png", std::string_view("old target"));
  test::RunOptions limited;
  limited.file_size_limit = 4096;
  r = embed("input.bin", "carrier.png", "out.png", limited);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[ERR] failed to write output PNG 'out.png'\n" + kEmbedFailed);
  EXPECT_EQ(test::read_text(home_ / "out.png"), "old target");
  EXPECT_EQ(listing(), test::as_installed("carrier.png input.bin keys out.png vellicor"));
}

// Standard input and output, as "-" (and by their /dev names where they
// have them): a pipe has no size beforehand and is read whole; an output to
// standard output carries the bytes alone, the lines going to standard error.
TEST_F(PipelineE2e, StandardStreams) {
  const bool posix = windows_program().empty();
  const std::string piped = std::string(70000, 'p') + "end of the pipe";
  write_file(home_ / "piped.txt", piped);
  ASSERT_EQ(embed("piped.txt", "carrier.png", "stego.png").status, 0);
  write_file(home_ / "-", std::string_view("a file named -"));
  const std::string stego = read_text(home_ / "stego.png");
  const std::string carrier(carrier_.begin(), carrier_.end());
  const std::string stego_of_piped = "<a stego that extracts to the piped text>";
  struct Row {
    const char* name;
    bool runs;
    std::vector<std::string> args;
    std::string in, out, err;
    int status;
  };
  const std::vector<Row> rows = {
      {"input from a pipe", true, {"embed", "-", "carrier.png", "s1.png"}, piped,
       embed_out("-", "carrier.png", "s1.png", true), "", 0},
      {"input from /dev/stdin", posix, {"embed", "/dev/stdin", "carrier.png", "s2.png"}, piped,
       embed_out("/dev/stdin", "carrier.png", "s2.png", true), "", 0},
      {"extract to a pipe", true, {"extract", "stego.png", "-"}, "", piped, extract_out("stego.png", "-", true), 0},
      {"stego from a pipe to a pipe", true, {"extract", "-", "-"}, stego, piped, extract_out("-", "-", true), 0},
      {"carrier from a pipe, stego to one", true, {"embed", "piped.txt", "-", "-"}, carrier, stego_of_piped,
       embed_out("piped.txt", "-", "-", true), 0},
      {"standard input twice", true, {"embed", "-", "-", "s3.png"}, piped, kBanner + kKeysChecked,
       "[ERR] standard input ('-') can stand for one input of a run only\n", 1},
      {"a file named - is ./-", true, {"extract", "./-", "back.txt"}, "", extract_out("./-", "back.txt", false),
       "[ERR] file './-' is not a valid PNG (bad signature)\n", 1},
  };
  for (const Row& row : rows) {
    if (!row.runs) continue;
    SCOPED_TRACE(row.name);
    test::RunOptions options;
    options.stdin_text = row.in;
    const RunResult r = run(row.args, options);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.err, row.err);
    if (row.out != stego_of_piped) {
      EXPECT_EQ(r.out, row.out);
      continue;
    }
    options.stdin_text = r.out;
    EXPECT_EQ(run({"extract", "-", "-"}, options).out, piped);
  }
  for (const char* made : {"s1.png", "s2.png"}) {
    if (!fs::exists(home_ / made)) continue;
    EXPECT_EQ(extract(made, "back.txt").status, 0);
    EXPECT_EQ(read_text(home_ / "back.txt"), piped) << made;
  }
  EXPECT_EQ(listing(), as_installed(posix ? "- back.txt carrier.png keys piped.txt s1.png s2.png stego.png vellicor"
                                          : "- back.txt carrier.png keys piped.txt s1.png stego.png vellicor"));
}

// Names in any script as input, carrier and output, and one mistyped: the
// Windows program's process code page is UTF-8, so it reaches them too.
TEST_F(PipelineE2e, NamesInAnyScript) {
  // Cyrillic and CJK names, each as input, carrier and output.
  const std::string data = "\xd0\xb4\xd0\xb0\xd0\xbd\xd0\xbd\xd1\x8b\xd0\xb5.txt", map = "\xd0\xba\xd0\xb0\xd1\x80\xd1\x82\xd0\xb0.png",
                    out = "\xd0\xb2\xd1\x8b\xd0\xb2\xd0\xbe\xd0\xb4.png";
  const std::string data_cjk = "\xe8\xb3\x87\xe6\x96\x99.txt", map_cjk = "\xe5\x9c\xb0\xe5\x9b\xb3.png",
                    out_cjk = "\xe5\x87\xba\xe5\x8a\x9b.png";
  const std::string mistyped = "\xd0\xba\xd0\xb0\xd1\x80\xd1\x82\xd0\xbe.png";  // the last letter o, not a
  write_file(home_ / data, std::string_view("data"));
  write_file(home_ / data_cjk, std::string_view("data cjk"));
  write_file(home_ / map, carrier_);
  write_file(home_ / map_cjk, carrier_);
  const std::string corrected = as_program_sees(home_ / map);
  const std::string fixed = kBanner + kKeysChecked + corrected_path(mistyped, corrected) + "[INFO] Embedding '" + data +
                            "' into carrier PNG '" + corrected + "' -> 'b.png'\n[OK] Stego PNG written: b.png\n";
  const struct {
    std::vector<std::string> args;
    std::string out;
  } rows[] = {
      {{"embed", data, map_cjk, out_cjk}, embed_out(data, map_cjk, out_cjk, true)},
      {{"embed", data_cjk, map, out}, embed_out(data_cjk, map, out, true)},
      {{"extract", out_cjk, "a.txt"}, extract_out(out_cjk, "a.txt", true)},
      {{"extract", out, "b.txt"}, extract_out(out, "b.txt", true)},
      {{"embed", data, mistyped, "b.png"}, fixed},
  };
  for (const auto& row : rows) {
    const RunResult r = run(row.args);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_EQ(read_text(home_ / "a.txt"), "data");
  EXPECT_EQ(read_text(home_ / "b.txt"), "data cjk");
  EXPECT_EQ(listing(), as_installed("a.txt b.png b.txt carrier.png keys vellicor " + out + " " + data + " " + map +
                                    " " + out_cjk + " " + map_cjk + " " + data_cjk));
}

// Memory stays the same at any size: 256 MiB go through both operations with
// 64 MiB of address space (a sparse input keeps the disk use small), from a
// file and through a pipe.
TEST_F(PipelineE2e, BigFilesGoThroughInLittleMemory) {
  VELLICOR_POSIX_PROGRAM_ONLY("the memory limit is set with prlimit, which Wine's own start-up does not fit in");
  std::error_code ec;
  if (!fs::exists("/usr/bin/prlimit", ec)) GTEST_SKIP() << "prlimit (util-linux) is not installed";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a sanitizer build reserves far more address space than the limit";
#endif
  constexpr std::uintmax_t kSize = std::uintmax_t{256} << 20;
  write_file(home_ / "input.bin", std::string_view("head"));
  fs::resize_file(home_ / "input.bin", kSize);
  const std::vector<std::string> limit = {"--as=" + std::to_string(64 << 20), "--data=" + std::to_string(64 << 20),
                                          program_.string()};
  auto limited = [&](std::vector<std::string> args) {
    args.insert(args.begin(), limit.begin(), limit.end());
    return test::run_program("/usr/bin/prlimit", args);
  };
  RunResult r = limited({"embed", "input.bin", "carrier.png", "stego.png"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, embed_out("input.bin", "carrier.png", "stego.png", true));
  EXPECT_EQ(fs::file_size(home_ / "stego.png", ec), carrier_.size() + 12 + 1606 + kSize);
  r = limited({"extract", "stego.png", "back.bin"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, extract_out("stego.png", "back.bin", true));
  EXPECT_EQ(test::run_program("/usr/bin/cmp", {(home_ / "input.bin").string(), (home_ / "back.bin").string()}).status,
            0);
  EXPECT_EQ(listing(), test::as_installed("back.bin carrier.png input.bin keys stego.png vellicor"));
  fs::remove(home_ / "back.bin");

  // Sources that cannot seek, under the same limit: the 256 MiB stego through
  // a pipe as the stego and as the carrier, and /dev/zero, which never ends,
  // as either (its first bytes are no PNG signature).
  write_file(home_ / "small.txt", std::string_view("small"));
  std::string prlimit = "/usr/bin/prlimit";
  for (const std::string& word : limit) prlimit += " '" + word + "'";
  struct Case {
    const char* name;
    std::string command, out, err;
    int status;
  };
  const std::vector<Case> cases = {
      {"stego through a pipe", "cat stego.png | " + prlimit + " extract /dev/stdin back.bin",
       extract_out("/dev/stdin", "back.bin", true), "", 0},
      {"input through a pipe, stego to one", "cat input.bin | " + prlimit + " embed - carrier.png - >/dev/null", "",
       embed_out("-", "carrier.png", "-", true), 0},
      {"carrier through a pipe", "cat stego.png | " + prlimit + " embed small.txt /dev/stdin out.png",
       embed_out("small.txt", "/dev/stdin", "out.png", true),
       "[WARN] carrier PNG '/dev/stdin' already hides a file: extract will restore that one, not the new one\n", 0},
      {"/dev/zero as the carrier", prlimit + " embed small.txt /dev/zero zero.png",
       embed_out("small.txt", "/dev/zero", "zero.png", false),
       "[ERR] carrier file '/dev/zero' is not a valid PNG (bad signature)\n" + kEmbedFailed, 1},
      {"/dev/zero as the stego", prlimit + " extract /dev/zero zero.bin",
       extract_out("/dev/zero", "zero.bin", false), "[ERR] file '/dev/zero' is not a valid PNG (bad signature)\n", 1},
  };
  test::RunOptions here;
  here.cwd = home_;
  for (const Case& c : cases) {
    r = test::run_program("/bin/sh", {"-c", c.command}, here);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
  }
  EXPECT_EQ(test::run_program("/usr/bin/cmp", {(home_ / "input.bin").string(), (home_ / "back.bin").string()}).status,
            0);
  // The piped stego is the carrier, whole up to its IEND, then the new chunk.
  const std::uintmax_t stego_size = fs::file_size(home_ / "stego.png", ec);
  EXPECT_EQ(fs::file_size(home_ / "out.png", ec), stego_size + 12 + 1606 + 5);
  EXPECT_EQ(test::run_program("/usr/bin/cmp", {"-n", std::to_string(stego_size - 12), (home_ / "stego.png").string(),
                                               (home_ / "out.png").string()})
                .status,
            0);
  EXPECT_EQ(listing(), test::as_installed("back.bin carrier.png input.bin keys out.png small.txt stego.png vellicor"));
}

// The Windows program, where prlimit does not fit Wine's start-up: the peak
// resident size of its process grows by at most 16 MiB from 1 MiB to 256 MiB,
// for embed and for extract. The launcher execs Wine's loader, which becomes
// the Windows process, so the peak of the process id the test started is
// the program's (after the fixture's genkeys the wineserver is running, and
// the launcher starts no Wine program of its own before it).
TEST_F(PipelineE2e, WindowsProgramMemoryDoesNotGrowWithTheFile) {
  if (test::windows_program().empty()) GTEST_SKIP() << "the program built here is held to 64 MiB above";
  constexpr long kGrowthKib = 16 << 10;
  long embed_peak[2] = {}, extract_peak[2] = {};
  const std::uintmax_t sizes[2] = {std::uintmax_t{1} << 20, std::uintmax_t{256} << 20};
  std::error_code ec;
  for (int i = 0; i < 2; ++i) {
    write_file(home_ / "input.bin", std::string_view("head"));
    fs::resize_file(home_ / "input.bin", sizes[i]);  // sparse: little disk
    RunResult r = embed("input.bin", "carrier.png", "stego.png");
    ASSERT_EQ(r.status, 0) << r.err;
    embed_peak[i] = r.peak_rss_kib;
    EXPECT_EQ(fs::file_size(home_ / "stego.png", ec), carrier_.size() + 12 + 1606 + sizes[i]);
    r = extract("stego.png", "back.bin");
    ASSERT_EQ(r.status, 0) << r.err;
    extract_peak[i] = r.peak_rss_kib;
    EXPECT_EQ(test::run_program("/usr/bin/cmp", {(home_ / "input.bin").string(), (home_ / "back.bin").string()}).status,
              0);
  }
  EXPECT_GT(embed_peak[0], 0);
  EXPECT_LE(embed_peak[1] - embed_peak[0], kGrowthKib) << "embed, peak KiB: " << embed_peak[0] << " -> "
                                                       << embed_peak[1];
  EXPECT_LE(extract_peak[1] - extract_peak[0], kGrowthKib) << "extract, peak KiB: " << extract_peak[0] << " -> "
                                                           << extract_peak[1];
}

TEST_F(PipelineE2e, CarrierAsOutputIsReplacedOnlyOnSuccess) {
  write_file(home_ / "input.bin", std::string_view("over the carrier"));
  RunResult r;
  // The failing write is made with RLIMIT_FSIZE, which the Windows program
  // does not have; it still checks the successful replacement below.
  if (test::windows_program().empty()) {
    test::RunOptions limited;
    limited.file_size_limit = carrier_.size() + 100;
    r = embed("input.bin", "carrier.png", "carrier.png", limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(home_ / "carrier.png"), carrier_);
  }

  r = embed("input.bin", "carrier.png", "carrier.png");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(home_ / "carrier.png").size(), carrier_.size() + 12 + 1606 + 16);
  r = extract("carrier.png", "back.bin");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_text(home_ / "back.bin"), "over the carrier");
}

TEST_F(PipelineE2e, ExtractFailures) {
  const ByteBuffer input = bytes("what the stego hides");
  const ByteBuffer stego = make_stego(input);
  const std::size_t e = carrier_.size() - 12 + 8;  // the envelope inside the stego
  auto flipped = [&](std::size_t at, std::uint8_t mask) {
    ByteBuffer s = stego;
    s[e + at] ^= mask;
    return s;
  };
  auto with_envelope = [&](const ByteBuffer& env) {
    ByteBuffer s(carrier_.begin(), carrier_.end() - 12);
    test::append(s, test::make_chunk("vcKy", env));
    test::append(s, test::make_chunk("IEND", {}));
    return s;
  };
  ByteBuffer k_1567{0x06, 0x1F};
  k_1567.resize(2 + 1567 + 28, 0x33);
  test::append(k_1567, ByteBuffer{0, 0, 0, 0, 0, 0, 0, 0});
  const ByteBuffer& sig = test::kPngSignature;
  ByteBuffer past_end = sig;
  test::append(past_end, ByteBuffer{0, 0, 0, 40, 'v', 'c', 'K', 'y', 1});

  struct Case {
    const char* name;
    std::optional<ByteBuffer> file;  // nullopt: no stego file at all
    std::string expected_err;
  };
  const std::vector<Case> cases = {
      {"stego missing", std::nullopt, "[ERR] cannot read PNG 'stego.png'\n"},
      {"not a PNG", bytes("just some text"), "[ERR] file 'stego.png' is not a valid PNG (bad signature)\n"},
      {"under 8 bytes", bytes("\x89PN"), "[ERR] PNG too small\n"},
      {"signature only", sig, "[ERR] no vcKy chunk found in PNG 'stego.png'\n"},
      {"no vcKy chunk", carrier_, "[ERR] no vcKy chunk found in PNG 'stego.png'\n"},
      {"chunk length past the end", past_end, "[ERR] malformed PNG while searching vcKy\n"},
      {"empty vcKy", with_envelope({}), "[ERR] envelope too small (no encaps length)\n" + kInvalidEnvelope},
      {"K too large", flipped(0, 0x80), "[ERR] envelope size inconsistent\n" + kInvalidEnvelope},
      {"C too large", flipped(1598, 0x01), "[ERR] envelope claims ciphertext bigger than buffer\n" + kInvalidEnvelope},
      {"K not the KEM's", with_envelope(k_1567),
       "[ERR] envelope holds a KEM ciphertext of 1567 bytes, Kyber1024 uses 1568\n" + kInvalidEnvelope},
      {"bit flipped in the KEM ciphertext", flipped(2, 0x01), kTagLines},
      {"bit flipped in the nonce", flipped(1570, 0x40), kTagLines},
      {"bit flipped in the tag", flipped(1597, 0x01), kTagLines},
      {"bit flipped in the ciphertext", flipped(1606 + 5, 0x08), kTagLines},
  };
  for (const Case& c : cases) {
    fs::remove(home_ / "stego.png");
    if (c.file) write_file(home_ / "stego.png", *c.file);
    const std::string before = listing();
    RunResult r = extract("stego.png", "out.bin");
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, c.expected_err) << c.name;
    EXPECT_EQ(r.out, extract_out("stego.png", "out.bin", false)) << c.name;
    EXPECT_EQ(listing(), before) << c.name;
  }
}

TEST_F(PipelineE2e, ExtractKeyAndOutputFailures) {
  make_stego(bytes("sealed for the first pair"));
  const ByteBuffer prv = read_file(home_ / "keys/kyber.prv");
  const std::string missing = "[ERR] missing kyber.prv in 'keys/kyber.prv'\n";

  fs::resize_file(home_ / "keys/kyber.prv", 3167);
  RunResult r = extract("stego.png", "out.bin");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[ERR] key file 'keys/kyber.prv' has 3167 bytes, expected 3168\n" + missing);
  write_file(home_ / "keys/kyber.prv", std::string_view());
  r = extract("stego.png", "out.bin");
  EXPECT_EQ(r.err, "[ERR] key file 'keys/kyber.prv' has 0 bytes, expected 3168\n" + missing);
  EXPECT_FALSE(fs::exists(home_ / "out.bin"));

  // A pair made afresh (both files gone) cannot open the old stego.
  fs::remove(home_ / "keys/kyber.prv");
  fs::remove(home_ / "keys/kyber.pub");
  ASSERT_EQ(run({"genkeys"}).status, 0);
  r = extract("stego.png", "out.bin");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kTagLines);
  EXPECT_EQ(r.out, extract_out("stego.png", "out.bin", false));
  EXPECT_FALSE(fs::exists(home_ / "out.bin"));

  write_file(home_ / "keys/kyber.prv", prv);
  r = extract("stego.png", "no-such-folder/out.bin");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[ERR] cannot write outfile 'no-such-folder/out.bin'\n");
  EXPECT_EQ(r.out, extract_out("stego.png", "no-such-folder/out.bin", false));
  EXPECT_EQ(listing(), test::as_installed("carrier.png input.bin keys stego.png vellicor"));
}

TEST_F(PipelineE2e, CarrierShapesTheChunkWalkMeets) {
  const ByteBuffer head(carrier_.begin(), carrier_.end() - 12);
  const ByteBuffer iend = test::make_chunk("IEND", {});
  const ByteBuffer trailer = bytes("bytes after IEND\x01\x02");
  auto cat = [](std::vector<ByteBuffer> parts) {
    ByteBuffer b;
    for (auto& p : parts) test::append(b, p);
    return b;
  };
  struct Case {
    const char* name;
    ByteBuffer before, after;  // the chunk must land between the two
  };
  const std::vector<Case> cases = {
      {"bytes after IEND kept", head, cat({iend, trailer})},
      {"two IEND chunks", head, cat({iend, iend})},
      {"wrong CRC in the carrier", cat({head, test::make_chunk_with_crc("tEXt", bytes("a b"), 7)}), iend},
  };
  for (const Case& c : cases) {
    write_file(home_ / "shaped.png", cat({c.before, c.after}));
    write_file(home_ / "input.bin", std::string_view("shaped"));
    RunResult r = embed("input.bin", "shaped.png", "out.png");
    ASSERT_EQ(r.status, 0) << c.name << r.err;
    const ByteBuffer out = read_file(home_ / "out.png");
    ASSERT_EQ(out.size(), c.before.size() + c.after.size() + 12 + 1606 + 6) << c.name;
    EXPECT_TRUE(std::equal(c.before.begin(), c.before.end(), out.begin())) << c.name;
    EXPECT_TRUE(std::equal(c.after.begin(), c.after.end(), out.end() - static_cast<std::ptrdiff_t>(c.after.size())))
        << c.name;
    r = extract("out.png", "back.bin");
    EXPECT_EQ(r.status, 0) << c.name << r.err;
    EXPECT_EQ(test::read_text(home_ / "back.bin"), "shaped") << c.name;
  }
}

TEST_F(PipelineE2e, OlderPayloadAndLateOrDamagedChunks) {
  make_stego(bytes("older"), "once.png");
  write_file(home_ / "input.bin", std::string_view("newer"));
  ASSERT_EQ(embed("input.bin", "once.png", "twice.png").status, 0);
  RunResult r = extract("twice.png", "back.bin");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_text(home_ / "back.bin"), "older");

  // The chunk moved behind IEND, with its CRC spoilt and junk after the ciphertext.
  const ByteBuffer once = read_file(home_ / "once.png");
  const std::size_t p = carrier_.size() - 12;
  ByteBuffer env(once.begin() + static_cast<std::ptrdiff_t>(p + 8), once.end() - 16);
  test::append(env, bytes("junk after the ciphertext"));
  ByteBuffer late = carrier_;
  test::append(late, test::make_chunk_with_crc("vcKy", env, 0x01020304));
  write_file(home_ / "late.png", late);
  r = extract("late.png", "back.bin");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_text(home_ / "back.bin"), "older");
}

// A protected kyber.prv: only its passphrase opens it; a wrong one, a changed
// byte anywhere, an unknown version, a passphrase file others may read and a
// run with neither terminal nor file each end with one line and no output.
TEST_F(PipelineE2e, ProtectedKeyOpensOnlyWithItsPassphrase) {
  if (!windows_program().empty()) GTEST_SKIP() << "runs the Linux program without a terminal (setsid)";
  fs::remove_all(home_ / "keys");
  write_file(home_ / "pw", std::string_view("horse battery\n"));
  fs::permissions(home_ / "pw", fs::perms(0600));
  write_file(home_ / "bad", std::string_view("horse batterz\n"));
  fs::permissions(home_ / "bad", fs::perms(0600));
  ASSERT_EQ(run({"genkeys", "--passphrase", "--passphrase-file", "pw"}).status, 0);
  const ByteBuffer prv = read_file(home_ / "keys/kyber.prv");
  ASSERT_EQ(prv.size(), 4815u);
  const ByteBuffer input = noise(5000, 8);
  make_stego(input);
  const std::string cannot_open = "[ERR] cannot open 'keys/kyber.prv': wrong passphrase, or the file was changed\n";
  const std::string key_file = "[ERR] key file 'keys/kyber.prv': ";
  const struct {
    const char* what;
    int flip;          // the byte of kyber.prv changed, or -1
    std::string file;  // --passphrase-file, or none: a run with no terminal
    std::string err;
  } cases[] = {
      {"the passphrase", -1, "pw", ""},
      {"a wrong passphrase", -1, "bad", cannot_open},
      {"the magic changed", 0, "pw", key_file + "not a protected key file\n"},
      {"an unknown version", 8, "pw", key_file + "unknown version 33\n"},
      {"the salt changed", 19, "pw", cannot_open},
      {"the public key changed", 63, "pw", cannot_open},
      {"the tag changed", 4814, "pw", cannot_open},
      {"no terminal and no file", -1, "",
       "[ERR] kyber.prv is protected by a passphrase, and it cannot be asked (no terminal to ask on); give it with "
       "--passphrase-file <file>\n"},
  };
  for (const auto& c : cases) {
    ByteBuffer changed = prv;
    if (c.flip >= 0) changed[static_cast<std::size_t>(c.flip)] ^= 0x20;
    write_file(home_ / "keys/kyber.prv", changed);
    fs::remove(home_ / "back.bin");
    std::vector<std::string> words = {program_.string(), "extract", "stego.png", "back.bin"};
    if (!c.file.empty()) words.insert(words.end(), {"--passphrase-file", c.file});
    const RunResult r = run_program("/usr/bin/setsid", words);  // no controlling terminal
    EXPECT_EQ(r.err, c.err) << c.what;
    EXPECT_EQ(r.out, extract_out("stego.png", "back.bin", c.err.empty())) << c.what;
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << c.what;
    EXPECT_EQ(fs::exists(home_ / "back.bin"), c.err.empty()) << c.what;
    if (c.err.empty()) {
      EXPECT_EQ(read_file(home_ / "back.bin"), input);
    }
  }
  fs::permissions(home_ / "pw", fs::perms(0644));
  write_file(home_ / "keys/kyber.prv", prv);
  EXPECT_EQ(run({"extract", "stego.png", "back.bin", "--passphrase-file", "pw"}).err,
            "[ERR] passphrase file 'pw' may be read by others; run: chmod 600 '" + path("pw") + "'\n");
  test::RunOptions piped;
  piped.stdin_text = "correct horse\n";
  EXPECT_EQ(run({"extract", "stego.png", "back.bin", "--passphrase-file", "-"}, piped).err,
            "[ERR] passphrase file '-' is not a regular file (a pipe or a device); the passphrase must be in a regular "
            "file of your own\n");
}

}  // namespace
}  // namespace vellicor
