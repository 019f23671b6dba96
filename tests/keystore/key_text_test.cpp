// The text form of a public key, its fingerprint and the coefficient check,
// on a fixed key: byte i is 4 * i mod 128 (every coefficient below q).
#include "keystore/key_text.hpp"

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

test::Outcome<bool> decode(const std::string& text, ByteBuffer& key) {
  return test::outcome_of([&] { return key_from_text(text, "text", key); });
}

TEST(KeyText, FixedKeyRoundTripsWithItsKnownFingerprint) {
  const ByteBuffer key = fixed_key();
  const std::string text = public_key_text(key);
  EXPECT_EQ(text.size(), 2119u);
  EXPECT_TRUE(text.starts_with("vellicor-kyber1024-pub:AAQIDBAUGBwgJCgsMDQ4")) << text;
  EXPECT_TRUE(text.ends_with("HB0eHxNXA0Y")) << text;  // the checksum is in the last 6
  // sha256sum of the key file, independently.
  EXPECT_EQ(key_fingerprint(key), "4d5c 0d18 6d8a 8c60 1f16 d0cd 355d 175a ea87 1c5b 7a80 d5a9 11de 7a45 7645 2140");
  std::string wrapped;  // 64 columns, CRLF, as a mail program sends it
  for (std::size_t i = 0; i < text.size(); i += 64) wrapped += text.substr(i, 64) + "\r\n";
  const ByteBuffer other(key_text_key_length, 0);
  struct Case {
    const char* name;
    std::string text;
    bool accepted;
  };
  const Case cases[] = {
      {"as written", text, true},
      {"wrapped", wrapped, true},
      {"a pasted mail", "Hi,\r\n\r\nmy key:\r\n\t" + wrapped + "\r\nBest,\r\nB.\r\n", true},
      {"blanks inside the prefix", "vellicor-kyber 1024-\npub:" + text.substr(23), true},
      {"the same key twice", text + "\n> " + text + "\n", true},
      {"two different keys", text + "\n" + public_key_text(other), false},
      {"no prefix", text.substr(9), false},
      {"a character dropped at the end", text.substr(0, text.size() - 1), false},
      {"a character added at the end", text + "A", false},
  };
  for (const Case& c : cases) {
    ByteBuffer back;
    const auto o = decode(c.text, back);
    EXPECT_EQ(o.result, c.accepted) << c.name << o.err;
    EXPECT_EQ(back == key, c.accepted) << c.name;
    EXPECT_EQ(o.err.empty(), c.accepted) << c.name;
  }
}

// Any one character changed, dropped or added after the prefix is refused.
TEST(KeyText, EveryChangedDroppedOrAddedCharacterIsRefused) {
  const std::string text = public_key_text(fixed_key());
  for (std::size_t i = key_text_prefix.size(); i < text.size(); ++i) {
    std::string changed = text, dropped = text, added = text;
    changed[i] = changed[i] == 'Q' ? 'R' : 'Q';
    dropped.erase(i, 1);
    added.insert(i, 1, 'Q');
    for (const std::string* t : {&changed, &dropped, &added}) {
      ByteBuffer key;
      const auto o = decode(*t, key);
      ASSERT_FALSE(o.result) << "position " << i;
      ASSERT_EQ(o.err.rfind("[ERR] text", 0), 0u) << o.err;
    }
  }
}

TEST(KeyText, CoefficientsMustBeBelowQ) {
  struct Case {
    std::size_t at;
    std::uint8_t b0, b1;
    bool valid;
  };
  const Case cases[] = {
      {0, 0x00, 0x0D, true},     // first coefficient 3328
      {0, 0x01, 0x0D, false},    // 3329
      {1, 0x00, 0xD0, true},     // second coefficient 3328
      {1, 0x10, 0xD0, false},    // 3329
      {1534, 0x00, 0xFF, false}, // the last one 4080
      {1536, 0xFF, 0xFF, true},  // the seed is no coefficient
  };
  for (const Case& c : cases) {
    ByteBuffer key(key_text_key_length, 0);
    key[c.at] = c.b0;
    key[c.at + 1] = c.b1;
    EXPECT_EQ(key_coefficients_valid(key), c.valid) << c.at << " " << int{c.b0} << " " << int{c.b1};
  }
}

}  // namespace
}  // namespace vellicor
