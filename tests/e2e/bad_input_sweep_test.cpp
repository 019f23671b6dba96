// One valid stego PNG, broken in every small way that matters: every single
// bit flip and every truncation over the PNG signature, the vcKy chunk header
// and the whole envelope header, a sample over the ciphertext and the CRC,
// length fields, K and C set to edge values, duplicated and moved chunks, data
// after IEND, and key files of the wrong size.
//
// The expected outcome of each case comes from a plain reading of the file
// (signature, chunk walk, envelope fields): the run restores the original file
// exactly when the bytes that the envelope covers are unchanged, and otherwise
// fails with exit 1, the predicted lines and no output file. Every case runs
// in process through extract_and_decrypt; a regular share of them, and every
// structural case, also runs through the program, where a signal would show.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "seal/pipelines.hpp"
#include "tests/support/program_texts.hpp"
#include "tests/support/program_test.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using test::be;
using test::RunResult;

const std::string kPrelude = test::texts::kBanner + test::texts::kKeysChecked;
const std::string& kInvalid = test::texts::kInvalidEnvelope;
const std::string& kTagFailed = test::texts::kTagLines;
constexpr std::uint64_t kKemCiphertext = 1568;
constexpr std::uint64_t kEnvelopeHeader = 38 + kKemCiphertext;  // K, KEM ciphertext, nonce, tag, C

void set_be(ByteBuffer& b, std::size_t at, std::uint64_t v, int width) {
  for (int i = width - 1; i >= 0; --i, v >>= 8) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
}

struct Chunk {
  std::size_t offset;  // of its length field
  std::uint64_t length;
  std::string type;
};

// The chunks of a well-formed PNG, in order.
std::vector<Chunk> chunks_of(const ByteBuffer& png) {
  std::vector<Chunk> all;
  for (std::size_t p = 8; p + 12 <= png.size();) {
    const std::uint64_t length = be(&png[p], 4);
    all.push_back({p, length, std::string(png.begin() + static_cast<std::ptrdiff_t>(p) + 4,
                                          png.begin() + static_cast<std::ptrdiff_t>(p) + 8)});
    p += static_cast<std::size_t>(length) + 12;
  }
  return all;
}

struct Expected {
  bool restores = false;
  std::string err;          // the whole standard error
  bool own_first_line = false;  // then err is only the last of two lines; the first is the program's own
};

// What a run must do with this file, read plainly: signature, the walk to the
// first vcKy chunk (lengths and types only), then the envelope's lengths, then
// whether every byte the envelope covers is the original's.
Expected predict_envelope(const ByteBuffer& f, std::uint64_t p, const ByteBuffer& original_envelope);

Expected predict(const ByteBuffer& f, const ByteBuffer& original_envelope, const std::string& path) {
  if (f.size() < 8) return {false, "[ERR] PNG too small\n"};
  if (!std::equal(test::kPngSignature.begin(), test::kPngSignature.end(), f.begin()))
    return {false, "[ERR] file '" + path + "' is not a valid PNG (bad signature)\n"};
  std::uint64_t p = 8;
  const std::uint64_t size = f.size();
  for (;; p += be(&f[p], 4) + 12) {
    if (p + 8 > size) return {false, "[ERR] no vcKy chunk found in PNG '" + path + "'\n"};
    if (p + 8 + be(&f[p], 4) > size) return {false, "[ERR] malformed PNG while searching vcKy\n"};
    if (std::string(f.begin() + static_cast<std::ptrdiff_t>(p) + 4, f.begin() + static_cast<std::ptrdiff_t>(p) + 8) ==
        "vcKy")
      break;
  }
  // Every vcKy the walk reaches counts, up to the end or to where it breaks.
  int hidden = 0;
  for (std::uint64_t q = p; q + 8 <= size && q + 8 + be(&f[q], 4) <= size; q += be(&f[q], 4) + 12)
    hidden += std::equal(f.begin() + static_cast<std::ptrdiff_t>(q) + 4, f.begin() + static_cast<std::ptrdiff_t>(q) + 8,
                         "vcKy");
  const std::string warn = hidden < 2 ? "" : "[WARN] PNG '" + path + "' hides " + std::to_string(hidden) +
                                                 " files (vcKy chunks); the first one is restored\n";
  Expected e = predict_envelope(f, p, original_envelope);
  e.err = warn + e.err;
  return e;
}

Expected predict_envelope(const ByteBuffer& f, std::uint64_t p, const ByteBuffer& original_envelope) {
  const std::uint8_t* env = &f[p + 8];
  const std::uint64_t n = be(&f[p], 4);
  if (n < 2) return {false, "[ERR] envelope too small (no encaps length)\n" + kInvalid};
  const std::uint64_t k = be(env, 2);
  if (n < k + 38) return {false, "[ERR] envelope size inconsistent\n" + kInvalid};
  const std::uint64_t c = be(env + 30 + k, 8);
  if (c > n - k - 38) return {false, "[ERR] envelope claims ciphertext bigger than buffer\n" + kInvalid};
  if (k != kKemCiphertext) return {false, kInvalid, true};
  const std::uint64_t covered = k + 38 + c;
  if (covered == original_envelope.size() && std::equal(env, env + covered, original_envelope.begin()))
    return {true, ""};
  return {false, kTagFailed};
}

// Standard error of this process, caught in a file for the in-process runs.
class StderrCapture {
 public:
  explicit StderrCapture(const fs::path& file)
      : fd_(::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600)), saved_(::dup(2)) {}
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() {
    ::close(fd_);
    ::close(saved_);
  }
  void start() {
    std::fflush(stderr);
    (void)!::ftruncate(fd_, 0);
    ::lseek(fd_, 0, SEEK_SET);
    ::dup2(fd_, 2);
  }
  std::string stop() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    std::string text;
    ::lseek(fd_, 0, SEEK_SET);
    char buf[4096];
    for (ssize_t r; (r = ::read(fd_, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(r));
    return text;
  }

 private:
  int fd_;
  int saved_;
};

void check_stderr(const std::string& got, const Expected& want) {
  if (!want.own_first_line) {
    EXPECT_EQ(got, want.err);
    return;
  }
  const std::size_t first_end = got.find('\n');
  ASSERT_NE(first_end, std::string::npos) << got;
  EXPECT_EQ(got.compare(0, 6, "[ERR] "), 0) << got;
  EXPECT_EQ(got.substr(first_end + 1), want.err);
}

class BadInputSweep : public test::ProgramTest {
 protected:
  BadInputSweep() : ProgramTest("work") {}
  void SetUp() override {
    test::write_file(work_ / "carrier.png", test::make_png(8, 8, 3));
    ASSERT_NO_FATAL_FAILURE(make_sample(300));
    // Wine makes the pair with the umask's modes; the in-process runs check them as the program does.
    const fs::path keys = program_.parent_path() / "keys";
    for (const auto& [p, mode] : {std::pair{keys, 0700}, {keys / "kyber.prv", 0600}, {keys / "kyber.pub", 0644}})
      fs::permissions(p, fs::perms(mode));
  }

  // Seals a message of n bytes into the carrier: the file every case starts from.
  void make_sample(std::uint32_t n) {
    message_.clear();
    for (std::uint32_t i = 0; i < n; ++i) message_.push_back(static_cast<std::uint8_t>((i * 40503u) >> 7));
    test::write_file(work_ / "message.bin", message_);
    const RunResult made = run({"embed", w("message.bin"), w("carrier.png"), w("stego.png")});
    ASSERT_EQ(made.status, 0) << made.err;
    stego_ = test::read_file(work_ / "stego.png");
    payload_ = Chunk{};
    for (const Chunk& c : chunks_of(stego_))
      if (c.type == "vcKy") payload_ = c;
    ASSERT_EQ(payload_.type, "vcKy");
    envelope_at_ = payload_.offset + 8;
    envelope_.assign(stego_.begin() + static_cast<std::ptrdiff_t>(envelope_at_),
                     stego_.begin() + static_cast<std::ptrdiff_t>(envelope_at_ + payload_.length));
    ASSERT_EQ(envelope_.size(), kEnvelopeHeader + message_.size());
  }

  // One case: in process always, through the program when asked.
  void check(const std::string& label, const ByteBuffer& bytes, bool through_program) {
    SCOPED_TRACE(label);
    const std::string in = w("case.png"), out = w("out.bin");
    test::write_file(in, bytes);
    const Expected want = predict(bytes, envelope_, in);

    fs::remove(out);
    capture_->start();
    const bool ok = extract_and_decrypt(in, out);
    const std::string err = capture_->stop();
    ++in_process_;
    EXPECT_EQ(ok, want.restores);
    check_stderr(err, want);
    check_output(out, want.restores);

    if (!through_program) return;
    fs::remove(out);
    const RunResult r = run({"extract", in, out});
    ++through_program_;
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, want.restores ? 0 : 1);
    check_stderr(r.err, want);
    EXPECT_EQ(r.out, kPrelude + "[INFO] Extracting from stego PNG '" + in + "' -> '" + out + "'\n" +
                         (want.restores ? "[OK] Payload restored to file: " + out + "\n" : "[ERR] extract failed\n"));
    check_output(out, want.restores);
  }

  void check_output(const std::string& out, bool restores) {
    if (restores) {
      EXPECT_EQ(test::read_file(out), message_);
    } else {
      EXPECT_FALSE(fs::exists(out)) << "an output file after a failure";
    }
    EXPECT_EQ(test::list_dir(work_).find(".tmp-"), std::string::npos) << "a temporary file was left";
  }

  ByteBuffer with_be(std::size_t at, std::uint64_t v, int width) const {
    ByteBuffer b = stego_;
    set_be(b, at, v, width);
    return b;
  }
  ByteBuffer spliced(std::size_t at, ByteView insert) const {
    ByteBuffer b(stego_.begin(), stego_.begin() + static_cast<std::ptrdiff_t>(at));
    test::append(b, insert);
    b.insert(b.end(), stego_.begin() + static_cast<std::ptrdiff_t>(at), stego_.end());
    return b;
  }
  int sweep_key_files();
  ByteView chunk_bytes(const Chunk& c) const {
    return ByteView(stego_).subspan(c.offset, static_cast<std::size_t>(c.length) + 12);
  }

  ByteBuffer message_;
  ByteBuffer stego_;
  ByteBuffer envelope_;
  Chunk payload_{};
  std::size_t envelope_at_ = 0;
  std::optional<StderrCapture> capture_;
  int in_process_ = 0;
  int through_program_ = 0;
};

TEST_F(BadInputSweep, EveryCaseRestoresExactlyOrFailsCleanly) {
  capture_.emplace(dir_ / "stderr.txt");
  test::CurrentFolder in_program_folder(program_.parent_path());
  // Bit flips and truncations are many; one in kStride also runs through the program.
  constexpr int kStride = 20;
  int counter = 0;
  auto sampled = [&] { return counter++ % kStride == 0; };

  struct Range {
    const char* name;
    std::size_t from, to;
  };
  const std::vector<Range> dense = {{"signature", 0, 8},
                                    {"vcKy header", payload_.offset, envelope_at_},
                                    {"envelope header", envelope_at_, envelope_at_ + kEnvelopeHeader}};
  for (const Range& r : dense) {
    for (std::size_t at = r.from; at < r.to; ++at) {
      for (int bit = 0; bit < 8; ++bit) {
        ByteBuffer b = stego_;
        b[at] ^= static_cast<std::uint8_t>(1u << bit);
        check(std::string(r.name) + " flip @" + std::to_string(at) + " bit " + std::to_string(bit), b, sampled());
      }
      check(std::string(r.name) + " cut @" + std::to_string(at),
            ByteBuffer(stego_.begin(), stego_.begin() + static_cast<std::ptrdiff_t>(at)), sampled());
    }
  }
  // A sample over the ciphertext, the chunk's CRC (not read) and the chunks behind.
  const std::size_t crc_at = envelope_at_ + payload_.length;
  for (std::size_t at = envelope_at_ + kEnvelopeHeader; at < stego_.size(); at += (at >= crc_at ? 1 : 7)) {
    ByteBuffer b = stego_;
    b[at] ^= static_cast<std::uint8_t>(1u << (at % 8));
    check("tail flip @" + std::to_string(at), b, sampled());
    check("tail cut @" + std::to_string(at), ByteBuffer(stego_.begin(), stego_.begin() + static_cast<std::ptrdiff_t>(at)),
          sampled());
  }

  // Structural cases, all of them through the program as well.
  for (const Chunk& c : chunks_of(stego_))
    for (std::uint64_t len : {0ull, 1ull, 0x7FFFFFFFull, 0x80000000ull, 0xFFFFFFFFull})
      check(c.type + " length " + std::to_string(len), with_be(c.offset, len, 4), true);
  for (std::uint64_t k : {0ull, 1567ull, 1568ull, 1569ull, 65535ull})
    check("K " + std::to_string(k), with_be(envelope_at_, k, 2), true);
  const std::size_t c_at = envelope_at_ + 30 + kKemCiphertext;
  const std::uint64_t real_c = message_.size();
  for (std::uint64_t value : {std::uint64_t{0}, real_c - 1, real_c, real_c + 1, ~std::uint64_t{0}})
    check("C " + std::to_string(value), with_be(c_at, value, 8), true);
  {
    // Bytes after C inside the chunk are not covered (the CRC is not read).
    ByteBuffer extra(envelope_.begin(), envelope_.end());
    for (int i = 0; i < 50; ++i) extra.push_back(static_cast<std::uint8_t>(i));
    ByteBuffer b = stego_;
    const ByteBuffer longer = test::make_chunk("vcKy", extra);
    b.erase(b.begin() + static_cast<std::ptrdiff_t>(payload_.offset),
            b.begin() + static_cast<std::ptrdiff_t>(payload_.offset + payload_.length + 12));
    b.insert(b.begin() + static_cast<std::ptrdiff_t>(payload_.offset), longer.begin(), longer.end());
    check("bytes after C", b, true);
  }
  const std::vector<Chunk> all = chunks_of(stego_);
  for (const Chunk& c : all) check("duplicate " + c.type, spliced(c.offset, chunk_bytes(c)), true);
  {
    // An earlier vcKy chunk wins, whatever it holds.
    ByteBuffer broken(envelope_.begin(), envelope_.end());
    broken[100] ^= 1;
    check("broken copy of vcKy first", spliced(payload_.offset, test::make_chunk("vcKy", broken)), true);
    check("empty vcKy first", spliced(payload_.offset, test::make_chunk("vcKy", {})), true);
    check("IEND first", spliced(payload_.offset, test::make_chunk("IEND", {})), true);
  }
  {
    // The vcKy chunk moved behind IEND is still found.
    ByteBuffer moved(stego_.begin(), stego_.begin() + static_cast<std::ptrdiff_t>(payload_.offset));
    moved.insert(moved.end(), stego_.begin() + static_cast<std::ptrdiff_t>(payload_.offset + payload_.length + 12),
                 stego_.end());
    test::append(moved, chunk_bytes(payload_));
    check("vcKy after IEND", moved, true);
  }
  for (const std::string& tail : {std::string("x"), std::string(7, '\0'), std::string(8, '\xff'),
                                  std::string("\x00\x00\x00\x00IEND\xae\x42\x60\x82", 12), std::string(5000, 'A')})
    check("data after IEND (" + std::to_string(tail.size()) + " bytes)", spliced(stego_.size(), test::as_bytes(tail)),
          true);

  // A message long enough to be sealed and opened in several pieces: flips on
  // both sides of each piece boundary (pieces of 256 KiB) and at the ends.
  ASSERT_NO_FATAL_FAILURE(make_sample(600 * 1024));
  const std::size_t body = envelope_at_ + kEnvelopeHeader;
  for (std::size_t at : {std::size_t{0}, std::size_t{1}, (std::size_t{1} << 18) - 1, std::size_t{1} << 18,
                         (std::size_t{1} << 18) + 1, (std::size_t{1} << 19) - 1, std::size_t{1} << 19,
                         message_.size() - 1}) {
    ByteBuffer b = stego_;
    b[body + at] ^= 0x80;
    check("long message, ciphertext flip @" + std::to_string(at), b, true);
  }
  check("long message, unchanged", stego_, true);

  const int key_cases = sweep_key_files();
  std::cout << "[sweep] " << in_process_ << " stego cases in process, " << through_program_
            << " of them also through the program; " << key_cases << " key file cases through the program\n";
  EXPECT_GE(in_process_, 5000);
}

// Key files one byte off, or empty, are refused before the KEM reads them:
// a line naming the file with the size found and the size expected, then the
// pipeline's own line; exit 1 and no output.
int BadInputSweep::sweep_key_files() {
  const fs::path keys = program_.parent_path() / "keys";
  const ByteBuffer pub = test::read_file(keys / "kyber.pub");
  const ByteBuffer prv = test::read_file(keys / "kyber.prv");
  int cases = 0;
  for (const char* file : {"kyber.pub", "kyber.prv"}) {
    for (std::size_t size : {0u, 1567u, 1569u, 3167u, 3169u}) {
      SCOPED_TRACE(std::string(file) + " of " + std::to_string(size) + " bytes");
      const bool is_pub = std::string(file) == "kyber.pub";
      const ByteBuffer& real = is_pub ? pub : prv;
      ByteBuffer wrong(real.begin(), real.begin() + static_cast<std::ptrdiff_t>(std::min(size, real.size())));
      wrong.resize(size, 0x5A);
      test::write_file(keys / file, wrong);
      fs::remove(work_ / "out");
      const RunResult r = is_pub ? run({"embed", w("message.bin"), w("carrier.png"), w("out")})
                                 : run({"extract", w("stego.png"), w("out")});
      ++cases;
      EXPECT_EQ(r.signal, 0);
      EXPECT_EQ(r.status, 1);
      const std::string path = std::string("keys/") + file;
      const std::string pipeline_line = is_pub ? "[ERR] cannot read Kyber public key from '" + path + "'\n"
                                               : "[ERR] missing kyber.prv in '" + path + "'\n";
      const std::size_t first_end = r.err.find('\n');
      EXPECT_NE(first_end, std::string::npos) << r.err;
      const std::string first = r.err.substr(0, first_end);
      EXPECT_EQ(first.compare(0, 6, "[ERR] "), 0) << first;
      EXPECT_NE(first.find(path), std::string::npos) << first;
      EXPECT_NE(first.find(" " + std::to_string(size) + " "), std::string::npos) << first;
      EXPECT_NE(first.find(is_pub ? "1568" : "3168"), std::string::npos) << first;
      EXPECT_EQ(r.err.substr(first_end + 1), pipeline_line);
      EXPECT_FALSE(fs::exists(work_ / "out"));
      test::write_file(keys / file, real);
    }
  }
  return cases;
}

}  // namespace
}  // namespace vellicor
