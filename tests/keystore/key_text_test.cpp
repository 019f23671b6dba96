// The text form of a public key and its fingerprint, on a fixed key: byte i is 4 * i mod 128 (every coefficient below q).
#include "keystore/key_text.hpp"

#include "kem/kem.hpp"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.hpp"

namespace vellicor {
namespace {

ByteBuffer fixed_key() {
  ByteBuffer key(key_text_key_length);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(4 * i % 128);
  return key;
}

// Whether `text` gives the fixed key; a refusal must come with its line.
bool taken(const std::string& text) {
  ByteBuffer key;
  const auto o = test::outcome_of([&] { return key_from_text(text, "text", key); });
  EXPECT_EQ(o.err.empty(), o.result) << o.err;
  EXPECT_EQ(o.err.rfind("[ERR] text", 0) == 0, !o.result) << o.err;
  return o.result && key == fixed_key();
}

TEST(KeyText, FixedKeyRoundTripsWithItsKnownFingerprint) {
  const std::string text = public_key_text(fixed_key());
  EXPECT_EQ(text.size(), 2119u);
  EXPECT_TRUE(text.starts_with("vellicor-kyber1024-pub:AAQIDBAUGBwgJCgsMDQ4")) << text;
  EXPECT_TRUE(text.ends_with("HB0eHxNXA0Y")) << text;  // the checksum is in the last 6
  // sha256sum of the key file, computed apart from the program.
  EXPECT_EQ(key_fingerprint(fixed_key()), "4d5c 0d18 6d8a 8c60 1f16 d0cd 355d 175a ea87 1c5b 7a80 d5a9 11de 7a45 7645 2140");
  std::string wrapped, quoted, twice;  // 64 columns, CRLF, as a mail program sends it; then quoted in replies
  for (std::size_t i = 0; i < text.size(); i += 64) wrapped += text.substr(i, 64) + "\r\n";
  for (std::size_t i = 0; i < text.size(); i += 64) quoted += "> " + text.substr(i, 64) + "\n";
  for (std::size_t i = 0; i < text.size(); i += 64) twice += ">> " + text.substr(i, 64) + "\r\n> \n";
  const std::pair<std::string, bool> cases[] = {
      {text, true},
      {wrapped, true},
      {"Hi,\r\n\r\nmy key:\r\n\t" + wrapped + "\r\nBest,\r\nB.\r\n", true},  // a pasted mail
      {"vellicor-kyber 1024-\npub:" + text.substr(23), true},               // blanks in the prefix
      {text + "\n> " + text + "\n", true},                                    // the same key twice
      {text + "\n" + public_key_text(ByteBuffer(key_text_key_length, 0)), false},  // two keys
      {text.substr(9), false},                                                // no prefix
      {text + "A", false},                                                    // a character more at the end
      {quoted, true},
      {"> Hi,\n" + twice, true},
      {text.substr(0, 100) + ">" + text.substr(100), false},  // '>' inside a line
  };
  for (const auto& [t, accepted] : cases) EXPECT_EQ(taken(t), accepted) << t;
}

// Any one character changed, dropped or added after the prefix is refused.
TEST(KeyText, EveryChangedDroppedOrAddedCharacterIsRefused) {
  const std::string text = public_key_text(fixed_key());
  for (std::size_t i = key_text_prefix.size(); i < text.size(); ++i) {
    std::string changed = text, dropped = text, added = text;
    changed[i] = changed[i] == 'Q' ? 'R' : 'Q';
    dropped.erase(i, 1);
    added.insert(i, 1, 'Q');
    ASSERT_FALSE(taken(changed) || taken(dropped) || taken(added)) << "position " << i;
  }
}

// A key whose vector t has only small coefficients opens with s = 0; no key
// the KEM makes is one.
TEST(KeyText, OnlyAKeyWithASmallVectorTOpensWithoutTheSecret) {
  auto key_of = [](unsigned first, unsigned rest) {  // 12-bit coefficients, two in three bytes
    ByteBuffer key(key_text_key_length, 0x5A);
    for (std::size_t i = 0, c = 0; i + 32 < key.size(); i += 3, c += 2) {
      const unsigned low = c == 0 ? first : rest, high = rest;
      key[i] = static_cast<std::uint8_t>(low), key[i + 1] = static_cast<std::uint8_t>(low >> 8 | (high & 0xF) << 4);
      key[i + 2] = static_cast<std::uint8_t>(high >> 4);
    }
    return key;
  };
  const struct {
    unsigned first, rest;
    bool opens;
  } cases[] = {{0, 0, true}, {64, 64, true}, {3329 - 64, 3329 - 64, true}, {65, 0, false},
               {3329 - 65, 3329 - 1, false}, {1664, 3, false}};
  for (const auto& c : cases)
    EXPECT_EQ(key_opens_without_secret(key_of(c.first, c.rest)), c.opens) << c.first << " then " << c.rest;
  KemHandle kem = make_kyber1024();
  ByteBuffer pub(kem->length_public_key), prv(kem->length_secret_key);
  int opens = 0;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(OQS_KEM_keypair(kem.get(), pub.data(), prv.data()), OQS_SUCCESS);
    opens += key_opens_without_secret(pub) ? 1 : 0;
  }
  EXPECT_EQ(opens, 0);
}

}  // namespace
}  // namespace vellicor
