// The passphrase-protected secret key file on fuzzed bytes: parse_protected_key
// on the input, and unprotect_secret_key with the passphrase "fuzz" where the
// parsed cost is small (log2 N 10, r x p at most 16, so at most 16 MiB). An
// input that does not start with the magic also changes one byte of a valid
// file (made once, at 2^10/8/1) where its first three bytes say.
//
// The checks: every false comes with a reason, and the opening refuses what
// the parser refuses, for the same reason; the parser accepts exactly the
// files that a plain reading here calls well formed, and finds the fields at
// their places; an opened file is byte for byte what protect_secret_key_with
// makes again from the opened key, its salt, nonce and cost, so its tag did
// verify; a valid file with any byte changed is refused, with the reason of
// the region the byte is in.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "keystore/protected_key.hpp"
#include "util/endian.hpp"

namespace {

using namespace vellicor;

constexpr std::size_t kSecret = 3168, kPublic = 1568, kFile = 4815;
constexpr std::size_t kSealedAt = 63 + kPublic, kTagAt = kSealedAt + kSecret;
constexpr const char* kChanged = "wrong passphrase, or the file was changed";

SecretBytes passphrase() {
  SecretBytes p(4);
  std::copy_n("fuzz", 4, p.data());
  return p;
}

bool well_formed(ByteView f) {
  if (f.size() != kFile || !std::equal(protected_key_magic.begin(), protected_key_magic.end(), f.begin()) ||
      f[8] != 1 || f[9] != 1)
    return false;
  const std::uint8_t log2_n = f[10];
  const auto r = static_cast<std::uint32_t>(load_be32(&f[11]));
  const auto p = static_cast<std::uint32_t>(load_be32(&f[15]));
  // 128 x r x N x p <= 2^30, all powers of two but r x p (below 2^64).
  return log2_n >= 10 && log2_n <= 22 && r >= 1 && p >= 1 && log2_n < 16ull * r &&
         std::uint64_t{r} * p <= (std::uint64_t{1} << 30) / (std::uint64_t{128} << log2_n);
}

bool cheap(const KdfCost& c) { return c.log2_n <= 10 && std::uint64_t{c.r} * c.p <= 16; }

bool same_place(ByteView field, const std::uint8_t* at, std::size_t length) {
  return field.data() == at && field.size() == length;
}

void check_opened(ByteView file, const ProtectedKeyHeader& header) {
  SecretBytes opened;
  std::string why;
  if (!unprotect_secret_key(file, passphrase(), kSecret, kPublic, opened, why)) {
    FUZZ_CHECK(!why.empty() && opened.empty());
    return;
  }
  FUZZ_CHECK(why.empty() && opened.size() == kSecret);
  ByteBuffer again;
  FUZZ_CHECK(protect_secret_key_with(passphrase(), opened, kPublic, header.cost, header.salt, header.nonce, again, why));
  FUZZ_CHECK(std::equal(again.begin(), again.end(), file.begin(), file.end()));
}

void check_file(ByteView file) {
  ProtectedKeyHeader header;
  std::string why;
  const bool parsed = parse_protected_key(file, kSecret, kPublic, header, why);
  FUZZ_CHECK(parsed == well_formed(file));
  FUZZ_CHECK(looks_protected(file) == (file.size() >= 8 && std::equal(protected_key_magic.begin(),
                                                                      protected_key_magic.end(), file.begin())));
  if (!parsed) {
    FUZZ_CHECK(!why.empty());
    SecretBytes opened;
    std::string open_why;
    FUZZ_CHECK(!unprotect_secret_key(file, passphrase(), kSecret, kPublic, opened, open_why));
    FUZZ_CHECK(open_why == why && opened.empty());
    return;
  }
  const std::uint8_t* at = file.data();
  FUZZ_CHECK(header.cost.log2_n == at[10] && header.cost.r == load_be32(at + 11) && header.cost.p == load_be32(at + 15));
  FUZZ_CHECK(same_place(header.salt, at + 19, 32) && same_place(header.nonce, at + 51, 12) &&
             same_place(header.public_key, at + 63, kPublic) && same_place(header.associated_data, at, kSealedAt) &&
             same_place(header.sealed_key, at + kSealedAt, kSecret) && same_place(header.tag, at + kTagAt, 16));
  if (cheap(header.cost)) check_opened(file, header);
}

const ByteBuffer& valid_file() {
  static const ByteBuffer file = [] {
    SecretBytes key(kSecret);
    for (std::size_t i = 0; i < kSecret; ++i) key.data()[i] = static_cast<std::uint8_t>(i * 7 + 1);
    ByteBuffer bytes;
    std::string why;
    SecretBytes opened;
    if (!protect_secret_key(passphrase(), key, kPublic, bytes, why, {10, 8, 1}) ||
        !unprotect_secret_key(bytes, passphrase(), kSecret, kPublic, opened, why)) {
      std::fprintf(stderr, "fuzz_protected_key: cannot make its valid file: %s\n", why.c_str());
      std::abort();
    }
    return bytes;
  }();
  return file;
}

void check_changed_byte(ByteView input) {
  ByteBuffer changed = valid_file();
  const std::size_t at = (std::size_t{input[0]} << 8 | input[1]) % changed.size();
  changed[at] ^= input[2] == 0 ? 1 : input[2];
  ProtectedKeyHeader header;
  std::string why;
  if (!parse_protected_key(changed, kSecret, kPublic, header, why)) {
    FUZZ_CHECK(!why.empty() && at < 19);
    if (at < 8) FUZZ_CHECK(why == "not a protected key file");
    return;
  }
  FUZZ_CHECK(at >= 10);
  if (!cheap(header.cost)) return;  // a changed cost that is dear: parsed, not derived
  SecretBytes opened;
  FUZZ_CHECK(!unprotect_secret_key(changed, passphrase(), kSecret, kPublic, opened, why));
  FUZZ_CHECK(why == kChanged && opened.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  check_file(input);
  if (size >= 3 && !looks_protected(input)) check_changed_byte(input);
  return 0;
}
