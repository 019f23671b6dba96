// The public key text and the recipient's key on fuzzed bytes: key_from_text
// on the input as text, read_recipient_key on it where it starts with the
// prefix (the one way to a recipient without a file), and the coefficient
// check on the input as a raw key and on keys built from it.
//
// The checks: a refusal writes exactly one "[ERR] " line and nothing else; an
// accepted text gives 1568 bytes whose own text stands in the input once its
// blanks are taken out, and which read back to the same key;
// key_coefficients_valid agrees with a decoder written here that reads the
// coefficients one bit at a time.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "keystore/key_text.hpp"
#include "keystore/public_key.hpp"

namespace {

using namespace vellicor;

constexpr std::size_t kSeed = 32;
constexpr unsigned kQ = 3329;

bool bit_at(ByteView bytes, std::size_t k) { return (bytes[k / 8] >> (k % 8) & 1) != 0; }

// Coefficient i: bits 12i ... 12i + 11 of the bytes, the lowest bit first.
unsigned coefficient(ByteView bytes, std::size_t i) {
  unsigned c = 0;
  for (std::size_t j = 0; j < 12; ++j) c |= static_cast<unsigned>(bit_at(bytes, 12 * i + j)) << j;
  return c;
}

bool coefficients_below_q(ByteView key) {
  if (key.size() < kSeed || (key.size() - kSeed) * 8 % 12 != 0) return false;
  for (std::size_t i = 0; i < (key.size() - kSeed) * 8 / 12; ++i)
    if (coefficient(key, i) >= kQ) return false;
  return true;
}

void set_coefficient(ByteBuffer& bytes, std::size_t i, unsigned value) {
  for (std::size_t j = 0; j < 12; ++j) {
    const std::size_t k = 12 * i + j;
    const auto mask = static_cast<std::uint8_t>(1u << (k % 8));
    bytes[k / 8] = static_cast<std::uint8_t>((value >> j & 1) != 0 ? bytes[k / 8] | mask : bytes[k / 8] & ~mask);
  }
}

bool one_error_line(const fuzz::Printed& printed, std::string_view starts_with) {
  return printed.out.empty() && printed.err.starts_with(starts_with) && printed.err.ends_with('\n') &&
         std::count(printed.err.begin(), printed.err.end(), '\n') == 1;
}

std::string without_blanks(std::string_view text) {
  std::string kept;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') kept += c;
  return kept;
}

// The same text as embed --to's argument: taken exactly where key_from_text
// takes it and its key's coefficients pass, with the fingerprint line, or
// else with one error line.
void check_recipient(std::string_view text, bool accepted, const ByteBuffer& key) {
  if (!text.starts_with(key_text_prefix)) return;
  ByteBuffer recipient;
  bool taken = false;
  const fuzz::Printed said =
      fuzz::capture([&] { taken = read_recipient_key(std::string(text), "", key_text_key_length, recipient); });
  FUZZ_CHECK(taken == (accepted && coefficients_below_q(key)));
  if (!taken) {
    FUZZ_CHECK(one_error_line(said, "[ERR] recipient text on the command line"));
    return;
  }
  FUZZ_CHECK(recipient == key && said.err.empty());
  FUZZ_CHECK(said.out == "[INFO] Sealing for the recipient's key, fingerprint (SHA-256): " + key_fingerprint(key) + "\n");
}

void check_text(std::string_view text) {
  ByteBuffer key;
  bool accepted = false;
  const fuzz::Printed printed = fuzz::capture([&] { accepted = key_from_text(text, "fuzzed text", key); });
  check_recipient(text, accepted, key);
  if (!accepted) {
    FUZZ_CHECK(one_error_line(printed, "[ERR] fuzzed text"));
    return;
  }
  FUZZ_CHECK(printed.out.empty() && printed.err.empty());
  FUZZ_CHECK(key.size() == key_text_key_length && holds_key_text(text));
  const std::string own = public_key_text(key);
  FUZZ_CHECK(without_blanks(text).find(own) != std::string::npos);
  ByteBuffer again;
  FUZZ_CHECK(key_from_text(own, "own text", again) && again == key);
  FUZZ_CHECK(key_coefficients_valid(key) == coefficients_below_q(key));
}

// A raw key made from the input: every coefficient reduced below q, then,
// where the input says so, one of them set to a value at or above q.
void check_built_key(ByteView input) {
  if (input.size() < 4) return;
  ByteBuffer key(key_text_key_length);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = input[i % input.size()];
  const std::size_t count = (key.size() - kSeed) * 8 / 12;
  for (std::size_t i = 0; i < count; ++i) set_coefficient(key, i, coefficient(key, i) % kQ);
  FUZZ_CHECK(key_coefficients_valid(key));
  if ((input[0] & 1) != 0) {
    set_coefficient(key, (input[1] | std::size_t{input[2]} << 8) % count, kQ + input[3] % (4096 - kQ));
    FUZZ_CHECK(!key_coefficients_valid(key));
  }
  FUZZ_CHECK(key_coefficients_valid(key) == coefficients_below_q(key));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  check_text(std::string_view(reinterpret_cast<const char*>(data), size));
  // The raw form of a recipient file, and keys near the boundary.
  FUZZ_CHECK(key_coefficients_valid(input) == coefficients_below_q(input));
  check_built_key(input);
  return 0;
}
