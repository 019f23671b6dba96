#include "keystore/key_text.hpp"

#include <cryptopp/sha.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

#include "util/console.hpp"

namespace vellicor {

namespace {

// base64url: letters, digits, '-' and '_', so a text survives mail, chat and
// a file name alike; 1572 bytes are 524 groups of 3, so there is no padding
// and every character changes the decoded bytes.
constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::size_t kChecksum = 4;
constexpr unsigned kQ = 3329;
constexpr std::size_t kSeed = 32;  // the public seed after the coefficients

int value_of(char c) {
  const std::size_t at = kAlphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Past the blanks at `at`, and past the quote markers that a mail reply puts
// at the start of a line ("> ", ">>", "> > "); a '>' elsewhere stays.
std::size_t past_blanks(std::string_view text, std::size_t at) {
  for (bool line_start = false; at < text.size(); ++at) {
    if (text[at] == '\n') {
      line_start = true;
    } else if (!is_blank(text[at]) && !(line_start && text[at] == '>')) {
      break;
    }
  }
  return at;
}

std::array<std::uint8_t, CryptoPP::SHA256::DIGESTSIZE> sha256(ByteView bytes) {
  std::array<std::uint8_t, CryptoPP::SHA256::DIGESTSIZE> digest{};
  CryptoPP::SHA256().CalculateDigest(digest.data(), bytes.data(), bytes.size());
  return digest;
}

// Where the prefix that starts at `at` ends, blanks allowed between its
// characters; npos where no prefix starts there.
std::size_t prefix_end(std::string_view text, std::size_t at) {
  for (std::size_t k = 0; k < key_text_prefix.size(); ++k, ++at) {
    if (k > 0) at = past_blanks(text, at);
    if (at >= text.size() || text[at] != key_text_prefix[k]) return std::string_view::npos;
  }
  return at;
}

// The end of the first prefix at or after `from`, or npos.
std::size_t next_key_text(std::string_view text, std::size_t from) {
  for (std::size_t at = text.find(key_text_prefix[0], from); at != std::string_view::npos;
       at = text.find(key_text_prefix[0], at + 1))
    if (const std::size_t end = prefix_end(text, at); end != std::string_view::npos) return end;
  return std::string_view::npos;
}

bool refuse_from(std::string_view source, std::string_view problem) {
  return refuse({"[ERR] ", source, problem, "\n"});
}

std::string shown(char c) {
  if (c > ' ' && c < 0x7F) return std::string("'") + c + "'";
  char text[16];
  std::snprintf(text, sizeof text, "byte 0x%02x", static_cast<unsigned char>(c));
  return text;
}

// Decodes the key text whose characters start at `at`; `at` is then just
// past its last character.
bool decode_key_text(std::string_view text, std::size_t& at, std::string_view source, ByteBuffer& key) {
  ByteBuffer bytes;
  bytes.reserve(key_text_key_length + kChecksum);
  std::uint32_t bits = 0;
  std::size_t count = 0;
  for (; count < key_text_characters && (at = past_blanks(text, at)) < text.size(); ++at) {
    const int v = value_of(text[at]);
    if (v < 0) break;
    bits = bits << 6 | static_cast<std::uint32_t>(v);
    if (++count % 4 == 0)
      for (int shift : {16, 8, 0}) bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
  }
  const std::string of = std::to_string(count) + " of its " + std::to_string(key_text_characters) + " characters";
  if (count < key_text_characters && at == text.size()) return refuse_from(source, ": the key text ends after " + of);
  if (count < key_text_characters)
    return refuse_from(source, ": the key text stops after " + of + ", at " + shown(text[at]) +
                              " (it holds A-Z a-z 0-9 - _ only)");
  if (at < text.size() && value_of(text[at]) >= 0)
    return refuse_from(source, ": the key text runs on past its " + std::to_string(key_text_characters) + " characters");
  const ByteView body(bytes.data(), key_text_key_length);
  const auto digest = sha256(body);
  if (!std::equal(digest.begin(), digest.begin() + kChecksum, bytes.begin() + key_text_key_length))
    return refuse_from(source, ": the key text does not match its checksum (a character is changed, missing or extra)");
  key.assign(body.begin(), body.end());
  return true;
}

}  // namespace

std::string public_key_text(ByteView key) {
  ByteBuffer bytes(key.begin(), key.end());
  const auto digest = sha256(key);
  bytes.insert(bytes.end(), digest.begin(), digest.begin() + kChecksum);
  std::string text(key_text_prefix);
  for (std::size_t i = 0; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    for (int shift : {18, 12, 6, 0}) text += kAlphabet[group >> shift & 0x3F];
  }
  return text;
}

std::string key_fingerprint(ByteView key) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t b : sha256(key)) hex += {kHex[b >> 4], kHex[b & 0x0F]};
  std::string text;
  for (std::size_t i = 0; i < hex.size(); i += 4) {
    if (i != 0) text += ' ';
    text.append(hex, i, 4);
  }
  return text;
}

bool key_coefficients_valid(ByteView key) {
  if (key.size() < kSeed || (key.size() - kSeed) % 3 != 0) return false;
  for (std::size_t i = 0; i < key.size() - kSeed; i += 3) {
    const unsigned low = key[i] | (key[i + 1] & 0x0Fu) << 8;
    const unsigned high = key[i + 1] >> 4 | unsigned{key[i + 2]} << 4;
    if (low >= kQ || high >= kQ) return false;
  }
  return true;
}

// Sealing computes u = A^T r + e1 and v = t^T r + e2 + round(q/2) m, and the
// owner of s recovers m from v - s^T u. With s = 0 anyone reads m from v
// alone, wherever the noise t^T r + e2 (plus v's rounding, at most q/64) stays
// under q/4 = 832 in every coefficient. Each coefficient of t^T r sums
// 4 * 256 = 1024 products t_i * r_j with r from the centered binomial of
// eta = 2 (variance 1), so where every |t_i| <= B its spread is at most 32 B:
// s = 0 opens every message for B up to about 6, and guessing a few noise bits
// on top of that reaches further. The bound is ten times that, 64: an
// honest t is uniform modulo q, and all 1024 of its coefficients fall within
// +-64 with probability (129/3329)^1024, below 2^-4800, so no honest key is
// ever refused.
bool key_opens_without_secret(ByteView key) {
  if (key.size() < kSeed || (key.size() - kSeed) % 3 != 0) return false;
  unsigned far = 0;  // no branch on a coefficient: the key is public, but costs nothing to keep so
  for (std::size_t i = 0; i < key.size() - kSeed; i += 3) {
    const unsigned low = key[i] | (key[i + 1] & 0x0Fu) << 8;
    const unsigned high = key[i + 1] >> 4 | unsigned{key[i + 2]} << 4;
    for (const unsigned c : {low, high}) far |= static_cast<unsigned>(c > open_key_bound && c < kQ - open_key_bound);
  }
  return far == 0;
}

bool holds_key_text(std::string_view text) { return next_key_text(text, 0) != std::string_view::npos; }

bool key_from_text(std::string_view text, std::string_view source, ByteBuffer& key) {
  std::size_t at = next_key_text(text, 0);
  if (at == std::string_view::npos)
    return refuse_from(source, " holds no Vellicor public key text (none starts with '" + std::string(key_text_prefix) +
                              "')");
  ByteBuffer first;
  if (!decode_key_text(text, at, source, first)) return false;
  // The same key twice (a mail quoting itself) is one key; two are refused.
  while ((at = next_key_text(text, at)) != std::string_view::npos) {
    ByteBuffer other;
    if (!decode_key_text(text, at, source, other)) return false;
    if (other != first) return refuse_from(source, " holds two different public keys; keep only the one to seal for");
  }
  key = std::move(first);
  return true;
}

}  // namespace vellicor
