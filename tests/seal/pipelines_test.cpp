// encrypt_and_embed and extract_and_decrypt in this process, run from a fresh
// folder that holds a keys/ pair: the stego layout checked against an
// independent opening (the KEM, OpenSSL's SHA-256 and AES-256-GCM), and the
// refusals that only the pipelines make (key sizes, K, the size limit).
#include "seal/pipelines.hpp"
#include "util/file_io.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <filesystem>
#include <fstream>
#include <thread>
#include <functional>
#include <string>
#include <vector>

#include "kem/kem.hpp"
#include "png/chunk_container.hpp"
#include "seal/envelope.hpp"
#include "tests/support/program_texts.hpp"
#include "tests/support/syscall_override.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_png.hpp"

// Whether this program replaces the allocator (below): not under AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
#define VELLICOR_OWN_ALLOCATOR 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELLICOR_OWN_ALLOCATOR 0
#endif
#endif
#ifndef VELLICOR_OWN_ALLOCATOR
#define VELLICOR_OWN_ALLOCATOR 1
#endif

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using namespace test::texts;
using namespace test;

struct KeyPair {
  ByteBuffer pub, prv;
};

KeyPair make_key_pair() {
  KemHandle kem = make_kyber1024();
  KeyPair kp{ByteBuffer(kem->length_public_key), ByteBuffer(kem->length_secret_key)};
  EXPECT_EQ(OQS_KEM_keypair(kem.get(), kp.pub.data(), kp.prv.data()), OQS_SUCCESS);
  return kp;
}

class Pipelines : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory("keys");
    fs::permissions("keys", fs::perms(0755));
    install_keys(pair());
    carrier_ = test::make_png(7, 5, 11);
    write_file("carrier.png", carrier_);
  }

  static const KeyPair& pair() {
    static const KeyPair kp = make_key_pair();
    return kp;
  }
  static void install_keys(const KeyPair& kp) {
    write_file("keys/kyber.pub", kp.pub);
    write_file("keys/kyber.prv", kp.prv);
    fs::permissions("keys/kyber.prv", fs::perms(0600));
  }

  using Outcome = test::Outcome<bool>;
  static Outcome run(const std::function<bool()>& f) {
    Outcome o = outcome_of(f);
    EXPECT_EQ(o.out, "") << "the pipelines print nothing on standard output";
    return o;
  }
  static Outcome embed(const std::string& in, const std::string& carrier, const std::string& out) {
    return run([&] { return encrypt_and_embed(in, carrier, out); });
  }
  static Outcome extract(const std::string& stego, const std::string& out) {
    return run([&] { return extract_and_decrypt(stego, out); });
  }
  // A stego PNG of the given input, made by the pipeline.
  ByteBuffer make_stego(const ByteBuffer& input) {
    write_file("input.bin", input);
    Outcome r = embed("input.bin", "carrier.png", "stego.png");
    EXPECT_TRUE(r.result) << r.err;
    return read_file("stego.png");
  }
  std::size_t envelope_offset() const { return carrier_.size() - 12 + 8; }  // make_png ends with IEND

  test::TempDir dir_;
  test::CurrentFolder in_dir_{dir_.path()};
  ByteBuffer carrier_;
};

// Opens an envelope without any of the program's own crypto code.
ByteBuffer open_independently(ByteView env, const ByteBuffer& prv) {
  KemHandle kem = make_kyber1024();
  ByteBuffer shared(kem->length_shared_secret);
  EXPECT_EQ(OQS_KEM_decaps(kem.get(), shared.data(), env.data() + 2, prv.data()), OQS_SUCCESS);
  std::uint8_t key[32];
  SHA256(shared.data(), shared.size(), key);
  const std::uint8_t* nonce = env.data() + 1570;
  ByteBuffer tag(env.begin() + 1582, env.begin() + 1598);
  const std::size_t c = static_cast<std::size_t>(be(env.data() + 1598, 8));
  ByteBuffer plain(c + 16);
  int len = 0, fin = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, nonce) == 1 &&
            EVP_DecryptUpdate(ctx, plain.data(), &len, env.data() + 1606, static_cast<int>(c)) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1 &&
            EVP_DecryptFinal_ex(ctx, plain.data() + len, &fin) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EXPECT_TRUE(ok) << "OpenSSL could not open the envelope";
  plain.resize(static_cast<std::size_t>(len + fin));
  return plain;
}

TEST_F(Pipelines, RoundTripAndStegoLayout) {
  for (std::size_t n : {0, 1, 15, 16, 17, 1 << 20}) {
    const ByteBuffer input = noise(n, static_cast<std::uint32_t>(n) + 1);
    const ByteBuffer stego = make_stego(input);
    ASSERT_EQ(stego.size(), carrier_.size() + 12 + n + 1606) << n;
    const std::size_t p = carrier_.size() - 12;
    // Carrier bytes before IEND, then the chunk, then IEND as it was.
    EXPECT_TRUE(std::equal(carrier_.begin(), carrier_.begin() + static_cast<std::ptrdiff_t>(p), stego.begin())) << n;
    EXPECT_TRUE(std::equal(carrier_.end() - 12, carrier_.end(), stego.end() - 12)) << n;
    const std::uint8_t* chunk = stego.data() + p;
    EXPECT_EQ(be(chunk, 4), n + 1606);
    EXPECT_EQ(bytes(std::string_view(reinterpret_cast<const char*>(chunk + 4), 4)), bytes("vcKy"));
    ByteView env(chunk + 8, n + 1606);
    EXPECT_EQ(env[0], 0x06);
    EXPECT_EQ(env[1], 0x20);
    EXPECT_EQ(be(env.data() + 1598, 8), n);
    const ByteBuffer with_crc = test::make_chunk("vcKy", env);
    EXPECT_EQ(be(chunk + 8 + n + 1606, 4), be(with_crc.data() + with_crc.size() - 4, 4)) << "chunk CRC, " << n;
    EXPECT_EQ(open_independently(env, pair().prv), input) << n;

    Outcome r = extract("stego.png", "restored.bin");
    ASSERT_TRUE(r.result) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file("restored.bin"), input) << n;
  }
}

TEST_F(Pipelines, TwoEmbedsOfTheSameFileDiffer) {
  const ByteBuffer a = make_stego(bytes("same"));
  const ByteBuffer b = make_stego(bytes("same"));
  EXPECT_NE(a, b);
}

// The carrier's failures are the container's (tests/png) and run through the
// program in tests/e2e; here the inputs and keys the pipeline itself checks.
TEST_F(Pipelines, EmbedFailures) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"input is a folder",
       [] {
         fs::remove("input.bin");
         fs::create_directory("input.bin");
       },
       "[ERR] cannot read input file 'input.bin'\n"},
      {"public key missing", [] { fs::remove("keys/kyber.pub"); },
       "[ERR] cannot read Kyber public key from 'keys/kyber.pub'\n"},
      {"public key empty", [] { write_file("keys/kyber.pub", std::string_view()); },
       "[ERR] key file 'keys/kyber.pub' has 0 bytes, expected 1568\n"
       "[ERR] cannot read Kyber public key from 'keys/kyber.pub'\n"},
      {"public key one byte short", [] { write_file("keys/kyber.pub", ByteView(pair().pub).first(1567)); },
       "[ERR] key file 'keys/kyber.pub' has 1567 bytes, expected 1568\n"
       "[ERR] cannot read Kyber public key from 'keys/kyber.pub'\n"},
      {"public key one byte long",
       [] {
         ByteBuffer k = pair().pub;
         k.push_back(0);
         write_file("keys/kyber.pub", k);
       },
       "[ERR] key file 'keys/kyber.pub' has 1569 bytes, expected 1568\n"
       "[ERR] cannot read Kyber public key from 'keys/kyber.pub'\n"},
      {"public key is a device",
       [] {
         fs::remove("keys/kyber.pub");
         fs::create_symlink("/dev/null", "keys/kyber.pub");
       },
       "[ERR] key file 'keys/kyber.pub' is a link; move it away and put the key file itself there\n"},
  };
  for (const Case& c : cases) {
    fs::remove("keys/kyber.pub");
    install_keys(pair());
    write_file("carrier.png", carrier_);
    write_file("input.bin", std::string_view("secret"));
    c.prepare();
    Outcome r = embed("input.bin", "carrier.png", "out.png");
    EXPECT_FALSE(r.result) << c.name;
    EXPECT_EQ(r.err, c.expected) << c.name;
    EXPECT_FALSE(fs::exists("out.png")) << c.name;
    std::error_code ec;
    fs::remove_all("input.bin", ec);
  }
}

TEST_F(Pipelines, InputTooBigForOneChunkIsRefusedUnread) {
  // Sparse: no disk blocks, and the check comes before any byte is read.
  {
    std::FILE* f = std::fopen("huge.bin", "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(::ftruncate(::fileno(f), 2147482042), 0);
    std::fclose(f);
  }
  Outcome r = embed("huge.bin", "carrier.png", "out.png");
  EXPECT_FALSE(r.result);
  EXPECT_EQ(r.err, "[ERR] input file 'huge.bin' is too large to hide: 2147482042 bytes, at most 2147482041\n");
  EXPECT_FALSE(fs::exists("out.png"));
}

// The container's and the envelope parser's lines are tested in tests/png,
// envelope_test and through the program; here what only the pipeline checks:
// K against the KEM, and the tag over every field the key depends on.
TEST_F(Pipelines, ExtractRefusals) {
  const ByteBuffer input = bytes("the hidden file");
  const ByteBuffer stego = make_stego(input);
  const std::size_t e = envelope_offset();
  auto flipped = [&](std::size_t at, std::uint8_t mask) {
    ByteBuffer s = stego;
    s[e + at] ^= mask;
    return s;
  };
  auto with_envelope = [&](const ByteBuffer& env) {
    ByteBuffer s(carrier_.begin(), carrier_.end() - 12);
    append(s, test::make_chunk("vcKy", env));
    append(s, test::make_chunk("IEND", {}));
    return s;
  };
  // K, a KEM ciphertext of k bytes, nonce, tag, C = 2 and the ciphertext.
  auto envelope_of = [](std::size_t k) {
    ByteBuffer env{static_cast<std::uint8_t>(k >> 8), static_cast<std::uint8_t>(k)};
    env.resize(2 + k + 28, 3);
    append(env, ByteBuffer{0, 0, 0, 0, 0, 0, 0, 2, 'c', 't'});
    return env;
  };
  const std::string invalid = "[ERR] invalid envelope in stego PNG\n";
  struct Case {
    const char* name;
    ByteBuffer file;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"K of 1567", with_envelope(envelope_of(1567)),
       "[ERR] envelope holds a KEM ciphertext of 1567 bytes, Kyber1024 uses 1568\n" + invalid},
      {"K of 1569", with_envelope(envelope_of(1569)),
       "[ERR] envelope holds a KEM ciphertext of 1569 bytes, Kyber1024 uses 1568\n" + invalid},
      {"bit flipped in the KEM ciphertext", flipped(2 + 700, 0x04), kTagLines},
      {"bit flipped in the nonce", flipped(1570 + 11, 0x01), kTagLines},
      {"bit flipped in the tag", flipped(1582, 0x80), kTagLines},
      {"bit flipped in the ciphertext", flipped(1606 + input.size() - 1, 0x10), kTagLines},
  };
  for (const Case& c : cases) {
    write_file("stego.png", c.file);
    Outcome r = extract("stego.png", "out.bin");
    EXPECT_FALSE(r.result) << c.name;
    EXPECT_EQ(r.err, c.expected) << c.name;
    EXPECT_FALSE(fs::exists("out.bin")) << c.name;
  }
}

TEST_F(Pipelines, ExtractKeyProblems) {
  const ByteBuffer stego = make_stego(bytes("for one pair only"));
  const std::string missing = "[ERR] missing kyber.prv in 'keys/kyber.prv'\n";
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"private key missing", [] { fs::remove("keys/kyber.prv"); }, missing},
      {"private key empty", [] { write_file("keys/kyber.prv", std::string_view()); },
       "[ERR] key file 'keys/kyber.prv' has 0 bytes, expected 3168\n" + missing},
      {"private key truncated", [] { write_file("keys/kyber.prv", ByteView(pair().prv).first(3000)); },
       "[ERR] key file 'keys/kyber.prv' has 3000 bytes, expected 3168\n" + missing},
      {"another key pair", [] { install_keys(make_key_pair()); }, kTagLines},
  };
  for (const Case& c : cases) {
    install_keys(pair());
    c.prepare();
    Outcome r = extract("stego.png", "out.bin");
    EXPECT_FALSE(r.result) << c.name;
    EXPECT_EQ(r.err, c.expected) << c.name;
    EXPECT_FALSE(fs::exists("out.bin")) << c.name;
  }
}

}  // namespace
}  // namespace vellicor

namespace vellicor {
namespace {

// Where no unnamed file can be made, extract opens into memory and embed
// writes through a hidden named file: the same bytes and lines either way,
// for a success, a tag mismatch and an output folder that does not exist.
TEST_F(Pipelines, FallbacksGiveTheSameBytesAndLines) {
  const ByteBuffer input = noise(700000, 21);
  ByteBuffer stego = make_stego(input);
  ByteBuffer damaged = stego;
  damaged[envelope_offset() + 1606 + 5] ^= 1;
  write_file("damaged.png", damaged);

  struct Case {
    const char* stego;
    const char* output;
    bool ok;
  };
  const Case cases[] = {
      {"stego.png", "back.bin", true},
      {"damaged.png", "back.bin", false},
      {"damaged.png", "missing/back.bin", false},
      {"stego.png", "missing/back.bin", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stego) + " -> " + c.output);
    fs::remove("back.bin");
    const Outcome unnamed = extract(c.stego, c.output);
    const ByteBuffer first = c.ok ? read_file("back.bin") : ByteBuffer{};
    fs::remove("back.bin");
    const Outcome in_memory = [&] {
      const test::UnnamedFiles none;
      return extract(c.stego, c.output);
    }();
    EXPECT_EQ(unnamed.result, c.ok);
    EXPECT_EQ(in_memory.result, c.ok);
    EXPECT_EQ(in_memory.err, unnamed.err);
    if (c.ok) {
      EXPECT_EQ(first, input);
      EXPECT_EQ(read_file("back.bin"), input);
    }
    EXPECT_EQ(test::list_dir("."), std::string(c.ok ? "back.bin " : "") + "carrier.png damaged.png input.bin keys "
                                                                            "stego.png");
  }
  // A tag mismatch into a folder that does not exist: the two tag lines, no write line.
  EXPECT_EQ(extract("damaged.png", "missing/back.bin").err,
            "[ERR] Crypto++ aes_gcm_decrypt (tag mismatch?): HashVerificationFilter: message hash or MAC not "
            "valid\n[ERR] AES-GCM decrypt fail (tag mismatch?)\n");
  EXPECT_EQ(extract("stego.png", "missing/back.bin").err, "[ERR] cannot write outfile 'missing/back.bin'\n");

  const Outcome named = [&] {
    const test::UnnamedFiles none;
    return embed("input.bin", "carrier.png", "stego2.png");
  }();
  EXPECT_TRUE(named.result) << named.err;
  EXPECT_EQ(read_file("stego2.png").size(), stego.size());
  EXPECT_TRUE(extract("stego2.png", "back.bin").result);
  EXPECT_EQ(read_file("back.bin"), input);
}

// The position of this process's descriptor open on `file` (from
// /proc/self/fdinfo), or -1 while none is open.
long long read_position(const fs::path& file) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/self/fd", ec)) {
    if (fs::read_symlink(e.path(), ec) != file) continue;
    std::ifstream info("/proc/self/fdinfo/" + e.path().filename().string());
    std::string key;
    long long pos = -1;
    if (info >> key >> pos && key == "pos:") return pos;
  }
  return -1;
}

// An input that grows or shrinks while embed reads it gives a failure line,
// never a stego with wrong lengths. The change is made from another thread
// once the pipeline has started reading the input (its descriptor's position
// has moved), so it always lands after the size was taken, however the steps
// before were scheduled. On a busy machine it may land only after the whole
// input was read; such a run may succeed, but only with a stego of exactly
// what was read. Some of a few tries must land in time and be refused.
TEST_F(Pipelines, InputThatChangesSizeWhileReadIsRefused) {
  struct Case {
    const char* what;
    std::function<void()> change;
  };
  constexpr std::size_t kSize = 96u << 20;
  const Case cases[] = {
      {"grows", [] { std::ofstream("input.bin", std::ios::app | std::ios::binary) << "more"; }},
      {"shrinks", [] { fs::resize_file("input.bin", kSize / 2); }},
  };
  ByteBuffer original(kSize, 0);
  original[0] = 'x';
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int refused = 0;
    for (int attempt = 0; attempt < 5 && refused == 0; ++attempt) {
      fs::remove("stego.png");
      write_file("input.bin", original);
      const fs::path input_abs = fs::absolute("input.bin");
      std::atomic<bool> done{false};
      std::thread changer([&] {
        while (!done && read_position(input_abs) <= 0) {
        }
        c.change();
      });
      const Outcome r = embed("input.bin", "carrier.png", "stego.png");
      done = true;
      changer.join();
      if (r.result) {
        ASSERT_TRUE(extract("stego.png", "back.bin").result) << "attempt " << attempt;
        EXPECT_TRUE(read_file("back.bin") == original) << "attempt " << attempt;
        continue;
      }
      ++refused;
      EXPECT_EQ(r.err, "[ERR] input file 'input.bin' changed size while it was read\n");
      EXPECT_FALSE(fs::exists("stego.png"));
    }
    EXPECT_EQ(refused, 1) << "no change landed while the input was read";
  }
}

// Plaintext is wiped before its memory goes back: every block freed while a
// run is watched is scanned for a marker that fills the input.
constexpr bool kScansFreedBlocks = VELLICOR_OWN_ALLOCATOR != 0;
std::atomic<bool> watching{false};
std::atomic<int> freed_with_marker{0};
constexpr std::string_view kMarker = "plaintext-marker-0f3a9c";

[[maybe_unused]] void scan_freed(void* p, std::size_t n) {
  if (watching && ::memmem(p, n, kMarker.data(), kMarker.size()) != nullptr) ++freed_with_marker;
}

TEST_F(Pipelines, PlaintextIsWipedBeforeItsMemoryIsFreed) {
  if (!kScansFreedBlocks) GTEST_SKIP() << "AddressSanitizer owns the allocator";
  ByteBuffer input;
  while (input.size() < (3u << 20)) input.insert(input.end(), kMarker.begin(), kMarker.end());
  make_stego(input);
  struct Case {
    const char* what;
    std::function<Outcome()> run;
    bool ok;
  };
  const Case cases[] = {
      {"extract to a device (copied through memory)", [] { return extract("stego.png", "/dev/null"); }, true},
      {"embed whose input fails half way into a block",
       [] {
         bool halved = false;  // a block's first read gets half, the next one fails
         Override<&native::Syscalls::read> eio([&](int fd, void* b, size_t n) {
           if (halved) return errno = EIO, ssize_t{-1};
           halved = n >= write_block_length;
           return ::read(fd, b, halved ? n / 2 : n);
         });
         return embed("input.bin", "carrier.png", "other.png");
       },
       false},
  };
  for (const Case& c : cases) {
    freed_with_marker = 0;
    watching = true;
    const Outcome r = c.run();
    watching = false;
    EXPECT_EQ(r.result, c.ok) << c.what << ": " << r.err;
    EXPECT_EQ(freed_with_marker, 0) << c.what;
  }
}

}  // namespace
}  // namespace vellicor

// The test program's allocator: blocks freed while watched are scanned, and
// every block starts cleared, so a marker found was put there by its user.
// AddressSanitizer keeps its own allocator (the scan runs in the plain build).
#if VELLICOR_OWN_ALLOCATOR
void* operator new(std::size_t n) {
  if (void* p = std::calloc(1, n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  if (p != nullptr) vellicor::scan_freed(p, ::malloc_usable_size(p));
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
#endif
